// How the host raises a module's error, and the switch tests use to make it return.
#include <gtest/gtest.h>

#include "errors/raise_host_error.hpp"
#include "errors/tags.hpp"
#include "vq/legacy_error.hpp"

namespace tsne_test {
namespace {

using quarn::tsnevek::ErrorOf;
using quarn::tsnevek::TooManyOutputs;

TEST(LegacyError, RaisesAHostErrorWithIdentifierAndText) {
  const ErrorOf<TooManyOutputs> error{TooManyOutputs()};
  const std::int64_t calls = matrix::testing::LegacyErrorCalls();
  try {
    matrix::detail::do_legacy_vq_error(error);
    FAIL() << "returned";
  } catch (const matrix::HostError& raised) {
    EXPECT_EQ(raised.identifier(), "quarn:tsnevek:TooManyOutputs");
    EXPECT_EQ(raised.message(), error.what());
    EXPECT_EQ(std::string(raised.what()), raised.identifier() + ": " + raised.message());
  }
  EXPECT_EQ(matrix::testing::LegacyErrorCalls(), calls + 1);
}

TEST(LegacyError, ReturnsOnlyWhileSwitchedAndRestoresAfter) {
  const ErrorOf<TooManyOutputs> error{TooManyOutputs()};
  {
    const matrix::testing::ScopedLegacyErrorMode returning(matrix::testing::LegacyErrorMode::kReturn);
    EXPECT_NO_THROW(matrix::detail::do_legacy_vq_error(error));
    EXPECT_THROW(quarn::tsnevek::raise_host_error(TooManyOutputs()), ErrorOf<TooManyOutputs>);
  }
  EXPECT_THROW(matrix::detail::do_legacy_vq_error(error), matrix::HostError);
  EXPECT_THROW(quarn::tsnevek::raise_host_error(TooManyOutputs()), matrix::HostError);
}

}  // namespace
}  // namespace tsne_test
