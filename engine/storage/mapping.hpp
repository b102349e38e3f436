// Read-only shared mappings of a file or of its first bytes, and byte ranges that keep a mapping alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/bytes.hpp"
#include "engine/error.hpp"

namespace molarium::storage {

class File;

// One read-only shared mapping of a file as it was when mapped; unmapped on destruction.
class FileMapping {
 public:
  // Opens the path read-only, maps its current length, closes the descriptor.
  static Result<std::shared_ptr<const FileMapping>> map_file(const std::string& path);
  // Maps the first `length` bytes of an open file. REQUIRES: the file is at least that long and
  // stays so while mapped (reading a page past its end raises SIGBUS), and the descriptor is
  // readable. The mapping outlives the descriptor.
  static Result<std::shared_ptr<const FileMapping>> map_prefix(const File& file, std::uint64_t length);

  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping();

  ByteView bytes() const { return {data_, size_}; }
  std::size_t size() const { return size_; }

 private:
  FileMapping(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  const std::uint8_t* data_;
  std::size_t size_;
};

// A range of a database's data mapping that outlives the database.
// Made only by AtomDatabase (get_shared_mmap_bytes, record), which guarantees start <= end <= size.
struct SharedMmapBytes {
  std::shared_ptr<const FileMapping> mapping;
  std::size_t start = 0;
  std::size_t end = 0;

  ByteView as_slice() const { return mapping->bytes().subspan(start, end - start); }
  std::size_t size() const { return end - start; }
};

}  // namespace molarium::storage
