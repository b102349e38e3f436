// Round trips of every field, every property type tag and both position widths through every codec
// and every reader: the record view, the schema derivations and a committed file read mapped and in
// memory.

#include <tuple>

#include "tests/engine/fixtures.hpp"

namespace molarium::testing {
namespace {

using records::SoaMoleculeView;
using storage::AtomDatabase;
using storage::DatabaseSchemaSection;
namespace schema = storage::schema;

// (float64 positions, codec, mapped)
class RoundTrip : public ::testing::TestWithParam<std::tuple<bool, CompressionType, bool>> {
 protected:
  bool f64() const { return std::get<0>(GetParam()); }
  std::vector<Molecule> molecules() const {
    std::vector<Molecule> out(4, rich_molecule(f64()));
    for (int i = 1; i < 4; ++i) out[i].name = "copy " + std::to_string(i);
    return out;
  }
  TempDir dir_;
  std::string path_ = dir_.path("db");
};

std::vector<DatabaseSchemaSection> sorted(std::vector<DatabaseSchemaSection> sections) {
  std::sort(sections.begin(), sections.end(),
            [](const auto& a, const auto& b) { return std::tie(a.kind, a.key) < std::tie(b.kind, b.key); });
  return sections;
}

TEST_P(RoundTrip, CommittedMoleculesReadBackEqualThroughEveryReader) {
  const std::vector<Molecule> stored = molecules();
  write_database(path_, std::get<1>(GetParam()), stored);
  const AtomDatabase db = open_database(path_, std::get<2>(GetParam()));
  ASSERT_EQ(db.len(), stored.size());
  EXPECT_EQ(db.record_format(), 3u);
  const auto derived = schema::schema_from_molecule(stored[0]).value();
  EXPECT_EQ(db.schema_info(), schema::to_database_schema(derived));
  // The lock survives its blob and its database form, and every entry fits its tag.
  EXPECT_EQ(schema::decode_schema_lock(schema::encode_schema_lock(derived).value()).value(), derived);
  EXPECT_EQ(schema::from_database_schema(schema::to_database_schema(derived)), derived);
  for (const auto& [id, entry] : derived.entries) EXPECT_TRUE(schema::check_entry_fits_tag(id.first, id.second, entry));

  const auto context = records::SoaContext::from_database(db).value();
  for (std::size_t k = 0; k < stored.size(); ++k) {
    SCOPED_TRACE(k);
    const auto record = db.record(k).value();
    const Bytes bytes(record.bytes().begin(), record.bytes().end());
    auto view = SoaMoleculeView::from_bytes(bytes, context);
    ASSERT_TRUE(view);
    EXPECT_EQ(view->materialize().value(), stored[k]);
    auto in_place = records::mapped_record_bytes(db, k);
    ASSERT_TRUE(in_place);
    // Either kind of handle reads a committed record in place from a mapping when it is stored as is.
    EXPECT_EQ(in_place->is_shared(), std::get<1>(GetParam()) == CompressionType::none());
    auto shared =
        SoaMoleculeView::from_storage(std::move(*in_place), context.positions_stride, context.positions_type_tag);
    ASSERT_TRUE(shared);
    EXPECT_EQ(shared->materialize().value(), stored[k]);
    EXPECT_TRUE(shared->same_schema_as(*view).value());

    // The view's report, the schema of the stored record and the molecule's own schema agree.
    auto reported = view->database_schema().value();
    EXPECT_EQ(sorted(reported.sections), sorted(schema::to_database_schema(derived).sections));
    EXPECT_EQ(reported.positions_type, derived.positions_type);
    EXPECT_EQ(schema::record_schema(bytes, db.record_format(), derived.positions_type).value(), derived);

    EXPECT_EQ(view->atom_at(1).value(), stored[k].atom(1));
    EXPECT_EQ(view->atom_at(2).value(), std::nullopt);
    Molecule more_numbers = stored[k];  // an atomic number without a position is no atom
    more_numbers.atomic_numbers.push_back(9);
    EXPECT_EQ(more_numbers.atom(2), std::nullopt);
    EXPECT_EQ(more_numbers.to_atoms().size(), 2u);
    auto found = view->find_custom_section(SectionKind::Atom, "a_i32s").value();
    ASSERT_TRUE(found);
    EXPECT_EQ(view->lazy_section_key(*found).value(), "a_i32s");
  }

  // Flat extraction, in a selection order with repeats, takes every section (Python checks the values).
  const auto flat = records::extract_flat(db, std::vector<std::size_t>{3, 0, 3, 1}).value();
  ASSERT_TRUE(flat);
  EXPECT_EQ(sorted(flat->layout), sorted(schema::to_database_schema(derived).sections));
  const std::uint8_t* numbers = flat->atomic_numbers.data();
  const auto& z = stored[0].atomic_numbers;
  EXPECT_EQ(Bytes(numbers, numbers + 8), cat({z, z, z, z}));

  // A record read from a mapping keeps the mapping alive after its database is gone.
  const auto expected = db.record(3).value();
  std::optional<storage::SharedRecordBytes> kept;
  kept = open_database(path_, std::get<2>(GetParam())).record(3).value();
  EXPECT_TRUE(std::ranges::equal(kept->bytes(), expected.bytes()));
}

INSTANTIATE_TEST_SUITE_P(WidthsCodecsModes, RoundTrip,
                         ::testing::Combine(::testing::Bool(), ::testing::ValuesIn(kCodecs), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "F64" : "F32") +
                                  codec_name(std::get<1>(info.param)) + (std::get<2>(info.param) ? "Mapped" : "Read");
                         });

// Every codec gives back any record from its stored bytes, and refuses a wrong length or a cut.
TEST(Compression, EveryCodecGivesBackTheRecordAndRefusesDamage) {
  for (const auto& codec : kCodecs) {
    for (std::size_t length : {0, 1, 70000}) {
      Bytes record(length);
      for (std::size_t i = 0; i < length; ++i) record[i] = std::uint8_t((i * 7) % 13 + i / 1000);
      const Bytes stored = compression::compress(record, codec).value();
      EXPECT_EQ(compression::decompress(stored, codec, length).value(), record) << codec_name(codec) << length;
      // Decoding into the caller's memory writes the record and nothing past it, or nothing fits.
      Bytes out(length + 16, 0xEE);
      EXPECT_EQ(compression::decompress_into(stored, codec, std::span(out.data(), out.size())), length);
      EXPECT_TRUE(std::equal(record.begin(), record.end(), out.begin()) && out[length] == 0xEE);
      if (length > 0) {
        EXPECT_FALSE(compression::decompress_into(stored, codec, std::span(out.data(), length - 1)));
      }
      if (codec == CompressionType::none() || length < 100) continue;
      EXPECT_TRUE(refused_as(compression::decompress(stored, codec, length - 1), Error::Kind::Compression));
      EXPECT_FALSE(compression::decompress(ByteView(stored).first(stored.size() / 2), codec, length));
    }
  }
}

}  // namespace
}  // namespace molarium::testing
