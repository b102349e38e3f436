// Flat extraction: the layout of a selection, its buffers allocated once, and the parallel fill
// of every selected molecule's rows and slots from its stored record.
#include "engine/records/flat_extraction.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "engine/compression.hpp"
#include "engine/pool.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/schema.hpp"
#include "engine/storage/soa.hpp"
#include "engine/utf8.hpp"
#include "engine/records/fast_record.hpp"
#include "engine/records/payload_elements.hpp"
#include "engine/records/section_rule.hpp"

namespace molarium::records {

namespace {

namespace dtypes = storage::dtypes;
using storage::AtomDatabase;
using storage::DatabaseSchema;
using storage::tag_byte;
using storage::TypeTag;
using storage::DatabaseSchemaSection;
using storage::index::MoleculeIndex;

// A section's identity within a record. The key views a layout entry's own string.
using SectionId = std::pair<storage::SectionKind, std::string_view>;
using KeyMap = std::map<SectionId, std::size_t>;
using ByteBuffer = FlatBuffer<std::uint8_t>;

// A vector may not hold more than PTRDIFF_MAX bytes; beyond that it throws instead of failing.
constexpr std::uint64_t kMaxBufferBytes = static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max());

// Below these many record bytes a selection is filled on the calling thread: waking the pool's
// workers costs more than copying a hundred small records (measured on eight threads: 32
// molecules of about 850 bytes 14 µs inline against 35 µs on the pool, 128 alike, 256 faster on
// the pool). Decompressing a byte costs several times more than copying it, so compressed
// selections go to the pool sooner.
constexpr std::uint64_t kInlineRecordBytes = 96 * 1024;
constexpr std::uint64_t kInlineCompressedRecordBytes = 32 * 1024;
// Records up to this long are decoded into a buffer that each thread keeps and reuses.
constexpr std::uint64_t kScratchRecordBytes = 1 << 20;

// ---------------------------------------------------------------------------------------------
// Selection: what the index says about every selected molecule, and the atom offsets

// The atom count of every selected molecule, in selection order.
std::vector<std::uint32_t> atom_counts(std::span<const MoleculeIndex> entries) {
  std::vector<std::uint32_t> counts;
  counts.reserve(entries.size());
  for (const MoleculeIndex& entry : entries) counts.push_back(entry.num_atoms);
  return counts;
}

// n + 1 prefix sums: molecule i owns atom rows offsets[i] to offsets[i + 1] - 1.
Result<std::vector<std::uint64_t>> atom_offsets(std::span<const std::uint32_t> counts) {
  std::vector<std::uint64_t> offsets;
  offsets.reserve(counts.size() + 1);
  offsets.push_back(0);
  for (const std::uint32_t count : counts) {
    std::uint64_t next = 0;
    if (!checked_add(offsets.back(), count, next)) return invalid_data("atom offset overflow");
    offsets.push_back(next);
  }
  return offsets;
}

// Index entries are untrusted and every buffer is sized by their atom counts: an entry that
// claims more atoms than its record can hold is refused here, before a damaged count can make
// the call allocate gigabytes. A record of n atoms takes at least 6 + n * (stride + 1) bytes.
// Returns the selection's total record length, the measure of the fill's work.
Result<std::uint64_t> check_counts_fit_records(std::span<const std::size_t> indices,
                                               std::span<const MoleculeIndex> entries, std::size_t positions_stride) {
  namespace record = storage::soa;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const std::uint64_t length = entries[i].uncompressed_len;
    const std::uint32_t count = entries[i].num_atoms;
    // Cannot overflow: a u32 count times at most 25 bytes.
    const std::uint64_t minimum = record::kMinRecordSize + static_cast<std::uint64_t>(count) * (positions_stride + 1);
    if (minimum > length) {
      return invalid_data(cat("Index entry ", indices[i], " claims ", count, " atoms, more than its record of ",
                              length, " bytes can hold"));
    }
    total += length;  // at most 2^32 per index entry: a selection cannot make it wrap
  }
  return total;
}

// ---------------------------------------------------------------------------------------------
// Layout

struct Layout {
  std::vector<DatabaseSchemaSection> sections;
  // Set: record sections are matched to layout entries by position. Clear: by (kind, key).
  bool strict = true;
};

