// Custom properties of a molecule: their values as Python objects, and the rules of the two scopes
// that the property methods, the ASE export and unpickling share.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "engine/types.hpp"
#include "python/binding/binding.hpp"
#include "engine/records/record_view.hpp"

namespace molarium::python::molecule {

// Returns a new reference to the value as a Python object (None, float, int, str, or a new NumPy
// array of the value's dtype and shape that shares nothing with the molecule), or nullptr with an
// exception set: a tensor whose shape NumPy cannot hold, or whose sizes do not multiply to its
// number of values, is refused rather than reshaped.
PyObject* property_value_to_pyobject(const molarium::types::PropertyValue& value);

// The same for one custom section of a view, decoded from the record's bytes; ValueError for a
// payload that does not fit its type tag. REQUIRES: the slot is one of the view's custom slots.
PyObject* property_section_to_pyobject(const records::SoaMoleculeView& view, const records::SoaSectionSlot& slot);

// The number of elements (or xyz triples) of a one-dimensional array value; nothing for null,
// scalars, strings and tensors.
std::optional<std::size_t> property_array_length(const molarium::types::PropertyValue& value);

// Whether the value may stand in the atom scope of a molecule of atom_count atoms: an array or a
// tensor of rank one or more whose first dimension is the atom count. The refusal's message
// names the key: "Atom property '{}' must be a numeric ndarray with first dimension equal to atom
// count ({})", "Atom tensor property '{}' must have at least one dimension" or "Atom property '{}'
// first dimension ({}) doesn't match atom count ({})".
Result<void> check_atom_property(std::string_view key, const molarium::types::PropertyValue& value,
                                      std::size_t atom_count);

}  // namespace molarium::python::molecule
