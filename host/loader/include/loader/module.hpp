// Opens an extension module the way the host does: find its two undecorated exports,
// check the interface version it was built for, then call its entry point with host
// arrays, owning whatever it returns. Every way a call can fail comes back as one
// ModuleError that names the module, the error identifier and the catalogue's text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "vq/array_api.hpp"

namespace matrix::loader {

// The interface version words a module must report.
inline constexpr std::uint32_t kApiVersionMajor = 131466;
inline constexpr std::uint32_t kApiVersionMinor = 134217728;

using EntryPoint = void (*)(int nlhs, vqArray_tag** plhs, int nrhs, const vqArray_tag** prhs);
using VersionQuery = void (*)(std::uint32_t* major, std::uint32_t* minor);

// The file is missing, is no shared library, lacks an export or was built for
// another interface version.
class LoadError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A call of a module ended in an error. what() reads "module: identifier: text".
class ModuleError : public std::runtime_error {
 public:
  ModuleError(std::string module, std::string identifier, std::string text);
  const std::string& module() const { return module_; }
  const std::string& identifier() const { return identifier_; }
  const std::string& text() const { return text_; }

 private:
  std::string module_;
  std::string identifier_;
  std::string text_;
};

class Module {
 public:
  // Throws LoadError.
  static Module Open(const std::string& path);

  Module(Module&& other) noexcept;
  Module& operator=(Module&& other) noexcept;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  ~Module();

  // The file name without directory and extension.
  const std::string& name() const { return name_; }

  // Calls the entry point with room for max(1, nlhs) outputs and returns, in slot
  // order, the outputs it stored, or throws ModuleError after freeing them.
  std::vector<ArrayPtr> Call(int nlhs, const std::vector<const vqArray_tag*>& inputs) const;

  // The raw entry point, for callers that want the module's own exceptions.
  EntryPoint entry_point() const { return entry_; }

 private:
  Module(void* handle, std::string name, EntryPoint entry);

  void* handle_;
  std::string name_;
  EntryPoint entry_;
};

}  // namespace matrix::loader
