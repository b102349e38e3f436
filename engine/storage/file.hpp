// POSIX file handles: exact reads and writes, seeks, length changes, full sync, checked close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/bytes.hpp"
#include "engine/error.hpp"

namespace molarium::storage {

// Which file a descriptor refers to.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Owns one descriptor. Interrupted calls are repeated. A descriptor that was written should be
// closed with close() so that its failure is reported; the destructor closes silently.
class File {
 public:
  static Result<File> open_read(const std::string& path);
  static Result<File> open_write(const std::string& path);  // write-only, no create, no truncate
  static Result<File> open_read_write(const std::string& path);  // no create, no truncate
  static Result<File> create_truncate(const std::string& path);  // read-write, create, truncate, 0o666
  // A new, empty file in place of the one the path resolves to (through any symbolic links, which
  // keep naming it), with the old file's permission bits; read-write. The old file is removed, not
  // truncated: a process that still maps or holds it keeps its bytes. Without a file at the path,
  // as create_truncate.
  static Result<File> create_replacing(const std::string& path);

  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Fails with "failed to fill whole buffer" when the file ends early.
  Result<void> read_exact(void* buffer, std::size_t length);
  // Fails with "failed to write whole buffer" when a write makes no progress.
  Result<void> write_all(ByteView bytes);
  // Positional forms that leave the file offset alone.
  Result<void> read_exact_at(void* buffer, std::size_t length, std::uint64_t offset) const;

  Result<std::uint64_t> seek(std::uint64_t offset);
  Result<std::uint64_t> seek_end();
  Result<std::uint64_t> length() const;
  Result<void> set_length(std::uint64_t length);
  // The platform's strongest flush of data and metadata (F_FULLFSYNC where it exists).
  Result<void> full_sync();
  // Asks the kernel to start writing [offset, offset + length) to the device now, without waiting
  // (Linux; nothing elsewhere), so that the next full_sync finds less to write. A hint: it neither
  // orders nor promises anything, and a failure of the write is reported by the next full_sync.
  void start_writeback(std::uint64_t offset, std::uint64_t length) const;
  Result<void> close();

  // flock(LOCK_EX | LOCK_NB) on this descriptor's open file description: false, without waiting,
  // when another open file description of the file holds a lock. The lock goes with the last
  // descriptor of the description (this one and any copy a fork made), never with a mapping.
  Result<bool> try_lock_exclusive();
  // The device and inode the descriptor refers to, which a path names only until it is replaced.
  Result<FileIdentity> identity() const;

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// The file the path names now, or nothing when no file is there.
Result<std::optional<FileIdentity>> identity_at(const std::string& path);

}  // namespace molarium::storage
