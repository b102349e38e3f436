// The fast record parser of flat retrieval and the flat layout of a section.
#include "engine/records/fast_record.hpp"

#include <algorithm>
#include <string>

#include "engine/records/section_rule.hpp"
#include "engine/records/sections.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/utf8.hpp"

namespace molarium::records {

namespace {

using storage::TypeTag;
using storage::tag_byte;
namespace dtypes = storage::dtypes;

std::unexpected<Error> truncated(std::string_view label) { return invalid_data(cat(label, " truncated")); }

std::unexpected<Error> head_error(HeadFault fault) {
  switch (fault) {
    case HeadFault::AtomCountTruncated: return truncated("SOA n_atoms");
    case HeadFault::PositionsLengthOverflow: return invalid_data("SOA positions byte length overflow");
    case HeadFault::PositionsOffsetOverflow: return invalid_data("SOA positions offset overflow");
    case HeadFault::PositionsTruncated: return truncated("SOA positions");
    case HeadFault::AtomicNumbersTruncated: return truncated("SOA atomic_numbers");
    case HeadFault::SectionCountTruncated: break;
  }
  return truncated("SOA n_sections");
}

// Keys are checked as soon as they are read whole, before the fields after them.
std::unexpected<Error> section_error(const SectionError& error) {
  if (error.key_read() && !is_valid_utf8(error.key)) return invalid_data("Invalid UTF-8 in SOA section key");
  switch (error.fault) {
    case SectionFault::KindTruncated: return truncated("SOA section kind");
    case SectionFault::KeyLengthTruncated: return truncated("SOA section key length");
    case SectionFault::KeyTruncated: return truncated("SOA section key");
    case SectionFault::TypeTagTruncated: return truncated("SOA section type tag");
    case SectionFault::PayloadLengthTruncated: return truncated("SOA section payload length");
    case SectionFault::PayloadTruncated: break;
  }
  return truncated("SOA section payload");
}

}  // namespace

Result<SoaFastRecord> parse_mol_fast_soa(ByteView record, std::size_t positions_stride) {
  const auto head = read_record_head(record, positions_stride);
  if (!head) return head_error(head.error());

  SoaFastRecord parsed;
  parsed.atom_count = head->atom_count;
  parsed.positions = head->positions;
  parsed.atomic_numbers = head->atomic_numbers;
  // The stored count is untrusted: a section takes at least 7 bytes, so never reserve for more
  // sections than the remaining bytes can hold.
  parsed.sections.reserve(std::min<std::size_t>(
      head->section_count, (record.size() - head->sections_offset) / storage::soa::kSectionHeaderSize));

  std::size_t cursor = head->sections_offset;
  for (std::size_t s = 0; s < head->section_count; ++s) {
    const auto section = read_section(record, cursor);
    if (!section) return section_error(section.error());
    if (!is_valid_utf8(section->key)) return invalid_data("Invalid UTF-8 in SOA section key");
    parsed.sections.push_back(SoaSectionRef{as_text(section->key), section->payload, section->kind, section->type_tag});
  }
  return parsed;
}

Result<storage::DatabaseSchemaSection> section_schema_from_ref(const SoaSectionRef& section, std::size_t atom_count) {
  const TypeTag tag = section.type_tag;
  const std::string_view key = section.key;
  const std::uint64_t payload_length = section.payload.size();
  const auto rule = section_rule(section.kind, key, tag);
  const bool per_atom = is_per_atom(section.kind, key);
  // Sections are described by the rule; a molecule-level array is laid out as one element the
  // size of its whole payload, and a tag above 17 (no rule) as its payload.
  storage::DatabaseSchemaSection schema{std::string(key), 0, 0, per_atom, section.kind, tag};

  if (dtypes::is_tensor_tag(tag)) {
    schema.elem_bytes = rule->elem_bytes;
    MOLARIUM_ASSIGN_OR_RETURN(auto layout, dtypes::tensor_shape_from_payload(tag, section.payload));
    if (per_atom) {
      if (layout.shape.empty()) {
        return invalid_data(cat("Atom tensor property '", key, "' must have at least one dimension"));
      }
      if (layout.shape[0] != atom_count) {
        return invalid_data(cat("Atom tensor property '", key, "' first dimension (", layout.shape[0],
                                ") doesn't match atom count (", atom_count, ")"));
      }
    }
    return schema;
  }

  if (tag == TypeTag::Null) {
    if (payload_length != 0) return invalid_payload_length(key, payload_length, 0);
    return schema;
  }
  if (tag == TypeTag::Str) {
    if (!is_valid_utf8(section.payload)) return invalid_data(cat("Invalid UTF-8 in section '", key, "'"));
    if (per_atom) return invalid_data(cat("String section '", key, "' cannot be per-atom in flat extraction"));
    return schema;
  }

  if (per_atom) {
    if (!rule) {
      return invalid_data(
          cat("Unsupported per-atom section type tag ", unsigned{tag_byte(tag)}, " for key '", key, "'"));
    }
    schema.elem_bytes = schema.slot_bytes = rule->slot_bytes(payload_length);
    // Scalars, flags and matrices as well as arrays hold one element per atom, as the fill of
    // flat retrieval and the schema lock expect.
    MOLARIUM_TRY_VOID(check_per_atom_payload(key, payload_length, rule->elem_bytes, atom_count));
    return schema;
  }

  schema.slot_bytes = rule ? rule->slot_bytes(payload_length) : payload_length;
  if (rule && !is_array_tag(tag)) {
    // One element per molecule: a payload of another length would be laid out as garbage.
    schema.elem_bytes = rule->elem_bytes;
    if (payload_length != rule->elem_bytes) return invalid_payload_length(key, payload_length, rule->elem_bytes);
    return schema;
  }
  // A molecule-level array's payload must still hold whole values of its tag, or flat retrieval
  // would split values across slots.
  schema.elem_bytes = payload_length;
  if (rule && payload_length % rule->elem_bytes != 0) {
    return invalid_data(cat("Section '", key, "' has invalid payload length ", payload_length, " for element size ",
                            rule->elem_bytes));
  }
  return schema;
}

}  // namespace molarium::records
