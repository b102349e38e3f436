// Fuzz target: index decoding, and entry lookup in an index read in place from a mapping.
// Input: u8 mode | rest. Mode even: the rest is index bytes. Mode odd: u64 index offset |
// u64 count | file bytes, looked up as a mapped index of that file.
#include <cstdint>

#include "engine/storage/index.hpp"
#include "engine/storage/mapping.hpp"
#include "fuzz/fuzz_input.hpp"

namespace idx = molarium::storage::index;
using molarium::fuzz::FuzzInput;

namespace {

void decode_round_trip(molarium::ByteView bytes) {
  auto entries = idx::decode_index(bytes);
  if (!entries) return;
  FUZZ_CHECK(bytes.size() == idx::kCountSize + entries->size() * idx::kEntrySize);
  const molarium::Bytes again = idx::encode_index(*entries);
  FUZZ_CHECK(again.size() == bytes.size() && std::equal(again.begin(), again.end(), bytes.begin()));
  auto storage = idx::IndexStorage::owned(std::move(*entries));
  FUZZ_CHECK(!storage.entry(storage.record_count()).has_value());
}

void mapped_lookups(FuzzInput& input) {
  const std::uint64_t index_offset = input.integer<std::uint64_t>();
  const std::uint64_t count = input.integer<std::uint64_t>();
  const molarium::ByteView file_bytes = input.rest();
  if (file_bytes.empty()) return;  // an empty file cannot be mapped
  molarium::fuzz::MemoryFile memory(file_bytes);
  auto mapping = molarium::storage::FileMapping::map_file(memory.path());
  FUZZ_CHECK(mapping.has_value());
  const auto storage = idx::IndexStorage::mapped(*mapping, index_offset, count);
  FUZZ_CHECK(storage.record_count() == count);
  // Entries near both ends and one past the end; an entry is either wholly inside the mapping
  // or absent.
  const std::uint64_t probes[] = {0, 1, count / 2, count - 1, count, count + 1, ~std::uint64_t{0}};
  for (std::uint64_t i : probes) {
    const auto entry = storage.entry(static_cast<std::size_t>(i));
    std::uint64_t relative = 0, start = 0, at = 0;
    const bool inside = molarium::checked_mul(i, idx::kEntrySize, relative) &&
                        molarium::checked_add(index_offset, idx::kCountSize, start) &&
                        molarium::checked_add(start, relative, at) &&
                        molarium::range_within(at, idx::kEntrySize, file_bytes.size());
    FUZZ_CHECK(entry.has_value() == (i < count && inside));
    if (entry) FUZZ_CHECK(entry->offset == molarium::load_le<std::uint64_t>(file_bytes.data() + at));
  }
  auto extended = idx::IndexStorage::mapped(*mapping, index_offset, count);
  FUZZ_CHECK(!extended.extend({idx::MoleculeIndex{}}).has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  if ((input.byte() & 1) == 0) {
    decode_round_trip(input.rest());
  } else {
    mapped_lookups(input);
  }
  return 0;
}