// The sections of one record as layout entries, in record order.
Result<std::vector<DatabaseSchemaSection>> record_sections(ByteView record, std::size_t positions_stride) {
  MOLARIUM_ASSIGN_OR_RETURN(auto parsed, parse_mol_fast_soa(record, positions_stride));
  std::vector<DatabaseSchemaSection> sections;
  sections.reserve(parsed.sections.size());
  for (const SoaSectionRef& section : parsed.sections) {
    MOLARIUM_ASSIGN_OR_RETURN(auto schema, section_schema_from_ref(section, parsed.atom_count));
    sections.push_back(std::move(schema));
  }
  return sections;
}

// Same number of entries, and every lock section found in the template under its (kind, key)
// with the same tag, per-atom flag and sizes: the two describe the same fields.
bool template_matches_lock(const std::vector<DatabaseSchemaSection>& record_layout, const DatabaseSchema& lock) {
  if (record_layout.size() != lock.sections.size()) return false;
  std::map<SectionId, const DatabaseSchemaSection*> by_id;
  for (const DatabaseSchemaSection& entry : record_layout) by_id.insert_or_assign(SectionId(entry.kind, entry.key), &entry);
  for (const auto& section : lock.sections) {
    const auto found = by_id.find(SectionId(section.kind, section.key));
    if (found == by_id.end() || section != *found->second) return false;
  }
  return true;
}

// A layout taken from the lock sizes buffers from the lock's entries, which a damaged blob can
// make ask for gigabytes. Each must be an entry a writer can produce, and where the template record
// holds the same field with the same tag, its slot must be the lock's (a molecule-level array's
// slot is the one size the tag does not fix).
Result<Layout> choose_layout(std::vector<DatabaseSchemaSection> record_layout, const std::optional<DatabaseSchema>& lock) {
  if (!lock || template_matches_lock(record_layout, *lock)) return Layout{std::move(record_layout), true};
  std::map<SectionId, const DatabaseSchemaSection*> in_template;
  for (const DatabaseSchemaSection& entry : record_layout) in_template.insert_or_assign(SectionId(entry.kind, entry.key), &entry);
  Layout layout{{}, false};
  layout.sections.reserve(lock->sections.size());
  for (const auto& section : lock->sections) {
    const storage::schema::SchemaEntry entry{section.type_tag, section.per_atom, section.elem_bytes,
                                                       section.slot_bytes};
    MOLARIUM_TRY_VOID(storage::schema::check_entry_fits_tag(section.kind, section.key, entry));
    const auto found = in_template.find(SectionId(section.kind, section.key));
    if (found != in_template.end() && found->second->type_tag == section.type_tag &&
        found->second->slot_bytes != section.slot_bytes) {
      return invalid_data(cat("Section '", section.key, "' holds ", found->second->slot_bytes,
                              " bytes per slot, but the schema lock says ", section.slot_bytes));
    }
    layout.sections.push_back(section);
  }
  return layout;
}

// (kind, key) to layout position; a pair that occurs twice maps to its later position.
KeyMap key_map(const std::vector<DatabaseSchemaSection>& sections) {
  KeyMap keys;
  for (std::size_t j = 0; j < sections.size(); ++j) {
    keys.insert_or_assign(SectionId(sections[j].kind, sections[j].key), j);
  }
  return keys;
}

// ---------------------------------------------------------------------------------------------
// Buffers

// unit * count bytes, refused before allocating when the product overflows or exceeds what a
// buffer may hold.
Result<std::size_t> buffer_bytes(std::uint64_t unit, std::uint64_t count, std::string_view what) {
  std::uint64_t bytes = 0;
  if (!checked_mul(unit, count, bytes) || bytes > kMaxBufferBytes) {
    return invalid_data(cat("Flat buffer for ", what, " is too large (", unit, " x ", count, " bytes)"));
  }
  return static_cast<std::size_t>(bytes);
}

bool is_string_column_tag(TypeTag tag) { return tag == TypeTag::Str || tag == TypeTag::Null; }

