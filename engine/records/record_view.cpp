// Record views of stored SOA records.
#include "engine/records/record_view.hpp"

#include <algorithm>
#include <span>

#include "engine/records/payload.hpp"
#include "engine/records/section_decoders.hpp"
#include "engine/records/section_rule.hpp"
#include "engine/records/sections.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/utf8.hpp"

namespace molarium::records {

namespace {

using atom::Molecule;
using storage::DatabaseSchema;
using storage::DatabaseSchemaSection;
using storage::SectionKind;
using storage::TypeTag;
using storage::kind_byte;
using storage::tag_byte;
using namespace molarium::types;
namespace engine_soa = storage::soa;
namespace dtypes = storage::dtypes;

constexpr SectionKind kBuiltinKind = SectionKind::Builtin;
constexpr SectionKind kAtomKind = SectionKind::Atom;
constexpr SectionKind kMoleculeKind = SectionKind::Molecule;

unsigned tag_number(std::uint8_t tag) { return tag; }
unsigned tag_number(TypeTag tag) { return tag_byte(tag); }

std::unexpected<Error> head_error(HeadFault fault) {
  switch (fault) {
    case HeadFault::AtomCountTruncated: break;  // the view refuses records under 6 bytes first
    case HeadFault::PositionsLengthOverflow:
    case HeadFault::PositionsOffsetOverflow: return invalid_data("SOA positions overflow");
    case HeadFault::PositionsTruncated: return invalid_data("SOA record truncated at positions");
    case HeadFault::AtomicNumbersTruncated:
    case HeadFault::SectionCountTruncated: break;
  }
  return invalid_data("SOA record truncated at atomic_numbers");
}

std::unexpected<Error> section_error(const SectionError& error) {
  switch (error.fault) {
    case SectionFault::KeyTruncated: return invalid_data("SOA section key truncated");
    case SectionFault::PayloadTruncated: return invalid_data("SOA section payload truncated");
    default: return invalid_data("SOA section header truncated");
  }
}

}  // namespace


Result<SoaContext> SoaContext::from_database(const storage::AtomDatabase& database) {
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

SoaBytes::SoaBytes(storage::SharedRecordBytes record)
    : storage_(std::visit([](auto&& held) { return decltype(storage_)(std::move(held)); }, std::move(record.held))) {}

ByteView SoaBytes::bytes() const {
  if (const auto* owned = std::get_if<Bytes>(&storage_)) return ByteView(*owned);
  const auto& shared = std::get<storage::SharedMmapBytes>(storage_);
  if (!shared.mapping) return {};
  return shared.as_slice();
}

// ---------------------------------------------------------------------------------------------
// Record view
// ---------------------------------------------------------------------------------------------

std::optional<std::size_t> type_tag_elem_bytes(TypeTag type_tag) {
  if (type_tag > TypeTag::Vec3F64) return std::nullopt;
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
  if (data.size() < engine_soa::kMinRecordSize) return invalid_data("SOA record too small");
  const auto head = read_record_head(data, positions_stride);
  if (!head) return head_error(head.error());
  view.atom_count_ = head->atom_count;
  view.positions_byte_length_ = head->positions.size();
  view.atomic_numbers_offset_ = head->atomic_numbers.data() - data.data();

  std::size_t cursor = head->sections_offset;
  for (std::size_t s = 0; s < head->section_count; ++s) {
    const auto section = read_section(data, cursor);
    if (!section) return section_error(section.error());
    const std::size_t key_offset = section->key.data() - data.data();
    const std::size_t payload_offset = section->payload.data() - data.data();
    const auto field = section->kind == kBuiltinKind ? builtin_field_for_key(as_text(section->key)) : std::nullopt;
    if (field) {
      // A repeated built-in key keeps the later section.
      view.builtins_[static_cast<std::size_t>(*field)] =
          SoaBuiltinSlot{true, payload_offset, section->payload.size(), section->type_tag};
    } else {
      view.custom_slots_.push_back(SoaSectionSlot{key_offset, payload_offset, section->payload.size(), section->kind,
                                                  static_cast<std::uint8_t>(section->key.size()), section->type_tag});
    }
  }
  return view;
}

Result<SoaMoleculeView> SoaMoleculeView::from_bytes(Bytes bytes, const SoaContext& context) {
  return from_bytes(SoaBytes(std::move(bytes)), context);
}

Result<SoaMoleculeView> SoaMoleculeView::from_bytes(SoaBytes bytes, const SoaContext& context) {
  return from_storage(std::move(bytes), context.positions_stride, context.positions_type_tag);
}

std::optional<ByteView> SoaMoleculeView::builtin_field_payload(BuiltinField field) const {
  const SoaBuiltinSlot& slot = builtin_slot(field);
  if (!slot.present) return std::nullopt;
  return builtin_payload(slot);
}

Result<std::string_view> SoaMoleculeView::lazy_section_key(const SoaSectionSlot& slot) const {
  const ByteView key = section_key_bytes(slot);
  if (!is_valid_utf8(key)) return value_error("Invalid UTF-8 in section key");
  return as_text(key);
}

Result<std::optional<SoaSectionSlot>> SoaMoleculeView::find_custom_section(SectionKind kind,
                                                                                std::string_view key) const {
  for (const SoaSectionSlot& slot : custom_slots_) {
    if (slot.kind != kind) continue;
    MOLARIUM_ASSIGN_OR_RETURN(auto slot_key, lazy_section_key(slot));
    if (slot_key == key) return std::optional<SoaSectionSlot>(slot);
  }
  return std::optional<SoaSectionSlot>();
}

Result<std::optional<double>> SoaMoleculeView::energy() const {
  const SoaBuiltinSlot& slot = builtin_slot(BuiltinField::Energy);
  if (!slot.present) return std::optional<double>();
  MOLARIUM_ASSIGN_OR_RETURN(auto value, decode_energy(builtin_payload(slot), slot.type_tag));
  return std::optional<double>(std::visit([](auto v) { return static_cast<double>(v); }, value));
}

Result<std::optional<std::array<bool, 3>>> SoaMoleculeView::pbc() const {
  const SoaBuiltinSlot& slot = builtin_slot(BuiltinField::Pbc);
  if (!slot.present) return std::optional<std::array<bool, 3>>();
  MOLARIUM_ASSIGN_OR_RETURN(auto flags, decode_pbc(builtin_payload(slot)));
  return std::optional<std::array<bool, 3>>(flags);
}

Result<std::optional<atom::Atom>> SoaMoleculeView::atom_at(std::size_t index) const {
  if (index >= atom_count_) return std::optional<atom::Atom>();
  const ByteView data = bytes();
  const std::uint8_t atomic_number = data[atomic_numbers_offset_ + index];
  const std::uint8_t* xyz = data.data() + positions_offset_;
  if (positions_type_tag_ == tag_byte(TypeTag::Vec3F32)) {
    xyz += index * engine_soa::kStrideF32;
    return atom::Atom{load_le<float>(xyz), load_le<float>(xyz + 4), load_le<float>(xyz + 8), atomic_number};
  }
  if (positions_type_tag_ == tag_byte(TypeTag::Vec3F64)) {
    xyz += index * engine_soa::kStrideF64;
    return atom::Atom{static_cast<float>(load_le<double>(xyz)), static_cast<float>(load_le<double>(xyz + 8)),
                                static_cast<float>(load_le<double>(xyz + 16)), atomic_number};
  }
  return value_error(cat("Unsupported positions type tag ", tag_number(positions_type_tag_)));
}

Result<bool> SoaMoleculeView::same_schema_as(const SoaMoleculeView& other) const {
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
    MOLARIUM_ASSIGN_OR_RETURN(auto my_key, lazy_section_key(mine));
    MOLARIUM_ASSIGN_OR_RETURN(auto their_key, other.lazy_section_key(theirs));
    if (my_key != their_key) return false;
  }
  return true;
}

Result<DatabaseSchema> SoaMoleculeView::database_schema() const {
  DatabaseSchema schema;
  schema.positions_type = positions_type_tag_;
  for (BuiltinField field : kSchemaOrder) {
    const SoaBuiltinSlot& slot = builtin_slot(field);
    if (!slot.present) continue;
    MOLARIUM_ASSIGN_OR_RETURN(auto section,
                              database_schema_section(kBuiltinKind, builtin_key(field), slot.type_tag,
                                                      slot.payload_length, atom_count_));
    schema.sections.push_back(std::move(section));
  }
  for (const SoaSectionSlot& slot : custom_slots_) {
    MOLARIUM_ASSIGN_OR_RETURN(auto key, lazy_section_key(slot));
    MOLARIUM_ASSIGN_OR_RETURN(auto section,
                              database_schema_section(slot.kind, key, slot.type_tag, slot.payload_length, atom_count_));
    schema.sections.push_back(std::move(section));
  }
  return schema;
}

Result<Molecule> SoaMoleculeView::materialize() const {
  const ByteView numbers = atomic_numbers_bytes();
  std::vector<std::uint8_t> atomic_numbers(numbers.begin(), numbers.end());

  auto build = [&]() -> Result<Molecule> {
    if (positions_type_tag_ == tag_byte(TypeTag::Vec3F32)) {
      return Molecule::create(load_le_triples<float>(positions_bytes()), std::move(atomic_numbers));
    }
    if (positions_type_tag_ == tag_byte(TypeTag::Vec3F64)) {
      return Molecule::create_f64(load_le_triples<double>(positions_bytes()), std::move(atomic_numbers));
    }
    return value_error(cat("Unsupported positions type tag ", tag_number(positions_type_tag_)));
  };
  MOLARIUM_ASSIGN_OR_RETURN(Molecule molecule, build());

  // Each present built-in is decoded into its field; the first failure ends materialisation.
  auto decode_into = [this](BuiltinField field, auto& target, auto decode) -> Result<void> {
    const SoaBuiltinSlot& slot = builtin_slot(field);
    if (!slot.present) return {};
    MOLARIUM_ASSIGN_OR_RETURN(target, decode(builtin_payload(slot), slot.type_tag));
    return {};
  };
  auto vec3 = [](std::string_view name) {
    return [name](ByteView payload, TypeTag tag) { return decode_vec3_data(payload, tag, name); };
  };
  auto mat3 = [](std::string_view name) {
    return [name](ByteView payload, TypeTag tag) { return decode_mat3_data(payload, tag, name); };
  };
  auto name_text = [](ByteView payload, TypeTag) -> Result<std::string> {
    if (!is_valid_utf8(payload)) return value_error("Invalid UTF-8 in name");
    return std::string(as_text(payload));
  };
  auto float_array = [](ByteView payload, TypeTag tag) {
    return decode_float_array(payload, tag, builtin::kCharges);
  };
  auto pbc_flags = [](ByteView payload, TypeTag) { return decode_pbc(payload); };

  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Charges, molecule.charges, float_array));
  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Cell, molecule.cell, mat3(builtin::kCell)));
  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Energy, molecule.energy, decode_energy));
  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Forces, molecule.forces, vec3(builtin::kForces)));
  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Name, molecule.name, name_text));
  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Pbc, molecule.pbc, pbc_flags));
  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Stress, molecule.stress, mat3(builtin::kStress)));
  MOLARIUM_TRY_VOID(decode_into(BuiltinField::Velocities, molecule.velocities, vec3(builtin::kVelocities)));

  for (const SoaSectionSlot& slot : custom_slots_) {
    // Every key is decoded, even of a section that is then skipped.
    MOLARIUM_ASSIGN_OR_RETURN(auto key, lazy_section_key(slot));
    PropertyMap* scope = slot.kind == kAtomKind       ? &molecule.atom_properties
                         : slot.kind == kMoleculeKind ? &molecule.properties
                                                      : nullptr;
    if (scope == nullptr) continue;
    MOLARIUM_ASSIGN_OR_RETURN(auto value, decode_property_value(slot.type_tag, section_payload(slot)));
    (*scope)[std::string(key)] = std::move(value);
  }
  return molecule;
}


Result<DatabaseSchemaSection> database_schema_section(SectionKind kind, std::string_view key,
                                                           TypeTag type_tag, std::size_t payload_length,
                                                           std::size_t atom_count) {
  const auto rule = section_rule(kind, key, type_tag);
  if (!rule) return value_error(cat("Unsupported section type tag ", tag_number(type_tag), " for '", key, "'"));
  if (rule->per_atom && !rule->variable) {
    auto fits = check_per_atom_payload(key, payload_length, rule->elem_bytes, atom_count);
    if (!fits) return value_error(fits.error().message());
  }
  return describe_section(kind, key, type_tag, *rule, rule->slot_bytes(payload_length));
}

}  // namespace molarium::records
