#include "text_blocks.hpp"

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

namespace tsneloss {

unsigned ParallelReading::ThreadCount() const {
  if (threads != 0) return threads;
  return std::max(1u, std::thread::hardware_concurrency());
}

bool TextBlocks::Next(std::string_view& block) {
  if (ended_ && carried_ == 0) return false;
  // The unfinished line from last time moves to the front.
  if (carried_ > 0) std::memmove(buffer_.data(), buffer_.data() + filled_ - carried_, carried_);
  std::size_t filled = carried_;
  carried_ = 0;
  for (;;) {
    if (buffer_.size() < filled + block_bytes_) buffer_.resize(filled + block_bytes_);
    std::size_t target = filled + block_bytes_;
    while (!ended_ && filled < target) {
      const std::size_t got = source_.Read(buffer_.data() + filled, target - filled);
      if (got == 0) ended_ = true;
      filled += got;
    }
    if (ended_) break;
    const void* last_newline = memrchr(buffer_.data(), '\n', filled);
    if (last_newline != nullptr) {
      const std::size_t whole = static_cast<const char*>(last_newline) - buffer_.data() + 1;
      carried_ = filled - whole;
      filled_ = filled;
      block = std::string_view(buffer_.data(), whole);
      return true;
    }
    // One line longer than a block: read on until it ends.
  }
  filled_ = filled;
  block = std::string_view(buffer_.data(), filled);
  return filled > 0;
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
                          const std::function<void(std::size_t, std::string_view)>& parse) {
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
  if (pieces.size() <= 1) {
    if (!pieces.empty()) parse(0, pieces[0]);
    return pieces.size();
  }
  std::vector<std::exception_ptr> failures(pieces.size());
  {
    std::vector<std::jthread> workers;
    for (std::size_t k = 1; k < pieces.size(); ++k) {
      workers.emplace_back([&, k] {
        try {
          parse(k, pieces[k]);
        } catch (...) {
          failures[k] = std::current_exception();
        }
      });
    }
    try {
      parse(0, pieces[0]);
    } catch (...) {
      failures[0] = std::current_exception();
    }
  }
  for (const auto& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
  return pieces.size();
}

}  // namespace tsneloss
