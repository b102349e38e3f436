// Per-record compression: none, LZ4 block in high-compression mode, or zstd at the file's level.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "engine/bytes.hpp"
#include "engine/error.hpp"

namespace molarium::compression {

enum class Codec : std::uint8_t { None = 0, Lz4 = 1, Zstd = 2 };

// The codec of a database with its level; the level belongs to zstd only.
struct CompressionType {
  Codec codec = Codec::None;
  std::int32_t level = 0;

  static CompressionType none() { return {Codec::None, 0}; }
  static CompressionType lz4() { return {Codec::Lz4, 0}; }
  static CompressionType zstd(std::int32_t level) { return {Codec::Zstd, level}; }
  bool operator==(const CompressionType&) const = default;
};

inline constexpr int kLz4HighCompressionLevel = 12;
inline constexpr std::uint64_t kMaxDecompressCapacity = 1ull << 30;  // without a size hint

// The stored bytes of one record.
Result<Bytes> compress(ByteView bytes, const CompressionType& compression);

// The record bytes from its stored bytes. Every caller passes the index entry's uncompressed
// length as size_hint.
Result<Bytes> decompress(ByteView stored, const CompressionType& compression,
                         std::optional<std::uint64_t> size_hint);

// Decodes stored bytes into `out`, the caller's memory, and returns how many bytes were written;
// nothing when the codec fails or the record does not fit `out` (the caller then decodes through
// decompress, which words the failure). For readers that decode many records into one reused
// buffer instead of allocating one per record.
std::optional<std::size_t> decompress_into(ByteView stored, const CompressionType& compression,
                                           std::span<std::uint8_t> out);

}  // namespace molarium::compression
