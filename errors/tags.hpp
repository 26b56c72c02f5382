// The module's message identifiers. Each tag names one error in the host's catalogue
// (component "quarn:tsnevek", the tag's own name as key) and, as the first argument of
// the exception template, its own exception type.
//
// Visibility: a template instance is no more visible than its arguments, so the tags
// are marked visible too, or their exception types would be hidden with the module.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include <boost/config.hpp>

#include "drfl/base_msg_id.hpp"

namespace quarn::tsnevek {

inline constexpr const char* kComponent = "quarn:tsnevek";

// Fewer than five inputs were given.
struct BOOST_SYMBOL_VISIBLE TooFewInputsLoss : resource_core::BaseMsgID {
  TooFewInputsLoss() : BaseMsgID(kComponent, "TooFewInputsLoss", 0) {}
};

// More than one output was requested.
struct BOOST_SYMBOL_VISIBLE TooManyOutputs : resource_core::BaseMsgID {
  TooManyOutputs() : BaseMsgID(kComponent, "TooManyOutputs", 0) {}
};

// The embedding is neither double nor single.
struct BOOST_SYMBOL_VISIBLE BadInputType : resource_core::BaseMsgID {
  BadInputType() : BaseMsgID(kComponent, "BadInputType", 0) {}
};

}  // namespace quarn::tsnevek

// Breaches of the caller's contract on inputs 2 to 5. These carry arguments, so the
// host's text can say what is wrong and where.
namespace quarn::tsnevek {

// Input {1} is not a real {2} array; it is {3}.
struct BOOST_SYMBOL_VISIBLE BadSparseInputType : resource_core::BaseMsgID {
  BadSparseInputType(std::int64_t input, std::string expected, std::string actual)
      : BaseMsgID(kComponent, "BadSparseInputType", 3) {
    set_argument(0, input);
    set_argument(1, std::move(expected));
    set_argument(2, std::move(actual));
  }
};

// The embedding has {1} rows (D) and {2} columns (N): too many to address in 32 bits.
struct BOOST_SYMBOL_VISIBLE InputTooLarge : resource_core::BaseMsgID {
  InputTooLarge(std::uint64_t d, std::uint64_t n) : BaseMsgID(kComponent, "InputTooLarge", 2) {
    set_argument(0, std::to_string(d));
    set_argument(1, std::to_string(n));
  }
};

// N is {1}; input 3 holds {2} elements; element {3} is {4}; the counts up to it add up
// to {5}.
struct BOOST_SYMBOL_VISIBLE BadColumnCounts : resource_core::BaseMsgID {
  BadColumnCounts(std::int64_t n, std::uint64_t held, std::uint64_t element, std::string value,
                  std::string total)
      : BaseMsgID(kComponent, "BadColumnCounts", 5) {
    set_argument(0, n);
    set_argument(1, std::to_string(held));
    set_argument(2, std::to_string(element));
    set_argument(3, std::move(value));
    set_argument(4, std::move(total));
  }
};

// Input {1} holds {2} elements but the column counts add up to {3}.
struct BOOST_SYMBOL_VISIBLE SparseInputTooShort : resource_core::BaseMsgID {
  SparseInputTooShort(std::int64_t input, std::uint64_t held, std::int64_t entries)
      : BaseMsgID(kComponent, "SparseInputTooShort", 3) {
    set_argument(0, input);
    set_argument(1, std::to_string(held));
    set_argument(2, entries);
  }
};

// Row index number {1} is {2}, not a whole number from 1 to N = {3}.
struct BOOST_SYMBOL_VISIBLE BadRowIndex : resource_core::BaseMsgID {
  BadRowIndex(std::int64_t entry, std::string value, std::int64_t n)
      : BaseMsgID(kComponent, "BadRowIndex", 3) {
    set_argument(0, entry);
    set_argument(1, std::move(value));
    set_argument(2, n);
  }
};

// The embedding is a complex array of class {1}.
struct BOOST_SYMBOL_VISIBLE ComplexEmbedding : resource_core::BaseMsgID {
  explicit ComplexEmbedding(std::string class_name) : BaseMsgID(kComponent, "ComplexEmbedding", 1) {
    set_argument(0, std::move(class_name));
  }
};

// Input 5 is {1}, of a class that has no scalar value.
struct BOOST_SYMBOL_VISIBLE BadNormaliserType : resource_core::BaseMsgID {
  explicit BadNormaliserType(std::string actual) : BaseMsgID(kComponent, "BadNormaliserType", 1) {
    set_argument(0, std::move(actual));
  }
};

// Input 5 is {1}: complex.
struct BOOST_SYMBOL_VISIBLE ComplexNormaliser : resource_core::BaseMsgID {
  explicit ComplexNormaliser(std::string actual) : BaseMsgID(kComponent, "ComplexNormaliser", 1) {
    set_argument(0, std::move(actual));
  }
};

// Input 5 is {1} with {2} elements.
struct BOOST_SYMBOL_VISIBLE EmptyNormaliser : resource_core::BaseMsgID {
  EmptyNormaliser(std::string actual, std::uint64_t held)
      : BaseMsgID(kComponent, "EmptyNormaliser", 2) {
    set_argument(0, std::move(actual));
    set_argument(1, std::to_string(held));
  }
};

}  // namespace quarn::tsnevek
