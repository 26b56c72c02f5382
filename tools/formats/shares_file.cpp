#include "formats/shares_file.hpp"

#include <fstream>
#include <stdexcept>

#include "formats/file_descriptor.hpp"
#include "formats/npy_file.hpp"
#include "support/text.hpp"

namespace tsneloss::formats {
namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void WriteText(std::ofstream& out, std::span<const double> shares, bool single) {
  for (const double share : shares) out << support::FormatNumber(share, single ? 9 : 17) << '\n';
}

}  // namespace

void WriteShares(const std::string& path, std::span<const double> shares, bool single) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error(path + ": " + WithReason("cannot open the file for writing"));
  if (EndsWith(path, ".npy")) {
    WriteNpy(out, shares, single);
  } else {
    WriteText(out, shares, single);
  }
  out.close();
  if (!out) throw std::runtime_error(path + ": " + WithReason("cannot write the per-point shares"));
}

}  // namespace tsneloss::formats
