// POSIX file handles: exact reads and writes, seeks, length changes, full sync, checked close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <sys/types.h>

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
  // Refuses what is not a regular file or a directory (a FIFO, a device, a socket) before opening
  // it, so that it neither waits nor acts on a device; a directory fails at its first read.
  static Result<File> open_read(const std::string& path);
  static Result<File> open_read_write(const std::string& path);  // no create, no truncate
  static Result<File> create_truncate(const std::string& path);  // read-write, create, truncate, 0o666
  // openat(2) relative to `folder` (AT_FDCWD: the working directory) with O_CLOEXEC, repeated
  // while interrupted; a created file gets `mode` before the process's umask. A descriptor, or -1
  // with errno set, for callers that tell errors apart.
  static int open_descriptor_at(int folder, const std::string& name, int flags, mode_t mode = 0666);
  static int open_descriptor(const std::string& path, int flags);
  // Takes ownership of a descriptor; -1 gives a closed File.
  static File adopt(int fd) { return File(fd); }

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
  // Gives up the descriptor without closing it.
  int release();

  // flock(LOCK_EX | LOCK_NB) on this descriptor's open file description: false, without waiting,
  // when another open file description of the file holds a lock. Unless unlocked, the lock goes
  // only with the last reference to the description: this descriptor, any copy a fork made, and
  // any mapping made through it, which a process that ends may tear down only after its parent
  // has reaped it. So a descriptor that carries the lock is never mapped, nor shared.
  Result<bool> try_lock_exclusive();
  // Releases this description's flock at once, whatever else still refers to it.
  void unlock();
  // The device and inode the descriptor refers to, which a path names only until it is replaced.
  Result<FileIdentity> identity() const;

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// A descriptor that serves only the process that made this object: a child forked from it closes
// its copy at the fork (pthread_atfork), so that no other process ever shares the descriptor's
// open file description, nor a flock on it. The child keeps the object, closed and marked as
// inherited. Destroyed in its own process, it releases any flock of its description at once
// (LOCK_UN), then closes it.
class ProcessFile {
 public:
  ProcessFile() = default;
  // Runs `open_descriptor`, which returns a new descriptor or -1 with errno set, again should a
  // fork copy the descriptor before the fork handler knows it, so that no child ever holds the
  // one kept. On failure the result is closed and errno is as `open_descriptor` left it.
  static ProcessFile open(const std::function<int()>& open_descriptor);
  ProcessFile(ProcessFile&&) noexcept;
  ProcessFile& operator=(ProcessFile&&) noexcept;
  ProcessFile(const ProcessFile&) = delete;
  ProcessFile& operator=(const ProcessFile&) = delete;
  ~ProcessFile();

  // False in a child forked since it was made.
  bool is_open() const;
  // Made in another process, of which this is a forked copy.
  bool inherited() const;
  // The process that made it.
  pid_t owner() const;
  // REQUIRES: is_open().
  File& file();

  struct Entry;

 private:
  void reset();
  Entry* entry_ = nullptr;  // owned; its address is what the fork handler finds
};

// An Io error naming the path unless the mode is a regular file's: "'{path}' is a FIFO, not a
// regular file", and so on for a directory, a device or a socket.
Result<void> refuse_unless_regular(const std::string& path, mode_t mode);

// The file the path names now, or nothing when no file is there.
Result<std::optional<FileIdentity>> identity_at(const std::string& path);

}  // namespace molarium::storage
