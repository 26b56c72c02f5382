// Text files read in large blocks of whole lines, and blocks split into pieces that
// threads parse side by side. Readers number lines themselves: a piece reports how
// many lines it holds, so places stay exact however the text was split. A plain file
// is mapped (see mapped_file.hpp); one cut short meanwhile is refused by name.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "formats/input_source.hpp"
#include "formats/mapped_file.hpp"
#include "support/parallel.hpp"

namespace tsneloss::formats {

// How a text file is read: the threads that parse and the bytes read at a time.
struct ParallelReading {
  unsigned threads = 0;  // 0: one per processor
  std::size_t block_bytes = std::size_t{16} << 20;
  // Pieces are not split smaller than this, so small files stay on one thread.
  std::size_t smallest_piece_bytes = std::size_t{256} << 10;
  support::ThreadStarter start;  // empty: std::thread

  unsigned ThreadCount() const;
};

class TextBlocks {
 public:
  // Reads `source` from where it stands, `block_bytes` at a time. An uncompressed
  // regular file is mapped into memory rather than copied out of it.
  TextBlocks(InputSource& source, std::size_t block_bytes);
  ~TextBlocks();
  TextBlocks(const TextBlocks&) = delete;
  TextBlocks& operator=(const TextBlocks&) = delete;

  // The next block: whole lines, each with its '\n', except that the file's last
  // line may lack it. False at the end of the file. The block stays valid until the
  // next call; the one after it is read meanwhile, on a thread of its own.
  // Throws InputError naming the file when it shrank while it was read, before
  // handing out a block and at the end.
  bool Next(std::string_view& block);
  // Throws that InputError now if so: a reader calls it before reporting a fault of
  // the text, which may come from zeros standing for bytes cut off.
  void ThrowIfShrunk() const;

 private:
  struct Filled {
    std::size_t whole = 0;   // bytes of whole lines
    std::size_t filled = 0;  // bytes read, an unfinished line included
    bool ended = false;
  };
  // Fills buffers_[k]: `carried` bytes of an unfinished line first, then the file.
  Filled Fill(int k, const char* carried, std::size_t carried_bytes);
  bool NextMapped(std::string_view& block);

  InputSource& source_;
  std::size_t block_bytes_;
  std::string buffers_[2];
  int current_ = 1;
  bool started_ = false;
  support::Background ahead_;
  Filled ahead_fill_;
  // The mapped file: blocks are views of it, pages behind them given back as it goes.
  std::unique_ptr<MappedFile> map_;
  std::uint64_t map_at_ = 0;
  std::uint64_t released_ = 0;
  support::Background mapped_ahead_;
};

// Lines one by one from a text of whole lines; the rest can be taken in bulk.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) {}
  // The next line without its '\n', false at the end.
  bool Next(std::string_view& line);
  // The text after the lines taken; empty after the last, with or without its '\n'.
  std::string_view rest() const { return text_.substr(std::min(at_, text_.size())); }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// Splits `text` at line ends into at most `reading.ThreadCount()` pieces and calls
// parse(k, piece) for each, on threads of its own, then take(k) for each in the
// order of the pieces, one at a time, as soon as piece k is parsed and take(k - 1)
// has returned (see support::ParallelInOrder). Returns the number of pieces once all
// is done. The exception of the lowest piece is rethrown; after one, no later piece
// is taken.
std::size_t ParseInPieces(std::string_view text, const ParallelReading& reading,
                          const std::function<void(std::size_t, std::string_view)>& parse,
                          const std::function<void(std::size_t)>& take);

}  // namespace tsneloss::formats
