// Inputs that break the caller's contract: each kind of breach is raised with its own
// identifier and arguments before any output exists, the first breach in the fixed
// order decides, and no input, however broken, makes the module read outside an array
// (this suite also runs under AddressSanitizer and UndefinedBehaviorSanitizer).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>

#include "bits.hpp"
#include "errors/tags.hpp"
#include "gateway/contract_checks.hpp"
#include "loss_module.hpp"
#include "reference_loss.hpp"
#include "vq/legacy_error.hpp"

namespace tsne_test {
namespace {

namespace api = matrix::detail::noninlined::vq_array_api;
using resource_core::MsgArg;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct Raised {
  std::string identifier;
  std::vector<MsgArg> arguments;
};

// Calls the entry point with the host switched to return, so the module's own
// exception arrives with its arguments; checks that no output slot was written.
std::optional<Raised> CallForError(const Inputs& inputs) {
  const matrix::testing::ScopedLegacyErrorMode returning(matrix::testing::LegacyErrorMode::kReturn);
  auto handles = inputs.handles();
  auto* const sentinel = reinterpret_cast<vqArray_tag*>(0x1);
  vqArray_tag* slot = sentinel;
  try {
    LossModule().entry_point()(1, &slot, static_cast<int>(handles.size()), handles.data());
  } catch (const foundation::core::except::IMsgIDException& error) {
    EXPECT_EQ(slot, sentinel) << "an output was written before the error";
    return Raised{error.GetErrorId(), error.GetBaseMsgID().arguments()};
  }
  matrix::ArrayPtr{slot};
  return std::nullopt;
}

// Three points in two dimensions, five stored entries.
Problem<double> Valid() {
  Problem<double> p;
  p.n = 3;
  p.d = 2;
  p.y = {0, 0, 1, 2, -3, 4};
  p.column_counts = {2, 1, 2};
  p.row_indices = {2, 3, 1, 1, 2};
  p.values = {0.1, 0.2, 0.3, 0.15, 0.25};
  p.z = 2;
  return p;
}

struct BreachCase {
  const char* name;
  std::function<void(Problem<double>&)> problem_change;  // applied before the arrays are made
  std::function<void(Inputs&)> input_change;              // applied to the arrays
  std::vector<MsgArg> arguments;
};

void ExpectBreaches(const char* identifier, const std::vector<BreachCase>& cases) {
  for (const BreachCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = Valid();
    if (c.problem_change) c.problem_change(p);
    auto inputs = InputsOf(p);
    if (c.input_change) c.input_change(inputs);
    const std::int64_t arrays = matrix::testing::LiveArrays();
    const auto raised = CallForError(inputs);
    ASSERT_TRUE(raised.has_value()) << "no error";
    EXPECT_EQ(raised->identifier, std::string("quarn:tsnevek:") + identifier);
    EXPECT_EQ(raised->arguments, c.arguments);
    EXPECT_EQ(matrix::testing::LiveArrays(), arrays);
  }
}

MsgArg Text(const char* text) { return std::string(text); }
MsgArg Int(std::int64_t value) { return value; }

TEST(ContractBreaches, BadSparseInputType) {
  ExpectBreaches("BadSparseInputType", {
      {"single row indices", nullptr, [](Inputs& in) { in.owned[1] = MakeRow<float>({2, 3, 1, 1, 2}); },
       {Int(2), Text("double"), Text("a single array")}},
      {"complex row indices", nullptr, [](Inputs& in) { in.owned[1].reset(api::vqCreateNumericMatrix(1, 5, vqDOUBLE_CLASS, vqCOMPLEX)); },
       {Int(2), Text("double"), Text("a complex double array")}},
      {"int32 counts", nullptr, [](Inputs& in) { in.owned[2] = MakeArray<std::int32_t>(1, 3, {2, 1, 2}, vqINT32_CLASS); },
       {Int(3), Text("double"), Text("an int32 array")}},
      {"uint8 counts", nullptr, [](Inputs& in) { in.owned[2] = MakeArray<std::uint8_t>(1, 3, {2, 1, 2}, vqUINT8_CLASS); },
       {Int(3), Text("double"), Text("a uint8 array")}},
      {"char counts", nullptr, [](Inputs& in) { in.owned[2].reset(api::vqCreateString("abc")); },
       {Int(3), Text("double"), Text("a char array")}},
      {"single values for a double Y", nullptr, [](Inputs& in) { in.owned[3] = MakeRow<float>({0.1f, 0.2f, 0.3f, 0.1f, 0.2f}); },
       {Int(4), Text("double"), Text("a single array")}},
      {"object values", nullptr, [](Inputs& in) { in.owned[3].reset(api::vqCreateObject(vqOBJECT_CLASS)); },
       {Int(4), Text("double"), Text("an object array")}},
      {"double values for a single Y",
       nullptr, [](Inputs& in) { in.owned[0] = MakeArray<float>(2, 3, {0, 0, 1, 2, -3, 4}); },
       {Int(4), Text("single"), Text("a double array")}},
  });
}

TEST(ContractBreaches, InputTooLargeThroughTheModule) {
  // 2^31 points of no dimension: no storage, but too many to count in 32 bits.
  ExpectBreaches("InputTooLarge", {
      {"2^31 points", nullptr, [](Inputs& in) { in.owned[0].reset(api::vqCreateNumericMatrix(0, std::uint64_t{1} << 31, vqDOUBLE_CLASS, vqREAL)); },
       {Text("0"), Text("2147483648")}},
      {"2^31 points as d-by-a-by-b", nullptr, [](Inputs& in) { in.owned[0].reset(api::vqCreateNumericArray({0, 1u << 16, 1u << 15}, vqDOUBLE_CLASS, vqREAL)); },
       {Text("0"), Text("2147483648")}},
  });
}

TEST(ContractBreaches, InputTooLargeAtTheSizeLimits) {
  struct Size {
    std::uint64_t d, n;
    bool too_large;
  };
  const std::uint64_t two31 = std::uint64_t{1} << 31;
  const std::uint64_t two32 = std::uint64_t{1} << 32;
  const Size sizes[] = {
      // Boundary cases that pass
      {2, two31 - 1, false}, {two31, 2, false}, {1, two31 - 1, false}, {two32 - 1, 1, false},
      {two32, 0, false}, {0, two31 - 1, false}, {65536, 65536, false},
      // and that fail
      {0, two31, true}, {1, two31, true}, {3, two31 - 1, true}, {two32, 1, true},
      {two32 + 1, 1, true}, {65537, 65536, true}, {UINT64_MAX, 2, true}, {2, UINT64_MAX, true},
  };
  for (const Size& s : sizes) {
    SCOPED_TRACE(testing::Message() << "D " << s.d << ", N " << s.n);
    bool raised = false;
    try {
      quarn::tsnevek::detail::CheckSizes(s.d, s.n);
    } catch (const matrix::HostError& error) {
      raised = true;
      EXPECT_EQ(error.identifier(), "quarn:tsnevek:InputTooLarge");
      EXPECT_EQ(error.message().rfind("The embedding Y has " + std::to_string(s.d) + " rows and " +
                                          std::to_string(s.n) + " columns;", 0),
                0u)
          << error.message();
      if (s.d >= two32 && s.n != 0) {
        EXPECT_NE(error.message().find("fewer than 2^32 rows"), std::string::npos) << error.message();
      }
    }
    EXPECT_EQ(raised, s.too_large);
  }
}

TEST(ContractBreaches, BadColumnCounts) {
  auto count = [](std::size_t k, double value) {
    return [k, value](Problem<double>& p) { p.column_counts[k] = value; };
  };
  ExpectBreaches("BadColumnCounts", {
      {"NaN", count(1, kNaN), nullptr, {Int(3), Text("3"), Text("2"), Text("NaN"), Text("2")}},
      {"+inf", count(0, kInf), nullptr, {Int(3), Text("3"), Text("1"), Text("Inf"), Text("0")}},
      {"-inf", count(2, -kInf), nullptr, {Int(3), Text("3"), Text("3"), Text("-Inf"), Text("3")}},
      {"negative", count(1, -1), nullptr, {Int(3), Text("3"), Text("2"), Text("-1"), Text("2")}},
      {"fraction", count(0, 0.5), nullptr, {Int(3), Text("3"), Text("1"), Text("0.5"), Text("0")}},
      {"short by one", [](Problem<double>& p) { p.column_counts.pop_back(); }, nullptr,
       {Int(3), Text("2"), Text("3"), Text("missing"), Text("3")}},
      {"empty", [](Problem<double>& p) { p.column_counts.clear(); }, nullptr,
       {Int(3), Text("0"), Text("1"), Text("missing"), Text("0")}},
      {"sum reaches 2^31", [](Problem<double>& p) { p.column_counts = {1073741824, 1073741824, 0}; }, nullptr,
       {Int(3), Text("3"), Text("2"), Text("1073741824"), Text("2147483648")}},
      {"huge whole count", count(0, 1e300), nullptr, {Int(3), Text("3"), Text("1"), Text("1e+300"), Text("0")}},
  });
}

TEST(ContractBreaches, SparseInputTooShort) {
  ExpectBreaches("SparseInputTooShort", {
      {"row indices one short", [](Problem<double>& p) { p.row_indices.pop_back(); }, nullptr,
       {Int(2), Text("4"), Int(5)}},
      {"values one short", [](Problem<double>& p) { p.values.pop_back(); }, nullptr,
       {Int(4), Text("4"), Int(5)}},
      {"no values", [](Problem<double>& p) { p.values.clear(); }, nullptr, {Int(4), Text("0"), Int(5)}},
  });
}

TEST(ContractBreaches, BadRowIndex) {
  auto row = [](std::size_t k, double value) {
    return [k, value](Problem<double>& p) { p.row_indices[k] = value; };
  };
  auto long_rows = [](std::size_t k, double value) {
    return [k, value](Problem<double>& p) {
      p.column_counts = {5000, 5000, 0};
      p.row_indices.assign(10000, 2.0);
      p.values.assign(10000, 1e-4);
      p.row_indices[k] = value;
    };
  };
  ExpectBreaches("BadRowIndex", {
      {"NaN", row(0, kNaN), nullptr, {Int(1), Text("NaN"), Int(3)}},
      {"+inf", row(4, kInf), nullptr, {Int(5), Text("Inf"), Int(3)}},
      {"-inf", row(2, -kInf), nullptr, {Int(3), Text("-Inf"), Int(3)}},
      {"-1", row(1, -1), nullptr, {Int(2), Text("-1"), Int(3)}},
      {"0.5", row(3, 0.5), nullptr, {Int(4), Text("0.5"), Int(3)}},
      {"N + 1", row(2, 4), nullptr, {Int(3), Text("4"), Int(3)}},
      {"0", row(0, 0), nullptr, {Int(1), Text("0"), Int(3)}},
      {"just under 2", row(0, std::nextafter(2.0, 0.0)), nullptr, {Int(1), Text("1.9999999999999998"), Int(3)}},
      {"2^32 + 1 wraps to 1 in 32 bits", row(1, 4294967297.0), nullptr, {Int(2), Text("4294967297"), Int(3)}},
      {"the first of two", [](Problem<double>& p) { p.row_indices[1] = 9; p.row_indices[3] = -9; }, nullptr,
       {Int(2), Text("9"), Int(3)}},
      {"far into the entries",
       [](Problem<double>& p) {
         p.column_counts = {5000, 5000, 0};
         p.row_indices.assign(10000, 2.0);
         p.values.assign(10000, 1e-4);
         p.row_indices[9000] = 3.5;
       },
       nullptr, {Int(9001), Text("3.5"), Int(3)}},
      // Row indices are scanned in blocks of 4096, then a bad block one by one:
      // faults where a block starts, just past it, and at the very end.
      {"NaN opening the second block", long_rows(4096, kNaN), nullptr, {Int(4097), Text("NaN"), Int(3)}},
      {"NaN just past a block's start", long_rows(4100, kNaN), nullptr, {Int(4101), Text("NaN"), Int(3)}},
      {"N + 1 as the last entry", long_rows(9999, 4), nullptr, {Int(10000), Text("4"), Int(3)}},
  });
}

TEST(ContractBreaches, ComplexEmbedding) {
  ExpectBreaches("ComplexEmbedding", {
      {"complex double", nullptr, [](Inputs& in) { in.owned[0].reset(api::vqCreateNumericMatrix(2, 3, vqDOUBLE_CLASS, vqCOMPLEX)); },
       {Text("double")}},
      {"complex single", nullptr, [](Inputs& in) { in.owned[0].reset(api::vqCreateNumericMatrix(2, 3, vqSINGLE_CLASS, vqCOMPLEX)); },
       {Text("single")}},
  });
}

TEST(ContractBreaches, BadNormaliserType) {
  ExpectBreaches("BadNormaliserType", {
      {"object", nullptr, [](Inputs& in) { in.owned[4].reset(api::vqCreateObject(vqOBJECT_CLASS)); }, {Text("an object array")}},
      {"struct", nullptr, [](Inputs& in) { in.owned[4].reset(api::vqCreateWithStoredClass(vqSTRUCT_CLASS, 1, 1)); }, {Text("a struct array")}},
  });
}

TEST(ContractBreaches, ComplexNormaliser) {
  ExpectBreaches("ComplexNormaliser", {
      {"complex double", nullptr, [](Inputs& in) { in.owned[4].reset(api::vqCreateNumericMatrix(1, 1, vqDOUBLE_CLASS, vqCOMPLEX)); },
       {Text("a complex double array")}},
      {"complex int8", nullptr, [](Inputs& in) { in.owned[4].reset(api::vqCreateNumericMatrix(1, 1, vqINT8_CLASS, vqCOMPLEX)); },
       {Text("a complex int8 array")}},
  });
}

// The single-precision instance names a bad row index far into the entries too.
TEST(ContractBreaches, BadRowIndexInSinglePrecision) {
  Problem<float> p;
  p.n = 3;
  p.d = 2;
  p.y = {0, 0, 1, 2, -3, 4};
  p.column_counts = {5000, 5000, 0};
  p.row_indices.assign(10000, 2.0);
  p.values.assign(10000, 1e-4f);
  p.row_indices[4100] = kNaN;
  const auto raised = CallForError(InputsOf(p));
  ASSERT_TRUE(raised.has_value()) << "no error";
  EXPECT_EQ(raised->identifier, "quarn:tsnevek:BadRowIndex");
  EXPECT_EQ(raised->arguments, (std::vector<MsgArg>{Int(4101), Text("NaN"), Int(3)}));
}

TEST(ContractBreaches, EmptyNormaliser) {
  ExpectBreaches("EmptyNormaliser", {
      {"empty double", nullptr, [](Inputs& in) { in.owned[4] = MakeRow<double>({}); }, {Text("a double array"), Text("0")}},
      {"empty char", nullptr, [](Inputs& in) { in.owned[4].reset(api::vqCreateString("")); }, {Text("a char array"), Text("0")}},
      {"3 by 0 by 5", nullptr, [](Inputs& in) { in.owned[4].reset(api::vqCreateNumericArray({3, 0, 5}, vqDOUBLE_CLASS, vqREAL)); },
       {Text("a double array"), Text("0")}},
  });
}

TEST(ContractBreaches, FirstBreachInOrderDecides) {
  struct Case {
    const char* name;
    std::function<void(Problem<double>&, Inputs&)> change;
    const char* identifier;
  };
  const Case cases[] = {
      {"four inputs beat everything",
       [](Problem<double>&, Inputs& in) { in.owned[1] = MakeRow<float>({1}); in.owned.pop_back(); },
       "TooFewInputsLoss"},
      {"complex Y before the other classes",
       [](Problem<double>&, Inputs& in) { in.owned[0].reset(api::vqCreateNumericMatrix(2, 3, vqDOUBLE_CLASS, vqCOMPLEX)); in.owned[1] = MakeRow<float>({1}); },
       "ComplexEmbedding"},
      {"class before size",
       [](Problem<double>&, Inputs& in) { in.owned[0].reset(api::vqCreateNumericMatrix(0, std::uint64_t{1} << 31, vqDOUBLE_CLASS, vqREAL)); in.owned[3] = MakeRow<float>({1}); },
       "BadSparseInputType"},
      {"class before counts", [](Problem<double>&, Inputs& in) { in.owned[1] = MakeRow<float>({1}); in.owned[2] = MakeRow<double>({kNaN}); },
       "BadSparseInputType"},
      {"counts before lengths", [](Problem<double>&, Inputs& in) { in.owned[2] = MakeRow<double>({-1, 1, 1}); in.owned[3] = MakeRow<double>({}); },
       "BadColumnCounts"},
      {"lengths before row indices", [](Problem<double>&, Inputs& in) { in.owned[1] = MakeRow<double>({0, 0, 0, 0}); },
       "SparseInputTooShort"},
      {"row indices before the normaliser", [](Problem<double>&, Inputs& in) { in.owned[1] = MakeRow<double>({0, 0, 0, 0, 0}); in.owned[4] = MakeRow<double>({}); },
       "BadRowIndex"},
      {"normaliser class before its complexity and size",
       [](Problem<double>&, Inputs& in) { in.owned[4].reset(api::vqCreateWithStoredClass(vqSTRUCT_CLASS, 0, 0)); },
       "BadNormaliserType"},
      {"normaliser complexity before its size",
       [](Problem<double>&, Inputs& in) { in.owned[4].reset(api::vqCreateNumericMatrix(0, 1, vqDOUBLE_CLASS, vqCOMPLEX)); },
       "ComplexNormaliser"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto p = Valid();
    auto inputs = InputsOf(p);
    c.change(p, inputs);
    const auto raised = CallForError(inputs);
    ASSERT_TRUE(raised.has_value());
    EXPECT_EQ(raised->identifier, std::string("quarn:tsnevek:") + c.identifier);
  }
}

// The vector scans of the row indices against a plain reading of the rule.
TEST(RowScans, EveryScanFindsTheSameFirstFault) {
  using quarn::tsnevek::detail::FirstBadRowIndex;
  using quarn::tsnevek::detail::RowScan;
  const std::vector<RowScan> scans = {RowScan::kScalar, quarn::tsnevek::detail::BestRowScan()};
  std::mt19937_64 rng(11);
  for (int trial = 0; trial < 400; ++trial) {
    SCOPED_TRACE(trial);
    const auto n = std::uniform_int_distribution<std::int32_t>(1, 1000)(rng);
    const double kBad[] = {kNaN, kInf, -kInf, 0, -1, 0.5, 1.5, n + 1.0, n + 0.5, 4294967297.0, 1e300,
                           std::nextafter(1.0, 0.0), std::nextafter(static_cast<double>(n), kInf), 5e-324};
    std::vector<double> rows(std::uniform_int_distribution<std::size_t>(0, 9000)(rng));
    for (double& r : rows) r = std::uniform_int_distribution<std::int32_t>(1, n)(rng);
    for (std::uint64_t faults = rng() % 4; faults > 0 && !rows.empty(); --faults) {
      rows[rng() % rows.size()] = kBad[rng() % std::size(kBad)];
    }
    std::size_t expected = rows.size();
    for (std::size_t k = 0; k < rows.size(); ++k) {
      const double r = rows[k];
      if (!(r >= 1 && r <= n && std::floor(r) == r)) {
        expected = k;
        break;
      }
    }
    for (const RowScan scan : scans) {
      EXPECT_EQ(FirstBadRowIndex(rows.data(), rows.size(), n, scan), expected) << static_cast<int>(scan);
    }
  }
}

// Random calls: valid ones must give the reference's bits; broken ones, one breach or
// two, must raise the identifier of the first breach in order. None may crash.
TEST(ContractProperty, EveryCallGivesTheReferenceOrTheFirstBreach) {
  const char* const kOrder[] = {"ComplexEmbedding", "BadSparseInputType", "BadColumnCounts",
                                "SparseInputTooShort", "BadRowIndex", "BadNormaliserType",
                                "ComplexNormaliser", "EmptyNormaliser"};
  const double kBadNumbers[] = {kNaN, kInf, -kInf, -1, 0.5, -0.25, 1e300, 4294967297.0};
  std::mt19937_64 rng(31337);
  int broken_calls = 0;
  for (int trial = 0; trial < 600; ++trial) {
    SCOPED_TRACE(trial);
    auto p = RandomProblem<double>(rng, 12, 4, 6);
    const std::size_t entries = p.values.size();
    auto bad = [&] { return kBadNumbers[rng() % std::size(kBadNumbers)]; };
    int first = static_cast<int>(std::size(kOrder));
    std::vector<std::function<void(Inputs&)>> input_changes;
    bool normaliser_changed = false;  // Z can be broken one way at a time
    for (int breach = 0, count = static_cast<int>(rng() % 3); breach < count; ++breach) {
      const int kind = static_cast<int>(rng() % std::size(kOrder));
      bool applied = true;
      switch (kind) {
        case 0:
          input_changes.push_back([d = p.d, n = p.n](Inputs& in) {
            in.owned[0].reset(api::vqCreateNumericMatrix(d, static_cast<std::uint64_t>(n), vqDOUBLE_CLASS, vqCOMPLEX));
          });
          break;
        case 1:
          input_changes.push_back([](Inputs& in) { in.owned[2] = MakeRow<float>({1}); });
          break;
        case 2:
          applied = p.n > 0;
          if (applied) p.column_counts[rng() % p.n] = bad();
          break;
        case 3:
          applied = entries > 0;
          if (applied) (rng() % 2 ? p.values : p.row_indices).resize(entries - 1);
          break;
        case 4:
          applied = entries > 0 && p.row_indices.size() == entries;
          if (applied) p.row_indices[rng() % entries] = rng() % 2 ? bad() : p.n + 1.0;
          break;
        default:
          applied = !normaliser_changed;
          normaliser_changed = true;
          if (applied) {
            input_changes.push_back([kind](Inputs& in) {
              if (kind == 5) in.owned[4].reset(api::vqCreateObject(vqOBJECT_CLASS));
              if (kind == 6) in.owned[4].reset(api::vqCreateNumericMatrix(1, 1, vqDOUBLE_CLASS, vqCOMPLEX));
              if (kind == 7) in.owned[4] = MakeRow<double>({});
            });
          }
          break;
      }
      if (applied) first = std::min(first, kind);
    }
    auto inputs = InputsOf(p);
    for (const auto& change : input_changes) change(inputs);
    // A bad count may make later breaches unreachable, never earlier ones: the expected
    // identifier is the first applied kind.
    try {
      const auto outputs = LossModule().Call(1, inputs.handles());
      EXPECT_EQ(first, static_cast<int>(std::size(kOrder))) << "a breach went through";
      if (first == static_cast<int>(std::size(kOrder))) {
        EXPECT_TRUE(SameBits(First<double>(outputs[0].get()),
                             ReferenceLoss(p.y, p.n, p.d, p.row_indices, p.column_counts, p.values, p.z)));
      }
    } catch (const matrix::loader::ModuleError& error) {
      ++broken_calls;
      ASSERT_LT(first, static_cast<int>(std::size(kOrder))) << error.what();
      EXPECT_EQ(error.identifier(), std::string("quarn:tsnevek:") + kOrder[first]);
    }
  }
  EXPECT_GT(broken_calls, 200);
}

}  // namespace
}  // namespace tsne_test
