// The SOA record builder of batch ingestion: one record straight from byte ranges.
#include "engine/records/record_builder.hpp"

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"

namespace molarium_rs::molecule::helpers {

namespace {

namespace soa_format = molarium::storage::soa;
using molarium::ByteView;
using molarium::Bytes;
using molarium::cat;
using molarium::checked_add;
using molarium::storage::TypeTag;
using molarium::storage::tag_byte;

inline constexpr std::uint64_t kMaxAtomCount = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint8_t kBuiltinKind = molarium::storage::kind_byte(molarium::storage::SectionKind::Builtin);

// One section to be written, borrowed from the builder's arguments.
struct PendingSection {
  std::uint8_t kind;
  std::string_view key;
  std::uint8_t type_tag;
  ByteView payload;
};

// The present built-ins in the engine writer's order. `pbc_bytes` receives the normalised flags
// and must outlive the returned sections.
std::size_t collect_builtins(const SoaBuiltinPayloads& builtins, std::array<std::uint8_t, 3>& pbc_bytes,
                             std::array<PendingSection, soa_format::kBuiltinCount>& out) {
  std::size_t count = 0;
  auto add = [&](std::string_view key, const std::optional<SoaBuiltinPayload>& field) {
    if (field) out[count++] = {kBuiltinKind, key, field->type_tag, field->payload};
  };
  add(soa_format::builtin::kCharges, builtins.charges);
  add(soa_format::builtin::kCell, builtins.cell);
  add(soa_format::builtin::kEnergy, builtins.energy);
  add(soa_format::builtin::kForces, builtins.forces);
  if (builtins.name) {
    const ByteView text(reinterpret_cast<const std::uint8_t*>(builtins.name->data()), builtins.name->size());
    out[count++] = {kBuiltinKind, soa_format::builtin::kName, tag_byte(TypeTag::Str), text};
  }
  if (builtins.pbc) {
    // NumPy stores a bool as one byte but does not promise 0 or 1 in it; the record does.
    for (std::size_t axis = 0; axis < 3; ++axis) pbc_bytes[axis] = (*builtins.pbc)[axis] != 0 ? 1 : 0;
    out[count++] = {kBuiltinKind, soa_format::builtin::kPbc, tag_byte(TypeTag::Pbc), ByteView(pbc_bytes)};
  }
  add(soa_format::builtin::kStress, builtins.stress);
  add(soa_format::builtin::kVelocities, builtins.velocities);
  return count;
}

// Adds one section's encoded length to `length`; false on overflow.
bool add_section_length(std::uint64_t& length, std::string_view key, ByteView payload) {
  return checked_add(length, soa_format::kSectionHeaderSize + key.size(), length) &&
         checked_add(length, payload.size(), length);
}

}  // namespace

ValueResult<void> write_soa_section_raw(Bytes& record, std::uint8_t kind, std::string_view key, std::uint8_t type_tag,
                                        ByteView payload) {
  // The engine's writer checks and appends exactly as its own records need; its invalid-data
  // message is this builder's plain text.
  auto written = soa_format::write_section(record, kind, key, type_tag, payload);
  if (!written) return value_error(written.error().message());
  return {};
}

ValueResult<Bytes> build_soa_record_unchecked(std::uint8_t positions_type_tag, ByteView positions,
                                              ByteView atomic_numbers, const SoaBuiltinPayloads& builtins,
                                              std::span<const soa::SoaSectionRef> custom) {
  const std::optional<std::size_t> stride = soa_format::positions_stride(positions_type_tag);
  if (!stride) return value_error(cat("Unsupported positions type tag ", unsigned{positions_type_tag}));
  if (positions.size() % *stride != 0) {
    return value_error(cat("positions payload length (", positions.size(), ") is not a multiple of ", *stride));
  }
  const std::size_t atom_count = positions.size() / *stride;
  if (atomic_numbers.size() != atom_count) {
    return value_error(cat("Atomic numbers length (", atomic_numbers.size(), ") doesn't match atom count (",
                           atom_count, ")"));
  }
  // The record stores the count as u32; a larger one would be written truncated.
  if (atom_count > kMaxAtomCount) return value_error(cat("Atom count ", atom_count, " exceeds u32 range"));

  std::array<std::uint8_t, 3> pbc_bytes{};
  std::array<PendingSection, soa_format::kBuiltinCount> builtin_sections{};
  const std::size_t builtin_count = collect_builtins(builtins, pbc_bytes, builtin_sections);
  const std::span<const PendingSection> present(builtin_sections.data(), builtin_count);

  // Without custom sections the count is at most eight, so the test is only needed with them.
  const std::size_t section_count = builtin_count + custom.size();
  if (!custom.empty() && section_count > soa_format::kMaxSections) return value_error("Too many SOA sections");

  std::uint64_t length = soa_format::kMinRecordSize;
  bool fits = checked_add(length, positions.size(), length) && checked_add(length, atomic_numbers.size(), length);
  for (const PendingSection& section : present) fits = fits && add_section_length(length, section.key, section.payload);
  for (const soa::SoaSectionRef& section : custom) {
    fits = fits && add_section_length(length, section.key, section.payload);
  }
  if (!fits || length > std::numeric_limits<std::size_t>::max()) return value_error("SOA record length overflows");

  Bytes record;
  record.reserve(static_cast<std::size_t>(length));
  molarium::append_le<std::uint32_t>(record, static_cast<std::uint32_t>(atom_count));
  molarium::append_bytes(record, positions);
  molarium::append_bytes(record, atomic_numbers);
  molarium::append_le<std::uint16_t>(record, static_cast<std::uint16_t>(section_count));
  for (const PendingSection& section : present) {
    auto written = write_soa_section_raw(record, section.kind, section.key, section.type_tag, section.payload);
    if (!written) return std::unexpected(std::move(written).error());
  }
  for (const soa::SoaSectionRef& section : custom) {
    auto written = write_soa_section_raw(record, section.kind, section.key, section.type_tag, section.payload);
    if (!written) return std::unexpected(std::move(written).error());
  }
  return record;
}

}  // namespace molarium_rs::molecule::helpers
