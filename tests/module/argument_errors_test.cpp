// The entry point's three argument checks: their order, their identifiers and texts as
// the host reports them, and that a failed check writes no output.
#include <gtest/gtest.h>

#include <climits>

#include "drfl/message_catalogue.hpp"
#include "loss_module.hpp"
#include "vq/legacy_error.hpp"

namespace tsne_test {
namespace {

using matrix::detail::noninlined::vq_array_api::vqCreateObject;
using matrix::detail::noninlined::vq_array_api::vqCreateString;
using matrix::detail::noninlined::vq_array_api::vqCreateWithStoredClass;

Problem<double> ValidProblem() {
  Problem<double> p;
  p.n = 2;
  p.d = 1;
  p.y = {0.0, 1.0};
  p.row_indices = {2, 1};
  p.column_counts = {1, 1};
  p.values = {0.5, 0.5};
  return p;
}

enum class Embedding { kDouble, kInt32, kChar, kObject, kStoredCode99 };

struct ArgumentCase {
  const char* name;
  int nlhs;
  int nrhs;  // how many of the (at least five) inputs are handed over
  Embedding embedding;
  const char* identifier;
};

const ArgumentCase kArgumentCases[] = {
    {"no inputs", 1, 0, Embedding::kDouble, "quarn:tsnevek:TooFewInputsLoss"},
    {"four inputs", 1, 4, Embedding::kDouble, "quarn:tsnevek:TooFewInputsLoss"},
    {"negative input count", 1, INT_MIN, Embedding::kDouble, "quarn:tsnevek:TooFewInputsLoss"},
    {"four inputs beat two outputs", 2, 4, Embedding::kDouble, "quarn:tsnevek:TooFewInputsLoss"},
    {"four inputs beat a bad class", 1, 4, Embedding::kChar, "quarn:tsnevek:TooFewInputsLoss"},
    {"two outputs", 2, 5, Embedding::kDouble, "quarn:tsnevek:TooManyOutputs"},
    {"many outputs", INT_MAX, 6, Embedding::kDouble, "quarn:tsnevek:TooManyOutputs"},
    {"two outputs beat a bad class", 2, 5, Embedding::kInt32, "quarn:tsnevek:TooManyOutputs"},
    {"int32 embedding", 1, 5, Embedding::kInt32, "quarn:tsnevek:BadInputType"},
    {"char embedding", 0, 5, Embedding::kChar, "quarn:tsnevek:BadInputType"},
    {"object embedding", 1, 5, Embedding::kObject, "quarn:tsnevek:BadInputType"},
    {"unknown stored code", 1, 7, Embedding::kStoredCode99, "quarn:tsnevek:BadInputType"},
};

Inputs InputsFor(const ArgumentCase& c) {
  auto inputs = InputsOf(ValidProblem());
  switch (c.embedding) {
    case Embedding::kDouble: break;
    case Embedding::kInt32: inputs.owned[0] = MakeArray<std::int32_t>(1, 2, {0, 1}, vqINT32_CLASS); break;
    case Embedding::kChar: inputs.owned[0].reset(vqCreateString("yy")); break;
    case Embedding::kObject: inputs.owned[0].reset(vqCreateObject(vqOBJECT_CLASS)); break;
    case Embedding::kStoredCode99: inputs.owned[0].reset(vqCreateWithStoredClass(99, 1, 2)); break;
  }
  while (inputs.owned.size() < 7) inputs.owned.push_back(MakeScalar(0));
  return inputs;
}

TEST(ArgumentErrors, EachCaseRaisesItsIdentifierThroughTheLoader) {
  for (const ArgumentCase& c : kArgumentCases) {
    SCOPED_TRACE(c.name);
    auto inputs = InputsFor(c);
    auto handles = inputs.handles();
    handles.resize(c.nrhs < 0 ? 0 : static_cast<std::size_t>(c.nrhs));
    const std::int64_t arrays_before = matrix::testing::LiveArrays();
    const std::int64_t lookups_before = matrix::testing::NonTrivialClassLookups();
    try {
      LossModule().Call(c.nlhs == INT_MAX ? 2 : c.nlhs, handles);
      ADD_FAILURE() << "no error raised";
    } catch (const matrix::loader::ModuleError& error) {
      EXPECT_EQ(error.module(), "tsnelossvek");
      EXPECT_EQ(error.identifier(), c.identifier);
      const std::string key = std::string(c.identifier).substr(std::string("quarn:tsnevek:").size());
      EXPECT_EQ(error.text(), resource_core::FindMessageText("quarn:tsnevek", key));
    }
    EXPECT_EQ(matrix::testing::LiveArrays(), arrays_before) << "an output was created";
    EXPECT_EQ(matrix::testing::NonTrivialClassLookups(), lookups_before);
  }
}

// Called directly, so the real counts (negative ones too) reach the module and the
// output slots can be watched.
TEST(ArgumentErrors, NoOutputSlotIsWritten) {
  for (const ArgumentCase& c : kArgumentCases) {
    SCOPED_TRACE(c.name);
    auto inputs = InputsFor(c);
    auto handles = inputs.handles();
    auto* const sentinel = reinterpret_cast<vqArray_tag*>(0x1);
    vqArray_tag* slots[2] = {sentinel, sentinel};
    try {
      LossModule().entry_point()(c.nlhs, slots, c.nrhs, handles.data());
      ADD_FAILURE() << "no error raised";
    } catch (const matrix::HostError& error) {
      EXPECT_EQ(error.identifier(), c.identifier);
    }
    EXPECT_EQ(slots[0], sentinel);
    EXPECT_EQ(slots[1], sentinel);
  }
}

TEST(ArgumentErrors, CountsAtTheBoundaryPass) {
  const auto p = ValidProblem();
  for (int nlhs : {-1, 0, 1}) {
    for (int nrhs : {5, 6, 7}) {
      SCOPED_TRACE(testing::Message() << nlhs << " outputs, " << nrhs << " inputs");
      auto inputs = InputsOf(p);
      while (inputs.owned.size() < static_cast<std::size_t>(nrhs)) inputs.owned.push_back(MakeScalar(1));
      auto handles = inputs.handles();
      vqArray_tag* slot = nullptr;
      LossModule().entry_point()(nlhs, &slot, nrhs, handles.data());
      const matrix::ArrayPtr result(slot);
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(result->stored_class_id(), vqDOUBLE_CLASS);
    }
  }
}

}  // namespace
}  // namespace tsne_test
