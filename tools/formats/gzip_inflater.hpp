// One zlib inflate stream for gzip data, ended once by its owner. Every result of
// zlib is checked: a failure is an InputError naming the file, with zlib's reason.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <memory>
#include <string>

namespace tsneloss::formats {

class GzipInflater {
 public:
  // Starts a stream that takes a gzip wrapper (several members one after another are
  // read by Reset between them). Throws InputError naming `name`.
  explicit GzipInflater(const std::string& name);
  ~GzipInflater();
  GzipInflater(const GzipInflater&) = delete;
  GzipInflater& operator=(const GzipInflater&) = delete;

  // A copy of the stream in its present state, to peek ahead with.
  std::unique_ptr<GzipInflater> Copy() const;
  // Ready for the next member.
  void Reset();

  enum class Step { kMore, kMemberEnd };
  // Inflates from [*in, *in + in_size) into [out, out + out_size); `in_used` and
  // `out_made` say how far it got. Throws InputError on corrupt data (a wrong
  // CRC-32 or length of a member included).
  Step Inflate(const char* in, std::size_t in_size, std::size_t& in_used, char* out, std::size_t out_size,
               std::size_t& out_made);

 private:
  GzipInflater(const std::string& name, bool);
  [[noreturn]] void Fail(const std::string& what, int status) const;

  std::string name_;
  z_stream stream_{};
  bool started_ = false;
};

}  // namespace tsneloss::formats
