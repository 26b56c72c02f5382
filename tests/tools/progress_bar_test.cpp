// The command line's progress bar: one line per phase, each named, a finished phase
// drawn full before the next, work stopped short left as it was.
#include "apps/tsneloss/progress_bar.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

using tsneloss::apps::ProgressBar;

std::string Drawn(bool enabled, bool finished) {
  std::FILE* stream = std::tmpfile();
  {
    ProgressBar bar(enabled, stream, std::chrono::seconds(0));
    bar.Begin("finding neighbours");
    bar.Update(0.5);
    bar.Begin("fitting perplexities");
    bar.Update(0.25);
    if (finished) bar.Finish();
  }
  std::string text(static_cast<std::size_t>(std::ftell(stream)), '\0');
  std::rewind(stream);
  text.resize(std::fread(text.data(), 1, text.size(), stream));
  std::fclose(stream);
  return text;
}

std::string Line(const char* label, int filled, int percent) {
  char line[128];
  std::snprintf(line, sizeof line, "\r%-20s [%s%s] %3d%%", label, std::string(filled, '#').c_str(),
                std::string(40 - filled, ' ').c_str(), percent);
  return line;
}

TEST(ProgressBar, NamesEachPhaseAndEndsEveryLine) {
  const std::string neighbours = Line("finding neighbours", 20, 50) + Line("finding neighbours", 40, 100) + "\n";
  EXPECT_EQ(Drawn(true, true), neighbours + Line("fitting perplexities", 10, 25) +
                                   Line("fitting perplexities", 40, 100) + "\n");
  // Stopped short: the last phase keeps its share, on a line of its own.
  EXPECT_EQ(Drawn(true, false), neighbours + Line("fitting perplexities", 10, 25) + "\n");
  EXPECT_EQ(Drawn(false, true), "");
}

TEST(ProgressBar, ShortWorkDrawsNothing) {
  std::FILE* stream = std::tmpfile();
  {
    ProgressBar bar(true, stream, std::chrono::hours(1));
    bar.Begin("computing Z");
    bar.Update(0.5);
    bar.Finish();
  }
  EXPECT_EQ(std::ftell(stream), 0);
  std::fclose(stream);
}

}  // namespace
