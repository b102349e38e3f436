// Round trips of every field, every property type tag and both position widths through every codec
// and every reader: the record view, the fast parser, the record builder, the schema derivations,
// flat extraction, the pickle payload and a committed file read mapped and in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <tuple>

#include "engine/pickle.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/records/flat_extraction.hpp"
#include "engine/records/record_builder.hpp"
#include "engine/records/record_view.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
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

template <class T>
Bytes as_bytes(const records::FlatBuffer<T>& buffer) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(buffer.data());
  return Bytes(bytes, bytes + buffer.size() * sizeof(T));
}

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

    // Getters answer what the molecule holds.
    EXPECT_EQ(view->energy().value(), std::visit([](auto e) { return double(e); }, *stored[k].energy));
    EXPECT_EQ(view->pbc().value(), stored[k].pbc);
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

  // Flat extraction, in a selection order with repeats, gathers every record's payloads.
  const std::vector<std::size_t> selection{3, 0, 3, 1};
  auto extracted = records::extract_flat(db, selection).value();
  ASSERT_TRUE(extracted.has_value());
  const records::FlatExtraction* flat = &*extracted;
  EXPECT_EQ(flat->atom_counts, (std::vector<std::uint32_t>{2, 2, 2, 2}));
  EXPECT_EQ(sorted(flat->layout), sorted(schema::to_database_schema(derived).sections));
  Bytes positions, numbers;
  std::vector<Bytes> fixed(flat->layout.size());
  for (std::size_t i = 0; i < selection.size(); ++i) {
    const auto record = db.record(selection[i]).value();
    const auto parsed = records::parse_mol_fast_soa(record.bytes(), context.positions_stride).value();
    positions = cat({positions, Bytes(parsed.positions.begin(), parsed.positions.end())});
    numbers = cat({numbers, Bytes(parsed.atomic_numbers.begin(), parsed.atomic_numbers.end())});
    for (std::size_t j = 0; j < flat->layout.size(); ++j) {
      const auto& section = *std::ranges::find_if(parsed.sections, [&](const auto& s) {
        return s.kind == flat->layout[j].kind && s.key == flat->layout[j].key;
      });
      const Bytes payload(section.payload.begin(), section.payload.end());
      if (flat->string_columns[j]) {
        const std::string text(payload.begin(), payload.end());
        const auto expected = section.type_tag == TypeTag::Str ? std::optional(text) : std::nullopt;
        EXPECT_EQ((*flat->string_columns[j])[i], expected) << section.key;
      } else if (flat->tensor_columns[j]) {
        EXPECT_EQ((*flat->tensor_columns[j])[i], payload) << section.key;
      } else {
        fixed[j] = cat({fixed[j], payload});
      }
    }
  }
  std::visit([&](const auto& buffer) { EXPECT_TRUE(same_bytes(as_bytes(buffer), positions)); }, flat->positions);
  EXPECT_EQ(as_bytes(flat->atomic_numbers), numbers);
  for (std::size_t j = 0; j < fixed.size(); ++j) {
    EXPECT_EQ(as_bytes(flat->fixed_buffers[j]), fixed[j]) << flat->layout[j].key;
  }
  EXPECT_EQ(records::extract_flat(db, std::vector<std::size_t>{}).value(), std::nullopt);

  // A record read from a mapping keeps the mapping alive after its database is gone.
  const auto expected = db.record(3).value();
  std::optional<storage::SharedRecordBytes> kept;
  kept = open_database(path_, std::get<2>(GetParam())).record(3).value();
  EXPECT_TRUE(std::ranges::equal(kept->bytes(), expected.bytes()));
}

TEST_P(RoundTrip, RecordBuilderWritesTheEngineWritersBytes) {
  const Molecule molecule = rich_molecule(f64());
  const Bytes record = storage::soa::serialize_molecule_soa(molecule, 3).value();
  auto parsed = records::parse_mol_fast_soa(record, f64() ? 24 : 12).value();
  ASSERT_EQ(parsed.sections.size(), 8 + molecule.properties.size() + molecule.atom_properties.size());
  records::SoaBuiltinPayloads builtins;
  std::vector<records::SoaSectionRef> custom;
  for (const auto& s : parsed.sections) {
    EXPECT_TRUE(records::section_schema_from_ref(s, parsed.atom_count)) << s.key;
    const records::SoaBuiltinPayload payload{s.payload, s.type_tag};
    const char* chars = reinterpret_cast<const char*>(s.payload.data());
    if (s.kind != SectionKind::Builtin) custom.push_back(s);
    else if (s.key == "energy") builtins.energy = payload;
    else if (s.key == "forces") builtins.forces = payload;
    else if (s.key == "charges") builtins.charges = payload;
    else if (s.key == "velocities") builtins.velocities = payload;
    else if (s.key == "cell") builtins.cell = payload;
    else if (s.key == "stress") builtins.stress = payload;
    else if (s.key == "name") builtins.name = std::string_view(chars, s.payload.size());
    // Any nonzero flag is written as 1.
    else if (s.key == "pbc") builtins.pbc = std::array{s.payload[0], s.payload[1], std::uint8_t(7 * s.payload[2])};
  }
  auto built =
      records::build_soa_record_unchecked(f64() ? 7 : 4, parsed.positions, parsed.atomic_numbers, builtins, custom);
  ASSERT_TRUE(built);
  EXPECT_EQ(*built, record);
}

TEST_P(RoundTrip, PicklePayloadAndSchemaBlobComeBackEqual) {
  const Molecule molecule = rich_molecule(f64());
  const Bytes payload = pickle::encode_molecule(molecule);
  EXPECT_EQ(pickle::decode_molecule(payload).value(), molecule);
  Bytes longer = cat({payload, {1, 2, 3}});
  EXPECT_EQ(pickle::decode_molecule(longer).value(), molecule);  // trailing bytes are ignored
  for (std::size_t cut = 0; cut < payload.size(); cut += 1 + cut / 16) {
    EXPECT_EQ(failure(pickle::decode_molecule(ByteView(payload).first(cut))), "io error: unexpected end of file");
  }
  const auto lock = schema::schema_from_molecule(molecule).value();
  EXPECT_EQ(schema::decode_schema_lock(schema::encode_schema_lock(lock).value()).value(), lock);
  EXPECT_EQ(schema::from_database_schema(schema::to_database_schema(lock)), lock);
  for (const auto& [id, entry] : lock.entries) EXPECT_TRUE(schema::check_entry_fits_tag(id.first, id.second, entry));
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
