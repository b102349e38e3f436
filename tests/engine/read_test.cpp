// Reading stored records back: request order, bounds, mapped and unmapped files, damaged records,
// and every reader of a record applying the same checks.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "engine/atom.hpp"
#include "engine/compression.hpp"
#include "engine/records/flat_extraction.hpp"
#include "engine/storage/database.hpp"
#include "tests/engine/handmade_file.hpp"

namespace {

using molarium::Bytes;
using molarium::Error;
using molarium::atom::Molecule;
using molarium::compression::Codec;
using molarium::compression::CompressionType;
using molarium::storage::AtomDatabase;
using molarium::storage::SharedMmapBytes;
using molarium::records::extract_flat;
using molarium::records::mapped_record_bytes;
using molarium::testing::FileBytes;
using molarium::testing::get;
using molarium::testing::overwrite;
using molarium::testing::put;
using molarium::testing::read_file;
using molarium::testing::TempDir;

// n atoms at (tag + i, 2, 3), atomic number 8 + i.
Molecule molecule_with_atoms(std::size_t n, float tag) {
  std::vector<std::array<float, 3>> positions;
  std::vector<std::uint8_t> numbers;
  for (std::size_t i = 0; i < n; ++i) {
    positions.push_back({tag + static_cast<float>(i), 2.0f, 3.0f});
    numbers.push_back(static_cast<std::uint8_t>(8 + i));
  }
  return Molecule::create(std::move(positions), std::move(numbers)).value();
}

// The SOA record of molecule_with_atoms written out by hand: u32 count, float32 triples,
// atomic numbers, u16 zero sections.
Bytes expected_record(std::size_t n, float tag) {
  Bytes out;
  auto append = [&out](const void* p, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(p);
    out.insert(out.end(), bytes, bytes + size);
  };
  const auto count = static_cast<std::uint32_t>(n);
  append(&count, 4);
  for (std::size_t i = 0; i < n; ++i) {
    const float xyz[3] = {tag + static_cast<float>(i), 2.0f, 3.0f};
    append(xyz, 12);
  }
  for (std::size_t i = 0; i < n; ++i) out.push_back(static_cast<std::uint8_t>(8 + i));
  out.push_back(0);
  out.push_back(0);
  return out;
}

// A little-endian field of the given width, as bytes to write over a file.
FileBytes field(std::uint64_t value, int width) {
  FileBytes bytes;
  put(bytes, 0, value, width);
  return bytes;
}

// After exactly one commit the live header is slot B; its index offset is the u64 at 24. Entry i
// of the index follows the u64 count, 20 bytes each.
std::uint64_t entry_field(const std::string& path, std::size_t i, std::size_t field_offset) {
  const std::uint64_t index_offset = get(read_file(path), 4096 + 24, 8);
  return index_offset + 8 + 20 * i + field_offset;
}

// Records of 1, 2 and 3 atoms, committed.
void write_three_records(const std::string& path, CompressionType compression) {
  auto db = AtomDatabase::create_with_format(path, compression).value();
  for (std::size_t n = 1; n <= 3; ++n) ASSERT_TRUE(db.add_molecule(molecule_with_atoms(n, 10.0f * n)));
  ASSERT_TRUE(db.flush());
}

struct ReadCase {
  Codec codec;
  bool mapped;
};

const char* codec_name(Codec codec) {
  if (codec == Codec::Lz4) return "Lz4";
  if (codec == Codec::Zstd) return "Zstd";
  return "None";
}

std::string case_name(const ::testing::TestParamInfo<ReadCase>& info) {
  return std::string(codec_name(info.param.codec)) + (info.param.mapped ? "Mapped" : "InMemory");
}

CompressionType compression_of(Codec codec) {
  if (codec == Codec::Lz4) return CompressionType::lz4();
  if (codec == Codec::Zstd) return CompressionType::zstd(3);
  return CompressionType::none();
}

class ReadRecords : public ::testing::TestWithParam<ReadCase> {
 protected:
  void SetUp() override { write_three_records(path_, compression_of(GetParam().codec)); }
  AtomDatabase open() { return AtomDatabase::open_with_options(path_, GetParam().mapped, false).value(); }
  TempDir dir_;
  std::string path_ = dir_.path("db");
};

TEST_P(ReadRecords, ReturnsRecordsAndAtomCountsInRequestOrder) {
  const AtomDatabase db = open();
  const std::size_t positions[] = {2, 0, 2};
  auto result = db.read_decompress_parallel(positions);
  ASSERT_TRUE(result) << result.error().display();
  const auto& [records, counts] = *result;
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0], expected_record(3, 30.0f));
  EXPECT_EQ(records[1], expected_record(1, 10.0f));
  EXPECT_EQ(records[2], expected_record(3, 30.0f));
  EXPECT_EQ(counts, (std::vector<std::uint32_t>{3, 1, 3}));

  auto raw = db.get_raw_bytes(positions);
  ASSERT_TRUE(raw);
  EXPECT_EQ(*raw, records);
}

