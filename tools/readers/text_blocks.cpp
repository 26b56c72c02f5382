#include "text_blocks.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

namespace tsneloss {

unsigned ParallelReading::ThreadCount() const {
  if (threads != 0) return threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

TextBlocks::~TextBlocks() {
  // The read ahead uses the source: it ends before the source may go.
  if (ahead_.valid()) ahead_.wait();
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
  Filled fill;
  if (!started_) {
    started_ = true;
    fill = Fill(0, nullptr, 0);
  } else if (ahead_.valid()) {
    fill = ahead_.get();
  } else {
    return false;
  }
  current_ ^= 1;
  if (fill.filled == 0) return false;
  const char* data = buffers_[current_].data();
  block = std::string_view(data, fill.whole);
  if (!fill.ended) {
    const int other = current_ ^ 1;
    ahead_ = std::async(std::launch::async, [this, other, data, fill] {
      return Fill(other, data + fill.whole, fill.filled - fill.whole);
    });
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

std::uint64_t CountLines(std::string_view text) {
  std::uint64_t lines = static_cast<std::uint64_t>(std::count(text.begin(), text.end(), '\n'));
  if (!text.empty() && text.back() != '\n') ++lines;
  return lines;
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
  // Pieces are taken in turn: `turn` is the piece whose take may run.
  std::atomic<std::size_t> turn{0};
  std::atomic<bool> failed{false};
  std::vector<std::exception_ptr> faults(pieces.size());
  const auto run = [&](std::size_t k) {
    try {
      parse(k, pieces[k]);
    } catch (...) {
      faults[k] = std::current_exception();
    }
    for (std::size_t now = turn.load(std::memory_order_acquire); now != k; now = turn.load(std::memory_order_acquire)) {
      turn.wait(now, std::memory_order_acquire);
    }
    try {
      if (faults[k] || failed.load(std::memory_order_relaxed)) {
        failed.store(true, std::memory_order_relaxed);
      } else {
        take(k);
      }
    } catch (...) {
      faults[k] = std::current_exception();
      failed.store(true, std::memory_order_relaxed);
    }
    turn.store(k + 1, std::memory_order_release);
    turn.notify_all();
  };
  {
    std::vector<std::jthread> workers;
    for (std::size_t k = 1; k < pieces.size(); ++k) workers.emplace_back(run, k);
    if (!pieces.empty()) run(0);
  }
  for (const auto& fault : faults) {
    if (fault) std::rethrow_exception(fault);
  }
  return pieces.size();
}

}  // namespace tsneloss
