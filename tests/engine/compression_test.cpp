// Per-record compression: round trips, stored formats checked with the codecs' own decoders,
// size hints and failures.
#include "engine/compression.hpp"

#include <gtest/gtest.h>
#include <lz4.h>
#include <zstd.h>

#include <algorithm>
#include <random>
#include <span>

namespace molarium::compression {
namespace {

// Half random bytes, half repetitive text, so every codec has something to squeeze and something not.
Bytes sample_record(std::size_t size) {
  Bytes bytes(size);
  std::mt19937 rng(42);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = i % 2 == 0 ? static_cast<std::uint8_t>(rng()) : 'a' + i % 7;
  return bytes;
}

void expect_compression_error(const Result<Bytes>& result, const std::string& message_prefix) {
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::Compression);
  EXPECT_EQ(result.error().message().rfind(message_prefix, 0), 0u) << result.error().message();
}

class RoundTrip : public ::testing::TestWithParam<CompressionType> {};

TEST_P(RoundTrip, DecompressGivesBackTheRecord) {
  for (std::size_t size : {0, 1, 100, 70000}) {
    const Bytes record = sample_record(size);
    auto stored = compress(record, GetParam());
    ASSERT_TRUE(stored) << stored.error().display();
    auto restored = decompress(*stored, GetParam(), record.size());
    ASSERT_TRUE(restored) << restored.error().display();
    EXPECT_EQ(*restored, record) << "size " << size;
  }
}

// Decoding into the caller's memory gives the record and its length when it fits, and nothing
// when it does not fit or the stored bytes are damaged.
TEST_P(RoundTrip, DecompressIntoGivesBackTheRecordOrNothing) {
  for (std::size_t size : {0, 1, 100, 70000}) {
    const Bytes record = sample_record(size);
    auto stored = compress(record, GetParam());
    ASSERT_TRUE(stored) << stored.error().display();
    Bytes out(size + 16, 0xEE);
    EXPECT_EQ(decompress_into(*stored, GetParam(), std::span(out.data(), size)), size) << "size " << size;
    EXPECT_TRUE(std::equal(record.begin(), record.end(), out.begin())) << "size " << size;
    EXPECT_EQ(out[size], 0xEE) << "wrote past the buffer, size " << size;
    EXPECT_EQ(decompress_into(*stored, GetParam(), std::span(out.data(), out.size())), size) << "size " << size;
    if (size > 0) {
      EXPECT_FALSE(decompress_into(*stored, GetParam(), std::span(out.data(), size - 1))) << size;
    }
  }
  if (GetParam().codec != Codec::None) {
    const Bytes garbage(64, 0xFF);
    Bytes out(4096);
    EXPECT_FALSE(decompress_into(garbage, GetParam(), std::span(out.data(), out.size())));
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, RoundTrip,
                         ::testing::Values(CompressionType::none(), CompressionType::lz4(), CompressionType::zstd(-7),
                                           CompressionType::zstd(-1), CompressionType::zstd(0),
                                           CompressionType::zstd(1), CompressionType::zstd(3),
                                           CompressionType::zstd(19)));

TEST(Compression, NoneStoresTheRecordAsItIs) {
  const Bytes record = sample_record(300);
  EXPECT_EQ(compress(record, CompressionType::none()), record);
  EXPECT_EQ(decompress(record, CompressionType::none(), 5), record);  // the hint is not used
}

TEST(Compression, Lz4StoresOneBareBlock) {
  const Bytes record = sample_record(5000);
  auto stored = compress(record, CompressionType::lz4());
  ASSERT_TRUE(stored);
  // No size prefix and no frame: the stored bytes are exactly a block LZ4 decodes to the record.
  Bytes decoded(record.size());
  const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(stored->data()), reinterpret_cast<char*>(decoded.data()),
                                    static_cast<int>(stored->size()), static_cast<int>(decoded.size()));
  ASSERT_EQ(n, static_cast<int>(record.size()));
  EXPECT_EQ(decoded, record);
}

TEST(Compression, ZstdStoresOneFrameAtTheGivenLevel) {
  const Bytes record = sample_record(5000);
  auto stored = compress(record, CompressionType::zstd(5));
  ASSERT_TRUE(stored);
  EXPECT_EQ(ZSTD_getFrameContentSize(stored->data(), stored->size()), record.size());
  EXPECT_EQ(ZSTD_findFrameCompressedSize(stored->data(), stored->size()), stored->size());
  Bytes decoded(record.size());
  EXPECT_EQ(ZSTD_decompress(decoded.data(), decoded.size(), stored->data(), stored->size()), record.size());
  EXPECT_EQ(decoded, record);

  // The level reaches zstd: a fast negative level compresses this text less well than level 19.
  const Bytes text(200000, 'x');
  Bytes varied = text;
  for (std::size_t i = 0; i < varied.size(); i += 13) varied[i] = static_cast<std::uint8_t>(i * 31);
  auto fast = compress(varied, CompressionType::zstd(-50));
  auto strong = compress(varied, CompressionType::zstd(19));
  ASSERT_TRUE(fast && strong);
  EXPECT_GT(fast->size(), strong->size());
}

TEST(Compression, Lz4HintOfTwoToThe31IsRefusedBeforeDecoding) {
  const Bytes garbage = {1, 2, 3};
  auto result = decompress(garbage, CompressionType::lz4(), 1ull << 31);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::Compression);
  EXPECT_EQ(result.error().message(), "LZ4 decompressed-size hint 2147483648 exceeds i32::MAX");
}

