// The SOA record builder of batch ingestion: records straight from byte ranges, without an
// intermediate molecule, each written once into the memory it is stored from. Touches no Python
// object and needs no interpreter lock, so pool threads run it; it writes the same bytes as the
// engine's serialize_molecule_soa for the same content.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/records/builtins.hpp"
#include "engine/records/fast_record.hpp"

namespace molarium::records {

// ---------------------------------------------------------------------------------------------
// Stacked batches: one record per molecule, every molecule with the same atom count and sections.

// One field of every record of a batch, borrowed. Fixed-size payloads lie back to back: record
// i's is bytes [i * per_molecule_bytes, (i + 1) * per_molecule_bytes) of `data`. With `texts`,
// record i's payload is texts[i] instead, of its own length.
struct StackedPayloads {
  const std::uint8_t* data = nullptr;
  std::uint64_t per_molecule_bytes = 0;
  storage::TypeTag type_tag = storage::TypeTag::F64;
  const std::vector<std::string>* texts = nullptr;

  // The same memory read the same way.
  bool operator==(const StackedPayloads&) const = default;

  // REQUIRES: i is below the batch size.
  ByteView at(std::size_t i) const {
    if (texts != nullptr) {
      const std::string& text = (*texts)[i];
      return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
    }
    return {data + i * per_molecule_bytes, static_cast<std::size_t>(per_molecule_bytes)};
  }
};

// One custom section of every record of a batch.
struct StackedSection {
  std::string_view key;
  storage::SectionKind kind = storage::SectionKind::Molecule;
  StackedPayloads payloads;
};

// A batch of molecules laid out field by field. Positions and atomic numbers are fixed-size
// payloads (their type tags unused); a present built-in is given by its field (the name as texts,
// pbc as three flag bytes per record).
struct StackedBatch {
  std::size_t count = 0;
  std::uint8_t positions_type_tag = 4;  // 4 float32, 7 float64
  StackedPayloads positions;
  StackedPayloads atomic_numbers;
  std::array<std::optional<StackedPayloads>, kBuiltinCount> builtins;  // indexed by BuiltinField
  std::span<const StackedSection> custom;                              // in record order
};

// The stretches in which an append writes a stacked batch's records from the memory the batch
// borrows. The owner of that memory may have to keep it from changing during each stretch (the
// Python layer holds the interpreter lock, so that no other Python code resizes or writes the
// caller's arrays meanwhile) and to check before each one that it is still the memory the records
// were planned on.
class BuildScope {
 public:
  // Before records are written from the memory. A refusal ends the append before anything more is
  // read from it; leave() is then not called.
  virtual Result<void> enter() = 0;
  // After; the memory is not read again before the next enter().
  virtual void leave() = 0;

 protected:
  ~BuildScope() = default;
};

// The records of a stacked batch, checked and measured, so that each can be written straight to
// its place in a larger buffer. Each record: u32 atom count, the positions bytes, the atomic-number
// bytes, the u16 section count, the present built-ins in the engine writer's order (charges, cell,
// energy, forces, name, pbc, stress, velocities, kind 0), then the custom sections in the order
// given, each with its own kind; pbc flags are written as 0 or 1 (any nonzero byte counts as set).
// Borrows the batch's memory (which must outlive it and stay unchanged while records are written);
// holds one entry per record only when their lengths differ.
class StackedRecords {
 public:
  // Checks every record in record order and returns the first refusal; a batch without records is
  // never refused. Errors (Value errors, raised as ValueError as they are): "Unsupported positions
  // type tag {}", "positions payload length ({}) is not a multiple of {}", "Atomic numbers length
  // ({}) doesn't match atom count ({})", "Atom count {} exceeds u32 range", "Too many SOA sections",
  // "SOA record length overflows", and those of check_section_fits.
  static Result<StackedRecords> plan(const StackedBatch& batch);

  std::size_t size() const { return count_; }
  // The atom count of every record.
  std::uint32_t atom_count() const { return atom_count_; }
  // Record i's length in bytes. REQUIRES: i < size().
  std::uint64_t length(std::size_t i) const { return lengths_.empty() ? fixed_length_ : lengths_[i]; }
  // The longest record's length; 0 without records.
  std::uint64_t max_length() const { return max_length_; }
  // Writes record i into out[0, length(i)). Thread-safe: only reads the plan and the batch.
  void write(std::size_t i, std::uint8_t* out) const;

 private:
  // One section as it is written: the bytes before the payload length (kind, key length, key,
  // tag), which every record shares, and where each record's payload comes from.
  struct Section {
    std::string head;
    StackedPayloads payloads;
    bool flags = false;  // pbc: each byte stored as 0 or 1
  };

  std::size_t count_ = 0;
  std::uint32_t atom_count_ = 0;
  StackedPayloads positions_;
  StackedPayloads atomic_numbers_;
  std::vector<Section> sections_;
  std::uint64_t fixed_length_ = 0;
  std::uint64_t max_length_ = 0;
  std::vector<std::uint64_t> lengths_;  // empty when every record is fixed_length_ long
};

}  // namespace molarium::records
