// Reading stored records back by position, from the data mapping or the file the handle opened,
// decompressed on the worker pool: one record, a selection's index entries, or a selection's records.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/compression.hpp"
#include "engine/error.hpp"
#include "engine/pool.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/file.hpp"

namespace molarium::storage {

namespace {

// From this many positions on, index entries are looked up on the pool: the entries of a random
// selection lie scattered over the index, every lookup waits for a cache miss, and several threads
// wait for theirs at once. A group's lookups are independent loads, which the processor overlaps.
constexpr std::size_t kParallelLookupPositions = 2048;
constexpr std::size_t kLookupGroup = 16;

// Without a codec the stored bytes are the record, so both lengths must agree.
Result<void> check_entry_lengths(const index::MoleculeIndex& entry, const compression::CompressionType& compression) {
  if (compression.codec == compression::Codec::None && entry.compressed_len != entry.uncompressed_len) {
    return invalid_data(cat("Record at offset ", entry.offset, " stores ", entry.compressed_len,
                            " bytes without compression, expected ", entry.uncompressed_len));
  }
  return {};
}

// A decode that is shorter or longer than the index says means the record or its entry is
// damaged; readers size their parsing by the entry, so refuse it here.
Result<Bytes> check_decoded_length(Bytes record, const index::MoleculeIndex& entry) {
  if (record.size() != entry.uncompressed_len) {
    return invalid_data(cat("Record at offset ", entry.offset, " decoded to ", record.size(), " bytes, expected ",
                            entry.uncompressed_len));
  }
  return record;
}

Result<Bytes> decode_stored(ByteView stored, const index::MoleculeIndex& entry,
                            const compression::CompressionType& compression) {
  MOLARIUM_ASSIGN_OR_RETURN(auto record, compression::decompress(stored, compression, entry.uncompressed_len));
  return check_decoded_length(std::move(record), entry);
}

// The file as one read call sees it, through the descriptor the handle opened: its length taken
// by the first record that has to come from the file, then shared by every pool thread of the
// call (positioned reads on one descriptor may run at once), instead of one stat per record.
class RecordFileReader {
 public:
  explicit RecordFileReader(const File& file) : file_(file) {}

  Result<Bytes> read_stored(const index::MoleculeIndex& entry) {
    std::call_once(measured_once_, [this] { length_.emplace(file_.length()); });
    const Result<std::uint64_t>& length = *length_;
    if (!length) return std::unexpected(length.error());
    const std::uint64_t file_length = *length;
    if (!range_within(entry.offset, entry.compressed_len, file_length)) {
      return invalid_data(cat("Record at offset ", entry.offset, " with ", entry.compressed_len,
                              " stored bytes lies beyond the end of the file (", file_length, " bytes)"));
    }
    Bytes stored(entry.compressed_len);
    MOLARIUM_TRY_VOID(file_.read_exact_at(stored.data(), stored.size(), entry.offset));
    return stored;
  }

