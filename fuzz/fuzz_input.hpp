// Shared helpers of the fuzz targets: parameters taken off the front of an input, files in memory
// that the engine can open by path, header slots with a matching checksum, and invariant checks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/bytes.hpp"
#include "engine/storage/header.hpp"

namespace molarium::fuzz {

// Takes parameters off the front of an input; past the end every byte reads as zero.
class FuzzInput {
 public:
  FuzzInput(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
  // The next `length` bytes, or fewer when the input ends first.
  ByteView take(std::size_t length) {
    const ByteView out = bytes_.first(std::min(length, bytes_.size()));
    bytes_ = bytes_.subspan(out.size());
    return out;
  }
  std::uint8_t byte() { return integer<std::uint8_t>(); }
  template <class T>
  T integer() {
    std::uint8_t raw[sizeof(T)] = {};
    const ByteView given = take(sizeof(T));
    std::copy(given.begin(), given.end(), raw);
    return load_le<T>(raw);
  }
  ByteView rest() { return take(bytes_.size()); }

 private:
  ByteView bytes_;
};

// A file in memory reachable by a path, so the engine can open, map, append to and sync it as a
// file on disk. Closed, and freed, with the object.
class MemoryFile {
 public:
  explicit MemoryFile(ByteView contents) : fd_(memfd_create("molarium-fuzz", 0)) {
    if (fd_ < 0 || ::write(fd_, contents.data(), contents.size()) != ssize_t(contents.size())) abort();
  }
  ~MemoryFile() { ::close(fd_); }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }
  // Sparse growth or a cut, to set the length a reader sees.
  void set_length(std::uint64_t length) {
    if (ftruncate(fd_, off_t(length)) != 0) abort();
  }

 private:
  int fd_;
};

// Makes the checksum of the whole header slot at `slot` match its fields, so decoding looks past it.
inline void repair_slot_checksum(std::uint8_t* slot) {
  using namespace storage::header;
  store_le<std::uint32_t>(slot + kChecksumOffset, adler32(ByteView(slot, kChecksumOffset)));
}

// Stops the fuzzer: an invariant of the code under test does not hold.
#define FUZZ_CHECK(condition)                                        \
  do {                                                               \
    if (!(condition)) {                                              \
      std::fprintf(stderr, "invariant failed: %s\n", #condition);    \
      std::abort();                                                  \
    }                                                                \
  } while (0)

}  // namespace molarium::fuzz
