// Inputs tsneloss refuses rather than print a wrong number, and the hints it gives.
#include <cmath>
#include <limits>

#include "tsneloss_fixture.hpp"

namespace tsne_test {
namespace {

const std::string kGeneral = "%%MatrixMarket matrix coordinate real general\n";

struct Refusal {
  const char* name;
  std::string embedding;
  std::string affinities;
  std::vector<std::string> options;
  std::string says;
};

void ExpectRefused(const Outcome& run, const std::string& says) {
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find(says), std::string::npos) << run.err;
}

TEST_F(Tsneloss, ValuesOutsideTheDomainAreRefusedWithTheirPlace) {
  const std::vector<std::string> given_z = {"--z", "1"};
  const Refusal cases[] = {
      {"NaN in P", kTwoPoints, kGeneral + "2 2 2\n2 1 nan\n1 2 0.5\n", given_z, "p.mtx:3:5: a value of P is nan"},
      {"infinite P", kTwoPoints, kGeneral + "2 2 2\n2 1 0.5\n1 2 inf\n", given_z, "p.mtx:4:5: a value of P is inf"},
      {"negative P", kTwoPoints, kGeneral + "2 2 2\n2 1 0.5\n1 2  -0.25\n", given_z, "p.mtx:4:6: a value of P is -0.25"},
      {"empty P", kTwoPoints, kGeneral + "2 2 0\n", given_z, "p.mtx: P has no stored entries"},
      {"more entries than declared", kTwoPoints, kGeneral + "2 2 1\n2 1 0.5\n1 2 0.5\n", given_z,
       "p.mtx:4:1: more entries than the 1 the size line gives"},
      {"NaN coordinate", "0 0\n3 NaN\n", kTwoPointsP, given_z, "y.txt:2:3: a coordinate is nan"},
      {"infinite coordinate", "-inf 0\n3 4\n", kTwoPointsP, {}, "y.txt:1:1: a coordinate is -inf"},
      {"overflowing coordinate", "1e999 0\n3 4\n", kTwoPointsP, given_z, "y.txt:1:1: '1e999' is not a number"},
      {"one point, Z computed", "0 0\n", kGeneral + "1 1 1\n1 1 1\n", {}, "y.txt: the embedding has one point"},
  };
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    auto args = c.options;
    args.push_back(Write("y.txt", c.embedding).string());
    args.push_back(Write("p.mtx", c.affinities).string());
    ExpectRefused(Run(args), c.says);
  }
  const std::vector<double> with_nan = {0, 0, 3, std::numeric_limits<double>::quiet_NaN()};
  const auto npy = Write("y.npy", Npy<double>(2, 2, with_nan));
  ExpectRefused(Run({"--z", "1", npy.string(), Write("p.mtx", kTwoPointsP).string()}),
                "y.npy: element 3: a coordinate is nan");
}

