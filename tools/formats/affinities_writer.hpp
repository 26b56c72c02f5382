// Writing P to a file that scipy.sparse.load_npz (".npz", compressed rows) or a
// Matrix Market reader (".mtx") takes, and that tsneloss reads back to the same bits.
#pragma once

#include <cstdint>
#include <string>

#include "affinities/joint_affinities.hpp"
#include "formats/zip_writer.hpp"

namespace tsneloss::formats {

// Whether WriteAffinities knows the format of `path` (by its extension).
bool AffinitiesFormatKnown(const std::string& path);

// Where WriteAffinities writes P before renaming it to `path`: beside it, named for
// this process, so that a failed write leaves what was there.
std::string TemporaryPathOf(const std::string& path);

// Throws std::runtime_error naming `path` when a file cannot be written beside it
// (say, its folder is missing): checked before a long computation of P.
void CheckAffinitiesWritable(const std::string& path);

// Writes P to `path`: a .npz of SciPy's CSR (int32 indices where they fit) or a
// general coordinate Matrix Market file with one-based indices and each value in
// the fewest digits that read back to it. Throws std::runtime_error naming the path
// (leaving what was there before), std::invalid_argument for an unknown format.
// `zip64_from`: as ZipWriter's (tests force zip64 fields with a lower one).
void WriteAffinities(const std::string& path, const affinities::SparseRows& p,
                     std::uint64_t zip64_from = ZipWriter::kZip64From);

}  // namespace tsneloss::formats
