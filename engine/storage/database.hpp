// One open database file: creating, opening (mapped or in memory), committing, appending
// records and reading them back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include <sys/types.h>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/compression.hpp"
#include "engine/error.hpp"
#include "engine/records/record_builder.hpp"
#include "engine/storage/file.hpp"
#include "engine/storage/index.hpp"
#include "engine/storage/mapping.hpp"
#include "engine/storage/schema.hpp"

namespace molarium::storage {

// A record handed over with its atom count (batch ingestion).
struct OwnedRecord {
  Bytes bytes;
  std::uint32_t num_atoms = 0;
};

// A record read for the duration of a call (view-backed molecules).
struct BorrowedRecord {
  ByteView bytes;
  std::uint32_t num_atoms = 0;
};

// A borrowed record whose positions type comes with it (views of differing schemas).
struct BorrowedRecordWithPositions {
  ByteView bytes;
  std::uint32_t num_atoms = 0;
  std::uint8_t positions_type = 4;
};

// A record as one read hands it over: a range of the data mapping, read in place, or the record
// decoded into bytes of its own. An in-place range is valid while the database that read it is
// open: the caller's shared access keeps it so, and no reference on the mapping is taken.
struct RecordBytes {
  std::variant<ByteView, Bytes> held;
  ByteView bytes() const;
};

// A record as a view keeps it: a range of the data mapping that keeps the mapping alive, so it
// outlives the database, or the record decoded into bytes of its own.
struct SharedRecordBytes {
  std::variant<SharedMmapBytes, Bytes> held;
  ByteView bytes() const;
};

// Exclusive operations (appends, flush, truncation) REQUIRE that no other operation runs on the
// database meanwhile; the Python layer's borrow flag guarantees it. Between handles, the first of
// them makes this handle the file's one writer: it takes the file's lock, held until the handle is
// destroyed (the commit protocol, database_commit.cpp). A handle that only reads takes no lock.
class AtomDatabase {
 public:
  AtomDatabase(AtomDatabase&&) noexcept = default;
  AtomDatabase& operator=(AtomDatabase&&) noexcept = default;
  AtomDatabase(const AtomDatabase&) = delete;
  AtomDatabase& operator=(const AtomDatabase&) = delete;
  ~AtomDatabase() = default;

  // Creates a fresh 8192-byte file at the path, as NewFile makes it (new_file.hpp): with `replace`
  // false a file already there is refused (Error::Kind::Exists); with it true an existing
  // regular file is replaced in one rename once the new one is whole, never truncated, so that a
  // live mapping of it keeps its pages.
  static Result<AtomDatabase> create_with_format(std::string path, compression::CompressionType compression,
                                                 bool replace = true);
  // populate is accepted and has no effect.
  static Result<AtomDatabase> open_with_options(std::string path, bool mapped, bool populate);

  // Commits everything appended since the last commit. Exclusive. Refused, with nothing written,
  // when another handle holds the lock (Error::Kind::Locked) or when this handle may no longer
  // write (Error::Kind::Stale).
  Result<void> flush();
  // Cuts the file back to the committed end when it had an uncommitted tail at open. Exclusive;
  // refused as flush is.
  Result<void> truncate_uncommitted_tail_if_needed();

  // --- State --------------------------------------------------------------------------------
  const std::string& path() const { return path_; }
  const index::IndexStorage& index() const { return index_; }
  std::size_t len() const { return index_.record_count(); }
  compression::CompressionType compression() const { return compression_; }
  const std::optional<schema::SchemaLock>& schema_lock() const { return schema_lock_; }
  std::uint64_t generation() const { return generation_; }
  std::uint64_t committed_end() const { return committed_end_; }
  std::uint32_t record_format() const { return record_format_; }
  // True for a handle opened with mmap: its whole file as it was at open is mapped. An unmapped
  // (or created) handle maps its committed region (see data_mapping_). Both read records alike;
  // callers that word or order failures by how the handle was opened ask this.
  bool opened_mapped() const { return opened_mapped_; }
  // True when the handle was opened mapped and its mapping holds record 0, so that its committed
  // records are read as a mapped handle's, with its messages. A handle mapped over a file that had
  // no committed record at open reads the records it appends as an unmapped handle does, with the
  // same messages.
  bool reads_from_mapping() const { return opened_mapped_ && get_compressed_slice(0).has_value(); }
  bool has_uncommitted_tail() const { return uncommitted_tail_; }

  // --- Per-record accessors (shared access) ---------------------------------------------------
  std::optional<std::uint32_t> uncompressed_size(std::size_t i) const;
  std::optional<std::uint32_t> num_atoms(std::size_t i) const;
  // Record i's stored bytes inside the data mapping; nothing without an entry, without a
  // mapping, or when the record lies beyond the mapping.
  std::optional<ByteView> get_compressed_slice(std::size_t i) const;
  std::optional<SharedMmapBytes> get_shared_mmap_bytes(std::size_t i) const;

