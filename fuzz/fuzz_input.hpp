// Shared helpers of the fuzz targets: splitting an input into parameters and byte strings, files
// in memory that the engine can open by path, and header slots with a matching checksum.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/bytes.hpp"
#include "engine/storage/header.hpp"

namespace molarium::fuzz {

// Takes parameters off the front of an input; past the end every value reads as zero.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}

  std::uint8_t byte() {
    if (bytes_.empty()) return 0;
    const std::uint8_t value = bytes_.front();
    bytes_ = bytes_.subspan(1);
    return value;
  }

  template <class T>
  T integer() {
    std::uint8_t raw[sizeof(T)] = {};
    for (auto& b : raw) b = byte();
    return load_le<T>(raw);
  }

  // The next `length` bytes, or fewer when the input ends first.
  ByteView take(std::size_t length) {
    const std::size_t n = length < bytes_.size() ? length : bytes_.size();
    ByteView out = bytes_.first(n);
    bytes_ = bytes_.subspan(n);
    return out;
  }

  ByteView rest() {
    ByteView out = bytes_;
    bytes_ = {};
    return out;
  }

 private:
  ByteView bytes_;
};

// A file that lives in memory and is reachable by a path, so the engine can open, map, append to
// and sync it as it would a file on disk. Closed (and freed) with the object.
class MemoryFile {
 public:
  explicit MemoryFile(ByteView contents) {
    fd_ = memfd_create("molarium-fuzz", 0);
    if (fd_ < 0) abort();
    std::size_t written = 0;
    while (written < contents.size()) {
      const ssize_t n = ::write(fd_, contents.data() + written, contents.size() - written);
      if (n <= 0) abort();
      written += static_cast<std::size_t>(n);
    }
    path_ = "/proc/self/fd/" + std::to_string(fd_);
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const std::string& path() const { return path_; }
  // Sparse growth or a cut, to set the length a reader sees.
  void set_length(std::uint64_t length) {
    if (ftruncate(fd_, static_cast<off_t>(length)) != 0) abort();
  }

 private:
  int fd_ = -1;
  std::string path_;
};

// Makes the checksum of the header slot at `slot` match its fields, so decoding looks past it.
// REQUIRES: `slot` points at a whole slot (kSlotSize bytes).
inline void repair_slot_checksum(std::uint8_t* slot) {
  using namespace storage::header;
  store_le<std::uint32_t>(slot + kChecksumOffset, adler32(ByteView(slot, kChecksumOffset)));
}

// Stops the fuzzer with a message: an invariant of the code under test does not hold.
[[noreturn]] inline void invariant_failed(const char* what) {
  std::fprintf(stderr, "invariant failed: %s\n", what);
  std::abort();
}

#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) ::molarium::fuzz::invariant_failed(#condition); \
  } while (0)

}  // namespace molarium::fuzz
