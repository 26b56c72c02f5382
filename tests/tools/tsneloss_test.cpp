// End-to-end runs of the built tsneloss program on small files.
#include <cmath>
#include <random>

#include "tsneloss_fixture.hpp"

namespace tsne_test {
namespace {

TEST_F(Tsneloss, WorkedExampleIsLnThirteen) {
  const auto y = Write("y.txt", kTwoPoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  const Outcome in_double = Run({"--z", "1", y.string(), p.string()});
  EXPECT_EQ(in_double.status, 0) << in_double.err;
  EXPECT_EQ(in_double.out, "2.5649493574615367\n");
  const Outcome in_single = Run({"--single", "--z", "1", y.string(), p.string()});
  EXPECT_EQ(in_single.status, 0) << in_single.err;
  EXPECT_EQ(in_single.out, Formatted(static_cast<float>(std::log(13.0)), 9));
}

TEST_F(Tsneloss, NpyAndTextEmbeddingsGiveTheSameBits) {
  const std::vector<double> points = {0.25, -1.5, 3.0, 4.125, -2.0, 0.5};
  const auto text = Write("y.txt", "# three points\n0.25,-1.5\n3\t4.125\n-2 0.5\n");
  const auto npy64 = Write("y64.npy", Npy<double>(3, 2, points));
  const auto npy32 = Write("y32.npy", Npy<float>(3, 2, std::vector<float>(points.begin(), points.end())));
  const auto p = Write("p.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 4\n2 1 0.25\n3 1 0.25\n1 3 0.25\n2 3 0.25\n");
  for (const char* precision : {"--json", "--single"}) {
    SCOPED_TRACE(precision);
    const Outcome from_text = Run({precision, text.string(), p.string()});
    ASSERT_EQ(from_text.status, 0) << from_text.err;
    EXPECT_EQ(Run({precision, npy64.string(), p.string()}).out, from_text.out);
    EXPECT_EQ(Run({precision, npy32.string(), p.string()}).out, from_text.out);
  }
}

TEST_F(Tsneloss, SymmetricAndGeneralFilesOfOneMatrixAgree) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> value(0.001, 0.1);
  const int n = 12;
  std::string general;
  std::string symmetric;
  std::string points;
  int general_count = 0;
  int symmetric_count = 0;
  for (int i = 1; i <= n; ++i) {
    points += std::to_string(value(rng) * 50) + " " + std::to_string(value(rng) * 50) + "\n";
    for (int j = 1; j <= i; ++j) {
      if (rng() % 3 != 0) continue;
      const std::string v = Formatted(value(rng), 17);
      symmetric += std::to_string(i) + " " + std::to_string(j) + " " + v;
      ++symmetric_count;
      general += std::to_string(i) + " " + std::to_string(j) + " " + v;
      ++general_count;
      if (i != j) {
        general += std::to_string(j) + " " + std::to_string(i) + " " + v;
        ++general_count;
      }
    }
  }
  const std::string size = std::to_string(n) + " " + std::to_string(n) + " ";
  const auto y = Write("y.txt", points);
  const auto s = Write("s.mtx", "%%MatrixMarket matrix coordinate real symmetric\n" + size + std::to_string(symmetric_count) + "\n" + symmetric);
  const auto g = Write("g.mtx", "%%MatrixMarket matrix coordinate real general\n" + size + std::to_string(general_count) + "\n" + general);
  const Outcome from_symmetric = Run({"--z", "3.5", y.string(), s.string()});
  ASSERT_EQ(from_symmetric.status, 0) << from_symmetric.err;
  EXPECT_EQ(Run({"--z", "3.5", y.string(), g.string()}).out, from_symmetric.out);
}

TEST_F(Tsneloss, GivenZMatchesTheComputedOne) {
  const auto y = Write("y.txt", "0 0\n3 4\n1 -1\n");
  const auto p = Write("p.mtx", "%%MatrixMarket matrix coordinate integer symmetric\n3 3 2\n2 1 1\n3 2 1\n");
  const Outcome computed = Run({"--verbose", "--json", y.string(), p.string()});
  ASSERT_EQ(computed.status, 0) << computed.err;
  EXPECT_NE(computed.err.find("computed the exact Z"), std::string::npos);
  EXPECT_NE(computed.err.find("add up to 4"), std::string::npos) << "P is not normalised: a warning";
  // Z by hand: pairs at squared distances 25, 2 and 29, each counted both ways.
  const double z = 2.0 * (1.0 / 26 + 1.0 / 3 + 1.0 / 30);
  const std::size_t at = computed.out.find("\"z\": ");
  ASSERT_NE(at, std::string::npos) << computed.out;
  const double reported = std::strtod(computed.out.c_str() + at + 5, nullptr);
  EXPECT_NEAR(reported, z, 1e-15);
  const Outcome given = Run({"--verbose", "--json", "--z", Formatted(reported, 17).substr(0, Formatted(reported, 17).size() - 1),
                             y.string(), p.string()});
  ASSERT_EQ(given.status, 0) << given.err;
  EXPECT_EQ(given.out.substr(0, given.out.find("\"z_computed\"")), computed.out.substr(0, computed.out.find("\"z_computed\"")));
  EXPECT_EQ(given.err.find("computed the exact Z"), std::string::npos);
  EXPECT_NE(computed.out.find("\"z_computed\": true"), std::string::npos) << computed.out;
  EXPECT_NE(given.out.find("\"z_computed\": false"), std::string::npos) << given.out;
}

// Threads change the speed, never the numbers: the same lines for every --threads,
// with Z computed either way and P read from text in several pieces.
TEST_F(Tsneloss, EveryThreadCountPrintsTheSameBits) {
  std::mt19937_64 rng(19);
  std::normal_distribution<double> normal(0.0, 5.0);
  std::string points, entries;
  const int n = 3000;
  // Formatted ends its number with a newline.
  for (int i = 0; i < n; ++i) points += std::to_string(normal(rng)) + " " + Formatted(normal(rng), 17);
  int count = 0;
  for (int j = 1; j <= n; ++j) {
    for (int k = 0; k < 25; ++k, ++count) {
      entries += std::to_string(rng() % n + 1) + " " + std::to_string(j) + " " + Formatted(1.0 / (25.0 * n), 17);
    }
  }
  const auto y = Write("y.txt", points);
  const auto p = Write("p.mtx", "%%MatrixMarket matrix coordinate real general\n" + std::to_string(n) + " " +
                                    std::to_string(n) + " " + std::to_string(count) + "\n" + entries);
  for (const char* method : {"exact", "approx"}) {
    SCOPED_TRACE(method);
    const Outcome one = Run({"--json", "--threads", "1", "--z-method", method, y.string(), p.string()});
    ASSERT_EQ(one.status, 0) << one.err;
    for (const char* threads : {"2", "3"}) {
      EXPECT_EQ(Run({"--json", "--threads", threads, "--z-method", method, y.string(), p.string()}).out, one.out);
    }
  }
}

// The warning for a P that is not normalised comes past a relative 1e-6, not before.
TEST_F(Tsneloss, WarnsOfAnUnnormalisedPOnlyPastItsThreshold) {
  const auto y = Write("y.txt", "0 0\n3 4\n");
  struct Case {
    const char* half;  // each of the two entries
    bool warned;
  };
  const Case cases[] = {{"0.5", false}, {"0.50000049", false}, {"0.49999951", false},
                        {"0.50000051", true}, {"0.49999949", true}, {"2", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.half);
    const auto p = Write("p.mtx", std::string("%%MatrixMarket matrix coordinate real general\n2 2 2\n2 1 ") + c.half +
                                      "\n1 2 " + c.half + "\n");
    const Outcome run = Run({"--z", "1", y.string(), p.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("warning: the stored values of P add up to") != std::string::npos, c.warned) << run.err;
  }
}

double JsonField(const std::string& json, const std::string& name) {
  const std::size_t at = json.find("\"" + name + "\": ");
  return at == std::string::npos ? NAN : std::strtod(json.c_str() + at + name.size() + 4, nullptr);
}

// Both methods on one map of 400 clustered points; the approximation reports its
// estimate, and the exact Z lies within it.
TEST_F(Tsneloss, ApproximateZIsWithinItsReportedErrorOfTheExactOne) {
  std::mt19937_64 rng(4);
  std::normal_distribution<double> normal(0.0, 1.0);
  std::string points;
  for (int i = 0; i < 400; ++i) {
    char line[64];
    std::snprintf(line, sizeof line, "%.17g %.17g\n", 10.0 * (i % 5) + normal(rng), normal(rng));
    points += line;
  }
  const auto y = Write("y.txt", points);
  const auto p = Write("p.mtx", "%%MatrixMarket matrix coordinate real general\n400 400 2\n2 1 0.5\n1 2 0.5\n");
  const Outcome exact = Run({"--json", "--z-method", "exact", y.string(), p.string()});
  const Outcome approximate = Run({"--verbose", "--json", "--z-method", "approx", y.string(), p.string()});
  ASSERT_EQ(exact.status, 0) << exact.err;
  ASSERT_EQ(approximate.status, 0) << approximate.err;
  EXPECT_NE(exact.out.find("\"z_method\": \"exact\", \"z_relative_error\": null"), std::string::npos) << exact.out;
  EXPECT_NE(approximate.out.find("\"z_method\": \"approximate\""), std::string::npos) << approximate.out;
  EXPECT_NE(approximate.err.find("computed the approximate Z"), std::string::npos) << approximate.err;
  const double z = JsonField(exact.out, "z");
  const double estimate = JsonField(approximate.out, "z_relative_error");
  EXPECT_GT(estimate, 0.0);
  EXPECT_LE(estimate, 1e-6);
  EXPECT_LE(std::abs(JsonField(approximate.out, "z") - z), estimate * z);
  // Below the automatic limit the exact Z is taken.
  EXPECT_EQ(Run({"--json", y.string(), p.string()}).out, exact.out);
}

// scikit-learn computes the same KL divergence over all pairs, with P and Q floored at
// machine epsilon (2.2e-16) and its own summation order; its stored value can differ
// from ours in the last digits only. The floors alone move the sum by at most
// N^2 * eps * |ln eps| (about 1e-10 for N = 150), far below the 1e-6 allowed here.
TEST_F(Tsneloss, ShippedExampleAgreesWithScikitLearn) {
  const std::string examples = TSNE_EXAMPLES_DIR;
  const Outcome run = Run({examples + "/iris_embedding.txt", examples + "/iris_p.mtx"});
  ASSERT_EQ(run.status, 0) << run.err;
  const double ours = std::strtod(run.out.c_str(), nullptr);
  const double theirs = std::strtod(Slurp(examples + "/iris_kl.txt").c_str(), nullptr);
  EXPECT_GT(theirs, 0.0);
  EXPECT_NEAR(ours, theirs, 1e-6 * theirs);
}

TEST_F(Tsneloss, BadFilesAreNamedWithTheirPlaceAndNothingIsPrinted) {
  struct Case {
    const char* name;
    std::string embedding;
    std::string affinities;
    std::string says;
  };
  const std::string header = "%%MatrixMarket matrix coordinate real general\n";
  const Case cases[] = {
      {"truncated P", kTwoPoints, header + "2 2 3\n2 1 0.500000\n1 2 0.500000\n", "p.mtx:5:1: the file ends after 2 of 3 entries"},
      {"wrong header", kTwoPoints, "%%MatrixMarket vector coordinate real general\n2 2 1\n", "p.mtx:1:1: the header is not"},
      {"short array", kTwoPoints, "%%MatrixMarket matrix array real general\n2 2\n% padding\n0\n0.5\n", "p.mtx:6:1: the file ends after 2 of 4 values"},
      {"complex values", kTwoPoints, "%%MatrixMarket matrix coordinate complex general\n", "p.mtx:1:34: values of type 'complex'"},
      {"row out of range", kTwoPoints, header + "2 2 1\n3 1 0.5\n", "p.mtx:3:1: index 3 is outside 1 to 2"},
      {"column zero", kTwoPoints, header + "2 2 1\n1 0 0.5\n", "p.mtx:3:3: index 0 is outside 1 to 2"},
      {"value not a number", kTwoPoints, header + "2 2 1\n1 2 half\n", "p.mtx:3:5: 'half' is not a number"},
      {"not square", kTwoPoints, header + "2 3 0\n", "p.mtx:2:1: P must be square"},
      {"ragged embedding", "0 0\n3 4 5\n", kTwoPointsP, "y.txt:2:5: this point has 3 coordinates, the first had 2"},
      {"short embedding line", "0 0\n3\n", kTwoPointsP, "y.txt:2:2: this point has 1 coordinate, the first had 2"},
      {"embedding not a number", "0 0\n3 x4\n", kTwoPointsP, "y.txt:2:3: 'x4' is not a number"},
      {"sizes differ", "0 0\n3 4\n1 1\n", kTwoPointsP, "P is 2 by 2, but the embedding"},
      {"empty embedding", "# nothing\n", kTwoPointsP, "y.txt: the file holds no points"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto y = Write("y.txt", c.embedding);
    const auto p = Write("p.mtx", c.affinities);
    const Outcome run = Run({"--z", "1", y.string(), p.string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
  }
  const Outcome missing = Run({(dir_ / "none.txt").string(), (dir_ / "none.mtx").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.txt: cannot open the file"), std::string::npos) << missing.err;
  const auto bad_npy = Write("y.npy", Npy<double>(2, 2, {0, 0, 3, 4}).substr(0, 140));
  const auto p = Write("p.mtx", kTwoPointsP);
  const Outcome truncated = Run({bad_npy.string(), p.string()});
  EXPECT_EQ(truncated.status, 1);
  EXPECT_NE(truncated.err.find("less data than its shape"), std::string::npos) << truncated.err;
}

TEST_F(Tsneloss, ModuleErrorsAreShownAsTheHostReportsThem) {
  const auto y = Write("y.txt", kTwoPoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  const Outcome raised = Run({"--module", TSNE_TEST_MODULE_DIR "/test_module_raises_after_output.so", y.string(), p.string()});
  EXPECT_EQ(raised.status, 1);
  EXPECT_EQ(raised.out, "");
  EXPECT_NE(raised.err.find("tsneloss: test_module_raises_after_output: quarn:tsnevek:TooManyOutputs: "), std::string::npos)
      << raised.err;
  const Outcome refused = Run({"--module", TSNE_TEST_MODULE_DIR "/test_module_bad_version.so", y.string(), p.string()});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.err.find("interface version"), std::string::npos) << refused.err;
}

TEST_F(Tsneloss, UsageErrorsExitWithTwo) {
  const auto y = Write("y.txt", kTwoPoints);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {}, {y.string()}, {"--z"}, {"--z", "abc", y.string(), y.string()}, {"--frobnicate", y.string(), y.string()},
           {"--json=yes", y.string(), y.string()}, {"--z-method", "fast", y.string(), y.string()},
           {"--per-point", "s.npy", y.string(), y.string(), y.string()}, {"--perplexity", "5", y.string(), y.string()},
           {"--data", y.string()}, {"--data", y.string(), "--neighbours", "near", y.string()},
           {"--data", y.string(), "--save-p", "p.txt", y.string()}, {"--data", y.string(), "--perplexity", "x", y.string()}}) {
    const Outcome run = Run(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("see tsneloss --help"), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
  EXPECT_EQ(Run({"--help"}).status, 0);
}

}  // namespace
}  // namespace tsne_test
