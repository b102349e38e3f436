// Appending records between commits: encoding molecules, merging their schemas into the lock,
// choosing the record format, compressing, writing at the end of the file, extending the index.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
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
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"

namespace molarium::storage {

namespace {

constexpr std::uint64_t kMaxIndexedLength = std::numeric_limits<std::uint32_t>::max();

// One molecule after encoding: its record, atom count and own schema.
struct EncodedMolecule {
  Bytes record;
  std::uint32_t num_atoms = 0;
  schema::SchemaLock lock;
};

Result<EncodedMolecule> encode_molecule(const atom::Molecule& molecule, std::uint32_t record_format) {
  MOLARIUM_ASSIGN_OR_RETURN(auto record, soa::serialize_molecule_soa(molecule, record_format));
  // The writer refuses an atom count that does not fit the record's u32 field.
  const auto num_atoms = static_cast<std::uint32_t>(molecule.atom_count());
  MOLARIUM_ASSIGN_OR_RETURN(auto lock, schema::schema_from_molecule(molecule));
  return EncodedMolecule{std::move(record), num_atoms, std::move(lock)};
}

// A record handed in as bytes is indexed with the atom count given beside it, and flat retrieval
// sizes its buffers from that count, so the count stored in the record must agree with it.
Result<void> check_raw_record(ByteView record, std::uint32_t num_atoms, std::size_t position) {
  if (record.size() < soa::kMinRecordSize) {
    return invalid_data(cat("Record ", position, " is ", record.size(),
                            " bytes, shorter than the smallest SOA record (", soa::kMinRecordSize, " bytes)"));
  }
  const auto stored = load_le<std::uint32_t>(record.data());
  if (stored != num_atoms) {
    return invalid_data(cat("Record ", position, " holds ", stored, " atoms but was given with an atom count of ",
                            num_atoms));
  }
  return {};
}

template <class Record>
Result<void> check_raw_records(std::span<const Record> records) {
  for (std::size_t i = 0; i < records.size(); ++i) {
    MOLARIUM_TRY_VOID(check_raw_record(records[i].bytes, records[i].num_atoms, i));
  }
  return {};
}

// The index holds both lengths as u32: refuse instead of truncating them.
Result<void> check_record_length(std::size_t length, std::size_t position) {
  if (length > kMaxIndexedLength) {
    return invalid_data(cat("Record ", position, " is ", length,
                            " bytes long, more than an index entry can hold (4294967295)"));
  }
  return {};
}

Result<void> check_stored_length(std::size_t length, std::size_t position) {
  if (length > kMaxIndexedLength) {
    return invalid_data(cat("Record ", position, " compresses to ", length,
                            " bytes, more than an index entry can hold (4294967295)"));
  }
  return {};
}

// The stored bytes of one record, refused when either length would not fit its index entry.
Result<Bytes> compress_record(ByteView record, std::size_t position, const compression::CompressionType& compression) {
  MOLARIUM_TRY_VOID(check_record_length(record.size(), position));
  MOLARIUM_ASSIGN_OR_RETURN(auto stored, compression::compress(record, compression));
  MOLARIUM_TRY_VOID(check_stored_length(stored.size(), position));
  return stored;
}

// The staging block of appends: a call of many small records costs one write system call per
// block instead of one per record.
constexpr std::size_t kStagingBytes = std::size_t{1} << 20;
// Once this many appended bytes are written, the kernel is asked to start writing them to the
// device, so that writing them back overlaps with the appends instead of following them in the
// commit's sync (on a file of 85 MiB, write plus sync took 62 ms alone, 37 ms with a hint every
// 1 or 2 MiB, 45 ms every 8 or 16 MiB).
constexpr std::uint64_t kWritebackBytes = std::uint64_t{2} << 20;
// Only whole pages, for every page size in use (up to 64 KiB), are handed over: the page the
// appended bytes end in is written again by the next append, which a page under writeback may
// make wait.
constexpr std::uint64_t kWritebackAlignment = std::uint64_t{64} << 10;

// Writes consecutive records through one staging buffer, so that a call of many small records
// costs one write system call per kStagingBytes instead of one per record; a record at least that
// large is written straight from its own bytes. The file receives the same bytes in the same
// order either way. REQUIRES: flush() before the file is closed.
class GroupedWriter {
 public:
  explicit GroupedWriter(File& file) : file_(file) {}

