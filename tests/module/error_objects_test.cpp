// The exception objects the module raises: what they carry, how they copy and clone,
// what a caller can catch them as when the host gives control back, and that every
// object built during a raise is destroyed exactly once.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <typeinfo>

#include "drfl/message_catalogue.hpp"
#include "errors/raise_host_error.hpp"
#include "errors/tags.hpp"
#include "loss_module.hpp"
#include "vq/legacy_error.hpp"

namespace tsne_test {
namespace {

using foundation::core::except::IException;
using foundation::core::except::IMsgIDException;
using foundation::core::except::IUserException;
using quarn::tsnevek::BadInputType;
using quarn::tsnevek::ErrorOf;
using quarn::tsnevek::TooFewInputsLoss;
using quarn::tsnevek::TooManyOutputs;

std::int64_t LiveIds() { return resource_core::testing::LiveBaseMsgIDs(); }
std::int64_t LiveErrors() { return foundation::core::except::testing::LiveMsgIDExceptions(); }
std::int64_t ErrorIdCalls() { return foundation::core::except::testing::GetErrorIdCalls(); }

std::string Catalogue(const std::string& key) {
  return resource_core::FindMessageText("quarn:tsnevek", key);
}

// Calls the module's entry point so that it raises the error of Tag.
template <class Tag>
void RaiseThroughModule() {
  Problem<double> p;
  p.n = 1;
  p.d = 1;
  p.y = {0};
  p.column_counts = {0};
  auto inputs = InputsOf(p);
  int nlhs = 1;
  if constexpr (std::is_same_v<Tag, TooFewInputsLoss>) inputs.owned.pop_back();
  if constexpr (std::is_same_v<Tag, TooManyOutputs>) nlhs = 2;
  if constexpr (std::is_same_v<Tag, BadInputType>) {
    inputs.owned[0] = MakeArray<std::int8_t>(1, 1, {0}, vqINT8_CLASS);
  }
  auto handles = inputs.handles();
  vqArray_tag* slots[2] = {nullptr, nullptr};
  LossModule().entry_point()(nlhs, slots, static_cast<int>(handles.size()), handles.data());
}

// Each tag's key, written out: a misspelt key in a tag must not pass.
template <class Tag>
const char* kKey = nullptr;
template <>
const char* kKey<TooFewInputsLoss> = "TooFewInputsLoss";
template <>
const char* kKey<TooManyOutputs> = "TooManyOutputs";
template <>
const char* kKey<BadInputType> = "BadInputType";

template <class Tag>
const std::string kIdentifier = std::string("quarn:tsnevek:") + kKey<Tag>;

template <class Tag>
class ErrorObjects : public ::testing::Test {};
using Tags = ::testing::Types<TooFewInputsLoss, TooManyOutputs, BadInputType>;
TYPED_TEST_SUITE(ErrorObjects, Tags);

TYPED_TEST(ErrorObjects, TagCarriesComponentAndKeyOnly) {
  const TypeParam tag;
  EXPECT_EQ(tag.component(), "quarn:tsnevek");
  EXPECT_TRUE(tag.arguments().empty());
  EXPECT_EQ(tag.key(), kKey<TypeParam>);
  auto copy = tag;
  EXPECT_EQ(copy.key(), kKey<TypeParam>);
  EXPECT_EQ(copy.component(), tag.component());
  EXPECT_TRUE(copy.arguments().empty());
}

TYPED_TEST(ErrorObjects, IdentifierIsFormedOnceAndTravelsWithCopiesAndClones) {
  const TypeParam tag;
  const std::string& expected = kIdentifier<TypeParam>;
  const std::int64_t calls = ErrorIdCalls();
  auto original = std::make_unique<ErrorOf<TypeParam>>(tag);
  EXPECT_EQ(ErrorIdCalls(), calls + 1);
  const ErrorOf<TypeParam> copy(*original);
  std::unique_ptr<const boost::exception_detail::clone_base> clone(original->clone());
  EXPECT_EQ(ErrorIdCalls(), calls + 1) << "copies must not ask the host again";
  original.reset();  // the clone and the copy stand on their own
  const auto& cloned = dynamic_cast<const ErrorOf<TypeParam>&>(*clone);
  for (const IMsgIDException* error : {static_cast<const IMsgIDException*>(&copy),
                                       static_cast<const IMsgIDException*>(&cloned)}) {
    EXPECT_EQ(error->GetErrorId(), expected);
    EXPECT_EQ(error->GetBaseMsgID().component(), "quarn:tsnevek");
    EXPECT_EQ(error->GetBaseMsgID().key(), kKey<TypeParam>);
    EXPECT_TRUE(error->GetBaseMsgID().arguments().empty());
  }
  EXPECT_THROW(clone->rethrow(), ErrorOf<TypeParam>);
}

TYPED_TEST(ErrorObjects, WhatIsTheHostsTextThroughEveryBase) {
  const ErrorOf<TypeParam> error{TypeParam()};
  const IException& as_host = error;
  const std::exception& as_std = error;
  const std::string text = Catalogue(kKey<TypeParam>);
  EXPECT_EQ(as_host.what(), text);
  EXPECT_EQ(as_std.what(), text);
  EXPECT_EQ(as_host.what(), as_std.what()) << "one text, kept by the object";
}

// With a host that gives control back, the module throws the error itself.
TYPED_TEST(ErrorObjects, FallbackThrowIsCaughtAsEveryListedType) {
  const matrix::testing::ScopedLegacyErrorMode returning(matrix::testing::LegacyErrorMode::kReturn);
  const std::string& expected = kIdentifier<TypeParam>;
  const std::vector<std::pair<const char*, std::function<bool()>>> handlers = {
      {"concrete", [] { try { RaiseThroughModule<TypeParam>(); } catch (const ErrorOf<TypeParam>&) { return true; } return false; }},
      {"IMsgIDException", [] { try { RaiseThroughModule<TypeParam>(); } catch (const IMsgIDException&) { return true; } return false; }},
      {"IUserException", [] { try { RaiseThroughModule<TypeParam>(); } catch (const IUserException&) { return true; } return false; }},
      {"IException", [] { try { RaiseThroughModule<TypeParam>(); } catch (const IException&) { return true; } return false; }},
      {"clone_base", [] { try { RaiseThroughModule<TypeParam>(); } catch (const boost::exception_detail::clone_base&) { return true; } return false; }},
      {"boost::exception", [] { try { RaiseThroughModule<TypeParam>(); } catch (const boost::exception&) { return true; } return false; }},
      {"std::exception", [] { try { RaiseThroughModule<TypeParam>(); } catch (const std::exception&) { return true; } return false; }},
  };
  for (const auto& [name, caught] : handlers) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(caught());
  }
  try {
    RaiseThroughModule<TypeParam>();
    FAIL() << "returned";
  } catch (const std::exception& error) {
    EXPECT_EQ(typeid(error), typeid(ErrorOf<TypeParam>));
    EXPECT_EQ(std::string(error.what()), Catalogue(kKey<TypeParam>));
    const auto& with_id = dynamic_cast<const IMsgIDException&>(error);
    EXPECT_EQ(with_id.GetErrorId(), expected);
    EXPECT_EQ(with_id.GetBaseMsgID().key(), kKey<TypeParam>);
  }
}

TYPED_TEST(ErrorObjects, HostIsAskedOnceAndEveryObjectIsDestroyedOnce) {
  for (const auto mode : {matrix::testing::LegacyErrorMode::kRaise, matrix::testing::LegacyErrorMode::kReturn}) {
    SCOPED_TRACE(mode == matrix::testing::LegacyErrorMode::kRaise ? "host raises" : "host returns");
    const matrix::testing::ScopedLegacyErrorMode scoped(mode);
    const std::int64_t ids = LiveIds();
    const std::int64_t errors = LiveErrors();
    const std::int64_t calls = ErrorIdCalls();
    const std::int64_t legacy_calls = matrix::testing::LegacyErrorCalls();
    std::unique_ptr<const boost::exception_detail::clone_base> kept;
    {
      // While the host holds the error: the tag temporary and the local exception (with
      // its own tag) are alive, and a clone taken now outlives the call.
      const matrix::testing::ScopedLegacyErrorObserver observer([&](const IUserException& error) {
        EXPECT_EQ(LiveIds(), ids + 2);
        EXPECT_EQ(LiveErrors(), errors + 1);
        const auto& with_id = dynamic_cast<const IMsgIDException&>(error);
        EXPECT_EQ(with_id.GetErrorId(), kIdentifier<TypeParam>);
        EXPECT_EQ(with_id.GetBaseMsgID().key(), kKey<TypeParam>);
        kept.reset(error.clone());
      });
      bool host_error = false;
      bool module_error = false;
      try {
        RaiseThroughModule<TypeParam>();
      } catch (const matrix::HostError&) {
        host_error = true;
      } catch (const ErrorOf<TypeParam>&) {
        module_error = true;
        EXPECT_EQ(LiveErrors(), errors + 2) << "the thrown copy and the clone; the local one is gone";
      }
      EXPECT_EQ(host_error, mode == matrix::testing::LegacyErrorMode::kRaise);
      EXPECT_EQ(module_error, mode == matrix::testing::LegacyErrorMode::kReturn);
    }
    EXPECT_EQ(ErrorIdCalls(), calls + 1);
    EXPECT_EQ(matrix::testing::LegacyErrorCalls(), legacy_calls + 1);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(dynamic_cast<const IMsgIDException&>(*kept).GetErrorId(), kIdentifier<TypeParam>);
    kept.reset();
    EXPECT_EQ(LiveIds(), ids);
    EXPECT_EQ(LiveErrors(), errors);
  }
}

}  // namespace
}  // namespace tsne_test
