// Fuzz target: the fast record parser of flat retrieval and the flat layout of every section.
// Input: u8 stride selector (even: 12, odd: 24) | record bytes.
#include <cstdint>

#include "fuzz/fuzz_input.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/records/record_view.hpp"
#include "engine/records/section_decoders.hpp"
#include "engine/storage/dtypes.hpp"

using molarium::fuzz::FuzzInput;
namespace rs = molarium::records;

namespace {

bool within(molarium::ByteView part, molarium::ByteView whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::size_t stride = (input.byte() & 1) ? 24 : 12;
  const molarium::ByteView record = input.rest();

  auto parsed = rs::parse_mol_fast_soa(record, stride);
  if (!parsed) return 0;
  FUZZ_CHECK(parsed->positions.size() == parsed->atom_count * stride);
  FUZZ_CHECK(parsed->atomic_numbers.size() == parsed->atom_count);
  FUZZ_CHECK(within(parsed->positions, record) && within(parsed->atomic_numbers, record));
  for (const rs::SoaSectionRef& section : parsed->sections) {
    FUZZ_CHECK(within(section.payload, record));
    auto layout = rs::section_schema_from_ref(section, parsed->atom_count);
    if (!layout) continue;
    FUZZ_CHECK(layout->key == section.key && layout->kind == section.kind && layout->type_tag == section.type_tag);
    const bool tensor = molarium::storage::dtypes::is_tensor_tag(section.type_tag);
    if (tensor) {
      auto shape = molarium::storage::dtypes::tensor_shape_from_payload(section.type_tag, section.payload);
      FUZZ_CHECK(shape.has_value());
      if (layout->per_atom) FUZZ_CHECK(!shape->shape.empty() && shape->shape[0] == parsed->atom_count);
    } else if (layout->per_atom && layout->slot_bytes != 0) {
      // A per-atom section holds exactly one slot per atom: flat retrieval copies that many bytes.
      FUZZ_CHECK(layout->slot_bytes * parsed->atom_count == section.payload.size());
    } else if (!layout->per_atom && layout->slot_bytes != 0) {
      FUZZ_CHECK(layout->slot_bytes == section.payload.size());
    }
    (void)rs::database_schema_section(section.kind, section.key, section.type_tag, section.payload.size(),
                                      parsed->atom_count);
  }
  return 0;
}
