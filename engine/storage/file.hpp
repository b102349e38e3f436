// POSIX file handles: exact reads and writes, seeks, length changes, full sync, checked close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/bytes.hpp"
#include "engine/error.hpp"

namespace molarium::storage {

// Owns one descriptor. Interrupted calls are repeated. A descriptor that was written should be
// closed with close() so that its failure is reported; the destructor closes silently.
class File {
 public:
  static Result<File> open_read(const std::string& path);
  static Result<File> open_write(const std::string& path);  // write-only, no create, no truncate
  static Result<File> create_truncate(const std::string& path);  // write-only, create, truncate, 0o666

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
  Result<void> close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Removes the directory entry at the path; a path that does not exist is not an error. A process
// that still maps or holds the old file keeps its bytes.
Result<void> remove_file_if_exists(const std::string& path);

}  // namespace molarium::storage