TEST_P(ReadRecords, OutOfRangePositionIsNamedBeforeAnyRecordIsRead) {
  // Record 0 is destroyed on disk: had it been read, the call would fail on it instead.
  {
    const AtomDatabase db = AtomDatabase::open_with_options(path_, false, false).value();
    const auto entry = db.index().entry(0).value();
    overwrite(path_, entry.offset, FileBytes(entry.compressed_len, 0xFF));
  }
  const AtomDatabase db = open();
  const std::size_t positions[] = {0, 3, 7};
  auto result = db.get_raw_bytes(positions);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(result.error().message(), "Index 3 out of bounds");
  EXPECT_FALSE(db.read_decompress_parallel(positions));
}

TEST_P(ReadRecords, EmptyRequestGivesEmptyListsWithoutTouchingTheFile) {
  const AtomDatabase db = open();
  if (!GetParam().mapped) std::filesystem::remove(path_);
  auto raw = db.get_raw_bytes({});
  ASSERT_TRUE(raw);
  EXPECT_TRUE(raw->empty());
  auto both = db.read_decompress_parallel({});
  ASSERT_TRUE(both);
  EXPECT_TRUE(both->first.empty());
  EXPECT_TRUE(both->second.empty());
}

TEST_P(ReadRecords, OffsetPastTheFileIsRefusedWithoutOverflow) {
  // An offset near 2^64 would wrap offset + length if added unchecked.
  overwrite(path_, entry_field(path_, 1, 0), field(~std::uint64_t{0} - 4, 8));
  const AtomDatabase db = open();
  const std::size_t positions[] = {1};
  auto result = db.get_raw_bytes(positions);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  EXPECT_NE(result.error().message().find("lies beyond the end of the file"), std::string::npos)
      << result.error().message();
}

TEST_P(ReadRecords, RecordIsReadInPlaceOnlyFromAnUncompressedMappingAndOutlivesTheDatabase) {
  std::optional<molarium::storage::SharedRecordBytes> kept;
  {
    const AtomDatabase db = open();
    auto record = db.record(2);
    ASSERT_TRUE(record) << record.error().display();
    kept.emplace(std::move(*record));
    auto missing = db.record(3);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "Invalid data: Index 3 out of bounds");
  }
  // Either handle kind maps its committed records.
  const bool in_place = GetParam().codec == Codec::None;
  EXPECT_EQ(std::holds_alternative<SharedMmapBytes>(kept->held), in_place);
  EXPECT_EQ(Bytes(kept->bytes().begin(), kept->bytes().end()), expected_record(3, 30.0f));
}

TEST_P(ReadRecords, HandleReadsTheFileItOpenedAfterAnotherTakesItsPath) {
  AtomDatabase db = open();
  // A record appended and not committed is read from the file as well (a mapped handle over a
  // committed file does not append).
  const bool appends = !GetParam().mapped;
  if (appends) {
    ASSERT_TRUE(db.add_molecule(molecule_with_atoms(4, 40.0f)));
  }
  // Same layout, other values: read at the first file's offsets, it decodes without an error.
  const std::string other = dir_.path("other");
  {
    auto replacement = AtomDatabase::create_with_format(other, compression_of(GetParam().codec)).value();
    for (std::size_t n = 1; n <= 4; ++n) {
      ASSERT_TRUE(replacement.add_molecule(molecule_with_atoms(n, -1.0f)));
    }
    ASSERT_TRUE(replacement.flush());
  }
  std::filesystem::rename(other, path_);

  std::vector<Bytes> expected = {expected_record(3, 30.0f), expected_record(1, 10.0f), expected_record(2, 20.0f)};
  std::vector<std::size_t> positions = {2, 0, 1};
  if (appends) {
    expected.push_back(expected_record(4, 40.0f));
    positions.push_back(3);
  }
  EXPECT_EQ(db.get_raw_bytes(positions).value(), expected);
  for (std::size_t i = 0; i < positions.size(); ++i) {
    auto record = db.record(positions[i]);
    ASSERT_TRUE(record) << record.error().display();
    EXPECT_EQ(Bytes(record->bytes().begin(), record->bytes().end()), expected[i]) << i;
  }
}

