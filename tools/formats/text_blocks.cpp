#include "formats/text_blocks.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tsneloss {

unsigned ParallelReading::ThreadCount() const { return threads::ThreadCount(threads); }

TextBlocks::TextBlocks(InputSource& source, std::size_t block_bytes) : source_(source), block_bytes_(block_bytes) {
  const auto offset = source.MappableOffset();
  const auto size = source.stored_size();
  if (!offset || !size || *offset >= *size) return;
  void* map = ::mmap(nullptr, *size, PROT_READ, MAP_PRIVATE, source.descriptor(), 0);
  if (map == MAP_FAILED) return;  // read it instead
  ::madvise(map, *size, MADV_SEQUENTIAL);
  map_ = static_cast<const char*>(map);
  map_size_ = *size;
  map_at_ = *offset;
}

TextBlocks::~TextBlocks() {
  // The read ahead uses the source: it ends before the source may go.
  ahead_ = {};
  mapped_ahead_ = {};
  if (map_ != nullptr) ::munmap(const_cast<char*>(map_), map_size_);
}

bool TextBlocks::NextMapped(std::string_view& block) {
  // Pages wholly behind the blocks handed out are not needed again: they leave
  // this process's memory (the page cache keeps them).
  static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t done = map_at_ / page * page;
  if (done > released_) {
    ::madvise(const_cast<char*>(map_) + released_, done - released_, MADV_DONTNEED);
    released_ = done;
  }
  if (map_at_ >= map_size_) return false;
  std::uint64_t end = std::min<std::uint64_t>(map_at_ + block_bytes_, map_size_);
  if (end < map_size_) {
    if (const void* last = memrchr(map_ + map_at_, '\n', end - map_at_)) {
      end = static_cast<std::uint64_t>(static_cast<const char*>(last) - map_) + 1;
    } else {
      // One line longer than a block: on to its end.
      const void* next = std::memchr(map_ + end, '\n', map_size_ - end);
      end = next != nullptr ? static_cast<std::uint64_t>(static_cast<const char*>(next) - map_) + 1 : map_size_;
    }
  }
  block = std::string_view(map_ + map_at_, end - map_at_);
  map_at_ = end;
#ifdef MADV_POPULATE_READ
  // The next block's pages are mapped meanwhile, so parsing does not stop for them.
  mapped_ahead_.Wait();
  const std::uint64_t ahead_from = map_at_ / page * page;
  const std::uint64_t ahead_to = std::min<std::uint64_t>(map_at_ + block_bytes_ + page, map_size_);
  if (ahead_from < ahead_to) {
    char* const start = const_cast<char*>(map_) + ahead_from;
    const std::uint64_t length = ahead_to - ahead_from;
    mapped_ahead_ = threads::Background([start, length] { ::madvise(start, length, MADV_POPULATE_READ); });
  }
#endif
  return true;
}

TextBlocks::Filled TextBlocks::Fill(int k, const char* carried, std::size_t carried_bytes) {
  std::string& buffer = buffers_[k];
  if (buffer.size() < carried_bytes + block_bytes_) buffer.resize(carried_bytes + block_bytes_);
  if (carried_bytes > 0) std::memcpy(buffer.data(), carried, carried_bytes);
  Filled fill;
  fill.filled = carried_bytes;
  for (;;) {
    const std::size_t target = fill.filled + block_bytes_;
    if (buffer.size() < target) buffer.resize(target);
    while (!fill.ended && fill.filled < target) {
      const std::size_t got = source_.Read(buffer.data() + fill.filled, target - fill.filled);
      if (got == 0) fill.ended = true;
      fill.filled += got;
    }
    if (fill.ended) {
      fill.whole = fill.filled;
      return fill;
    }
    if (const void* last_newline = memrchr(buffer.data(), '\n', fill.filled)) {
      fill.whole = static_cast<std::size_t>(static_cast<const char*>(last_newline) - buffer.data()) + 1;
      return fill;
    }
    // One line longer than a block: read on until it ends.
  }
}

bool TextBlocks::Next(std::string_view& block) {
  if (map_ != nullptr) return NextMapped(block);
  Filled fill;
  if (!started_) {
    started_ = true;
    fill = Fill(0, nullptr, 0);
  } else if (ahead_.running()) {
    ahead_.Wait();
    fill = ahead_fill_;
  } else {
    return false;
  }
  current_ ^= 1;
  if (fill.filled == 0) return false;
  const char* data = buffers_[current_].data();
  block = std::string_view(data, fill.whole);
  if (!fill.ended) {
    const int other = current_ ^ 1;
    ahead_ = threads::Background(
        [this, other, data, fill] { ahead_fill_ = Fill(other, data + fill.whole, fill.filled - fill.whole); });
  }
  return true;
}

bool LineCursor::Next(std::string_view& line) {
  if (at_ >= text_.size()) return false;
  const std::size_t end = std::min(text_.find('\n', at_), text_.size());
  line = text_.substr(at_, end - at_);
  at_ = end + 1;
  return true;
}

std::size_t ParseInPieces(std::string_view text, const ParallelReading& reading,
                          const std::function<void(std::size_t, std::string_view)>& parse,
                          const std::function<void(std::size_t)>& take) {
  const std::size_t wanted = std::max<std::size_t>(
      1, std::min<std::size_t>(reading.ThreadCount(), text.size() / std::max<std::size_t>(1, reading.smallest_piece_bytes)));
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (std::size_t k = 1; k <= wanted && start < text.size(); ++k) {
    std::size_t end = k == wanted ? text.size() : text.size() * k / wanted;
    if (end < start) end = start;
    if (end < text.size()) {
      const std::size_t newline = text.find('\n', end == 0 ? 0 : end - 1);
      end = newline == std::string_view::npos ? text.size() : newline + 1;
    }
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end;
  }
  threads::ParallelInOrder(
      pieces.size(), {reading.ThreadCount(), reading.start},
      [&](std::size_t k) { parse(k, pieces[k]); }, take);
  return pieces.size();
}

}  // namespace tsneloss
