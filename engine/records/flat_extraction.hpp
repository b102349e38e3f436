// Flat extraction: a selection's stored records gathered into one preallocated buffer per field,
// filled in parallel on the worker pool. Touches no Python object, so it runs without the
// interpreter lock; python/database/flat.cpp turns the result into NumPy arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "engine/bytes.hpp"
#include "engine/error.hpp"
#include "engine/storage/database.hpp"
#include "engine/records/flat_buffer.hpp"
#include "engine/records/record_view.hpp"

namespace molarium::records {

// The positions of every selected atom, molecule 0's atoms first: float32 values (three per atom)
// when the database stores float32 positions, or the float64 triples as little-endian bytes (24
// per atom) when it stores float64 positions.
using FlatPositions = std::variant<FlatBuffer<float>, FlatBuffer<std::uint8_t>>;

// One entry per selected molecule; absent where the molecule has no such section (or, for null
// sections, always).
using StringColumn = std::vector<std::optional<std::string>>;
// One entry per selected molecule: the whole tensor payload (rank, dimensions, values).
using TensorColumn = std::vector<std::optional<Bytes>>;

// Everything the dictionary builder needs; the buffers are moved out, never copied, and every
// byte of them is written (a section that a molecule lacks is zero in its rows or slot).
// Per layout section j: fixed_buffers[j] (empty for variable-size sections), and a string column
// for type tags 2 and 13, a tensor column for tags 14 to 17.
struct FlatExtraction {
  FlatPositions positions;
  std::vector<std::uint32_t> atom_counts;  // from the index, in selection order
  FlatBuffer<std::uint8_t> atomic_numbers;  // total_atoms bytes
  std::vector<storage::DatabaseSchemaSection> layout;
  std::vector<FlatBuffer<std::uint8_t>> fixed_buffers;
  std::vector<std::optional<StringColumn>> string_columns;
  std::vector<std::optional<TensorColumn>> tensor_columns;
  std::uint64_t total_atoms = 0;
};

// Gathers the records at `indices` (any order, repeats allowed). Nothing for an empty selection,
// without reading the database. The layout is the first selected record's sections, or the
// schema lock's when the database has one that differs from them; every error is InvalidData
// or the error of the read, decompression or parse that failed. During the fill the error of
// the lowest selection position is reported.
// REQUIRES: shared access to the database for the whole call (no append or flush meanwhile).
Result<std::optional<FlatExtraction>> extract_flat(const storage::AtomDatabase& database,
                                                             std::span<const std::size_t> indices);

// The record at stored index k of a memory-mapped database, as AtomDatabase::record reads it: a
// range of the mapping, read in place, when the file is uncompressed; else decoded. Invalid-data
// error "Missing mmap bytes for molecule {k}" (uncompressed) or "Missing compressed bytes for
// molecule {k}" when k has no record; the read's errors pass through.
Result<SoaBytes> mapped_record_bytes(const storage::AtomDatabase& database, std::size_t k);

}  // namespace molarium::records
