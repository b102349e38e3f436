// Test fixtures: molecules with every field, records and files written byte by byte independently
// of the engine's writers, and a per-test directory.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <limits>
#include <numeric>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/compression.hpp"
#include "engine/error.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/records/flat_extraction.hpp"
#include "engine/records/record_view.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"

// Defined under AddressSanitizer, whose allocator (GCC 12's runtime) is not fork-safe: a child
// forked while another thread allocates can hang in it, so tests that fork beside allocating
// threads skip themselves there.
#if defined(__SANITIZE_ADDRESS__)
#define MOLARIUM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MOLARIUM_ASAN 1
#endif
#endif

namespace molarium::testing {

using atom::Molecule;
using compression::CompressionType;
using storage::SectionKind;
using storage::TypeTag;
using types::PropertyValue;

// A fresh directory per test, removed with the fixture.
class TempDir {
 public:
  TempDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = "molarium-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised names carry '/'
    dir_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~TempDir() { std::filesystem::remove_all(dir_); }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }

 private:
  std::filesystem::path dir_;
};

inline Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void write_file(const std::string& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Little-endian put and get, byte by byte.
inline void put(Bytes& bytes, std::size_t at, std::uint64_t value, int width) {
  if (bytes.size() < at + width) bytes.resize(at + width);
  for (int i = 0; i < width; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
inline std::uint64_t get(const Bytes& bytes, std::size_t at, int width) {
  std::uint64_t value = 0;
  for (int i = 0; i < width; ++i) value |= static_cast<std::uint64_t>(bytes.at(at + i)) << (8 * i);
  return value;
}
inline void patch(const std::string& path, std::size_t at, std::uint64_t value, int width) {
  Bytes file = read_file(path);
  put(file, at, value, width);
  write_file(path, file);
}

// Equal bytes, or where they first differ.
inline ::testing::AssertionResult same_bytes(const Bytes& actual, const Bytes& expected) {
  const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
  if (diff.first == actual.end() && diff.second == expected.end()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "sizes " << actual.size() << ", " << expected.size() << "; differ at "
                                       << diff.first - actual.begin();
}

// Byte strings written out by hand.
inline Bytes le(std::uint64_t value, int width) {
  Bytes out;
  put(out, 0, value, width);
  return out;
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}
inline Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }
template <class T>
Bytes values_le(std::initializer_list<T> values) {
  Bytes out;
  using Bits = std::conditional_t<sizeof(T) == 8, std::uint64_t, std::uint32_t>;
  for (T v : values) out = cat({out, le(std::bit_cast<Bits>(v), sizeof(T))});
  return out;
}
inline Bytes f64s(std::initializer_list<double> values) { return values_le(values); }
inline Bytes f32s(std::initializer_list<float> values) { return values_le(values); }
// kind | key length | key | tag | u32 payload length | payload
inline Bytes section(std::uint8_t kind, std::string_view key, std::uint8_t tag, const Bytes& payload) {
  return cat({{kind, std::uint8_t(key.size())}, text(key), {tag}, le(payload.size(), 4), payload});
}
// A record with float32 positions (i, i, i) and atomic number i + 1 for atom i.
inline Bytes record_f32(std::uint32_t atoms, std::initializer_list<Bytes> sections) {
  Bytes out = le(atoms, 4);
  for (std::uint32_t i = 0; i < atoms; ++i) out = cat({out, f32s({float(i), float(i), float(i)})});
  for (std::uint32_t i = 0; i < atoms; ++i) out.push_back(std::uint8_t(i + 1));
  out = cat({out, le(sections.size(), 2)});
  for (const Bytes& s : sections) out = cat({out, s});
  return out;
}

// Adler-32 as RFC 1950 states it.
inline std::uint32_t reference_adler32(const std::uint8_t* data, std::size_t length) {
  std::uint32_t a = 1, b = 0;
  for (std::size_t i = 0; i < length; ++i) {
    a = (a + data[i]) % 65521;
    b = (b + a) % 65521;
  }
  return b * 65536 + a;
}

// The fields of one header slot as a test writes them.
struct SlotFields {
  std::uint64_t generation = 0, data_start = 8192, index_offset = 0, index_length = 0, record_count = 0;
  std::uint8_t codec = 0;
  std::int32_t level = 0;
  std::uint32_t record_format = 2;
  std::uint64_t schema_offset = 0, schema_length = 0;
};

// 4096 slot bytes: "MOLR", version 2, the fields at their offsets and the checksum.
inline Bytes handmade_slot(const SlotFields& f) {
  Bytes slot(4096, 0);
  std::copy_n("MOLR", 4, slot.begin());
  put(slot, 4, 2, 4);
  put(slot, 8, f.generation, 8);
  put(slot, 16, f.data_start, 8);
  put(slot, 24, f.index_offset, 8);
  put(slot, 32, f.index_length, 8);
  put(slot, 40, f.record_count, 8);
  put(slot, 48, f.codec, 1);
  put(slot, 52, static_cast<std::uint32_t>(f.level), 4);
  put(slot, 56, f.record_format, 4);
  put(slot, 60, f.schema_offset, 8);
  put(slot, 68, f.schema_length, 8);
  put(slot, 4092, reference_adler32(slot.data(), 4092), 4);
  return slot;
}

// Index entry i (20 bytes after the u64 count) of a file's index.
inline std::size_t entry_at(const Bytes& file, std::size_t i) {
  const std::size_t slot = get(file, 8, 8) >= get(file, 4096 + 8, 8) ? 0 : 4096;
  return get(file, slot + 24, 8) + 8 + 20 * i;
}

// A molecule of `atoms` atoms whose coordinates and energy depend on `seed`.
inline Molecule small_molecule(int atoms, float seed) {
  std::vector<types::Vec3F32> positions;
  std::vector<std::uint8_t> numbers;
  for (int a = 0; a < atoms; ++a) {
    positions.push_back({seed, float(a), 0.5f * float(a)});
    numbers.push_back(std::uint8_t(1 + (a + int(seed)) % 90));
  }
  Molecule m = Molecule::create(std::move(positions), std::move(numbers)).value();
  m.energy = types::FloatScalarData(-1.0 * seed);
  return m;
}

// Lowers the file size limit for its lifetime: a write past it fails with EFBIG instead of a signal.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(std::uint64_t limit) : handler_(signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &old_);
    rlimit lowered = old_;
    lowered.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &old_);
    signal(SIGXFSZ, handler_);
  }

 private:
  sighandler_t handler_;
  rlimit old_{};
};

