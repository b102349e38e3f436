// The database file's lifecycle: creating, opening (mapped or in memory), committing, cutting an
// uncommitted tail, and the per-record accessors over the index and the data mapping.
#include "engine/storage/database.hpp"

#include <algorithm>
#include <limits>

#include "engine/storage/header.hpp"

namespace molarium::storage {
namespace {

constexpr std::size_t kFileIdentSize = 8;  // magic and version, checked before the slots are read

// The end of a commit's index, which is where the next record or commit goes.
Result<std::uint64_t> index_end(std::uint64_t index_offset, std::uint64_t index_length) {
  std::uint64_t end;
  if (!checked_add(index_offset, index_length, end)) return invalid_data("Index end overflow");
  return end;
}

Result<Bytes> read_extent(File& file, std::uint64_t offset, std::uint64_t length) {
  // The slot rules bound the extent by the file length; check again before allocating.
  auto file_length = file.length();
  if (!file_length) return std::unexpected(std::move(file_length).error());
  if (!range_within(offset, length, *file_length) || length > std::numeric_limits<std::size_t>::max()) {
    return io_error("failed to fill whole buffer");
  }
  if (auto at = file.seek(offset); !at) return std::unexpected(std::move(at).error());
  Bytes bytes(static_cast<std::size_t>(length));
  if (auto read = file.read_exact(bytes.data(), bytes.size()); !read) return std::unexpected(std::move(read).error());
  return bytes;
}

// The index of a committed file read in place from its own mapping. Entries are never copied;
// the count at the index offset must agree with the header, which sized the index.
Result<index::IndexStorage> map_index(const std::string& path, const header::HeaderSlot& header) {
  auto mapping = FileMapping::map_file(path);
  if (!mapping) return std::unexpected(std::move(mapping).error());
  const ByteView bytes = (*mapping)->bytes();
  // The file may have changed between reading the slots and mapping it.
  if (header.index_length < index::kCountSize ||
      !range_within(header.index_offset, header.index_length, bytes.size())) {
    return invalid_data(cat("Index (offset ", header.index_offset, ", length ", header.index_length,
                            ") does not lie within the file (", bytes.size(), " bytes)"));
  }
  const auto stored_count = load_le<std::uint64_t>(bytes.data() + header.index_offset);
  if (stored_count != header.record_count) {
    return invalid_data(
        cat("Index record count mismatch (header ", header.record_count, ", index ", stored_count, ")"));
  }
  return index::IndexStorage::mapped(std::move(*mapping), header.index_offset, header.record_count);
}

}  // namespace

Result<AtomDatabase> AtomDatabase::create_with_format(std::string path, compression::CompressionType compression) {
  // Truncating in place would pull the pages from under any live mapping of the old file (SIGBUS
  // in whoever reads them); a new file at the path leaves the old one to its holders.
  MOLARIUM_TRY_VOID(remove_file_if_exists(path));
  auto file = File::create_truncate(path);
  if (!file) return std::unexpected(std::move(file).error());

  header::HeaderSlot header;
  header.compression = compression;
  const header::SlotBytes slot = header::encode_header_slot(header);
  MOLARIUM_TRY_VOID(file->write_all(slot));
  MOLARIUM_TRY_VOID(file->write_all(slot));
  MOLARIUM_TRY_VOID(file->full_sync());
  MOLARIUM_TRY_VOID(file->close());

  AtomDatabase db;
  db.path_ = std::move(path);
  db.compression_ = compression;
  db.generation_ = header.generation;
  db.committed_end_ = header::kDataStart;
  db.record_format_ = header.record_format;
  return db;
}

Result<AtomDatabase> AtomDatabase::open_with_options(std::string path, bool mapped, bool /*populate*/) {
  auto file = File::open_read(path);
  if (!file) return std::unexpected(std::move(file).error());
  std::uint8_t ident[kFileIdentSize];
  MOLARIUM_TRY_VOID(file->read_exact(ident, sizeof ident));
  if (!std::equal(header::kMagic.begin(), header::kMagic.end(), ident + header::kMagicOffset)) {
    return invalid_data("Invalid file format");
  }
  const auto version = load_le<std::uint32_t>(ident + header::kVersionOffset);
  if (version != header::kVersion) {
    return invalid_data(cat("Unsupported file format version ", version, " (expected ", header::kVersion, ")"));
  }
  return open_v1(std::move(path), std::move(*file), mapped);
}

Result<AtomDatabase> AtomDatabase::open_v1(std::string path, File file, bool mapped) {
  auto header = header::read_best_header(file);
  if (!header) return std::unexpected(std::move(header).error());
  if (header->record_format != 2 && header->record_format != 3) {
    return invalid_data(cat("Unsupported record format ", header->record_format, "."));
  }
  const bool has_index = header->index_offset != 0 && header->index_length != 0;
  std::uint64_t committed_end = header->data_start;
  if (has_index) {
    auto end = index_end(header->index_offset, header->index_length);
    if (!end) return std::unexpected(std::move(end).error());
    committed_end = *end;
  }
  auto file_length = file.length();
  if (!file_length) return std::unexpected(std::move(file_length).error());

  AtomDatabase db;
  if (mapped) {
    auto data_mapping = FileMapping::map_file(path);
    if (!data_mapping) return std::unexpected(std::move(data_mapping).error());
    db.data_mapping_ = std::move(*data_mapping);
    if (header->index_offset != 0) {
      auto index = map_index(path, *header);
      if (!index) return std::unexpected(std::move(index).error());
      db.index_ = std::move(*index);
    }
  } else {
    db.uncommitted_tail_ = *file_length > committed_end;
    if (header->index_offset != 0) {
      auto bytes = read_extent(file, header->index_offset, header->index_length);
      if (!bytes) return std::unexpected(std::move(bytes).error());
      auto entries = index::decode_index(*bytes);
      if (!entries) return std::unexpected(std::move(entries).error());
      db.index_ = index::IndexStorage::owned(std::move(*entries));
    }
  }

  if (header->schema_offset != 0 && header->schema_length != 0) {
    auto blob = read_extent(file, header->schema_offset, header->schema_length);
    if (!blob) return std::unexpected(std::move(blob).error());
    auto lock = schema::decode_schema_lock(*blob);
    if (!lock) return std::unexpected(std::move(lock).error());
    db.schema_lock_ = std::move(*lock);
  }

  db.path_ = std::move(path);
  db.compression_ = header->compression;
  db.generation_ = header->generation;
  db.committed_end_ = committed_end;
  db.record_format_ = header->record_format;
  return db;
}

Result<void> AtomDatabase::flush() {
  if (index_.is_mapped()) {
    return invalid_data(
        "Cannot flush a database opened with a memory-mapped index (read-only); reopen without mmap to write.");
  }
  // A generation that cannot grow would go out with the value the other slot may hold too, and a
  // tie picks slot A at the next open: the commit would be lost although flush succeeded. Only a
  // damaged or foreign file gets here; refuse before anything is written.
  if (generation_ == std::numeric_limits<std::uint64_t>::max()) {
    return invalid_data(cat("Commit generation ", generation_, " cannot be advanced"));
  }
  MOLARIUM_TRY_VOID(truncate_uncommitted_tail_if_needed());

  const Bytes index_bytes = index::encode_index(index_.owned_entries());
  std::optional<Bytes> schema_blob;
  if (schema_lock_) {
    auto blob = schema::encode_schema_lock(*schema_lock_);
    if (!blob) return std::unexpected(std::move(blob).error());
    schema_blob = std::move(*blob);
  }

  auto file = File::open_write(path_);
  if (!file) return std::unexpected(std::move(file).error());
  header::HeaderSlot header;
  header.compression = compression_;
  header.record_count = index_.record_count();
  header.record_format = record_format_;
  if (schema_blob) {
    auto schema_offset = file->seek_end();
    if (!schema_offset) return std::unexpected(std::move(schema_offset).error());
    MOLARIUM_TRY_VOID(file->write_all(*schema_blob));
    header.schema_offset = *schema_offset;
    header.schema_length = schema_blob->size();
  }
  auto index_offset = file->seek_end();
  if (!index_offset) return std::unexpected(std::move(index_offset).error());
  MOLARIUM_TRY_VOID(file->write_all(index_bytes));
  header.index_offset = *index_offset;
  header.index_length = index_bytes.size();
  // A torn header write must find the blob and index it names already on stable storage.
  MOLARIUM_TRY_VOID(file->full_sync());

  header.generation = generation_ + 1;
  // Checked before the header goes out, so a commit never names an index it cannot account for.
  auto end = index_end(header.index_offset, header.index_length);
  if (!end) return std::unexpected(std::move(end).error());

  // Odd generations go to slot B, even ones to slot A: the slot not written keeps the previous commit.
  const std::uint64_t slot_offset = header.generation % 2 == 1 ? header::kSlotBOffset : header::kSlotAOffset;
  if (auto at = file->seek(slot_offset); !at) return std::unexpected(std::move(at).error());
  MOLARIUM_TRY_VOID(file->write_all(header::encode_header_slot(header)));
  MOLARIUM_TRY_VOID(file->full_sync());

  generation_ = header.generation;
  committed_end_ = *end;
  uncommitted_tail_ = false;
  // The commit is on stable storage; a failing close is still reported.
  return file->close();
}

Result<void> AtomDatabase::truncate_uncommitted_tail_if_needed() {
  if (!uncommitted_tail_) return {};
  auto file = File::open_write(path_);
  if (!file) return std::unexpected(std::move(file).error());
  auto length = file->length();
  if (!length) return std::unexpected(std::move(length).error());
  if (*length > committed_end_) {
    MOLARIUM_TRY_VOID(file->set_length(committed_end_));
    MOLARIUM_TRY_VOID(file->full_sync());
  }
  MOLARIUM_TRY_VOID(file->close());
  uncommitted_tail_ = false;
  return {};
}

std::optional<std::uint32_t> AtomDatabase::uncompressed_size(std::size_t i) const {
  const auto entry = index_.entry(i);
  if (!entry) return std::nullopt;
  return entry->uncompressed_len;
}

std::optional<std::uint32_t> AtomDatabase::num_atoms(std::size_t i) const {
  const auto entry = index_.entry(i);
  if (!entry) return std::nullopt;
  return entry->num_atoms;
}

std::optional<ByteView> AtomDatabase::get_compressed_slice(std::size_t i) const {
  const auto extent = mapped_record_extent(i);
  if (!extent) return std::nullopt;
  return data_mapping_->bytes().subspan(extent->first, extent->second);
}

std::optional<SharedMmapBytes> AtomDatabase::get_shared_mmap_bytes(std::size_t i) const {
  const auto extent = mapped_record_extent(i);
  if (!extent) return std::nullopt;
  return SharedMmapBytes{data_mapping_, extent->first, extent->first + extent->second};
}

std::optional<std::pair<std::size_t, std::size_t>> AtomDatabase::mapped_record_extent(std::size_t i) const {
  if (data_mapping_ == nullptr) return std::nullopt;
  const auto entry = index_.entry(i);
  // A record appended after the mapping was made, or an entry pointing outside the file.
  if (!entry || !range_within(entry->offset, entry->compressed_len, data_mapping_->size())) return std::nullopt;
  return std::pair{static_cast<std::size_t>(entry->offset), static_cast<std::size_t>(entry->compressed_len)};
}

}  // namespace molarium::storage
