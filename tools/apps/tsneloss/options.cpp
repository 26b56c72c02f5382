#include "apps/tsneloss/options.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "affinities/affinities.hpp"
#include "core/input_rules.hpp"
#include "core/text.hpp"
#include "core/z_choice.hpp"
#include "formats/affinities_writer.hpp"
#include "formats/input_source.hpp"
#include "formats/text_fields.hpp"

namespace tsneloss {

// More would only cost memory: each thread holds a piece of a block.
constexpr unsigned long long kMostThreads = 1024;

const char* const kVersion = "tsneloss 0.2.0";

const char* const kUsage =
    "usage: tsneloss [options] EMBEDDING [EMBEDDING...] AFFINITIES\n"
    "       tsneloss [options] --data X [--perplexity P] EMBEDDING [EMBEDDING...]\n"
    "\n"
    "Prints the t-SNE loss KL(P || Q) of each embedding for sparse input affinities P,\n"
    "one line per embedding in the order given; P is read (or computed) once.\n"
    "\n"
    "  EMBEDDING    text file, one point per line (numbers separated by spaces, tabs or\n"
    "               commas; '#' starts a comment line), or a .npy file holding a 2-D\n"
    "               float64 or float32 array of shape (N, D), C or Fortran order\n"
    "  AFFINITIES   N by N, real or integer: a Matrix Market file, coordinate or array,\n"
    "               general or symmetric, or a SciPy save_npz archive (csr, csc, coo);\n"
    "               entries at one position are added together\n"
    "  Text files may be gzip-compressed; formats are told by content. One file may\n"
    "  be '-' for standard input.\n"
    "\n"
    "  --data X     compute P from the data X (N points in their original D\n"
    "               dimensions, a file read as an embedding is) as t-SNE does,\n"
    "               instead of reading AFFINITIES\n"
    "  --perplexity P  of P computed from --data: finite, above 0 and below N\n"
    "               (default 30); each point gets min(N-1, floor(3P+1)) neighbours\n"
    "  --neighbours M  exact: the true nearest neighbours; approx: a graph index,\n"
    "               at least 98.5% of them (the share is estimated and printed);\n"
    "               all: every other point, as t-SNE's exact method, quadratic in\n"
    "               time and memory; auto (default): exact up to N = 300000, approx\n"
    "               above\n"
    "  --save-p FILE  write P computed from --data to FILE: a SciPy .npz (CSR) or a\n"
    "               Matrix Market .mtx, by its extension\n"
    "  --z Z        the normaliser of the output affinities, finite and above 0;\n"
    "               without it Z is computed (see --z-method); with several\n"
    "               embeddings it is used for each\n"
    "  --z-method M exact: the exact Z, quadratic in N; approx: interpolated on a grid\n"
    "               with FFTs (D <= 3), relative error about 1e-8, estimated and\n"
    "               printed; auto (default): exact up to N = 100000, approx above\n"
    "  --single     compute in single precision (every term is accumulated in single)\n"
    "  --json       print a JSON object instead of the bare loss\n"
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

Options ParseOptions(int argc, const char* const* argv) {
  Options options;
  std::vector<std::string> positional;
  bool options_ended = false;
  bool perplexity_given = false;
  bool neighbours_given = false;
  for (int k = 1; k < argc; ++k) {
    std::string arg = argv[k];
    if (options_ended || arg == kStandardInputPath || arg.empty() || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    // "--name=value" is "--name value".
    std::optional<std::string> attached;
    if (const std::size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      attached = arg.substr(equals + 1);
      arg.resize(equals);
    }
    auto value = [&]() {
      if (attached) return *attached;
      if (k + 1 >= argc) throw UsageError(arg + " needs a value");
      return std::string(argv[++k]);
    };
    const auto flag = [&]() {
      if (attached) throw UsageError(arg + " takes no value");
      return true;
    };
    if (arg == "--") {
      options_ended = flag();
    } else if (arg == "--help" || arg == "-h") {
      options.help = flag();
    } else if (arg == "--version") {
      options.version = flag();
    } else if (arg == "--single") {
      options.single = flag();
    } else if (arg == "--json") {
      options.json = flag();
    } else if (arg == "--module") {
      options.module_path = value();
    } else if (arg == "--z-method") {
      options.z_method = value();
      if (!normaliser::ParseZMethod(options.z_method)) {
        throw UsageError("--z-method is exact, approx or auto, not '" + options.z_method + "'");
      }
    } else if (arg == "--threads") {
      const std::string text = value();
      unsigned long long threads = 0;
      if (!ParseCount(text, threads) || threads == 0 || threads > kMostThreads) {
        throw UsageError("--threads needs a whole number from 1 to " + std::to_string(kMostThreads) + ", not " +
                         Shown(text));
      }
      options.threads = static_cast<unsigned>(threads);
    } else if (arg == "--data") {
      options.data_path = value();
    } else if (arg == "--perplexity") {
      const std::string text = value();
      if (!ParseDouble(text, options.perplexity)) throw UsageError("--perplexity needs a number, not " + Shown(text));
      perplexity_given = true;
    } else if (arg == "--neighbours") {
      options.neighbours = value();
      if (!affinities::ParseNeighbourMethod(options.neighbours)) {
        throw UsageError("--neighbours is exact, approx, all or auto, not " + Shown(options.neighbours));
      }
      neighbours_given = true;
    } else if (arg == "--save-p") {
      options.save_p_path = value();
      if (!AffinitiesFormatKnown(options.save_p_path)) {
        throw UsageError("--save-p writes a .npz or a .mtx file, not " + Shown(options.save_p_path));
      }
    } else if (arg == "--per-point") {
      options.per_point_path = value();
    } else if (arg == "--z") {
      const std::string text = value();
      double z;
      if (!ParseDouble(text, z)) throw UsageError("--z needs a number, not " + Shown(text));
      const std::string fault = NormaliserFault(z);
      if (!fault.empty()) throw UsageError("--z: " + fault);
      options.z = z;
    } else {
      throw UsageError("unknown option " + Shown(arg));
    }
  }
  if (options.help || options.version) return options;
  const bool from_data = !options.data_path.empty();
  if (!from_data && (perplexity_given || neighbours_given || !options.save_p_path.empty())) {
    throw UsageError(std::string(perplexity_given ? "--perplexity" : neighbours_given ? "--neighbours" : "--save-p") +
                     " is for P computed from --data");
  }
  const std::size_t files = positional.size() + (from_data ? 1 : 0);
  if (files < 2) {
    throw UsageError(from_data ? "an EMBEDDING is needed besides --data" : "two files are needed: EMBEDDING AFFINITIES");
  }
  if (options.data_path == kStandardInputPath) positional.push_back(options.data_path);
  if (std::count(positional.begin(), positional.end(), kStandardInputPath) > 1) {
    throw UsageError("only one of the files can be standard input ('-')");
  }
  if (options.data_path == kStandardInputPath) positional.pop_back();
  if (!options.per_point_path.empty() && files > 2) throw UsageError("--per-point takes one embedding");
  if (from_data) {
    options.embedding_paths = positional;
  } else {
    options.embedding_paths.assign(positional.begin(), positional.end() - 1);
    options.affinities_path = positional.back();
  }
  return options;
}

}  // namespace tsneloss
