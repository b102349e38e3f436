// The record index: its byte format and its owned and mapped forms.
#include "engine/storage/index.hpp"

namespace molarium::storage::index {
namespace {

MoleculeIndex load_entry(const std::uint8_t* p) {
  return MoleculeIndex{
      .offset = load_le<std::uint64_t>(p + kOffsetField),
      .compressed_len = load_le<std::uint32_t>(p + kCompressedLengthField),
      .uncompressed_len = load_le<std::uint32_t>(p + kUncompressedLengthField),
      .num_atoms = load_le<std::uint32_t>(p + kAtomCountField),
  };
}

}  // namespace

Bytes encode_index(std::span<const MoleculeIndex> entries) {
  Bytes out;
  out.reserve(kCountSize + entries.size() * kEntrySize);
  append_le<std::uint64_t>(out, entries.size());
  for (const MoleculeIndex& entry : entries) {
    append_le<std::uint64_t>(out, entry.offset);
    append_le<std::uint32_t>(out, entry.compressed_len);
    append_le<std::uint32_t>(out, entry.uncompressed_len);
    append_le<std::uint32_t>(out, entry.num_atoms);
  }
  return out;
}

Result<std::vector<MoleculeIndex>> decode_index(ByteView bytes) {
  if (bytes.size() < kCountSize) return invalid_data("Index too small");
  const auto count = load_le<std::uint64_t>(bytes.data());
  std::uint64_t entries_length;
  std::uint64_t expected;
  if (!checked_mul(count, kEntrySize, entries_length) || !checked_add(entries_length, kCountSize, expected)) {
    return invalid_data("Index length overflow");
  }
  if (expected != bytes.size()) {
    return invalid_data(cat("Index length mismatch (expected ", expected, ", got ", bytes.size(), ")"));
  }
  // The count is now bounded by the bytes actually present, so the allocation is too.
  std::vector<MoleculeIndex> entries;
  entries.reserve(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < count; ++i) entries.push_back(load_entry(bytes.data() + kCountSize + i * kEntrySize));
  return entries;
}

IndexStorage IndexStorage::owned(std::vector<MoleculeIndex> entries) {
  IndexStorage index;
  index.entries_ = std::move(entries);
  return index;
}

IndexStorage IndexStorage::mapped(std::shared_ptr<const FileMapping> mapping, std::uint64_t index_offset,
                                  std::uint64_t count) {
  IndexStorage index;
  index.mapping_ = std::move(mapping);
  index.index_offset_ = index_offset;
  index.mapped_count_ = count;
  return index;
}

std::size_t IndexStorage::record_count() const {
  return is_mapped() ? static_cast<std::size_t>(mapped_count_) : entries_.size();
}

std::optional<MoleculeIndex> IndexStorage::entry(std::size_t i) const {
  if (!is_mapped()) {
    if (i >= entries_.size()) return std::nullopt;
    return entries_[i];
  }
  if (i >= mapped_count_) return std::nullopt;
  std::uint64_t entry_offset;
  if (!checked_mul(i, kEntrySize, entry_offset) || !checked_add(entry_offset, index_offset_, entry_offset) ||
      !checked_add(entry_offset, kCountSize, entry_offset) ||
      !range_within(entry_offset, kEntrySize, mapping_->size())) {
    return std::nullopt;
  }
  return load_entry(mapping_->bytes().data() + entry_offset);
}

Result<void> IndexStorage::extend(std::vector<MoleculeIndex> entries) {
  if (is_mapped()) return invalid_data(kMappedIndexAppendRefusal);
  if (entries_.empty()) {
    entries_ = std::move(entries);
  } else {
    entries_.insert(entries_.end(), entries.begin(), entries.end());
  }
  return {};
}

}  // namespace molarium::storage::index