TEST(Compression, LargeHintsDoNotNeedLargeBuffers) {
  // A damaged index entry may claim gigabytes; a small record still decodes to what it holds.
  const Bytes record = sample_record(1000);
  auto lz4 = compress(record, CompressionType::lz4());
  ASSERT_TRUE(lz4);
  EXPECT_EQ(decompress(*lz4, CompressionType::lz4(), (1ull << 31) - 1), record);
  auto zstd = compress(record, CompressionType::zstd(3));
  ASSERT_TRUE(zstd);
  EXPECT_EQ(decompress(*zstd, CompressionType::zstd(3), 0xffffffffull), record);
}

TEST(Compression, ZstdHintSmallerThanContentFails) {
  const Bytes record = sample_record(1000);
  auto stored = compress(record, CompressionType::zstd(3));
  ASSERT_TRUE(stored);
  expect_compression_error(decompress(*stored, CompressionType::zstd(3), 999), "Zstd decompression failed: ");
}

TEST(Compression, Lz4HintSmallerThanContentFails) {
  const Bytes record = sample_record(1000);
  auto stored = compress(record, CompressionType::lz4());
  ASSERT_TRUE(stored);
  expect_compression_error(decompress(*stored, CompressionType::lz4(), 999), "LZ4 decompression failed: ");
}

TEST(Compression, Lz4HintLargerThanContentGivesWhatTheBlockHolds) {
  const Bytes record = sample_record(1000);
  auto stored = compress(record, CompressionType::lz4());
  ASSERT_TRUE(stored);
  EXPECT_EQ(decompress(*stored, CompressionType::lz4(), 5000), record);
}

TEST(Compression, WithoutHintCapacityIsBoundedByStoredSize) {
  const Bytes record = sample_record(3000);
  auto zstd = compress(record, CompressionType::zstd(1));
  ASSERT_TRUE(zstd);
  EXPECT_EQ(decompress(*zstd, CompressionType::zstd(1), std::nullopt), record);

  // A megabyte of zeros compresses far below a tenth of its size: more than the capacity allows.
  const Bytes zeros(1 << 20, 0);
  auto squeezed = compress(zeros, CompressionType::zstd(1));
  ASSERT_TRUE(squeezed);
  expect_compression_error(decompress(*squeezed, CompressionType::zstd(1), std::nullopt), "Zstd decompression failed: ");
}

TEST(Compression, DamagedStoredBytesFail) {
  const Bytes garbage = {0xde, 0xad, 0xbe, 0xef, 0x00, 0x11};
  expect_compression_error(decompress(garbage, CompressionType::zstd(3), 100), "Zstd decompression failed: ");
  expect_compression_error(decompress(garbage, CompressionType::lz4(), 100), "LZ4 decompression failed: ");
  expect_compression_error(decompress(Bytes{}, CompressionType::lz4(), 100), "LZ4 decompression failed: ");

  const Bytes record = sample_record(1000);
  auto stored = compress(record, CompressionType::zstd(3));
  ASSERT_TRUE(stored);
  stored->resize(stored->size() / 2);
  expect_compression_error(decompress(*stored, CompressionType::zstd(3), 1000), "Zstd decompression failed: ");
}

}  // namespace
}  // namespace molarium::compression
