// The file format: files written by hand, byte by byte, compared with the writer's output, and the
// tables of damaged header slots, indexes, schema blobs and files that the readers refuse.
#include <fcntl.h>

#include "engine/storage/file.hpp"
#include "engine/storage/header.hpp"
#include "engine/storage/index.hpp"
#include "tests/engine/fixtures.hpp"

namespace molarium::testing {
namespace {

using storage::AtomDatabase;
namespace header = storage::header;

// One atom at (1, 2, 3), oxygen, energy -1.5 and the molecule property a = 7.
Molecule documented_molecule() {
  Molecule m = Molecule::create({{1, 2, 3}}, {8}).value();
  m.energy = -1.5;
  m.properties["a"] = PropertyValue(std::int64_t{7});
  return m;
}
const Bytes kDocumentedRecord = cat({le(1, 4), f32s({1, 2, 3}), {8}, le(2, 2), section(0, "energy", 0, f64s({-1.5})),
                                     section(2, "a", 1, le(7, 8))});
// Version 1, float32 positions, two entries in (kind, key) order: kind, tag, per_atom, key length,
// element and slot bytes, key.
const Bytes kDocumentedBlob = cat({le(1, 4), {4}, le(2, 4), {0, 0, 0}, le(6, 2), le(8, 4), le(8, 4), text("energy"),
                                   {2, 1, 0}, le(1, 2), le(8, 4), le(8, 4), text("a")});

Bytes index_of(std::uint64_t first, std::uint32_t stored, std::size_t count) {
  Bytes out = le(count, 8);
  for (std::size_t i = 0; i < count; ++i) {
    out = cat({out, le(first + i * stored, 8), le(stored, 4), le(kDocumentedRecord.size(), 4), le(1, 4)});
  }
  return out;
}

class HandmadeFile : public ::testing::TestWithParam<CompressionType> {};

// Two commits: the first goes to slot B, the second to slot A; each writes its records, then the
// schema blob, then the index after the previous commit's end.
TEST_P(HandmadeFile, WriterProducesTheHandmadeBytes) {
  const CompressionType codec = GetParam();
  const Bytes stored = compression::compress(kDocumentedRecord, codec).value();
  const std::uint32_t n = std::uint32_t(stored.size());
  const SlotFields fields{.codec = std::uint8_t(codec.codec), .level = codec.level};
  const Bytes empty_slot = handmade_slot(fields);

  TempDir dir;
  const std::string path = dir.path("db");
  auto db = AtomDatabase::create_with_format(path, codec).value();
  EXPECT_EQ(read_file(path), cat({empty_slot, empty_slot}));
  ASSERT_TRUE(db.add_molecule(documented_molecule()));
  ASSERT_TRUE(db.add_molecule(documented_molecule()));
  ASSERT_TRUE(db.flush());

  const Bytes data1 = cat({stored, stored, kDocumentedBlob, index_of(8192, n, 2)});
  SlotFields first = fields;
  first.generation = 1, first.record_count = 2, first.index_length = 8 + 2 * 20;
  first.schema_offset = 8192 + 2 * n, first.schema_length = kDocumentedBlob.size();
  first.index_offset = first.schema_offset + first.schema_length;
  EXPECT_TRUE(same_bytes(read_file(path), cat({empty_slot, handmade_slot(first), data1})));
  EXPECT_EQ(open_database(path).len(), 2u);  // slot B is the newer

  ASSERT_TRUE(db.add_molecule(documented_molecule()));
  ASSERT_TRUE(db.flush());
  SlotFields second = first;
  second.generation = 2, second.record_count = 3, second.index_length = 8 + 3 * 20;
  second.schema_offset = 8192 + data1.size() + n;
  second.index_offset = second.schema_offset + second.schema_length;
  Bytes index = index_of(8192, n, 3);
  put(index, 8 + 2 * 20, 8192 + data1.size(), 8);
  const Bytes file2 = cat({handmade_slot(second), handmade_slot(first), data1, stored, kDocumentedBlob, index});
  EXPECT_TRUE(same_bytes(read_file(path), file2));

  for (bool mapped : {false, true}) {
    const AtomDatabase reopened = open_database(path, mapped);
    EXPECT_EQ(reopened.compression(), codec);
    EXPECT_EQ(reopened.record_format(), 2u);
    const auto record = reopened.record(2).value();
    EXPECT_EQ(Bytes(record.bytes().begin(), record.bytes().end()), kDocumentedRecord);
  }
}

INSTANTIATE_TEST_SUITE_P(Codecs, HandmadeFile, ::testing::Values(CompressionType::none(), CompressionType::lz4(),
                                                                 CompressionType::zstd(7)),
                         [](const auto& info) { return codec_name(info.param); });

// --- Header slots ------------------------------------------------------------------------------

struct SlotCase {
  const char* name;
  std::function<void(SlotFields&)> change;
  std::function<void(Bytes&)> damage = nullptr;  // on the finished slot; the checksum is then redone
};

Bytes slot_bytes(const SlotCase& c) {
  SlotFields f{.generation = 4, .index_offset = 9000, .index_length = 48, .record_count = 2, .codec = 2, .level = -3,
               .schema_offset = 8192, .schema_length = 100};
  c.change(f);
  Bytes slot = handmade_slot(f);
  if (c.damage) {
    c.damage(slot);
    put(slot, 4092, reference_adler32(slot.data(), 4092), 4);
  }
  return slot;
}
constexpr std::uint64_t kFileLength = 9048;

class InvalidSlot : public ::testing::TestWithParam<SlotCase> {};

TEST_P(InvalidSlot, IsRefused) {
  EXPECT_EQ(header::decode_header_slot(slot_bytes(GetParam()), kFileLength), std::nullopt);
}

const SlotCase kInvalidSlots[] = {
    {"Magic", [](SlotFields&) {}, [](Bytes& s) { s[3] = 'S'; }},
    {"Version", [](SlotFields&) {}, [](Bytes& s) { s[4] = 3; }},
    {"Codec", [](SlotFields& f) { f.codec = 3; }},
    {"DataStartInsideTheSlots", [](SlotFields& f) { f.data_start = 8191; }},
    {"DataStartPastTheEnd", [](SlotFields& f) { f.data_start = kFileLength + 1; }},
    {"SchemaLengthWithoutOffset", [](SlotFields& f) { f.schema_offset = 0; }},
    {"SchemaOffsetWithoutLength", [](SlotFields& f) { f.schema_length = 0; }},
    {"SchemaBeforeTheData", [](SlotFields& f) { f.schema_offset = 8191; }},
    {"SchemaPastTheEnd", [](SlotFields& f) { f.schema_length = kFileLength - 8192 + 1; }},
    {"SchemaEndOverflows", [](SlotFields& f) { f.schema_length = ~std::uint64_t{0}; }},
    {"RecordsWithoutIndex", [](SlotFields& f) { f.index_offset = f.index_length = 0; }},
    {"IndexLengthWithoutOffset", [](SlotFields& f) { f.index_offset = 0; }},
    {"IndexOffsetWithoutLength", [](SlotFields& f) { f.index_length = 0; }},
    {"IndexLengthDisagreesWithCount", [](SlotFields& f) { f.index_length = 47; }},
    {"IndexBeforeTheData", [](SlotFields& f) { f.index_offset = 8191; }},
    {"IndexPastTheEnd", [](SlotFields& f) { f.index_offset = 9001; }},
    {"IndexSizeOverflows", [](SlotFields& f) { f.record_count = std::uint64_t{1} << 62; }},
    {"IndexEndOverflows", [](SlotFields& f) { f.index_offset = ~std::uint64_t{0} - 10; }},
};
INSTANTIATE_TEST_SUITE_P(Slots, InvalidSlot, ::testing::ValuesIn(kInvalidSlots),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HeaderSlots, DecodeGivesTheFieldsAndAnyFlippedByteOrShortSlotInvalidatesIt) {
  const Bytes slot = slot_bytes({"", [](SlotFields&) {}});
  header::HeaderSlot expected{CompressionType::zstd(-3), 4, 8192, 2, 8192, 100, 9000, 48, 2};
  EXPECT_EQ(header::decode_header_slot(slot, kFileLength), expected);
  const header::SlotBytes encoded = header::encode_header_slot(expected);
  EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), slot);
  EXPECT_EQ(header::adler32(slot), reference_adler32(slot.data(), slot.size()));
  for (std::size_t length : {4092, 5552, 5553, 20000}) {  // sums past the modulus, within and across blocks
    const Bytes high(length, 0xFF);
    EXPECT_EQ(header::adler32(high), reference_adler32(high.data(), length)) << length;
  }
  // Neither generation nor record format is checked, and only zstd keeps its level.
  const Bytes lz4 = slot_bytes({"", [](SlotFields& f) { f.codec = 1, f.record_format = 9, f.generation = ~0ull; }});
  expected = {CompressionType::lz4(), ~0ull, 8192, 2, 8192, 100, 9000, 48, 9};
  EXPECT_EQ(header::decode_header_slot(lz4, kFileLength), expected);
  EXPECT_EQ(header::decode_header_slot(ByteView(slot).first(4095), kFileLength), std::nullopt);
  for (std::size_t at = 0; at < slot.size(); ++at) {
    Bytes flipped = slot;
    flipped[at] ^= 0x01;
    EXPECT_EQ(header::decode_header_slot(flipped, kFileLength), std::nullopt) << at;
  }
}

