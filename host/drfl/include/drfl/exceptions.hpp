// The foundation library's error bases. Every error the host shows derives from
// IException, which rests on Boost's cloning interface and error-information base;
// errors that carry a message identifier derive from IMsgIDException.
//
// The order of the virtual operations is part of the host's binary interface:
// clone, rethrow, destructor (from the cloning interface), what, the two convert_str,
// ToUstringImpl, GetErrorId, GetUnicodeMessageTxt, GetBaseMsgID. Add none in between.
#pragma once

#include <boost/exception/exception.hpp>

#include <cstdint>
#include <string>

#include "drfl/base_msg_id.hpp"

namespace foundation::core::except {

class BOOST_SYMBOL_VISIBLE IException : public boost::exception_detail::clone_base,
                                        public boost::exception {
 public:
  // The error's text in UTF-8; stays valid as long as this object (or a copy) lives.
  virtual const char* what() const noexcept;

 protected:
  IException() = default;
  IException(const IException&) = default;
  IException& operator=(const IException&) = default;
  ~IException() noexcept override;
};

class BOOST_SYMBOL_VISIBLE IUserException : public IException {
 public:
  // The text a user sees, as 16-bit characters.
  std::u16string ToUstring() const { return ToUstringImpl(); }

 protected:
  IUserException() = default;
  IUserException(const IUserException&) = default;
  ~IUserException() noexcept override;

  virtual std::u16string convert_str(const std::string& utf8) const;
  virtual std::string convert_str(const std::u16string& utf16) const;

 private:
  friend class IException;  // what() reads the text through the conversions above.
  virtual std::u16string ToUstringImpl() const = 0;
};

class BOOST_SYMBOL_VISIBLE IMsgIDException : public IUserException {
 public:
  // The error identifier, "component:key".
  virtual std::string GetErrorId() const = 0;
  // The catalogue's text for GetBaseMsgID(), placeholders filled in.
  virtual std::u16string GetUnicodeMessageTxt() const;
  virtual const resource_core::BaseMsgID& GetBaseMsgID() const = 0;

 protected:
  IMsgIDException();
  IMsgIDException(const IMsgIDException& other);
  ~IMsgIDException() noexcept override;

  // Forms the error identifier of `id`. Non-virtual, so it may run while a derived
  // object is still under construction.
  std::string get_error_id(const resource_core::BaseMsgID& id) const;

 private:
  std::u16string ToUstringImpl() const override;
};

namespace testing {
// IMsgIDException objects alive right now, and get_error_id calls since start-up.
std::int64_t LiveMsgIDExceptions();
std::int64_t GetErrorIdCalls();
}  // namespace testing

}  // namespace foundation::core::except
