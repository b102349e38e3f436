// The SOA record builder of batch ingestion: records straight from byte ranges.
#include "engine/records/record_builder.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "engine/records/sections.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/soa.hpp"

namespace molarium::records {

namespace {

using storage::TypeTag;
using storage::tag_byte;

inline constexpr std::uint64_t kMaxAtomCount = std::numeric_limits<std::uint32_t>::max();
inline constexpr storage::SectionKind kBuiltinKind = storage::SectionKind::Builtin;

// The bytes of a section header before its payload length: kind, key length, key, tag.
// REQUIRES: the key fits (check_section_fits), or the head is never written.
std::string section_head(storage::SectionKind kind, std::string_view key, TypeTag type_tag) {
  std::string head;
  head.reserve(3 + key.size());
  head.push_back(static_cast<char>(storage::kind_byte(kind)));
  head.push_back(static_cast<char>(static_cast<std::uint8_t>(key.size())));
  head.append(key);
  head.push_back(static_cast<char>(tag_byte(type_tag)));
  return head;
}

// The tag a built-in is written with: the name is always text and pbc always flags.
TypeTag written_tag(BuiltinField field, const StackedPayloads& payloads) {
  if (field == BuiltinField::Name) return TypeTag::Str;
  if (field == BuiltinField::Pbc) return TypeTag::Pbc;
  return payloads.type_tag;
}

std::string_view key_of(const std::string& head) {
  return std::string_view(head).substr(2, head.size() - 3);
}

}  // namespace

Result<StackedRecords> StackedRecords::plan(const StackedBatch& batch) {
  StackedRecords records;
  records.count_ = batch.count;
  if (batch.count == 0) return records;

  const std::uint8_t positions_type_tag = batch.positions_type_tag;
  const std::optional<std::size_t> stride = storage::soa::positions_stride(positions_type_tag);
  if (!stride) return value_error(cat("Unsupported positions type tag ", unsigned{positions_type_tag}));
  const std::uint64_t positions_bytes = batch.positions.per_molecule_bytes;
  if (positions_bytes % *stride != 0) {
    return value_error(cat("positions payload length (", positions_bytes, ") is not a multiple of ", *stride));
  }
  const std::uint64_t atom_count = positions_bytes / *stride;
  if (batch.atomic_numbers.per_molecule_bytes != atom_count) {
    return value_error(cat("Atomic numbers length (", batch.atomic_numbers.per_molecule_bytes,
                           ") doesn't match atom count (", atom_count, ")"));
  }
  // The record stores the count as u32; a larger one would be written truncated.
  if (atom_count > kMaxAtomCount) return value_error(cat("Atom count ", atom_count, " exceeds u32 range"));
  records.atom_count_ = static_cast<std::uint32_t>(atom_count);
  records.positions_ = batch.positions;
  records.atomic_numbers_ = batch.atomic_numbers;

  for (const BuiltinSpec& spec : kBuiltins) {
    const std::optional<StackedPayloads>& payloads = batch.builtins[static_cast<std::size_t>(spec.field)];
    if (!payloads) continue;
    records.sections_.push_back(
        {section_head(kBuiltinKind, spec.key, written_tag(spec.field, *payloads)), *payloads,
         spec.field == BuiltinField::Pbc});
  }
  // Without custom sections the count is at most eight, so the test is only needed with them.
  if (!batch.custom.empty() && records.sections_.size() + batch.custom.size() > storage::soa::kMaxSections) {
    return value_error("Too many SOA sections");
  }
  for (const StackedSection& section : batch.custom) {
    records.sections_.push_back({section_head(section.kind, section.key, section.payloads.type_tag), section.payloads});
  }

  // Every length but the texts' is the same in every record.
  std::uint64_t fixed = storage::soa::kMinRecordSize;
  bool fixed_fits = checked_add(fixed, positions_bytes, fixed) && checked_add(fixed, atom_count, fixed);
  bool has_texts = false;
  for (const Section& section : records.sections_) {
    fixed_fits = fixed_fits && checked_add(fixed, storage::soa::kSectionHeaderSize + key_of(section.head).size(), fixed);
    if (section.payloads.texts != nullptr) {
      has_texts = true;
    } else {
      fixed_fits = fixed_fits && checked_add(fixed, section.payloads.per_molecule_bytes, fixed);
    }
  }
  records.fixed_length_ = fixed;

  // Record by record, the checks of one record, in order; without texts every record passes or
  // fails as the first does.
  const std::size_t checked = has_texts ? batch.count : 1;
  if (has_texts) records.lengths_.resize(batch.count);
  for (std::size_t i = 0; i < checked; ++i) {
    std::uint64_t length = fixed;
    bool fits = fixed_fits;
    for (const Section& section : records.sections_) {
      if (section.payloads.texts != nullptr) fits = fits && checked_add(length, section.payloads.at(i).size(), length);
    }
    if (!fits || length > std::numeric_limits<std::size_t>::max()) return value_error("SOA record length overflows");
    for (const Section& section : records.sections_) {
      auto fits_section = check_section_fits(key_of(section.head), section.payloads.at(i).size());
      if (!fits_section) return value_error(fits_section.error().message());
    }
    if (has_texts) records.lengths_[i] = length;
    records.max_length_ = std::max(records.max_length_, length);
  }
  return records;
}

void StackedRecords::write(std::size_t i, std::uint8_t* out) const {
  auto copy = [&out](ByteView bytes) {
    // A zero-length payload may come with a null pointer, which memcpy must not see.
    if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
    out += bytes.size();
  };
  store_le<std::uint32_t>(out, atom_count_);
  out += storage::soa::kAtomCountSize;
  copy(positions_.at(i));
  copy(atomic_numbers_.at(i));
  store_le<std::uint16_t>(out, static_cast<std::uint16_t>(sections_.size()));
  out += storage::soa::kSectionCountSize;
  for (const Section& section : sections_) {
    std::memcpy(out, section.head.data(), section.head.size());
    out += section.head.size();
    const ByteView payload = section.payloads.at(i);
    store_le<std::uint32_t>(out, static_cast<std::uint32_t>(payload.size()));
    out += sizeof(std::uint32_t);
    if (section.flags) {
      // NumPy stores a bool as one byte but does not promise 0 or 1 in it; the record does.
      for (std::size_t k = 0; k < payload.size(); ++k) out[k] = payload[k] != 0 ? 1 : 0;
      out += payload.size();
    } else {
      copy(payload);
    }
  }
}

}  // namespace molarium::records
