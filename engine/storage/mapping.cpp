// Read-only shared mappings of a whole file or of its first bytes.
#include "engine/storage/mapping.hpp"

#include <cerrno>
#include <limits>
#include <sys/mman.h>

#include "engine/storage/file.hpp"

namespace molarium::storage {

Result<std::shared_ptr<const FileMapping>> FileMapping::map_file(const std::string& path) {
  MOLARIUM_ASSIGN_OR_RETURN(auto file, File::open_read(path));
  MOLARIUM_ASSIGN_OR_RETURN(auto length, file.length());
  // The mapping stays valid after its descriptor is closed; a read-only close has nothing to report.
  return map_prefix(file, length);
}

Result<std::shared_ptr<const FileMapping>> FileMapping::map_prefix(const File& file, std::uint64_t length) {
  if (length > std::numeric_limits<std::size_t>::max()) return errno_error(ENOMEM);
  const auto size = static_cast<std::size_t>(length);
  // mmap refuses a length of 0; an empty file is an empty mapping.
  if (size == 0) return std::shared_ptr<const FileMapping>(new FileMapping(nullptr, 0));
  void* data = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file.fd(), 0);
  if (data == MAP_FAILED) return errno_error(errno);
  return std::shared_ptr<const FileMapping>(new FileMapping(static_cast<const std::uint8_t*>(data), size));
}

FileMapping::~FileMapping() {
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
}

}  // namespace molarium::storage
