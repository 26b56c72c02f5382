// P from the data where it cannot be trusted or cannot fit: approximate neighbours on
// tied data warn, and a P beyond the memory left to the process is refused at once,
// with its estimate.
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tsneloss_fixture.hpp"

namespace {

using tsne_test::Outcome;
using tsne_test::Tsneloss;

// n random points of one coordinate in [0, 1), rounded to `step` when given.
std::string OneDimensional(std::size_t n, double step) {
  std::mt19937_64 random(n);
  std::uniform_real_distribution<double> uniform;
  std::string text;
  for (std::size_t i = 0; i < n; ++i) {
    const double value = uniform(random);
    text += tsne_test::Formatted(step > 0 ? std::round(value / step) * step : value, 17);
  }
  return text;
}

std::string TwoDimensional(std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += std::to_string(i % 97) + " " + std::to_string(i / 97) + "\n";
  return text;
}

TEST_F(Tsneloss, ApproximateNeighboursOnTiedDataWarn) {
  const auto y = Write("y.txt", TwoDimensional(2000));
  const auto tied = Write("tied.txt", OneDimensional(2000, 0.1));
  const Outcome warned = Run({"--data", tied.string(), "--neighbours", "approx", y.string()});
  EXPECT_EQ(warned.status, 0) << warned.err;
  EXPECT_NE(warned.err.find("tsneloss: warning: approximate neighbours found an estimated "), std::string::npos)
      << warned.err;
  EXPECT_NE(warned.err.find("of those points tie with others"), std::string::npos) << warned.err;
  EXPECT_NE(warned.err.find("; exact neighbours give the true P\n"), std::string::npos) << warned.err;
  const auto spread = Write("spread.txt", OneDimensional(2000, 0));
  const Outcome quiet = Run({"--data", spread.string(), "--neighbours", "approx", y.string()});
  EXPECT_EQ(quiet.status, 0) << quiet.err;
  // One-dimensional data beside a 2-D map are warned of as perhaps swapped, nothing else.
  EXPECT_EQ(quiet.err.find("warning: approximate neighbours"), std::string::npos) << quiet.err;
}

TEST_F(Tsneloss, PBeyondTheProcessLimitIsRefusedWithItsEstimate) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reserves terabytes of address space itself";
#endif
  const std::string limit = "ulimit -v 1048576; ";  // 1 GiB of address space
  const struct {
    const char* name;
    std::size_t points;
    std::vector<std::string> options;
    const char* says;  // empty: computed
  } cases[] = {
      {"all pairs", 9000, {"--neighbours", "all"}, "P over all pairs of 9000 points needs about 2.27 GB, more than the "},
      {"exact at a perplexity near N", 6000, {"--neighbours", "exact", "--perplexity", "5000"},
       "P from each of 6000 points' 5999 nearest neighbours needs about "},
      {"exact at the default perplexity", 6000, {"--neighbours", "exact"}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto x = Write("x.txt", OneDimensional(c.points, 0));
    const auto y = Write("y.txt", TwoDimensional(c.points));
    std::vector<std::string> args = {"--data", x.string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(y.string());
    const Outcome run = Run(args, "/dev/null", limit);
    if (std::string(c.says).empty()) {
      EXPECT_EQ(run.status, 0) << run.err;
      continue;
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(std::string("tsneloss: ") + x.string() + ": " + c.says), std::string::npos) << run.err;
    EXPECT_NE(run.err.find(" available to this process"), std::string::npos) << run.err;
  }
}

}  // namespace
