// Fuzz target: schema blob decoding, with the lock re-encoded and decoded back, converted to the
// exchange form and back, and checked against both record formats.
#include <cstdint>

#include "engine/storage/schema.hpp"
#include "fuzz/fuzz_input.hpp"

namespace schema = molarium::storage::schema;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto lock = schema::decode_schema_lock(molarium::ByteView(data, size));
  if (!lock) return 0;
  FUZZ_CHECK(size >= schema::kBlobHeadSize);
  auto blob = schema::encode_schema_lock(*lock);
  FUZZ_CHECK(blob.has_value());  // a decoded key is below 65536 bytes, the sizes fit in u32
  FUZZ_CHECK(blob->size() <= size);  // only repeated entries shrink it
  auto again = schema::decode_schema_lock(*blob);
  FUZZ_CHECK(again.has_value() && *again == *lock);
  FUZZ_CHECK(schema::from_database_schema(schema::to_database_schema(*lock)) == *lock);
  (void)schema::validate_schema_lock_for_record_format(2, *lock);
  (void)schema::validate_schema_lock_for_record_format(3, *lock);
  // Merging a lock into a copy of itself always succeeds and changes nothing.
  schema::SchemaLock copy = *lock;
  FUZZ_CHECK(schema::merge_schema_lock(copy, *lock).has_value() && copy == *lock);
  return 0;
}
