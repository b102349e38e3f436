// Custom properties of PyMolecule: the five property methods, the str branch of indexing, the two
// scopes and their rules, and the conversion of stored values into Python objects.
#include "python/molecule/properties.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "engine/records/payload.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/utf8.hpp"
#include "python/molecule/molecule.hpp"
#include "python/binding/arrays.hpp"
#include "python/molecule/conversion.hpp"

namespace molarium::python::molecule {

namespace {

namespace types = molarium::types;
using molarium::cat;
using molarium::atom::Molecule;
using molarium::storage::SectionKind;
using molarium::storage::TypeTag;
using records::SoaMoleculeView;
using records::SoaSectionSlot;
using types::PropertyValue;

constexpr auto kMoleculeKind = SectionKind::Molecule;
constexpr auto kAtomKind = SectionKind::Atom;

// The built-in field whose name set_property refuses as a key.
constexpr std::string_view kReservedKey = "stress";

// ---------------------------------------------------------------------------------------------
// Scopes

enum class Scope { Unscoped, Molecule, Atom };

bool includes_molecule(Scope scope) { return scope != Scope::Atom; }
bool includes_atom(Scope scope) { return scope != Scope::Molecule; }

// The scope a text names; only the two exact words count.
Result<Scope> parse_custom_property_scope(const std::optional<std::string>& text) {
  if (!text) return Scope::Unscoped;
  if (*text == "atom") return Scope::Atom;
  if (*text == "molecule") return Scope::Molecule;
  return value_error(cat("scope must be 'molecule' or 'atom', got '", *text, "'"));
}

// The `scope` argument as text: absent and None give nothing. False with TypeError set for
// anything but None or a str.
bool convert_scope_argument(PyObject* argument, std::optional<std::string>& out) {
  if (argument == nullptr || argument == Py_None) return true;
  auto text = binding::to_str(argument, "scope");
  if (!text) return false;
  out = std::move(*text);
  return true;
}

// The parsed scope, or nothing with ValueError set.
std::optional<Scope> scope_or_raise(const std::optional<std::string>& text) {
  auto scope = parse_custom_property_scope(text);
  if (!scope) {
    binding::raise_error(scope.error());
    return std::nullopt;
  }
  return *scope;
}

std::nullptr_t raise_not_found(std::string_view key) {
  return binding::set_error(PyExc_KeyError, cat("Property '", key, "' not found"));
}

std::string in_both_scopes(std::string_view key) {
  return cat("Property '", key, "' exists in both molecule and atom scopes");
}

std::string atom_property_shape_error(std::string_view key, std::uint64_t first_dimension, std::size_t atom_count) {
  return cat("Atom property '", key, "' first dimension (", first_dimension, ") doesn't match atom count (",
             atom_count, ")");
}

// ---------------------------------------------------------------------------------------------
// Values of an owned molecule

template <class Map>
const PropertyValue* find_in(const Map& map, std::string_view key) {
  const auto it = map.find(std::string(key));
  return it == map.end() ? nullptr : &it->second;
}

struct ValueToPython {
  PyObject* operator()(types::Null) const { Py_RETURN_NONE; }
  PyObject* operator()(double number) const { return PyFloat_FromDouble(number); }
  PyObject* operator()(std::int64_t number) const { return PyLong_FromLongLong(number); }
  PyObject* operator()(const std::string& text) const {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  }
  template <class T>
  PyObject* operator()(const std::vector<T>& values) const {
    return binding::pyarray1_from_cow(records::CowElements<T>::owned(values));
  }
  template <class T>
  PyObject* operator()(const std::vector<std::array<T, 3>>& rows) const {
    return binding::xyz_rows_array<T>(rows);
  }
  PyObject* operator()(const types::TensorData& tensor) const { return binding::tensor_array(tensor); }
};

// ---------------------------------------------------------------------------------------------
// Sections of a view

template <class T>
PyObject* section_array_1d(molarium::ByteView payload) {
  auto elements = records::cast_or_decode<T>(payload);
  if (!elements) return binding::raise_error(elements.error());
  return binding::pyarray1_from_cow(std::move(*elements));
}

// REQUIRES: the payload holds whole rows (decode_payload checked it).
template <class T>
PyObject* section_xyz_rows(molarium::ByteView payload) {
  constexpr std::size_t kRowBytes = 3 * sizeof(T);
  auto elements = records::cast_or_decode<T>(payload);
  if (!elements) return binding::raise_error(elements.error());
  return binding::pyarray2_from_cow(std::move(*elements), payload.size() / kRowBytes, 3);
}

// ---------------------------------------------------------------------------------------------
// Lookup shared by get_property and indexing

// Returns a new reference to the value stored under key in either scope; ValueError when both
// scopes hold it, KeyError when neither does.
PyObject* lookup_property(const MoleculeValue& value, std::string_view key) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    auto in_molecule = view->find_custom_section(kMoleculeKind, key);
    if (!in_molecule) return binding::raise_error(in_molecule.error());
    auto in_atom = view->find_custom_section(kAtomKind, key);
    if (!in_atom) return binding::raise_error(in_atom.error());
    if (*in_molecule && *in_atom) return binding::raise_value_error(in_both_scopes(key));
    if (*in_molecule) return property_section_to_pyobject(*view, **in_molecule);
    if (*in_atom) return property_section_to_pyobject(*view, **in_atom);
    return raise_not_found(key);
  }
  const Molecule& molecule = std::get<Molecule>(value);
  const PropertyValue* in_molecule = find_in(molecule.properties, key);
  const PropertyValue* in_atom = find_in(molecule.atom_properties, key);
  if (in_molecule && in_atom) return binding::raise_value_error(in_both_scopes(key));
  if (in_molecule) return property_value_to_pyobject(*in_molecule);
  if (in_atom) return property_value_to_pyobject(*in_atom);
  return raise_not_found(key);
}

