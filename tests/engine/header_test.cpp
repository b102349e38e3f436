// Header slots: byte layout, checksum, the validity rules and the choice between the two slots.
#include "engine/storage/header.hpp"

#include <gtest/gtest.h>

#include <limits>

#include "tests/engine/handmade_file.hpp"

namespace molarium::storage::header {
namespace {

using molarium::testing::FileBytes;
using molarium::testing::get;
using molarium::testing::handmade_slot;
using molarium::testing::put;
using molarium::testing::reference_adler32;
using molarium::testing::SlotFields;

constexpr std::uint64_t kLargeFile = 1 << 20;

std::optional<HeaderSlot> decode(const FileBytes& slot, std::uint64_t file_length = kLargeFile) {
  return decode_header_slot(ByteView(slot.data(), slot.size()), file_length);
}

// A slot whose fields are valid in a file of kLargeFile bytes: one record, schema and index after it.
SlotFields committed_fields() {
  SlotFields f;
  f.generation = 7;
  f.record_count = 1;
  f.schema_offset = 8200;
  f.schema_length = 9;
  f.index_offset = 8209;
  f.index_length = 28;
  return f;
}

TEST(Adler32, MatchesKnownValues) {
  const std::string text = "Wikipedia";
  EXPECT_EQ(adler32(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())), 0x11E60398u);
  EXPECT_EQ(adler32(ByteView()), 1u);
}

TEST(Adler32, MatchesByteByByteDefinitionOverLongRuns) {
  // Long enough to cross the deferred-modulus blocks several times, with bytes that maximise the sums.
  FileBytes bytes(20000, 0xff);
  for (std::size_t i = 0; i < bytes.size(); i += 7) bytes[i] = static_cast<std::uint8_t>(i);
  EXPECT_EQ(adler32(ByteView(bytes.data(), bytes.size())), reference_adler32(bytes.data(), bytes.size()));
}

TEST(HeaderSlots, EncodeWritesEveryFieldAtItsOffset) {
  HeaderSlot h;
  h.compression = compression::CompressionType::zstd(-5);
  h.generation = 0x0102030405060708ull;
  h.record_count = 3;
  h.schema_offset = 0x1122334455667788ull;
  h.schema_length = 0x99;
  h.index_offset = 0xaabbccddull;
  h.index_length = 68;
  h.record_format = 3;
  const SlotBytes slot = encode_header_slot(h);
  const FileBytes bytes(slot.begin(), slot.end());

  SlotFields f;
  f.generation = h.generation;
  f.record_count = 3;
  f.schema_offset = h.schema_offset;
  f.schema_length = 0x99;
  f.index_offset = 0xaabbccdd;
  f.index_length = 68;
  f.codec = 2;
  f.level = -5;
  f.record_format = 3;
  EXPECT_EQ(bytes, handmade_slot(f));
  EXPECT_EQ(get(bytes, 52, 4), 0xfffffffbu);
  EXPECT_EQ(get(bytes, 4092, 4), reference_adler32(bytes.data(), 4092));
}

TEST(HeaderSlots, LevelIsWrittenAsZeroUnlessZstd) {
  HeaderSlot h;
  h.compression = compression::CompressionType{compression::Codec::Lz4, 9};
  const SlotBytes slot = encode_header_slot(h);
  const FileBytes bytes(slot.begin(), slot.end());
  EXPECT_EQ(get(bytes, 48, 1), 1u);
  EXPECT_EQ(get(bytes, 52, 4), 0u);
}

TEST(HeaderSlots, DecodeReadsHandmadeSlot) {
  SlotFields f = committed_fields();
  f.codec = 2;
  f.level = 19;
  f.record_format = 3;
  const auto h = decode(handmade_slot(f));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->compression, compression::CompressionType::zstd(19));
  EXPECT_EQ(h->generation, 7u);
  EXPECT_EQ(h->data_start, 8192u);
  EXPECT_EQ(h->record_count, 1u);
  EXPECT_EQ(h->schema_offset, 8200u);
  EXPECT_EQ(h->schema_length, 9u);
  EXPECT_EQ(h->index_offset, 8209u);
  EXPECT_EQ(h->index_length, 28u);
  EXPECT_EQ(h->record_format, 3u);
}

TEST(HeaderSlots, LevelIsIgnoredUnlessZstd) {
  SlotFields f;
  f.codec = 1;
  f.level = 42;
  const auto h = decode(handmade_slot(f));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->compression, compression::CompressionType::lz4());
}