// Every built-in field and every property kind in molecule scope, the per-atom ones in atom scope,
// in float32 or float64 widths.
inline Molecule rich_molecule(bool f64) {
  using namespace types;
  Molecule m = f64 ? Molecule::create_f64({{0.1, 0.2, 0.3}, {1e-300, 2, 3}}, {6, 1}).value()
                   : Molecule::create({{0.5f, 1.5f, 2.5f}, {-1, -2, -3}}, {1, 8}).value();
  m.name = f64 ? "" : "héllo";
  if (f64) {
    m.forces = Vec3Data(std::vector<Vec3F64>{{1.25, 2, 3}, {4, 5, 6}});
    m.velocities = Vec3Data(std::vector<Vec3F64>{{0, 0, 0.1}, {0, 0.1, 0}});
    m.energy = -76.0123456789;
    m.charges = std::vector<double>{0.1, -0.1};
    m.cell = Mat3F64{10, 0, 0, 0, 11, 0, 0, 0, 12};
    m.stress = Mat3F64{0.5, 1, 2, 3, 4, 5, 6, 7, 8};
  } else {
    m.forces = Vec3Data(std::vector<Vec3F32>{{1, 2, 3}, {4, 5, 6}});
    m.velocities = Vec3Data(std::vector<Vec3F32>{{0, 0, 1}, {0, 1, 0}});
    m.energy = -3.5f;
    m.charges = std::vector<float>{0.25f, -0.25f};
    m.cell = Mat3F32{1, 0, 0, 0, 2, 0, 0, 0, 3};
    m.stress = Mat3F32{1, 2, 3, 4, 5, 6, 7, 8, 9};
  }
  m.pbc = std::array<bool, 3>{true, false, !f64};
  using P = PropertyValue;
  m.properties = {{"null", P()}, {"f64", P(-0.25)}, {"i64", P(std::int64_t{-9})}, {"text", P(std::string("héllo"))},
                  {"f64s", P(std::vector<double>{1.5, 2.5, 3.5})}, {"v32", P(std::vector<Vec3F32>{{1, 2, 3}})},
                  {"i64s", P(std::vector<std::int64_t>{std::numeric_limits<std::int64_t>::min()})},
                  {"f32s", P(std::vector<float>{})}, {"v64", P(std::vector<Vec3F64>{{0.1, 0.2, 0.3}, {4, 5, 6}})},
                  {"i32s", P(std::vector<std::int32_t>{-1, 2})}, {"tf64", P(TensorData(Tensor<double>{{}, {6.5}}))},
                  {"tf32", P(TensorData(Tensor<float>{{2, 2}, {1, 2, 3, 4}}))},
                  {"ti32", P(TensorData(Tensor<std::int32_t>{{2, 1, 3}, {1, -2, 3, -4, 5, -6}}))},
                  {"ti64", P(TensorData(Tensor<std::int64_t>{{2, 0}, {}}))}};
  m.atom_properties = {{"a_f64s", P(std::vector<double>{7, 8})}, {"a_f32s", P(std::vector<float>{7, 8})},
                       {"a_i64s", P(std::vector<std::int64_t>{7, -8})}, {"a_i32s", P(std::vector<std::int32_t>{3, 4})},
                       {"a_v32", P(std::vector<Vec3F32>{{1, 1, 1}, {2, 2, 2}})}, {"a_null", P()},
                       {"a_v64", P(std::vector<Vec3F64>{{1, 1, 1}, {2, 2, 2}})},
                       {"a_tensor", P(TensorData(Tensor<std::int32_t>{{2, 3}, {1, 2, 3, 4, 5, 6}}))}};
  return m;
}

inline const CompressionType kCodecs[] = {CompressionType::none(), CompressionType::lz4(), CompressionType::zstd(3)};
inline std::string codec_name(const CompressionType& c) {
  return c.codec == compression::Codec::None ? "None" : c.codec == compression::Codec::Lz4 ? "Lz4" : "Zstd";
}

// A committed database of the molecules.
inline void write_database(const std::string& path, CompressionType codec, const std::vector<Molecule>& molecules) {
  auto db = storage::AtomDatabase::create_with_format(path, codec).value();
  for (const Molecule& m : molecules) {
    auto added = db.add_molecule(m);
    ASSERT_TRUE(added) << added.error().display();
  }
  ASSERT_TRUE(db.flush());
}
inline storage::AtomDatabase open_database(const std::string& path, bool mapped = false) {
  return storage::AtomDatabase::open_with_options(path, mapped, false).value();
}

// The failure's message as it is shown.
std::string failure(const auto& result) { return result ? "<accepted>" : result.error().message(); }
// A failure of the given kind.
::testing::AssertionResult refused_as(const auto& result, Error::Kind kind) {
  if (result.has_value()) return ::testing::AssertionFailure() << "accepted";
  if (result.error().kind() != kind) return ::testing::AssertionFailure() << result.error().debug();
  return ::testing::AssertionSuccess();
}

}  // namespace molarium::testing
