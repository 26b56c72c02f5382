// The one way the module reports an error: hand the tag's exception to the host,
// which raises it in its own way. Only if the host gives control back is the
// exception thrown from here, as its concrete type.
#pragma once

#include <exception>

#include "errors/exception.hpp"
#include "vq/legacy_error.hpp"

namespace quarn::tsnevek {

template <class Tag>
using ErrorOf = foundation::core::except::Exception<Tag, std::exception, void>;

// Never returns.
template <class Tag>
[[noreturn]] void raise_host_error(const Tag& tag) {
  const ErrorOf<Tag> error(tag);
  matrix::detail::do_legacy_vq_error(error);
  throw error;  // a copy; the host came back
}

}  // namespace quarn::tsnevek
