// Lazy views of stored SOA records, the stateless section decoders and the fast record parser.
// Nothing here touches a Python object: the binding layer turns a ValueResult's message into
// ValueError and an engine Error into ValueError with its display text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/mapping.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
#include "engine/types.hpp"

namespace molarium::storage {
class AtomDatabase;
}

namespace molarium_rs {

// A failure whose message the binding layer raises as ValueError, without any prefix.
template <class T>
using ValueResult = std::expected<T, std::string>;

inline std::unexpected<std::string> value_error(std::string message) {
  return std::unexpected(std::move(message));
}

// The N bytes of a chunk as a fixed array; fails with "{label} truncated" unless the chunk is
// exactly N bytes long.
template <std::size_t N>
ValueResult<std::array<std::uint8_t, N>> py_slice_to_array(molarium::ByteView bytes, std::string_view label) {
  static_assert(N == 4 || N == 8, "chunks are 4 or 8 bytes wide");
  if (bytes.size() != N) return value_error(molarium::cat(label, " truncated"));
  std::array<std::uint8_t, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = bytes[i];
  return out;
}

}  // namespace molarium_rs

namespace molarium_rs::soa {

using molarium::ByteView;
using molarium::Bytes;
template <class T>
using Result = molarium::Result<T>;

// ---------------------------------------------------------------------------------------------
// Record bytes and positions layout
// ---------------------------------------------------------------------------------------------

// How positions are laid out in one database's records; built afresh for every read call.
struct SoaContext {
  std::size_t positions_stride = molarium::storage::soa::kStrideF32;  // 12 or 24
  std::uint8_t positions_type_tag = 4;                                // 4 (float32) or 7 (float64)

  // Format 2: float32. Format 3: the schema lock's positions type. Invalid-data errors:
  // "Missing positions dtype for record format 3", "Unsupported positions type tag {}",
  // "Unsupported record format {}".
  static Result<SoaContext> from_database(const molarium::storage::AtomDatabase& database);
};

// The bytes of one record held by a view: owned (decompressed or copied), or a range of an
// uncompressed file mapping that the view keeps alive.
class SoaBytes {
 public:
  explicit SoaBytes(Bytes owned) : storage_(std::move(owned)) {}
  explicit SoaBytes(molarium::storage::SharedMmapBytes shared) : storage_(std::move(shared)) {}

  ByteView bytes() const;
  bool is_shared() const { return std::holds_alternative<molarium::storage::SharedMmapBytes>(storage_); }

 private:
  std::variant<Bytes, molarium::storage::SharedMmapBytes> storage_;
};

// ---------------------------------------------------------------------------------------------
// Record view
// ---------------------------------------------------------------------------------------------

// The eight built-in fields a view locates, in slot order.
enum class BuiltinField : std::size_t { Forces, Energy, Cell, Stress, Charges, Velocities, Pbc, Name };
inline constexpr std::size_t kBuiltinFieldCount = 8;

// The section key of a built-in field ("forces", "energy", ...).
std::string_view builtin_key(BuiltinField field);
// The built-in field whose key is exactly these bytes, if any.
std::optional<BuiltinField> builtin_field_for_key(std::string_view key);

// One built-in section of a record; offsets count from the start of the record. Absent: all zero.
struct SoaBuiltinSlot {
  bool present = false;
  std::size_t payload_offset = 0;
  std::size_t payload_length = 0;
  std::uint8_t type_tag = 0;
  bool operator==(const SoaBuiltinSlot&) const = default;
};

// One custom section of a record (any section that is not a known built-in key of kind 0).
struct SoaSectionSlot {
  std::size_t key_offset = 0;
  std::size_t payload_offset = 0;
  std::size_t payload_length = 0;
  std::uint8_t kind = 0;
  std::uint8_t key_length = 0;
  std::uint8_t type_tag = 0;
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
  static ValueResult<SoaMoleculeView> from_bytes(Bytes bytes, const SoaContext& context);

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
  ValueResult<std::string_view> lazy_section_key(const SoaSectionSlot& slot) const;
  // The first custom slot of this kind whose key equals key; keys of other kinds are not read.
  ValueResult<std::optional<SoaSectionSlot>> find_custom_section(std::uint8_t kind, std::string_view key) const;
  // A float32 energy is widened.
  ValueResult<std::optional<double>> energy() const;
  ValueResult<std::optional<std::array<bool, 3>>> pbc() const;
  // Nothing for an index not below the atom count; float64 positions are rounded to float32.
  ValueResult<std::optional<molarium::atom::Atom>> atom_at(std::size_t index) const;
  // Same positions tag, same built-in slots (offset, length, tag) and the same custom sections
  // (kind, tag, payload length, key) in the same order.
  ValueResult<bool> same_schema_as(const SoaMoleculeView& other) const;
  // Built-ins (energy, forces, charges, velocities, cell, stress, pbc, name), then the custom
  // sections in record order, each by database_schema_section.
  ValueResult<molarium::storage::DatabaseSchema> database_schema() const;
  // The owned molecule this record encodes; a float32 energy stays float32.
  ValueResult<molarium::atom::Molecule> materialize() const;

