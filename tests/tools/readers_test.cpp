// The rules and the packing that files and in-memory arrays share.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "core/input_error.hpp"
#include "core/input_rules.hpp"
#include "core/sparse_columns.hpp"

namespace tsne_test {
namespace {

using tsneloss::core::InputError;
using tsneloss::core::PackColumns;

std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const InputError& error) {
    return error.what();
  }
  return "(nothing thrown)";
}

TEST(PackColumns, SortsRowsAndAddsRepeatedPositionsInTheGivenOrder) {
  // Column 2 holds rows 3, 0 and 3 again; column 0 holds row 1 twice.
  const std::vector<std::int64_t> rows = {3, 1, 0, 3, 1, 2};
  const std::vector<std::int64_t> columns = {2, 0, 2, 2, 0, 3};
  const std::vector<double> values = {0.1, 0.2, 0.3, 1e-17, 0.0, 0.4};
  const auto p = PackColumns(4, rows, columns, values, "P");
  EXPECT_EQ(p.n, 4u);
  EXPECT_EQ(p.column_counts, (std::vector<double>{1, 0, 2, 1}));
  EXPECT_EQ(p.row_indices, (std::vector<double>{2, 1, 4, 3}));
  // 0.1 + 1e-17 rounds back to 0.1: the order of the additions is the given one.
  EXPECT_EQ(p.values, (std::vector<double>{0.2 + 0.0, 0.3, 0.1 + 1e-17, 0.4}));
  EXPECT_EQ(p.merged_positions, 2u);
}

TEST(PackColumns, RefusesWithTheElement) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    std::vector<std::int64_t> rows;
    std::vector<std::int64_t> columns;
    std::vector<double> values;
    std::string says;
  };
  const Case cases[] = {
      {"negative row", {0, -1}, {1, 0}, {0.5, 0.5}, "P: element 1: row index -1 is outside 0 to 2"},
      {"column too large", {0, 1}, {1, 3}, {0.5, 0.5}, "P: element 1: column index 3 is outside 0 to 2"},
      {"NaN value", {0, 1, 2}, {1, 0, 0}, {0.5, 0.25, nan}, "P: element 2: a value of P is nan"},
      {"infinite value", {0}, {1}, {inf}, "P: element 0: a value of P is inf"},
      {"negative value", {0, 1}, {1, 0}, {0.5, -0.5}, "P: element 1: a value of P is -0.5"},
      {"no entries", {}, {}, {}, "P: P has no stored entries"},
      {"lengths differ", {0, 1}, {1}, {0.5, 0.5}, "P: rows, columns and values have different lengths (2, 1, 2)"},
      {"repeated sum overflows", {0, 0}, {1, 1}, {1e308, 1e308}, "add up to more than the largest double"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string message = MessageOf([&] { PackColumns(3, c.rows, c.columns, c.values, "P"); });
    EXPECT_NE(message.find(c.says), std::string::npos) << message;
  }
}

TEST(ValidateEmbedding, AppliesEveryRuleOfTheFileReaders) {
  const std::vector<double> fine = {0, 0, 3, 4, 1, -1};
  EXPECT_EQ(MessageOf([&] { tsneloss::core::ValidateEmbedding(fine, 3, 2, true, "Y"); }), "(nothing thrown)");
  std::vector<double> with_inf = fine;
  with_inf[3] = -std::numeric_limits<double>::infinity();
  EXPECT_EQ(MessageOf([&] { tsneloss::core::ValidateEmbedding(with_inf, 3, 2, false, "Y"); }),
            "Y: element 3: a coordinate is -inf; coordinates must be finite");
  const std::vector<double> one_point = {1, 2};
  EXPECT_EQ(MessageOf([&] { tsneloss::core::ValidateEmbedding(one_point, 1, 2, false, "Y"); }), "(nothing thrown)");
  EXPECT_NE(MessageOf([&] { tsneloss::core::ValidateEmbedding(one_point, 1, 2, true, "Y"); }).find("Y: the embedding has one point"),
            std::string::npos);
  EXPECT_NE(MessageOf([&] { tsneloss::core::ValidateEmbedding(fine, 2, 2, false, "Y"); }).find("holds 6 values, not 2 by 2"),
            std::string::npos);
}

TEST(NormaliserFault, AcceptsOnlyFinitePositiveValues) {
  EXPECT_EQ(tsneloss::core::NormaliserFault(1e-300), "");
  for (const double z : {0.0, -0.0, -1.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
    SCOPED_TRACE(z);
    EXPECT_NE(tsneloss::core::NormaliserFault(z), "");
  }
}

}  // namespace
}  // namespace tsne_test
