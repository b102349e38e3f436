// The fast record parser of flat retrieval: one pass over a record that copies nothing, and the
// flat layout of each of its sections.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/schema.hpp"

namespace molarium::records {

// One section as the fast parser sees it; borrowed from the record bytes.
struct SoaSectionRef {
  std::string_view key;  // valid UTF-8
  ByteView payload;
  storage::SectionKind kind = storage::SectionKind::Builtin;  // as stored, not interpreted
  storage::TypeTag type_tag = storage::TypeTag::F64;           // as stored, not interpreted
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

// The flat layout of a section of a record with atom_count atoms, with its payload checked
// against it (invalid-data errors). A molecule-level array is laid out as one element the size
// of its whole payload.
Result<storage::DatabaseSchemaSection> section_schema_from_ref(const SoaSectionRef& section, std::size_t atom_count);

}  // namespace molarium::records
