#include "drfl/exceptions.hpp"

#include <boost/exception/get_error_info.hpp>
#include <boost/exception/info.hpp>

#include <atomic>

#include "drfl/message_catalogue.hpp"
#include "drfl/utf.hpp"

namespace foundation::core::except {
namespace {
std::atomic<std::int64_t> live_msg_id_exceptions{0};
std::atomic<std::int64_t> get_error_id_calls{0};

// what() must hand out a pointer that outlives the call, and the bases may hold no
// data of their own: the text is cached in Boost's error information instead, which
// copies of the exception share.
using WhatText = boost::error_info<struct WhatTextTag, std::string>;
}  // namespace

IException::~IException() noexcept = default;

const char* IException::what() const noexcept {
  try {
    if (const std::string* cached = boost::get_error_info<WhatText>(*this)) {
      return cached->c_str();
    }
    std::string text = "unidentified host error";
    if (const auto* user = dynamic_cast<const IUserException*>(this)) {
      text = user->convert_str(user->ToUstring());
    }
    *this << WhatText(std::move(text));
    return boost::get_error_info<WhatText>(*this)->c_str();
  } catch (...) {
    return "host error (its text could not be formed)";
  }
}

IUserException::~IUserException() noexcept = default;

std::u16string IUserException::convert_str(const std::string& utf8) const {
  return text::Utf8ToUtf16(utf8);
}

std::string IUserException::convert_str(const std::u16string& utf16) const {
  return text::Utf16ToUtf8(utf16);
}

IMsgIDException::IMsgIDException() { ++live_msg_id_exceptions; }

IMsgIDException::IMsgIDException(const IMsgIDException& other) : IUserException(other) {
  ++live_msg_id_exceptions;
}

IMsgIDException::~IMsgIDException() noexcept { --live_msg_id_exceptions; }

std::string IMsgIDException::get_error_id(const resource_core::BaseMsgID& id) const {
  ++get_error_id_calls;
  return id.component() + ":" + id.key();
}

std::u16string IMsgIDException::GetUnicodeMessageTxt() const {
  return resource_core::FormatMessage(GetBaseMsgID());
}

std::u16string IMsgIDException::ToUstringImpl() const { return GetUnicodeMessageTxt(); }

std::int64_t testing::LiveMsgIDExceptions() { return live_msg_id_exceptions.load(); }
std::int64_t testing::GetErrorIdCalls() { return get_error_id_calls.load(); }

}  // namespace foundation::core::except
