// Gzip'd input through InputSource into a reader. The first byte chooses: compress the
// rest (in one member or two, at a split the second byte picks) and read it as an
// embedding or as Matrix Market, or take the rest as gzip bytes as they are. Read,
// or refused with an InputError.
#include <zlib.h>

#include <cstdint>
#include <string>

#include "core/input_error.hpp"
#include "formats/affinities_file.hpp"
#include "formats/embedding_file.hpp"
#include "fuzz_input.hpp"

namespace {

std::string Gzip(const std::string& data) {
  z_stream stream{};
  if (deflateInit2(&stream, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return {};
  std::string out(deflateBound(&stream, data.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  deflateEnd(&stream);
  if (status != Z_STREAM_END) return {};
  out.resize(stream.total_out);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const unsigned mode = data[0];
  const std::string rest(reinterpret_cast<const char*>(data + 2), size - 2);
  std::string bytes;
  if ((mode & 3) == 3) {
    bytes = "\x1f\x8b" + rest;
  } else if ((mode & 4) != 0) {
    const std::size_t split = rest.empty() ? 0 : data[1] % (rest.size() + 1);
    bytes = Gzip(rest.substr(0, split)) + Gzip(rest.substr(split));
  } else {
    bytes = Gzip(rest);
  }
  const tsne_fuzz::MemoryFile file(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  try {
    tsneloss::InputSource source(file.path());
    if ((mode & 8) != 0) {
      tsneloss::ReadAffinities(source, tsneloss::EmbeddingShape{5, 2, "y"}, {1, 64, 16, {}});
    } else {
      tsneloss::ReadEmbedding(source, true, {1, 64, 16, {}});
    }
  } catch (const tsneloss::InputError&) {
  }
  return 0;
}
