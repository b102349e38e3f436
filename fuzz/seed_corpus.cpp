// Writes the seed corpora of the fuzz targets from real database files made with the engine:
// seed_corpus <corpus directory>. Each seed is small; run it again after a format change.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "engine/atom.hpp"
#include "engine/pickle.hpp"
#include "engine/storage/database.hpp"
#include "engine/storage/header.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"

namespace fs = std::filesystem;
using molarium::Bytes;
using molarium::atom::Molecule;
using molarium::storage::AtomDatabase;
namespace compression = molarium::compression;
namespace types = molarium::types;

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "seed_corpus: %s\n", what.c_str());
  std::exit(1);
}

template <class T>
T must(T result, const char* what) {
  if (!result) fail(what);
  return result;
}

class Corpus {
 public:
  explicit Corpus(fs::path root) : root_(std::move(root)) {}
  void add(const std::string& target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = root_ / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }

 private:
  fs::path root_;
};

Bytes prefixed(std::initializer_list<std::uint8_t> prefix, const Bytes& rest) {
  Bytes out(prefix);
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

Bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Two atoms with every built-in field and one property of each kind.
Molecule rich_molecule(bool f64_positions) {
  Molecule m = f64_positions ? *Molecule::create_f64({{0.0, 0.5, 1.0}, {1.5, 2.0, 2.5}}, {8, 1})
                             : *Molecule::create({{0.0f, 0.5f, 1.0f}, {1.5f, 2.0f, 2.5f}}, {8, 1});
  m.name = "water";
  m.energy = types::FloatScalarData(-1.25);
  m.forces = types::Vec3Data(std::vector<types::Vec3F32>{{0.1f, 0.2f, 0.3f}, {0.4f, 0.5f, 0.6f}});
  m.charges = types::FloatArrayData(std::vector<double>{0.5, -0.5});
  m.velocities = types::Vec3Data(std::vector<types::Vec3F32>{{1, 0, 0}, {0, 1, 0}});
  m.cell = types::Mat3Data(types::Mat3F64{1, 0, 0, 0, 1, 0, 0, 0, 1});
  m.stress = types::Mat3Data(types::Mat3F64{1, 2, 3, 4, 5, 6, 7, 8, 9});
  m.pbc = std::array<bool, 3>{true, false, true};
  m.properties["scalar"] = types::PropertyValue(std::in_place_index<types::property_index::kF64>, 2.5);
  m.properties["count"] = types::PropertyValue(std::in_place_index<types::property_index::kI64>, std::int64_t{7});
  m.properties["label"] = types::PropertyValue(std::in_place_index<types::property_index::kString>, "abc");
  m.properties["none"] = types::PropertyValue();
  m.properties["grid"] = types::PropertyValue(
      std::in_place_index<types::property_index::kTensor>,
      types::TensorData(types::Tensor<float>{{2, 3}, {1, 2, 3, 4, 5, 6}}));
  m.atom_properties["mass"] = types::PropertyValue(std::in_place_index<types::property_index::kF64Array>,
                                                   std::vector<double>{16.0, 1.0});
  m.atom_properties["tags"] = types::PropertyValue(std::in_place_index<types::property_index::kI32Array>,
                                                   std::vector<std::int32_t>{1, 2});
  m.atom_properties["basis"] = types::PropertyValue(
      std::in_place_index<types::property_index::kTensor>,
      types::TensorData(types::Tensor<std::int64_t>{{2, 2}, {1, 2, 3, 4}}));
  return m;
}

Molecule small_molecule(float shift) {
  Molecule m = *Molecule::create({{shift, 0, 0}}, {6});
  m.energy = types::FloatScalarData(static_cast<double>(shift));
  return m;
}

struct MadeFile {
  std::string name;
  Bytes bytes;
};

MadeFile make_file(const fs::path& dir, const std::string& name, compression::CompressionType codec,
                   const std::vector<Molecule>& committed, const std::vector<Molecule>& tail) {
  const std::string path = (dir / name).string();
  auto db = must(AtomDatabase::create_with_format(path, codec), "create");
  for (const Molecule& m : committed) must(db->add_molecule(m), "add");
  if (!committed.empty()) must(db->flush(), "flush");
  for (const Molecule& m : tail) must(db->add_molecule(m), "add tail");
  return {name, read_all(path)};
}

void add_record_seeds(Corpus& corpus, const std::string& name, const Bytes& record, bool f64) {
  const std::uint8_t format = f64 ? 200 : 10;  // the record schema target's selectors for 3 and 2
  corpus.add("record_schema", name, prefixed({format, static_cast<std::uint8_t>(f64 ? 2 : 1)}, record));
  corpus.add("record_view", name, prefixed({static_cast<std::uint8_t>(f64 ? 1 : 0)}, record));
  corpus.add("fast_record", name, prefixed({static_cast<std::uint8_t>(f64 ? 1 : 0)}, record));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) fail("usage: seed_corpus <corpus directory>");
  Corpus corpus(argv[1]);
  const fs::path scratch = fs::temp_directory_path() / ("molarium-seeds-" + std::to_string(getpid()));
  fs::create_directories(scratch);

  const std::vector<MadeFile> files = {
      make_file(scratch, "empty", compression::CompressionType::none(), {}, {}),
      make_file(scratch, "plain_rich", compression::CompressionType::none(), {rich_molecule(false), small_molecule(1)},
                {}),
      make_file(scratch, "lz4_f64", compression::CompressionType::lz4(), {rich_molecule(true)}, {}),
      make_file(scratch, "zstd_tail", compression::CompressionType::zstd(3), {small_molecule(1), small_molecule(2)},
                {small_molecule(3)}),
  };
  for (const MadeFile& file : files) {
    corpus.add("whole_file", file.name, file.bytes);
    namespace header = molarium::storage::header;
    // Header slots: the real slots as they are, and their first 80 bytes with checksums repaired.
    Bytes full = {0, 0, 0, 0x00, 0x10};
    full.insert(full.end(), file.bytes.begin(), file.bytes.begin() + 2 * header::kSlotSize);
    const std::uint64_t extra = file.bytes.size() - 2 * header::kSlotSize;
    full[1] = static_cast<std::uint8_t>(extra);
    full[2] = static_cast<std::uint8_t>(extra >> 8);
    corpus.add("header_slot", file.name + "_full", full);
    Bytes head = {3, full[1], full[2], 80, 0};
    head.insert(head.end(), file.bytes.begin(), file.bytes.begin() + 80);
    head.insert(head.end(), file.bytes.begin() + header::kSlotSize, file.bytes.begin() + header::kSlotSize + 80);
    corpus.add("header_slot", file.name + "_fields", head);

    auto db = must(AtomDatabase::open_with_options((scratch / file.name).string(), false, false), "open");
    auto blob_lock = db->schema_lock();
    if (blob_lock) corpus.add("schema_blob", file.name, must(molarium::storage::schema::encode_schema_lock(*blob_lock), "blob").value());
    corpus.add("index", file.name, prefixed({0}, molarium::storage::index::encode_index(db->index().owned_entries())));
    std::vector<std::size_t> all(db->len());
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = i;
    auto records = must(db->get_raw_bytes(all), "read");
    const bool f64 = db->record_format() == 3 && blob_lock && blob_lock->positions_type == std::optional<std::uint8_t>(7);
    for (std::size_t i = 0; i < records->size(); ++i) {
      add_record_seeds(corpus, file.name + "_" + std::to_string(i), (*records)[i], f64);
    }
  }
  // A mapped index over the committed file of two records: its real offset and count.
  {
    const MadeFile& file = files[1];
    const std::uint64_t index_offset =
        molarium::load_le<std::uint64_t>(file.bytes.data() + 4096 + molarium::storage::header::kIndexOffsetOffset);
    Bytes mapped = {1};
    for (int i = 0; i < 8; ++i) mapped.push_back(static_cast<std::uint8_t>(index_offset >> (8 * i)));
    for (int i = 0; i < 8; ++i) mapped.push_back(i == 0 ? 2 : 0);
    mapped.insert(mapped.end(), file.bytes.begin(), file.bytes.end());
    corpus.add("index", "mapped_plain_rich", mapped);
  }
  // Tensor payloads and pickles of the molecules above.
  for (bool f64 : {false, true}) {
    const Molecule m = rich_molecule(f64);
    corpus.add("pickle", f64 ? "rich_f64" : "rich_f32", molarium::pickle::encode_molecule(m));
  }
  corpus.add("pickle", "small", molarium::pickle::encode_molecule(small_molecule(1)));
  corpus.add("tensor_payload", "f32_2x3", prefixed({0, 2, 2, 0, 0, 0, 3, 0, 0, 0}, Bytes(24, 0x3f)));
  corpus.add("tensor_payload", "f64_scalar", prefixed({1, 0}, Bytes(8, 0x40)));
  corpus.add("tensor_payload", "i32_vector", prefixed({2, 1, 2, 0, 0, 0}, Bytes(8, 1)));
  corpus.add("tensor_payload", "i64_rank3", prefixed({3, 3, 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}, Bytes(16, 2)));
  fs::remove_all(scratch);
  return 0;
}
