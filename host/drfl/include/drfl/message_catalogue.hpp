// The host's message catalogue: readable texts for message identifiers. A text names
// its placeholders {1}, {2}, ... after the identifier's arguments, in order.
#pragma once

#include <string>
#include <string_view>

#include "drfl/base_msg_id.hpp"

namespace resource_core {

// The catalogue's text for component and key, or nullptr where it has none.
const char* FindMessageText(std::string_view component, std::string_view key);

// The text of `id` with its placeholders filled in. An identifier the catalogue lacks,
// or a placeholder without an argument, still gives a text that says so.
std::u16string FormatMessage(const BaseMsgID& id);

}  // namespace resource_core
