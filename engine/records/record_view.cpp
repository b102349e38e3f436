// Record views of stored SOA records and the stateless section decoders and fast parser.
#include "engine/records/record_view.hpp"

#include <algorithm>
#include <span>

#include "engine/storage/database.hpp"
#include "engine/storage/soa.hpp"
#include "engine/utf8.hpp"

namespace molarium_rs::soa {

namespace {

using molarium::as_text;
using molarium::cat;
using molarium::checked_add;
using molarium::checked_mul;
using molarium::invalid_data;
using molarium::is_valid_utf8;
using molarium::load_le;
using molarium::atom::Molecule;
using molarium::storage::DatabaseSchema;
using molarium::storage::DatabaseSchemaSection;
using molarium::storage::TypeTag;
using molarium::storage::tag_byte;
using namespace molarium::types;
namespace engine_soa = molarium::storage::soa;
namespace dtypes = molarium::storage::dtypes;

// Bytes of the section tail after the key: u8 type tag, u32 payload length.
constexpr std::uint64_t kTagAndLengthSize = 5;
// Bytes of the section head before the key: u8 kind, u8 key length.
constexpr std::uint64_t kKindAndKeyLengthSize = 2;
constexpr std::uint8_t kBuiltinKind = 0;
constexpr std::uint8_t kAtomKind = 1;
constexpr std::uint8_t kMoleculeKind = 2;
constexpr std::size_t kPbcPayloadLength = 3;

constexpr std::array<std::string_view, kBuiltinFieldCount> kBuiltinKeys = {
    engine_soa::builtin::kForces, engine_soa::builtin::kEnergy,     engine_soa::builtin::kCell, engine_soa::builtin::kStress,
    engine_soa::builtin::kCharges, engine_soa::builtin::kVelocities, engine_soa::builtin::kPbc,  engine_soa::builtin::kName,
};

// The order in which same_schema_as compares and database_schema reports the built-ins.
constexpr std::array<BuiltinField, kBuiltinFieldCount> kSchemaOrder = {
    BuiltinField::Energy, BuiltinField::Forces, BuiltinField::Charges, BuiltinField::Velocities,
    BuiltinField::Cell,   BuiltinField::Stress, BuiltinField::Pbc,     BuiltinField::Name,
};

unsigned tag_number(std::uint8_t tag) { return tag; }

// --- Little-endian value decoding. REQUIRES: the payload's length is a multiple of the width. --

template <class T>
std::vector<T> load_le_values(ByteView payload) {
  std::vector<T> values(payload.size() / sizeof(T));
  for (std::size_t i = 0; i < values.size(); ++i) values[i] = load_le<T>(payload.data() + i * sizeof(T));
  return values;
}

template <class T>
std::vector<std::array<T, 3>> load_le_triples(ByteView payload) {
  constexpr std::size_t kTriple = 3 * sizeof(T);
  std::vector<std::array<T, 3>> triples(payload.size() / kTriple);
  for (std::size_t i = 0; i < triples.size(); ++i) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
      triples[i][axis] = load_le<T>(payload.data() + i * kTriple + axis * sizeof(T));
    }
  }
  return triples;
}

// An array property: copied element by element through the fixed-width chunk reader.
template <class T>
ValueResult<std::vector<T>> decode_array(ByteView payload, std::string_view length_message,
                                         std::string_view chunk_label) {
  if (payload.size() % sizeof(T) != 0) return value_error(std::string(length_message));
  std::vector<T> values;
  values.reserve(payload.size() / sizeof(T));
  for (std::size_t at = 0; at < payload.size(); at += sizeof(T)) {
    auto chunk = py_slice_to_array<sizeof(T)>(payload.subspan(at, sizeof(T)), chunk_label);
    if (!chunk) return std::unexpected(std::move(chunk).error());
    values.push_back(load_le<T>(chunk->data()));
  }
  return values;
}

template <class T>
ValueResult<std::vector<std::array<T, 3>>> decode_triples(ByteView payload, std::string_view length_message) {
  if (payload.size() % (3 * sizeof(T)) != 0) return value_error(std::string(length_message));
  return load_le_triples<T>(payload);
}

template <class T>
ValueResult<std::array<T, 9>> decode_matrix(ByteView payload, std::string_view length_message) {
  if (payload.size() != 9 * sizeof(T)) return value_error(std::string(length_message));
  std::array<T, 9> matrix;
  for (std::size_t i = 0; i < 9; ++i) matrix[i] = load_le<T>(payload.data() + i * sizeof(T));
  return matrix;
}

