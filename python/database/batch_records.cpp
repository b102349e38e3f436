// The records of a stacked batch: the batch's schema, one SOA record per molecule cut out of the
// batch's stacked payloads, and their hand-over to the engine.
#include <array>
#include <utility>

#include "engine/pool.hpp"
#include "engine/records/builtins.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"
#include "python/database/batch.hpp"
#include "engine/records/record_builder.hpp"

namespace molarium::python::database {

namespace {

using molarium::ByteView;
using molarium::storage::DatabaseSchema;
using molarium::storage::OwnedRecord;
using molarium::storage::TypeTag;
using molarium::storage::tag_byte;
using records::SoaBuiltinPayload;
using records::SoaBuiltinPayloads;

constexpr auto kBuiltinKind = molarium::storage::SectionKind::Builtin;
// From this many molecules on, records are built on the worker pool.
constexpr std::size_t kMinParallelBatch = 1024;

// The source's stacked payloads of a built-in field; none for the name, which comes as texts.
const std::optional<StackedPayloads>* stacked_field(const BatchSource& source, records::BuiltinField field) {
  using records::BuiltinField;
  switch (field) {
    case BuiltinField::Charges: return &source.charges;
    case BuiltinField::Cell: return &source.cell;
    case BuiltinField::Energy: return &source.energy;
    case BuiltinField::Forces: return &source.forces;
    case BuiltinField::Pbc: return &source.pbc;
    case BuiltinField::Stress: return &source.stress;
    case BuiltinField::Velocities: return &source.velocities;
    case BuiltinField::Name: break;
  }
  return nullptr;
}

// The present built-ins in schema order (energy, forces, charges, velocities, cell, stress, pbc,
// name), then one section per custom column; positions type from the source.
DatabaseSchema batch_schema(const BatchSource& source) {
  DatabaseSchema schema;
  for (const records::BuiltinField field : records::kSchemaOrder) {
    const std::string_view key = records::builtin_key(field);
    const std::optional<StackedPayloads>* stacked = stacked_field(source, field);
    if (stacked != nullptr && *stacked) {
      schema.sections.push_back(
          schema_section_for_payloads(kBuiltinKind, key, (*stacked)->type_tag, (*stacked)->per_molecule_bytes));
    } else if (stacked == nullptr && source.names != nullptr) {
      schema.sections.push_back(schema_section_for_payloads(kBuiltinKind, key, TypeTag::Str, 0));
    }
  }
  for (const BatchSectionColumn& column : source.custom) schema.sections.push_back(schema_section_from_column(column));
  schema.positions_type = source.positions_type_tag;
  return schema;
}

// Molecule i's record. Touches no Python object; runs on pool workers.
molarium::Result<OwnedRecord> build_record(const BatchSource& source, std::size_t i) {
  auto payload = [i](const std::optional<StackedPayloads>& field) -> std::optional<SoaBuiltinPayload> {
    if (!field) return std::nullopt;
    return SoaBuiltinPayload{field->at(i), field->type_tag};
  };
  SoaBuiltinPayloads builtins;
  builtins.energy = payload(source.energy);
  builtins.forces = payload(source.forces);
  builtins.charges = payload(source.charges);
  builtins.velocities = payload(source.velocities);
  builtins.cell = payload(source.cell);
  builtins.stress = payload(source.stress);
  if (source.names != nullptr) builtins.name = (*source.names)[i];
  if (source.pbc) {
    const ByteView flags = source.pbc->at(i);
    builtins.pbc = std::array<std::uint8_t, 3>{flags[0], flags[1], flags[2]};
  }
  std::vector<records::SoaSectionRef> custom;
  custom.reserve(source.custom.size());
  for (const BatchSectionColumn& column : source.custom) {
    custom.push_back({column.name, column.payload(i), column.kind, column.type_tag});
  }
  MOLARIUM_ASSIGN_OR_RETURN(molarium::Bytes record,
                            records::build_soa_record_unchecked(source.positions_type_tag, source.positions.at(i),
                                                                source.atomic_numbers.at(i), builtins, custom));
  // The builder refuses an atom count beyond u32, so the narrowing below keeps the value.
  return OwnedRecord{std::move(record), static_cast<std::uint32_t>(source.shape.n_atoms)};
}

}  // namespace

std::optional<StackedPayloads> stacked_payloads(const std::optional<BatchSectionColumn>& column) {
  if (!column) return std::nullopt;
  return StackedPayloads{column->bytes.data(), column->per_molecule_bytes, column->type_tag};
}

PyResult<void> build_and_store(molarium::storage::AtomDatabase& database, const BatchSource& source) {
  const DatabaseSchema schema = batch_schema(source);
  auto records = molarium::pool::parallel_map<OwnedRecord>(
      source.shape.batch, [&](std::size_t i) { return build_record(source, i); }, kMinParallelBatch);
  if (!records) {
    // The builder's refusals, and a worker's fault too, are raised without a kind prefix.
    binding::raise_value_error(std::string_view(records.error().message()));
    return std::unexpected(Raised{});
  }
  auto stored = binding::without_gil([&] { return database.add_owned_soa_records_with_schema(std::move(*records), schema); });
  if (!stored) {
    binding::raise_error(stored.error());
    return std::unexpected(Raised{});
  }
  return {};
}

}  // namespace molarium::python::database
