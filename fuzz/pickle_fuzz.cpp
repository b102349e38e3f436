// Fuzz target: the pickle payload decoder, then everything a restored molecule may be used for:
// re-pickling, its schema and its record in both formats, read back by the record view.
#include <cstdint>

#include "engine/pickle.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
#include "fuzz/fuzz_input.hpp"
#include "engine/records/record_view.hpp"

namespace rs = molarium::records;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto molecule = molarium::pickle::decode_molecule(molarium::ByteView(data, size));
  if (!molecule) {
    FUZZ_CHECK(!molecule.error().message().empty());
    return 0;
  }
  FUZZ_CHECK(molecule->atom_count() == molecule->atomic_numbers.size());
  const molarium::Bytes payload = molarium::pickle::encode_molecule(*molecule);
  FUZZ_CHECK(payload.size() <= size);  // a decoded molecule never grows: trailing bytes are dropped
  auto again = molarium::pickle::decode_molecule(payload);
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(molarium::pickle::encode_molecule(*again).size() == payload.size());

  (void)molarium::storage::schema::schema_from_molecule(*molecule);
  (void)molecule->to_atoms();
  for (std::uint32_t format : {2u, 3u}) {
    auto record = molarium::storage::soa::serialize_molecule_soa(*molecule, format);
    if (!record) continue;
    const std::size_t stride = molecule->positions_f64() ? 24 : 12;
    const std::uint8_t tag = molecule->positions_f64() ? 7 : 4;
    auto view = rs::SoaMoleculeView::from_storage(rs::SoaBytes(std::move(*record)), stride, tag);
    FUZZ_CHECK(view.has_value());
    FUZZ_CHECK(view->atom_count() == molecule->atom_count());
    (void)view->materialize();
  }
  return 0;
}
