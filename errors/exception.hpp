// The exception type of each message identifier: Exception<Tag, std::exception, void>
// carries a copy of its tag and the error identifier the host formed for it.
//
// Visibility: the module is built with hidden symbols, but a caller outside it must be
// able to catch these by their concrete type and by each base, so the type is marked
// visible, as Boost marks the exceptions its own shared libraries throw.
#pragma once

#include <boost/config.hpp>

#include <exception>
#include <string>

#include "drfl/exceptions.hpp"

namespace foundation::core::except {

// `StdBase` is the standard exception class the type can also be caught as; `Unused`
// is always void and only keeps the host's template shape.
template <class Tag, class StdBase, class Unused>
class BOOST_SYMBOL_VISIBLE Exception : public IMsgIDException, public StdBase {
 public:
  // Asks the host for the error identifier, once.
  explicit Exception(const Tag& tag)
      : IMsgIDException(), StdBase(), message_id_(tag), error_id_(get_error_id(tag)) {}

  // Bases, then the tag, then the identifier; the host is not asked again.
  Exception(const Exception& other) = default;
  Exception& operator=(const Exception&) = delete;
  ~Exception() noexcept override = default;

  const boost::exception_detail::clone_base* clone() const override { return new Exception(*this); }
  [[noreturn]] void rethrow() const override { throw *this; }
  // The host's text; the empty text of the standard base is never shown.
  const char* what() const noexcept override { return IException::what(); }
  std::string GetErrorId() const override { return error_id_; }
  const resource_core::BaseMsgID& GetBaseMsgID() const override { return message_id_; }

 private:
  Tag message_id_;
  std::string error_id_;
};

}  // namespace foundation::core::except