  // --- Appending (exclusive) ------------------------------------------------------------------
  // On failure nothing is installed: the lock, the record format and the index are unchanged.
  // Refused as flush is.
  Result<void> add_molecule(const atom::Molecule& molecule);
  Result<void> add_molecules(std::span<const atom::Molecule* const> molecules);
  // The records are not parsed: the caller guarantees each matches the schema.
  Result<void> add_raw_soa_records_with_schema(std::span<const BorrowedRecord> records, const DatabaseSchema& schema);
  Result<void> add_raw_soa_records_with_positions_type(std::span<const BorrowedRecordWithPositions> records);
  // The records of a stacked batch, stored with the batch's schema, with the refusals of the raw
  // record paths. They are built block by block, each record once, from the batch's memory into a
  // staging block, and only inside `scope` (entered once per block); compressing and writing a
  // block happen outside it. A refusal of the scope fails the call as any failure does.
  // REQUIRES: inside the scope, the memory the records borrow is alive and is what they were
  // planned on.
  Result<void> add_stacked_records(const records::StackedRecords& records, const DatabaseSchema& schema,
                                   records::BuildScope& scope);
  // The lock as a schema, or nothing without a lock.
  std::optional<DatabaseSchema> schema_info() const;

  // --- Reading (shared access) ----------------------------------------------------------------
  // Every read of a record goes through one rule. The entry's lengths must agree when the file is
  // uncompressed, and a decoded record must be as long as the entry says: readers size their
  // parsing by the entry, so a damaged record is refused by every path alike. A record inside the
  // mapping is read from it (in place when the file is uncompressed); any other (appended after
  // the mapping was made, or an entry pointing past it) is read through the descriptor the handle
  // opened, never from outside the mapping, and never from a file that later took its path.

  // Record k: in place in the mapping when the file is uncompressed and the record is mapped,
  // otherwise decoded. "Index {k} out of bounds" when k has no entry.
  Result<SharedRecordBytes> record(std::size_t k) const;
  // The record of one entry of this database's index (see record_entries), without a reference
  // on the mapping: for a caller that holds shared access as long as it uses the bytes.
  Result<RecordBytes> record(const index::MoleculeIndex& entry) const;
  // Record `entry` as record(entry) reads it, with one difference: a record that has to be decoded
  // is decoded into `scratch`, which grows as needed and keeps its capacity, instead of into a new
  // buffer. The bytes are valid until scratch is next used or the database's shared access ends.
  // Bulk readers keep one scratch per thread, which spares an allocation, its zero-fill and its
  // release per record.
  Result<ByteView> record(const index::MoleculeIndex& entry, Bytes& scratch) const;
  // Each position's index entry, decoded once, in order; positions may repeat. A large
  // selection is looked up on the worker pool. "Index {k} out of bounds" for the first position,
  // in order, without an entry.
  Result<std::vector<index::MoleculeIndex>> record_entries(std::span<const std::size_t> positions) const;
  // An entry's stored bytes inside the data mapping; nothing without a mapping or when the record
  // lies beyond it. Lets a reader warm a selection's records before it reads them.
  std::optional<ByteView> get_compressed_slice(const index::MoleculeIndex& entry) const;

  // Each position's record as record(k) reads it, read on the worker pool. "Index {k} out of
  // bounds" for the first position, in order, without an entry; then the first read failure
  // recorded.
  Result<std::vector<SharedRecordBytes>> shared_records(std::span<const std::size_t> positions) const;

  Result<std::vector<Bytes>> get_raw_bytes(std::span<const std::size_t> positions) const;
  Result<std::pair<std::vector<Bytes>, std::vector<std::uint32_t>>> read_decompress_parallel(
      std::span<const std::size_t> positions) const;
  Result<std::vector<Bytes>> decompress_entries_parallel(std::span<const index::MoleculeIndex> entries) const;

 private:
  AtomDatabase() = default;
  static Result<AtomDatabase> open_v1(std::string path, File file, bool mapped);
  // Offset and length of record i inside the data mapping, checked against the mapping's size.
  std::optional<std::pair<std::size_t, std::size_t>> mapped_record_extent(std::size_t i) const;
  // A record read for an entry, as a view keeps it: an in-place range becomes a range of the data
  // mapping that holds a reference on it.
  SharedRecordBytes shared(const index::MoleculeIndex& entry, RecordBytes record) const;
  // Maps an unmapped handle's committed region, [0, committed end) or the whole file when it is
  // shorter, in place of its current mapping (invariant 11 of the commit protocol).
  Result<void> map_committed_region();