// --- Files, indexes and schema blobs the readers refuse: each message pinned once ----------------

struct Refusal {
  const char* name;
  std::function<void(Bytes&)> damage;  // of a committed file of two documented molecules
  bool mapped;
  Error::Kind kind;
  const char* message;
};

class DamagedFile : public ::testing::TestWithParam<Refusal> {};

TEST_P(DamagedFile, OpenIsRefused) {
  TempDir dir;
  const std::string path = dir.path("db");
  write_database(path, CompressionType::none(), {documented_molecule(), documented_molecule()});
  Bytes file = read_file(path);
  GetParam().damage(file);
  write_file(path, file);
  auto db = AtomDatabase::open_with_options(path, GetParam().mapped, false);
  EXPECT_TRUE(refused_as(db, GetParam().kind));
  EXPECT_EQ(failure(db), GetParam().message);
}

void redo_checksums(Bytes& file) {
  for (std::size_t slot : {0, 4096}) put(file, slot + 4092, reference_adler32(file.data() + slot, 4092), 4);
}
const std::size_t kBlobAt = 8192 + 2 * kDocumentedRecord.size();
const std::size_t kIndexAt = kBlobAt + kDocumentedBlob.size();

const Refusal kRefusals[] = {
    {"RecordFormat", [](Bytes& f) { put(f, 4096 + 56, 4, 4), redo_checksums(f); }, false, Error::Kind::InvalidData,
     "Unsupported record format 4."},
    {"SchemaBlob", [](Bytes& f) { f[kBlobAt] = 2; }, false, Error::Kind::InvalidData,
     "Unsupported schema blob version 2"},
    {"IndexCount", [](Bytes& f) { f[kIndexAt] = 3; }, false, Error::Kind::InvalidData,
     "Index length mismatch (expected 68, got 48)"},
    {"MappedIndexCount", [](Bytes& f) { f[kIndexAt] = 3; }, true, Error::Kind::InvalidData,
     "Index record count mismatch (header 2, index 3)"},
};
INSTANTIATE_TEST_SUITE_P(Files, DamagedFile, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(IndexFormat, DecodeRefusals) {
  EXPECT_EQ(storage::index::decode_index(index_of(8192, 56, 2)).value().size(), 2u);
  EXPECT_EQ(failure(storage::index::decode_index(Bytes(7, 0))), "Index too small");
  EXPECT_EQ(failure(storage::index::decode_index(cat({le(1, 8), Bytes(19, 0)}))),
            "Index length mismatch (expected 28, got 27)");
  EXPECT_EQ(failure(storage::index::decode_index(le(~0ull, 8))), "Index length overflow");
  EXPECT_EQ(failure(storage::index::decode_index(le(1ull << 58, 8))),
            "Index length mismatch (expected 5764607523034234888, got 8)");
}

TEST(SchemaBlob, DecodeRefusals) {
  namespace schema = storage::schema;
  const auto lock = schema::decode_schema_lock(kDocumentedBlob).value();
  EXPECT_EQ(lock.entries.size(), 2u);
  EXPECT_EQ(schema::encode_schema_lock(lock).value(), kDocumentedBlob);
  const auto with = [](std::size_t at, std::uint8_t value) {
    Bytes blob = kDocumentedBlob;
    blob[at] = value;
    return failure(schema::decode_schema_lock(blob));
  };
  EXPECT_EQ(with(4, 5), "Unsupported schema positions type tag 5");
  EXPECT_EQ(with(11, 2), "Invalid schema per_atom flag");
  EXPECT_EQ(with(27, 0xff), "Invalid UTF-8 in schema key");
  EXPECT_EQ(with(5, 3), "Schema blob truncated");
  EXPECT_EQ(with(5, 1), "Schema blob trailing bytes");
  EXPECT_EQ(failure(schema::decode_schema_lock(ByteView(kDocumentedBlob).first(8))), "Schema blob too small");
  EXPECT_EQ(failure(schema::decode_schema_lock(ByteView(kDocumentedBlob).first(25))), "Schema blob truncated at key");
  // A later duplicate of (kind, key) replaces the earlier one.
  Bytes twice = cat({kDocumentedBlob, {2, 3, 0}, le(1, 2), le(8, 4), le(8, 4), text("a")});
  twice[5] = 3;
  const auto later = schema::decode_schema_lock(twice).value().entries.at({SectionKind::Molecule, "a"});
  EXPECT_EQ(later.type_tag, TypeTag::F64Array);
  // An empty key at the very end is a whole entry.
  Bytes empty_key = cat({kDocumentedBlob, {2, 13, 0}, le(0, 2), le(0, 4), le(0, 4)});
  empty_key[5] = 3;
  EXPECT_EQ(schema::decode_schema_lock(empty_key).value().entries.count({SectionKind::Molecule, ""}), 1u);
}

// An entry read from a blob is taken as stored; a reader that sizes buffers from it checks it first.
TEST(SchemaBlob, EntriesThatNoWriterMakesAreRefusedByTheCheck) {
  using storage::schema::SchemaEntry;
  using enum SectionKind;
  const std::tuple<SectionKind, const char*, SchemaEntry> damaged[] = {
      {Builtin, "energy", {TypeTag::F64, false, 8, 4}},      {Molecule, "a", {TypeTag::I64, false, 4, 4}},
      {Molecule, "a", {TypeTag::I64, true, 8, 8}},           {Molecule, "s", {TypeTag::Str, false, 0, 8}},
      {Atom, "q", {TypeTag::F64Array, true, 8, 16}},         {Atom, "q", {TypeTag::F64Array, false, 8, 8}},
      {Molecule, "m", {TypeTag::F64Array, false, 8, 12}},    {Molecule, "x", {TypeTag(18), false, 8, 8}},
      {Builtin, "forces", {TypeTag::Vec3F32, true, 12, 24}}};
  for (const auto& [kind, key, entry] : damaged) {
    EXPECT_TRUE(refused_as(storage::schema::check_entry_fits_tag(kind, key, entry), Error::Kind::InvalidData)) << key;
  }
}

// In a process started with stdin closed a file gets descriptor 0, which its handle closes like
// any other when the handle is replaced or dropped.
TEST(File, DescriptorZeroIsClosedWhenItsHandleIsReplacedDroppedOrClosed) {
  TempDir dir;
  const std::string path = dir.path("f");
  const int saved_stdin = ::dup(0);
  ::close(0);
  {
    auto file = storage::File::create_truncate(path).value();
    ASSERT_EQ(file.fd(), 0);
    file = storage::File::open_read(path).value();
    EXPECT_EQ(::fcntl(0, F_GETFD), -1);
  }
  {
    auto file = storage::File::open_read(path).value();
    ASSERT_EQ(file.fd(), 0);
  }
  EXPECT_EQ(::fcntl(0, F_GETFD), -1);
  auto closed = storage::File::open_read(path).value();
  ASSERT_EQ(closed.fd(), 0);
  ASSERT_TRUE(closed.close());
  EXPECT_EQ(::fcntl(0, F_GETFD), -1);
  ::dup2(saved_stdin, 0);
  ::close(saved_stdin);
}

}  // namespace
}  // namespace molarium::testing
