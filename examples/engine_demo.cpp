// A first look at the engine: create a database, append molecules, commit, reopen and read.
#include <cstdio>
#include <string>
#include <vector>

#include "engine/atom.hpp"
#include "engine/compression.hpp"
#include "engine/storage/database.hpp"

using molarium::atom::Molecule;
using molarium::storage::AtomDatabase;

namespace {

int fail(const std::string& message) {
  std::fprintf(stderr, "error: %s\n", message.c_str());
  return 1;
}

int fail(const molarium::Error& error) { return fail(error.display()); }

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "/tmp/molarium-demo.mol";

  auto water = Molecule::create({{0.0f, 0.0f, 0.117f}, {0.0f, 0.757f, -0.469f}, {0.0f, -0.757f, -0.469f}},
                                {8, 1, 1});
  auto methane = Molecule::create({{0, 0, 0}, {0.63f, 0.63f, 0.63f}, {-0.63f, -0.63f, 0.63f},
                                   {-0.63f, 0.63f, -0.63f}, {0.63f, -0.63f, -0.63f}},
                                  {6, 1, 1, 1, 1});
  if (!water) return fail(water.error());
  if (!methane) return fail(methane.error());
  water->name = "water";
  water->energy = -76.4;
  methane->name = "methane";
  methane->energy = -40.5;

  auto created = AtomDatabase::create_with_format(path, molarium::compression::CompressionType::zstd(3));
  if (!created) return fail(created.error());
  const Molecule* molecules[] = {&*water, &*methane};
  if (auto added = created->add_molecules(molecules); !added) return fail(added.error());
  if (auto flushed = created->flush(); !flushed) return fail(flushed.error());
  std::printf("wrote %zu molecules to %s (zstd level 3), generation %llu\n", created->len(), path.c_str(),
              static_cast<unsigned long long>(created->generation()));

  auto opened = AtomDatabase::open_with_options(path, /*mapped=*/true, /*populate=*/false);
  if (!opened) return fail(opened.error());
  std::printf("reopened memory-mapped: %zu molecules, record format %u\n", opened->len(), opened->record_format());
  const std::vector<std::size_t> positions = {1, 0};
  auto records = opened->read_decompress_parallel(positions);
  if (!records) return fail(records.error());
  for (std::size_t i = 0; i < positions.size(); ++i) {
    std::printf("  molecule %zu: %u atoms, record of %zu bytes\n", positions[i], records->second[i],
                records->first[i].size());
  }
  if (auto schema = opened->schema_info()) {
    std::printf("schema lock: positions type %u, sections:", schema->positions_type.value_or(0));
    for (const auto& section : schema->sections) std::printf(" %s", section.key.c_str());
    std::printf("\n");
  }
  return 0;
}
