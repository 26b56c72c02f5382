#include "vq/legacy_error.hpp"

#include <atomic>

namespace matrix {
namespace {
using foundation::core::except::IMsgIDException;
using foundation::core::except::IUserException;

std::atomic<testing::LegacyErrorMode> mode{testing::LegacyErrorMode::kRaise};
std::atomic<std::int64_t> calls{0};
std::function<void(const IUserException&)> observer;
}  // namespace

HostError::HostError(std::string identifier, std::string message)
    : std::runtime_error(identifier + ": " + message),
      identifier_(std::move(identifier)),
      message_(std::move(message)) {}

void detail::do_legacy_vq_error(const IUserException& error) {
  ++calls;
  if (observer) observer(error);
  if (mode.load() == testing::LegacyErrorMode::kReturn) return;
  const auto* with_id = dynamic_cast<const IMsgIDException*>(&error);
  throw HostError(with_id ? with_id->GetErrorId() : "vq:unidentified", error.what());
}

testing::ScopedLegacyErrorMode::ScopedLegacyErrorMode(LegacyErrorMode new_mode)
    : previous_(mode.exchange(new_mode)) {}
testing::ScopedLegacyErrorMode::~ScopedLegacyErrorMode() { mode.store(previous_); }

std::int64_t testing::LegacyErrorCalls() { return calls.load(); }

testing::ScopedLegacyErrorObserver::ScopedLegacyErrorObserver(
    std::function<void(const IUserException&)> new_observer) {
  observer = std::move(new_observer);
}
testing::ScopedLegacyErrorObserver::~ScopedLegacyErrorObserver() { observer = nullptr; }

}  // namespace matrix
