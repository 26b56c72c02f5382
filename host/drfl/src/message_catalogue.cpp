#include "drfl/message_catalogue.hpp"

#include <algorithm>
#include <iterator>

#include "catalogue_texts.hpp"
#include "drfl/utf.hpp"

namespace resource_core {
namespace {

std::string ArgumentText(const MsgArg& argument) {
  struct Visitor {
    std::string operator()(std::int64_t value) const { return std::to_string(value); }
    std::string operator()(const std::string& value) const { return value; }
    std::string operator()(const std::u16string& value) const {
      return foundation::core::text::Utf16ToUtf8(value);
    }
  };
  return std::visit(Visitor{}, argument);
}

// Replaces each {k} by argument k (one-based); other braces stay as they are.
std::string FillPlaceholders(std::string_view text, const std::vector<MsgArg>& arguments) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t close = text.find('}', i);
    if (text[i] == '{' && close != std::string_view::npos && close > i + 1 &&
        std::all_of(text.begin() + i + 1, text.begin() + close,
                    [](char c) { return c >= '0' && c <= '9'; }) &&
        close - i <= 4) {
      const std::size_t index = std::stoul(std::string(text.substr(i + 1, close - i - 1)));
      out += index >= 1 && index <= arguments.size() ? ArgumentText(arguments[index - 1])
                                                     : "<missing argument " + std::to_string(index) + ">";
      i = close + 1;
    } else {
      out.push_back(text[i++]);
    }
  }
  return out;
}

}  // namespace

const char* FindMessageText(std::string_view component, std::string_view key) {
  const auto& texts = detail::CatalogueTexts();
  const auto found = std::find_if(std::begin(texts), std::end(texts), [&](const auto& entry) {
    return entry.component == component && entry.key == key;
  });
  return found == std::end(texts) ? nullptr : found->text;
}

std::u16string FormatMessage(const BaseMsgID& id) {
  const char* text = FindMessageText(id.component(), id.key());
  const std::string filled =
      text ? FillPlaceholders(text, id.arguments())
           : "No message text is known for " + id.component() + ":" + id.key() + ".";
  return foundation::core::text::Utf8ToUtf16(filled);
}

}  // namespace resource_core
