// What the module file shows the dynamic linker: its two undecorated entry points, its
// exception types, and nothing of its gateway, kernel or raising code.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "loss_module.hpp"

namespace tsne_test {
namespace {

std::string Demangle(const std::string& symbol) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> text(
      abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), std::free);
  return status == 0 ? text.get() : symbol;
}

// Names of the defined dynamic symbols of a file.
std::set<std::string> DefinedDynamicSymbols(const std::string& path) {
  const std::string command = "nm -D --defined-only --format=posix '" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::set<std::string> names;
  if (!pipe) return names;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe.get())) {
    std::string entry(line);
    names.insert(entry.substr(0, entry.find(' ')));
  }
  return names;
}

TEST(Exports, VersionWordsAreFixed) {
  void* handle = dlopen(TSNE_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(handle, nullptr) << dlerror();
  using Query = void (*)(std::uint32_t*, std::uint32_t*);
  const auto query = reinterpret_cast<Query>(dlsym(handle, "vekfilerequiredapiversion"));
  ASSERT_NE(query, nullptr);
  for (int call = 0; call < 3; ++call) {
    std::uint32_t major = 7;
    std::uint32_t minor = 7;
    query(&major, &minor);
    EXPECT_EQ(major, 131466u);
    EXPECT_EQ(major, 0x2018Au);
    EXPECT_EQ(minor, 134217728u);
    EXPECT_EQ(minor, 0x08000000u);
  }
  dlclose(handle);
}

TEST(Exports, OnlyEntryPointsAndExceptionTypesAreVisible) {
  const auto symbols = DefinedDynamicSymbols(TSNE_MODULE_PATH);
  ASSERT_FALSE(symbols.empty()) << "nm found no symbols";
  std::set<std::string> undecorated;
  for (const std::string& symbol : symbols) {
    SCOPED_TRACE(symbol);
    if (symbol.rfind("_Z", 0) != 0) {
      undecorated.insert(symbol);
      continue;
    }
    const std::string name = Demangle(symbol);
    EXPECT_NE(name.find("foundation::core::except::Exception<quarn::tsnevek::"), std::string::npos)
        << name;
    for (const char* hidden : {"LossGateway", "LossKernel", "raise_host_error", "CheckContract"}) {
      EXPECT_EQ(name.find(hidden), std::string::npos) << name;
    }
  }
  EXPECT_EQ(undecorated, (std::set<std::string>{"vekFunction", "vekfilerequiredapiversion"}));
  // The type information callers catch by is there for each error.
  for (const char* key : {"TooFewInputsLoss", "TooManyOutputs", "BadInputType"}) {
    SCOPED_TRACE(key);
    bool found = false;
    for (const std::string& symbol : symbols) {
      const std::string name = Demangle(symbol);
      found |= name.rfind("typeinfo for foundation::core::except::Exception<quarn::tsnevek::", 0) == 0 &&
               name.find(key) != std::string::npos;
    }
    EXPECT_TRUE(found);
  }
}

}  // namespace
}  // namespace tsne_test
