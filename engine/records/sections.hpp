// The record walker and section writer: the one place that reads and writes a record's head
// (atom count, positions, atomic numbers, section count) and its keyed, typed sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string_view>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"

namespace molarium::records {

// ---------------------------------------------------------------------------------------------
// Reading

// What stops a record's head from being read. Callers word each fault themselves: the record
// view, the fast parser and the schema parser each have their own specified texts.
enum class HeadFault : std::uint8_t {
  AtomCountTruncated,       // fewer than 4 bytes
  PositionsLengthOverflow,  // atom count times stride overflows
  PositionsOffsetOverflow,  // 4 plus the positions' length overflows
  PositionsTruncated,
  AtomicNumbersTruncated,
  SectionCountTruncated,
};

// The head of a record, borrowed from its bytes.
struct RecordHead {
  std::uint64_t atom_count = 0;
  ByteView positions;
  ByteView atomic_numbers;
  std::size_t section_count = 0;
  std::size_t sections_offset = 0;  // where the first section starts
};

// Reads the head of a record whose positions take `positions_stride` bytes per atom. Trailing
// bytes after the last section are never looked at.
inline std::expected<RecordHead, HeadFault> read_record_head(ByteView record, std::size_t positions_stride) {
  const std::uint64_t length = record.size();
  if (length < storage::soa::kAtomCountSize) return std::unexpected(HeadFault::AtomCountTruncated);
  const std::uint64_t atom_count = load_le<std::uint32_t>(record.data());
  std::uint64_t positions_length = 0;
  if (!checked_mul(atom_count, positions_stride, positions_length)) {
    return std::unexpected(HeadFault::PositionsLengthOverflow);
  }
  std::uint64_t positions_end = 0;
  if (!checked_add(storage::soa::kAtomCountSize, positions_length, positions_end)) {
    return std::unexpected(HeadFault::PositionsOffsetOverflow);
  }
  if (positions_end > length) return std::unexpected(HeadFault::PositionsTruncated);
  // From here every offset stays within the record, so differences replace sums.
  if (length - positions_end < atom_count) return std::unexpected(HeadFault::AtomicNumbersTruncated);
  const std::uint64_t numbers_end = positions_end + atom_count;
  if (length - numbers_end < storage::soa::kSectionCountSize) return std::unexpected(HeadFault::SectionCountTruncated);
  return RecordHead{atom_count, record.subspan(storage::soa::kAtomCountSize, positions_length),
                    record.subspan(positions_end, atom_count), load_le<std::uint16_t>(record.data() + numbers_end),
                    numbers_end + storage::soa::kSectionCountSize};
}

// One section as stored, borrowed from the record. Kind and tag are the stored bytes: a reader
// carries unknown values along and decides itself what they mean. The key is not checked for
// UTF-8 here (the record view decodes keys only when asked).
struct Section {
  storage::SectionKind kind = storage::SectionKind::Builtin;
  storage::TypeTag type_tag = storage::TypeTag::F64;
  ByteView key;
  ByteView payload;
};

// The field of a section at which the record ends.
enum class SectionFault : std::uint8_t {
  KindTruncated,
  KeyLengthTruncated,
  KeyTruncated,
  TypeTagTruncated,
  PayloadLengthTruncated,
  PayloadTruncated,
};

struct SectionError {
  SectionFault fault;
  std::size_t section_offset;  // where the damaged section starts
  ByteView key;                // the whole key, when the record ends after it (else empty)

  // True when the key was read whole and is not UTF-8: readers that check keys report that first.
  bool key_read() const { return fault >= SectionFault::TypeTagTruncated; }
};

// Reads the section at `cursor` and moves the cursor past it. On failure the cursor is unchanged.
// REQUIRES: cursor <= record.size().
inline std::expected<Section, SectionError> read_section(ByteView record, std::size_t& cursor) {
  const std::size_t start = cursor;
  const std::size_t length = record.size();
  const auto fail = [&](SectionFault fault, ByteView key = {}) {
    return std::unexpected(SectionError{fault, start, key});
  };
  if (length - start < 1) return fail(SectionFault::KindTruncated);
  if (length - start < 2) return fail(SectionFault::KeyLengthTruncated);
  const std::size_t key_length = record[start + 1];
  const std::size_t key_start = start + 2;
  if (length - key_start < key_length) return fail(SectionFault::KeyTruncated);
  const ByteView key = record.subspan(key_start, key_length);
  const std::size_t key_end = key_start + key_length;
  if (length - key_end < 1) return fail(SectionFault::TypeTagTruncated, key);
  if (length - key_end < 5) return fail(SectionFault::PayloadLengthTruncated, key);
  const std::uint64_t payload_length = load_le<std::uint32_t>(record.data() + key_end + 1);
  const std::size_t payload_start = key_end + 5;
  if (length - payload_start < payload_length) return fail(SectionFault::PayloadTruncated, key);
  cursor = payload_start + payload_length;
  return Section{static_cast<storage::SectionKind>(record[start]), static_cast<storage::TypeTag>(record[key_end]), key,
                 record.subspan(payload_start, payload_length)};
}

// ---------------------------------------------------------------------------------------------
// Writing

// Bytes one section takes: its 7 header bytes, its key and its payload.
inline std::uint64_t section_length(std::string_view key, std::uint64_t payload_length) {
  return storage::soa::kSectionHeaderSize + key.size() + payload_length;
}

// What write_section refuses, checked alone so a writer can refuse a record before writing
// anything: "Section key '{}' is too long" (over 255 bytes), "Section '{}' payload is too large"
// (2^32 bytes or more).
Result<void> check_section_fits(std::string_view key, std::uint64_t payload_length);

// Appends one section's header; the payload follows. REQUIRES: check_section_fits succeeded.
void append_section_header(Bytes& record, storage::SectionKind kind, std::string_view key, storage::TypeTag type_tag,
                           std::uint64_t payload_length);

// Appends one section; nothing is appended when check_section_fits refuses it.
Result<void> write_section(Bytes& record, storage::SectionKind kind, std::string_view key, storage::TypeTag type_tag,
                           ByteView payload);

}  // namespace molarium::records
