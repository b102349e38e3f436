// Stacked batches: records built straight into the blocks that are written, only inside the
// caller's build scope, compared with records written out by hand, across block boundaries and
// past a block's size, and a write or a scope that fails midway cut back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "engine/records/record_builder.hpp"
#include "engine/storage/schema.hpp"
#include "tests/engine/fixtures.hpp"

namespace molarium::testing {
namespace {

using records::BuiltinField;
using records::StackedBatch;
using records::StackedPayloads;
using records::StackedRecords;
using storage::AtomDatabase;

// One batch's stacked fields, owned: float32 positions, atomic numbers, float64 energy, a name
// per molecule, and pbc bytes that are not all 0 or 1.
struct Stacked {
  std::uint32_t atoms;
  std::vector<std::string> names;
  Bytes positions, numbers, energy, pbc;

  Stacked(std::size_t count, std::uint32_t atoms, std::size_t longest_name) : atoms(atoms) {
    const auto append = [](Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); };
    for (std::size_t i = 0; i < count; ++i) {
      for (std::uint32_t a = 0; a < atoms; ++a) {
        append(positions, f32s({float(i), float(a), -1.5f}));
        numbers.push_back(std::uint8_t(1 + (i + a) % 90));
      }
      append(energy, f64s({-0.25 * double(i)}));
      names.push_back(std::string(longest_name == 0 ? 0 : i * 37 % (longest_name + 1), char('a' + i % 26)));
      append(pbc, {std::uint8_t(i % 3), 0, 1});
    }
  }

  StackedBatch batch() const {
    StackedBatch batch;
    batch.count = names.size();
    batch.positions = {positions.data(), atoms * 12u};
    batch.atomic_numbers = {numbers.data(), atoms};
    batch.builtins[std::size_t(BuiltinField::Energy)] = StackedPayloads{energy.data(), 8, TypeTag::F64};
    batch.builtins[std::size_t(BuiltinField::Name)] = StackedPayloads{nullptr, 0, TypeTag::Str, &names};
    batch.builtins[std::size_t(BuiltinField::Pbc)] = StackedPayloads{pbc.data(), 3, TypeTag::Pbc};
    return batch;
  }

  // Record i as the format lays it out, written byte by byte: energy, name, pbc in record order.
  Bytes expected(std::size_t i) const {
    const auto slice = [](const Bytes& bytes, std::size_t at, std::size_t length) {
      return Bytes(bytes.begin() + std::ptrdiff_t(at), bytes.begin() + std::ptrdiff_t(at + length));
    };
    const Bytes flags{std::uint8_t(pbc[3 * i] != 0), std::uint8_t(pbc[3 * i + 1] != 0), std::uint8_t(pbc[3 * i + 2] != 0)};
    return cat({le(atoms, 4), slice(positions, i * atoms * 12, atoms * 12), slice(numbers, i * atoms, atoms), le(3, 2),
                section(0, "energy", 0, slice(energy, 8 * i, 8)), section(0, "name", 2, text(names[i])),
                section(0, "pbc", 9, flags)});
  }
};

// Holds a batch's memory as the Python layer keeps the caller's arrays: the real values only
// inside each stretch, garbage outside (in place, so the planned pointers stay valid), so a record
// built outside one is stored wrong. Refuses the stretch numbered `refuse_at` (from 1).
class ScrambledOutside final : public records::BuildScope {
 public:
  explicit ScrambledOutside(Stacked& stacked, std::size_t refuse_at = 0)
      : stacked_(stacked), pristine_(stacked), refuse_at_(refuse_at) {
    leave();
  }
  ~ScrambledOutside() { copy_from(pristine_); }

  Result<void> enter() override {
    if (++entered_ == refuse_at_) return value_error("refused");
    copy_from(pristine_);
    return {};
  }
  void leave() override {
    Stacked garbage = pristine_;
    for (Bytes* bytes : {&garbage.positions, &garbage.numbers, &garbage.energy, &garbage.pbc}) {
      std::fill(bytes->begin(), bytes->end(), std::uint8_t{0xA5});
    }
    for (std::string& name : garbage.names) std::fill(name.begin(), name.end(), 'Z');
    copy_from(garbage);
  }
  std::size_t entered() const { return entered_; }

 private:
  void copy_from(const Stacked& from) {
    std::copy(from.positions.begin(), from.positions.end(), stacked_.positions.begin());
    std::copy(from.numbers.begin(), from.numbers.end(), stacked_.numbers.begin());
    std::copy(from.energy.begin(), from.energy.end(), stacked_.energy.begin());
    std::copy(from.pbc.begin(), from.pbc.end(), stacked_.pbc.begin());
    for (std::size_t i = 0; i < from.names.size(); ++i) {
      std::copy(from.names[i].begin(), from.names[i].end(), stacked_.names[i].begin());
    }
  }

