// The schema lock: per file, how each section (kind, key) is typed and sized in every record;
// its derivation from molecules and records, its merge rules and its blob encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"

namespace molarium::storage {

// One section of a schema in exchange form (field order as stored by callers).
struct DatabaseSchemaSection {
  std::string key;
  std::uint64_t elem_bytes = 0;
  std::uint64_t slot_bytes = 0;
  bool per_atom = false;
  SectionKind kind = SectionKind::Builtin;
  TypeTag type_tag = TypeTag::F64;
  bool operator==(const DatabaseSchemaSection&) const = default;
};

// The form in which the Python side hands a schema to the engine with raw records, and in
// which the engine reports its lock.
struct DatabaseSchema {
  std::vector<DatabaseSchemaSection> sections;
  std::optional<std::uint8_t> positions_type;
  bool operator==(const DatabaseSchema&) const = default;
};

}  // namespace molarium::storage

namespace molarium::storage::schema {

// Schema blob layout (little-endian):
//   u32 version (1) | u8 positions type (4, 7, or 255 for none) | u32 entry count | entries
// Entry: u8 kind | u8 type tag | u8 per_atom | u16 key length | u32 elem_bytes | u32 slot_bytes | key
inline constexpr std::uint32_t kBlobVersion = 1;
inline constexpr std::size_t kBlobHeadSize = 9;
inline constexpr std::size_t kBlobEntryHeadSize = 13;
inline constexpr std::uint8_t kNoPositionsType = 255;

struct SchemaEntry {
  TypeTag type_tag = TypeTag::F64;
  bool per_atom = false;
  std::uint64_t elem_bytes = 0;
  std::uint64_t slot_bytes = 0;  // per atom or per molecule; 0 for variable-size sections
  bool operator==(const SchemaEntry&) const = default;
  // SchemaEntry { type_tag: 4, per_atom: true, elem_bytes: 12, slot_bytes: 12 }
  std::string debug() const;
};

// (section kind, key); std::string orders by unsigned bytes, a prefix first.
using SectionId = std::pair<SectionKind, std::string>;

// Only grows: an entry is never changed or removed, a positions type never changes once set.
struct SchemaLock {
  std::map<SectionId, SchemaEntry> entries;
  std::optional<std::uint8_t> positions_type;
  bool operator==(const SchemaLock&) const = default;
};

// Succeeds when an entry is one a writer can produce: the element size is the tag's, the scope
// follows the kind and key, and the slot size is one the tag allows (0 for text, null and tensors;
// at most one element per atom; one element for a molecule-level scalar; whole elements for a
// molecule-level array). The blob decoder takes entries as stored; a reader that sizes buffers
// from an entry checks it first, so damage cannot ask it for gigabytes.
Result<void> check_entry_fits_tag(SectionKind kind, std::string_view key, const SchemaEntry& entry);

// One entry from a section. payload is given for tensor tags (needed to parse the shape).
Result<SchemaEntry> schema_entry(SectionKind kind, std::string_view key, TypeTag type_tag,
                                 std::uint64_t payload_len, std::optional<ByteView> payload,
                                 std::uint64_t atom_count);

// schema_entry, then insert under (kind, key), replacing an entry with that pair.
Result<void> insert_schema_entry(SchemaLock& lock, SectionKind kind, std::string_view key, TypeTag type_tag,
                                 std::uint64_t payload_len, std::optional<ByteView> payload,
                                 std::uint64_t atom_count);

Result<SchemaLock> schema_from_molecule(const atom::Molecule& molecule);

// The lock of one stored record, parsed under the record format and the database's
// positions type.
Result<SchemaLock> record_schema(ByteView record, std::uint32_t record_format,
                                 std::optional<std::uint8_t> positions_type);

// The lock of one record whose positions take stride bytes per atom, with positions_type as the
// lock's positions type; record_format decides which tags the built-in sections may carry.
// Every length read from the record is bounds-checked. REQUIRES: stride matches positions_type.
Result<SchemaLock> parse_record_schema_with_layout(ByteView record, std::uint32_t record_format,
                                                   std::uint8_t positions_type, std::size_t stride);

// Grows target by incoming. On failure target keeps what was merged before the failing entry:
// merge into a working copy where that matters.
Result<void> merge_schema_lock(SchemaLock& target, const SchemaLock& incoming);

Result<void> validate_schema_lock_for_record_format(std::uint32_t record_format, const SchemaLock& lock);

Result<Bytes> encode_schema_lock(const SchemaLock& lock);
Result<SchemaLock> decode_schema_lock(ByteView blob);

// Entries in the lock's order with its positions type.
DatabaseSchema to_database_schema(const SchemaLock& lock);
// Keys each section by (kind, key), a later duplicate replacing an earlier one.
SchemaLock from_database_schema(const DatabaseSchema& schema);

}  // namespace molarium::storage::schema
