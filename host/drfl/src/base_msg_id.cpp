#include "drfl/base_msg_id.hpp"

#include <atomic>

namespace resource_core {
namespace {
std::atomic<std::int64_t> live_ids{0};
}

BaseMsgID::BaseMsgID(std::string component, std::string key, std::uint32_t argument_count)
    : arguments_(argument_count), component_(std::move(component)), key_(std::move(key)) {
  ++live_ids;
}

BaseMsgID::BaseMsgID(const BaseMsgID& other)
    : arguments_(other.arguments_), component_(other.component_), key_(other.key_) {
  ++live_ids;
}

BaseMsgID::~BaseMsgID() { --live_ids; }

std::int64_t testing::LiveBaseMsgIDs() { return live_ids.load(); }

}  // namespace resource_core