// Whether the scope holds key; nothing with ValueError set when a view's key cannot be decoded.
std::optional<bool> holds_property(const MoleculeValue& value, std::string_view key, Scope scope) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    auto holds_kind = [&](molarium::storage::SectionKind kind) -> std::optional<bool> {
      auto found = view->find_custom_section(kind, key);
      if (!found) {
        binding::raise_error(found.error());
        return std::nullopt;
      }
      return found->has_value();
    };
    if (includes_molecule(scope)) {
      const auto found = holds_kind(kMoleculeKind);
      if (!found || *found) return found;
    }
    if (includes_atom(scope)) return holds_kind(kAtomKind);
    return false;
  }
  const Molecule& molecule = std::get<Molecule>(value);
  return (includes_molecule(scope) && molecule.properties.contains(std::string(key))) ||
         (includes_atom(scope) && molecule.atom_properties.contains(std::string(key)));
}

// The keys of the scope, unsorted and with repeats; nothing with ValueError set when a view's key
// cannot be decoded.
std::optional<std::vector<std::string>> collect_keys(const MoleculeValue& value, Scope scope) {
  std::vector<std::string> keys;
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    for (const SoaSectionSlot& slot : view->custom_slots()) {
      const bool wanted = (slot.kind == kMoleculeKind && includes_molecule(scope)) ||
                          (slot.kind == kAtomKind && includes_atom(scope));
      if (!wanted) continue;
      auto key = view->lazy_section_key(slot);
      if (!key) {
        binding::raise_error(key.error());
        return std::nullopt;
      }
      keys.emplace_back(*key);
    }
    return keys;
  }
  const Molecule& molecule = std::get<Molecule>(value);
  if (includes_molecule(scope)) {
    for (const auto& entry : molecule.properties) keys.push_back(entry.first);
  }
  if (includes_atom(scope)) {
    for (const auto& entry : molecule.atom_properties) keys.push_back(entry.first);
  }
  return keys;
}

// Returns a new reference to a list of new str objects.
PyObject* key_list(const std::vector<std::string>& keys) {
  binding::Ref list = binding::Ref::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* text = PyUnicode_FromStringAndSize(keys[i].data(), static_cast<Py_ssize_t>(keys[i].size()));
    if (text == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);  // steals the reference
  }
  return list.release();
}

// ---------------------------------------------------------------------------------------------
// Storing