  Stacked& stacked_;
  const Stacked pristine_;
  std::size_t refuse_at_;
  std::size_t entered_ = 0;
};

// The schema of a batch, as the record parser reads it from the batch's first record.
storage::DatabaseSchema schema_of(const Stacked& stacked) {
  return storage::schema::to_database_schema(storage::schema::record_schema(stacked.expected(0), 2, 4).value());
}

class StackedAppend : public ::testing::TestWithParam<CompressionType> {
 protected:
  TempDir dir_;
  std::string path_ = dir_.path("db");
};

// Small records many to a block, records larger than half a block, and records larger than a
// whole block (1 MiB), one call each, built only inside the scope's stretches, then read back as
// stored.
TEST_P(StackedAppend, RecordsAreStoredAsWrittenByHandAcrossBlocks) {
  AtomDatabase db = AtomDatabase::create_with_format(path_, GetParam()).value();
  std::vector<Stacked> batches{Stacked(4000, 2, 600), Stacked(3, 50'000, 10), Stacked(2, 100'000, 0),
                               Stacked(1, 1, 0)};
  std::vector<Bytes> expected;
  for (Stacked& stacked : batches) {
    const StackedRecords records = StackedRecords::plan(stacked.batch()).value();
    const storage::DatabaseSchema schema = schema_of(stacked);
    {
      ScrambledOutside scope(stacked);
      ASSERT_TRUE(db.add_stacked_records(records, schema, scope));
    }
    for (std::size_t i = 0; i < stacked.names.size(); ++i) expected.push_back(stacked.expected(i));
  }
  ASSERT_TRUE(db.flush());
  std::vector<std::size_t> all(expected.size());
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
  const auto stored = open_database(path_, true).get_raw_bytes(all).value();
  ASSERT_EQ(stored.size(), expected.size());
  for (std::size_t i = 0; i < stored.size(); ++i) ASSERT_TRUE(same_bytes(stored[i], expected[i])) << "record " << i;
}

INSTANTIATE_TEST_SUITE_P(Codecs, StackedAppend, ::testing::Values(CompressionType::none(), CompressionType::lz4()),
                         [](const auto& info) { return info.index == 0 ? std::string("none") : std::string("lz4"); });

// A write that fails, or a scope that refuses, in the middle of a call of several blocks leaves
// the file and the handle as they were; the same call succeeds once the file may grow.
class StackedAppendFailure : public ::testing::TestWithParam<std::tuple<CompressionType, bool>> {};

TEST_P(StackedAppendFailure, FailureMidwayIsCutBack) {
  const auto [compression, by_scope] = GetParam();
  TempDir dir;
  AtomDatabase db = AtomDatabase::create_with_format(dir.path("db"), compression).value();
  Stacked first(10, 3, 5);
  {
    const StackedRecords records = StackedRecords::plan(first.batch()).value();
    const storage::DatabaseSchema schema = schema_of(first);
    ScrambledOutside whole(first);
    ASSERT_TRUE(db.add_stacked_records(records, schema, whole));
  }
  ASSERT_TRUE(db.flush());
  const Bytes file_before = read_file(db.path());
  Stacked large(20'000, 8, 0);  // about 3.6 MB: four blocks
  const StackedRecords records = StackedRecords::plan(large.batch()).value();
  const storage::DatabaseSchema schema = schema_of(large);
  if (by_scope) {
    ScrambledOutside refusing(large, 3);
    EXPECT_TRUE(refused_as(db.add_stacked_records(records, schema, refusing), Error::Kind::Value));
    EXPECT_EQ(refusing.entered(), 3u);
  } else {
    // Part of the first block's bytes fit, compressed or not.
    const FileSizeLimit limit(file_before.size() + 200'000);
    ScrambledOutside scope(large);
    EXPECT_TRUE(refused_as(db.add_stacked_records(records, schema, scope), Error::Kind::Io));
  }
  EXPECT_EQ(read_file(db.path()), file_before);
  EXPECT_EQ(db.len(), 10u);
  {
    ScrambledOutside scope(large);
    ASSERT_TRUE(db.add_stacked_records(records, schema, scope) && db.flush());
  }
  const auto last = open_database(db.path(), true).get_raw_bytes(std::vector<std::size_t>{9, 20'009}).value();
  EXPECT_TRUE(same_bytes(last[0], first.expected(9)));
  EXPECT_TRUE(same_bytes(last[1], large.expected(19'999)));
}

INSTANTIATE_TEST_SUITE_P(CodecsAndCauses, StackedAppendFailure,
                         ::testing::Combine(::testing::Values(CompressionType::none(), CompressionType::lz4()),
                                            ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).codec == compression::Codec::None ? "none"
                                                                                                           : "lz4") +
                                  (std::get<1>(info.param) ? "Scope" : "Write");
                         });

}  // namespace
}  // namespace molarium::testing
