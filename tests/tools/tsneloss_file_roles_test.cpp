// Command lines whose files would be destroyed or misread, refused before any work,
// and the one run that is cut short by Ctrl-C while it writes P.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

#include "tsneloss_fixture.hpp"

extern char** environ;

namespace tsne_test {
namespace {

const std::string kThreePoints = "0 1\n2 2\n3 5\n";

struct Mistake {
  const char* name;
  std::vector<std::string> args;  // "@name" stands for the file of that name in the test's folder
  std::string says;
};

TEST_F(Tsneloss, OutputsThatNameAnInputOrEachOtherAreRefusedBeforeAnyWork) {
  // Text embeddings under the names of P's formats: the tool tells formats by content.
  for (const char* name : {"x.txt", "x.mtx", "y.txt", "y.mtx", "y2.mtx"}) Write(name, kThreePoints);
  Write("p.mtx", "%%MatrixMarket matrix coordinate real general\n3 3 2\n2 1 0.5\n1 2 0.5\n");
  fs::create_symlink(dir_ / "x.mtx", dir_ / "link.mtx");
  fs::create_hard_link(dir_ / "y.mtx", dir_ / "hard.mtx");
  const Mistake cases[] = {
      {"--save-p is the data", {"--data", "@x.mtx", "--save-p", "@x.mtx", "@y.txt"},
       "is the same file as the data (--data)"},
      {"--save-p is the embedding", {"--data", "@x.txt", "--save-p", "@y.mtx", "@y.mtx"},
       "is the same file as the embedding"},
      {"--save-p is a later embedding", {"--data", "@x.txt", "--save-p", "@y2.mtx", "@y.txt", "@y2.mtx"},
       "is the same file as the embedding"},
      {"--save-p links to the data", {"--data", "@x.mtx", "--save-p", "@link.mtx", "@y.txt"},
       "is the same file as the data (--data)"},
      {"--save-p is a hard link of the embedding", {"--data", "@x.txt", "--save-p", "@hard.mtx", "@y.mtx"},
       "is the same file as the embedding"},
      {"--per-point is AFFINITIES", {"--per-point", "@p.mtx", "@y.txt", "@p.mtx"}, "is the same file as AFFINITIES"},
      {"--per-point is --save-p, neither there yet",
       {"--data", "@x.txt", "--save-p", "@out.mtx", "--per-point", "@./out.mtx", "@y.txt"},
       "is the same file as --save-p"},
      {"--data with a Matrix Market P", {"--data", "@x.txt", "@y.txt", "@p.mtx"},
       "is a Matrix Market file, a file of P; with --data"},
  };
  const auto before = [&] {
    std::string all;
    for (const char* name : {"x.txt", "x.mtx", "y.txt", "y.mtx", "y2.mtx", "p.mtx"}) all += Slurp(dir_ / name);
    return all;
  }();
  for (const Mistake& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(arg[0] == '@' ? (dir_ / arg.substr(1)).string() : arg);
    const Outcome run = Run(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.mtx"));
  }
  std::string after;
  for (const char* name : {"x.txt", "x.mtx", "y.txt", "y.mtx", "y2.mtx", "p.mtx"}) after += Slurp(dir_ / name);
  EXPECT_EQ(after, before);
}

TEST_F(Tsneloss, DataWithAnArchiveOfPIsRefusedBeforeAnyLoss) {
  const auto x = Write("x.txt", kThreePoints);
  const auto y = Write("y.txt", kThreePoints);
  const auto p = (dir_ / "p.npz").string();
  ASSERT_EQ(Run({"--data", x.string(), "--perplexity", "1", "--save-p", p, y.string()}).status, 0);
  const Outcome run = Run({"--data", x.string(), "--perplexity", "1", y.string(), p});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("p.npz' is a .npz archive, a file of P; with --data"), std::string::npos) << run.err;
}

// Each usage error in its one line, then the pointer to --help; a missing file also
// shows the synopsis, never the whole text.
TEST_F(Tsneloss, UsageErrorsAreOneLineWithAPointerToHelp) {
  const auto y = Write("y.txt", kTwoPoints);
  const struct {
    std::vector<std::string> args;
    std::string first_line;
    bool synopsis;
  } cases[] = {
      {{"--perplexity", "x", "--data", y.string(), y.string()}, "tsneloss: --perplexity needs a number, not 'x'", false},
      {{"--perplexity", "10,,30", "--data", y.string(), y.string()},
       "tsneloss: --perplexity needs numbers between commas, not '10,,30'", false},
      {{"--metric", "manhattan", "--data", y.string(), y.string()},
       "tsneloss: --metric is euclidean, cosine, correlation or precomputed, not 'manhattan'", false},
      {{"--metric", "cosine", y.string(), y.string()}, "tsneloss: --metric is for P computed from --data", false},
      {{"--perplexity", "1,1.5", "--per-point", "s.txt", "--data", y.string(), y.string()},
       "tsneloss: --per-point takes one perplexity", false},
      {{"--threads", "0", y.string(), y.string()}, "tsneloss: --threads needs a whole number from 1 to 1024, not '0'", false},
      {{"--frobnicate", y.string(), y.string()}, "tsneloss: unknown option '--frobnicate'", false},
      {{y.string()}, "tsneloss: two files are needed: EMBEDDING AFFINITIES", true},
      {{"--data", y.string()}, "tsneloss: an EMBEDDING is needed besides --data", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first_line);
    const Outcome run = Run(c.args);
    EXPECT_EQ(run.status, 2);
    const std::string synopsis =
        c.synopsis ? "usage: tsneloss [options] EMBEDDING [EMBEDDING...] AFFINITIES\n"
                     "       tsneloss [options] --data X [--perplexity P] EMBEDDING [EMBEDDING...]\n"
                   : "";
    EXPECT_EQ(run.err, c.first_line + "\n" + synopsis + "see tsneloss --help\n");
  }
}

// Several perplexities: per embedding, a line per perplexity, each the loss of its own
// run, and a file per perplexity named by it; the metric is the one asked for.
TEST_F(Tsneloss, SeveralPerplexitiesGiveEachRunsLossAndFile) {
  const auto x = Write("x.txt", "0 1 2\n1 0 2\n2 1 0\n3 3 1\n0 0 4\n5 1 1\n1 4 1\n2 2 2.5\n");
  const auto y = Write("y.txt", "0 0\n1 0\n0 1\n2 2\n3 0\n0 3\n1 1\n2 1\n");
  const auto z = Write("z.txt", "0 0\n1 1\n0 2\n2 3\n3 1\n1 3\n2 1\n1 2\n");
  for (const char* metric : {"euclidean", "cosine", "correlation"}) {
    SCOPED_TRACE(metric);
    const std::string saved = (dir_ / (std::string(metric) + ".npz")).string();
    const Outcome both = Run({"--data", x.string(), "--metric", metric, "--perplexity", "1.5,3", "--save-p", saved,
                              "--json", y.string(), z.string()});
    ASSERT_EQ(both.status, 0) << both.err;
    std::string expected;
    for (const auto& embedding : {y, z}) {
      for (const char* perplexity : {"1.5", "3"}) {
        const Outcome alone =
            Run({"--data", x.string(), "--metric", metric, "--perplexity", perplexity, "--json", embedding.string()});
        expected += alone.out;
        EXPECT_NE(alone.out.find(std::string("\"metric\": \"") + metric + "\""), std::string::npos);
        const std::string file = (dir_ / (std::string(metric) + ".perplexity-" + perplexity + ".npz")).string();
        const Outcome read = Run({"--json", embedding.string(), file});
        EXPECT_EQ(read.out.substr(0, read.out.find(',')), alone.out.substr(0, alone.out.find(',')));
      }
    }
    EXPECT_EQ(both.out, expected);
    EXPECT_FALSE(fs::exists(saved));
  }
}

// Distances given: squared Euclidean ones, dense with the diagonal (ignored) or only
// each row's nearest, give the loss of the points themselves.
TEST_F(Tsneloss, PrecomputedSquaredDistancesGiveThePointsLoss) {
  const std::vector<std::vector<int>> points = {{0, 1}, {1, 0}, {2, 1}, {3, 3}, {0, 4}, {5, 1}, {1, 4}, {2, 2}};
  std::string text, dense = "%%MatrixMarket matrix array real general\n8 8\n", nearest;
  std::size_t kept = 0;
  for (const auto& point : points) text += std::to_string(point[0]) + " " + std::to_string(point[1]) + "\n";
  for (std::size_t j = 0; j < 8; ++j) {  // array files list a column at a time
    for (std::size_t i = 0; i < 8; ++i) {
      const int dx = points[i][0] - points[j][0], dy = points[i][1] - points[j][1];
      dense += std::to_string(dx * dx + dy * dy) + "\n";
      // Row i keeps its 5 nearest others and the far point 5 (ties broken by index).
      std::vector<std::pair<int, std::size_t>> row;
      for (std::size_t m = 0; m < 8; ++m) {
        const int ex = points[i][0] - points[m][0], ey = points[i][1] - points[m][1];
        if (m != i) row.emplace_back(ex * ex + ey * ey, m);
      }
      std::sort(row.begin(), row.end());
      const bool near = std::find(row.begin(), row.begin() + 5, std::make_pair(dx * dx + dy * dy, j)) != row.begin() + 5;
      if (i != j && (near || j == 5)) {
        nearest += std::to_string(i + 1) + " " + std::to_string(j + 1) + " " + std::to_string(dx * dx + dy * dy) + "\n";
        ++kept;
      }
    }
  }
  nearest = "%%MatrixMarket matrix coordinate real general\n8 8 " + std::to_string(kept) + "\n" + nearest;
  const auto x = Write("x.txt", text);
  const auto y = Write("y.txt", "0 0\n1 0\n0 1\n2 2\n3 0\n0 3\n1 1\n2 1\n");
  const Outcome expected = Run({"--data", x.string(), "--perplexity", "1.5", "--neighbours", "exact", y.string()});
  ASSERT_EQ(expected.status, 0) << expected.err;
  for (const auto& [name, content] : {std::pair{"dense.mtx", dense}, std::pair{"nearest.mtx", nearest}}) {
    SCOPED_TRACE(name);
    const Outcome given = Run({"--data", Write(name, content).string(), "--metric", "precomputed", "--perplexity", "1.5",
                               y.string()});
    EXPECT_EQ(given.status, 0) << given.err;
    EXPECT_EQ(given.out, expected.out);
  }
}

TEST_F(Tsneloss, NumbersWithSpacesAroundThemAreTakenAsTheTextReadersTakeThem) {
  const auto x = Write("x.txt", kThreePoints);
  const auto y = Write("y.txt", kThreePoints);
  const Outcome plain = Run({"--data", x.string(), "--perplexity", "1.5", "--threads", "2", y.string()});
  ASSERT_EQ(plain.status, 0) << plain.err;
  for (const char* perplexity : {" 1.5", "1.5 ", "\t1.5\t"}) {
    SCOPED_TRACE(perplexity);
    const Outcome run = Run({"--data", x.string(), "--perplexity", perplexity, "--threads", " 2 ", y.string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, plain.out);
  }
  for (const char* perplexity : {"1.5\n", "\n1.5", "1. 5", " "}) {
    SCOPED_TRACE(perplexity);
    EXPECT_EQ(Run({"--data", x.string(), "--perplexity", perplexity, y.string()}).status, 2);
  }
}

TEST_F(Tsneloss, MessagesNameTheDataAndCountInTheRightNumber) {
  const auto y = Write("y.txt", kThreePoints);
  const auto p = Write("p.mtx", kTwoPointsP);
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::string says;
  } cases[] = {
      {"one point of data, Z computed", {"--data", Write("x1.txt", "5\n").string(), Write("y1.txt", "0 0\n").string()},
       "x1.txt: P needs at least 2 points; the data holds 1\n"},
      {"D = 0 data", {"--data", Write("x0.npy", Npy<double>(3, 0, {})).string(), y.string()},
       "x0.npy: the data's points have no coordinates (D = 0)\n"},
      {"one point against P", {"--z", "1", Write("y4.txt", "0 0 0\n").string(), p.string()},
       "p.mtx: P is 2 by 2, but the embedding " + (dir_ / "y4.txt").string() + " has 1 point\n"},
      {"one coordinate too many", {"--z", "1", Write("y2.txt", "0\n1 2\n").string(), p.string()},
       "y2.txt:2:3: this point has 2 coordinates, the first had 1\n"},
      {"empty field", {"--z", "1", Write("y3.txt", "0,1\n3,,4\n").string(), p.string()},
       "y3.txt:2:3: an empty field: a comma with no number before or after it\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = Run(c.args);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.ends_with(c.says)) << run.err;
  }
}

// Interrupted while it writes P, the tool leaves nothing beside the destination: its
// temporary file goes with it.
TEST_F(Tsneloss, CtrlCWhileWritingPLeavesNoFileBehind) {
  std::mt19937_64 random(7);
  std::normal_distribution<double> normal;
  std::string points;
  for (int k = 0; k < 5000; ++k) points += std::to_string(normal(random)) + " " + std::to_string(normal(random)) + "\n";
  const auto x = Write("x.txt", points);
  const fs::path destination = dir_ / "out" / "p.mtx";
  fs::create_directory(destination.parent_path());
  const std::string program = TSNELOSS_PATH;
  std::vector<std::string> args = {program, "--data", x.string(), "--perplexity", "60", "--neighbours", "exact",
                                   "--save-p", destination.string(), x.string()};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  // Once the temporary file holds some of P, the writing is under way.
  const fs::path partial = destination.string() + ".partial-" + std::to_string(pid);
  std::error_code error;
  int status = 0;
  bool ended = false;
  while (!ended && !(fs::exists(partial, error) && fs::file_size(partial, error) > 0)) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ended = waitpid(pid, &status, WNOHANG) == pid;
  }
  ASSERT_FALSE(ended) << "the run ended before it wrote P";
  kill(pid, SIGINT);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT) << status;
  EXPECT_TRUE(fs::is_empty(destination.parent_path()));
}

}  // namespace
}  // namespace tsne_test
