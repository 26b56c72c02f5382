// Runs of the built tsneloss program on small files written to a directory of the
// test's own, with the exit status and both output streams collected.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "temporary_folder.hpp"

namespace tsne_test {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

inline std::string Slurp(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class Tsneloss : public ::testing::Test {
 protected:
  fs::path Write(const std::string& name, const std::string& content) { return dir_.Write(name, content); }

  // `shell_prefix` runs before the program in the same shell (a ulimit, say).
  Outcome Run(const std::vector<std::string>& args, const std::string& standard_input = "/dev/null",
              const std::string& shell_prefix = "") {
    std::string command = shell_prefix + "'" TSNELOSS_PATH "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " >'" + (dir_ / "out").string() + "' 2>'" + (dir_ / "err").string() + "' <'" + standard_input + "'";
    const int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Slurp(dir_ / "out"), Slurp(dir_ / "err")};
  }

  tsne_test::TemporaryFolder dir_;
};

inline const char* const kTwoPoints = "0 0\n3 4\n";
inline const char* const kTwoPointsP =
    "%%MatrixMarket matrix coordinate real general\n% the worked example\n2 2 2\n2 1 0.5\n1 2 0.5\n";

inline std::string Formatted(double value, int digits) {
  char text[40];
  std::snprintf(text, sizeof text, "%.*g\n", digits, value);
  return text;
}

// A .npy file of a 2-D array, its values in the order stored; format version 1 keeps
// the header length in two bytes, versions 2 and 3 in four.
template <typename T>
std::string Npy(std::size_t rows, std::size_t columns, const std::vector<T>& values, bool fortran_order = false,
                int version = 1) {
  const std::size_t length_bytes = version == 1 ? 2 : 4;
  std::string header = std::string("{'descr': '<f") + (sizeof(T) == 8 ? "8" : "4") + "', 'fortran_order': " +
                       (fortran_order ? "True" : "False") + ", 'shape': (" + std::to_string(rows) + ", " +
                       std::to_string(columns) + "), }";
  while ((8 + length_bytes + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::string file = "\x93NUMPY";
  file += static_cast<char>(version);
  file += '\0';
  for (std::size_t k = 0; k < length_bytes; ++k) file += static_cast<char>((header.size() >> (8 * k)) & 0xFF);
  file += header;
  file.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
  return file;
}

}  // namespace tsne_test
