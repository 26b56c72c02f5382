#include "options.hpp"

#include <cmath>
#include <vector>

#include "text_fields.hpp"

namespace tsneloss {

const char* const kUsage =
    "usage: tsneloss [options] EMBEDDING AFFINITIES\n"
    "\n"
    "Prints the t-SNE loss KL(P || Q) of an embedding for sparse input affinities P.\n"
    "\n"
    "  EMBEDDING    text file, one point per line (numbers separated by spaces, tabs or\n"
    "               commas; '#' starts a comment line), or a .npy file holding a 2-D\n"
    "               float64 or float32 array of shape (N, D) in C order\n"
    "  AFFINITIES   Matrix Market coordinate file, real or integer, general or\n"
    "               symmetric, N by N\n"
    "\n"
    "  --z Z        the normaliser of the output affinities; without it Z is\n"
    "               computed (see --z-method)\n"
    "  --z-method M exact: the exact Z, quadratic in N; approx: interpolated on a grid\n"
    "               with FFTs (D <= 3), relative error about 1e-8, estimated and\n"
    "               printed; auto (default): exact up to N = 100000, approx above\n"
    "  --single     compute in single precision\n"
    "  --json       print a JSON object instead of the bare loss\n"
    "  --module P   the module file to load (default: the one built beside this tool)\n"
    "  --help       show this text\n";

Options ParseOptions(int argc, const char* const* argv) {
  Options options;
  std::vector<std::string> positional;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    auto value = [&](const char* name) {
      if (k + 1 >= argc) throw UsageError(std::string(name) + " needs a value");
      return std::string(argv[++k]);
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--single") {
      options.single = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--module") {
      options.module_path = value("--module");
    } else if (arg == "--z-method") {
      options.z_method = value("--z-method");
      if (options.z_method != "exact" && options.z_method != "approx" && options.z_method != "auto") {
        throw UsageError("--z-method is exact, approx or auto, not '" + options.z_method + "'");
      }
    } else if (arg == "--z") {
      const std::string text = value("--z");
      double z;
      if (!ParseDouble(text, z) || std::isnan(z)) throw UsageError("--z needs a number, not '" + text + "'");
      options.z = z;
    } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
      throw UsageError("unknown option " + arg);
    } else {
      positional.push_back(arg);
    }
  }
  if (options.help) return options;
  if (positional.size() != 2) throw UsageError("two files are needed: EMBEDDING AFFINITIES");
  options.embedding_path = positional[0];
  options.affinities_path = positional[1];
  return options;
}

}  // namespace tsneloss