TEST(HeaderSlots, RecordFormatAndGenerationAreNotValidated) {
  SlotFields f;
  f.record_format = 99;
  f.generation = std::numeric_limits<std::uint64_t>::max();
  EXPECT_TRUE(decode(handmade_slot(f)));
}

TEST(HeaderSlots, AnyFlippedByteInvalidatesTheSlot) {
  const FileBytes good = handmade_slot(committed_fields());
  ASSERT_TRUE(decode(good));
  for (std::size_t at : {0, 3, 4, 8, 40, 48, 60, 100, 2000, 4091, 4092, 4095}) {
    FileBytes bad = good;
    bad[at] ^= 0x01;
    EXPECT_FALSE(decode(bad)) << "byte " << at;
  }
}

TEST(HeaderSlots, WrongMagicOrVersionIsInvalidEvenWithMatchingChecksum) {
  FileBytes slot = handmade_slot(SlotFields{});
  slot[0] = 'X';
  put(slot, 4092, reference_adler32(slot.data(), 4092), 4);
  EXPECT_FALSE(decode(slot));

  slot = handmade_slot(SlotFields{});
  put(slot, 4, 3, 4);
  put(slot, 4092, reference_adler32(slot.data(), 4092), 4);
  EXPECT_FALSE(decode(slot));
}

TEST(HeaderSlots, UnknownCodecIsInvalid) {
  SlotFields f;
  f.codec = 3;
  EXPECT_FALSE(decode(handmade_slot(f)));
}

TEST(HeaderSlots, DataStartMustLieBetweenTheSlotsAndTheEndOfFile) {
  SlotFields f;
  f.data_start = 8191;
  EXPECT_FALSE(decode(handmade_slot(f)));
  f.data_start = 8192;
  EXPECT_TRUE(decode(handmade_slot(f), 8192));
  f.data_start = 9000;
  EXPECT_TRUE(decode(handmade_slot(f), 9000));
  EXPECT_FALSE(decode(handmade_slot(f), 8999));
}

TEST(HeaderSlots, SchemaRules) {
  SlotFields f = committed_fields();
  ASSERT_TRUE(decode(handmade_slot(f)));

  SlotFields offset_without_length = f;
  offset_without_length.schema_length = 0;
  EXPECT_FALSE(decode(handmade_slot(offset_without_length)));

  SlotFields length_without_offset = f;
  length_without_offset.schema_offset = 0;
  EXPECT_FALSE(decode(handmade_slot(length_without_offset)));

  SlotFields before_data_start = f;
  before_data_start.schema_offset = 8191;
  EXPECT_FALSE(decode(handmade_slot(before_data_start)));

  SlotFields past_end = f;
  past_end.schema_offset = kLargeFile - 8;
  EXPECT_FALSE(decode(handmade_slot(past_end)));
  past_end.schema_offset = kLargeFile - 9;
  EXPECT_TRUE(decode(handmade_slot(past_end)));

  SlotFields overflowing = f;
  overflowing.schema_offset = std::numeric_limits<std::uint64_t>::max() - 3;
  EXPECT_FALSE(decode(handmade_slot(overflowing), std::numeric_limits<std::uint64_t>::max()));
}

TEST(HeaderSlots, IndexRules) {
  SlotFields f = committed_fields();
  ASSERT_TRUE(decode(handmade_slot(f)));

  SlotFields offset_without_length = f;
  offset_without_length.index_length = 0;
  EXPECT_FALSE(decode(handmade_slot(offset_without_length)));

  SlotFields length_without_offset = f;
  length_without_offset.index_offset = 0;
  EXPECT_FALSE(decode(handmade_slot(length_without_offset)));

  SlotFields records_without_index;
  records_without_index.record_count = 1;
  EXPECT_FALSE(decode(handmade_slot(records_without_index)));

  SlotFields wrong_length = f;
  wrong_length.index_length = 29;
  EXPECT_FALSE(decode(handmade_slot(wrong_length)));
  wrong_length.index_length = 27;
  EXPECT_FALSE(decode(handmade_slot(wrong_length)));

  SlotFields wrong_count = f;
  wrong_count.record_count = 2;
  EXPECT_FALSE(decode(handmade_slot(wrong_count)));

  SlotFields before_data_start = f;
  before_data_start.index_offset = 8000;
  EXPECT_FALSE(decode(handmade_slot(before_data_start)));

  SlotFields past_end = f;
  past_end.index_offset = kLargeFile - 27;
  EXPECT_FALSE(decode(handmade_slot(past_end)));
  past_end.index_offset = kLargeFile - 28;
  EXPECT_TRUE(decode(handmade_slot(past_end)));
}

