#include "formats/shares_file.hpp"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace tsneloss {
namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Format version 1: the header padded with spaces so the data start on a multiple of 64.
void WriteNpy(std::ofstream& out, std::span<const double> shares, bool single) {
  std::string header = std::string("{'descr': '<f") + (single ? "4" : "8") + "', 'fortran_order': False, 'shape': (" +
                       std::to_string(shares.size()) + ",), }";
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  const char prefix[8] = {'\x93', 'N', 'U', 'M', 'P', 'Y', 1, 0};
  out.write(prefix, sizeof prefix);
  const char length[2] = {static_cast<char>(header.size() & 0xFF), static_cast<char>(header.size() >> 8)};
  out.write(length, sizeof length);
  out << header;
  if (single) {
    const std::vector<float> narrowed(shares.begin(), shares.end());
    out.write(reinterpret_cast<const char*>(narrowed.data()), static_cast<std::streamsize>(narrowed.size() * sizeof(float)));
  } else {
    out.write(reinterpret_cast<const char*>(shares.data()), static_cast<std::streamsize>(shares.size() * sizeof(double)));
  }
}

void WriteText(std::ofstream& out, std::span<const double> shares, bool single) {
  char text[40];
  for (const double share : shares) {
    if (std::isnan(share)) {
      out << "nan\n";
    } else if (std::isinf(share)) {
      out << (share > 0 ? "inf\n" : "-inf\n");
    } else {
      std::snprintf(text, sizeof text, "%.*g\n", single ? 9 : 17, share);
      out << text;
    }
  }
}

}  // namespace

void WriteShares(const std::string& path, std::span<const double> shares, bool single) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw std::runtime_error(path + ": cannot open the file for writing");
  if (EndsWith(path, ".npy")) {
    WriteNpy(out, shares, single);
  } else {
    WriteText(out, shares, single);
  }
  out.close();
  if (!out) throw std::runtime_error(path + ": cannot write the per-point shares");
}

}  // namespace tsneloss
