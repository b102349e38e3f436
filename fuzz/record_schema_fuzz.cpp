// Fuzz target: deriving the schema lock of a stored record (record format and positions type
// from the first two bytes), then merging and encoding it.
// Input: u8 format selector | u8 positions selector | record bytes.
#include <cstdint>
#include <optional>

#include "engine/storage/schema.hpp"
#include "fuzz/fuzz_input.hpp"

namespace schema = molarium::storage::schema;
using molarium::fuzz::FuzzInput;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t format_selector = input.byte();
  const std::uint8_t positions_selector = input.byte();
  // Mostly the two real formats, now and then any value.
  const std::uint32_t record_format = format_selector < 120 ? 2 : format_selector < 240 ? 3 : format_selector;
  std::optional<std::uint8_t> positions_type;
  if (positions_selector % 4 == 1) positions_type = 4;
  if (positions_selector % 4 == 2) positions_type = 7;
  if (positions_selector % 4 == 3) positions_type = static_cast<std::uint8_t>(positions_selector / 4);
  const molarium::ByteView record = input.rest();

  auto lock = schema::record_schema(record, record_format, positions_type);
  if (!lock) return 0;
  FUZZ_CHECK(lock->positions_type == std::optional<std::uint8_t>(4) ||
             lock->positions_type == std::optional<std::uint8_t>(7));
  FUZZ_CHECK(schema::validate_schema_lock_for_record_format(record_format, *lock).has_value());
  schema::SchemaLock merged;
  FUZZ_CHECK(schema::merge_schema_lock(merged, *lock).has_value() && merged == *lock);
  // A record's sections have keys of at most 255 bytes, so its lock always encodes.
  auto blob = schema::encode_schema_lock(*lock);
  FUZZ_CHECK(blob.has_value());
  auto decoded = schema::decode_schema_lock(*blob);
  FUZZ_CHECK(decoded.has_value() && *decoded == *lock);
  return 0;
}