TEST(HeaderSlots, IndexArithmeticThatOverflowsIsInvalid) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  SlotFields count_overflow = committed_fields();
  count_overflow.record_count = max / 20 + 1;
  // The product wraps: a length that would match the wrapped value must not pass.
  count_overflow.index_length = count_overflow.record_count * 20 + 8;
  EXPECT_FALSE(decode(handmade_slot(count_overflow), max));

  SlotFields end_overflow = committed_fields();
  end_overflow.index_offset = max - 10;
  EXPECT_FALSE(decode(handmade_slot(end_overflow), max));
}

TEST(HeaderSlots, SlotOfWrongSizeIsInvalid) {
  FileBytes slot = handmade_slot(SlotFields{});
  slot.pop_back();
  EXPECT_FALSE(decode(slot));
}

// --- Choosing a slot ------------------------------------------------------------------------

class BestHeader : public ::testing::Test {
 protected:
  // A file of the two given slots followed by `tail` zero bytes.
  Result<HeaderSlot> choose(const FileBytes& slot_a, const FileBytes& slot_b, std::size_t tail = 0) {
    FileBytes file = slot_a;
    file.insert(file.end(), slot_b.begin(), slot_b.end());
    file.resize(file.size() + tail);
    const std::string path = dir_.path("db");
    molarium::testing::write_file(path, file);
    auto handle = File::open_read(path);
    if (!handle) return std::unexpected(handle.error());
    return read_best_header(*handle);
  }

  static FileBytes slot_with_generation(std::uint64_t generation) {
    SlotFields f;
    f.generation = generation;
    return handmade_slot(f);
  }

  molarium::testing::TempDir dir_;
};

TEST_F(BestHeader, HigherGenerationWinsInEitherSlot) {
  auto chosen = choose(slot_with_generation(4), slot_with_generation(5));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->generation, 5u);
  chosen = choose(slot_with_generation(6), slot_with_generation(5));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->generation, 6u);
}

TEST_F(BestHeader, GenerationsCompareUnsigned) {
  auto chosen = choose(slot_with_generation(1ull << 63), slot_with_generation(1));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->generation, 1ull << 63);
}

TEST_F(BestHeader, EqualGenerationsChooseSlotA) {
  SlotFields a;
  a.generation = 3;
  a.record_format = 2;
  SlotFields b = a;
  b.record_format = 3;
  auto chosen = choose(handmade_slot(a), handmade_slot(b));
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->record_format, 2u);
}

TEST_F(BestHeader, CorruptNewerSlotLetsOlderWin) {
  FileBytes newer = slot_with_generation(9);
  newer[2000] ^= 0x80;
  auto chosen = choose(slot_with_generation(8), newer);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->generation, 8u);
}

TEST_F(BestHeader, BothSlotsCorruptIsAnError) {
  FileBytes a = slot_with_generation(1);
  FileBytes b = slot_with_generation(2);
  a[10] ^= 1;
  b[4092] ^= 1;
  auto chosen = choose(a, b);
  ASSERT_FALSE(chosen);
  EXPECT_EQ(chosen.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(chosen.error().message(), "Invalid or corrupted header (no valid header slots)");
}

TEST_F(BestHeader, SlotsAreValidatedAgainstTheFileLength) {
  // Slot B names an index ending at 8237, past the end of this 8232-byte file; slot A, older, has none.
  SlotFields b = committed_fields();
  b.generation = 10;
  auto chosen = choose(slot_with_generation(9), handmade_slot(b), 40);
  ASSERT_TRUE(chosen);
  EXPECT_EQ(chosen->generation, 9u);
}

TEST_F(BestHeader, FileShorterThanBothSlotsFailsToFill) {
  FileBytes b = slot_with_generation(1);
  b.resize(4095);
  auto chosen = choose(slot_with_generation(0), b);
  ASSERT_FALSE(chosen);
  EXPECT_EQ(chosen.error().kind(), Error::Kind::Io);
  EXPECT_EQ(chosen.error().message(), "failed to fill whole buffer");
}

}  // namespace
}  // namespace molarium::storage::header
