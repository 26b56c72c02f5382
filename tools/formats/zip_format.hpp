// The zip format's record signatures and fixed sizes, shared by the reader and the
// writer of archives.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsneloss::formats::zip {

inline constexpr std::uint32_t kEndOfDirectory = 0x06054b50;
inline constexpr std::uint32_t kZip64EndOfDirectory = 0x06064b50;
inline constexpr std::uint32_t kZip64Locator = 0x07064b50;
inline constexpr std::uint32_t kDirectoryEntry = 0x02014b50;
inline constexpr std::uint32_t kLocalHeader = 0x04034b50;
// The extra field that holds a record's 64-bit sizes and offset.
inline constexpr std::uint16_t kZip64Extra = 0x0001;
// A 32-bit size or offset at this value stands for one in the zip64 extra field.
inline constexpr std::uint64_t kSaturated32 = 0xFFFFFFFF;
// The fixed part of the zip64 end record, after its signature and its own size.
inline constexpr std::uint64_t kZip64EndRecordRest = 44;

}  // namespace tsneloss::formats::zip