 private:
  const File& file_;
  std::once_flag measured_once_;
  std::optional<Result<std::uint64_t>> length_;  // set once under measured_once_, read-only after
};

// One record of an entry, checked against it: in place in the mapping when the file is
// uncompressed, else decoded; from the file when the record is not in the mapping.
Result<RecordBytes> read_record(const index::MoleculeIndex& entry, const compression::CompressionType& compression,
                                const FileMapping* mapping, RecordFileReader& file_reader) {
  MOLARIUM_TRY_VOID(check_entry_lengths(entry, compression));
  const bool uncompressed = compression.codec == compression::Codec::None;
  if (mapping != nullptr && range_within(entry.offset, entry.compressed_len, mapping->size())) {
    const ByteView stored = mapping->bytes().subspan(entry.offset, entry.compressed_len);
    if (uncompressed) return RecordBytes{stored};
    MOLARIUM_ASSIGN_OR_RETURN(auto record, decode_stored(stored, entry, compression));
    return RecordBytes{std::move(record)};
  }
  // Appended after the mapping was made (not yet committed, or by a handle mapped over a
  // never-committed file): the record is read from the file, never from outside the mapping.
  MOLARIUM_ASSIGN_OR_RETURN(auto stored, file_reader.read_stored(entry));
  if (uncompressed) return RecordBytes{std::move(stored)};
  MOLARIUM_ASSIGN_OR_RETURN(auto record, decode_stored(stored, entry, compression));
  return RecordBytes{std::move(record)};
}

}  // namespace

ByteView RecordBytes::bytes() const {
  if (const auto* in_place = std::get_if<ByteView>(&held)) return *in_place;
  return std::get<Bytes>(held);
}

ByteView SharedRecordBytes::bytes() const {
  if (const auto* shared = std::get_if<SharedMmapBytes>(&held)) return shared->as_slice();
  return std::get<Bytes>(held);
}

SharedRecordBytes AtomDatabase::shared(const index::MoleculeIndex& entry, RecordBytes record) const {
  if (const auto* in_place = std::get_if<ByteView>(&record.held)) {
    const auto start = static_cast<std::size_t>(entry.offset);
    return SharedRecordBytes{SharedMmapBytes{data_mapping_, start, start + in_place->size()}};
  }
  return SharedRecordBytes{std::move(std::get<Bytes>(record.held))};
}

Result<SharedRecordBytes> AtomDatabase::record(std::size_t k) const {
  const auto entry = index_.entry(k);
  if (!entry) return invalid_data(cat("Index ", k, " out of bounds"));
  MOLARIUM_ASSIGN_OR_RETURN(auto record, this->record(*entry));
  return shared(*entry, std::move(record));
}

Result<RecordBytes> AtomDatabase::record(const index::MoleculeIndex& entry) const {
  // Measures the file only for a record that is not in the mapping.
  RecordFileReader file_reader(file_);
  return read_record(entry, compression_, data_mapping_.get(), file_reader);
}

Result<ByteView> AtomDatabase::record(const index::MoleculeIndex& entry, Bytes& scratch) const {
  const bool uncompressed = compression_.codec == compression::Codec::None;
  if (!uncompressed && data_mapping_ != nullptr && range_within(entry.offset, entry.compressed_len, data_mapping_->size())) {
    if (scratch.size() < entry.uncompressed_len) scratch.resize(entry.uncompressed_len);
    const std::span<std::uint8_t> out(scratch.data(), entry.uncompressed_len);
    const ByteView stored = data_mapping_->bytes().subspan(entry.offset, entry.compressed_len);
    if (compression::decompress_into(stored, compression_, out) == entry.uncompressed_len) return ByteView(out);
    // A record that fails to decode, or decodes to another length, is read the ordinary way,
    // which words the failure.
  }
  MOLARIUM_ASSIGN_OR_RETURN(auto record, this->record(entry));
  if (auto* owned = std::get_if<Bytes>(&record.held)) {
    scratch = std::move(*owned);
    return ByteView(scratch);
  }
  return std::get<ByteView>(record.held);
}

Result<std::vector<SharedRecordBytes>> AtomDatabase::shared_records(std::span<const std::size_t> positions) const {
  MOLARIUM_ASSIGN_OR_RETURN(const auto entries, record_entries(positions));
  RecordFileReader file_reader(file_);
  return pool::parallel_map<SharedRecordBytes>(entries.size(), [&](std::size_t i) -> Result<SharedRecordBytes> {
    MOLARIUM_ASSIGN_OR_RETURN(auto record, read_record(entries[i], compression_, data_mapping_.get(), file_reader));
    return shared(entries[i], std::move(record));
  });
}

Result<std::vector<index::MoleculeIndex>> AtomDatabase::record_entries(std::span<const std::size_t> positions) const {
  const std::size_t count = positions.size();
  std::vector<index::MoleculeIndex> entries(count);
  std::atomic<bool> any_missing{false};
  const auto look_up_group = [&](std::size_t group) -> Result<void> {
    const std::size_t first = group * kLookupGroup;
    const std::size_t last = std::min(count, first + kLookupGroup);
    bool missing = false;
    for (std::size_t i = first; i < last; ++i) {
      const auto entry = index_.entry(positions[i]);
      if (entry) {
        entries[i] = *entry;
      } else {
        missing = true;
      }
    }
    if (missing) any_missing.store(true, std::memory_order_relaxed);
    return {};
  };
  const std::size_t groups = (count + kLookupGroup - 1) / kLookupGroup;
  const std::size_t min_parallel = count >= kParallelLookupPositions ? 2 : std::numeric_limits<std::size_t>::max();
  MOLARIUM_TRY_VOID(pool::parallel_for(groups, look_up_group, min_parallel));
  if (any_missing.load(std::memory_order_relaxed)) {
    for (const std::size_t k : positions) {
      if (!index_.entry(k)) return invalid_data(cat("Index ", k, " out of bounds"));
    }
  }
  return entries;
}

std::optional<ByteView> AtomDatabase::get_compressed_slice(const index::MoleculeIndex& entry) const {
  if (data_mapping_ == nullptr || !range_within(entry.offset, entry.compressed_len, data_mapping_->size())) {
    return std::nullopt;
  }
  return data_mapping_->bytes().subspan(entry.offset, entry.compressed_len);
}

Result<std::vector<Bytes>> AtomDatabase::get_raw_bytes(std::span<const std::size_t> positions) const {
  MOLARIUM_ASSIGN_OR_RETURN(auto entries, record_entries(positions));
  return decompress_entries_parallel(entries);
}

Result<std::pair<std::vector<Bytes>, std::vector<std::uint32_t>>> AtomDatabase::read_decompress_parallel(
    std::span<const std::size_t> positions) const {
  MOLARIUM_ASSIGN_OR_RETURN(auto entries, record_entries(positions));
  std::vector<std::uint32_t> atom_counts;
  atom_counts.reserve(entries.size());
  for (const index::MoleculeIndex& entry : entries) atom_counts.push_back(entry.num_atoms);
  MOLARIUM_ASSIGN_OR_RETURN(auto records, decompress_entries_parallel(entries));
  return std::pair{std::move(records), std::move(atom_counts)};
}

Result<std::vector<Bytes>> AtomDatabase::decompress_entries_parallel(
    std::span<const index::MoleculeIndex> entries) const {
  RecordFileReader file_reader(file_);
  return pool::parallel_map<Bytes>(entries.size(), [&](std::size_t i) -> Result<Bytes> {
    MOLARIUM_ASSIGN_OR_RETURN(auto record, read_record(entries[i], compression_, data_mapping_.get(), file_reader));
    if (auto* decoded = std::get_if<Bytes>(&record.held)) return std::move(*decoded);
    const ByteView in_place = std::get<ByteView>(record.held);
    return Bytes(in_place.begin(), in_place.end());
  });
}

}  // namespace molarium::storage
