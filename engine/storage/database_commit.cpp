// The commit protocol: becoming a file's one writer, cutting an uncommitted tail, and committing.
//
// A database file is two 4096-byte header slots (A at 0, B at 4096), then records, schema blobs and
// indexes in the order they were written. A slot names the commit's index and schema blob; the
// committed end is the end of the last of them (the data start without either). Every writer
// keeps these:
//
//  1. The commit. Of the valid slots, the one with the higher generation holds the commit; on a tie
//     slot A wins.
//  2. Slot parity. Generation g goes to slot B when g is odd and to slot A when g is even, so a
//     commit never overwrites the slot holding the commit before it: a torn slot write fails its
//     checksum and the previous commit stays readable.
//  3. Generations grow. A commit's generation is one more than the one it replaces. A generation
//     that cannot grow is refused before anything is written, since an equal one would tie and
//     lose the commit to slot A (invariant 1).
//  4. Sync before the header. Records, then the schema blob and the index are written and synced
//     before the slot that names them; the slot is synced before the commit is reported.
//  5. Append only. Below the committed end nothing but a header slot is ever written again;
//     everything else goes at the end of the file.
//  6. The cut-back. Bytes past the committed end belong to no commit. A failed append cuts the file
//     back to its length before the call (best effort: bytes left behind are never referenced, and
//     every later write goes after them); a writer cuts a tail it finds before its first write.
//  7. One writer. A handle takes flock(LOCK_EX) before its first write (append, tail cut or flush)
//     on a read-write descriptor whose open file description nothing else shares: not the one it
//     reads and maps, nor any other handle's, nor any other process's (a forked child closes its
//     copy at the fork). Every write goes through that descriptor. A lock held elsewhere is
//     refused at once, never waited for. A call that took the lock and is then refused releases
//     it at once (LOCK_UN); otherwise the handle holds it until it is destroyed, which releases
//     it at once. No mapping and no other process refers to it, so a writer that dies leaves no
//     lock once it has been reaped. A handle that only reads takes no lock.
//  8. No stale writer. When the lock is taken, and in every flush before anything is written, the
//     newest commit in the file must be the one the handle knows (generation and committed end),
//     and the file must be the one it opened and still the one at its path; otherwise the call is
//     refused and nothing is written. Without this, a handle opened before another handle's
//     commit would write an index that drops that commit.
//  9. One process. The lock belongs to the process that took it. A forked child's copy of a
//     handle that holds it finds its descriptor closed, and refuses to write; so does a copy of a
//     created handle, through whose second descriptor only its own process writes: the child
//     opens the path instead, as an opened handle does.
// 10. No slot past the end. A slot that names bytes past the end of the file is invalid (1), but
//     growing the file would make it valid again, and with a higher generation it would then hold
//     the commit in place of every later one. No writer leaves one behind (4 and 6 keep every
//     slot's bytes in the file), so under the lock it is damage: a lost write or a cut file. When
//     the lock is taken, before anything else is written, such a slot is overwritten with the
//     other slot, which holds the commit; both then hold it, as in a new file.
// 11. Committed bytes stay. By 5 and 6 no byte below a committed end is ever written again, except
//     a header slot, or cut away: a stale writer cuts nothing (8), and a cut-back only reaches
//     past the newest committed end. So a handle maps its file up to the committed end it knows
//     and reads records there in place, and a view may keep that mapping after later appends,
//     commits and cut-backs; a page past the end of a file would raise SIGBUS, but none is mapped.
#include <fcntl.h>
#include <unistd.h>

#include <limits>
#include <optional>
#include <utility>

#include "engine/storage/database.hpp"
#include "engine/storage/header.hpp"