// The fixed-size buffer of one layout section, not yet written: empty for variable-size sections,
// element bytes per atom for per-atom sections, slot bytes per molecule otherwise. The buffers
// are not zeroed here: each molecule's fill writes or zeroes its own part, on its own thread.
Result<ByteBuffer> fixed_buffer(const DatabaseSchemaSection& entry, std::uint64_t total_atoms, std::size_t molecules) {
  if (entry.slot_bytes == 0 || dtypes::is_tensor_tag(entry.type_tag)) return ByteBuffer();
  MOLARIUM_ASSIGN_OR_RETURN(const auto bytes,
                            entry.per_atom
                                ? buffer_bytes(entry.elem_bytes, total_atoms, cat("section '", entry.key, "'"))
                                : buffer_bytes(entry.slot_bytes, molecules, cat("section '", entry.key, "'")));
  return ByteBuffer(bytes);
}

Result<FlatPositions> positions_buffer(std::uint8_t positions_type_tag, std::size_t positions_stride,
                                       std::uint64_t total_atoms) {
  MOLARIUM_ASSIGN_OR_RETURN(const auto bytes, buffer_bytes(positions_stride, total_atoms, "positions"));
  if (positions_type_tag == tag_byte(TypeTag::Vec3F32)) return FlatPositions(FlatBuffer<float>(bytes / sizeof(float)));
  if (positions_type_tag == tag_byte(TypeTag::Vec3F64)) return FlatPositions(ByteBuffer(bytes));
  return invalid_data(cat("Unsupported positions type tag ", static_cast<unsigned>(positions_type_tag)));
}

// A column of variable-size entries, one per selected molecule, that fill tasks write under the
// column's own lock.
template <class Entry>
class ColumnGatherer {
 public:
  explicit ColumnGatherer(std::size_t molecules) : entries_(molecules) {}
  // Replaces an earlier entry i (a record that repeats a section).
  void store(std::size_t i, Entry entry) {
    std::lock_guard guard(lock_);
    entries_[i] = std::move(entry);
  }
  std::vector<std::optional<Entry>> take() { return std::move(entries_); }

 private:
  std::mutex lock_;
  std::vector<std::optional<Entry>> entries_;
};

template <class Entry>
using Gatherers = std::vector<std::unique_ptr<ColumnGatherer<Entry>>>;  // null where a section has none

