// Message identifiers of the foundation library: a catalogue component, a key and the
// values for the placeholders of the message text. Errors carry these, never texts.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace resource_core {

// One placeholder value: an 8-byte plain value, a narrow string or a 16-bit string.
// A default argument is the plain value zero.
using MsgArg = std::variant<std::int64_t, std::string, std::u16string>;

class BaseMsgID {
 public:
  // Holds `argument_count` default arguments until a derived identifier sets them.
  BaseMsgID(std::string component, std::string key, std::uint32_t argument_count);
  BaseMsgID(const BaseMsgID& other);
  BaseMsgID& operator=(const BaseMsgID& other) = default;
  ~BaseMsgID();

  const std::vector<MsgArg>& arguments() const { return arguments_; }
  const std::string& component() const { return component_; }
  const std::string& key() const { return key_; }

 protected:
  // Sets placeholder `index` (zero-based); the index must be below the argument count.
  void set_argument(std::uint32_t index, MsgArg value) { arguments_.at(index) = std::move(value); }

 private:
  // Declaration order is construction order: arguments, component, key.
  std::vector<MsgArg> arguments_;
  std::string component_;
  std::string key_;
};

namespace testing {
// Identifiers alive right now, so tests can see that every one built is destroyed once.
std::int64_t LiveBaseMsgIDs();
}  // namespace testing

}  // namespace resource_core
