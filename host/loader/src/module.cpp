#include "loader/module.hpp"

#include <dlfcn.h>

#include <new>
#include <utility>

#include "drfl/exceptions.hpp"
#include "vq/legacy_error.hpp"

namespace matrix::loader {
namespace {

std::string ModuleName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string LastDlError() {
  const char* message = dlerror();
  return message ? message : "unknown reason";
}

}  // namespace

ModuleError::ModuleError(std::string module, std::string identifier, std::string text)
    : std::runtime_error(module + ": " + identifier + ": " + text),
      module_(std::move(module)),
      identifier_(std::move(identifier)),
      text_(std::move(text)) {}

Module Module::Open(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    throw LoadError("cannot open module " + path + ": " + LastDlError());
  }
  // From here the handle is ours until a Module holds it.
  auto close = [handle] { dlclose(handle); };
  const auto version = reinterpret_cast<VersionQuery>(dlsym(handle, "vekfilerequiredapiversion"));
  const auto entry = reinterpret_cast<EntryPoint>(dlsym(handle, "vekFunction"));
  if (version == nullptr || entry == nullptr) {
    close();
    throw LoadError("module " + path + " does not export " +
                    (version == nullptr ? "vekfilerequiredapiversion" : "vekFunction"));
  }
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  version(&major, &minor);
  if (major != kApiVersionMajor || minor != kApiVersionMinor) {
    close();
    throw LoadError("module " + path + " was built for interface version " +
                    std::to_string(major) + "/" + std::to_string(minor) + ", this host has " +
                    std::to_string(kApiVersionMajor) + "/" + std::to_string(kApiVersionMinor));
  }
  return Module(handle, ModuleName(path), entry);
}

Module::Module(void* handle, std::string name, EntryPoint entry)
    : handle_(handle), name_(std::move(name)), entry_(entry) {}

Module::Module(Module&& other) noexcept
    : handle_(std::exchange(other.handle_, nullptr)),
      name_(std::move(other.name_)),
      entry_(std::exchange(other.entry_, nullptr)) {}

Module& Module::operator=(Module&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    name_ = std::move(other.name_);
    entry_ = std::exchange(other.entry_, nullptr);
  }
  return *this;
}

Module::~Module() {
  if (handle_ != nullptr) dlclose(handle_);
}

std::vector<ArrayPtr> Module::Call(int nlhs, const std::vector<const vqArray_tag*>& inputs) const {
  // The host always offers at least one slot, even when no output is requested.
  std::vector<vqArray_tag*> slots(nlhs > 1 ? static_cast<std::size_t>(nlhs) : 1, nullptr);
  auto take_outputs = [&slots] {
    std::vector<ArrayPtr> outputs;
    for (vqArray_tag*& slot : slots) {
      if (slot != nullptr) outputs.emplace_back(std::exchange(slot, nullptr));
    }
    return outputs;
  };
  auto fail = [&](std::string identifier, std::string text) {
    take_outputs();  // a failed call's outputs are freed here
    return ModuleError(name_, std::move(identifier), std::move(text));
  };
  std::vector<const vqArray_tag*> handles(inputs);
  try {
    entry_(nlhs, slots.data(), static_cast<int>(handles.size()), handles.data());
  } catch (const HostError& error) {
    throw fail(error.identifier(), error.message());
  } catch (const foundation::core::except::IMsgIDException& error) {
    // Raised by a module whose host call came back: the module threw it itself.
    throw fail(error.GetErrorId(), error.what());
  } catch (const std::bad_alloc&) {
    throw fail("vq:outOfMemory", "The module ran out of memory.");
  } catch (const std::exception& error) {
    throw fail("vq:moduleFailed", error.what());
  } catch (...) {
    throw fail("vq:moduleFailed", "The module failed with an error the host does not know.");
  }
  return take_outputs();
}

}  // namespace matrix::loader
