#include "apps/tsneloss/options.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string_view>
#include <vector>

#include "core/data_affinities.hpp"
#include "core/input_rules.hpp"
#include "core/metric_affinities.hpp"
#include "core/z_choice.hpp"
#include "formats/affinities_writer.hpp"
#include "formats/input_source.hpp"
#include "formats/text_fields.hpp"
#include "support/text.hpp"

namespace tsneloss::apps {

const char* const kUsage =
    "usage: tsneloss [options] EMBEDDING [EMBEDDING...] AFFINITIES\n"
    "       tsneloss [options] --data X [--perplexity P] EMBEDDING [EMBEDDING...]\n"
    "\n"
    "Prints the t-SNE loss KL(P || Q) of each embedding for sparse input affinities P,\n"
    "one line per embedding in the order given; P is read (or computed) once.\n"
    "\n"
    "  EMBEDDING    text file, one point per line (numbers separated by spaces, tabs or\n"
    "               commas; '#' starts a comment line), or a .npy file holding a 2-D\n"
    "               array of shape (N, D), C or Fortran order, of floats, integers or\n"
    "               booleans (converted to float64 as NumPy converts them)\n"
    "  AFFINITIES   N by N, real or integer: a Matrix Market file, coordinate or array,\n"
    "               general or symmetric, or a SciPy save_npz archive (csr, csc, coo);\n"
    "               entries at one position are added together\n"
    "  Text files may be gzip-compressed; formats are told by content. One file may\n"
    "  be '-' for standard input.\n"
    "\n"
    "  --data X     compute P from the data X (N points in their original D\n"
    "               dimensions, a file read as an embedding is) as t-SNE does,\n"
    "               instead of reading AFFINITIES\n"
    "  --perplexity P  of P computed from --data: finite, at least 1 and below N\n"
    "               (default 30); each point gets min(N-1, floor(3P+1)) neighbours;\n"
    "               several, as 10,30,100, give one P each from one search\n"
    "  --metric M   of --data's neighbours: euclidean (default; squared, as t-SNE\n"
    "               squares it), cosine (1 - cos) or correlation (1 - the rows'\n"
    "               correlation); precomputed: --data holds the distances, N by N\n"
    "               in a file read as AFFINITIES is, each row's entries its point's\n"
    "               candidate neighbours\n"
    "  --neighbours M  exact: the true nearest neighbours; approx: a graph index,\n"
    "               at least 98.5% of them (the share is estimated; see --verbose);\n"
    "               all: every other point, as t-SNE's exact method, quadratic in\n"
    "               time and memory; auto (default): exact up to N = 600000, approx\n"
    "               above\n"
    "  --save-p FILE  write P computed from --data to FILE: a SciPy .npz (CSR) or a\n"
    "               Matrix Market .mtx, by its extension; with several\n"
    "               perplexities FILE.perplexity-P.npz (or .mtx) for each\n"
    "  --z Z        the normaliser of the output affinities, finite and above 0;\n"
    "               without it Z is computed (see --z-method); with several\n"
    "               embeddings it is used for each\n"
    "  --z-method M exact: the exact Z, quadratic in N; approx: interpolated on a grid\n"
    "               with FFTs (D <= 3), relative error about 1e-8, estimated (see\n"
    "               --verbose); auto (default): exact up to N = 100000, approx above\n"
    "  --single     compute in single precision (every term is accumulated in single)\n"
    "  --json       print a JSON object instead of the bare loss\n"
    "  --verbose    also print notes that only inform (the Z computed, the share of\n"
    "               true neighbours found, positions of P merged); warnings are\n"
    "               printed either way\n"
    "  --module P   the module file to load (default: $TSNELOSS_MODULE, else\n"
    "               ../lib/tsnelossvek.so from this tool's directory)\n"
    "  --threads N  threads for reading, packing, P and Z (default: one per core);\n"
    "               the results are the same for every N (but for approximate\n"
    "               neighbours, whose index is built in parallel)\n"
    "  --per-point FILE  write each point's share of the loss to FILE: a .npy\n"
    "               vector when FILE ends in .npy, text with one share per line else\n"
    "  --version    show the version\n"
    "  --help       show this text\n"
    "Options taking a value accept --option=VALUE too.\n";

std::string_view Synopsis() {
  const std::string_view usage = kUsage;
  return usage.substr(0, usage.find("\n\n") + 1);
}

namespace {

// What the command line said besides the options' values, for the checks after it.
struct Said {
  bool options_ended = false;
  bool perplexity = false;
  bool neighbours = false;
  bool metric = false;
};

// Sets what an option says; `value` is empty for an option that takes none.
using Setter = void (*)(const std::string& value, Options& options, Said& said);

struct OptionRule {
  std::string_view name;
  bool takes_value;
  Setter set;
};

void SetZMethod(const std::string& value, Options& options, Said&) {
  if (!core::ParseZMethod(value)) throw UsageError("--z-method is exact, approx or auto, not '" + value + "'");
  options.z_method = value;
}

void SetThreads(const std::string& value, Options& options, Said&) {
  unsigned long long threads = 0;
  if (!formats::ParseCount(value, threads) || threads == 0 || threads > core::kMostThreads) {
    throw UsageError("--threads needs a whole number from 1 to " + std::to_string(core::kMostThreads) + ", not " +
                     support::Shown(value));
  }
  options.threads = static_cast<unsigned>(threads);
}

// One number, or several between commas.
void SetPerplexity(const std::string& value, Options& options, Said& said) {
  options.perplexities.clear();
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    const std::string field = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    double perplexity = 0;
    if (!formats::ParseDouble(field, perplexity)) {
      const bool several = value.find(',') != std::string::npos;
      throw UsageError(std::string("--perplexity needs ") + (several ? "numbers between commas" : "a number") +
                       ", not " + support::Shown(value));
    }
    options.perplexities.push_back(perplexity);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  said.perplexity = true;
}

void SetMetric(const std::string& value, Options& options, Said& said) {
  const auto metric = core::ParseMetric(value);
  if (!metric) {
    throw UsageError("--metric is euclidean, cosine, correlation or precomputed, not " + support::Shown(value));
  }
  options.metric = value;
  said.metric = true;
}

void SetNeighbours(const std::string& value, Options& options, Said& said) {
  if (!core::ParseNeighbourMethod(value)) {
    throw UsageError("--neighbours is exact, approx, all or auto, not " + support::Shown(value));
  }
  options.neighbours = value;
  said.neighbours = true;
}

void SetSaveP(const std::string& value, Options& options, Said&) {
  if (!formats::AffinitiesFormatKnown(value)) throw UsageError("--save-p writes a .npz or a .mtx file, not " + support::Shown(value));
  options.save_p_path = value;
}

void SetZ(const std::string& value, Options& options, Said&) {
  double z;
  if (!formats::ParseDouble(value, z)) throw UsageError("--z needs a number, not " + support::Shown(value));
  const std::string fault = core::NormaliserFault(z);
  if (!fault.empty()) throw UsageError("--z: " + fault);
  options.z = z;
}

constexpr OptionRule kOptionRules[] = {
    {"--", false, [](const std::string&, Options&, Said& said) { said.options_ended = true; }},
    {"--help", false, [](const std::string&, Options& options, Said&) { options.help = true; }},
    {"-h", false, [](const std::string&, Options& options, Said&) { options.help = true; }},
    {"--version", false, [](const std::string&, Options& options, Said&) { options.version = true; }},
    {"--single", false, [](const std::string&, Options& options, Said&) { options.single = true; }},
    {"--json", false, [](const std::string&, Options& options, Said&) { options.json = true; }},
    {"--verbose", false, [](const std::string&, Options& options, Said&) { options.verbose = true; }},
    {"--module", true, [](const std::string& value, Options& options, Said&) { options.module_path = value; }},
    {"--z-method", true, &SetZMethod},
    {"--threads", true, &SetThreads},
    {"--data", true, [](const std::string& value, Options& options, Said&) { options.data_path = value; }},
    {"--perplexity", true, &SetPerplexity},
    {"--neighbours", true, &SetNeighbours},
    {"--metric", true, &SetMetric},
    {"--save-p", true, &SetSaveP},
    {"--per-point", true, [](const std::string& value, Options& options, Said&) { options.per_point_path = value; }},
    {"--z", true, &SetZ},
};

const OptionRule& RuleOf(const std::string& name) {
  for (const OptionRule& rule : kOptionRules) {
    if (rule.name == name) return rule;
  }
  throw UsageError("unknown option " + support::Shown(name));
}

// The options that only P computed from the data takes, and the files given.
void CheckCombination(const Options& options, const Said& said, std::vector<std::string>& positional) {
  const bool from_data = !options.data_path.empty();
  if (!from_data && (said.perplexity || said.neighbours || said.metric || !options.save_p_path.empty())) {
    throw UsageError(std::string(said.perplexity   ? "--perplexity"
                                 : said.neighbours ? "--neighbours"
                                 : said.metric     ? "--metric"
                                                   : "--save-p") +
                     " is for P computed from --data");
  }
  const std::size_t files = positional.size() + (from_data ? 1 : 0);
  if (files < 2) {
    throw UsageError(from_data ? "an EMBEDDING is needed besides --data" : "two files are needed: EMBEDDING AFFINITIES",
                     true);
  }
  const auto stdin_paths = std::count(positional.begin(), positional.end(), formats::kStandardInputPath) +
                           (options.data_path == formats::kStandardInputPath ? 1 : 0);
  if (stdin_paths > 1) throw UsageError("only one of the files can be standard input ('-')");
  if (!options.per_point_path.empty() && files > 2) throw UsageError("--per-point takes one embedding");
  if (!options.per_point_path.empty() && options.perplexities.size() > 1) {
    throw UsageError("--per-point takes one perplexity");
  }
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv) {
  Options options;
  Said said;
  std::vector<std::string> positional;
  for (int k = 1; k < argc; ++k) {
    std::string arg = argv[k];
    if (said.options_ended || arg == formats::kStandardInputPath || arg.empty() || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    // "--name=value" is "--name value".
    std::optional<std::string> attached;
    if (const std::size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      attached = arg.substr(equals + 1);
      arg.resize(equals);
    }
    const OptionRule& rule = RuleOf(arg);
    if (!rule.takes_value && attached) throw UsageError(arg + " takes no value");
    if (rule.takes_value && !attached && k + 1 >= argc) throw UsageError(arg + " needs a value");
    rule.set(rule.takes_value ? (attached ? *attached : std::string(argv[++k])) : std::string(), options, said);
  }
  if (options.help || options.version) return options;
  CheckCombination(options, said, positional);
  if (!options.data_path.empty()) {
    options.embedding_paths = positional;
  } else {
    options.embedding_paths.assign(positional.begin(), positional.end() - 1);
    options.affinities_path = positional.back();
  }
  return options;
}

}  // namespace tsneloss::apps