TEST_P(ReadRecords, EntriesComeInRequestOrderAndTheFirstMissingOneIsNamed) {
  const AtomDatabase db = open();
  // Past 2048 positions the entries are looked up on the pool.
  for (const std::size_t repeats : {1, 1000}) {
    std::vector<std::size_t> positions;
    for (std::size_t r = 0; r < repeats; ++r) positions.insert(positions.end(), {2, 0, 2, 1});
    auto entries = db.record_entries(positions);
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), positions.size());
    for (std::size_t i = 0; i < positions.size(); ++i) {
      EXPECT_EQ((*entries)[i], db.index().entry(positions[i]).value()) << i;
      EXPECT_EQ((*entries)[i].num_atoms, positions[i] + 1) << i;
    }
    positions[positions.size() / 2] = 7;
    positions.back() = 3;
    auto missing = db.record_entries(positions);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().display(), "Invalid data: Index 7 out of bounds");
  }
}

INSTANTIATE_TEST_SUITE_P(CodecsAndModes, ReadRecords,
                         ::testing::Values(ReadCase{Codec::None, false}, ReadCase{Codec::None, true},
                                           ReadCase{Codec::Lz4, false}, ReadCase{Codec::Lz4, true},
                                           ReadCase{Codec::Zstd, false}, ReadCase{Codec::Zstd, true}),
                         case_name);

// The same three records, damaged by each test before it reads them.
class DamagedRecord : public ReadRecords {};

TEST_P(DamagedRecord, CorruptStoredBytesFailTheWholeCall) {
  {
    const AtomDatabase db = AtomDatabase::open_with_options(path_, false, false).value();
    const auto entry = db.index().entry(1).value();
    overwrite(path_, entry.offset, FileBytes(entry.compressed_len, 0xFF));
  }
  const AtomDatabase db = open();
  const std::size_t positions[] = {0, 1, 2};
  auto result = db.get_raw_bytes(positions);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::Compression) << result.error().display();
  const std::size_t healthy[] = {0, 2};
  EXPECT_TRUE(db.get_raw_bytes(healthy));
}

TEST_P(DamagedRecord, DecodeShorterThanTheIndexSaysIsInvalidData) {
  // Record 1 (two atoms) is 6 + 24 + 2 = 32 bytes; the entry now claims 33.
  overwrite(path_, entry_field(path_, 1, 12), field(33, 4));
  const AtomDatabase db = open();
  const std::size_t positions[] = {1};
  auto result = db.get_raw_bytes(positions);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  const std::uint64_t offset = db.index().entry(1)->offset;
  EXPECT_EQ(result.error().message(),
            "Record at offset " + std::to_string(offset) + " decoded to 32 bytes, expected 33");
}

TEST_P(DamagedRecord, StoredLengthPastTheFileIsRefusedBeforeAllocating) {
  overwrite(path_, entry_field(path_, 2, 8), field(0xFFFFFFF0u, 4));
  const AtomDatabase db = open();
  const std::size_t positions[] = {2};
  auto result = db.get_raw_bytes(positions);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  EXPECT_NE(result.error().message().find("lies beyond the end of the file"), std::string::npos)
      << result.error().message();
}

