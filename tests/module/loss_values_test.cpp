// Results of the built module, called through the host's loader, against the loss
// written out plainly (reference_loss.hpp).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "bits.hpp"
#include "kernel/loss_kernel.hpp"
#include "loss_module.hpp"
#include "reference_loss.hpp"

namespace tsne_test {
namespace {

template <typename T>
class LossValues : public ::testing::Test {};
using ElementTypes = ::testing::Types<double, float>;
TYPED_TEST_SUITE(LossValues, ElementTypes);

template <typename T>
T Reference(const Problem<T>& p) {
  return ReferenceLoss(p.y, p.n, p.d, p.row_indices, p.column_counts, p.values, p.z);
}

// Two points (0, 0) and (3, 4), each the other's only neighbour with p = 0.5, Z = 1:
// each column adds 0.5 ln(0.5 * 26), so the loss is ln 13.
template <typename T>
Problem<T> WorkedExample() {
  Problem<T> p;
  p.n = 2;
  p.d = 2;
  p.y = {0, 0, 3, 4};
  p.row_indices = {2, 1};
  p.column_counts = {1, 1};
  p.values = {T(0.5), T(0.5)};
  p.z = 1;
  return p;
}

TEST(LossValuesWorkedExample, IsLnThirteen) {
  EXPECT_TRUE(SameBits(ModuleLoss(WorkedExample<double>()), std::log(13.0)));
  EXPECT_EQ(ModuleLoss(WorkedExample<double>()), 2.5649493574615367);
  EXPECT_TRUE(SameBits(ModuleLoss(WorkedExample<float>()), static_cast<float>(std::log(13.0))));
}

TYPED_TEST(LossValues, MatchesReferenceOnRandomProblems) {
  std::mt19937_64 rng(20261208);
  for (int trial = 0; trial < 600; ++trial) {
    SCOPED_TRACE(trial);
    // Small problems; many points; long columns that span several blocks of entries
    // and the stretch at the end where nothing is fetched ahead.
    const std::int32_t max_n = trial < 200 ? 6 : trial < 400 ? 60 : 25;
    const std::int32_t max_count = trial < 400 ? 9 : 80;
    const auto p = RandomProblem<TypeParam>(rng, max_n, trial % 4 == 0 ? 12 : 4, max_count);
    EXPECT_TRUE(SameBits(ModuleLoss(p), Reference(p)));
  }
}

// The kernel on its own, where the host's aligned arrays cannot take it: Y one element
// off alignment (2-D points then straddle cache lines), and entry counts around the
// block and fetch-ahead edges, split into columns of any length, empty ones included;
// with and without an infinity, a signed zero or a NaN among the coordinates. Inputs are
// exactly as long as they need to be, so the sanitizer build sees any read past them.
TYPED_TEST(LossValues, KernelGivesTheReferenceBitsAtEdgesAndOnUnalignedY) {
  using T = TypeParam;
  std::mt19937_64 rng(91);
  const T special[] = {std::numeric_limits<T>::infinity(), -std::numeric_limits<T>::infinity(), -T(0),
                       std::numeric_limits<T>::quiet_NaN()};
  auto check = [&](std::uint32_t d, std::size_t entries, std::size_t offset, bool specials) {
    SCOPED_TRACE(::testing::Message() << "d " << d << ", entries " << entries << ", offset " << offset
                                      << (specials ? ", a special coordinate" : ""));
    auto p = RandomProblem<T>(rng, 1, d, 0);  // for its Z
    p.n = 1 + static_cast<std::int32_t>(rng() % 30);
    p.d = d;
    std::vector<T> stored(offset + std::size_t{d} * p.n);
    std::normal_distribution<double> coordinate(0.0, 5.0);
    for (T& v : stored) v = static_cast<T>(coordinate(rng));
    if (specials && d > 0) stored[offset + rng() % (std::size_t{d} * p.n)] = special[rng() % 4];
    p.y.assign(stored.begin() + static_cast<std::ptrdiff_t>(offset), stored.end());
    p.column_counts.assign(p.n, 0);
    for (std::size_t e = 0; e < entries; ++e) {
      p.column_counts[rng() % p.n] += 1;
      p.row_indices.push_back(1 + static_cast<double>(rng() % p.n));
      p.values.push_back(static_cast<T>(std::uniform_real_distribution<double>(1e-6, 1.0)(rng)));
    }
    T result = 0;
    quarn::tsnevek::LossKernel<T>(stored.data() + offset, p.n, p.d, p.row_indices.data(), p.column_counts.data(),
                                  p.values.data(), p.z, &result);
    EXPECT_TRUE(SameBits(result, Reference(p)));
  };
  for (const std::uint32_t d : {1u, 2u, 3u}) {
    for (const std::size_t entries : {1, 3, 15, 16, 17, 63, 64, 65, 66, 80, 81, 200}) {
      for (const std::size_t offset : {0, 1}) {
        check(d, entries, offset, false);
        check(d, entries, offset, true);
      }
    }
  }
}

TYPED_TEST(LossValues, StoredZerosAddNothing) {
  std::mt19937_64 rng(7);
  for (int trial = 0; trial < 100; ++trial) {
    SCOPED_TRACE(trial);
    const auto without = RandomProblem<TypeParam>(rng, 20, 3, trial % 2 ? 5 : 40);
    // Insert +0 and -0 entries at random places, with any row index.
    auto with = without;
    with.row_indices.clear();
    with.values.clear();
    std::size_t e = 0;
    for (std::int32_t i = 0; i < without.n; ++i) {
      const auto count = static_cast<std::size_t>(without.column_counts[i]);
      std::size_t added = 0;
      for (std::size_t k = 0; k <= count; ++k) {
        if (rng() % 3 == 0) {
          with.row_indices.push_back(1 + static_cast<double>(rng() % without.n));
          with.values.push_back(rng() % 2 ? TypeParam(0) : -TypeParam(0));
          ++added;
        }
        if (k < count) {
          with.row_indices.push_back(without.row_indices[e]);
          with.values.push_back(without.values[e++]);
        }
      }
      with.column_counts[i] = static_cast<double>(count + added);
    }
    EXPECT_TRUE(SameBits(ModuleLoss(with), ModuleLoss(without)));
    EXPECT_TRUE(SameBits(ModuleLoss(with), Reference(without)));
  }
}

TYPED_TEST(LossValues, FollowsIeeeSpecialValues) {
  using T = TypeParam;
  // A negative value makes the logarithm not a number.
  auto negative = WorkedExample<T>();
  negative.values[1] = T(-0.5);
  EXPECT_TRUE(std::isnan(ModuleLoss(negative)));
  // Z = 0 gives a term of minus infinity.
  auto zero_z = WorkedExample<T>();
  zero_z.z = 0;
  EXPECT_EQ(ModuleLoss(zero_z), -std::numeric_limits<T>::infinity());
  // A product past the range of T gives plus infinity.
  auto huge = WorkedExample<T>();
  huge.z = std::numeric_limits<T>::max();
  EXPECT_EQ(ModuleLoss(huge), std::numeric_limits<T>::infinity());
}

TYPED_TEST(LossValues, Shapes) {
  using T = TypeParam;
  // D = 0: no coordinates, s = 1, every term is p ln(p Z).
  Problem<T> flat;
  flat.n = 3;
  flat.d = 0;
  flat.column_counts = {2, 0, 1};
  flat.row_indices = {3, 1, 2};
  flat.values = {T(0.25), T(0.5), T(0.125)};
  flat.z = T(3);
  EXPECT_TRUE(SameBits(ModuleLoss(flat), Reference(flat)));
  // Self-pairs and duplicates of one pair each add their own term.
  auto pairs = WorkedExample<T>();
  pairs.column_counts = {3, 1};
  pairs.row_indices = {1, 2, 2, 1};
  pairs.values = {T(0.1), T(0.2), T(0.2), T(0.5)};
  EXPECT_TRUE(SameBits(ModuleLoss(pairs), Reference(pairs)));
  // Y stored as a d-by-a-by-b array: N counts every column after the first extent.
  const auto p = WorkedExample<T>();
  auto inputs = InputsOf(p);
  inputs.owned[0].reset(matrix::detail::noninlined::vq_array_api::vqCreateNumericArray(
      {2, 1, 2}, kClassOf<T>, vqREAL));
  std::memcpy(inputs.owned[0]->real_data(), p.y.data(), p.y.size() * sizeof(T));
  const auto outputs = LossModule().Call(1, inputs.handles());
  EXPECT_TRUE(SameBits(First<T>(outputs[0].get()), Reference(p)));
}

TYPED_TEST(LossValues, NoPointsGiveZeroWithoutReadingSparseInputs) {
  using T = TypeParam;
  Problem<T> empty;  // N = 0, D = 3
  empty.d = 3;
  auto inputs = InputsOf(empty);
  // Inputs 2 to 4 hold nothing, so any read of them fails under AddressSanitizer.
  for (int k : {1, 2, 3}) {
    inputs.owned[k].reset(matrix::detail::noninlined::vq_array_api::vqCreateNumericMatrix(
        0, 0, k == 3 ? kClassOf<T> : vqDOUBLE_CLASS, vqREAL));
  }
  const auto outputs = LossModule().Call(1, inputs.handles());
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_EQ(outputs[0]->class_id(), kClassOf<T>);
  EXPECT_TRUE(SameBits(First<T>(outputs[0].get()), T(0)));
}

TYPED_TEST(LossValues, ResultIsOneByOneRealOfYsClass) {
  using T = TypeParam;
  for (int nlhs : {0, 1}) {
    const auto outputs = LossModule().Call(nlhs, InputsOf(WorkedExample<T>()).handles());
    ASSERT_EQ(outputs.size(), 1u) << "nlhs " << nlhs;
    EXPECT_EQ(outputs[0]->stored_class_id(), kClassOf<T>);
    EXPECT_EQ(outputs[0]->get_dimensions(), (std::vector<std::uint64_t>{1, 1}));
    EXPECT_EQ(outputs[0]->complexity(), vqREAL);
  }
}

TYPED_TEST(LossValues, ReadsOnlyWhatItNeedsOfExtraAndScalarInputs) {
  using T = TypeParam;
  const auto p = WorkedExample<T>();
  const T expected = Reference(p);
  // Inputs past the fifth are ignored, whatever they are.
  auto inputs = InputsOf(p);
  inputs.owned.push_back(matrix::ArrayPtr(matrix::detail::noninlined::vq_array_api::vqCreateString("extra")));
  inputs.owned.push_back(MakeScalar(std::nan("")));
  EXPECT_TRUE(SameBits(First<T>(LossModule().Call(1, inputs.handles())[0].get()), expected));
  // Only the first element of Z is used.
  auto several = InputsOf(p);
  several.owned[4] = MakeRow<double>({1.0, 1e6, -3.0});
  EXPECT_TRUE(SameBits(First<T>(LossModule().Call(1, several.handles())[0].get()), expected));
  // Z of another class goes through the host's conversion to double, then to T. The
  // values are beyond what a narrower or differently signed reading would give.
  struct IntegerZ {
    const char* name;
    matrix::ArrayPtr array;
    double as_double;
  };
  const std::uint64_t big_unsigned = (std::uint64_t{1} << 63) + 2048;
  const std::int64_t big_signed = (std::int64_t{1} << 40) + 5;
  IntegerZ cases[] = {
      {"int32", MakeArray<std::int32_t>(1, 1, {1}, vqINT32_CLASS), 1.0},
      {"uint64 above 2^63", MakeArray<std::uint64_t>(1, 1, {big_unsigned}, vqUINT64_CLASS), 9223372036854777856.0},
      {"int64 above 2^32", MakeArray<std::int64_t>(1, 1, {big_signed}, vqINT64_CLASS), 1099511627781.0},
  };
  for (IntegerZ& c : cases) {
    SCOPED_TRACE(c.name);
    auto with_z = InputsOf(p);
    with_z.owned[4] = std::move(c.array);
    auto converted = p;
    converted.z = static_cast<T>(c.as_double);
    EXPECT_TRUE(SameBits(First<T>(LossModule().Call(1, with_z.handles())[0].get()), Reference(converted)));
  }
}

TEST(LossValuesSingle, DoubleZIsRoundedToSingle) {
  auto p = WorkedExample<float>();
  const double z = 1.0 + std::ldexp(1.0, -30);  // not a single; rounds to 1.0f
  auto inputs = InputsOf(p);
  inputs.owned[4] = MakeScalar(z);
  const auto outputs = LossModule().Call(1, inputs.handles());
  EXPECT_EQ(outputs[0]->stored_class_id(), vqSINGLE_CLASS);
  p.z = static_cast<float>(z);
  EXPECT_TRUE(SameBits(First<float>(outputs[0].get()), Reference(p)));
  EXPECT_TRUE(SameBits(First<float>(outputs[0].get()), static_cast<float>(std::log(13.0))));
}

}  // namespace
}  // namespace tsne_test
