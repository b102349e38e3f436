// Per-record compression: one LZ4 HC block or one zstd frame per record, no shared state.
#include "engine/compression.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include <lz4.h>
#include <lz4hc.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_decompressBound
#include <zstd.h>

namespace molarium::compression {
namespace {

constexpr std::uint64_t kLz4HintLimit = 1ull << 31;
constexpr std::uint64_t kZstdNoHintRatio = 10;
constexpr std::uint64_t kLz4NoHintRatio = 100;
// One byte of an LZ4 block decodes to at most 255 bytes (a match-length extension byte).
constexpr std::uint64_t kLz4MaxExpansion = 255;

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product;
  return checked_mul(a, b, product) ? product : std::numeric_limits<std::uint64_t>::max();
}

struct CCtxDeleter {
  void operator()(ZSTD_CCtx* cctx) const { ZSTD_freeCCtx(cctx); }
};
struct DCtxDeleter {
  void operator()(ZSTD_DCtx* dctx) const { ZSTD_freeDCtx(dctx); }
};

// Contexts are reused per thread: records are compressed on the worker pool, and creating a
// context per record costs more than compressing a small record.
ZSTD_CCtx* thread_cctx() {
  thread_local std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx(ZSTD_createCCtx());
  return cctx.get();
}
ZSTD_DCtx* thread_dctx() {
  thread_local std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
  return dctx.get();
}
// The HC state is a quarter megabyte; kept on the heap, not in thread-local storage itself.
void* thread_lz4hc_state() {
  thread_local std::unique_ptr<char[]> state(new char[static_cast<std::size_t>(LZ4_sizeofStateHC())]);
  return state.get();
}

// The codecs dereference their source pointer even for empty input; an empty span may have none.
const char* source_pointer(ByteView bytes) {
  static const std::uint8_t kNoBytes = 0;
  return reinterpret_cast<const char*>(bytes.empty() ? &kNoBytes : bytes.data());
}

// A buffer of `capacity` bytes that has a valid data pointer even when capacity is 0.
Bytes output_buffer(std::uint64_t capacity) { return Bytes(std::max<std::uint64_t>(capacity, 1)); }

Result<Bytes> compress_lz4(ByteView bytes) {
  if (bytes.size() > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) {
    return compression_error(cat("LZ4 compression failed: input of ", bytes.size(),
                                 " bytes exceeds the LZ4 block limit of ", LZ4_MAX_INPUT_SIZE, " bytes"));
  }
  const int source_size = static_cast<int>(bytes.size());
  const int bound = LZ4_compressBound(source_size);
  Bytes out = output_buffer(static_cast<std::uint64_t>(bound));
  const int written = LZ4_compress_HC_extStateHC(thread_lz4hc_state(), source_pointer(bytes),
                                                 reinterpret_cast<char*>(out.data()), source_size, bound,
                                                 kLz4HighCompressionLevel);
  if (written <= 0) return compression_error("LZ4 compression failed: the compressor produced no block");
  out.resize(static_cast<std::size_t>(written));
  return out;
}

Result<Bytes> compress_zstd(ByteView bytes, std::int32_t level) {
  ZSTD_CCtx* cctx = thread_cctx();
  if (cctx == nullptr) return compression_error("Zstd compression failed: cannot allocate a compression context");
  Bytes out = output_buffer(ZSTD_compressBound(bytes.size()));
  const std::size_t written = ZSTD_compressCCtx(cctx, out.data(), out.size(), bytes.data(), bytes.size(), level);
  if (ZSTD_isError(written)) return compression_error(cat("Zstd compression failed: ", ZSTD_getErrorName(written)));
  out.resize(written);
  return out;
}

Result<Bytes> decompress_zstd(ByteView stored, std::optional<std::uint64_t> size_hint) {
  const std::uint64_t capacity =
      size_hint ? *size_hint : std::min(saturating_mul(stored.size(), kZstdNoHintRatio), kMaxDecompressCapacity);
  // The capacity comes from an index entry; allocate no more than the frames can decode to, so
  // a damaged entry cannot force a multi-gigabyte buffer. Output beyond the capacity still fails.
  const unsigned long long bound = ZSTD_decompressBound(stored.data(), stored.size());
  const std::uint64_t allocation = bound == ZSTD_CONTENTSIZE_ERROR ? 0 : std::min<std::uint64_t>(capacity, bound);
  if (allocation > std::numeric_limits<std::size_t>::max()) {
    return compression_error("Zstd decompression failed: output does not fit in memory");
  }
  ZSTD_DCtx* dctx = thread_dctx();
  if (dctx == nullptr) return compression_error("Zstd decompression failed: cannot allocate a decompression context");
  Bytes out = output_buffer(allocation);
  const std::size_t written =
      ZSTD_decompressDCtx(dctx, out.data(), static_cast<std::size_t>(allocation), stored.data(), stored.size());
  if (ZSTD_isError(written)) return compression_error(cat("Zstd decompression failed: ", ZSTD_getErrorName(written)));
  out.resize(written);
  return out;
}

Result<Bytes> decompress_lz4(ByteView stored, std::optional<std::uint64_t> size_hint) {
  if (size_hint && *size_hint >= kLz4HintLimit) {
    return compression_error(cat("LZ4 decompressed-size hint ", *size_hint, " exceeds i32::MAX"));
  }
  if (stored.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return compression_error(cat("LZ4 decompression failed: block of ", stored.size(), " bytes is too large"));
  }
  const std::uint64_t capacity =
      size_hint ? *size_hint : std::min(saturating_mul(stored.size(), kLz4NoHintRatio), kMaxDecompressCapacity);
  // A block cannot decode to more than this, so a larger capacity would only be wasted memory.
  const std::uint64_t allocation = std::min(capacity, saturating_mul(stored.size(), kLz4MaxExpansion));
  Bytes out = output_buffer(allocation);
  const int written = LZ4_decompress_safe(source_pointer(stored), reinterpret_cast<char*>(out.data()),
                                          static_cast<int>(stored.size()), static_cast<int>(allocation));
  if (written < 0) {
    return compression_error(cat("LZ4 decompression failed: malformed block or output larger than ", capacity,
                                 " bytes"));
  }
  out.resize(static_cast<std::size_t>(written));
  return out;
}

}  // namespace