// A flat batch reports a damaged compressed record as the record accessor does, whichever way it
// decodes the records it can.
TEST_P(DamagedRecord, FlatBatchWordsEachDamageAsTheRecordAccessor) {
  const auto flat_and_record_errors = [&](std::size_t k) {
    const AtomDatabase db = open();
    const std::size_t positions[] = {0, k, 2};
    auto flat = molarium::records::extract_flat(db, positions);
    auto record = db.record(k);
    EXPECT_FALSE(flat);
    EXPECT_FALSE(record);
    return std::pair(flat ? std::string() : flat.error().display(), record ? std::string("ok") : record.error().display());
  };
  overwrite(path_, entry_field(path_, 1, 12), field(33, 4));  // decodes to 32 bytes, not 33
  auto [flat, record] = flat_and_record_errors(1);
  EXPECT_EQ(flat, record);
  {
    const AtomDatabase db = AtomDatabase::open_with_options(path_, false, false).value();
    const auto entry = db.index().entry(2).value();
    overwrite(path_, entry.offset, FileBytes(entry.compressed_len, 0xFF));
  }
  std::tie(flat, record) = flat_and_record_errors(2);
  EXPECT_EQ(flat, record);
}

INSTANTIATE_TEST_SUITE_P(CompressedFiles, DamagedRecord,
                         ::testing::Values(ReadCase{Codec::Lz4, false}, ReadCase{Codec::Lz4, true},
                                           ReadCase{Codec::Zstd, false}, ReadCase{Codec::Zstd, true}),
                         case_name);

TEST(ReadRecordsUncompressed, StoredLengthDifferentFromRecordLengthIsInvalidData) {
  const TempDir dir;
  const std::string path = dir.path("db");
  write_three_records(path, CompressionType::none());
  // Record 0 (one atom) is 4 + 12 + 1 + 2 = 19 bytes; the entry now claims 20.
  overwrite(path, entry_field(path, 0, 12), field(20, 4));
  const AtomDatabase db = AtomDatabase::open_with_options(path, false, false).value();
  const std::size_t positions[] = {0};
  auto result = db.get_raw_bytes(positions);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error().kind(), Error::Kind::InvalidData);
  EXPECT_EQ(result.error().message(), "Record at offset 8192 stores 19 bytes without compression, expected 20");
}

// Record 1 (two atoms, 32 bytes) under an entry that claims 33: whichever way the record is read,
// one by one, as a view or in a flat batch, mapped or not, it is refused with the error
// get_raw_bytes gives, and records 0 and 2 still read.
class EntryLongerThanRecord : public ReadRecords {};

TEST_P(EntryLongerThanRecord, EveryReaderRefusesTheRecordAlike) {
  overwrite(path_, entry_field(path_, 1, 12), field(33, 4));
  const AtomDatabase db = open();
  const std::size_t damaged[] = {1};
  const auto raw = db.get_raw_bytes(damaged);
  ASSERT_FALSE(raw);
  EXPECT_EQ(raw.error().kind(), Error::Kind::InvalidData);
  const auto refused_alike = [&](const auto& result) {
    if (result) return ::testing::AssertionFailure() << "accepted";
    if (result.error().display() != raw.error().display()) {
      return ::testing::AssertionFailure() << result.error().display();
    }
    return ::testing::AssertionSuccess();
  };
  EXPECT_TRUE(refused_alike(db.record(1))) << "record(k)";
  EXPECT_TRUE(refused_alike(db.record(db.index().entry(1).value()))) << "record(entry)";
  EXPECT_TRUE(refused_alike(mapped_record_bytes(db, 1))) << "view";
  EXPECT_TRUE(refused_alike(extract_flat(db, damaged))) << "flat, first record";
  const std::size_t all[] = {0, 1, 2};
  EXPECT_TRUE(refused_alike(extract_flat(db, all))) << "flat, later record";

  const std::size_t healthy[] = {2, 0};
  EXPECT_TRUE(db.get_raw_bytes(healthy));
  auto flat = extract_flat(db, healthy);
  ASSERT_TRUE(flat) << flat.error().display();
  EXPECT_EQ((*flat)->atom_counts, (std::vector<std::uint32_t>{3, 1}));
  auto view = mapped_record_bytes(db, 0);
  ASSERT_TRUE(view);
  EXPECT_EQ(Bytes(view->bytes().begin(), view->bytes().end()), expected_record(1, 10.0f));
}

INSTANTIATE_TEST_SUITE_P(CodecsAndModes, EntryLongerThanRecord,
                         ::testing::Values(ReadCase{Codec::None, false}, ReadCase{Codec::None, true},
                                           ReadCase{Codec::Lz4, false}, ReadCase{Codec::Lz4, true},
                                           ReadCase{Codec::Zstd, false}, ReadCase{Codec::Zstd, true}),
                         case_name);

