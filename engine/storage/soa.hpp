// The SOA record: atom count, positions, atomic numbers and keyed, typed sections; its writer
// and the rules of record formats 2 and 3.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"

namespace molarium::storage::soa {

// Record layout (all little-endian):
//   u32 n_atoms | n_atoms * stride positions | n_atoms * u8 atomic numbers | u16 n_sections | sections
// Section layout:
//   u8 kind | u8 key_len | key | u8 type_tag | u32 payload_len | payload
inline constexpr std::size_t kAtomCountSize = 4;
inline constexpr std::size_t kSectionCountSize = 2;
inline constexpr std::size_t kMinRecordSize = kAtomCountSize + kSectionCountSize;  // 6
inline constexpr std::size_t kSectionHeaderSize = 7;  // kind, key_len, type_tag, payload_len
inline constexpr std::size_t kMaxKeyLength = 255;
inline constexpr std::size_t kMaxSections = 65535;
inline constexpr std::uint64_t kMaxPayloadLength = 0xFFFFFFFFull;
inline constexpr std::size_t kStrideF32 = 12;
inline constexpr std::size_t kStrideF64 = 24;

// Record formats: 2 stores float32 positions and fixed built-in widths; 3 allows either width.
inline constexpr std::uint32_t kRecordFormatV2 = 2;
inline constexpr std::uint32_t kRecordFormatV3 = 3;

// One present built-in field of a molecule, pointing into that molecule.
using BuiltinValue = std::variant<const types::FloatArrayData*, const types::Mat3Data*,
                                  const types::FloatScalarData*, const types::Vec3Data*, const std::string*,
                                  const std::array<bool, 3>*>;
struct PresentBuiltin {
  std::string_view key;
  BuiltinValue value;

  // The tag the field is written with (its width decides between the float32 and float64 tag).
  TypeTag type_tag() const;
  // For per-atom fields, the length of the field's own list times the element size.
  std::uint64_t payload_length() const;
  // Appends the field's values as stored; pbc as three bytes 1 or 0.
  void append_payload(Bytes& out) const;
};

// The present built-ins of a molecule in record order (records::kBuiltins). Valid while the
// molecule is neither changed nor destroyed.
class BuiltinFields {
 public:
  explicit BuiltinFields(const atom::Molecule& molecule);
  const PresentBuiltin* begin() const { return fields_.data(); }
  const PresentBuiltin* end() const { return fields_.data() + count_; }
  std::size_t size() const { return count_; }

 private:
  std::array<PresentBuiltin, 8> fields_{};
  std::size_t count_ = 0;
};

// The SOA record of a molecule, in one exactly sized allocation. Refuses a molecule whose
// atomic numbers and positions differ in count, whose counts do not fit the u32/u16 fields, or
// whose record would be 2^32 bytes or longer (the index stores its length as u32).
Result<Bytes> serialize_molecule_soa(const atom::Molecule& molecule, std::uint32_t record_format);

Result<void> validate_record_format_compat(const atom::Molecule& molecule, std::uint32_t record_format);

// 2 when the molecule fits format 2, else 3.
std::uint32_t minimum_record_format_for_molecule(const atom::Molecule& molecule);

// The positions type tag (4 or 7 for valid inputs) of this database's records.
Result<std::uint8_t> resolve_positions_type(std::uint32_t record_format, std::optional<std::uint8_t> positions_type);

// 12 for tag 4, 24 for tag 7, nothing otherwise.
inline std::optional<std::size_t> positions_stride(std::uint8_t positions_type) {
  if (positions_type == 4) return kStrideF32;
  if (positions_type == 7) return kStrideF64;
  return std::nullopt;
}

}  // namespace molarium::storage::soa
