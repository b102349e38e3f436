// Fuzz target: the three readers of a stored record, which share one section walker: the record
// view with every getter, the fast parser of flat retrieval with the flat layout of each section,
// and the schema parser; then the materialised molecule written back and pickled.
// Input: u8 selector | record bytes. Bit 0 picks float64 positions (and record format 3); now and
// then the stride and tag disagree (0xF_) or the tag is no positions type (0xE_).
#include <cstdint>
#include <utility>

#include "engine/pickle.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/records/record_view.hpp"
#include "engine/records/section_decoders.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
#include "fuzz/fuzz_input.hpp"

namespace rs = molarium::records;
namespace schema = molarium::storage::schema;

namespace {

bool within(molarium::ByteView part, molarium::ByteView whole) {
  return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

void fast_parser(molarium::ByteView record, std::size_t stride) {
  auto parsed = rs::parse_mol_fast_soa(record, stride);
  if (!parsed) return;
  FUZZ_CHECK(parsed->positions.size() == parsed->atom_count * stride && within(parsed->positions, record));
  FUZZ_CHECK(parsed->atomic_numbers.size() == parsed->atom_count && within(parsed->atomic_numbers, record));
  for (const rs::SoaSectionRef& section : parsed->sections) {
    FUZZ_CHECK(within(section.payload, record));
    auto layout = rs::section_schema_from_ref(section, parsed->atom_count);
    if (!layout || layout->slot_bytes == 0) continue;
    // Flat retrieval copies exactly one slot per atom, or one per molecule.
    FUZZ_CHECK(layout->slot_bytes * (layout->per_atom ? parsed->atom_count : 1) == section.payload.size());
  }
}

void schema_parser(molarium::ByteView record, bool f64) {
  auto lock = schema::record_schema(record, f64 ? 3 : 2, std::uint8_t(f64 ? 7 : 4));
  if (!lock) return;
  FUZZ_CHECK(schema::validate_schema_lock_for_record_format(f64 ? 3 : 2, *lock).has_value());
  schema::SchemaLock merged;
  FUZZ_CHECK(schema::merge_schema_lock(merged, *lock).has_value() && merged == *lock);
  auto blob = schema::encode_schema_lock(*lock);  // keys of at most 255 bytes always encode
  FUZZ_CHECK(blob.has_value() && schema::decode_schema_lock(*blob) == *lock);
}

void view(molarium::ByteView record, std::size_t stride, std::uint8_t tag) {
  auto view = rs::SoaMoleculeView::from_storage(rs::SoaBytes(molarium::Bytes(record.begin(), record.end())), stride,
                                                tag);
  if (!view) return;
  const std::size_t n = view->atom_count();
  FUZZ_CHECK(view->positions_offset() + view->positions_byte_length() <= view->bytes().size());
  FUZZ_CHECK(view->atomic_numbers_offset() + n <= view->bytes().size());
  for (const rs::SoaSectionSlot& slot : view->custom_slots()) {
    FUZZ_CHECK(slot.payload_offset + slot.payload_length <= view->bytes().size());
    (void)rs::decode_property_value(slot.type_tag, view->section_payload(slot));
    auto key = view->lazy_section_key(slot);
    if (!key) continue;
    // An error can only come from another key of the same kind that is not UTF-8.
    auto found = view->find_custom_section(slot.kind, *key);
    FUZZ_CHECK(!found.has_value() || found->has_value());
  }
  (void)view->energy();
  (void)view->pbc();
  for (std::size_t i : {std::size_t{0}, n - 1, n}) {
    auto atom = view->atom_at(i);
    if (atom && i >= n) FUZZ_CHECK(!atom->has_value());
  }
  FUZZ_CHECK(!view->same_schema_as(*view) || *view->same_schema_as(*view));
  (void)view->database_schema();
  auto fast = rs::parse_mol_fast_soa(view->bytes(), stride);
  if (fast) FUZZ_CHECK(fast->atom_count == n);

  auto molecule = view->materialize();
  if (!molecule) return;
  FUZZ_CHECK(molecule->atom_count() == molecule->atomic_numbers.size());
  (void)schema::schema_from_molecule(*molecule);
  for (std::uint32_t format : {2u, 3u}) (void)molarium::storage::soa::serialize_molecule_soa(*molecule, format);
  const molarium::Bytes payload = molarium::pickle::encode_molecule(*molecule);
  auto unpickled = molarium::pickle::decode_molecule(payload);
  FUZZ_CHECK(unpickled.has_value() && molarium::pickle::encode_molecule(*unpickled).size() == payload.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  molarium::fuzz::FuzzInput input(data, size);
  const std::uint8_t selector = input.byte();
  const bool f64 = (selector & 1) != 0;
  std::size_t stride = f64 ? 24 : 12;
  std::uint8_t tag = f64 ? 7 : 4;
  if ((selector & 0xF0) == 0xF0) stride = (selector & 2) ? 24 : 12;
  if ((selector & 0xF0) == 0xE0) tag = selector & 0x0F;
  const molarium::ByteView record = input.rest();
  fast_parser(record, f64 ? 24 : 12);
  schema_parser(record, f64);
  view(record, stride, tag);
  return 0;
}