 private:
  explicit SoaMoleculeView(SoaBytes bytes) : bytes_(std::move(bytes)) {}

  SoaBytes bytes_;
  std::array<SoaBuiltinSlot, kBuiltinFieldCount> builtins_{};
  std::vector<SoaSectionSlot> custom_slots_;
  std::size_t atom_count_ = 0;
  std::size_t positions_offset_ = molarium::storage::soa::kAtomCountSize;
  std::size_t positions_byte_length_ = 0;
  std::size_t atomic_numbers_offset_ = molarium::storage::soa::kAtomCountSize;
  std::uint8_t positions_type_tag_ = 4;
};

// Bytes of one element of tags 0 to 7 (8, 8, 0, 8, 12, 8, 4, 24); asked for positions tags.
// Nothing for a higher tag, so that no caller sizes a buffer from an undefined width.
std::optional<std::size_t> type_tag_elem_bytes(std::uint8_t type_tag);

// ---------------------------------------------------------------------------------------------
// Fast record parser (flat retrieval)
// ---------------------------------------------------------------------------------------------

// One section as the fast parser sees it; borrowed from the record bytes.
struct SoaSectionRef {
  std::string_view key;  // valid UTF-8
  ByteView payload;
  std::uint8_t kind = 0;      // as stored, not interpreted
  std::uint8_t type_tag = 0;  // as stored, not interpreted
};

// The parser's result; borrows the record bytes and must not outlive them.
struct SoaFastRecord {
  std::vector<SoaSectionRef> sections;  // every section in record order, built-ins included
  ByteView positions;
  ByteView atomic_numbers;
  std::size_t atom_count = 0;
};

// One pass over a record, copying nothing. Every key is checked for UTF-8. Invalid-data
// messages: "{label} truncated", "{label} offset overflow", "SOA positions byte length overflow",
// "Invalid UTF-8 in SOA section key". Trailing bytes are ignored.
Result<SoaFastRecord> parse_mol_fast_soa(ByteView record, std::size_t positions_stride);

// The layout of one section for flat retrieval.
struct SectionSchema {
  std::string key;
  std::size_t elem_bytes = 0;
  std::size_t slot_bytes = 0;
  bool per_atom = false;
  std::uint8_t kind = 0;
  std::uint8_t type_tag = 0;
  bool operator==(const SectionSchema&) const = default;
};

// True for a section with one slot per atom: atom-scope sections and the per-atom built-ins
// (forces, charges, velocities).
bool is_per_atom(std::uint8_t kind, std::string_view key);

// The flat layout of a section of a record with atom_count atoms, with its payload checked
// against it (invalid-data errors).
Result<SectionSchema> section_schema_from_ref(const SoaSectionRef& section, std::size_t atom_count);

// The schema a record view reports for one section (ValueError messages).
ValueResult<molarium::storage::DatabaseSchemaSection> database_schema_section(std::uint8_t kind, std::string_view key,
                                                                               std::uint8_t type_tag,
                                                                               std::size_t payload_length,
                                                                               std::size_t atom_count);

// ---------------------------------------------------------------------------------------------
// Section decoders
// ---------------------------------------------------------------------------------------------

// The tensor payload header reader is the engine's: shape and values offset, invalid-data errors.
using molarium::storage::dtypes::tensor_shape_from_payload;
using molarium::storage::dtypes::TensorPayloadLayout;

// A custom property's value from its tag and payload (a copy).
ValueResult<molarium::types::PropertyValue> decode_property_value(std::uint8_t type_tag, ByteView payload);
// Tag 4 float32 or 7 float64 triples; as many rows as the payload holds.
ValueResult<molarium::types::Vec3Data> py_decode_vec3_data(ByteView payload, std::uint8_t type_tag,
                                                           std::string_view field_name);
// Tag 10 float64 or 12 float32, nine values row by row.
ValueResult<molarium::types::Mat3Data> py_decode_mat3_data(ByteView payload, std::uint8_t type_tag,
                                                           std::string_view field_name);

}  // namespace molarium_rs::soa
