// The command line of tsneloss.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tsneloss::apps {

struct Options {
  std::vector<std::string> embedding_paths;  // one or more, each scored against P
  std::string affinities_path;  // empty with --data
  std::string data_path;        // X, to compute P from
  std::vector<double> perplexities = {30};  // one P each, from one neighbour search
  std::string metric = "euclidean";          // "euclidean", "cosine", "correlation" or "precomputed"
  std::string neighbours = "auto";           // "exact", "approx", "all" or "auto"
  std::string save_p_path;          // empty: P computed from X is not written
  std::optional<double> z;
  std::string z_method = "auto";  // without --z: "exact", "approx" or "auto"
  bool single = false;
  unsigned threads = 0;  // 0: one per processor
  bool json = false;
  bool verbose = false;  // also the notes that only inform, besides warnings
  std::string module_path;  // empty: $TSNELOSS_MODULE, else the module installed beside the tool
  std::string per_point_path;  // empty: no per-point shares written
  bool help = false;
  bool version = false;
};

// A command line the tool cannot run. Most are told in their one line; a missing
// file is told with the synopsis too.
class UsageError : public std::runtime_error {
 public:
  explicit UsageError(const std::string& message, bool show_synopsis = false)
      : std::runtime_error(message), show_synopsis_(show_synopsis) {}
  bool show_synopsis() const { return show_synopsis_; }

 private:
  bool show_synopsis_;
};

// What --help shows; it starts with the synopsis, its usage lines.
extern const char* const kUsage;
std::string_view Synopsis();

// Throws UsageError, also for a Z that is not finite and above 0.
Options ParseOptions(int argc, const char* const* argv);

}  // namespace tsneloss::apps
