// How the host raises an error that a module hands it. Normally control never comes
// back to the module: the host throws HostError towards whoever called the module.
#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "drfl/exceptions.hpp"

namespace matrix {

// An error raised by the host on a module's behalf.
class HostError : public std::runtime_error {
 public:
  HostError(std::string identifier, std::string message);
  const std::string& identifier() const { return identifier_; }
  const std::string& message() const { return message_; }

 private:
  std::string identifier_;
  std::string message_;
};

namespace detail {
// Raises `error` in the host. Only a host switched to kReturn (tests) comes back.
void do_legacy_vq_error(const foundation::core::except::IUserException& error);
}  // namespace detail

namespace testing {
enum class LegacyErrorMode { kRaise, kReturn };

// Sets what do_legacy_vq_error does for as long as it lives, then restores the last.
class ScopedLegacyErrorMode {
 public:
  explicit ScopedLegacyErrorMode(LegacyErrorMode mode);
  ~ScopedLegacyErrorMode();
  ScopedLegacyErrorMode(const ScopedLegacyErrorMode&) = delete;
  ScopedLegacyErrorMode& operator=(const ScopedLegacyErrorMode&) = delete;

 private:
  LegacyErrorMode previous_;
};

// Calls of do_legacy_vq_error since start-up.
std::int64_t LegacyErrorCalls();

// Runs `observer` on the error inside every do_legacy_vq_error call, before the host
// acts on it, until the guard goes.
class ScopedLegacyErrorObserver {
 public:
  explicit ScopedLegacyErrorObserver(
      std::function<void(const foundation::core::except::IUserException&)> observer);
  ~ScopedLegacyErrorObserver();
  ScopedLegacyErrorObserver(const ScopedLegacyErrorObserver&) = delete;
  ScopedLegacyErrorObserver& operator=(const ScopedLegacyErrorObserver&) = delete;
};
}  // namespace testing

}  // namespace matrix
