// Lazy views of stored SOA records. Nothing here touches a Python object: the binding layer turns
// an engine Error into a Python exception with its display text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/records/builtins.hpp"
#include "engine/storage/mapping.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
#include "engine/types.hpp"

namespace molarium::storage {
class AtomDatabase;
struct SharedRecordBytes;
}

namespace molarium::records {

// ---------------------------------------------------------------------------------------------
// Record bytes and positions layout
// ---------------------------------------------------------------------------------------------

// How positions are laid out in one database's records; built afresh for every read call.
struct SoaContext {
  std::size_t positions_stride = storage::soa::kStrideF32;  // 12 or 24
  std::uint8_t positions_type_tag = 4;                       // 4 (float32) or 7 (float64)

  // Format 2: float32. Format 3: the schema lock's positions type. Invalid-data errors:
  // "Missing positions dtype for record format 3", "Unsupported positions type tag {}",
  // "Unsupported record format {}".
  static Result<SoaContext> from_database(const storage::AtomDatabase& database);
};

// The bytes of one record held by a view: owned (decompressed or copied), or a range of an
// uncompressed file mapping that the view keeps alive.
class SoaBytes {
 public:
  explicit SoaBytes(Bytes owned) : storage_(std::move(owned)) {}
  explicit SoaBytes(storage::SharedMmapBytes shared) : storage_(std::move(shared)) {}
  // A record as AtomDatabase::record(k) returns it.
  explicit SoaBytes(storage::SharedRecordBytes record);

  ByteView bytes() const;
  bool is_shared() const { return std::holds_alternative<storage::SharedMmapBytes>(storage_); }

 private:
  std::variant<Bytes, storage::SharedMmapBytes> storage_;
};

// ---------------------------------------------------------------------------------------------
// Record view
// ---------------------------------------------------------------------------------------------

// One built-in section of a record; offsets count from the start of the record. Absent: all zero.
struct SoaBuiltinSlot {
  bool present = false;
  std::size_t payload_offset = 0;
  std::size_t payload_length = 0;
  storage::TypeTag type_tag = storage::TypeTag::F64;
  bool operator==(const SoaBuiltinSlot&) const = default;
};

// One custom section of a record (any section that is not a known built-in key of kind 0).
struct SoaSectionSlot {
  std::size_t key_offset = 0;
  std::size_t payload_offset = 0;
  std::size_t payload_length = 0;
  storage::SectionKind kind = storage::SectionKind::Builtin;
  std::uint8_t key_length = 0;
  storage::TypeTag type_tag = storage::TypeTag::F64;
  bool operator==(const SoaSectionSlot&) const = default;
};

// A stored SOA record seen in place: the record is walked once on construction and only the
// location of each part is kept; getters decode on demand. Invariant: every recorded range lies
// inside bytes(). Immutable, movable to another thread (holds no Python object).
class SoaMoleculeView {
 public:
  SoaMoleculeView(SoaMoleculeView&&) noexcept = default;
  SoaMoleculeView& operator=(SoaMoleculeView&&) noexcept = default;
  SoaMoleculeView(const SoaMoleculeView&) = delete;
  SoaMoleculeView& operator=(const SoaMoleculeView&) = delete;

  // Indexes the record. REQUIRES for positions tags 4 and 7: the stride is 12 or 24 to match
  // (a mismatch is refused rather than read out of bounds). On failure the bytes are released.
  static Result<SoaMoleculeView> from_storage(SoaBytes bytes, std::size_t positions_stride,
                                              std::uint8_t positions_type_tag);
  // from_storage over owned bytes; an engine error becomes its display text.
  static Result<SoaMoleculeView> from_bytes(Bytes bytes, const SoaContext& context);
  static Result<SoaMoleculeView> from_bytes(SoaBytes bytes, const SoaContext& context);

  // --- Cheap accessors (no decoding) ---------------------------------------------------------
  ByteView bytes() const { return bytes_.bytes(); }
  bool is_shared() const { return bytes_.is_shared(); }
  std::size_t atom_count() const { return atom_count_; }
  std::uint8_t positions_type_tag() const { return positions_type_tag_; }
  std::size_t positions_offset() const { return positions_offset_; }
  std::size_t positions_byte_length() const { return positions_byte_length_; }
  std::size_t atomic_numbers_offset() const { return atomic_numbers_offset_; }
  ByteView positions_bytes() const { return bytes().subspan(positions_offset_, positions_byte_length_); }
  ByteView atomic_numbers_bytes() const { return bytes().subspan(atomic_numbers_offset_, atom_count_); }

