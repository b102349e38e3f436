// The SOA record writer and the rules of record formats 2 and 3.
#include "engine/storage/soa.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "engine/records/builtins.hpp"
#include "engine/records/sections.hpp"
#include "engine/storage/dtypes.hpp"

namespace molarium::storage::soa {

namespace {

using types::kF32;

inline constexpr std::uint64_t kMaxAtomCount = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint64_t kMaxRecordLength = std::numeric_limits<std::uint32_t>::max();

template <class F32Tag, class F64Tag>
TypeTag width_tag(std::size_t variant_index, F32Tag f32, F64Tag f64) {
  return variant_index == kF32 ? f32 : f64;
}

// A custom property with its payload length, measured once before anything is written.
struct CustomSection {
  SectionKind kind;
  const std::string* key;
  const types::PropertyValue* value;
  std::uint64_t payload_length;
};

// Appends the properties of one scope in ascending byte order of their keys (std::string
// compares as unsigned bytes, a prefix first), each with its payload length.
Result<void> collect_custom_sections(std::vector<CustomSection>& out, SectionKind kind,
                                     const types::PropertyMap& properties) {
  const std::size_t first = out.size();
  for (const auto& [key, value] : properties) out.push_back({kind, &key, &value, 0});
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end(),
            [](const CustomSection& a, const CustomSection& b) { return *a.key < *b.key; });
  for (auto it = out.begin() + static_cast<std::ptrdiff_t>(first); it != out.end(); ++it) {
    MOLARIUM_ASSIGN_OR_RETURN(auto length, dtypes::property_payload_length(*it->value));
    MOLARIUM_TRY_VOID(records::check_section_fits(*it->key, length));
    it->payload_length = length;
  }
  return {};
}

}  // namespace

TypeTag PresentBuiltin::type_tag() const {
  struct Visitor {
    TypeTag operator()(const types::FloatArrayData* v) const {
      return width_tag(v->index(), TypeTag::F32Array, TypeTag::F64Array);
    }
    TypeTag operator()(const types::Mat3Data* v) const {
      return width_tag(v->index(), TypeTag::Mat3F32, TypeTag::Mat3F64);
    }
    TypeTag operator()(const types::FloatScalarData* v) const {
      return width_tag(v->index(), TypeTag::F32, TypeTag::F64);
    }
    TypeTag operator()(const types::Vec3Data* v) const {
      return width_tag(v->index(), TypeTag::Vec3F32, TypeTag::Vec3F64);
    }
    TypeTag operator()(const std::string*) const { return TypeTag::Str; }
    TypeTag operator()(const std::array<bool, 3>*) const { return TypeTag::Pbc; }
  };
  return std::visit(Visitor{}, value);
}

std::uint64_t PresentBuiltin::payload_length() const {
  struct Visitor {
    std::uint64_t operator()(const types::FloatArrayData* v) const {
      return std::visit([](const auto& a) { return sizeof(a[0]) * a.size(); }, *v);
    }
    std::uint64_t operator()(const types::Mat3Data* v) const {
      return std::visit([](const auto& m) { return sizeof(m); }, *v);
    }
    std::uint64_t operator()(const types::FloatScalarData* v) const {
      return std::visit([](const auto& x) { return sizeof(x); }, *v);
    }
    std::uint64_t operator()(const types::Vec3Data* v) const {
      return std::visit([](const auto& rows) { return sizeof(rows[0]) * rows.size(); }, *v);
    }
    std::uint64_t operator()(const std::string* v) const { return v->size(); }
    std::uint64_t operator()(const std::array<bool, 3>* v) const { return v->size(); }
  };
  return std::visit(Visitor{}, value);
}

void PresentBuiltin::append_payload(Bytes& out) const {
  struct Visitor {
    Bytes& out;
    void operator()(const types::FloatArrayData* v) const {
      std::visit([this](const auto& a) { append_le_array(out, std::span(a)); }, *v);
    }
    void operator()(const types::Mat3Data* v) const {
      std::visit([this](const auto& m) { append_le_array<typename std::decay_t<decltype(m)>::value_type>(out, m); },
                 *v);
    }
    void operator()(const types::FloatScalarData* v) const {
      std::visit([this](auto x) { append_le(out, x); }, *v);
    }
    void operator()(const types::Vec3Data* v) const {
      std::visit([this](const auto& rows) { dtypes::append_le_rows(out, std::span(rows)); }, *v);
    }
    void operator()(const std::string* v) const { out.insert(out.end(), v->begin(), v->end()); }
    void operator()(const std::array<bool, 3>* v) const {
      for (bool flag : *v) append_le<std::uint8_t>(out, flag ? 1 : 0);
    }
  };
  std::visit(Visitor{out}, value);
}

BuiltinFields::BuiltinFields(const atom::Molecule& molecule) {
  using records::BuiltinField;
  for (const records::BuiltinSpec& spec : records::kBuiltins) {
    auto add = [&](const auto& field) {
      if (field) fields_[count_++] = PresentBuiltin{spec.key, &*field};
    };
    switch (spec.field) {
      case BuiltinField::Charges: add(molecule.charges); break;
      case BuiltinField::Cell: add(molecule.cell); break;
      case BuiltinField::Energy: add(molecule.energy); break;
      case BuiltinField::Forces: add(molecule.forces); break;
      case BuiltinField::Name: add(molecule.name); break;
      case BuiltinField::Pbc: add(molecule.pbc); break;
      case BuiltinField::Stress: add(molecule.stress); break;
      case BuiltinField::Velocities: add(molecule.velocities); break;
    }
  }
}