std::unexpected<std::string> unsupported_field_tag(std::string_view field_name, std::uint8_t tag) {
  return value_error(cat("Unsupported ", field_name, " type tag ", tag_number(tag)));
}

// An energy payload in its stored width.
ValueResult<FloatScalarData> decode_energy(ByteView payload, std::uint8_t tag) {
  if (tag == tag_byte(TypeTag::F64)) {
    if (payload.size() != sizeof(double)) return value_error("Invalid f64 payload length");
    return FloatScalarData(std::in_place_type<double>, load_le<double>(payload.data()));
  }
  if (tag == tag_byte(TypeTag::F32)) {
    if (payload.size() != sizeof(float)) return value_error("Invalid f32 payload length");
    return FloatScalarData(std::in_place_type<float>, load_le<float>(payload.data()));
  }
  return unsupported_field_tag(engine_soa::builtin::kEnergy, tag);
}

// Three flags; readers take any nonzero byte as true. The tag is not looked at.
ValueResult<std::array<bool, 3>> decode_pbc(ByteView payload) {
  if (payload.size() != kPbcPayloadLength) return value_error("Invalid pbc payload length");
  return std::array<bool, 3>{payload[0] != 0, payload[1] != 0, payload[2] != 0};
}

ValueResult<FloatArrayData> decode_float_array(ByteView payload, std::uint8_t tag, std::string_view field_name) {
  if (tag == tag_byte(TypeTag::F64Array)) {
    auto values = decode_array<double>(payload, "Invalid f64 array payload length", "f64 array chunk");
    if (!values) return std::unexpected(std::move(values).error());
    return FloatArrayData(std::move(*values));
  }
  if (tag == tag_byte(TypeTag::F32Array)) {
    auto values = decode_array<float>(payload, "Invalid f32 array payload length", "f32 array chunk");
    if (!values) return std::unexpected(std::move(values).error());
    return FloatArrayData(std::move(*values));
  }
  return unsupported_field_tag(field_name, tag);
}

template <class T>
TensorData tensor_from_values(std::vector<std::uint64_t> shape, ByteView values) {
  return TensorData(std::in_place_type<Tensor<T>>, Tensor<T>{std::move(shape), load_le_values<T>(values)});
}

// Wraps a decoded value (or its error) as a PropertyValue of the given alternative.
template <std::size_t Index, class V>
ValueResult<PropertyValue> as_property(ValueResult<V> decoded) {
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return PropertyValue(std::in_place_index<Index>, std::move(*decoded));
}

}  // namespace

bool is_per_atom(std::uint8_t kind, std::string_view key) {
  if (kind == kAtomKind) return true;
  if (kind != kBuiltinKind) return false;
  return key == engine_soa::builtin::kForces || key == engine_soa::builtin::kCharges || key == engine_soa::builtin::kVelocities;
}

// ---------------------------------------------------------------------------------------------
// Context and bytes
// ---------------------------------------------------------------------------------------------

Result<SoaContext> SoaContext::from_database(const molarium::storage::AtomDatabase& database) {
  const std::uint32_t format = database.record_format();
  if (format == engine_soa::kRecordFormatV2) return SoaContext{engine_soa::kStrideF32, tag_byte(TypeTag::Vec3F32)};
  if (format != engine_soa::kRecordFormatV3) return invalid_data(cat("Unsupported record format ", format));
  const auto& lock = database.schema_lock();
  if (!lock || !lock->positions_type) return invalid_data("Missing positions dtype for record format 3");
  const std::uint8_t tag = *lock->positions_type;
  const auto stride = engine_soa::positions_stride(tag);
  if (!stride) return invalid_data(cat("Unsupported positions type tag ", tag_number(tag)));
  return SoaContext{*stride, tag};
}

ByteView SoaBytes::bytes() const {
  if (const auto* owned = std::get_if<Bytes>(&storage_)) return ByteView(*owned);
  const auto& shared = std::get<molarium::storage::SharedMmapBytes>(storage_);
  if (!shared.mapping) return {};
  return shared.as_slice();
}

// ---------------------------------------------------------------------------------------------
// Record view
// ---------------------------------------------------------------------------------------------

std::string_view builtin_key(BuiltinField field) { return kBuiltinKeys[static_cast<std::size_t>(field)]; }

std::optional<BuiltinField> builtin_field_for_key(std::string_view key) {
  for (std::size_t i = 0; i < kBuiltinFieldCount; ++i) {
    if (kBuiltinKeys[i] == key) return static_cast<BuiltinField>(i);
  }
  return std::nullopt;
}

