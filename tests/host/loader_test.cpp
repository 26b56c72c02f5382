// The loader refuses files that are not modules for this host and cleans up after a
// module whose call fails.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "loader/module.hpp"
#include "vq/legacy_error.hpp"

namespace tsne_test {
namespace {

using matrix::loader::LoadError;
using matrix::loader::Module;

std::string TestModule(const std::string& variant) {
  return std::string(TSNE_TEST_MODULE_DIR) + "/test_module_" + variant + ".so";
}

std::string LoadErrorOf(const std::string& path) {
  try {
    Module::Open(path);
  } catch (const LoadError& error) {
    return error.what();
  }
  return "";
}

TEST(Loader, RefusesWhatIsNotAModuleForThisHost) {
  struct Case {
    std::string path;
    std::string says;
  };
  const Case cases[] = {
      {"/nonexistent/tsnelossvek.so", "cannot open module"},
      {TestModule("no_entry"), "does not export vekFunction"},
      {TestModule("no_version"), "does not export vekfilerequiredapiversion"},
      {TestModule("bad_version"), "built for interface version 131466/1, this host has 131466/134217728"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_NE(LoadErrorOf(c.path).find(c.says), std::string::npos) << LoadErrorOf(c.path);
  }
}

TEST(Loader, OpensTheLossModuleByName) {
  const Module module = Module::Open(TSNE_MODULE_PATH);
  EXPECT_EQ(module.name(), "tsnelossvek");
  // The entry point is the file's own vekFunction, not some other symbol of that name.
  void* handle = dlopen(TSNE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  ASSERT_NE(handle, nullptr) << "the loader did not keep the module open";
  EXPECT_EQ(reinterpret_cast<void*>(module.entry_point()), dlsym(handle, "vekFunction"));
  dlclose(handle);
}

TEST(Loader, FreesTheOutputsOfAFailedCall) {
  const Module module = Module::Open(TestModule("raises_after_output"));
  for (const auto mode : {matrix::testing::LegacyErrorMode::kRaise, matrix::testing::LegacyErrorMode::kReturn}) {
    for (int nlhs : {0, 1, 3}) {
      SCOPED_TRACE(nlhs);
      const matrix::testing::ScopedLegacyErrorMode scoped(mode);
      const std::int64_t arrays = matrix::testing::LiveArrays();
      try {
        module.Call(nlhs, {});
        FAIL() << "no error";
      } catch (const matrix::loader::ModuleError& error) {
        EXPECT_EQ(error.module(), "test_module_raises_after_output");
        EXPECT_EQ(error.identifier(), "quarn:tsnevek:TooManyOutputs");
        EXPECT_EQ(std::string(error.what()),
                  "test_module_raises_after_output: quarn:tsnevek:TooManyOutputs: " + error.text());
      }
      EXPECT_EQ(matrix::testing::LiveArrays(), arrays);
    }
  }
}

}  // namespace
}  // namespace tsne_test
