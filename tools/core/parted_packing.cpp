#include "core/parted_packing.hpp"

#include <algorithm>

namespace tsneloss::core {

unsigned PartCount(std::uint64_t entries, std::uint64_t n, unsigned threads) {
  if (entries < kPartedFrom) return 1;
  return static_cast<unsigned>(std::clamp<std::uint64_t>(entries / std::max<std::uint64_t>(n, 1), 1, threads));
}

bool ColumnAfterColumn(const std::vector<PartSurvey>& parts) {
  bool seen = false;
  std::uint64_t last = 0;
  for (const PartSurvey& part : parts) {
    if (!part.column_order) return false;
    if (part.entries == 0) continue;
    if (seen && part.first_column < last) return false;
    last = part.last_column;
    seen = true;
  }
  return true;
}

bool RowAfterRow(const std::vector<PartSurvey>& parts) {
  bool seen = false;
  std::uint64_t last_row = 0;
  std::uint64_t last_column = 0;
  for (const PartSurvey& part : parts) {
    if (!part.row_major) return false;
    if (part.entries == 0) continue;
    if (seen && (part.first_row < last_row || (part.first_row == last_row && part.first_column <= last_column))) {
      return false;
    }
    last_row = part.last_row;
    last_column = part.last_column;
    seen = true;
  }
  return true;
}

std::vector<std::uint64_t> ColumnEnds(const ColumnCounts& parts, std::uint64_t n) {
  std::vector<std::uint64_t> ends(n);
  std::uint64_t end = 0;
  for (std::uint64_t j = 0; j < n; ++j) {
    for (const std::vector<std::uint32_t>& part : parts) end += part[j];
    ends[j] = end;
  }
  return ends;
}

PartedRuns::PartedRuns(ColumnCounts parts, std::uint64_t n) : parts_(std::move(parts)) {
  std::uint64_t total = 0;
  for (const std::vector<std::uint32_t>& part : parts_) {
    for (const std::uint32_t count : part) total += count;
  }
  run_bits_ = FirstRunBits(total);
  const std::uint64_t runs = total == 0 ? 0 : ((total - 1) >> run_bits_) + 1;
  // Each part's entries in each run, from the places its columns give it.
  heads_.assign(parts_.size(), std::vector<std::uint64_t>(runs, 0));
  std::uint64_t place = 0;
  for (std::uint64_t j = 0; j < n; ++j) {
    for (std::size_t p = 0; p < parts_.size(); ++p) {
      std::uint32_t& column = parts_[p][j];
      std::uint64_t left = column;
      column = static_cast<std::uint32_t>(place);
      while (left > 0) {
        const std::uint64_t run = place >> run_bits_;
        const std::uint64_t taken = std::min(left, ((run + 1) << run_bits_) - place);
        heads_[p][run] += taken;
        place += taken;
        left -= taken;
      }
    }
  }
  // Within each run, the parts' slots in part order.
  for (std::uint64_t run = 0; run < runs; ++run) {
    std::uint64_t slot = run << run_bits_;
    for (auto& part_heads : heads_) {
      const std::uint64_t count = part_heads[run];
      part_heads[run] = slot;
      slot += count;
    }
  }
}

}  // namespace tsneloss::core