Result<Bytes> compress(ByteView bytes, const CompressionType& compression) {
  switch (compression.codec) {
    case Codec::None:
      return Bytes(bytes.begin(), bytes.end());
    case Codec::Lz4:
      return compress_lz4(bytes);
    case Codec::Zstd:
      return compress_zstd(bytes, compression.level);
  }
  return compression_error(cat("Unknown compression codec ", static_cast<int>(compression.codec)));
}

Result<Bytes> decompress(ByteView stored, const CompressionType& compression, std::optional<std::uint64_t> size_hint) {
  switch (compression.codec) {
    case Codec::None:
      return Bytes(stored.begin(), stored.end());
    case Codec::Lz4:
      return decompress_lz4(stored, size_hint);
    case Codec::Zstd:
      return decompress_zstd(stored, size_hint);
  }
  return compression_error(cat("Unknown compression codec ", static_cast<int>(compression.codec)));
}

std::optional<std::size_t> decompress_into(ByteView stored, const CompressionType& compression,
                                           std::span<std::uint8_t> out) {
  switch (compression.codec) {
    case Codec::None:
      if (stored.size() > out.size()) return std::nullopt;
      if (!stored.empty()) std::memcpy(out.data(), stored.data(), stored.size());
      return stored.size();
    case Codec::Lz4: {
      const std::size_t limit = static_cast<std::size_t>(std::numeric_limits<int>::max());
      if (stored.size() > limit || out.size() > limit) return std::nullopt;
      const int written = LZ4_decompress_safe(source_pointer(stored), reinterpret_cast<char*>(out.data()),
                                              static_cast<int>(stored.size()), static_cast<int>(out.size()));
      if (written < 0) return std::nullopt;
      return static_cast<std::size_t>(written);
    }
    case Codec::Zstd: {
      ZSTD_DCtx* dctx = thread_dctx();
      if (dctx == nullptr) return std::nullopt;
      const std::size_t written = ZSTD_decompressDCtx(dctx, out.data(), out.size(), stored.data(), stored.size());
      if (ZSTD_isError(written)) return std::nullopt;
      return written;
    }
  }
  return std::nullopt;
}

}  // namespace molarium::compression