std::optional<std::size_t> type_tag_elem_bytes(std::uint8_t type_tag) {
  if (type_tag > tag_byte(TypeTag::Vec3F64)) return std::nullopt;
  return dtypes::element_bytes(type_tag);
}

Result<SoaMoleculeView> SoaMoleculeView::from_storage(SoaBytes bytes, std::size_t positions_stride,
                                                      std::uint8_t positions_type_tag) {
  // Getters read positions by the tag's width; a stride that disagrees would send them past the
  // positions block.
  if (const auto tag_stride = engine_soa::positions_stride(positions_type_tag);
      tag_stride && *tag_stride != positions_stride) {
    return invalid_data(cat("SOA positions stride ", positions_stride, " does not match positions type tag ",
                            tag_number(positions_type_tag)));
  }

  SoaMoleculeView view(std::move(bytes));
  view.positions_type_tag_ = positions_type_tag;
  const ByteView data = view.bytes();
  const std::uint64_t length = data.size();
  if (length < engine_soa::kMinRecordSize) return invalid_data("SOA record too small");

  const std::uint64_t atom_count = load_le<std::uint32_t>(data.data());
  std::uint64_t positions_length = 0;
  std::uint64_t positions_end = 0;
  if (!checked_mul(atom_count, positions_stride, positions_length) ||
      !checked_add(engine_soa::kAtomCountSize, positions_length, positions_end)) {
    return invalid_data("SOA positions overflow");
  }
  if (positions_end > length) return invalid_data("SOA record truncated at positions");
  std::uint64_t numbers_end = 0;
  if (!checked_add(positions_end, atom_count, numbers_end)) return invalid_data("SOA atomic_numbers overflow");
  std::uint64_t count_end = 0;
  if (!checked_add(numbers_end, engine_soa::kSectionCountSize, count_end) || count_end > length) {
    return invalid_data("SOA record truncated at atomic_numbers");
  }

  view.atom_count_ = atom_count;
  view.positions_byte_length_ = positions_length;
  view.atomic_numbers_offset_ = positions_end;

  const std::size_t section_count = load_le<std::uint16_t>(data.data() + numbers_end);
  std::uint64_t cursor = count_end;
  for (std::size_t s = 0; s < section_count; ++s) {
    std::uint64_t key_start = 0;
    if (!checked_add(cursor, kKindAndKeyLengthSize, key_start) || key_start > length) {
      return invalid_data("SOA section header truncated");
    }
    const std::uint8_t kind = data[cursor];
    const std::uint8_t key_length = data[cursor + 1];
    std::uint64_t key_end = 0;
    if (!checked_add(key_start, key_length, key_end) || key_end > length) {
      return invalid_data("SOA section key truncated");
    }
    std::uint64_t payload_start = 0;
    if (!checked_add(key_end, kTagAndLengthSize, payload_start) || payload_start > length) {
      return invalid_data("SOA section header truncated");
    }
    const std::uint8_t tag = data[key_end];
    const std::uint64_t payload_length = load_le<std::uint32_t>(data.data() + key_end + 1);
    std::uint64_t payload_end = 0;
    if (!checked_add(payload_start, payload_length, payload_end)) return invalid_data("SOA section payload overflow");
    if (payload_end > length) return invalid_data("SOA section payload truncated");

    const auto field = kind == kBuiltinKind
                           ? builtin_field_for_key(as_text(data.subspan(key_start, key_length)))
                           : std::nullopt;
    if (field) {
      // A repeated built-in key keeps the later section.
      view.builtins_[static_cast<std::size_t>(*field)] = SoaBuiltinSlot{true, payload_start, payload_length, tag};
    } else {
      view.custom_slots_.push_back(SoaSectionSlot{key_start, payload_start, payload_length, kind, key_length, tag});
    }
    cursor = payload_end;
  }
  return view;
}

ValueResult<SoaMoleculeView> SoaMoleculeView::from_bytes(Bytes bytes, const SoaContext& context) {
  auto view = from_storage(SoaBytes(std::move(bytes)), context.positions_stride, context.positions_type_tag);
  if (!view) return value_error(view.error().display());
  return std::move(*view);
}

std::optional<ByteView> SoaMoleculeView::builtin_field_payload(BuiltinField field) const {
  const SoaBuiltinSlot& slot = builtin_slot(field);
  if (!slot.present) return std::nullopt;
  return builtin_payload(slot);
}

ValueResult<std::string_view> SoaMoleculeView::lazy_section_key(const SoaSectionSlot& slot) const {
  const ByteView key = section_key_bytes(slot);
  if (!is_valid_utf8(key)) return value_error("Invalid UTF-8 in section key");
  return as_text(key);
}

