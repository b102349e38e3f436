// The database file's lifecycle: creating and opening (mapped or in memory), and the per-record
// accessors over the index and the data mapping. Committing is in database_commit.cpp.
#include "engine/storage/database.hpp"

#include <algorithm>
#include <limits>

#include "engine/storage/header.hpp"
#include "engine/storage/new_file.hpp"

namespace molarium::storage {
namespace {

constexpr std::size_t kFileIdentSize = 8;  // magic and version, checked before the slots are read

Result<Bytes> read_extent(File& file, std::uint64_t offset, std::uint64_t length) {
  // The slot rules bound the extent by the file length; check again before allocating.
  MOLARIUM_ASSIGN_OR_RETURN(auto file_length, file.length());
  if (!range_within(offset, length, file_length) || length > std::numeric_limits<std::size_t>::max()) {
    return io_error("failed to fill whole buffer");
  }
  MOLARIUM_TRY_VOID(file.seek(offset));
  Bytes bytes(static_cast<std::size_t>(length));
  MOLARIUM_TRY_VOID(file.read_exact(bytes.data(), bytes.size()));
  return bytes;
}

// The index of a committed file read in place from the mapping of the whole file. Entries are
// never copied; the count at the index offset must agree with the header, which sized the index.
Result<index::IndexStorage> map_index(std::shared_ptr<const FileMapping> mapping, const header::HeaderSlot& header) {
  const ByteView bytes = mapping->bytes();
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
  return index::IndexStorage::mapped(std::move(mapping), header.index_offset, header.record_count);
}

}  // namespace

Result<AtomDatabase> AtomDatabase::create_with_format(std::string path, compression::CompressionType compression,
                                                      bool replace) {
  // Never truncated in place: that would pull the pages from under any live mapping of the old
  // file (SIGBUS in whoever reads them). The new file is made whole beside it, then put at its name.
  header::HeaderSlot header;
  header.compression = compression;
  const header::SlotBytes slot = header::encode_header_slot(header);
  MOLARIUM_ASSIGN_OR_RETURN(auto made, make_new_file(path, replace, [&slot](File& file) -> Result<void> {
    MOLARIUM_TRY_VOID(file.write_all(slot));
    return file.write_all(slot);
  }));
  MOLARIUM_ASSIGN_OR_RETURN(auto identity, made.file.identity());

  AtomDatabase db;
  db.identity_ = identity;
  db.path_ = std::move(path);
  db.compression_ = compression;
  db.generation_ = header.generation;
  db.committed_end_ = header::kDataStart;
  db.record_format_ = header.record_format;
  // Kept, not closed, so that the handle reads the file it created: the maker has synced it and
  // reported any failure of the writes.
  db.file_ = std::move(made.file);
  db.creator_writer_ = std::move(made.writer);
  MOLARIUM_TRY_VOID(db.map_committed_region());
  return db;
}

Result<AtomDatabase> AtomDatabase::open_with_options(std::string path, bool mapped, bool /*populate*/) {
  MOLARIUM_ASSIGN_OR_RETURN(auto file, File::open_read(path));
  std::uint8_t ident[kFileIdentSize];
  MOLARIUM_TRY_VOID(file.read_exact(ident, sizeof ident));
  if (!std::equal(header::kMagic.begin(), header::kMagic.end(), ident + header::kMagicOffset)) {
    return invalid_data("Invalid file format");
  }
  const auto version = load_le<std::uint32_t>(ident + header::kVersionOffset);
  if (version != header::kVersion) {
    return invalid_data(cat("Unsupported file format version ", version, " (expected ", header::kVersion, ")"));
  }
  return open_v1(std::move(path), std::move(file), mapped);
}

Result<AtomDatabase> AtomDatabase::open_v1(std::string path, File file, bool mapped) {
  MOLARIUM_ASSIGN_OR_RETURN(auto header, header::read_best_header(file));
  if (header.record_format != 2 && header.record_format != 3) {
    return invalid_data(cat("Unsupported record format ", header.record_format, "."));
  }
  MOLARIUM_ASSIGN_OR_RETURN(auto committed_end, header::committed_end(header));
  MOLARIUM_ASSIGN_OR_RETURN(auto file_length, file.length());
  MOLARIUM_ASSIGN_OR_RETURN(auto identity, file.identity());

  AtomDatabase db;
  db.opened_mapped_ = mapped;
  if (mapped) {
    // Mapped through the descriptor that read the header: the path may name another file by now.
    MOLARIUM_ASSIGN_OR_RETURN(db.data_mapping_, FileMapping::map_prefix(file, file_length));
    if (header.index_offset != 0) {
      MOLARIUM_ASSIGN_OR_RETURN(db.index_, map_index(db.data_mapping_, header));
    }
  } else {
    db.uncommitted_tail_ = file_length > committed_end;
    if (header.index_offset != 0) {
      MOLARIUM_ASSIGN_OR_RETURN(auto bytes, read_extent(file, header.index_offset, header.index_length));
      MOLARIUM_ASSIGN_OR_RETURN(auto entries, index::decode_index(bytes));
      db.index_ = index::IndexStorage::owned(std::move(entries));
    }
  }

  if (header.schema_offset != 0 && header.schema_length != 0) {
    MOLARIUM_ASSIGN_OR_RETURN(auto blob, read_extent(file, header.schema_offset, header.schema_length));
    MOLARIUM_ASSIGN_OR_RETURN(db.schema_lock_, schema::decode_schema_lock(blob));
  }

  db.path_ = std::move(path);
  db.compression_ = header.compression;
  db.generation_ = header.generation;
  db.committed_end_ = committed_end;
  db.record_format_ = header.record_format;
  db.identity_ = identity;
  db.file_ = std::move(file);
  if (!mapped) MOLARIUM_TRY_VOID(db.map_committed_region());
  return db;
}

Result<void> AtomDatabase::map_committed_region() {
  MOLARIUM_ASSIGN_OR_RETURN(const auto file_length, file_.length());
  // A damaged file may end before its committed end; no page past the end of a file is mapped.
  MOLARIUM_ASSIGN_OR_RETURN(data_mapping_, FileMapping::map_prefix(file_, std::min(committed_end_, file_length)));
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
