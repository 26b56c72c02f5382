// What the module file shows the dynamic linker: its two undecorated entry points, its
// exception types, and nothing of its gateway, kernel or raising code; and what it
// holds: no writable data and no constructor of its own.
#include <cxxabi.h>
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <set>
#include <string>
#include <vector>

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

// Lines a command prints.
std::vector<std::string> OutputLines(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::vector<std::string> lines;
  char line[4096];
  while (pipe && std::fgets(line, sizeof line, pipe.get())) lines.emplace_back(line);
  return lines;
}

// The array library's operations the module calls are those the host lists for
// modules; no other one (the number of elements, the class by function, the imaginary
// data) may creep back in.
TEST(ModuleFile, ImportsOnlyTheHostsListedArrayOperations) {
  const std::set<std::string> listed = {
      "matrix::detail::noninlined::vq_array_api::vqGetN",
      "matrix::detail::noninlined::vq_array_api::vqGetScalar",
      "matrix::detail::noninlined::vq_array_api::vqGetData",
      "matrix::detail::noninlined::vq_array_api::vqCreateNumericMatrix",
      "matrix::detail::do_legacy_vq_error",
      "vqArray_tag::_get_class_id_non_trivial",
  };
  std::set<std::string> imported;
  for (const std::string& line : OutputLines("nm -D --undefined-only --format=posix '" TSNE_MODULE_PATH "'")) {
    const std::string name = Demangle(line.substr(0, line.find(' ')));
    if (name.rfind("matrix::", 0) == 0 || name.rfind("vqArray_tag::", 0) == 0) {
      imported.insert(name.substr(0, name.find('(')));
    }
  }
  EXPECT_FALSE(imported.empty()) << "nm found no host operation";
  for (const std::string& name : imported) EXPECT_TRUE(listed.count(name)) << name;
}

// The module keeps no state: no object of its own in writable data, none per thread.
// What the compiler's start-up files and exception support put there is allowed.
TEST(ModuleFile, DefinesNoWritableDataOfItsOwn) {
  const std::set<std::string> runtime = {"completed.0", "__dso_handle", "__TMC_END__",
                                         "DW.ref.__gxx_personality_v0"};
  const std::regex symbol(R"(^[0-9a-f]+ .{7} (\S+)\t[0-9a-f]+\s+(.*)$)");
  const auto lines = OutputLines("objdump -t '" TSNE_MODULE_PATH "'");
  ASSERT_GT(lines.size(), 10u) << "objdump printed no symbol table";
  for (const std::string& line : lines) {
    std::smatch match;
    const std::string trimmed = line.substr(0, line.find_last_not_of('\n') + 1);
    if (!std::regex_match(trimmed, match, symbol)) continue;
    const std::string section = match[1];
    const std::string name = match[2];
    if (section != ".data" && section != ".bss" && section != ".tdata" && section != ".tbss") continue;
    EXPECT_TRUE(runtime.count(name)) << Demangle(name) << " in " << section;
  }
}

// No code of the module's own runs at load: the only constructor is the one entry of
// the start-up files (frame_dummy). A feature test linked from the compiler's runtime,
// say, would add its own.
TEST(ModuleFile, RunsNoConstructorOfItsOwn) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "AddressSanitizer adds constructors of its own to every object file";
#endif
  std::vector<std::string> init_arrays;
  for (const std::string& line : OutputLines("readelf -S -W '" TSNE_MODULE_PATH "'")) {
    if (line.find(" .init_array ") != std::string::npos || line.find(" .ctors ") != std::string::npos) {
      init_arrays.push_back(line);
    }
  }
  ASSERT_EQ(init_arrays.size(), 1u) << "expected one .init_array and no .ctors";
  std::istringstream fields(init_arrays[0].substr(init_arrays[0].find(']') + 1));
  std::string name, type, address, offset, size;
  fields >> name >> type >> address >> offset >> size;
  EXPECT_EQ(std::stoul(size, nullptr, 16), sizeof(void*)) << init_arrays[0];
}

}  // namespace
}  // namespace tsne_test
