#include "formats/text_blocks.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace tsneloss::formats {

unsigned ParallelReading::ThreadCount() const { return support::ThreadCount(threads); }

TextBlocks::TextBlocks(InputSource& source, std::size_t block_bytes) : source_(source), block_bytes_(block_bytes) {
  const auto offset = source.MappableOffset();
  const auto size = source.stored_size();
  if (!offset || !size || *offset >= *size) return;
  auto map = std::make_unique<MappedFile>(source.descriptor(), *size);
  if (!map->mapped()) return;  // read it instead
  map_ = std::move(map);
  map_at_ = *offset;
}

TextBlocks::~TextBlocks() {
  // The read aheads use the source and the mapping: they end before those may go.
  ahead_ = {};
  mapped_ahead_ = {};
}

void TextBlocks::ThrowIfShrunk() const {
  if (map_) map_->ThrowIfShrunk(source_.name());
}

bool TextBlocks::NextMapped(std::string_view& block) {
  // The block handed out last was read from a file still whole, or the reader learns
  // now that zeros stood for what was cut off.
  mapped_ahead_.Wait();
  ThrowIfShrunk();
  const char* const map = map_->data();
  const std::uint64_t map_size = map_->size();
  // Pages wholly behind the blocks handed out are not needed again: they leave
  // this process's memory (the page cache keeps them).
  static const std::uint64_t page = static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
  const std::uint64_t done = map_at_ / page * page;
  if (done > released_) {
    map_->Release(released_, done - released_);
    released_ = done;
  }
  if (map_at_ >= map_size) return false;
  std::uint64_t end = std::min<std::uint64_t>(map_at_ + block_bytes_, map_size);
  if (end < map_size) {
    if (const void* last = memrchr(map + map_at_, '\n', end - map_at_)) {
      end = static_cast<std::uint64_t>(static_cast<const char*>(last) - map) + 1;
    } else {
      // One line longer than a block: on to its end.
      const void* next = std::memchr(map + end, '\n', map_size - end);
      end = next != nullptr ? static_cast<std::uint64_t>(static_cast<const char*>(next) - map) + 1 : map_size;
    }
  }
  block = std::string_view(map + map_at_, end - map_at_);
  map_at_ = end;
  // The next block's pages are mapped meanwhile, so parsing does not stop for them;
  // a small rest is not worth a thread.
  constexpr std::uint64_t kSmallestReadAhead = std::uint64_t{1} << 20;
  if (map_size - map_at_ >= kSmallestReadAhead) {
    const std::uint64_t from = map_at_ / page * page;
    const std::uint64_t to = std::min<std::uint64_t>(map_at_ + block_bytes_ + page, map_size);
    const MappedFile* const mapped = map_.get();
    mapped_ahead_ = support::Background([mapped, from, to] { mapped->Populate(from, to - from); });
  }
  return true;
}

TextBlocks::Filled TextBlocks::Fill(int k, const char* carried, std::size_t carried_bytes) {
  // The buffer grows as bytes come, so a small file never costs a whole block.
  constexpr std::size_t kFirstBufferBytes = std::size_t{64} << 10;
  std::string& buffer = buffers_[k];
  if (buffer.size() < carried_bytes) buffer.resize(carried_bytes);
  if (carried_bytes > 0) std::memcpy(buffer.data(), carried, carried_bytes);
  Filled fill;
  fill.filled = carried_bytes;
  for (;;) {
    const std::size_t target = fill.filled + block_bytes_;
    while (!fill.ended && fill.filled < target) {
      if (buffer.size() == fill.filled) {
        buffer.resize(std::min(target, std::max(2 * buffer.size(), fill.filled + kFirstBufferBytes)));
      }
      const std::size_t room = std::min(target, buffer.size()) - fill.filled;
      const std::size_t got = source_.Read(buffer.data() + fill.filled, room);
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
  if (map_) return NextMapped(block);
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
    ahead_ = support::Background(
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
  support::ParallelInOrder(
      pieces.size(), {reading.ThreadCount(), reading.start},
      [&](std::size_t k) { parse(k, pieces[k]); }, take);
  return pieces.size();
}

}  // namespace tsneloss::formats
