// Fuzz target: header slot decoding and the choice between the two slots of a file.
// Input: u8 flags | u16 file length beyond 8192 | u16 n | n bytes of slot A | slot B, each slot
// zero-padded to 4096 bytes.
// Flag bits 0 and 1 recompute the checksum of slot A and B, so the fields behind it are reached.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>

#include "engine/storage/file.hpp"
#include "engine/storage/header.hpp"
#include "fuzz/fuzz_input.hpp"

namespace header = molarium::storage::header;
using molarium::fuzz::FuzzInput;

namespace {

header::SlotBytes slot_from(molarium::ByteView given, bool repair_checksum) {
  header::SlotBytes slot{};
  given = given.first(std::min(given.size(), header::kSlotSize));
  std::copy(given.begin(), given.end(), slot.begin());
  if (repair_checksum) molarium::fuzz::repair_slot_checksum(slot.data());
  return slot;
}

// A decoded slot must satisfy every rule decoding tests, and survive an encode/decode round trip.
void check_decoded(const header::HeaderSlot& h, std::uint64_t file_length) {
  FUZZ_CHECK(h.data_start >= header::kDataStart && h.data_start <= file_length);
  FUZZ_CHECK(h.schema_offset == 0 ? h.schema_length == 0
                                  : h.schema_length != 0 && h.schema_offset >= h.data_start &&
                                        molarium::range_within(h.schema_offset, h.schema_length, file_length));
  FUZZ_CHECK(h.index_offset == 0 ? h.index_length == 0 && h.record_count == 0
                                 : h.index_length == h.record_count * 20 + 8 && h.index_offset >= h.data_start &&
                                       molarium::range_within(h.index_offset, h.index_length, file_length));
  const header::SlotBytes again = header::encode_header_slot(h);
  const std::optional<header::HeaderSlot> redecoded = header::decode_header_slot(again, file_length);
  FUZZ_CHECK(redecoded.has_value() && *redecoded == h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t flags = input.byte();
  const std::uint64_t file_length = 2 * header::kSlotSize + input.integer<std::uint16_t>();
  const std::uint16_t slot_a_length = input.integer<std::uint16_t>();
  const header::SlotBytes slot_a = slot_from(input.take(slot_a_length), (flags & 1) != 0);
  const header::SlotBytes slot_b = slot_from(input.rest(), (flags & 2) != 0);

  const auto a = header::decode_header_slot(slot_a, file_length);
  const auto b = header::decode_header_slot(slot_b, file_length);
  if (a) check_decoded(*a, file_length);
  if (b) check_decoded(*b, file_length);
  // A slot of the wrong size is never valid.
  FUZZ_CHECK(!header::decode_header_slot(molarium::ByteView(slot_a.data(), header::kSlotSize - 1), file_length));

  // The same slots in a file of that length: the valid slot with the higher generation wins, slot A
  // on a tie, and no valid slot is an error.
  molarium::Bytes file_bytes(slot_a.begin(), slot_a.end());
  file_bytes.insert(file_bytes.end(), slot_b.begin(), slot_b.end());
  molarium::fuzz::MemoryFile memory(file_bytes);
  memory.set_length(file_length);
  auto file = molarium::storage::File::open_read(memory.path()).value();
  auto chosen = header::read_best_header(file);
  FUZZ_CHECK(chosen.has_value() == (a || b));
  if (chosen) FUZZ_CHECK(*chosen == ((a && b) ? (b->generation > a->generation ? *b : *a) : (a ? *a : *b)));
  return 0;
}
