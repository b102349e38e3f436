// The pickle payload of a molecule: a fixed-width binary encoding of its fields in declaration
// order, shipped by Python's pickling and decoded back into an owned molecule.
#pragma once

#include <expected>
#include <string>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/error.hpp"

namespace molarium::pickle {

// Cannot fail. Maps are written in their own iteration order.
Bytes encode_molecule(const atom::Molecule& molecule);

// Trailing bytes are ignored. A failure is a Value error ("io error: unexpected end of file",
// "invalid value: integer `11`, expected variant index 0 <= i < 11", ...). Counts are checked
// against the bytes left before any memory is reserved, and a molecule whose atomic numbers do
// not match its positions is refused.
Result<atom::Molecule> decode_molecule(ByteView payload);

}  // namespace molarium::pickle
