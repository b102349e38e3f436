// Fuzz target: tensor payload parsing, the tensor value decoded from it, and its re-encoding.
// Input: u8 tag selector (low two bits pick tags 14 to 17; 0xFF gives the next byte as the tag) |
// payload bytes.
#include <algorithm>
#include <cstdint>
#include <variant>

#include "engine/storage/dtypes.hpp"
#include "engine/storage/schema.hpp"
#include "fuzz/fuzz_input.hpp"
#include "engine/records/section_decoders.hpp"

using molarium::fuzz::FuzzInput;
namespace dtypes = molarium::storage::dtypes;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t selector = input.byte();
  const auto tag = static_cast<molarium::storage::TypeTag>(
      selector == 0xFF ? input.byte() : static_cast<std::uint8_t>(14 + (selector & 3)));
  const molarium::ByteView payload = input.rest();

  auto layout = dtypes::tensor_shape_from_payload(tag, payload);
  auto value = molarium::records::decode_property_value(tag, payload);
  if (!layout) {
    if (dtypes::is_tensor_tag(tag)) FUZZ_CHECK(!value.has_value());
    return 0;
  }
  FUZZ_CHECK(dtypes::is_tensor_tag(tag));
  FUZZ_CHECK(layout->values_offset == 1 + 4 * layout->shape.size());
  auto count = dtypes::tensor_value_count(layout->shape);
  FUZZ_CHECK(count.has_value());
  FUZZ_CHECK(*count * dtypes::tensor_element_size(tag) + layout->values_offset == payload.size());

  // The decoded tensor writes back to the same payload, byte for byte.
  FUZZ_CHECK(value.has_value());
  FUZZ_CHECK(dtypes::type_tag_of(*value) == tag);
  auto encoded = dtypes::property_value_to_bytes(*value);
  FUZZ_CHECK(encoded.has_value() && std::equal(encoded->begin(), encoded->end(), payload.begin(), payload.end()));

  // As a section: per-atom with the first dimension as the atom count, and molecule-level.
  const std::uint64_t atoms = layout->shape.empty() ? 0 : layout->shape[0];
  auto per_atom = molarium::storage::schema::schema_entry(molarium::storage::SectionKind::Atom, "t", tag,
                                                          payload.size(), payload, atoms);
  FUZZ_CHECK(per_atom.has_value() == !layout->shape.empty());
  FUZZ_CHECK(molarium::storage::schema::schema_entry(molarium::storage::SectionKind::Molecule, "t", tag, payload.size(),
                                                     payload, 0)
                 .has_value());
  return 0;
}