// Stores a converted value under key following the scope rules (steps after materialisation):
// a key keeps the scope it has, and a new key goes to the atom scope only when asked. Returns
// false with ValueError set; nothing is stored then.
bool store_property(Molecule& molecule, std::string&& key, PropertyValue&& value, Scope scope) {
  const bool in_molecule = molecule.properties.contains(key);
  const bool in_atom = molecule.atom_properties.contains(key);
  if (in_molecule && in_atom) {
    binding::raise_value_error(in_both_scopes(key));
    return false;
  }
  if (in_molecule && scope == Scope::Atom) {
    binding::raise_value_error(
        cat("Property '", key, "' already exists as a molecule property; delete it before setting atom scope"));
    return false;
  }
  if (in_atom && scope == Scope::Molecule) {
    binding::raise_value_error(
        cat("Property '", key, "' already exists as an atom property; delete it before setting molecule scope"));
    return false;
  }
  if (in_atom || (!in_molecule && scope == Scope::Atom)) {
    if (auto fits = check_atom_property(key, value, molecule.atom_count()); !fits) {
      binding::raise_error(fits.error());
      return false;
    }
    molecule.atom_properties.insert_or_assign(std::move(key), std::move(value));
    return true;
  }
  molecule.properties.insert_or_assign(std::move(key), std::move(value));
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Converters and scope rules

PyObject* property_value_to_pyobject(const PropertyValue& value) { return std::visit(ValueToPython{}, value); }

PyObject* property_section_to_pyobject(const SoaMoleculeView& view, const SoaSectionSlot& slot) {
  const auto tag = slot.type_tag;
  if (!records::is_property_tag(tag)) {
    return binding::raise_value_error(
        cat("Unsupported property type tag ", unsigned{molarium::storage::tag_byte(tag)}));
  }
  auto typed = records::decode_payload(tag, view.section_payload(slot));
  if (!typed) {
    // A flat array is refused in the words of the element reader that builds its NumPy array.
    if (typed.error().fault == records::PayloadFault::NotWholeValues && records::tag_values(tag).per_element == 1) {
      return binding::raise_value_error(cat("Byte length ", view.section_payload(slot).size(),
                                       " is not a multiple of element size ",
                                       molarium::storage::dtypes::element_bytes(tag).value_or(0)));
    }
    return binding::raise_value_error(records::payload_error_text(tag, typed.error()));
  }
  const molarium::ByteView values = typed->values;
  switch (static_cast<TypeTag>(tag)) {
    case TypeTag::F64: return PyFloat_FromDouble(molarium::load_le<double>(values.data()));
    case TypeTag::I64: return PyLong_FromLongLong(molarium::load_le<std::int64_t>(values.data()));
    case TypeTag::Str:
      return PyUnicode_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                         static_cast<Py_ssize_t>(values.size()));
    case TypeTag::F64Array: return section_array_1d<double>(values);
    case TypeTag::I64Array: return section_array_1d<std::int64_t>(values);
    case TypeTag::F32Array: return section_array_1d<float>(values);
    case TypeTag::I32Array: return section_array_1d<std::int32_t>(values);
    case TypeTag::Vec3F32: return section_xyz_rows<float>(values);
    case TypeTag::Vec3F64: return section_xyz_rows<double>(values);
    case TypeTag::Null: Py_RETURN_NONE;
    default: return property_value_to_pyobject(records::property_value(*typed));  // tensors
  }
}

std::optional<std::size_t> property_array_length(const PropertyValue& value) {
  return std::visit(
      [](const auto& held) -> std::optional<std::size_t> {
        using Held = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<Held, std::string>) {
          return std::nullopt;
        } else if constexpr (requires { held.size(); }) {
          return held.size();
        } else {
          return std::nullopt;
        }
      },
      value);
}