ValueResult<std::optional<SoaSectionSlot>> SoaMoleculeView::find_custom_section(std::uint8_t kind,
                                                                                std::string_view key) const {
  for (const SoaSectionSlot& slot : custom_slots_) {
    if (slot.kind != kind) continue;
    auto slot_key = lazy_section_key(slot);
    if (!slot_key) return std::unexpected(std::move(slot_key).error());
    if (*slot_key == key) return std::optional<SoaSectionSlot>(slot);
  }
  return std::optional<SoaSectionSlot>();
}

ValueResult<std::optional<double>> SoaMoleculeView::energy() const {
  const SoaBuiltinSlot& slot = builtin_slot(BuiltinField::Energy);
  if (!slot.present) return std::optional<double>();
  auto value = decode_energy(builtin_payload(slot), slot.type_tag);
  if (!value) return std::unexpected(std::move(value).error());
  return std::optional<double>(std::visit([](auto v) { return static_cast<double>(v); }, *value));
}

ValueResult<std::optional<std::array<bool, 3>>> SoaMoleculeView::pbc() const {
  const SoaBuiltinSlot& slot = builtin_slot(BuiltinField::Pbc);
  if (!slot.present) return std::optional<std::array<bool, 3>>();
  auto flags = decode_pbc(builtin_payload(slot));
  if (!flags) return std::unexpected(std::move(flags).error());
  return std::optional<std::array<bool, 3>>(*flags);
}

ValueResult<std::optional<molarium::atom::Atom>> SoaMoleculeView::atom_at(std::size_t index) const {
  if (index >= atom_count_) return std::optional<molarium::atom::Atom>();
  const ByteView data = bytes();
  const std::uint8_t atomic_number = data[atomic_numbers_offset_ + index];
  const std::uint8_t* xyz = data.data() + positions_offset_;
  if (positions_type_tag_ == tag_byte(TypeTag::Vec3F32)) {
    xyz += index * engine_soa::kStrideF32;
    return molarium::atom::Atom{load_le<float>(xyz), load_le<float>(xyz + 4), load_le<float>(xyz + 8), atomic_number};
  }
  if (positions_type_tag_ == tag_byte(TypeTag::Vec3F64)) {
    xyz += index * engine_soa::kStrideF64;
    return molarium::atom::Atom{static_cast<float>(load_le<double>(xyz)), static_cast<float>(load_le<double>(xyz + 8)),
                                static_cast<float>(load_le<double>(xyz + 16)), atomic_number};
  }
  return value_error(cat("Unsupported positions type tag ", tag_number(positions_type_tag_)));
}

ValueResult<bool> SoaMoleculeView::same_schema_as(const SoaMoleculeView& other) const {
  if (positions_type_tag_ != other.positions_type_tag_) return false;
  for (BuiltinField field : kSchemaOrder) {
    if (builtin_slot(field) != other.builtin_slot(field)) return false;
  }
  if (custom_slots_.size() != other.custom_slots_.size()) return false;
  for (std::size_t i = 0; i < custom_slots_.size(); ++i) {
    const SoaSectionSlot& mine = custom_slots_[i];
    const SoaSectionSlot& theirs = other.custom_slots_[i];
    if (mine.kind != theirs.kind || mine.type_tag != theirs.type_tag || mine.payload_length != theirs.payload_length) {
      return false;
    }
    auto my_key = lazy_section_key(mine);
    if (!my_key) return std::unexpected(std::move(my_key).error());
    auto their_key = other.lazy_section_key(theirs);
    if (!their_key) return std::unexpected(std::move(their_key).error());
    if (*my_key != *their_key) return false;
  }
  return true;
}

ValueResult<DatabaseSchema> SoaMoleculeView::database_schema() const {
  DatabaseSchema schema;
  schema.positions_type = positions_type_tag_;
  for (BuiltinField field : kSchemaOrder) {
    const SoaBuiltinSlot& slot = builtin_slot(field);
    if (!slot.present) continue;
    auto section = database_schema_section(kBuiltinKind, builtin_key(field), slot.type_tag, slot.payload_length,
                                           atom_count_);
    if (!section) return std::unexpected(std::move(section).error());
    schema.sections.push_back(std::move(*section));
  }
  for (const SoaSectionSlot& slot : custom_slots_) {
    auto key = lazy_section_key(slot);
    if (!key) return std::unexpected(std::move(key).error());
    auto section = database_schema_section(slot.kind, *key, slot.type_tag, slot.payload_length, atom_count_);
    if (!section) return std::unexpected(std::move(section).error());
    schema.sections.push_back(std::move(*section));
  }
  return schema;
}

