// Fuzz target: the input written as a database file, opened memory-mapped and in memory, every
// record read through the engine, viewed, parsed and extracted flat; then one append and commit
// on the in-memory handle, which a new open must see. The same file is tried a second time with
// the checksums of both header slots made to match, so that the slots' fields are fuzzed too.
#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

#include "engine/atom.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/header.hpp"
#include "fuzz/fuzz_input.hpp"
#include "engine/records/flat_extraction.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/records/record_view.hpp"

using molarium::storage::AtomDatabase;
namespace header = molarium::storage::header;
namespace rs = molarium::records;

namespace {

// Enough records to reach every code path; a damaged index may claim billions.
constexpr std::size_t kMaxRecords = 64;
// Flat retrieval sizes its buffers from the atom counts of the index and, when the file has a
// schema lock, from the lock's slot sizes, before any record is read: a damaged index or schema
// blob makes it allocate gigabytes (a known limit of flat retrieval). Such files skip that step
// here so that the rest keeps being fuzzed.
constexpr std::uint64_t kMaxFlatBytes = 1 << 28;

bool flat_buffers_fit(const AtomDatabase& database, std::size_t count) {
  std::uint64_t atoms = 0;
  for (std::size_t i = 0; i < count; ++i) atoms += database.num_atoms(i).value_or(0);
  std::uint64_t bytes = atoms * 24;
  if (const auto& lock = database.schema_lock()) {
    for (const auto& [id, entry] : lock->entries) {
      std::uint64_t section = 0;
      if (!molarium::checked_mul(entry.per_atom ? entry.elem_bytes : entry.slot_bytes,
                                 entry.per_atom ? atoms : count, section) ||
          !molarium::checked_add(bytes, section, bytes)) {
        return false;
      }
    }
  }
  return bytes <= kMaxFlatBytes;
}

void read_every_record(const AtomDatabase& database) {
  const std::size_t count = std::min(database.len(), kMaxRecords);
  std::vector<std::size_t> positions(count);
  std::iota(positions.begin(), positions.end(), std::size_t{0});
  auto context = rs::SoaContext::from_database(database);
  for (std::size_t i = 0; i < count; ++i) {
    FUZZ_CHECK(database.uncompressed_size(i).has_value() && database.num_atoms(i).has_value());
    if (auto slice = database.get_compressed_slice(i)) {
      FUZZ_CHECK(database.get_shared_mmap_bytes(i) && database.get_shared_mmap_bytes(i)->size() == slice->size());
    }
    // One rule for every reader of a record: the accessor refuses exactly what the batch read refuses.
    const std::size_t one[] = {i};
    auto record = database.record(i);
    auto raw = database.get_raw_bytes(one);
    FUZZ_CHECK(record.has_value() == raw.has_value());
    if (record && raw) FUZZ_CHECK(std::ranges::equal(record->bytes(), raw->front()));
    if (!database.opened_mapped() || !context) continue;
    if (auto bytes = rs::mapped_record_bytes(database, i)) {
      const auto& c = *context;
      (void)rs::SoaMoleculeView::from_storage(std::move(*bytes), c.positions_stride, c.positions_type_tag);
    }
  }
  FUZZ_CHECK(!database.uncompressed_size(database.len()).has_value());
  const std::size_t past_end[] = {database.len()};
  FUZZ_CHECK(!database.get_raw_bytes(past_end).has_value());

  auto read = database.read_decompress_parallel(positions);
  if (read && context) {
    FUZZ_CHECK(read->first.size() == count && read->second.size() == count);
    for (molarium::Bytes& record : read->first) {
      auto fast = rs::parse_mol_fast_soa(record, context->positions_stride);
      auto view = rs::SoaMoleculeView::from_bytes(std::move(record), *context);
      if (!view) continue;
      if (fast) FUZZ_CHECK(fast->atom_count == view->atom_count());
      (void)view->database_schema();
      (void)view->materialize();
    }
  }
  if (flat_buffers_fit(database, count)) (void)rs::extract_flat(database, positions);
  (void)database.schema_info();
}

// One float32 molecule; the append fails cleanly when the file's schema or format refuses it.
void append_and_reopen(AtomDatabase& database, const std::string& path) {
  const std::size_t before = database.len();
  if (!database.add_molecule(*molarium::atom::Molecule::create({{1.0f, 2.0f, 3.0f}}, {6})) || !database.flush()) return;
  auto reopened = AtomDatabase::open_with_options(path, false, false);
  FUZZ_CHECK(reopened.has_value());
  FUZZ_CHECK(reopened->len() == before + 1);
  const std::size_t last[] = {before};
  FUZZ_CHECK(reopened->get_raw_bytes(last).has_value());
}

void exercise_file(molarium::ByteView contents) {
  molarium::fuzz::MemoryFile file(contents);
  if (auto mapped = AtomDatabase::open_with_options(file.path(), true, false)) read_every_record(*mapped);
  auto in_memory = AtomDatabase::open_with_options(file.path(), false, false);
  if (!in_memory) return;
  read_every_record(*in_memory);
  append_and_reopen(*in_memory, file.path());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const molarium::ByteView contents(data, size);
  exercise_file(contents);
  if (size < 2 * header::kSlotSize) return 0;
  molarium::Bytes repaired(contents.begin(), contents.end());
  molarium::fuzz::repair_slot_checksum(repaired.data() + header::kSlotAOffset);
  molarium::fuzz::repair_slot_checksum(repaired.data() + header::kSlotBOffset);
  if (!std::equal(repaired.begin(), repaired.end(), contents.begin())) exercise_file(repaired);
  return 0;
}
