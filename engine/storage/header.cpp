// Header slots: encoding, validation against the file length, and the choice between the two.
#include "engine/storage/header.hpp"

#include <algorithm>
#include <limits>

#include "engine/storage/index.hpp"

namespace molarium::storage::header {
namespace {

constexpr std::uint32_t kAdlerModulus = 65521;
// Largest run of bytes whose sums cannot overflow 32 bits before the modulus is taken (zlib's NMAX).
constexpr std::size_t kAdlerBlock = 5552;

// A slot's schema rule: either no blob at all, or a non-empty blob within [data start, file end).
bool schema_extent_valid(const HeaderSlot& h, std::uint64_t file_length) {
  if (h.schema_offset == 0) return h.schema_length == 0;
  return h.schema_length != 0 && h.schema_offset >= h.data_start &&
         range_within(h.schema_offset, h.schema_length, file_length);
}

// A slot's index rule: either no index and no records, or an index of exactly count entries
// within [data start, file end).
bool index_extent_valid(const HeaderSlot& h, std::uint64_t file_length) {
  if (h.index_offset == 0 || h.index_length == 0) {
    return h.index_offset == 0 && h.index_length == 0 && h.record_count == 0;
  }
  std::uint64_t entries_length;
  std::uint64_t expected_length;
  if (!checked_mul(h.record_count, index::kEntrySize, entries_length) ||
      !checked_add(entries_length, index::kCountSize, expected_length)) {
    return false;
  }
  return h.index_length == expected_length && h.index_offset >= h.data_start &&
         range_within(h.index_offset, h.index_length, file_length);
}

Result<SlotBytes> read_slot(File& file, std::uint64_t slot_offset) {
  SlotBytes slot;
  MOLARIUM_TRY_VOID(file.seek(slot_offset));
  MOLARIUM_TRY_VOID(file.read_exact(slot.data(), slot.size()));
  return slot;
}

// Both slots as they are in the file, with the file length they are checked against.
struct SlotsRead {
  std::uint64_t file_length = 0;
  SlotBytes a;
  SlotBytes b;
};

Result<SlotsRead> read_slots(File& file) {
  MOLARIUM_ASSIGN_OR_RETURN(auto file_length, file.length());
  MOLARIUM_ASSIGN_OR_RETURN(auto slot_a, read_slot(file, kSlotAOffset));
  MOLARIUM_ASSIGN_OR_RETURN(auto slot_b, read_slot(file, kSlotBOffset));
  return SlotsRead{file_length, slot_a, slot_b};
}

}  // namespace

std::uint32_t adler32(ByteView bytes) {
  std::uint32_t a = 1;
  std::uint32_t b = 0;
  while (!bytes.empty()) {
    const std::size_t run = std::min(bytes.size(), kAdlerBlock);
    for (std::size_t i = 0; i < run; ++i) {
      a += bytes[i];
      b += a;
    }
    a %= kAdlerModulus;
    b %= kAdlerModulus;
    bytes = bytes.subspan(run);
  }
  return (b << 16) | a;
}

SlotBytes encode_header_slot(const HeaderSlot& header) {
  SlotBytes slot{};
  std::uint8_t* p = slot.data();
  std::copy(kMagic.begin(), kMagic.end(), p + kMagicOffset);
  store_le<std::uint32_t>(p + kVersionOffset, kVersion);
  store_le<std::uint64_t>(p + kGenerationOffset, header.generation);
  store_le<std::uint64_t>(p + kDataStartOffset, header.data_start);
  store_le<std::uint64_t>(p + kIndexOffsetOffset, header.index_offset);
  store_le<std::uint64_t>(p + kIndexLengthOffset, header.index_length);
  store_le<std::uint64_t>(p + kRecordCountOffset, header.record_count);
  store_le<std::uint8_t>(p + kCodecOffset, static_cast<std::uint8_t>(header.compression.codec));
  const bool zstd = header.compression.codec == compression::Codec::Zstd;
  store_le<std::int32_t>(p + kLevelOffset, zstd ? header.compression.level : 0);
  store_le<std::uint32_t>(p + kRecordFormatOffset, header.record_format);
  store_le<std::uint64_t>(p + kSchemaOffsetOffset, header.schema_offset);
  store_le<std::uint64_t>(p + kSchemaLengthOffset, header.schema_length);
  store_le<std::uint32_t>(p + kChecksumOffset, adler32(ByteView(p, kChecksumOffset)));
  return slot;
}

std::optional<HeaderSlot> decode_header_slot(ByteView slot, std::uint64_t file_length) {
  if (slot.size() != kSlotSize) return std::nullopt;
  const std::uint8_t* p = slot.data();
  if (!std::equal(kMagic.begin(), kMagic.end(), p + kMagicOffset)) return std::nullopt;
  if (load_le<std::uint32_t>(p + kVersionOffset) != kVersion) return std::nullopt;
  if (load_le<std::uint32_t>(p + kChecksumOffset) != adler32(slot.first(kChecksumOffset))) return std::nullopt;

  HeaderSlot h;
  switch (load_le<std::uint8_t>(p + kCodecOffset)) {
    case 0:
      h.compression = compression::CompressionType::none();
      break;
    case 1:
      h.compression = compression::CompressionType::lz4();
      break;
    case 2:
      h.compression = compression::CompressionType::zstd(load_le<std::int32_t>(p + kLevelOffset));
      break;
    default:
      return std::nullopt;
  }
  h.generation = load_le<std::uint64_t>(p + kGenerationOffset);
  h.data_start = load_le<std::uint64_t>(p + kDataStartOffset);
  h.index_offset = load_le<std::uint64_t>(p + kIndexOffsetOffset);
  h.index_length = load_le<std::uint64_t>(p + kIndexLengthOffset);
  h.record_count = load_le<std::uint64_t>(p + kRecordCountOffset);
  h.record_format = load_le<std::uint32_t>(p + kRecordFormatOffset);
  h.schema_offset = load_le<std::uint64_t>(p + kSchemaOffsetOffset);
  h.schema_length = load_le<std::uint64_t>(p + kSchemaLengthOffset);

  if (h.data_start < kDataStart || h.data_start > file_length) return std::nullopt;
  if (!schema_extent_valid(h, file_length)) return std::nullopt;
  if (!index_extent_valid(h, file_length)) return std::nullopt;
  return h;
}

Result<std::optional<SlotPastEnd>> find_slot_past_end(File& file) {
  MOLARIUM_ASSIGN_OR_RETURN(auto slots, read_slots(file));
  const bool a_valid = decode_header_slot(slots.a, slots.file_length).has_value();
  const bool b_valid = decode_header_slot(slots.b, slots.file_length).has_value();
  if (a_valid == b_valid) return std::nullopt;
  const SlotBytes& invalid = a_valid ? slots.b : slots.a;
  // Valid against the longest file there can be: every extent fits, only this file is too short.
  const auto grown = decode_header_slot(invalid, std::numeric_limits<std::uint64_t>::max());
  if (!grown) return std::nullopt;
  return SlotPastEnd{a_valid ? kSlotBOffset : kSlotAOffset, a_valid ? slots.a : slots.b};
}

Result<HeaderSlot> read_best_header(File& file) {
  MOLARIUM_ASSIGN_OR_RETURN(auto slots, read_slots(file));
  const std::optional<HeaderSlot> a = decode_header_slot(slots.a, slots.file_length);
  const std::optional<HeaderSlot> b = decode_header_slot(slots.b, slots.file_length);
  if (a && b) return b->generation > a->generation ? *b : *a;  // slot A on a tie
  if (a) return *a;
  if (b) return *b;
  return invalid_data("Invalid or corrupted header (no valid header slots)");
}

Result<std::uint64_t> committed_end(const HeaderSlot& header) {
  std::uint64_t end = header.data_start;
  if (header.index_offset != 0 && header.index_length != 0 &&
      !checked_add(header.index_offset, header.index_length, end)) {
    return invalid_data("Index end overflow");
  }
  // A schema blob past the index is found only in a damaged file; the commit still names it, and
  // cutting the tail back to the index would cut the blob away and the commit with it. A decoded
  // slot's blob ends inside the file, so its end cannot overflow.
  std::uint64_t schema_end;
  if (header.schema_offset != 0 && header.schema_length != 0 &&
      checked_add(header.schema_offset, header.schema_length, schema_end)) {
    end = std::max(end, schema_end);
  }
  return end;
}

}  // namespace molarium::storage::header