ValueResult<Molecule> SoaMoleculeView::materialize() const {
  const ByteView numbers = atomic_numbers_bytes();
  std::vector<std::uint8_t> atomic_numbers(numbers.begin(), numbers.end());

  auto built = [&]() -> ValueResult<Molecule> {
    if (positions_type_tag_ == tag_byte(TypeTag::Vec3F32)) {
      return Molecule::create(load_le_triples<float>(positions_bytes()), std::move(atomic_numbers));
    }
    if (positions_type_tag_ == tag_byte(TypeTag::Vec3F64)) {
      return Molecule::create_f64(load_le_triples<double>(positions_bytes()), std::move(atomic_numbers));
    }
    return value_error(cat("Unsupported positions type tag ", tag_number(positions_type_tag_)));
  }();
  if (!built) return std::unexpected(std::move(built).error());
  Molecule molecule = std::move(*built);

  // Each present built-in is decoded into its field; the first failure ends materialisation.
  auto decode_into = [this](BuiltinField field, auto& target, auto decode) -> ValueResult<void> {
    const SoaBuiltinSlot& slot = builtin_slot(field);
    if (!slot.present) return {};
    auto value = decode(builtin_payload(slot), slot.type_tag);
    if (!value) return std::unexpected(std::move(value).error());
    target = std::move(*value);
    return {};
  };
  auto vec3 = [](std::string_view name) {
    return [name](ByteView payload, std::uint8_t tag) { return py_decode_vec3_data(payload, tag, name); };
  };
  auto mat3 = [](std::string_view name) {
    return [name](ByteView payload, std::uint8_t tag) { return py_decode_mat3_data(payload, tag, name); };
  };
  auto name_text = [](ByteView payload, std::uint8_t) -> ValueResult<std::string> {
    if (!is_valid_utf8(payload)) return value_error("Invalid UTF-8 in name");
    return std::string(as_text(payload));
  };
  auto float_array = [](ByteView payload, std::uint8_t tag) {
    return decode_float_array(payload, tag, engine_soa::builtin::kCharges);
  };
  auto pbc_flags = [](ByteView payload, std::uint8_t) { return decode_pbc(payload); };

  ValueResult<void> status = decode_into(BuiltinField::Charges, molecule.charges, float_array);
  if (status) status = decode_into(BuiltinField::Cell, molecule.cell, mat3(engine_soa::builtin::kCell));
  if (status) status = decode_into(BuiltinField::Energy, molecule.energy, decode_energy);
  if (status) status = decode_into(BuiltinField::Forces, molecule.forces, vec3(engine_soa::builtin::kForces));
  if (status) status = decode_into(BuiltinField::Name, molecule.name, name_text);
  if (status) status = decode_into(BuiltinField::Pbc, molecule.pbc, pbc_flags);
  if (status) status = decode_into(BuiltinField::Stress, molecule.stress, mat3(engine_soa::builtin::kStress));
  if (status) {
    status = decode_into(BuiltinField::Velocities, molecule.velocities, vec3(engine_soa::builtin::kVelocities));
  }
  if (!status) return std::unexpected(std::move(status).error());

  for (const SoaSectionSlot& slot : custom_slots_) {
    // Every key is decoded, even of a section that is then skipped.
    auto key = lazy_section_key(slot);
    if (!key) return std::unexpected(std::move(key).error());
    PropertyMap* scope = slot.kind == kAtomKind       ? &molecule.atom_properties
                         : slot.kind == kMoleculeKind ? &molecule.properties
                                                      : nullptr;
    if (scope == nullptr) continue;
    auto value = decode_property_value(slot.type_tag, section_payload(slot));
    if (!value) return std::unexpected(std::move(value).error());
    (*scope)[std::string(*key)] = std::move(*value);
  }
  return molecule;
}

// ---------------------------------------------------------------------------------------------
// Fast record parser
// ---------------------------------------------------------------------------------------------

namespace {

std::unexpected<molarium::Error> truncated(std::string_view label) { return invalid_data(cat(label, " truncated")); }
std::unexpected<molarium::Error> offset_overflow(std::string_view label) {
  return invalid_data(cat(label, " offset overflow"));
}

}  // namespace