void copy_into(ByteBuffer& buffer, std::uint64_t at, ByteView bytes) {
  if (!bytes.empty()) std::memcpy(buffer.data() + at, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// The record plan: where a record's parts lie, from its layout and atom count alone

// One section of a record that holds exactly the layout's sections in the layout's order: its
// header bytes up to the payload length (kind, key length, key, type tag) are the layout entry's,
// and its payload length is elem_bytes per atom or a fixed number of bytes.
struct PlannedSection {
  std::string header;  // kind, key length, key, type tag
  bool per_atom = false;
  std::uint64_t length = 0;  // payload bytes per atom when per_atom, else per record
  bool stored = true;        // false for a null section, which stores nothing
};

// A strict layout's records mostly hold exactly its sections, in its order (every record of one
// writer call shares them): then a record's parts lie at offsets fixed by its atom count, and
// checking that its section headers are the layout's bytes replaces walking and checking each
// section (key UTF-8, tag, payload length by the section rule). Empty when the layout has a
// variable-size section (texts, tensors), whose payloads are not fixed by the atom count; records
// that differ in any way from the plan take the full path, which words every fault.
std::vector<PlannedSection> record_plan(const Layout& layout) {
  std::vector<PlannedSection> plan;
  if (!layout.strict) return plan;
  for (const DatabaseSchemaSection& entry : layout.sections) {
    const bool null = entry.type_tag == TypeTag::Null;
    if (!null && (entry.slot_bytes == 0 || dtypes::is_tensor_tag(entry.type_tag) || is_string_column_tag(entry.type_tag))) {
      return {};
    }
    if (entry.key.size() > 255) return {};
    PlannedSection planned;
    planned.header.push_back(static_cast<char>(entry.kind));
    planned.header.push_back(static_cast<char>(entry.key.size()));
    planned.header += entry.key;
    planned.header.push_back(static_cast<char>(entry.type_tag));
    planned.per_atom = !null && entry.per_atom;
    planned.length = null ? 0 : entry.per_atom ? entry.elem_bytes : entry.slot_bytes;
    planned.stored = !null;
    plan.push_back(std::move(planned));
  }
  return plan;
}

// ---------------------------------------------------------------------------------------------
// Filling one molecule

// Writes every selected molecule's part of the buffers. Molecule i writes only its own atom rows
// (offsets[i] to offsets[i + 1] - 1) and slot i, and its column entries under their locks, so
// fill() may run for different molecules on different threads at once. A successful fill has
// written every byte of molecule i's part: its sections' values, and zeros for the layout
// sections it lacks.
class Filler {
 public:
  Filler(const SoaContext& context, std::span<const std::uint32_t> counts,
         std::span<const std::uint64_t> offsets, const Layout& layout, const KeyMap& keys, bool has_lock,
         FlatPositions& positions, ByteBuffer& atomic_numbers, std::vector<ByteBuffer>& fixed,
         Gatherers<std::string>& strings, Gatherers<Bytes>& tensors, std::span<const PlannedSection> plan)
      : context_(context), counts_(counts), offsets_(offsets), layout_(layout), keys_(keys), has_lock_(has_lock),
        positions_(positions), atomic_numbers_(atomic_numbers), fixed_(fixed), strings_(strings), tensors_(tensors),
        plan_(plan) {}

  Result<void> fill(std::size_t i, ByteView record) const {
    if (!plan_.empty() && fill_planned(i, record)) return {};
    return fill_parsed(i, record);
  }

 private:
  // Fills molecule i when its record matches the plan byte for byte in every section header, and
  // returns true; otherwise returns false, having perhaps written part of molecule i's rows and
  // slot, which the full path then writes again whole. What it stores is what the full path
  // stores for such a record: the same payloads at the same places.
  bool fill_planned(std::size_t i, ByteView record) const {
    namespace soa = storage::soa;
    const std::uint64_t atom_count = counts_[i];
    const std::size_t length = record.size();
    if (length < soa::kAtomCountSize || load_le<std::uint32_t>(record.data()) != atom_count) return false;
    // Cannot overflow: a u32 count times at most 25 bytes.
    const std::uint64_t positions_length = atom_count * context_.positions_stride;
    const std::uint64_t numbers_end = soa::kAtomCountSize + positions_length + atom_count;
    if (numbers_end + soa::kSectionCountSize > length) return false;
    if (load_le<std::uint16_t>(record.data() + numbers_end) != plan_.size()) return false;
    std::uint64_t cursor = numbers_end + soa::kSectionCountSize;
    for (std::size_t j = 0; j < plan_.size(); ++j) {
      const PlannedSection& planned = plan_[j];
      const std::size_t header = planned.header.size();
      if (length - cursor < header + 4) return false;
      if (std::memcmp(record.data() + cursor, planned.header.data(), header) != 0) return false;
      const std::uint64_t payload_length = load_le<std::uint32_t>(record.data() + cursor + header);
      if (payload_length != (planned.per_atom ? planned.length * atom_count : planned.length)) return false;
      cursor += header + 4;
      if (length - cursor < payload_length) return false;
      if (planned.stored) {
        const DatabaseSchemaSection& entry = layout_.sections[j];
        const std::uint64_t at = entry.per_atom ? entry.elem_bytes * offsets_[i] : entry.slot_bytes * i;
        copy_into(fixed_[j], at, record.subspan(cursor, payload_length));
      }
      cursor += payload_length;
    }
    SoaFastRecord atoms;
    atoms.positions = record.subspan(soa::kAtomCountSize, positions_length);
    atoms.atomic_numbers = record.subspan(soa::kAtomCountSize + positions_length, atom_count);
    return copy_atoms(i, atoms).has_value();
  }

  Result<void> fill_parsed(std::size_t i, ByteView record) const {
    MOLARIUM_ASSIGN_OR_RETURN(auto parsed, parse_mol_fast_soa(record, context_.positions_stride));
    // The buffers are laid out by the index's counts: a record of another count would write
    // into its neighbours' rows (or past the buffers), so it is refused before anything is copied.
    if (parsed.atom_count != counts_[i]) {
      return invalid_data(cat("SOA record of molecule ", i, " holds ", parsed.atom_count,
                              " atoms, but its index entry says ", counts_[i]));
    }
    MOLARIUM_TRY_VOID(copy_atoms(i, parsed));
    return layout_.strict ? fill_positional(i, parsed) : fill_keyed(i, parsed, 0);
  }

  Result<void> copy_atoms(std::size_t i, const SoaFastRecord& record) const {
    const std::uint64_t first_atom = offsets_[i];
    if (context_.positions_type_tag == tag_byte(TypeTag::Vec3F32)) {
      auto* values = std::get_if<FlatBuffer<float>>(&positions_);
      if (values == nullptr) return invalid_data("missing f32 position buffer");
      decode_le_elements<float>(record.positions, values->data() + 3 * first_atom);
    } else if (context_.positions_type_tag == tag_byte(TypeTag::Vec3F64)) {
      auto* bytes = std::get_if<ByteBuffer>(&positions_);
      if (bytes == nullptr) return invalid_data("missing f64 position buffer");
      copy_into(*bytes, context_.positions_stride * first_atom, record.positions);
    } else {
      return invalid_data(cat("Unsupported positions type tag ", static_cast<unsigned>(context_.positions_type_tag)));
    }
    copy_into(atomic_numbers_, first_atom, record.atomic_numbers);
    return {};
  }

  // Record section j goes to layout entry j. With a schema lock, every record written under it
  // holds some of the lock's sections, in its writer's order (writers order sections
  // differently, and a molecule may lack a field others have): a record whose sections are all
  // distinct layout sections is valid data and is matched by (kind, key) from its first
  // differing position on, as with a layout taken from the lock.
  Result<void> fill_positional(std::size_t i, const SoaFastRecord& record) const {
    // Looked at only when positions disagree: the common record matches position by position.
    const auto matchable_by_key = [&] { return has_lock_ && sections_within_layout(record); };
    if (record.sections.size() != layout_.sections.size()) {
      if (matchable_by_key()) return fill_keyed(i, record, 0);
      return invalid_data(cat("SOA schema mismatch for molecule ", i, ": expected ", layout_.sections.size(),
                              " sections, got ", record.sections.size()));
    }
    for (std::size_t j = 0; j < record.sections.size(); ++j) {
      const SoaSectionRef& section = record.sections[j];
      const DatabaseSchemaSection& entry = layout_.sections[j];
      if (section.kind != entry.kind || section.key != entry.key) {
        if (matchable_by_key()) return fill_keyed(i, record, j);
        return invalid_data(cat("SOA schema order mismatch at molecule ", i, " for section '", section.key, "'"));
      }
      MOLARIUM_TRY_VOID(check_tag(i, section, entry));
      MOLARIUM_TRY_VOID(store(i, j, section, record.atom_count));
    }
    return {};
  }

  // Matches record sections first to last from `first` on by (kind, key); sections before
  // `first` were stored at their own positions. Zeroes the parts of the sections it lacks.
  Result<void> fill_keyed(std::size_t i, const SoaFastRecord& record, std::size_t first) const {
    std::vector<bool> stored(layout_.sections.size(), false);
    std::fill_n(stored.begin(), first, true);
    for (std::size_t s = first; s < record.sections.size(); ++s) {
      const SoaSectionRef& section = record.sections[s];
      const auto found = keys_.find(SectionId(section.kind, section.key));
      if (found == keys_.end()) {
        return invalid_data(cat("Unexpected SOA section '", section.key, "' in molecule ", i));
      }
      MOLARIUM_TRY_VOID(check_tag(i, section, layout_.sections[found->second]));
      MOLARIUM_TRY_VOID(store(i, found->second, section, record.atom_count));
      stored[found->second] = true;
    }
    for (std::size_t j = 0; j < layout_.sections.size(); ++j) {
      if (!stored[j]) zero_part(i, j);
    }
    return {};
  }

  // Zeroes molecule i's rows (per-atom sections) or slot (molecule-level ones) of buffer j.
  void zero_part(std::size_t i, std::size_t j) const {
    if (fixed_[j].empty()) return;
    const DatabaseSchemaSection& entry = layout_.sections[j];
    if (entry.per_atom) {
      fixed_[j].zero_range(entry.elem_bytes * offsets_[i], entry.elem_bytes * counts_[i]);
    } else {
      fixed_[j].zero_range(entry.slot_bytes * i, entry.slot_bytes);
    }
  }

  // Every record section names a distinct layout entry.
  bool sections_within_layout(const SoaFastRecord& record) const {
    std::vector<bool> seen(layout_.sections.size(), false);
    for (const SoaSectionRef& section : record.sections) {
      const auto found = keys_.find(SectionId(section.kind, section.key));
      if (found == keys_.end() || seen[found->second]) return false;
      seen[found->second] = true;
    }
    return true;
  }

  static Result<void> check_tag(std::size_t i, const SoaSectionRef& section, const DatabaseSchemaSection& entry) {
    if (section.type_tag == entry.type_tag) return {};
    return invalid_data(cat("SOA schema mismatch at molecule ", i, " for section '", section.key, "'"));
  }

  // Stores one section of molecule i at layout position j by the layout entry's tag and sizes.
  Result<void> store(std::size_t i, std::size_t j, const SoaSectionRef& section, std::uint64_t atom_count) const {
    const DatabaseSchemaSection& entry = layout_.sections[j];
    const ByteView payload = section.payload;
    if (dtypes::is_tensor_tag(entry.type_tag)) {
      // Only the shape check is wanted here; the dictionary builder reads the shape again.
      MOLARIUM_TRY_VOID(dtypes::tensor_shape_from_payload(entry.type_tag, payload));
      tensors_[j]->store(i, Bytes(payload.begin(), payload.end()));
      return {};
    }
    if (entry.per_atom) {
      MOLARIUM_TRY_VOID(check_per_atom_payload(section.key, payload.size(), entry.elem_bytes, atom_count));
      if (entry.slot_bytes != 0) {
        copy_into(fixed_[j], entry.elem_bytes * offsets_[i], payload);
        return {};
      }
    } else if (entry.slot_bytes != 0) {
      if (payload.size() != entry.slot_bytes) return invalid_payload_length(section.key, payload.size(), entry.slot_bytes);
      copy_into(fixed_[j], entry.slot_bytes * i, payload);
      return {};
    }
    return store_variable(i, j, section);
  }

  // Texts are kept; a null section stores nothing, so its entries stay absent.
  Result<void> store_variable(std::size_t i, std::size_t j, const SoaSectionRef& section) const {
    if (layout_.sections[j].type_tag == TypeTag::Null || !strings_[j]) return {};
    if (!is_valid_utf8(section.payload)) {
      return invalid_data(cat("Invalid UTF-8 in section '", section.key, "'"));
    }
    strings_[j]->store(i, std::string(as_text(section.payload)));
    return {};
  }

  const SoaContext& context_;
  std::span<const std::uint32_t> counts_;
  std::span<const std::uint64_t> offsets_;
  const Layout& layout_;
  const KeyMap& keys_;
  bool has_lock_;
  FlatPositions& positions_;
  ByteBuffer& atomic_numbers_;
  std::vector<ByteBuffer>& fixed_;
  Gatherers<std::string>& strings_;
  Gatherers<Bytes>& tensors_;
  std::span<const PlannedSection> plan_;  // empty: every record takes the full path
};

// Molecules are filled in groups of this many: the group's records are warmed together before
// any of them is parsed (see warm_records). Small, because a group's prefetches must fit the
// processor's outstanding misses: with 16 records of about 840 bytes (over 200 lines in flight) a
// batch of 4,096 took about 0.4 µs per molecule on one thread, with 4 about 0.27 (8 and 6 lay
// between; old and new builds alternately, six runs each).
constexpr std::size_t kFillGroup = 4;

// The failure of the lowest selection position among those recorded, from any thread. Only
// failures take the lock: a successful fill costs nothing here.
class LowestFailure {
 public:
  void record(std::size_t position, Error error) {
    std::lock_guard guard(lock_);
    if (error_ && position_ <= position) return;
    position_ = position;
    error_.emplace(std::move(error));
  }
  Result<void> take() {
    if (error_) return std::unexpected(std::move(*error_));
    return {};
  }

 private:
  std::mutex lock_;
  std::size_t position_ = 0;
  std::optional<Error> error_;
};

// Runs fill for every molecule, on the pool unless `run_inline`, a group of molecules at a time:
// warm(first, last) once for molecules first to last - 1, then fill_one for each of them. Every
// molecule is filled even when another fails, so that the error reported is the one of the
// lowest selection position, whatever the timing.
template <class Warm, class Fill>
Result<void> fill_all(std::size_t molecules, bool run_inline, Warm&& warm, Fill&& fill_one) {
  LowestFailure failure;
  const std::size_t groups = (molecules + kFillGroup - 1) / kFillGroup;
  const std::size_t min_parallel = run_inline ? std::numeric_limits<std::size_t>::max() : 2;
  auto status = pool::parallel_for(
      groups,
      [&](std::size_t group) -> Result<void> {
        const std::size_t first = group * kFillGroup;
        const std::size_t last = std::min(molecules, first + kFillGroup);
        warm(first, last);
        for (std::size_t i = first; i < last; ++i) {
          auto filled = fill_one(i);
          if (!filled) failure.record(i, std::move(filled).error());
        }
        return {};
      },
      min_parallel);
  if (!status) return status;
  return failure.take();
}

template <class Entry>
Gatherers<Entry> gatherers(const std::vector<DatabaseSchemaSection>& sections, std::size_t molecules,
                           bool (*wanted)(storage::TypeTag)) {
  Gatherers<Entry> out(sections.size());
  for (std::size_t j = 0; j < sections.size(); ++j) {
    if (wanted(sections[j].type_tag)) out[j] = std::make_unique<ColumnGatherer<Entry>>(molecules);
  }
  return out;
}

template <class Entry>
std::vector<std::optional<std::vector<std::optional<Entry>>>> take_columns(Gatherers<Entry>& gathered) {
  std::vector<std::optional<std::vector<std::optional<Entry>>>> columns(gathered.size());
  for (std::size_t j = 0; j < gathered.size(); ++j) {
    if (gathered[j]) columns[j] = gathered[j]->take();
  }
  return columns;
}

// A selection's records lie scattered over the mapping: reading each one stalls on a TLB and a
// cache miss at its start, then on cache misses further in, and prefetching alone was measured
// not to remove the first stall. So a group's record starts are read first, one independent load
// each, which the processor overlaps; then every line of the group's records is prefetched, their
// pages now known, before the first of them is parsed. Measured on a 4,096-molecule batch: about
// a third less time on one thread and on eight than filling record after record.
constexpr std::size_t kPrefetchBytes = 4096;
constexpr std::size_t kCacheLineBytes = 64;

void warm_records(const AtomDatabase& database, std::span<const MoleculeIndex> entries, std::size_t first,
                  std::size_t last) {
  std::array<ByteView, kFillGroup> stored{};
  std::uint8_t sink = 0;
  for (std::size_t i = first; i < last; ++i) {
    stored[i - first] = database.get_compressed_slice(entries[i]).value_or(ByteView());
    if (!stored[i - first].empty()) sink ^= stored[i - first][0];
  }
  asm volatile("" : : "r"(sink));  // the loads must happen
  for (std::size_t i = 0; i < last - first; ++i) {
    const std::size_t span = std::min(stored[i].size(), kPrefetchBytes);
    for (std::size_t at = 0; at < span; at += kCacheLineBytes) __builtin_prefetch(stored[i].data() + at);
  }
}

}  // namespace

Result<SoaBytes> mapped_record_bytes(const AtomDatabase& database, std::size_t k) {
  // A view words a missing record by how the file stores its records.
  if (k >= database.len()) {
    if (database.compression().codec == compression::Codec::None) {
      return invalid_data(cat("Missing mmap bytes for molecule ", k));
    }
    return invalid_data(cat("Missing compressed bytes for molecule ", k));
  }
  MOLARIUM_ASSIGN_OR_RETURN(auto record, database.record(k));
  return SoaBytes(std::move(record));
}

Result<std::optional<FlatExtraction>> extract_flat(const AtomDatabase& database, std::span<const std::size_t> indices) {
  if (indices.empty()) return std::nullopt;
  const std::size_t molecules = indices.size();

  // Each entry is decoded once, here.
  MOLARIUM_ASSIGN_OR_RETURN(const auto entries, database.record_entries(indices));
  std::vector<std::uint32_t> counts = atom_counts(entries);
  MOLARIUM_ASSIGN_OR_RETURN(auto offsets, atom_offsets(counts));
  const std::uint64_t total_atoms = offsets.back();

  // Both handle kinds read each record as they fill it, in place where it is mapped. An unmapped
  // handle reports a record that cannot be read before anything else that fails, as it did when
  // it read its whole selection before the fill.
  const bool unread_first = !database.opened_mapped();
  const auto unread_before = [&](Error error) -> Error {
    if (!unread_first) return error;
    auto read = database.decompress_entries_parallel(entries);
    if (!read) return std::move(read).error();
    return error;
  };

  MOLARIUM_ASSIGN_OR_RETURN(const auto context, SoaContext::from_database(database));
  const std::optional<DatabaseSchema> lock = database.schema_info();
  MOLARIUM_ASSIGN_OR_RETURN(const auto record_bytes,
                            check_counts_fit_records(indices, entries, context.positions_stride));
  // The fill of a compressed database decompresses each record; otherwise it copies.
  const bool decompresses = database.compression().codec != compression::Codec::None;
  const bool run_inline = record_bytes < (decompresses ? kInlineCompressedRecordBytes : kInlineRecordBytes);

  auto read_first_sections = [&]() -> Result<std::vector<DatabaseSchemaSection>> {
    MOLARIUM_ASSIGN_OR_RETURN(auto first, database.record(entries.front()));
    return record_sections(first.bytes(), context.positions_stride);
  };
  auto first_sections = read_first_sections();
  if (!first_sections) return std::unexpected(unread_before(std::move(first_sections).error()));

  auto chosen = choose_layout(std::move(*first_sections), lock);
  if (!chosen) return std::unexpected(unread_before(std::move(chosen).error()));
  Layout layout = std::move(*chosen);
  // Keyed matching needs the map; strict matching with a lock needs it for reordered records.
  const KeyMap keys = (!layout.strict || lock) ? key_map(layout.sections) : KeyMap();

  auto positions_or = positions_buffer(context.positions_type_tag, context.positions_stride, total_atoms);
  if (!positions_or) return std::unexpected(unread_before(std::move(positions_or).error()));
  auto positions = std::move(*positions_or);
  ByteBuffer atomic_numbers(total_atoms);
  std::vector<ByteBuffer> fixed;
  fixed.reserve(layout.sections.size());
  for (const DatabaseSchemaSection& entry : layout.sections) {
    auto buffer = fixed_buffer(entry, total_atoms, molecules);
    if (!buffer) return std::unexpected(unread_before(std::move(buffer).error()));
    fixed.push_back(std::move(*buffer));
  }
  auto strings = gatherers<std::string>(layout.sections, molecules, &is_string_column_tag);
  auto tensors = gatherers<Bytes>(layout.sections, molecules, &dtypes::is_tensor_tag);

  const std::vector<PlannedSection> plan = record_plan(layout);
  const Filler filler(context, counts, offsets, layout, keys, lock.has_value(), positions,
                      atomic_numbers, fixed, strings, tensors, plan);
  const auto warm = [&](std::size_t first, std::size_t last) { warm_records(database, entries, first, last); };
  LowestFailure unread;
  const auto unreadable = [&](std::size_t i, Error error) -> Result<void> {
    if (!unread_first) return std::unexpected(std::move(error));
    unread.record(i, std::move(error));
    return {};
  };
  const auto fill_one = [&](std::size_t i) -> Result<void> {
    const MoleculeIndex& entry = entries[i];
    if (entry.uncompressed_len <= kScratchRecordBytes) {
      // Each thread decodes into a buffer it keeps (uncompressed records are read in place).
      thread_local Bytes scratch;
      auto record = database.record(entry, scratch);
      if (record) return filler.fill(i, *record);
      return unreadable(i, std::move(record).error());
    }
    // Held only while this molecule is filled.
    auto record = database.record(entry);
    if (record) return filler.fill(i, record->bytes());
    return unreadable(i, std::move(record).error());
  };
  const auto filled = fill_all(molecules, run_inline, warm, fill_one);
  MOLARIUM_TRY_VOID(unread.take());
  MOLARIUM_TRY_VOID(filled);

  FlatExtraction out{std::move(positions),
                     std::move(counts),
                     std::move(atomic_numbers),
                     std::move(layout.sections),
                     std::move(fixed),
                     take_columns(strings),
                     take_columns(tensors),
                     total_atoms};
  return out;
}

}  // namespace molarium::records
