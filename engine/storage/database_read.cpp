// Reading stored records back by position, from the data mapping or the file, decompressed on
// the worker pool.
#include <cstdint>
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

Result<std::vector<index::MoleculeIndex>> lookup_entries(const index::IndexStorage& index,
                                                         std::span<const std::size_t> positions) {
  std::vector<index::MoleculeIndex> entries;
  entries.reserve(positions.size());
  for (std::size_t position : positions) {
    auto entry = index.entry(position);
    if (!entry) return invalid_data(cat("Index ", position, " out of bounds"));
    entries.push_back(*entry);
  }
  return entries;
}

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
  auto record = compression::decompress(stored, compression, entry.uncompressed_len);
  if (!record) return std::unexpected(std::move(record).error());
  return check_decoded_length(std::move(*record), entry);
}

// The file as one read call sees it: opened, and its length taken, by the first record that has
// to come from the file, then shared by every pool thread of the call (positioned reads on one
// descriptor may run at once), instead of one open, stat and close per record.
class RecordFileReader {
 public:
  explicit RecordFileReader(const std::string& path) : path_(path) {}

  Result<Bytes> read_stored(const index::MoleculeIndex& entry) {
    std::call_once(opened_once_, [this] { opened_.emplace(open()); });
    const Result<OpenFile>& opened = *opened_;
    if (!opened) return std::unexpected(opened.error());
    const std::uint64_t file_length = opened->length;
    if (!range_within(entry.offset, entry.compressed_len, file_length)) {
      return invalid_data(cat("Record at offset ", entry.offset, " with ", entry.compressed_len,
                              " stored bytes lies beyond the end of the file (", file_length, " bytes)"));
    }
    Bytes stored(entry.compressed_len);
    MOLARIUM_TRY_VOID(opened->file.read_exact_at(stored.data(), stored.size(), entry.offset));
    return stored;
  }

 private:
  struct OpenFile {
    File file;
    std::uint64_t length = 0;
  };

  Result<OpenFile> open() const {
    auto file = File::open_read(path_);
    if (!file) return std::unexpected(std::move(file).error());
    auto length = file->length();
    if (!length) return std::unexpected(std::move(length).error());
    return OpenFile{std::move(*file), *length};
  }

  const std::string& path_;
  std::once_flag opened_once_;
  std::optional<Result<OpenFile>> opened_;  // set once under opened_once_, read-only after
};

}  // namespace

Result<std::vector<Bytes>> AtomDatabase::get_raw_bytes(std::span<const std::size_t> positions) const {
  auto entries = lookup_entries(index_, positions);
  if (!entries) return std::unexpected(std::move(entries).error());
  return decompress_entries_parallel(*entries);
}

Result<std::pair<std::vector<Bytes>, std::vector<std::uint32_t>>> AtomDatabase::read_decompress_parallel(
    std::span<const std::size_t> positions) const {
  auto entries = lookup_entries(index_, positions);
  if (!entries) return std::unexpected(std::move(entries).error());
  std::vector<std::uint32_t> atom_counts;
  atom_counts.reserve(entries->size());
  for (const index::MoleculeIndex& entry : *entries) atom_counts.push_back(entry.num_atoms);
  auto records = decompress_entries_parallel(*entries);
  if (!records) return std::unexpected(std::move(records).error());
  return std::pair{std::move(*records), std::move(atom_counts)};
}

Result<std::vector<Bytes>> AtomDatabase::decompress_entries_parallel(
    std::span<const index::MoleculeIndex> entries) const {
  RecordFileReader file_reader(path_);
  return pool::parallel_map<Bytes>(entries.size(), [&](std::size_t i) -> Result<Bytes> {
    const index::MoleculeIndex& entry = entries[i];
    MOLARIUM_TRY_VOID(check_entry_lengths(entry, compression_));
    if (data_mapping_ && range_within(entry.offset, entry.compressed_len, data_mapping_->size())) {
      return decode_stored(data_mapping_->bytes().subspan(entry.offset, entry.compressed_len), entry, compression_);
    }
    // Not mapped, or appended after the mapping was made (a never-committed file opened mapped
    // accepts appends): the record is read from the file, never from outside the mapping.
    auto stored = file_reader.read_stored(entry);
    if (!stored) return std::unexpected(std::move(stored).error());
    if (compression_.codec == compression::Codec::None) return std::move(*stored);
    return decode_stored(*stored, entry, compression_);
  });
}

}  // namespace molarium::storage
