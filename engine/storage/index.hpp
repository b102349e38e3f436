// The record index: one 20-byte entry per record, owned in memory or read in place from a
// read-only mapping of the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/mapping.hpp"

namespace molarium::storage::index {

// Index layout: u64 count | count * entry. Entry: u64 offset | u32 compressed length |
// u32 uncompressed length | u32 atom count (no padding, any alignment).
inline constexpr std::size_t kCountSize = 8;
inline constexpr std::size_t kEntrySize = 20;
inline constexpr std::size_t kOffsetField = 0;
inline constexpr std::size_t kCompressedLengthField = 8;
inline constexpr std::size_t kUncompressedLengthField = 12;
inline constexpr std::size_t kAtomCountField = 16;

// The refusal of every append to a database whose index is read in place from its mapping.
inline constexpr char kMappedIndexAppendRefusal[] =
    "Cannot add molecules to a database opened with a memory-mapped index (read-only); reopen without mmap to "
    "write.";

struct MoleculeIndex {
  std::uint64_t offset = 0;
  std::uint32_t compressed_len = 0;
  std::uint32_t uncompressed_len = 0;
  std::uint32_t num_atoms = 0;
  bool operator==(const MoleculeIndex&) const = default;
};

Bytes encode_index(std::span<const MoleculeIndex> entries);
Result<std::vector<MoleculeIndex>> decode_index(ByteView bytes);

// Owned entries, or entries read in place from the index's own mapping of the file.
class IndexStorage {
 public:
  IndexStorage() = default;  // owned, empty
  static IndexStorage owned(std::vector<MoleculeIndex> entries);
  static IndexStorage mapped(std::shared_ptr<const FileMapping> mapping, std::uint64_t index_offset,
                             std::uint64_t count);

  bool is_mapped() const { return mapping_ != nullptr; }
  std::size_t record_count() const;
  // Nothing when i is past the end, or when a mapped entry does not lie wholly in the mapping.
  std::optional<MoleculeIndex> entry(std::size_t i) const;
  // Owned entries; empty for a mapped index.
  std::span<const MoleculeIndex> owned_entries() const { return entries_; }

  // Appends to an owned index; refuses a mapped one. The entries are consumed either way.
  Result<void> extend(std::vector<MoleculeIndex> entries);

 private:
  std::vector<MoleculeIndex> entries_;
  std::shared_ptr<const FileMapping> mapping_;
  std::uint64_t index_offset_ = 0;
  std::uint64_t mapped_count_ = 0;
};

}  // namespace molarium::storage::index