Result<SoaFastRecord> parse_mol_fast_soa(ByteView record, std::size_t positions_stride) {
  const std::uint64_t length = record.size();
  if (length < engine_soa::kAtomCountSize) return truncated("SOA n_atoms");
  const std::uint64_t atom_count = load_le<std::uint32_t>(record.data());

  std::uint64_t positions_length = 0;
  if (!checked_mul(atom_count, positions_stride, positions_length)) {
    return invalid_data("SOA positions byte length overflow");
  }
  std::uint64_t positions_end = 0;
  if (!checked_add(engine_soa::kAtomCountSize, positions_length, positions_end)) return offset_overflow("SOA positions");
  if (positions_end > length) return truncated("SOA positions");
  std::uint64_t numbers_end = 0;
  if (!checked_add(positions_end, atom_count, numbers_end)) return offset_overflow("SOA atomic_numbers");
  if (numbers_end > length) return truncated("SOA atomic_numbers");
  std::uint64_t count_end = 0;
  if (!checked_add(numbers_end, engine_soa::kSectionCountSize, count_end)) return offset_overflow("SOA n_sections");
  if (count_end > length) return truncated("SOA n_sections");
  const std::size_t section_count = load_le<std::uint16_t>(record.data() + numbers_end);

  SoaFastRecord parsed;
  parsed.atom_count = atom_count;
  parsed.positions = record.subspan(engine_soa::kAtomCountSize, positions_length);
  parsed.atomic_numbers = record.subspan(positions_end, atom_count);
  // The stored count is untrusted: a section takes at least 7 bytes, so never reserve for more
  // sections than the remaining bytes can hold.
  parsed.sections.reserve(std::min<std::uint64_t>(section_count, (length - count_end) / engine_soa::kSectionHeaderSize));

  std::uint64_t cursor = count_end;
  for (std::size_t s = 0; s < section_count; ++s) {
    if (cursor >= length) return truncated("SOA section kind");
    const std::uint8_t kind = record[cursor];
    std::uint64_t key_start = 0;
    if (!checked_add(cursor, kKindAndKeyLengthSize, key_start)) return offset_overflow("SOA section key length");
    if (key_start > length) return truncated("SOA section key length");
    const std::uint8_t key_length = record[cursor + 1];
    std::uint64_t key_end = 0;
    if (!checked_add(key_start, key_length, key_end)) return offset_overflow("SOA section key");
    if (key_end > length) return truncated("SOA section key");
    const ByteView key = record.subspan(key_start, key_length);
    if (!is_valid_utf8(key)) return invalid_data("Invalid UTF-8 in SOA section key");
    if (key_end >= length) return truncated("SOA section type tag");
    const std::uint8_t tag = record[key_end];
    std::uint64_t payload_start = 0;
    if (!checked_add(key_end, kTagAndLengthSize, payload_start)) return offset_overflow("SOA section payload length");
    if (payload_start > length) return truncated("SOA section payload length");
    const std::uint64_t payload_length = load_le<std::uint32_t>(record.data() + key_end + 1);
    std::uint64_t payload_end = 0;
    if (!checked_add(payload_start, payload_length, payload_end)) return offset_overflow("SOA section payload");
    if (payload_end > length) return truncated("SOA section payload");
    parsed.sections.push_back(SoaSectionRef{as_text(key), record.subspan(payload_start, payload_length), kind, tag});
    cursor = payload_end;
  }
  return parsed;
}

// ---------------------------------------------------------------------------------------------
// Section schema rules
// ---------------------------------------------------------------------------------------------

namespace {

bool is_variable_size_tag(std::uint8_t tag) { return tag == tag_byte(TypeTag::Str) || tag == tag_byte(TypeTag::Null); }

// Tags whose payload is exactly one element of a fixed width: scalars, pbc and 3x3 matrices.
bool is_single_element_tag(std::uint8_t tag) {
  return tag == tag_byte(TypeTag::F64) || tag == tag_byte(TypeTag::I64) ||
         (tag >= tag_byte(TypeTag::Pbc) && tag <= tag_byte(TypeTag::Mat3F32));
}

std::unexpected<molarium::Error> invalid_payload_length(std::string_view key, std::uint64_t actual,
                                                        std::uint64_t expected) {
  return invalid_data(cat("Section '", key, "' has invalid payload length ", actual, " (expected ", expected, ")"));
}

// A per-atom section holds exactly atom_count elements.
Result<void> check_per_atom_payload(std::string_view key, std::uint64_t payload_length, std::uint64_t elem_bytes,
                                    std::uint64_t atom_count) {
  std::uint64_t expected = 0;
  if (!checked_mul(atom_count, elem_bytes, expected)) {
    return invalid_data(cat("Section '", key, "' payload length overflow"));
  }
  if (payload_length != expected) return invalid_payload_length(key, payload_length, expected);
  return {};
}

}  // namespace