Result<void> check_atom_property(std::string_view key, const PropertyValue& value, std::size_t atom_count) {
  std::uint64_t first_dimension = 0;
  if (const auto length = property_array_length(value)) {
    first_dimension = *length;
  } else if (const auto* tensor = std::get_if<types::TensorData>(&value)) {
    const std::vector<std::uint64_t>& shape =
        std::visit([](const auto& t) -> const std::vector<std::uint64_t>& { return t.shape; }, *tensor);
    if (shape.empty()) return value_error(cat("Atom tensor property '", key, "' must have at least one dimension"));
    first_dimension = shape.front();
  } else {
    return value_error(cat("Atom property '", key,
                           "' must be a numeric ndarray with first dimension equal to atom count (", atom_count, ")"));
  }
  if (first_dimension != atom_count) return value_error(atom_property_shape_error(key, first_dimension, atom_count));
  return {};
}

PyObject* property_item(const MoleculeValue& value, PyObject* key) {
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(key, &length);
  if (utf8 == nullptr) return nullptr;
  return lookup_property(value, std::string_view(utf8, static_cast<std::size_t>(length)));
}

// ---------------------------------------------------------------------------------------------
// The methods

PyObject* get_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"get_property", {"key"}};
  const auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto key = binding::to_str((*bound)[0], "key");
  if (!key) return nullptr;
  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  return lookup_property(**value, *key);
}

PyObject* set_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<3> kParameters{"set_property", {"key", "value", "scope"}, 2, 2};
  const auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto& [key_argument, value_argument, scope_argument] = *bound;
  auto key = binding::to_str(key_argument, "key");
  if (!key) return nullptr;
  std::optional<std::string> scope_text;
  if (!convert_scope_argument(scope_argument, scope_text)) return nullptr;

  const auto molecule = ExclusiveMolecule::take(self);
  if (!molecule) return nullptr;
  const auto scope = scope_or_raise(scope_text);
  if (!scope) return nullptr;
  if (*key == kReservedKey) return binding::raise_value_error("'stress' is a reserved field; use molecule.stress instead");
  // Runs before materialisation, so an unsupported value leaves a view as it was.
  auto converted = molecule::parse_property_value(value_argument);
  if (!converted) return nullptr;
  auto owned = ensure_owned(**molecule);
  if (!owned) return binding::raise_error(owned.error());
  if (!store_property(**owned, std::move(*key), std::move(*converted), *scope)) return nullptr;
  Py_RETURN_NONE;
}

PyObject* property_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"property_keys", {"scope"}, 0, 0};
  const auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  std::optional<std::string> scope_text;
  if (!convert_scope_argument((*bound)[0], scope_text)) return nullptr;
  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  const auto scope = scope_or_raise(scope_text);
  if (!scope) return nullptr;
  auto keys = collect_keys(**value, *scope);
  if (!keys) return nullptr;
  // std::string compares its bytes as unsigned char, a prefix first: the order of UTF-8 bytes.
  // Equal keys are equal strings, so an unstable sort gives the same list (and, unlike
  // stable_sort, uses no buffer API that clang deprecates in libstdc++ 12's headers).
  std::sort(keys->begin(), keys->end());
  return key_list(*keys);
}

PyObject* has_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<2> kParameters{"has_property", {"key", "scope"}, 1, 1};
  const auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto key = binding::to_str((*bound)[0], "key");
  if (!key) return nullptr;
  std::optional<std::string> scope_text;
  if (!convert_scope_argument((*bound)[1], scope_text)) return nullptr;
  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  const auto scope = scope_or_raise(scope_text);
  if (!scope) return nullptr;
  const auto held = holds_property(**value, *key, *scope);
  if (!held) return nullptr;
  return PyBool_FromLong(*held ? 1 : 0);
}

PyObject* delete_property(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"delete_property", {"key"}};
  const auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto key = binding::to_str((*bound)[0], "key");
  if (!key) return nullptr;
  const auto molecule = ExclusiveMolecule::take(self);
  if (!molecule) return nullptr;
  auto owned = ensure_owned(**molecule);
  if (!owned) return binding::raise_error(owned.error());
  // A key in both scopes (only a decoded record or payload can bring one) goes from both.
  const std::size_t removed = (*owned)->properties.erase(*key) + (*owned)->atom_properties.erase(*key);
  if (removed == 0) return raise_not_found(*key);
  Py_RETURN_NONE;
}

}  // namespace molarium::python::molecule
