// The per-section schema rule.
#include "engine/records/section_rule.hpp"

#include <string>

#include "engine/records/builtins.hpp"
#include "engine/storage/dtypes.hpp"

namespace molarium::records {

using storage::SectionKind;
using storage::TypeTag;
using storage::kind_byte;
using storage::tag_byte;

bool is_per_atom(storage::SectionKind kind, std::string_view key) {
  if (kind == SectionKind::Atom) return true;
  if (kind != SectionKind::Builtin) return false;
  const auto field = builtin_field_for_key(key);
  return field && builtin_spec(*field).per_atom;
}

bool is_variable_size_tag(storage::TypeTag tag) {
  return tag == TypeTag::Str || tag == TypeTag::Null || storage::dtypes::is_tensor_tag(tag);
}

std::optional<SectionRule> section_rule(storage::SectionKind kind, std::string_view key, storage::TypeTag type_tag) {
  const auto elem = storage::dtypes::element_bytes(type_tag);
  if (!elem) return std::nullopt;
  return SectionRule{is_per_atom(kind, key), *elem, is_variable_size_tag(type_tag)};
}

std::unexpected<Error> invalid_payload_length(std::string_view key, std::uint64_t actual, std::uint64_t expected) {
  return invalid_data(cat("Section '", key, "' has invalid payload length ", actual, " (expected ", expected, ")"));
}

std::unexpected<Error> per_atom_payload_error(std::string_view key, std::uint64_t payload_length,
                                              std::uint64_t elem_bytes, std::uint64_t atom_count) {
  std::uint64_t expected = 0;
  if (!checked_mul(atom_count, elem_bytes, expected)) {
    return invalid_data(cat("Section '", key, "' payload length overflow"));
  }
  return invalid_payload_length(key, payload_length, expected);
}

storage::DatabaseSchemaSection describe_section(storage::SectionKind kind, std::string_view key,
                                                storage::TypeTag type_tag, const SectionRule& rule,
                                                std::uint64_t slot_bytes) {
  return storage::DatabaseSchemaSection{std::string(key), rule.elem_bytes, slot_bytes, rule.per_atom, kind, type_tag};
}

}  // namespace molarium::records
