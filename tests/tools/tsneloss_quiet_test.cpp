// What tsneloss says on stderr: notes that only inform with --verbose, warnings
// always; inputs that look mistaken (a header line, X and Y given the other way
// round) told as such.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tsneloss_fixture.hpp"

namespace tsne_test {
namespace {

const std::string kIris = TSNE_EXAMPLES_DIR "/iris_data.txt";
const std::string kIrisMap = TSNE_EXAMPLES_DIR "/iris_embedding.txt";

TEST_F(Tsneloss, NotesThatOnlyInformWaitForVerbose) {
  const auto y = Write("y.txt", "0 0\n3 4\n1 -1\n");
  const auto repeated = Write("p.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 3\n2 1 0.5\n2 1 0.25\n"
                                       "1 2 0.25\n");
  const auto unnormalised = Write("q.mtx", "%%MatrixMarket matrix coordinate integer symmetric\n3 3 1\n2 1 1\n");
  struct Case {
    std::vector<std::string> args;
    const char* text;
    bool warning;  // said without --verbose too
  };
  const Case cases[] = {
      {{y.string(), repeated.string()}, "tsneloss: no --z given; computed the exact Z = ", false},
      {{"--z-method", "approx", y.string(), repeated.string()}, "computed the approximate Z = ", false},
      {{y.string(), repeated.string()}, "tsneloss: note: 1 position of P was given more than once", false},
      {{"--data", kIris, "--neighbours", "approx", kIrisMap}, "tsneloss: P from approximate neighbours: ", false},
      {{"--z", "1", y.string(), unnormalised.string()}, "tsneloss: warning: the stored values of P add up to 2",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const Outcome quiet = Run(c.args);
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err.find(c.text) != std::string::npos, c.warning) << quiet.err;
    std::vector<std::string> verbose_args = {"--verbose"};
    verbose_args.insert(verbose_args.end(), c.args.begin(), c.args.end());
    const Outcome verbose = Run(verbose_args);
    ASSERT_EQ(verbose.status, 0) << verbose.err;
    EXPECT_NE(verbose.err.find(c.text), std::string::npos) << verbose.err;
    EXPECT_EQ(verbose.out, quiet.out);
  }
}

TEST_F(Tsneloss, JsonGivesTheShareOfNeighboursFoundForEveryMethod) {
  for (const char* method : {"exact", "all"}) {
    SCOPED_TRACE(method);
    const Outcome run = Run({"--json", "--data", kIris, "--neighbours", method, kIrisMap});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"neighbours_found\": 1, \"neighbours_found_error\": 0}"), std::string::npos) << run.out;
  }
}

TEST_F(Tsneloss, HeaderLineIsToldAsOneWithTheCommentHint) {
  struct Case {
    const char* text;
    const char* place;  // where the message puts the fault; empty: no header fault
  };
  const Case cases[] = {
      {"x,y\n1,2\n3,4\n5,6\n", ":1:1: this line looks like a header"},
      {"# made by hand\n\n\"x\" \"y\"\n1 2\n3 4\n5 6\n", ":3:1: this line looks like a header"},
      {"x 1\n1 2\n3 4\n", ""},  // a number in the line: a bad point, not a header
  };
  const auto p = Write("p.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 2\n2 1 0.5\n1 2 0.5\n");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto y = Write("y.csv", c.text);
    const Outcome run = Run({"--z", "1", y.string(), p.string()});
    EXPECT_EQ(run.status, 1);
    const bool header = run.err.find("looks like a header") != std::string::npos;
    EXPECT_EQ(header, *c.place != '\0') << run.err;
    if (header) {
      EXPECT_NE(run.err.find(std::string("y.csv") + c.place + ": none of its fields is a number; a line starting "
                                                              "with '#' is a comment"),
                std::string::npos)
          << run.err;
    }
  }
}

TEST_F(Tsneloss, DataOfFewerDimensionsThanTheEmbeddingWarnsOfASwap) {
  const auto two = Write("two.txt", "0 0\n3 4\n1 -1\n2 2\n");
  const auto three = Write("three.txt", "0 0 1\n3 4 1\n1 -1 0\n2 2 5\n");
  const auto other_two = Write("other.txt", "1 0\n3 3\n1 -2\n2 7\n");
  struct Case {
    std::string data, embedding;
    bool warned;
  };
  const Case cases[] = {{two.string(), three.string(), true},
                        {three.string(), two.string(), false},
                        {two.string(), other_two.string(), false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data + " " + c.embedding);
    const Outcome run = Run({"--data", c.data, "--perplexity", "1.5", c.embedding});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err.find("tsneloss: warning: the data have 2 dimensions, fewer than the embedding's 3: the data "
                           "and the embedding may be given the other way round") != std::string::npos,
              c.warned)
        << run.err;
  }
}

}  // namespace
}  // namespace tsne_test
