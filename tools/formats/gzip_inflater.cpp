#include "formats/gzip_inflater.hpp"

#include <algorithm>
#include <cassert>

#include "core/input_error.hpp"

namespace tsneloss::formats {

GzipInflater::GzipInflater(const std::string& name, bool) : name_(name) {}

GzipInflater::GzipInflater(const std::string& name) : name_(name) {
  // 16 + MAX_WBITS: a gzip wrapper, not raw deflate or zlib.
  const int status = inflateInit2(&stream_, 16 + MAX_WBITS);
  if (status != Z_OK) Fail("cannot start decompressing", status);
  started_ = true;
}

GzipInflater::~GzipInflater() {
  if (!started_) return;
  // Fails only for a stream zlib does not know, which an owner cannot make.
  [[maybe_unused]] const int status = inflateEnd(&stream_);
  assert(status == Z_OK);
}

void GzipInflater::Fail(const std::string& what, int status) const {
  const char* reason = stream_.msg != nullptr ? stream_.msg : zError(status);
  throw core::InputError(name_, what + " (" + reason + ")");
}

std::unique_ptr<GzipInflater> GzipInflater::Copy() const {
  std::unique_ptr<GzipInflater> copy(new GzipInflater(name_, false));
  const int status = inflateCopy(&copy->stream_, const_cast<z_stream*>(&stream_));
  if (status != Z_OK) Fail("cannot decompress", status);
  copy->started_ = true;
  return copy;
}

void GzipInflater::Reset() {
  const int status = inflateReset(&stream_);
  if (status != Z_OK) Fail("the gzip data is corrupt", status);
}

GzipInflater::Step GzipInflater::Inflate(const char* in, std::size_t in_size, std::size_t& in_used, char* out,
                                         std::size_t out_size, std::size_t& out_made) {
  // zlib counts in uInt: larger spans are taken a part at a time.
  constexpr std::size_t kLargest = std::size_t{1} << 30;
  stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
  stream_.avail_in = static_cast<uInt>(std::min(in_size, kLargest));
  stream_.next_out = reinterpret_cast<Bytef*>(out);
  stream_.avail_out = static_cast<uInt>(std::min(out_size, kLargest));
  const uInt in_given = stream_.avail_in;
  const uInt out_given = stream_.avail_out;
  const int status = inflate(&stream_, Z_NO_FLUSH);
  in_used = in_given - stream_.avail_in;
  out_made = out_given - stream_.avail_out;
  if (status == Z_STREAM_END) return Step::kMemberEnd;
  // Z_BUF_ERROR: no progress was possible with what was given; more input follows.
  if (status == Z_OK || status == Z_BUF_ERROR) return Step::kMore;
  Fail("the gzip data is corrupt", status);
}

}  // namespace tsneloss::formats