TEST_F(Tsneloss, NormaliserMustBeFiniteAndPositive) {
  const auto y = Write("y.txt", kTwoPoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  for (const char* z : {"0", "-1", "inf", "nan", "-0"}) {
    SCOPED_TRACE(z);
    const Outcome run = Run({"--z", z, y.string(), p.string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Z must be finite and greater than 0"), std::string::npos) << run.err;
  }
  EXPECT_EQ(Run({"--z=0", y.string(), p.string()}).status, 2);
  const Outcome attached = Run({"--z=1", y.string(), p.string()});
  EXPECT_EQ(attached.status, 0) << attached.err;
  EXPECT_EQ(attached.out, Run({"--z", "1", y.string(), p.string()}).out);
}

// The size line's numbers come from the file: a tiny file declaring a huge matrix must
// fail before anything is allocated from them, in a process held to small memory.
TEST_F(Tsneloss, DeclaredSizesFailAtOnceInSmallMemory) {
  const auto y = Write("y.txt", "0 0\n3 4\n1 1\n");
  const Refusal cases[] = {
      {"huge order", "", kGeneral + "10000000000 10000000000 1\n2 1 1\n", {},
       "P is 10000000000 by 10000000000, but the embedding"},
      {"huge entry count", "", kGeneral + "3 3 1000000000000\n2 1 1\n", {},
       "p.mtx:2:5: the size line declares 1000000000000 entries, more than the 6 bytes after it can hold"},
  };
#if defined(__SANITIZE_ADDRESS__)
  const std::string limit;  // the sanitizer reserves terabytes of address space itself
#else
  const std::string limit = "ulimit -v 262144; ";
#endif
  for (const Refusal& c : cases) {
    SCOPED_TRACE(c.name);
    const auto p = Write("p.mtx", c.affinities);
    ExpectRefused(Run({"--z", "1", y.string(), p.string()}, "/dev/null", limit), c.says);
  }
}

TEST_F(Tsneloss, HintsNameTheLikelyMistake) {
  const auto y = Write("y.txt", kTwoPoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  ExpectRefused(Run({p.string(), y.string()}), "the files may be given the other way round");
  const auto two_embeddings = Write("y2.txt", kTwoPoints);
  ExpectRefused(Run({y.string(), two_embeddings.string()}),
                "it looks like an embedding: the files may be given the other way round");
  const auto p3 = Write("p3.mtx", kGeneral + "3 3 2\n2 1 0.5\n1 2 0.5\n");
  const auto two_of_three = Write("d.txt", "0 0 0\n3 4 0\n");
  ExpectRefused(Run({"--z", "1", two_of_three.string(), p3.string()}), "has 2 points of 3 coordinates: it looks transposed");
  const auto three_of_three = Write("t.txt", "0 0 0\n3 4 0\n1 1 1\n");
  const Outcome not_transposed = Run({"--z", "1", three_of_three.string(), p.string()});
  ExpectRefused(not_transposed, "P is 2 by 2, but the embedding");
  EXPECT_EQ(not_transposed.err.find("transposed"), std::string::npos) << not_transposed.err;

  const auto gzip = Write("y.gz", std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10));
  ExpectRefused(Run({gzip.string(), p.string()}), "y.gz: the gzip data ends too early");
  const auto binary = Write("b.txt", std::string("0 0\n3 4\x01\xff") + std::string(100, 'x') + "\n");
  const Outcome shown = Run({"--z", "1", binary.string(), p.string()});
  ExpectRefused(shown, "b.txt:2:3: '4\\x01\\xFFxxxxx");
  EXPECT_NE(shown.err.find("...' is not a number"), std::string::npos) << shown.err;
  EXPECT_EQ(shown.err.find('\x01'), std::string::npos);
  EXPECT_LT(shown.err.size(), 160u);
}

TEST_F(Tsneloss, DataForPIsRefusedWithItsPlace) {
  const auto y = Write("y.txt", "0 0\n3 4\n1 1\n");
  const auto x = Write("x.txt", "0 1 2\n3 4 5\n7 7 7\n");
  const struct {
    const char* name;
    std::string data;
    std::vector<std::string> options;
    std::string says;
  } cases[] = {
      {"NaN coordinate", "0 1\n2 nan\n3 3\n", {}, "x.txt:2:3: a coordinate is nan"},
      {"other N", "0 1\n2 2\n", {}, "x.txt: the data holds 2 points, but the embedding"},
      {"perplexity N", "0 1\n2 2\n3 3\n", {"--perplexity", "3"}, "x.txt: the perplexity must be finite, at least 1 (no distribution's is less) and below the number of points (3); it is 3"},
      {"perplexity 0", "0 1\n2 2\n3 3\n", {"--perplexity", "0"}, "it is 0"},
      {"perplexity 1e-10", "0 1\n2 2\n3 3\n", {"--perplexity", "1e-10"}, "at least 1 (no distribution's is less) and below the number of points (3); it is 1e-10"},
      {"perplexity 1e-300", "0 1\n2 2\n3 3\n", {"--perplexity", "1e-300"}, "it is 1e-300"},
      {"perplexity 4.9e-324", "0 1\n2 2\n3 3\n", {"--perplexity", "4.9e-324"}, "it is 4.9406564584124654e-324"},
      {"perplexity just below 1", "0 1\n2 2\n3 3\n", {"--perplexity", "0.99999999999999989"}, "it is 0.99999999999999989"},
      {"perplexity inf", "0 1\n2 2\n3 3\n", {"--perplexity", "inf"}, "it is inf"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"--data", Write("x.txt", c.data).string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.push_back(y.string());
    ExpectRefused(Run(args), c.says);
  }
  // One point: no pair to hold an affinity.
  ExpectRefused(Run({"--z", "1", "--data", Write("x1.txt", "5\n").string(), Write("y1.txt", "0 0\n").string()}),
                "x1.txt: P needs at least 2 points; the data holds 1");
  // P that cannot be saved stops the run before any loss, and leaves what was there.
  const auto kept = Write("kept.npz", "what was here");
  const std::string unwritable = (kept.parent_path() / "missing" / "p.npz").string();
  ExpectRefused(Run({"--data", x.string(), "--perplexity", "1", "--save-p", unwritable, y.string()}),
                "cannot write " + unwritable + ": No such file or directory");
  EXPECT_EQ(Run({"--data", x.string(), "--perplexity", "1", "--neighbours", "all", "--save-p", kept.string(), y.string()}).status, 0);
  EXPECT_NE(Run({"--json", y.string(), kept.string()}).out.find("\"nnz\": 6"), std::string::npos);
}

}  // namespace
}  // namespace tsne_test