Result<SectionSchema> section_schema_from_ref(const SoaSectionRef& section, std::size_t atom_count) {
  const std::uint8_t tag = section.type_tag;
  const std::string_view key = section.key;
  const std::uint64_t payload_length = section.payload.size();
  SectionSchema schema{std::string(key), 0, 0, is_per_atom(section.kind, key), section.kind, tag};

  if (dtypes::is_tensor_tag(tag)) {
    schema.elem_bytes = dtypes::tensor_element_size(tag);
    auto layout = tensor_shape_from_payload(tag, section.payload);
    if (!layout) return std::unexpected(std::move(layout).error());
    if (schema.per_atom) {
      if (layout->shape.empty()) {
        return invalid_data(cat("Atom tensor property '", key, "' must have at least one dimension"));
      }
      if (layout->shape[0] != atom_count) {
        return invalid_data(cat("Atom tensor property '", key, "' first dimension (", layout->shape[0],
                                ") doesn't match atom count (", atom_count, ")"));
      }
    }
    return schema;
  }

  if (tag == tag_byte(TypeTag::Null)) {
    if (payload_length != 0) return invalid_payload_length(key, payload_length, 0);
    return schema;
  }
  if (tag == tag_byte(TypeTag::Str)) {
    if (!is_valid_utf8(section.payload)) return invalid_data(cat("Invalid UTF-8 in section '", key, "'"));
    if (schema.per_atom) return invalid_data(cat("String section '", key, "' cannot be per-atom in flat extraction"));
    return schema;
  }

  const auto fixed_size = dtypes::element_bytes(tag);  // tags 0, 1, 3 to 12 here; nothing above 17
  if (schema.per_atom) {
    if (!fixed_size) {
      return invalid_data(cat("Unsupported per-atom section type tag ", tag_number(tag), " for key '", key, "'"));
    }
    schema.elem_bytes = schema.slot_bytes = *fixed_size;
    // Scalars, flags and matrices as well as arrays hold one element per atom, as the fill of
    // flat retrieval and the schema lock expect.
    MOLARIUM_TRY_VOID(check_per_atom_payload(key, payload_length, *fixed_size, atom_count));
    return schema;
  }

  schema.slot_bytes = payload_length;
  if (is_single_element_tag(tag)) {
    // One element per molecule: a payload of another length would be laid out as garbage.
    schema.elem_bytes = *fixed_size;
    if (payload_length != *fixed_size) return invalid_payload_length(key, payload_length, *fixed_size);
    return schema;
  }
  // A molecule-level array is laid out as one element the size of its whole payload; the payload
  // must still hold whole values of its tag, or flat retrieval would split values across slots.
  schema.elem_bytes = payload_length;
  if (fixed_size && *fixed_size != 0 && payload_length % *fixed_size != 0) {
    return invalid_data(cat("Section '", key, "' has invalid payload length ", payload_length, " for element size ",
                            *fixed_size));
  }
  return schema;
}

ValueResult<DatabaseSchemaSection> database_schema_section(std::uint8_t kind, std::string_view key,
                                                           std::uint8_t type_tag, std::size_t payload_length,
                                                           std::size_t atom_count) {
  DatabaseSchemaSection section{std::string(key), 0, 0, is_per_atom(kind, key), kind, type_tag};
  if (is_variable_size_tag(type_tag)) return section;
  if (dtypes::is_tensor_tag(type_tag)) {
    section.elem_bytes = dtypes::tensor_element_size(type_tag);
    return section;
  }
  const auto fixed_size = dtypes::element_bytes(type_tag);
  if (!fixed_size) return value_error(cat("Unsupported section type tag ", tag_number(type_tag), " for '", key, "'"));
  section.elem_bytes = *fixed_size;
  if (!section.per_atom) {
    section.slot_bytes = payload_length;
    return section;
  }
  auto checked = check_per_atom_payload(key, payload_length, *fixed_size, atom_count);
  if (!checked) return value_error(checked.error().message());
  section.slot_bytes = *fixed_size;
  return section;
}

// ---------------------------------------------------------------------------------------------
// Section decoders
// ---------------------------------------------------------------------------------------------

