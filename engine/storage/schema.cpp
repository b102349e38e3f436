// Schema entries of sections, the schema lock's derivation from molecules and records, its
// merge rules and its blob encoding.
#include "engine/storage/schema.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "engine/records/section_rule.hpp"
#include "engine/records/sections.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "engine/utf8.hpp"

namespace molarium::storage::schema {

namespace {

inline constexpr std::uint64_t kMaxBlobU32 = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint64_t kMaxBlobKeyLength = std::numeric_limits<std::uint16_t>::max();

// Blob entry field offsets, relative to the entry's start.
inline constexpr std::size_t kEntryKindOffset = 0;
inline constexpr std::size_t kEntryTagOffset = 1;
inline constexpr std::size_t kEntryPerAtomOffset = 2;
inline constexpr std::size_t kEntryKeyLengthOffset = 3;
inline constexpr std::size_t kEntryElemBytesOffset = 5;
inline constexpr std::size_t kEntrySlotBytesOffset = 9;
// Blob head field offsets.
inline constexpr std::size_t kBlobVersionOffset = 0;
inline constexpr std::size_t kBlobPositionsOffset = 4;
inline constexpr std::size_t kBlobCountOffset = 5;

using records::is_array_tag;
using records::is_per_atom;

std::unexpected<Error> payload_length_mismatch(std::string_view key, std::uint64_t actual, std::uint64_t expected) {
  return invalid_data(cat("Section '", key, "' payload length ", actual, " does not match expected ", expected));
}

std::unexpected<Error> head_error(records::HeadFault fault) {
  using records::HeadFault;
  switch (fault) {
    case HeadFault::AtomicNumbersTruncated: return invalid_data("SOA record truncated at atomic_numbers");
    case HeadFault::SectionCountTruncated: return invalid_data("SOA record truncated at n_sections");
    default: return invalid_data("SOA record truncated at positions");  // no overflow with strides 12 and 24
  }
}

// A section of fewer than 7 bytes is a truncated header, whatever field it ends in; a key read
// whole is checked for UTF-8 before its payload.
std::unexpected<Error> section_error(ByteView record, const records::SectionError& error) {
  using records::SectionFault;
  const bool header_short = record.size() - error.section_offset < soa::kSectionHeaderSize;
  switch (error.fault) {
    case SectionFault::KeyTruncated:
      if (!header_short) return invalid_data("SOA section key truncated");
      break;
    case SectionFault::PayloadTruncated:
      if (!is_valid_utf8(error.key)) return invalid_data("Invalid UTF-8 in section key");
      return invalid_data("SOA section payload truncated");
    default: break;
  }
  return invalid_data("SOA section header truncated");
}

// The tensor case of a schema entry, once the tensor's shape is known.
Result<SchemaEntry> tensor_entry(std::string_view key, TypeTag type_tag, bool per_atom,
                                 std::span<const std::uint64_t> shape, std::uint64_t atom_count) {
  if (per_atom) {
    if (shape.empty()) return invalid_data(cat("Atom tensor property '", key, "' must have at least one dimension"));
    if (shape[0] != atom_count) {
      return invalid_data(cat("Atom tensor property '", key, "' first dimension (", shape[0],
                              ") doesn't match atom count (", atom_count, ")"));
    }
  }
  return SchemaEntry{type_tag, per_atom, dtypes::tensor_element_size(type_tag), 0};
}

}  // namespace

std::string SchemaEntry::debug() const {
  return cat("SchemaEntry { type_tag: ", unsigned{tag_byte(type_tag)}, ", per_atom: ", per_atom ? "true" : "false",
             ", elem_bytes: ", elem_bytes, ", slot_bytes: ", slot_bytes, " }");
}

Result<void> check_entry_fits_tag(SectionKind kind, std::string_view key, const SchemaEntry& entry) {
  const auto rule = records::section_rule(kind, key, entry.type_tag);
  if (!rule) return invalid_data(cat("Unsupported section type tag ", unsigned{tag_byte(entry.type_tag)}));
  const std::uint64_t expected_elem = rule->elem_bytes;
  bool valid = entry.elem_bytes == expected_elem && entry.per_atom == rule->per_atom;
  if (rule->variable) {
    valid = valid && entry.slot_bytes == 0;
  } else if (entry.per_atom) {
    valid = valid && entry.slot_bytes <= expected_elem;
  } else if (is_array_tag(entry.type_tag)) {
    valid = valid && entry.slot_bytes % expected_elem == 0;
  } else {
    valid = valid && entry.slot_bytes == expected_elem;
  }
  if (!valid) return invalid_data(cat("Invalid schema entry for '", key, "': ", entry.debug()));
  return {};
}

Result<SchemaEntry> schema_entry(SectionKind kind, std::string_view key, TypeTag type_tag,
                                 std::uint64_t payload_len, std::optional<ByteView> payload,
                                 std::uint64_t atom_count) {
  const auto rule = records::section_rule(kind, key, type_tag);
  if (!rule) return invalid_data(cat("Unsupported section type tag ", unsigned{tag_byte(type_tag)}));
  const bool per_atom = rule->per_atom;
  const std::uint64_t elem_bytes = rule->elem_bytes;

  if (dtypes::is_tensor_tag(type_tag)) {
    if (!payload) return invalid_data(cat("Tensor section '", key, "' is missing payload"));
    MOLARIUM_ASSIGN_OR_RETURN(auto layout, dtypes::tensor_shape_from_payload(type_tag, *payload));
    return tensor_entry(key, type_tag, per_atom, layout.shape, atom_count);
  }
  if (rule->variable) {
    if (per_atom && payload_len != 0) return payload_length_mismatch(key, payload_len, 0);
    return SchemaEntry{type_tag, per_atom, elem_bytes, rule->slot_bytes(payload_len)};
  }
  if (!per_atom) return SchemaEntry{type_tag, per_atom, elem_bytes, rule->slot_bytes(payload_len)};

  std::uint64_t expected;
  if (!checked_mul(elem_bytes, atom_count, expected)) {
    return invalid_data(cat("Schema overflow for section '", key, "'"));
  }
  if (payload_len != expected) return payload_length_mismatch(key, payload_len, expected);
  // Locks written so far record a per-atom scalar, flag or matrix of a molecule without atoms
  // with no slot (its payload divided among no atoms); the blob keeps that.
  const bool no_slot = atom_count == 0 && !is_array_tag(type_tag);
  return SchemaEntry{type_tag, per_atom, elem_bytes, no_slot ? 0 : rule->slot_bytes(payload_len)};
}

Result<void> insert_schema_entry(SchemaLock& lock, SectionKind kind, std::string_view key, TypeTag type_tag,
                                 std::uint64_t payload_len, std::optional<ByteView> payload,
                                 std::uint64_t atom_count) {
  MOLARIUM_ASSIGN_OR_RETURN(auto entry, schema_entry(kind, key, type_tag, payload_len, payload, atom_count));
  lock.entries.insert_or_assign(SectionId{kind, std::string(key)}, entry);
  return {};
}

Result<SchemaLock> schema_from_molecule(const atom::Molecule& molecule) {
  SchemaLock lock;
  lock.positions_type = tag_byte(molecule.positions_f64() ? TypeTag::Vec3F64 : TypeTag::Vec3F32);
  const std::uint64_t atom_count = molecule.atom_count();

  if (!molecule.atom_properties.empty() && !molecule.properties.empty()) {
    for (const auto& [key, value] : molecule.atom_properties) {
      if (molecule.properties.contains(key)) {
        return invalid_data(cat("Custom property '", key, "' exists in both atom and molecule scopes"));
      }
    }
  }

  for (const soa::PresentBuiltin& field : soa::BuiltinFields(molecule)) {
    MOLARIUM_TRY_VOID(insert_schema_entry(lock, SectionKind::Builtin, field.key, field.type_tag(),
                                          field.payload_length(), std::nullopt, atom_count));
  }

  for (SectionKind kind : {SectionKind::Atom, SectionKind::Molecule}) {
    const auto& properties = kind == SectionKind::Atom ? molecule.atom_properties : molecule.properties;
    for (const auto& [key, value] : properties) {
      const TypeTag tag = dtypes::type_tag_of(value);
      // property_payload_length validates a tensor's shape.
      MOLARIUM_ASSIGN_OR_RETURN(const auto payload_len, dtypes::property_payload_length(value));
      if (const auto* tensor = std::get_if<types::property_index::kTensor>(&value)) {
        // A valid tensor's payload parses back to its own shape, so the shape is taken as held
        // instead of encoding the values only to parse them again.
        const auto& shape = std::visit([](const auto& t) -> const auto& { return t.shape; }, *tensor);
        MOLARIUM_ASSIGN_OR_RETURN(auto entry,
                                  tensor_entry(key, tag, is_per_atom(kind, key), shape, atom_count));
        lock.entries.insert_or_assign(SectionId{kind, key}, entry);
        continue;
      }
      MOLARIUM_TRY_VOID(
          insert_schema_entry(lock, kind, key, tag, payload_len, std::nullopt, atom_count));
    }
  }
  return lock;
}

Result<SchemaLock> parse_record_schema_with_layout(ByteView record, std::uint32_t record_format,
                                                   std::uint8_t positions_type, std::size_t stride) {
  if (record.size() < soa::kMinRecordSize) return invalid_data("SOA record too small");
  const auto head = records::read_record_head(record, stride);
  if (!head) return head_error(head.error());
  const std::uint64_t atom_count = head->atom_count;

  SchemaLock lock;
  lock.positions_type = positions_type;
  std::size_t cursor = head->sections_offset;
  for (std::size_t i = 0; i < head->section_count; ++i) {
    const auto section = records::read_section(record, cursor);
    if (!section) return section_error(record, section.error());
    if (!is_valid_utf8(section->key)) return invalid_data("Invalid UTF-8 in section key");
    const std::string_view key = as_text(section->key);
    const TypeTag type_tag = section->type_tag;
    if (section->kind == SectionKind::Builtin) {
      MOLARIUM_TRY_VOID(dtypes::validate_builtin_type_tag_for_record_format(record_format, key, type_tag));
    }
    const std::optional<ByteView> tensor_payload =
        dtypes::is_tensor_tag(type_tag) ? std::optional<ByteView>(section->payload) : std::nullopt;
    MOLARIUM_TRY_VOID(
        insert_schema_entry(lock, section->kind, key, type_tag, section->payload.size(), tensor_payload, atom_count));
  }
  // Bytes after the last section are not part of any section and are ignored.
  return lock;
}

Result<SchemaLock> record_schema(ByteView record, std::uint32_t record_format,
                                 std::optional<std::uint8_t> positions_type) {
  MOLARIUM_ASSIGN_OR_RETURN(auto tag, soa::resolve_positions_type(record_format, positions_type));
  const auto stride = soa::positions_stride(tag);
  if (!stride) return invalid_data(cat("Unsupported positions type tag ", unsigned{tag}));
  return parse_record_schema_with_layout(record, record_format, tag, *stride);
}

Result<void> merge_schema_lock(SchemaLock& target, const SchemaLock& incoming) {
  if (incoming.positions_type) {
    if (target.positions_type && *target.positions_type != *incoming.positions_type) {
      return invalid_data(cat("Position dtype mismatch: expected type tag ", unsigned{*target.positions_type},
                              ", got ", unsigned{*incoming.positions_type}));
    }
    target.positions_type = incoming.positions_type;
  }
  for (const auto& [id, entry] : incoming.entries) {
    auto [it, inserted] = target.entries.try_emplace(id, entry);
    if (!inserted && it->second != entry) {
      return invalid_data(cat("Schema mismatch for section '", id.second, "': expected ", it->second.debug(),
                              ", got ", entry.debug()));
    }
  }
  return {};
}

Result<void> validate_schema_lock_for_record_format(std::uint32_t record_format, const SchemaLock& lock) {
  MOLARIUM_ASSIGN_OR_RETURN(auto tag, soa::resolve_positions_type(record_format, lock.positions_type));
  if (!soa::positions_stride(tag)) return invalid_data(cat("Unsupported positions type tag ", unsigned{tag}));
  for (const auto& [id, entry] : lock.entries) {
    if (id.first != SectionKind::Builtin) continue;
    MOLARIUM_TRY_VOID(dtypes::validate_builtin_type_tag_for_record_format(record_format, id.second, entry.type_tag));
  }
  return {};
}

Result<Bytes> encode_schema_lock(const SchemaLock& lock) {
  std::uint64_t blob_length = kBlobHeadSize;
  for (const auto& [id, entry] : lock.entries) {
    const std::string& key = id.second;
    if (key.size() > kMaxBlobKeyLength) return invalid_data(cat("Schema key '", key, "' is too long"));
    if (entry.elem_bytes > kMaxBlobU32) return invalid_data(cat("Schema elem_bytes overflow for '", key, "'"));
    if (entry.slot_bytes > kMaxBlobU32) return invalid_data(cat("Schema slot_bytes overflow for '", key, "'"));
    blob_length += kBlobEntryHeadSize + key.size();
  }
  // Unreachable in practice (billions of entries), but the count field is u32.
  if (lock.entries.size() > kMaxBlobU32) return invalid_data("Schema has too many entries");

  Bytes blob;
  blob.reserve(blob_length);
  append_le<std::uint32_t>(blob, kBlobVersion);
  append_le<std::uint8_t>(blob, lock.positions_type.value_or(kNoPositionsType));
  append_le<std::uint32_t>(blob, static_cast<std::uint32_t>(lock.entries.size()));
  for (const auto& [id, entry] : lock.entries) {
    const std::string& key = id.second;
    append_le<std::uint8_t>(blob, kind_byte(id.first));
    append_le<std::uint8_t>(blob, tag_byte(entry.type_tag));
    append_le<std::uint8_t>(blob, entry.per_atom ? 1 : 0);
    append_le<std::uint16_t>(blob, static_cast<std::uint16_t>(key.size()));
    append_le<std::uint32_t>(blob, static_cast<std::uint32_t>(entry.elem_bytes));
    append_le<std::uint32_t>(blob, static_cast<std::uint32_t>(entry.slot_bytes));
    blob.insert(blob.end(), key.begin(), key.end());
  }
  return blob;
}

Result<SchemaLock> decode_schema_lock(ByteView blob) {
  if (blob.size() < kBlobHeadSize) return invalid_data("Schema blob too small");
  const std::uint32_t version = load_le<std::uint32_t>(blob.data() + kBlobVersionOffset);
  if (version != kBlobVersion) return invalid_data(cat("Unsupported schema blob version ", version));

  SchemaLock lock;
  const std::uint8_t positions = blob[kBlobPositionsOffset];
  if (positions == tag_byte(TypeTag::Vec3F32) || positions == tag_byte(TypeTag::Vec3F64)) {
    lock.positions_type = positions;
  } else if (positions != kNoPositionsType) {
    return invalid_data(cat("Unsupported schema positions type tag ", unsigned{positions}));
  }

  const std::uint32_t count = load_le<std::uint32_t>(blob.data() + kBlobCountOffset);
  std::size_t offset = kBlobHeadSize;
  // The count is untrusted: every entry is bounded by the bytes actually present.
  for (std::uint32_t i = 0; i < count; ++i) {
    if (blob.size() - offset < kBlobEntryHeadSize) return invalid_data("Schema blob truncated");
    const std::uint8_t* head = blob.data() + offset;
    const std::uint8_t per_atom = head[kEntryPerAtomOffset];
    if (per_atom > 1) return invalid_data("Invalid schema per_atom flag");
    const std::size_t key_length = load_le<std::uint16_t>(head + kEntryKeyLengthOffset);
    SchemaEntry entry{static_cast<TypeTag>(head[kEntryTagOffset]), per_atom == 1,
                      load_le<std::uint32_t>(head + kEntryElemBytesOffset),
                      load_le<std::uint32_t>(head + kEntrySlotBytesOffset)};
    const auto kind = static_cast<SectionKind>(head[kEntryKindOffset]);
    offset += kBlobEntryHeadSize;
    if (blob.size() - offset < key_length) return invalid_data("Schema blob truncated at key");
    const ByteView key = blob.subspan(offset, key_length);
    offset += key_length;
    if (!is_valid_utf8(key)) return invalid_data("Invalid UTF-8 in schema key");
    lock.entries.insert_or_assign(SectionId{kind, std::string(as_text(key))}, entry);
  }
  if (offset != blob.size()) return invalid_data("Schema blob trailing bytes");
  return lock;
}

DatabaseSchema to_database_schema(const SchemaLock& lock) {
  DatabaseSchema schema;
  schema.positions_type = lock.positions_type;
  schema.sections.reserve(lock.entries.size());
  for (const auto& [id, entry] : lock.entries) {
    schema.sections.push_back({id.second, entry.elem_bytes, entry.slot_bytes, entry.per_atom, id.first, entry.type_tag});
  }
  return schema;
}

SchemaLock from_database_schema(const DatabaseSchema& schema) {
  SchemaLock lock;
  lock.positions_type = schema.positions_type;
  for (const DatabaseSchemaSection& section : schema.sections) {
    lock.entries.insert_or_assign(SectionId{section.kind, section.key},
                                  SchemaEntry{section.type_tag, section.per_atom, section.elem_bytes, section.slot_bytes});
  }
  return lock;
}

}  // namespace molarium::storage::schema