namespace molarium::storage {

Result<void> AtomDatabase::begin_writing() {
  // Invariant 9.
  if (writer_.inherited()) {
    return stale_handle(cat("This handle to the database file '", path_, "' was inherited across fork from process ",
                            writer_.owner(), ", which holds its write lock; open a new handle in this process to write. "
                            "Nothing was written"));
  }
  if (writer_.is_open()) return {};
  // Invariant 7. The handle that created the file writes through the second descriptor made with
  // it, which no permission bits given to the file since can refuse; in a forked child that
  // descriptor is closed, and the child opens the path.
  ProcessFile opened;
  if (!creator_writer_.is_open()) {
    opened = ProcessFile::open([this] { return File::open_descriptor(path_, O_RDWR); });
    if (!opened.is_open()) return errno_error(errno);
  }
  ProcessFile& writer = opened.is_open() ? opened : creator_writer_;
  File& file = writer.file();
  MOLARIUM_ASSIGN_OR_RETURN(auto locked, file.try_lock_exclusive());
  if (!locked) {
    return locked_error(cat("Another handle is writing the database file '", path_,
                            "'; one handle at a time may write, until it is dropped. Nothing was written"));
  }
  // Until every check has passed the lock is not the handle's: a refusal releases it at once.
  auto length = [&]() -> Result<std::uint64_t> {
    MOLARIUM_TRY_VOID(check_not_stale(file));       // invariant 8
    MOLARIUM_TRY_VOID(retire_slot_past_end(file));  // invariant 10
    return file.length();
  }();
  if (!length) {
    file.unlock();
    return std::unexpected(std::move(length).error());
  }

  writer_ = std::move(writer);
  // Invariant 6: under the lock, bytes past the commit are a writer's that ended without
  // committing, also when they were written after this handle was opened.
  if (*length > committed_end_) uncommitted_tail_ = true;
  return {};
}

Result<void> AtomDatabase::check_not_stale(File& file) const {
  // The file written must be the one this handle read, and still the one at the path: a commit
  // to a file that another was put in place of is seen by no later open.
  MOLARIUM_ASSIGN_OR_RETURN(auto written, file.identity());
  MOLARIUM_ASSIGN_OR_RETURN(auto at_path, identity_at(path_));
  if (written != identity_ || at_path != identity_) {
    return stale_handle(cat("The database file '", path_,
                            "' was replaced since this handle was opened; reopen it to write. Nothing was written"));
  }
  MOLARIUM_ASSIGN_OR_RETURN(auto newest, header::read_best_header(file));
  MOLARIUM_ASSIGN_OR_RETURN(auto end, header::committed_end(newest));
  if (newest.generation == generation_ && end == committed_end_) return {};
  return stale_handle(cat("The database file '", path_,
                          "' was committed by another handle since this one was opened (commit generation ",
                          newest.generation, " in the file, ", generation_,
                          " in this handle); reopen it to write. Nothing was written"));
}

Result<void> AtomDatabase::retire_slot_past_end(File& file) {
  MOLARIUM_ASSIGN_OR_RETURN(const std::optional<header::SlotPastEnd> past_end, header::find_slot_past_end(file));
  if (!past_end) return {};
  // A torn write here fails the slot's checksum, which leaves it invalid for good.
  MOLARIUM_TRY_VOID(file.seek(past_end->offset));
  MOLARIUM_TRY_VOID(file.write_all(past_end->other));
  return file.full_sync();
}

Result<void> AtomDatabase::truncate_uncommitted_tail_if_needed() {
  if (!uncommitted_tail_) return {};
  MOLARIUM_TRY_VOID(begin_writing());
  MOLARIUM_ASSIGN_OR_RETURN(auto length, writer_.file().length());
  if (length > committed_end_) {
    MOLARIUM_TRY_VOID(writer_.file().set_length(committed_end_));
    MOLARIUM_TRY_VOID(writer_.file().full_sync());
  }
  uncommitted_tail_ = false;
  return {};
}

Result<void> AtomDatabase::flush() {
  if (index_.is_mapped()) {
    return invalid_data(
        "Cannot flush a database opened with a memory-mapped index (read-only); reopen without mmap to write.");
  }
  // Invariant 3. Only a damaged or foreign file gets here.
  if (generation_ == std::numeric_limits<std::uint64_t>::max()) {
    return invalid_data(cat("Commit generation ", generation_, " cannot be advanced"));
  }
  MOLARIUM_TRY_VOID(begin_writing());
  // Invariant 8 again: the lock was perhaps taken long ago, by an append.
  MOLARIUM_TRY_VOID(check_not_stale(writer_.file()));
  MOLARIUM_TRY_VOID(truncate_uncommitted_tail_if_needed());

  const Bytes index_bytes = index::encode_index(index_.owned_entries());
  std::optional<Bytes> schema_blob;
  if (schema_lock_) {
    MOLARIUM_ASSIGN_OR_RETURN(schema_blob, schema::encode_schema_lock(*schema_lock_));
  }

  header::HeaderSlot header;
  header.compression = compression_;
  header.record_count = index_.record_count();
  header.record_format = record_format_;
  if (schema_blob) {
    MOLARIUM_ASSIGN_OR_RETURN(auto schema_offset, writer_.file().seek_end());
    MOLARIUM_TRY_VOID(writer_.file().write_all(*schema_blob));
    header.schema_offset = schema_offset;
    header.schema_length = schema_blob->size();
  }
  MOLARIUM_ASSIGN_OR_RETURN(auto index_offset, writer_.file().seek_end());
  MOLARIUM_TRY_VOID(writer_.file().write_all(index_bytes));
  header.index_offset = index_offset;
  header.index_length = index_bytes.size();
  MOLARIUM_TRY_VOID(writer_.file().full_sync());  // invariant 4

  header.generation = generation_ + 1;
  // Checked before the slot goes out, so a commit never names an index it cannot account for.
  MOLARIUM_ASSIGN_OR_RETURN(auto end, header::committed_end(header));

  // Invariant 2.
  const std::uint64_t slot_offset = header.generation % 2 == 1 ? header::kSlotBOffset : header::kSlotAOffset;
  MOLARIUM_TRY_VOID(writer_.file().seek(slot_offset));
  MOLARIUM_TRY_VOID(writer_.file().write_all(header::encode_header_slot(header)));
  MOLARIUM_TRY_VOID(writer_.file().full_sync());

  generation_ = header.generation;
  committed_end_ = end;
  uncommitted_tail_ = false;
  // The records just committed are read from the mapping from now on (invariant 11). Should the
  // new mapping fail, the old one stays and they are read through the descriptor, as before the
  // commit: the commit itself has succeeded.
  if (!opened_mapped_) (void)map_committed_region();
  return {};
}

}  // namespace molarium::storage