Result<Bytes> serialize_molecule_soa(const atom::Molecule& molecule, std::uint32_t record_format) {
  MOLARIUM_TRY_VOID(validate_record_format_compat(molecule, record_format));

  const BuiltinFields builtins(molecule);
  const std::size_t section_count =
      builtins.size() + molecule.atom_properties.size() + molecule.properties.size();
  if (section_count > kMaxSections) return invalid_data("Too many SOA sections");

  // The writer emits one atomic number per position triple; a molecule whose fields were
  // changed out of step would otherwise be written short or past its buffer.
  const std::size_t atom_count = molecule.atom_count();
  if (molecule.atomic_numbers.size() != atom_count) {
    return invalid_data(cat("Atomic numbers length (", molecule.atomic_numbers.size(),
                            ") doesn't match atom count (", atom_count, ")"));
  }
  if (atom_count > kMaxAtomCount) {
    return invalid_data(cat("Atom count ", atom_count, " does not fit in an SOA record"));
  }

  // Measure every section in the order it is written, so the first refusal is the one a
  // section-by-section writer would meet; lengths of objects in memory cannot overflow 64 bits.
  const std::size_t stride = molecule.positions_f64() ? kStrideF64 : kStrideF32;
  std::uint64_t record_length = kMinRecordSize + atom_count * stride + atom_count;
  for (const PresentBuiltin& field : builtins) {
    MOLARIUM_TRY_VOID(records::check_section_fits(field.key, field.payload_length()));
    record_length += records::section_length(field.key, field.payload_length());
  }
  std::vector<CustomSection> custom;
  custom.reserve(molecule.atom_properties.size() + molecule.properties.size());
  MOLARIUM_TRY_VOID(collect_custom_sections(custom, SectionKind::Atom, molecule.atom_properties));
  MOLARIUM_TRY_VOID(collect_custom_sections(custom, SectionKind::Molecule, molecule.properties));
  for (const CustomSection& section : custom) {
    record_length += records::section_length(*section.key, section.payload_length);
  }
  // The index stores a record's length as u32.
  if (record_length > kMaxRecordLength) {
    return invalid_data(cat("SOA record of ", record_length, " bytes is too large"));
  }

  Bytes record;
  record.reserve(record_length);
  append_le<std::uint32_t>(record, static_cast<std::uint32_t>(atom_count));
  std::visit([&record](const auto& rows) { dtypes::append_le_rows(record, std::span(rows)); }, molecule.positions);
  append_bytes(record, molecule.atomic_numbers);
  append_le<std::uint16_t>(record, static_cast<std::uint16_t>(section_count));
  for (const PresentBuiltin& field : builtins) {
    records::append_section_header(record, SectionKind::Builtin, field.key, field.type_tag(),
                          field.payload_length());
    field.append_payload(record);
  }
  for (const CustomSection& section : custom) {
    records::append_section_header(record, section.kind, *section.key, dtypes::type_tag_of(*section.value),
                          section.payload_length);
    MOLARIUM_TRY_VOID(dtypes::append_property_payload(record, *section.value));
  }
  return record;
}

Result<void> validate_record_format_compat(const atom::Molecule& molecule, std::uint32_t record_format) {
  if (record_format == kRecordFormatV2 && molecule.positions_f64()) {
    return invalid_data("record format 2 does not support float64 positions");
  }
  if (record_format != kRecordFormatV2 && record_format != kRecordFormatV3) {
    return invalid_data(cat("Unsupported record format ", record_format));
  }
  if (record_format == kRecordFormatV3) return {};
  // Record order puts charges, cell, energy, forces before stress and velocities, the order in
  // which format 2's restrictions are reported; name and pbc pass in every format.
  for (const PresentBuiltin& field : BuiltinFields(molecule)) {
    MOLARIUM_TRY_VOID(dtypes::validate_builtin_type_tag_for_record_format(record_format, field.key, field.type_tag()));
  }
  return {};
}

std::uint32_t minimum_record_format_for_molecule(const atom::Molecule& molecule) {
  return validate_record_format_compat(molecule, kRecordFormatV2) ? kRecordFormatV2 : kRecordFormatV3;
}

Result<std::uint8_t> resolve_positions_type(std::uint32_t record_format, std::optional<std::uint8_t> positions_type) {
  if (record_format == kRecordFormatV2) {
    if (positions_type == tag_byte(TypeTag::Vec3F64)) {
      return invalid_data("record format 2 does not support float64 positions");
    }
    return tag_byte(TypeTag::Vec3F32);
  }
  if (record_format == kRecordFormatV3) {
    if (!positions_type) return invalid_data("Missing positions dtype for record format 3");
    return *positions_type;
  }
  return invalid_data(cat("Unsupported record format ", record_format));
}

}  // namespace molarium::storage::soa