TEST(ReadRecordsConcurrently, SeveralThreadsReadOneUnmappedDatabase) {
  const TempDir dir;
  const std::string path = dir.path("db");
  {
    auto db = AtomDatabase::create_with_format(path, CompressionType::zstd(1)).value();
    for (std::size_t i = 0; i < 64; ++i) ASSERT_TRUE(db.add_molecule(molecule_with_atoms(1 + i % 7, float(i))));
    ASSERT_TRUE(db.flush());
  }
  const AtomDatabase db = AtomDatabase::open_with_options(path, false, false).value();
  std::vector<std::size_t> positions(64);
  for (std::size_t i = 0; i < 64; ++i) positions[i] = 63 - i;

  std::vector<int> failures(6, 0);
  std::vector<std::thread> readers;
  for (std::size_t t = 0; t < failures.size(); ++t) {
    readers.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        auto records = db.get_raw_bytes(positions);
        if (!records || records->size() != 64) {
          ++failures[t];
          continue;
        }
        for (std::size_t i = 0; i < 64; ++i) {
          const std::size_t stored = 63 - i;
          if ((*records)[i] != expected_record(1 + stored % 7, float(stored))) ++failures[t];
        }
      }
    });
  }
  for (auto& reader : readers) reader.join();
  for (int count : failures) EXPECT_EQ(count, 0);
}

class AppendedBeyondMapping : public ::testing::TestWithParam<Codec> {};

TEST_P(AppendedBeyondMapping, RecordAppendedThroughMappedHandleIsReadFromTheFile) {
  const TempDir dir;
  const std::string path = dir.path("db");
  ASSERT_TRUE(AtomDatabase::create_with_format(path, compression_of(GetParam())));
  auto db = AtomDatabase::open_with_options(path, true, false).value();
  ASSERT_TRUE(db.opened_mapped());
  ASSERT_TRUE(db.add_molecule(molecule_with_atoms(2, 5.0f)));
  ASSERT_TRUE(db.add_molecule(molecule_with_atoms(1, 7.0f)));

  const std::size_t positions[] = {1, 0};
  auto records = db.get_raw_bytes(positions);
  ASSERT_TRUE(records) << records.error().display();
  EXPECT_EQ((*records)[0], expected_record(1, 7.0f));
  EXPECT_EQ((*records)[1], expected_record(2, 5.0f));

  // Once committed, a fresh mapped handle reads the same records through its mapping.
  ASSERT_TRUE(db.flush());
  const AtomDatabase reopened = AtomDatabase::open_with_options(path, true, false).value();
  auto again = reopened.get_raw_bytes(positions);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *records);
}

TEST_P(AppendedBeyondMapping, EveryReaderOfAMappedHandleReadsAppendedRecordsFromTheFile) {
  const TempDir dir;
  const std::string path = dir.path("db");
  ASSERT_TRUE(AtomDatabase::create_with_format(path, compression_of(GetParam())));
  auto db = AtomDatabase::open_with_options(path, true, false).value();
  ASSERT_TRUE(db.add_molecule(molecule_with_atoms(2, 5.0f)));
  ASSERT_TRUE(db.add_molecule(molecule_with_atoms(1, 7.0f)));

  auto record = db.record(1);
  ASSERT_TRUE(record) << record.error().display();
  EXPECT_TRUE(std::holds_alternative<Bytes>(record->held));
  EXPECT_EQ(std::get<Bytes>(record->held), expected_record(1, 7.0f));
  auto view = mapped_record_bytes(db, 0);
  ASSERT_TRUE(view) << view.error().display();
  EXPECT_EQ(Bytes(view->bytes().begin(), view->bytes().end()), expected_record(2, 5.0f));
  const std::size_t positions[] = {1, 0};
  auto flat = extract_flat(db, positions);
  ASSERT_TRUE(flat) << flat.error().display();
  EXPECT_EQ((*flat)->atom_counts, (std::vector<std::uint32_t>{1, 2}));
}

INSTANTIATE_TEST_SUITE_P(Codecs, AppendedBeyondMapping, ::testing::Values(Codec::None, Codec::Lz4, Codec::Zstd),
                         [](const auto& info) { return std::string(codec_name(info.param)); });

}  // namespace
