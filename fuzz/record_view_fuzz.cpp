// Fuzz target: the record view walk and every getter of a view, then the molecule it
// materialises written back as a record.
// Input: u8 positions selector | record bytes. The selector picks float32 or float64 positions,
// and now and then a stride and tag that disagree or a tag that is no positions type.
#include <cstdint>
#include <utility>

#include "engine/pickle.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
#include "fuzz/fuzz_input.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/records/record_view.hpp"
#include "engine/records/section_decoders.hpp"
#include "engine/storage/dtypes.hpp"

using molarium::fuzz::FuzzInput;
namespace rs = molarium::records;

namespace {

void exercise_custom_sections(const rs::SoaMoleculeView& view) {
  for (const rs::SoaSectionSlot& slot : view.custom_slots()) {
    FUZZ_CHECK(slot.key_offset + slot.key_length <= view.bytes().size());
    FUZZ_CHECK(slot.payload_offset + slot.payload_length <= view.bytes().size());
    auto key = view.lazy_section_key(slot);
    (void)rs::decode_property_value(slot.type_tag, view.section_payload(slot));
    if (!key) continue;
    // An error here can only come from another key of the same kind that is not UTF-8.
    auto found = view.find_custom_section(slot.kind, *key);
    FUZZ_CHECK(!found.has_value() || found->has_value());
  }
}

void exercise_builtins(const rs::SoaMoleculeView& view) {
  for (std::size_t f = 0; f < rs::kBuiltinCount; ++f) {
    const auto field = static_cast<rs::BuiltinField>(f);
    const auto& slot = view.builtin_slot(field);
    if (!slot.present) continue;
    FUZZ_CHECK(slot.payload_offset + slot.payload_length <= view.bytes().size());
    const molarium::ByteView payload = view.builtin_payload(slot);
    (void)rs::decode_vec3_data(payload, slot.type_tag, rs::builtin_key(field));
    (void)rs::decode_mat3_data(payload, slot.type_tag, rs::builtin_key(field));
  }
  (void)view.energy();
  (void)view.pbc();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t selector = input.byte();
  std::size_t stride = (selector & 1) ? 24 : 12;
  std::uint8_t tag = (selector & 1) ? 7 : 4;
  if ((selector & 0xF0) == 0xF0) stride = (selector & 2) ? 24 : 12;  // may disagree with the tag
  if ((selector & 0xF0) == 0xE0) tag = selector & 0x0F;              // not a positions tag
  const molarium::ByteView record = input.rest();

  auto view = rs::SoaMoleculeView::from_storage(rs::SoaBytes(molarium::Bytes(record.begin(), record.end())), stride, tag);
  if (!view) return 0;
  FUZZ_CHECK(view->positions_offset() + view->positions_byte_length() <= view->bytes().size());
  FUZZ_CHECK(view->atomic_numbers_offset() + view->atom_count() <= view->bytes().size());

  exercise_builtins(*view);
  exercise_custom_sections(*view);
  const std::size_t n = view->atom_count();
  for (std::size_t i : {std::size_t{0}, n / 2, n - 1, n, n + 1}) {
    auto atom = view->atom_at(i);
    if (atom && i >= n) FUZZ_CHECK(!atom->has_value());
  }
  auto same = view->same_schema_as(*view);
  FUZZ_CHECK(!same.has_value() || *same);
  (void)view->database_schema();

  // The parser that flat retrieval uses sees the same atoms.
  auto fast = rs::parse_mol_fast_soa(view->bytes(), stride);
  if (fast) FUZZ_CHECK(fast->atom_count == n);

  auto molecule = view->materialize();
  if (!molecule) return 0;
  FUZZ_CHECK(molecule->atom_count() == molecule->atomic_numbers.size());
  // Whatever was materialised can be encoded, pickled and decoded without reading out of bounds.
  (void)molarium::storage::schema::schema_from_molecule(*molecule);
  for (std::uint32_t format : {2u, 3u}) (void)molarium::storage::soa::serialize_molecule_soa(*molecule, format);
  const molarium::Bytes payload = molarium::pickle::encode_molecule(*molecule);
  auto unpickled = molarium::pickle::decode_molecule(payload);
  FUZZ_CHECK(unpickled.has_value());
  FUZZ_CHECK(molarium::pickle::encode_molecule(*unpickled).size() == payload.size());
  return 0;
}