  const SoaBuiltinSlot& builtin_slot(BuiltinField field) const {
    return builtins_[static_cast<std::size_t>(field)];
  }
  bool has_builtin(BuiltinField field) const { return builtin_slot(field).present; }
  // The payload of a present built-in, nothing when the record lacks it.
  std::optional<ByteView> builtin_field_payload(BuiltinField field) const;
  // REQUIRES: offset and length come from one of this view's slots.
  ByteView builtin_payload(std::size_t payload_offset, std::size_t payload_length) const {
    return bytes().subspan(payload_offset, payload_length);
  }
  ByteView builtin_payload(const SoaBuiltinSlot& slot) const {
    return builtin_payload(slot.payload_offset, slot.payload_length);
  }

  const std::vector<SoaSectionSlot>& custom_slots() const { return custom_slots_; }
  // REQUIRES: the slot is one of this view's custom slots.
  ByteView section_payload(const SoaSectionSlot& slot) const {
    return bytes().subspan(slot.payload_offset, slot.payload_length);
  }
  ByteView section_key_bytes(const SoaSectionSlot& slot) const {
    return bytes().subspan(slot.key_offset, slot.key_length);
  }

  // --- Decoding getters (ValueError messages) ------------------------------------------------
  // The slot's key, borrowed from the record (valid while the view lives);
  // "Invalid UTF-8 in section key".
  Result<std::string_view> lazy_section_key(const SoaSectionSlot& slot) const;
  // The first custom slot of this kind whose key equals key; keys of other kinds are not read.
  Result<std::optional<SoaSectionSlot>> find_custom_section(storage::SectionKind kind, std::string_view key) const;
  // A float32 energy is widened.
  Result<std::optional<double>> energy() const;
  Result<std::optional<std::array<bool, 3>>> pbc() const;
  // Nothing for an index not below the atom count; float64 positions are rounded to float32.
  Result<std::optional<atom::Atom>> atom_at(std::size_t index) const;
  // Same positions tag, same built-in slots (offset, length, tag) and the same custom sections
  // (kind, tag, payload length, key) in the same order.
  Result<bool> same_schema_as(const SoaMoleculeView& other) const;
  // Built-ins in schema order (energy, forces, charges, velocities, cell, stress, pbc, name),
  // then the custom sections in record order, each by database_schema_section.
  Result<storage::DatabaseSchema> database_schema() const;
  // The owned molecule this record encodes; a float32 energy stays float32.
  Result<atom::Molecule> materialize() const;

 private:
  explicit SoaMoleculeView(SoaBytes bytes) : bytes_(std::move(bytes)) {}

  SoaBytes bytes_;
  std::array<SoaBuiltinSlot, kBuiltinCount> builtins_{};
  std::vector<SoaSectionSlot> custom_slots_;
  std::size_t atom_count_ = 0;
  std::size_t positions_offset_ = storage::soa::kAtomCountSize;
  std::size_t positions_byte_length_ = 0;
  std::size_t atomic_numbers_offset_ = storage::soa::kAtomCountSize;
  std::uint8_t positions_type_tag_ = 4;
};

// Bytes of one element of tags 0 to 7 (8, 8, 0, 8, 12, 8, 4, 24); asked for positions tags.
// Nothing for a higher tag, so that no caller sizes a buffer from an undefined width.
std::optional<std::size_t> type_tag_elem_bytes(storage::TypeTag type_tag);

// The schema a record view reports for one section, by the per-section rule (ValueError
// messages): "Unsupported section type tag {} for '{}'" and the per-atom payload length errors.
Result<storage::DatabaseSchemaSection> database_schema_section(storage::SectionKind kind, std::string_view key,
                                                                    storage::TypeTag type_tag,
                                                                    std::size_t payload_length, std::size_t atom_count);

}  // namespace molarium::records
