// The records of a stacked batch: the batch's schema, the batch as the engine's record builder
// reads it (one SOA record per molecule, cut out of the stacked payloads), and its hand-over to
// the engine, which builds the records under the interpreter lock and writes them without it.
#include <utility>
#include <vector>

#include "engine/records/builtins.hpp"
#include "engine/records/record_builder.hpp"
#include "engine/storage/dtypes.hpp"
#include "python/database/batch.hpp"

namespace molarium::python::database {

namespace {

using molarium::storage::DatabaseSchema;
using molarium::storage::TypeTag;

constexpr auto kBuiltinKind = molarium::storage::SectionKind::Builtin;

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

// A column as the record builder reads it: its texts, or its bytes one payload after another.
StackedPayloads payloads_of(const BatchSectionColumn& column) {
  if (column.var_payloads) return StackedPayloads{nullptr, 0, column.type_tag, &*column.var_payloads};
  return StackedPayloads{column.bytes.data(), column.per_molecule_bytes, column.type_tag, nullptr};
}

// The source as the engine's record builder takes it. `custom` receives the custom sections, which
// must outlive the result.
records::StackedBatch stacked_batch(const BatchSource& source, std::vector<records::StackedSection>& custom) {
  records::StackedBatch batch;
  batch.count = source.shape.batch;
  batch.positions_type_tag = source.positions_type_tag;
  batch.positions = source.positions;
  batch.atomic_numbers = source.atomic_numbers;
  for (const records::BuiltinField field : records::kSchemaOrder) {
    const std::optional<StackedPayloads>* stacked = stacked_field(source, field);
    if (stacked != nullptr) {
      batch.builtins[static_cast<std::size_t>(field)] = *stacked;
    } else if (source.names != nullptr) {
      batch.builtins[static_cast<std::size_t>(field)] = StackedPayloads{nullptr, 0, TypeTag::Str, source.names};
    }
  }
  custom.clear();
  custom.reserve(source.custom.size());
  for (const BatchSectionColumn& column : source.custom) {
    custom.push_back({column.name, column.kind, payloads_of(column)});
  }
  batch.custom = custom;
  return batch;
}

// The interpreter lock is taken back for every block of records built from the source, so that no
// other Python code runs while the caller's arrays are read: another thread could resize one (and
// free its memory) or write into it part way through a record. It is released again while the
// engine compresses and writes the built block. Before each block, the arrays must still be the
// memory the records were planned on, or the call is refused.
class LockedWhileBuilt final : public records::BuildScope {
 public:
  LockedWhileBuilt(binding::AllowThreads& released, SourceCheck unchanged)
      : released_(released), unchanged_(unchanged) {}

  molarium::Result<void> enter() override {
    released_.hold();
    bool unchanged = false;
    try {
      unchanged = unchanged_();
    } catch (...) {
      // The engine goes on without the lock whatever leaves this call (std::bad_alloc included).
      released_.release();
      throw;
    }
    if (unchanged) return {};
    released_.release();
    return molarium::value_error(std::string(kArraysChanged));
  }
  void leave() override { released_.release(); }

 private:
  binding::AllowThreads& released_;
  SourceCheck unchanged_;
};

}  // namespace

std::optional<StackedPayloads> stacked_payloads(const std::optional<BatchSectionColumn>& column) {
  if (!column) return std::nullopt;
  return payloads_of(*column);
}

PyResult<void> build_and_store(molarium::storage::AtomDatabase& database, const BatchSource& source,
                               SourceCheck unchanged) {
  const DatabaseSchema schema = batch_schema(source);
  std::vector<records::StackedSection> custom;
  auto planned = records::StackedRecords::plan(stacked_batch(source, custom));
  if (!planned) {
    // The builder's refusals are raised without a kind prefix.
    binding::raise_value_error(std::string_view(planned.error().message()));
    return std::unexpected(Raised{});
  }
  molarium::Result<void> stored;
  {
    binding::AllowThreads released;
    LockedWhileBuilt scope(released, unchanged);
    stored = database.add_stacked_records(*planned, schema, scope);
  }
  if (!stored) {
    binding::raise_error(stored.error());
    return std::unexpected(Raised{});
  }
  return {};
}

}  // namespace molarium::python::database