  Result<void> write(ByteView bytes) {
    if (staged_.size() + bytes.size() > kStagingBytes) MOLARIUM_TRY_VOID(flush());
    if (bytes.size() >= kStagingBytes) return file_.write_all(bytes);
    if (staged_.capacity() == 0) staged_.reserve(kStagingBytes);
    staged_.insert(staged_.end(), bytes.begin(), bytes.end());
    return {};
  }

  Result<void> flush() {
    if (staged_.empty()) return {};
    auto written = file_.write_all(staged_);
    staged_.clear();
    return written;
  }

 private:
  File& file_;
  Bytes staged_;
};

// Invariant 6 of the commit protocol (database_commit.cpp): bytes past `end` were written for
// records that will not be indexed, and nothing indexed, committed or mapped lies past `end`.
void cut_back_failed_append(File& file, std::uint64_t end) {
  if (file.set_length(end)) (void)file.full_sync();
}

}  // namespace

// --- Entry points -------------------------------------------------------------------------------

Result<void> AtomDatabase::add_molecule(const atom::Molecule& molecule) {
  const atom::Molecule* one[] = {&molecule};
  return add_molecules(one);
}

Result<void> AtomDatabase::add_molecules(std::span<const atom::Molecule* const> molecules) {
  if (molecules.empty()) return {};

  // An empty database without a lock has no stored record to disagree with: it may still move
  // to format 3 for the first molecule that needs it.
  std::uint32_t format = record_format_;
  if (record_format_may_move_to_3()) {
    for (const atom::Molecule* molecule : molecules) {
      if (soa::minimum_record_format_for_molecule(*molecule) == soa::kRecordFormatV3) {
        format = soa::kRecordFormatV3;
        break;
      }
    }
  }

  MOLARIUM_ASSIGN_OR_RETURN(auto encoded,
                            pool::parallel_map<EncodedMolecule>(molecules.size(), [&](std::size_t i) {
                              return encode_molecule(*molecules[i], format);
                            }));

  // The molecules of one call must agree with each other before they meet the file's lock.
  schema::SchemaLock merged;
  for (const EncodedMolecule& molecule : encoded) {
    MOLARIUM_TRY_VOID(schema::merge_schema_lock(merged, molecule.lock));
  }

  std::vector<OwnedRecord> records;
  records.reserve(encoded.size());
  for (EncodedMolecule& molecule : encoded) records.push_back({std::move(molecule.record), molecule.num_atoms});
  encoded.clear();
  return append_owned_soa_records_prevalidated(std::move(records), merged);
}

Result<void> AtomDatabase::add_raw_soa_records_with_schema(std::span<const BorrowedRecord> records,
                                                           const DatabaseSchema& schema) {
  if (records.empty()) return {};
  MOLARIUM_TRY_VOID(check_raw_records(records));
  MOLARIUM_ASSIGN_OR_RETURN(auto prepared, prepare_append(schema::from_database_schema(schema)));
  return write_borrowed_records(records, std::move(prepared));
}

Result<void> AtomDatabase::add_raw_soa_records_with_positions_type(
    std::span<const BorrowedRecordWithPositions> records) {
  if (records.empty()) return {};
  MOLARIUM_TRY_VOID(check_raw_records(records));
  MOLARIUM_ASSIGN_OR_RETURN(auto prepared, prepare_append(records));
  std::vector<BorrowedRecord> borrowed;
  borrowed.reserve(records.size());
  for (const BorrowedRecordWithPositions& record : records) borrowed.push_back({record.bytes, record.num_atoms});
  return write_borrowed_records(borrowed, std::move(prepared));
}

Result<void> AtomDatabase::add_stacked_records(const records::StackedRecords& records, const DatabaseSchema& schema,
                                               records::BuildScope& scope) {
  if (records.size() == 0) return {};
  MOLARIUM_ASSIGN_OR_RETURN(auto prepared, prepare_append(schema::from_database_schema(schema)));
  return write_stacked_records(records, std::move(prepared), scope);
}

std::optional<DatabaseSchema> AtomDatabase::schema_info() const {
  if (!schema_lock_) return std::nullopt;
  return schema::to_database_schema(*schema_lock_);
}

// --- Preparation --------------------------------------------------------------------------------

Result<std::uint32_t> AtomDatabase::resolved_record_format_for_schema(const schema::SchemaLock& lock) const {
  auto current = schema::validate_schema_lock_for_record_format(record_format_, lock);
  if (current) return record_format_;
  if (!record_format_may_move_to_3()) return std::unexpected(std::move(current).error());
  MOLARIUM_TRY_VOID(schema::validate_schema_lock_for_record_format(soa::kRecordFormatV3, lock));
  return soa::kRecordFormatV3;
}

bool AtomDatabase::record_format_may_move_to_3() const {
  return record_format_ == soa::kRecordFormatV2 && index_.record_count() == 0 && !schema_lock_;
}

Result<schema::SchemaLock> AtomDatabase::working_schema_lock() const {
  if (schema_lock_) return *schema_lock_;
  if (index_.record_count() > 0) return rebuild_schema_lock();
  return schema::SchemaLock{};
}

Result<schema::SchemaLock> AtomDatabase::rebuild_schema_lock() const {
  // Records are read through the ordinary read path in bounded batches, so that a large file
  // neither holds every record in memory nor skips the read path's bounds checks.
  constexpr std::size_t kBatch = 1024;
  schema::SchemaLock lock;
  const std::size_t count = index_.record_count();
  std::vector<index::MoleculeIndex> entries;
  for (std::size_t first = 0; first < count; first += kBatch) {
    entries.clear();
    for (std::size_t i = first; i < count && i < first + kBatch; ++i) {
      auto entry = index_.entry(i);
      if (!entry) return invalid_data(cat("Index ", i, " out of bounds"));
      entries.push_back(*entry);
    }
    MOLARIUM_ASSIGN_OR_RETURN(auto records, decompress_entries_parallel(entries));
    for (const Bytes& record : records) {
      MOLARIUM_ASSIGN_OR_RETURN(auto record_lock, schema::record_schema(record, record_format_, std::nullopt));
      MOLARIUM_TRY_VOID(schema::merge_schema_lock(lock, record_lock));
    }
  }
  return lock;
}

Result<AtomDatabase::PreparedAppend> AtomDatabase::prepare_append(const schema::SchemaLock& incoming) {
  if (index_.is_mapped()) return invalid_data(index::kMappedIndexAppendRefusal);
  // Before the schema lock grows: a stale handle's schema lock and format are not the file's.
  MOLARIUM_TRY_VOID(begin_writing());
  MOLARIUM_TRY_VOID(truncate_uncommitted_tail_if_needed());

  MOLARIUM_ASSIGN_OR_RETURN(auto format, resolved_record_format_for_schema(incoming));

  MOLARIUM_ASSIGN_OR_RETURN(auto lock, working_schema_lock());
  PreparedAppend prepared{std::move(lock), format};
  MOLARIUM_TRY_VOID(schema::merge_schema_lock(prepared.lock, incoming));
  return prepared;
}

Result<AtomDatabase::PreparedAppend> AtomDatabase::prepare_append(
    std::span<const BorrowedRecordWithPositions> records) {
  if (index_.is_mapped()) return invalid_data(index::kMappedIndexAppendRefusal);
  // Before the schema lock grows: a stale handle's schema lock and format are not the file's.
  MOLARIUM_TRY_VOID(begin_writing());
  MOLARIUM_TRY_VOID(truncate_uncommitted_tail_if_needed());

  MOLARIUM_ASSIGN_OR_RETURN(auto lock, working_schema_lock());
  PreparedAppend prepared{std::move(lock), record_format_};

  // A record that format 2 refuses moves a database that may still move to format 3, for this
  // record and every later one.
  const bool may_switch = record_format_may_move_to_3();
  for (const BorrowedRecordWithPositions& record : records) {
    auto record_lock = schema::record_schema(record.bytes, prepared.record_format, record.positions_type);
    if (!record_lock && may_switch && prepared.record_format == soa::kRecordFormatV2) {
      record_lock = schema::record_schema(record.bytes, soa::kRecordFormatV3, record.positions_type);
      if (record_lock) prepared.record_format = soa::kRecordFormatV3;
    }
    if (!record_lock) return std::unexpected(std::move(record_lock).error());
    MOLARIUM_TRY_VOID(schema::merge_schema_lock(prepared.lock, *record_lock));
  }
  return prepared;
}

// --- Writing ------------------------------------------------------------------------------------

Result<void> AtomDatabase::append_owned_soa_records_prevalidated(std::vector<OwnedRecord> records,
                                                                 const schema::SchemaLock& lock) {
  MOLARIUM_ASSIGN_OR_RETURN(auto prepared, prepare_append(lock));
  return write_owned_records(std::move(records), std::move(prepared));
}

Result<void> AtomDatabase::write_owned_records(std::vector<OwnedRecord> records, PreparedAppend prepared) {
  // Without a codec the stored bytes are the record itself, handed over instead of copied: too
  // little work per record to be worth waking the pool for.
  const bool hand_over = compression_.codec == compression::Codec::None;
  const std::size_t min_parallel = hand_over ? std::numeric_limits<std::size_t>::max() : 2;
  auto store = [&](std::size_t i) -> Result<StoredRecord> {
    Bytes record = std::move(records[i].bytes);  // released as soon as this record is compressed
    const std::uint32_t num_atoms = records[i].num_atoms;
    if (hand_over) {
      MOLARIUM_TRY_VOID(check_record_length(record.size(), i));
      const auto length = static_cast<std::uint32_t>(record.size());
      return StoredRecord{std::move(record), length, num_atoms};
    }
    // compress_record checks both lengths.
    MOLARIUM_ASSIGN_OR_RETURN(Bytes compressed, compress_record(record, i, compression_));
    return StoredRecord{std::move(compressed), static_cast<std::uint32_t>(record.size()), num_atoms};
  };
  MOLARIUM_ASSIGN_OR_RETURN(auto stored, pool::parallel_map<StoredRecord>(records.size(), store, min_parallel));
  records.clear();
  return append_stored_records(std::move(stored), std::move(prepared));
}

Result<void> AtomDatabase::write_borrowed_records(std::span<const BorrowedRecord> records, PreparedAppend prepared) {
  auto store = [&](std::size_t i) -> Result<StoredRecord> {
    MOLARIUM_ASSIGN_OR_RETURN(auto compressed, compress_record(records[i].bytes, i, compression_));
    return StoredRecord{std::move(compressed), static_cast<std::uint32_t>(records[i].bytes.size()),
                        records[i].num_atoms};
  };
  MOLARIUM_ASSIGN_OR_RETURN(auto stored, pool::parallel_map<StoredRecord>(records.size(), store));
  return append_stored_records(std::move(stored), std::move(prepared));
}

Result<void> AtomDatabase::append_stored_records(std::vector<StoredRecord> records, PreparedAppend prepared) {
  std::uint64_t start = 0;
  std::vector<index::MoleculeIndex> entries;
  entries.reserve(records.size());
  {
    MOLARIUM_ASSIGN_OR_RETURN(start, writer_.file().seek_end());

    std::optional<Error> failure;
    std::uint64_t offset = start;
    GroupedWriter writer(writer_.file());
    for (StoredRecord& record : records) {
      if (!checked_add(offset, record.stored.size(), offset)) {
        failure = Error(Error::Kind::InvalidData, "File offset overflow");
        break;
      }
      entries.push_back({offset - record.stored.size(), static_cast<std::uint32_t>(record.stored.size()),
                         record.uncompressed_len, record.num_atoms});
      auto written = writer.write(record.stored);
      if (!written) {
        failure = std::move(written).error();
        break;
      }
      Bytes().swap(record.stored);
    }
    if (!failure) {
      auto flushed = writer.flush();
      if (!flushed) failure = std::move(flushed).error();
    }
    if (failure) {
      cut_back_failed_append(writer_.file(), start);
      return std::unexpected(std::move(*failure));
    }
  }

  return install_append(std::move(entries), std::move(prepared), start);
}

Result<void> AtomDatabase::write_stacked_records(const records::StackedRecords& records, PreparedAppend prepared,
                                                 records::BuildScope& scope) {
  const std::size_t count = records.size();
  const std::uint32_t num_atoms = records.atom_count();
  const bool compressed = compression_.codec != compression::Codec::None;
  // The refusal the other append paths give, for the lowest record, before anything is written.
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < count; ++i) {
    MOLARIUM_TRY_VOID(check_record_length(records.length(i), i));
    if (!checked_add(total, records.length(i), total)) return invalid_data("File offset overflow");
  }