  // --- Writing, private steps (database_commit.cpp) --------------------------------------------
  // Makes this handle the file's writer (invariants 7 to 9 of the commit protocol): on the first
  // call takes the lock and checks the handle against the file; later calls check the process.
  // On a refusal nothing changes and the handle keeps reading.
  Result<void> begin_writing();
  // Invariant 8: refuses unless the newest commit in the file is the one this handle knows.
  Result<void> check_not_stale(File& file) const;
  // Invariant 10: overwrites a slot that names bytes past the end of the file with the slot that
  // holds the commit. REQUIRES: the lock, and check_not_stale passed on the same descriptor.
  Result<void> retire_slot_past_end(File& file);

  // --- Appending, private steps (database_append.cpp) -------------------------------------------
  // What an append installs once every record is in the file: the grown lock and the format.
  struct PreparedAppend {
    schema::SchemaLock lock;
    std::uint32_t record_format = 2;
  };
  // One record as it goes to the file, with the lengths its index entry records.
  struct StoredRecord {
    Bytes stored;
    std::uint32_t uncompressed_len = 0;
    std::uint32_t num_atoms = 0;
  };
  // Refuses a mapped index, becomes the writer, cuts an uncommitted tail, and grows a working copy of the lock by
  // the incoming lock (or by the records' own schemas). Installs nothing.
  Result<PreparedAppend> prepare_append(const schema::SchemaLock& incoming);
  Result<PreparedAppend> prepare_append(std::span<const BorrowedRecordWithPositions> records);
  Result<std::uint32_t> resolved_record_format_for_schema(const schema::SchemaLock& lock) const;
  // A format-2 database without records and without lock may still move to format 3.
  bool record_format_may_move_to_3() const;
  // The lock an append grows: a copy of the database's, the one rebuilt from its records, or empty.
  Result<schema::SchemaLock> working_schema_lock() const;
  // The lock of a database that holds records but has none, derived from every stored record.
  Result<schema::SchemaLock> rebuild_schema_lock() const;
  Result<void> append_owned_soa_records_prevalidated(std::vector<OwnedRecord> records,
                                                     const schema::SchemaLock& lock);
  Result<void> write_owned_records(std::vector<OwnedRecord> records, PreparedAppend prepared);
  Result<void> write_borrowed_records(std::span<const BorrowedRecord> records, PreparedAppend prepared);
  // Writes stacked records in blocks built in place (and compressed on the pool with a codec),
  // then installs as append_stored_records does, with the same refusals and the same cut-back.
  Result<void> write_stacked_records(const records::StackedRecords& records, PreparedAppend prepared,
                                     records::BuildScope& scope);
  // Writes the records at the end of the file, then extends the index and installs the lock and
  // format. On failure the file is cut back to its length before the call (invariant 6), and
  // nothing changes. REQUIRES: begin_writing() succeeded.
  Result<void> append_stored_records(std::vector<StoredRecord> records, PreparedAppend prepared);
  // Extends the index by the entries of records already in the file and installs the lock and
  // format; on failure cuts the file back to `start` (invariant 6) and changes nothing.
  Result<void> install_append(std::vector<index::MoleculeIndex> entries, PreparedAppend prepared, std::uint64_t start);

  std::string path_;
  index::IndexStorage index_;
  compression::CompressionType compression_;
  std::optional<schema::SchemaLock> schema_lock_;
  std::uint64_t generation_ = 0;
  std::uint64_t committed_end_ = 0;
  std::uint32_t record_format_ = 2;
  // Opened mapped: the whole file as it was at open, for the handle's life. Opened unmapped (or
  // created): the committed region, mapped again after each commit of this handle. Committed
  // bytes never change and never go (invariant 11), so a view may keep any of these mappings.
  std::shared_ptr<const FileMapping> data_mapping_;
  bool opened_mapped_ = false;
  // The descriptor the handle opened (or created) the file with, held for its life: records not in
  // the mapping are read through it, so a handle reads the file it opened even after another file
  // is put at its path. Only read and mapped, never locked or written.
  File file_;
  // A created handle's second read-write descriptor (new_file.hpp), of an open file description
  // of its own: the handle writes through it, so that no permission bits given to the file since
  // can refuse it. Closed in a forked child, which opens the path instead.
  ProcessFile creator_writer_;
  bool uncommitted_tail_ = false;
  // The file this handle read at open, to tell it from a file that later replaced it at the path.
  FileIdentity identity_;
  // The writer's read-write descriptor, holding the file's lock, and the process that took it,
  // which alone writes through it and releases the lock when the handle is destroyed there. No
  // mapping, no other handle and no other process shares its open file description: a forked
  // child's copy of the handle finds it closed, as inherited.
  ProcessFile writer_;
  // The block stacked records are built in before they are written, kept between appends so that
  // its pages are touched once per handle, not once per call.
  Bytes staging_;
  // Where the appended bytes not yet handed to File::start_writeback begin.
  std::uint64_t unhinted_from_ = 0;
};

}  // namespace molarium::storage