ValueResult<PropertyValue> decode_property_value(std::uint8_t type_tag, ByteView payload) {
  namespace index = molarium::types::property_index;
  switch (static_cast<TypeTag>(type_tag)) {
    case TypeTag::F64:
      if (payload.size() != sizeof(double)) return value_error("Invalid f64 payload length");
      return PropertyValue(std::in_place_index<index::kF64>, load_le<double>(payload.data()));
    case TypeTag::I64:
      if (payload.size() != sizeof(std::int64_t)) return value_error("Invalid i64 payload length");
      return PropertyValue(std::in_place_index<index::kI64>, load_le<std::int64_t>(payload.data()));
    case TypeTag::Str:
      if (!is_valid_utf8(payload)) return value_error("Invalid UTF-8 in string property");
      return PropertyValue(std::in_place_index<index::kString>, std::string(as_text(payload)));
    case TypeTag::F64Array:
      return as_property<index::kF64Array>(
          decode_array<double>(payload, "Invalid f64 array payload length", "f64 array chunk"));
    case TypeTag::Vec3F32:
      return as_property<index::kVec3F32>(decode_triples<float>(payload, "Invalid vec3<f32> payload length"));
    case TypeTag::I64Array:
      return as_property<index::kI64Array>(
          decode_array<std::int64_t>(payload, "Invalid i64 array payload length", "i64 array chunk"));
    case TypeTag::F32Array:
      return as_property<index::kF32Array>(
          decode_array<float>(payload, "Invalid f32 array payload length", "f32 array chunk"));
    case TypeTag::Vec3F64:
      return as_property<index::kVec3F64>(decode_triples<double>(payload, "Invalid vec3<f64> payload length"));
    case TypeTag::I32Array:
      return as_property<index::kI32Array>(
          decode_array<std::int32_t>(payload, "Invalid i32 array payload length", "i32 array chunk"));
    case TypeTag::Null:
      if (!payload.empty()) return value_error("Null property payload must be empty");
      return PropertyValue(std::in_place_index<index::kNull>);
    case TypeTag::TensorF32:
    case TypeTag::TensorF64:
    case TypeTag::TensorI32:
    case TypeTag::TensorI64: {
      auto layout = tensor_shape_from_payload(type_tag, payload);
      if (!layout) return value_error(layout.error().display());
      const ByteView values = payload.subspan(layout->values_offset);
      auto shape = std::move(layout->shape);
      switch (static_cast<TypeTag>(type_tag)) {
        case TypeTag::TensorF32:
          return PropertyValue(std::in_place_index<index::kTensor>, tensor_from_values<float>(std::move(shape), values));
        case TypeTag::TensorF64:
          return PropertyValue(std::in_place_index<index::kTensor>,
                               tensor_from_values<double>(std::move(shape), values));
        case TypeTag::TensorI32:
          return PropertyValue(std::in_place_index<index::kTensor>,
                               tensor_from_values<std::int32_t>(std::move(shape), values));
        default:
          return PropertyValue(std::in_place_index<index::kTensor>,
                               tensor_from_values<std::int64_t>(std::move(shape), values));
      }
    }
    default:
      return value_error(cat("Unsupported property type tag ", tag_number(type_tag)));
  }
}

ValueResult<Vec3Data> py_decode_vec3_data(ByteView payload, std::uint8_t type_tag, std::string_view field_name) {
  if (type_tag == tag_byte(TypeTag::Vec3F32)) {
    auto triples = decode_triples<float>(payload, "Invalid vec3<f32> payload length");
    if (!triples) return std::unexpected(std::move(triples).error());
    return Vec3Data(std::move(*triples));
  }
  if (type_tag == tag_byte(TypeTag::Vec3F64)) {
    auto triples = decode_triples<double>(payload, "Invalid vec3<f64> payload length");
    if (!triples) return std::unexpected(std::move(triples).error());
    return Vec3Data(std::move(*triples));
  }
  return unsupported_field_tag(field_name, type_tag);
}

ValueResult<Mat3Data> py_decode_mat3_data(ByteView payload, std::uint8_t type_tag, std::string_view field_name) {
  if (type_tag == tag_byte(TypeTag::Mat3F64)) {
    auto matrix = decode_matrix<double>(payload, "Invalid mat3x3<f64> payload length");
    if (!matrix) return std::unexpected(std::move(matrix).error());
    return Mat3Data(std::in_place_type<Mat3F64>, *matrix);
  }
  if (type_tag == tag_byte(TypeTag::Mat3F32)) {
    auto matrix = decode_matrix<float>(payload, "Invalid mat3x3<f32> payload length");
    if (!matrix) return std::unexpected(std::move(matrix).error());
    return Mat3Data(std::in_place_type<Mat3F32>, *matrix);
  }
  return unsupported_field_tag(field_name, type_tag);
}

}  // namespace molarium_rs::soa