  MOLARIUM_ASSIGN_OR_RETURN(const std::uint64_t start, writer_.file().seek_end());
  // Without a codec every record's place is known now, and nothing is written yet to cut back.
  std::uint64_t file_end = 0;
  if (!compressed && !checked_add(start, total, file_end)) return invalid_data("File offset overflow");

  // A block is as many consecutive records as fit in kStagingBytes, or one larger record alone,
  // built on this thread and written (or compressed) at once, while its bytes are still in the
  // cache. Its memory is had before the first write, so a failure to get it leaves the file as it
  // was.
  const std::size_t block_capacity =
      static_cast<std::size_t>(std::min(total, std::max<std::uint64_t>(kStagingBytes, records.max_length())));
  if (staging_.size() < block_capacity) staging_.resize(block_capacity);
  // Bytes cut back since the last hint are gone: the hints go on from here.
  unhinted_from_ = std::min(unhinted_from_, start);

  std::vector<index::MoleculeIndex> entries;
  entries.reserve(count);
  std::vector<std::uint64_t> places;  // where each record of the block starts in the staging block
  std::uint64_t offset = start;
  std::optional<Error> failure;
  for (std::size_t first = 0; first < count && !failure;) {
    std::size_t end = first;
    std::uint64_t block_bytes = 0;
    places.clear();
    do {
      places.push_back(block_bytes);
      block_bytes += records.length(end);
      ++end;
    } while (end < count && block_bytes + records.length(end) <= kStagingBytes);

    // The only stretch in which the batch's memory is read.
    if (auto entered = scope.enter(); !entered) {
      failure = std::move(entered).error();
      break;
    }
    for (std::size_t i = first; i < end; ++i) records.write(i, staging_.data() + places[i - first]);
    scope.leave();

    if (!compressed) {
      for (std::size_t i = first; i < end; ++i) {
        const auto length = static_cast<std::uint32_t>(records.length(i));
        entries.push_back({offset, length, length, num_atoms});
        offset += length;
      }
      auto written = writer_.file().write_all(ByteView(staging_.data(), static_cast<std::size_t>(block_bytes)));
      if (!written) failure = std::move(written).error();
    } else {
      auto stored = pool::parallel_map<Bytes>(end - first, [&](std::size_t k) {
        const ByteView record(staging_.data() + places[k], static_cast<std::size_t>(records.length(first + k)));
        return compress_record(record, first + k, compression_);
      });
      if (!stored) {
        failure = std::move(stored).error();
        break;
      }
      GroupedWriter writer(writer_.file());
      for (std::size_t k = 0; k < stored->size() && !failure; ++k) {
        const Bytes& bytes = (*stored)[k];
        if (!checked_add(offset, bytes.size(), offset)) {
          failure = Error(Error::Kind::InvalidData, "File offset overflow");
          break;
        }
        entries.push_back({offset - bytes.size(), static_cast<std::uint32_t>(bytes.size()),
                           static_cast<std::uint32_t>(records.length(first + k)), num_atoms});
        auto written = writer.write(bytes);
        if (!written) failure = std::move(written).error();
      }
      if (!failure) {
        auto flushed = writer.flush();
        if (!flushed) failure = std::move(flushed).error();
      }
    }
    if (failure) break;

    const std::uint64_t whole_pages_end = offset / kWritebackAlignment * kWritebackAlignment;
    if (whole_pages_end > unhinted_from_ && whole_pages_end - unhinted_from_ >= kWritebackBytes) {
      writer_.file().start_writeback(unhinted_from_, whole_pages_end - unhinted_from_);
      unhinted_from_ = whole_pages_end;
    }
    first = end;
  }
  // A record larger than a block needed more memory only for this call.
  if (staging_.size() > kStagingBytes) Bytes().swap(staging_);
  if (failure) {
    cut_back_failed_append(writer_.file(), start);
    return std::unexpected(std::move(*failure));
  }
  return install_append(std::move(entries), std::move(prepared), start);
}

Result<void> AtomDatabase::install_append(std::vector<index::MoleculeIndex> entries, PreparedAppend prepared,
                                          std::uint64_t start) {
  // Every record is in the file: only now does the database take the grown lock, the format and
  // the new entries, so a failed append leaves nothing for the next commit to write.
  auto extended = index_.extend(std::move(entries));
  if (!extended) {
    cut_back_failed_append(writer_.file(), start);
    return extended;
  }
  schema_lock_ = std::move(prepared.lock);
  record_format_ = prepared.record_format;
  return {};
}

}  // namespace molarium::storage
