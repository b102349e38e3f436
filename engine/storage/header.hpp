// Header slots: the two alternating 4096-byte commit records at the start of a database file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "engine/bytes.hpp"
#include "engine/compression.hpp"
#include "engine/error.hpp"
#include "engine/storage/file.hpp"

namespace molarium::storage::header {

inline constexpr std::size_t kSlotSize = 4096;
inline constexpr std::uint64_t kSlotAOffset = 0;
inline constexpr std::uint64_t kSlotBOffset = 4096;
inline constexpr std::uint64_t kDataStart = 8192;  // first record

inline constexpr std::array<std::uint8_t, 4> kMagic = {'M', 'O', 'L', 'R'};
inline constexpr std::uint32_t kVersion = 2;

// Slot layout (little-endian).
inline constexpr std::size_t kMagicOffset = 0;           // 4 bytes "MOLR"
inline constexpr std::size_t kVersionOffset = 4;         // u32, 2
inline constexpr std::size_t kGenerationOffset = 8;      // u64, commit counter
inline constexpr std::size_t kDataStartOffset = 16;      // u64, always 8192
inline constexpr std::size_t kIndexOffsetOffset = 24;    // u64, 0 when there is no index
inline constexpr std::size_t kIndexLengthOffset = 32;    // u64
inline constexpr std::size_t kRecordCountOffset = 40;    // u64
inline constexpr std::size_t kCodecOffset = 48;          // u8, 0 none, 1 LZ4, 2 zstd
inline constexpr std::size_t kLevelOffset = 52;          // i32, zstd level, else 0
inline constexpr std::size_t kRecordFormatOffset = 56;   // u32, 2 or 3
inline constexpr std::size_t kSchemaOffsetOffset = 60;   // u64, unaligned, 0 when no blob
inline constexpr std::size_t kSchemaLengthOffset = 68;   // u64
inline constexpr std::size_t kChecksumOffset = 4092;     // u32, Adler-32 of bytes [0, 4092)

// The decoded form of one slot; magic, version and checksum exist only in the bytes.
struct HeaderSlot {
  compression::CompressionType compression;
  std::uint64_t generation = 0;
  std::uint64_t data_start = kDataStart;
  std::uint64_t record_count = 0;
  std::uint64_t schema_offset = 0;
  std::uint64_t schema_length = 0;
  std::uint64_t index_offset = 0;
  std::uint64_t index_length = 0;
  std::uint32_t record_format = 2;
  bool operator==(const HeaderSlot&) const = default;
};

using SlotBytes = std::array<std::uint8_t, kSlotSize>;

// Adler-32 (RFC 1950).
std::uint32_t adler32(ByteView bytes);

SlotBytes encode_header_slot(const HeaderSlot& header);

// Nothing when the slot is not valid against a file of file_length bytes.
std::optional<HeaderSlot> decode_header_slot(ByteView slot, std::uint64_t file_length);

// Reads both slots and returns the one that holds the commit (invariant 1 of the commit protocol,
// database_commit.cpp). Moves the file offset.
Result<HeaderSlot> read_best_header(File& file);

// A slot that fails decode_header_slot only because it names bytes past the end of the file: it
// would be valid again in a file grown to cover them. With it, the bytes of the other slot.
struct SlotPastEnd {
  std::uint64_t offset = 0;  // kSlotAOffset or kSlotBOffset
  SlotBytes other;
};

// The slot past the end of the file when the other slot is valid (see SlotPastEnd); nothing when
// both slots are valid, or when neither is. Moves the file offset.
Result<std::optional<SlotPastEnd>> find_slot_past_end(File& file);

// Where a commit ends, which is where the next record goes: the end of whichever of its index and
// schema blob ends last, or its data start when it names neither. A commit writes its schema blob
// before its index, so only in a damaged file does the blob end it.
Result<std::uint64_t> committed_end(const HeaderSlot& header);

}  // namespace molarium::storage::header
