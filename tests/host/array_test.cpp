// The stand-in host's arrays: shapes, zero fill, class resolution and scalar reads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "host_arrays.hpp"
#include "vq/legacy_error.hpp"

namespace tsne_test {
namespace {

namespace api = matrix::detail::noninlined::vq_array_api;

TEST(HostArrays, NumericArraysAreZeroFilledWithTheirShape) {
  for (const vqClassID class_id : {vqDOUBLE_CLASS, vqSINGLE_CLASS, vqINT8_CLASS, vqUINT16_CLASS,
                                   vqINT32_CLASS, vqUINT64_CLASS}) {
    SCOPED_TRACE(class_id);
    const matrix::ArrayPtr array(api::vqCreateNumericArray({3, 4, 5}, class_id, vqCOMPLEX));
    EXPECT_EQ(api::vqGetM(array.get()), 3u);
    EXPECT_EQ(api::vqGetN(array.get()), 20u);
    EXPECT_EQ(api::vqGetNumberOfElements(array.get()), 60u);
    EXPECT_EQ(api::vqGetClassID(array.get()), class_id);
    const auto* bytes = static_cast<const unsigned char*>(api::vqGetData(array.get()));
    const auto* imag = static_cast<const unsigned char*>(api::vqGetImagData(array.get()));
    const std::size_t size = 60 * array->element_size();
    EXPECT_TRUE(std::all_of(bytes, bytes + size, [](unsigned char b) { return b == 0; }));
    EXPECT_TRUE(std::all_of(imag, imag + size, [](unsigned char b) { return b == 0; }));
  }
  const matrix::ArrayPtr empty(api::vqCreateNumericMatrix(0, 7, vqDOUBLE_CLASS, vqREAL));
  EXPECT_EQ(api::vqGetNumberOfElements(empty.get()), 0u);
  EXPECT_EQ(api::vqGetN(empty.get()), 7u);
}

TEST(HostArrays, OnlyNumericClassesAreMadeAsNumeric) {
  for (const vqClassID class_id : {vqCHAR_CLASS, vqLOGICAL_CLASS, vqCELL_CLASS, vqOBJECT_CLASS}) {
    EXPECT_THROW(api::vqCreateNumericMatrix(1, 1, class_id, vqREAL), matrix::HostError);
  }
  EXPECT_THROW(api::vqCreateNumericMatrix(std::numeric_limits<std::uint64_t>::max(), 3,
                                          vqDOUBLE_CLASS, vqREAL),
               matrix::HostError);
}

TEST(HostArrays, ClassesAbove16AreResolvedByTheHost) {
  const matrix::ArrayPtr object(api::vqCreateObject(vqOBJECT_CLASS));
  EXPECT_GT(object->stored_class_id(), 16);
  const std::int64_t lookups = matrix::testing::NonTrivialClassLookups();
  EXPECT_EQ(object->class_id(), vqOBJECT_CLASS);
  EXPECT_EQ(matrix::testing::NonTrivialClassLookups(), lookups + 1);
  const matrix::ArrayPtr plain(api::vqCreateNumericMatrix(1, 1, vqSINGLE_CLASS, vqREAL));
  EXPECT_EQ(plain->class_id(), vqSINGLE_CLASS);
  EXPECT_EQ(matrix::testing::NonTrivialClassLookups(), lookups + 1);
}

TEST(HostArrays, ScalarIsTheFirstElementAsDouble) {
  EXPECT_EQ(api::vqGetScalar(MakeRow<double>({-2.5, 9}).get()), -2.5);
  EXPECT_EQ(api::vqGetScalar(MakeRow<float>({0.1f}).get()), static_cast<double>(0.1f));
  EXPECT_EQ(api::vqGetScalar(MakeArray<std::int8_t>(1, 1, {-7}, vqINT8_CLASS).get()), -7.0);
  EXPECT_EQ(api::vqGetScalar(MakeArray<std::uint64_t>(1, 1, {1ull << 60}, vqUINT64_CLASS).get()),
            std::ldexp(1.0, 60));
  EXPECT_EQ(api::vqGetScalar(MakeArray<std::int32_t>(1, 2, {40, 2}, vqINT32_CLASS).get()), 40.0);
  const matrix::ArrayPtr text(api::vqCreateString("A"));
  EXPECT_EQ(api::vqGetScalar(text.get()), 65.0);
  const matrix::ArrayPtr logical(api::vqCreateLogicalMatrix(1, 1));
  EXPECT_EQ(api::vqGetScalar(logical.get()), 0.0);
  // Nothing to read: the host raises.
  EXPECT_THROW(api::vqGetScalar(MakeRow<double>({}).get()), matrix::HostError);
  const matrix::ArrayPtr object(api::vqCreateObject(vqOBJECT_CLASS));
  EXPECT_THROW(api::vqGetScalar(object.get()), matrix::HostError);
}

}  // namespace
}  // namespace tsne_test
