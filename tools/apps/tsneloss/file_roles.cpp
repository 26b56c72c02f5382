#include "apps/tsneloss/file_roles.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "core/input_error.hpp"
#include "formats/embedding_file.hpp"
#include "formats/input_source.hpp"
#include "support/text.hpp"

namespace tsneloss::apps {
namespace {

struct NamedFile {
  std::string role;  // how messages call it: "--save-p", "the embedding"
  std::string path;
};

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  const bool first_exists = ::stat(a.c_str(), &first) == 0;
  const bool second_exists = ::stat(b.c_str(), &second) == 0;
  if (first_exists && second_exists) return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  if (first_exists || second_exists) return false;
  std::error_code error;
  const auto resolved_a = std::filesystem::weakly_canonical(a, error);
  if (error) return a == b;
  const auto resolved_b = std::filesystem::weakly_canonical(b, error);
  return !error && resolved_a == resolved_b;
}

std::vector<NamedFile> Inputs(const Options& options) {
  std::vector<NamedFile> inputs;
  if (!options.data_path.empty()) inputs.push_back({"the data (--data)", options.data_path});
  for (const std::string& path : options.embedding_paths) inputs.push_back({"the embedding", path});
  if (!options.affinities_path.empty()) inputs.push_back({"AFFINITIES", options.affinities_path});
  return inputs;
}

}  // namespace

void CheckOutputsApart(const Options& options) {
  std::vector<NamedFile> outputs;
  if (!options.save_p_path.empty()) outputs.push_back({"--save-p", options.save_p_path});
  if (!options.per_point_path.empty()) outputs.push_back({"--per-point", options.per_point_path});
  for (std::size_t k = 0; k < outputs.size(); ++k) {
    const NamedFile& output = outputs[k];
    for (const NamedFile& input : Inputs(options)) {
      if (input.path == formats::kStandardInputPath || !SameFile(output.path, input.path)) continue;
      throw UsageError(output.role + " " + support::Shown(output.path) + " is the same file as " + input.role + " " +
                       support::Shown(input.path) + "; an output never overwrites an input");
    }
    for (std::size_t other = 0; other < k; ++other) {
      if (!SameFile(output.path, outputs[other].path)) continue;
      throw UsageError(output.role + " " + support::Shown(output.path) + " is the same file as " +
                       outputs[other].role + " " + support::Shown(outputs[other].path) +
                       "; each output needs a file of its own");
    }
  }
}

void CheckNoAffinitiesGiven(const Options& options) {
  if (options.data_path.empty()) return;
  for (const std::string& path : options.embedding_paths) {
    if (path == formats::kStandardInputPath) continue;
    std::string format;
    try {
      formats::InputSource source(path);
      format = formats::AffinitiesFormatOf(source);
    } catch (const core::InputError&) {
      continue;
    }
    if (format.empty()) continue;
    throw UsageError(support::Shown(path) + " is " + format +
                     ", a file of P; with --data, P is computed and every file given is an EMBEDDING");
  }
}

}  // namespace tsneloss::apps
