// The SOA record builder of batch ingestion: one record straight from byte ranges.
#include "engine/records/record_builder.hpp"

#include <cstddef>
#include <limits>
#include <string>
#include <utility>

#include "engine/records/builtins.hpp"
#include "engine/records/sections.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"

namespace molarium::records {

namespace {

using storage::TypeTag;
using storage::tag_byte;

inline constexpr std::uint64_t kMaxAtomCount = std::numeric_limits<std::uint32_t>::max();
inline constexpr storage::SectionKind kBuiltinKind = storage::SectionKind::Builtin;

// One section to be written, borrowed from the builder's arguments.
struct PendingSection {
  storage::SectionKind kind;
  std::string_view key;
  storage::TypeTag type_tag;
  ByteView payload;
};

// The present built-ins in record order. `pbc_bytes` receives the normalised flags and must
// outlive the returned sections.
std::size_t collect_builtins(const SoaBuiltinPayloads& builtins, std::array<std::uint8_t, 3>& pbc_bytes,
                             std::array<PendingSection, kBuiltinCount>& out) {
  std::size_t count = 0;
  for (const BuiltinSpec& spec : kBuiltins) {
    const std::optional<SoaBuiltinPayload>* field = nullptr;
    switch (spec.field) {
      case BuiltinField::Charges: field = &builtins.charges; break;
      case BuiltinField::Cell: field = &builtins.cell; break;
      case BuiltinField::Energy: field = &builtins.energy; break;
      case BuiltinField::Forces: field = &builtins.forces; break;
      case BuiltinField::Stress: field = &builtins.stress; break;
      case BuiltinField::Velocities: field = &builtins.velocities; break;
      case BuiltinField::Name:
        if (builtins.name) {
          const ByteView text(reinterpret_cast<const std::uint8_t*>(builtins.name->data()), builtins.name->size());
          out[count++] = {kBuiltinKind, spec.key, TypeTag::Str, text};
        }
        continue;
      case BuiltinField::Pbc:
        if (builtins.pbc) {
          // NumPy stores a bool as one byte but does not promise 0 or 1 in it; the record does.
          for (std::size_t axis = 0; axis < 3; ++axis) pbc_bytes[axis] = (*builtins.pbc)[axis] != 0 ? 1 : 0;
          out[count++] = {kBuiltinKind, spec.key, TypeTag::Pbc, ByteView(pbc_bytes)};
        }
        continue;
    }
    if (*field) out[count++] = {kBuiltinKind, spec.key, (*field)->type_tag, (*field)->payload};
  }
  return count;
}

// Adds one section's encoded length to `length`; false on overflow.
bool add_section_length(std::uint64_t& length, std::string_view key, ByteView payload) {
  return checked_add(length, storage::soa::kSectionHeaderSize + key.size(), length) &&
         checked_add(length, payload.size(), length);
}

// write_section with its refusal as this builder's Value error (without the kind prefix).
Result<void> write_plain(Bytes& record, storage::SectionKind kind, std::string_view key, storage::TypeTag type_tag,
                              ByteView payload) {
  auto written = write_section(record, kind, key, type_tag, payload);
  if (!written) return value_error(written.error().message());
  return {};
}

}  // namespace

Result<Bytes> build_soa_record_unchecked(std::uint8_t positions_type_tag, ByteView positions,
                                              ByteView atomic_numbers, const SoaBuiltinPayloads& builtins,
                                              std::span<const SoaSectionRef> custom) {
  const std::optional<std::size_t> stride = storage::soa::positions_stride(positions_type_tag);
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
  std::array<PendingSection, kBuiltinCount> builtin_sections{};
  const std::size_t builtin_count = collect_builtins(builtins, pbc_bytes, builtin_sections);
  const std::span<const PendingSection> present(builtin_sections.data(), builtin_count);

  // Without custom sections the count is at most eight, so the test is only needed with them.
  const std::size_t section_count = builtin_count + custom.size();
  if (!custom.empty() && section_count > storage::soa::kMaxSections) return value_error("Too many SOA sections");

  std::uint64_t length = storage::soa::kMinRecordSize;
  bool fits = checked_add(length, positions.size(), length) && checked_add(length, atomic_numbers.size(), length);
  for (const PendingSection& section : present) fits = fits && add_section_length(length, section.key, section.payload);
  for (const SoaSectionRef& section : custom) fits = fits && add_section_length(length, section.key, section.payload);
  if (!fits || length > std::numeric_limits<std::size_t>::max()) return value_error("SOA record length overflows");

  Bytes record;
  record.reserve(static_cast<std::size_t>(length));
  append_le<std::uint32_t>(record, static_cast<std::uint32_t>(atom_count));
  append_bytes(record, positions);
  append_bytes(record, atomic_numbers);
  append_le<std::uint16_t>(record, static_cast<std::uint16_t>(section_count));
  for (const PendingSection& section : present) {
    MOLARIUM_TRY_VOID(write_plain(record, section.kind, section.key, section.type_tag, section.payload));
  }
  for (const SoaSectionRef& section : custom) {
    MOLARIUM_TRY_VOID(write_plain(record, section.kind, section.key, section.type_tag, section.payload));
  }
  return record;
}

}  // namespace molarium::records
