// PyMolecule: one molecule as a Python object, owned or a lazy view of a stored record; its
// construction from NumPy arrays, built-in field attributes, indexing, length, text form, atoms and
// to_owned, and the class itself (whose property, pickling and ASE methods live in their own files).
#include "python/molecule/molecule.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/binding/arrays.hpp"
#include "python/molecule/conversion.hpp"
#include "python/binding/registry.hpp"

namespace molarium::python::molecule {

namespace {

using molarium::cat;
using molarium::atom::Molecule;
using molarium::types::FloatArrayData;
using molarium::types::FloatScalarData;
using molarium::types::Mat3Data;
using molarium::types::Vec3Data;
using records::BuiltinField;
using records::SoaBuiltinSlot;
using records::SoaMoleculeView;

using Pbc = std::array<bool, 3>;

bool given(PyObject* argument) { return argument != nullptr && argument != Py_None; }

// ---------------------------------------------------------------------------------------------
// Argument conversion

// A tuple of exactly three items, each a Python bool or a NumPy bool scalar.
std::optional<Pbc> to_pbc(PyObject* value, const char* argument) {
  if (!PyTuple_Check(value)) {
    binding::set_error(PyExc_TypeError,
                  cat("'", binding::bare_type_name(Py_TYPE(value)), "' object cannot be converted to 'tuple'"));
    binding::prefix_argument_error(argument);
    return std::nullopt;
  }
  const Py_ssize_t length = PyTuple_GET_SIZE(value);
  if (length != 3) {
    binding::raise_value_error(cat("expected tuple of length 3, but got tuple of length ", length));
    return std::nullopt;
  }
  Pbc flags{};
  for (Py_ssize_t i = 0; i < 3; ++i) {
    const auto flag = binding::to_bool_or_numpy_bool(PyTuple_GET_ITEM(value, i), argument);
    if (!flag) return std::nullopt;
    flags[static_cast<std::size_t>(i)] = *flag;
  }
  return flags;
}

// A one-dimensional ndarray of a dtype equivalent to uint8, borrowed from `value`; nullptr with
// TypeError "argument 'atomic_numbers': ..." set otherwise.
PyArrayObject* to_atomic_numbers(PyObject* value) {
  if (!binding::ensure_numpy()) return nullptr;
  if (PyArrayObject* array = molecule::array_of(value, NPY_UINT8, 1)) return array;
  std::string got = cat("'", binding::bare_type_name(Py_TYPE(value)), "' object");
  if (PyArray_Check(value)) {
    auto* array = reinterpret_cast<PyArrayObject*>(value);
    binding::Ref dtype = binding::Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array))));
    const char* dtype_name = dtype ? PyUnicode_AsUTF8(dtype.get()) : nullptr;
    if (dtype_name == nullptr) return nullptr;
    got = cat("an ndarray of dtype ", dtype_name, " with ", PyArray_NDIM(array), " dimensions");
  }
  binding::set_error(PyExc_TypeError, cat("expected a uint8 ndarray with 1 dimension, got ", got));
  binding::prefix_argument_error("atomic_numbers");
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Construction

// The arguments of both constructors, by name: positions and atomic_numbers by position or
// keyword, the rest keyword-only.
constexpr std::array<const char*, 10> kConstructorParameters{
    "positions", "atomic_numbers", "energy", "forces", "charges", "velocities", "cell", "stress", "pbc", "name"};

// The converted arguments; the array fields stay Python objects until the molecule exists, because
// their expected row count is its atom count.
struct ConstructorArguments {
  PyObject* positions = nullptr;
  PyArrayObject* atomic_numbers = nullptr;
  std::optional<double> energy;
  PyObject* forces = nullptr;
  PyObject* charges = nullptr;
  PyObject* velocities = nullptr;
  PyObject* cell = nullptr;
  PyObject* stress = nullptr;
  std::optional<Pbc> pbc;
  std::optional<std::string> name;
};

// Converts in the order atomic_numbers, energy, pbc, name and stops at the first failure (nothing
// returned, an exception set). The argument references are borrowed from the call.
std::optional<ConstructorArguments> convert_constructor_arguments(const binding::Arguments<10>& arguments) {
  const auto& [positions, atomic_numbers, energy, forces, charges, velocities, cell, stress, pbc, name] = arguments;
  ConstructorArguments out;
  out.positions = positions;
  out.atomic_numbers = to_atomic_numbers(atomic_numbers);
  if (out.atomic_numbers == nullptr) return std::nullopt;
  if (given(energy)) {
    out.energy = binding::to_double(energy, "energy");
    if (!out.energy) return std::nullopt;
  }
  out.forces = given(forces) ? forces : nullptr;
  out.charges = given(charges) ? charges : nullptr;
  out.velocities = given(velocities) ? velocities : nullptr;
  out.cell = given(cell) ? cell : nullptr;
  out.stress = given(stress) ? stress : nullptr;
  if (given(pbc)) {
    out.pbc = to_pbc(pbc, "pbc");
    if (!out.pbc) return std::nullopt;
  }
  if (given(name)) {
    out.name = binding::to_str(name, "name");
    if (!out.name) return std::nullopt;
  }
  return out;
}

// Parses one optional field into `target`; false with ValueError set.
template <class T, class Parse>
bool parse_into(std::optional<T>& target, PyObject* object, Parse&& parse) {
  if (object == nullptr) return true;
  auto parsed = parse(object);
  if (!parsed) return false;
  target = std::move(*parsed);
  return true;
}

// The molecule the arguments describe; nothing with an exception set. Field labels are the
// lowercase argument names.
std::optional<Molecule> from_arrays_impl(ConstructorArguments&& arguments) {
  auto molecule = binding::molecule_from_numpy_arrays(arguments.positions, arguments.atomic_numbers);
  if (!molecule) return std::nullopt;
  molecule->name = std::move(arguments.name);
  if (arguments.energy) {
    molecule->energy = FloatScalarData(std::in_place_index<molarium::types::kF64>, *arguments.energy);
  }
  molecule->pbc = arguments.pbc;
  const std::size_t n = molecule->atom_count();
  const bool parsed =
      parse_into(molecule->forces, arguments.forces,
                 [n](PyObject* object) { return molecule::parse_vec3_field(object, "forces", n); }) &&
      parse_into(molecule->charges, arguments.charges,
                 [n](PyObject* object) { return molecule::parse_float_array_field(object, "charges", n); }) &&
      parse_into(molecule->velocities, arguments.velocities,
                 [n](PyObject* object) { return molecule::parse_vec3_field(object, "velocities", n); }) &&
      parse_into(molecule->cell, arguments.cell,
                 [](PyObject* object) { return molecule::parse_mat3_field(object, "cell"); }) &&
      parse_into(molecule->stress, arguments.stress,
                 [](PyObject* object) { return molecule::parse_mat3_field(object, "stress"); });
  if (!parsed) return std::nullopt;
  return molecule;
}

// Returns a new reference to a new owned PyMolecule built from the bound arguments, or nullptr
// with an exception set.
PyObject* construct(const binding::Arguments<10>& arguments) {
  auto converted = convert_constructor_arguments(arguments);
  if (!converted) return nullptr;
  auto molecule = from_arrays_impl(std::move(*converted));
  if (!molecule) return nullptr;
  return new_py_molecule(MoleculeValue(std::in_place_type<Molecule>, std::move(*molecule)));
}

PyObject* molecule_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static constexpr binding::Parameters<10> kParameters{"PyMolecule", kConstructorParameters, 2, 2};
  auto bound = binding::bind_arguments(kParameters, args, kwargs);
  if (!bound) return nullptr;
  return construct(*bound);
}

PyObject* molecule_from_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<10> kParameters{"from_arrays", kConstructorParameters, 2, 2};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  return construct(*bound);
}

// ---------------------------------------------------------------------------------------------
// Changing a molecule

int refuse_deletion() {
  binding::set_error(PyExc_AttributeError, "can't delete attribute");
  return -1;
}

// The atom count, read for a setter before it converts its value (the count never changes, so it
// holds when the change is made). A writer holding the molecule meanwhile is reported as the
// setter's own conflict, "Already borrowed".
std::optional<std::size_t> atom_count_for_change(PyObject* self) {
  binding::BorrowFlag& flag = binding::instance_of<MoleculeValue>(self)->borrow;
  if (!flag.try_shared()) {
    binding::raise_already_borrowed();
    return std::nullopt;
  }
  const std::size_t n = atom_count(binding::instance_of<MoleculeValue>(self)->value);
  flag.release_shared();
  return n;
}

// Takes exclusive access, turns a view into an owned molecule and applies change(Molecule&),
// which returns false with an exception set to fail. Returns 0, or -1 with an exception set.
template <class Change>
int change_owned(PyObject* self, Change&& change) {
  const auto value = ExclusiveMolecule::take(self);
  if (!value) return -1;
  auto owned = ensure_owned(**value);
  if (!owned) {
    binding::raise_error(owned.error());
    return -1;
  }
  return change(**owned) ? 0 : -1;
}

// ---------------------------------------------------------------------------------------------
// Built-in array fields: forces, velocities, charges, cell, stress

// How one optional array field is read and written. The view builder gets the record's slot and
// the field's key as label; setters use their capitalised label in messages.
template <class T>
struct ArrayField {
  std::optional<T> Molecule::*member;
  BuiltinField field;
  PyObject* (*owned_array)(const T&);
  PyObject* (*view_array)(const SoaMoleculeView&, const SoaBuiltinSlot&, std::string_view);
  const char* setter_label;
  std::optional<T> (*parse)(PyObject*, std::string_view label, std::size_t atom_count);
};

std::optional<Mat3Data> parse_mat3(PyObject* object, std::string_view label, std::size_t) {
  return molecule::parse_mat3_field(object, label);
}

const ArrayField<Vec3Data> kForces{.member = &Molecule::forces,
                                   .field = BuiltinField::Forces,
                                   .owned_array = &binding::owned_vec3_array,
                                   .view_array = &binding::view_builtin_vec3_slot_py,
                                   .setter_label = "Forces",
                                   .parse = &molecule::parse_vec3_field};
const ArrayField<Vec3Data> kVelocities{.member = &Molecule::velocities,
                                       .field = BuiltinField::Velocities,
                                       .owned_array = &binding::owned_vec3_array,
                                       .view_array = &binding::view_builtin_vec3_slot_py,
                                       .setter_label = "Velocities",
                                       .parse = &molecule::parse_vec3_field};
const ArrayField<FloatArrayData> kCharges{.member = &Molecule::charges,
                                          .field = BuiltinField::Charges,
                                          .owned_array = &binding::owned_float_array,
                                          .view_array = &binding::view_builtin_float_array_slot_py,
                                          .setter_label = "Charges",
                                          .parse = &molecule::parse_float_array_field};
const ArrayField<Mat3Data> kCell{.member = &Molecule::cell,
                                 .field = BuiltinField::Cell,
                                 .owned_array = &binding::owned_mat3x3_array,
                                 .view_array = &binding::view_builtin_mat3_slot_py,
                                 .setter_label = "Cell",
                                 .parse = &parse_mat3};
const ArrayField<Mat3Data> kStress{.member = &Molecule::stress,
                                   .field = BuiltinField::Stress,
                                   .owned_array = &binding::owned_mat3x3_array,
                                   .view_array = &binding::view_builtin_mat3_slot_py,
                                   .setter_label = "Stress",
                                   .parse = &parse_mat3};

// Returns a new reference to a new array of the field, decoded afresh from a view, or to None when
// the molecule lacks it; nullptr with an exception set.
template <class T>
PyObject* array_field_object(const ArrayField<T>& field, const MoleculeValue& value) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    const SoaBuiltinSlot& slot = view->builtin_slot(field.field);
    if (!slot.present) Py_RETURN_NONE;
    return field.view_array(*view, slot, records::builtin_key(field.field));
  }
  const std::optional<T>& data = std::get<Molecule>(value).*field.member;
  if (!data) Py_RETURN_NONE;
  return field.owned_array(*data);
}

template <class T>
PyObject* get_array_field(PyObject* self, void* closure) {
  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  return array_field_object(*static_cast<const ArrayField<T>*>(closure), **value);
}

// Forces, velocities, charges and cell: the value is converted against the atom count before the
// molecule is taken, so a refused value changes nothing (a view stays a view). None is refused
// like any other non-array.
template <class T>
int set_array_field(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr) return refuse_deletion();
  const auto& field = *static_cast<const ArrayField<T>*>(closure);
  const auto n = atom_count_for_change(self);
  if (!n) return -1;
  auto parsed = field.parse(value, field.setter_label, *n);
  if (!parsed) return -1;
  return change_owned(self, [&](Molecule& molecule) {
    molecule.*field.member = std::move(*parsed);
    return true;
  });
}

// Stress materialises first and converts after, so a refused value still leaves a former view
// owned (with the same content). Storing a stress also removes a molecule-scope custom property
// named "stress": the name belongs to the field (set_property refuses it), and only a decoded
// record or pickle can have brought such a property in.
int set_stress(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) return refuse_deletion();
  return change_owned(self, [&](Molecule& molecule) {
    auto parsed = kStress.parse(value, kStress.setter_label, molecule.atom_count());
    if (!parsed) return false;
    molecule.stress = std::move(*parsed);
    molecule.properties.erase("stress");
    return true;
  });
}

// Reads one field of a value with shared access taken for the call.
template <PyObject* (*Read)(const MoleculeValue&)>
PyObject* get_field(PyObject* self, void*) {
  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  return Read(**value);
}

// ---------------------------------------------------------------------------------------------
// energy and pbc

int set_energy(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) return refuse_deletion();
  std::optional<FloatScalarData> energy;
  if (value != Py_None) {
    const auto number = binding::to_double(value, "energy");
    if (!number) return -1;
    energy.emplace(std::in_place_index<molarium::types::kF64>, *number);
  }
  return change_owned(self, [&](Molecule& molecule) {
    molecule.energy = energy;
    return true;
  });
}

int set_pbc(PyObject* self, PyObject* value, void*) {
  if (value == nullptr) return refuse_deletion();
  std::optional<Pbc> pbc;
  if (value != Py_None) {
    pbc = to_pbc(value, "pbc");
    if (!pbc) return -1;
  }
  return change_owned(self, [&](Molecule& molecule) {
    molecule.pbc = pbc;
    return true;
  });
}

// ---------------------------------------------------------------------------------------------
// Indexing, length, text form

// The key as a signed 64-bit index (int, bool, or any object with __index__); nothing with
// TypeError "Molecule indices must be integers or strings" set when it is none, or is too large.
std::optional<std::int64_t> to_atom_index(PyObject* key) {
  const long long index = PyLong_AsLongLong(key);
  if (index != -1 || !PyErr_Occurred()) return index;
  // Only the two ways of not being a 64-bit integer; any other error raised by __index__ is the
  // caller's to see.
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
  PyErr_Clear();
  binding::set_error(PyExc_TypeError, "Molecule indices must be integers or strings");
  return std::nullopt;
}

PyObject* molecule_subscript(PyObject* self, PyObject* key) {
  if (PyUnicode_Check(key)) {
    const auto value = SharedMolecule::take(self);
    if (!value) return nullptr;
    return property_item(**value, key);
  }
  const auto index = to_atom_index(key);
  if (!index) return nullptr;
  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  const auto n = static_cast<std::int64_t>(atom_count(**value));
  const std::int64_t position = *index < 0 ? *index + n : *index;
  if (position < 0 || position >= n) {
    return binding::set_error(PyExc_IndexError,
                         cat("Atom index ", *index, " out of bounds for molecule of length ", n));
  }
  const auto at = static_cast<std::size_t>(position);
  std::optional<molarium::atom::Atom> atom;
  if (const auto* view = std::get_if<SoaMoleculeView>(&**value)) {
    auto decoded = view->atom_at(at);
    if (!decoded) return binding::raise_error(decoded.error());
    atom = *decoded;
  } else {
    atom = std::get<Molecule>(**value).atom(at);
  }
  // The bounds were checked against the same count: a missing atom means a broken invariant.
  if (!atom) throw std::logic_error(cat("atom ", at, " missing from a molecule of ", n, " atoms"));
  return new_py_atom(*atom);
}

Py_ssize_t molecule_length(PyObject* self) {
  const auto value = SharedMolecule::take(self);
  if (!value) return -1;
  return static_cast<Py_ssize_t>(atom_count(**value));
}

PyObject* molecule_repr(PyObject* self) {
  const auto value = SharedMolecule::take(self);
  if (!value) return nullptr;
  bool has_forces = false;
  bool has_energy = false;
  if (const auto* view = std::get_if<SoaMoleculeView>(&**value)) {
    has_forces = view->has_builtin(BuiltinField::Forces);
    has_energy = view->has_builtin(BuiltinField::Energy);
  } else {
    const Molecule& molecule = std::get<Molecule>(**value);
    has_forces = molecule.forces.has_value();
    has_energy = molecule.energy.has_value();
  }
  const std::string text = cat("Molecule(n_atoms=", atom_count(**value), ", has_forces=", has_forces ? "true" : "false",
                               ", has_energy=", has_energy ? "true" : "false", ")");
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// ---------------------------------------------------------------------------------------------
// atoms and to_owned

// The molecule's owned copy; nothing with ValueError set.
std::optional<Molecule> owned_copy(PyObject* self) {
  const auto value = SharedMolecule::take(self);
  if (!value) return std::nullopt;
  auto copy = clone_as_owned(**value);
  if (!copy) {
    binding::raise_error(copy.error());
    return std::nullopt;
  }
  return std::move(*copy);
}

PyObject* molecule_atoms(PyObject* self, PyObject*) {
  std::vector<molarium::atom::Atom> atoms;
  {
    const auto value = SharedMolecule::take(self);
    if (!value) return nullptr;
    auto listed = read_as_owned(**value, [](const Molecule& molecule) { return molecule.to_atoms(); });
    if (!listed) return binding::raise_error(listed.error());
    atoms = std::move(*listed);
  }
  binding::Ref list = binding::Ref::steal(PyList_New(static_cast<Py_ssize_t>(atoms.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < atoms.size(); ++i) {
    PyObject* atom = new_py_atom(atoms[i]);
    if (atom == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), atom);  // steals the reference
  }
  return list.release();
}

PyObject* molecule_to_owned(PyObject* self, PyObject*) {
  auto molecule = owned_copy(self);
  if (!molecule) return nullptr;
  return new_py_molecule(MoleculeValue(std::in_place_type<Molecule>, std::move(*molecule)));
}

// ---------------------------------------------------------------------------------------------
// The class

#define MOLARIUM_CONSTRUCTOR_SIGNATURE                                                                        \
  "(positions, atomic_numbers, *, energy=None, forces=None, charges=None, velocities=None, cell=None, " \
  "stress=None, pbc=None, name=None)\n--\n\n"

PyMethodDef molecule_methods[] = {
    {"from_arrays", binding::method_cast(binding::entry<molecule_from_arrays>), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "from_arrays" MOLARIUM_CONSTRUCTOR_SIGNATURE "Create a molecule from numpy arrays."},
    {"atoms", binding::method_cast(binding::entry<molecule_atoms>), METH_NOARGS, "atoms($self)\n--\n\nGet atoms as a list"},
    {"to_owned", binding::method_cast(binding::entry<molecule_to_owned>), METH_NOARGS,
     "to_owned($self)\n--\n\nMaterialize the molecule into an owned, self-contained object."},
    {"__reduce__", binding::method_cast(binding::entry<molecule_reduce>), METH_NOARGS, "__reduce__($self)\n--\n\n"},
    {"_ase_builtin_tuple_fast", binding::method_cast(binding::entry<ase_builtin_tuple_fast>), METH_FASTCALL | METH_KEYWORDS,
     "_ase_builtin_tuple_fast($self, *, copy_info=True, copy_arrays=True)\n--\n\n"},
    {"_ase_payload", binding::method_cast(binding::entry<ase_payload>), METH_FASTCALL | METH_KEYWORDS,
     "_ase_payload($self, *, copy_info=True, copy_arrays=True)\n--\n\n"},
    {"get_property", binding::method_cast(binding::entry<get_property>), METH_FASTCALL | METH_KEYWORDS,
     "get_property($self, key)\n--\n\nGet a custom property by key"},
    {"set_property", binding::method_cast(binding::entry<set_property>), METH_FASTCALL | METH_KEYWORDS,
     "set_property($self, key, value, *, scope=None)\n--\n\nSet a custom property"},
    {"property_keys", binding::method_cast(binding::entry<property_keys>), METH_FASTCALL | METH_KEYWORDS,
     "property_keys($self, *, scope=None)\n--\n\nGet all property keys"},
    {"has_property", binding::method_cast(binding::entry<has_property>), METH_FASTCALL | METH_KEYWORDS,
     "has_property($self, key, *, scope=None)\n--\n\nCheck if a property exists"},
    {"delete_property", binding::method_cast(binding::entry<delete_property>), METH_FASTCALL | METH_KEYWORDS,
     "delete_property($self, key)\n--\n\nDelete a custom property by key."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef molecule_getset[] = {
    {"forces", binding::entry<get_array_field<Vec3Data>>, binding::entry<set_array_field<Vec3Data>>,
     "forces property (getter)", const_cast<ArrayField<Vec3Data>*>(&kForces)},
    {"energy", binding::entry<get_field<energy_object>>, binding::entry<set_energy>, "Get energy", nullptr},
    {"charges", binding::entry<get_array_field<FloatArrayData>>, binding::entry<set_array_field<FloatArrayData>>,
     "charges property (getter)", const_cast<ArrayField<FloatArrayData>*>(&kCharges)},
    {"velocities", binding::entry<get_array_field<Vec3Data>>, binding::entry<set_array_field<Vec3Data>>,
     "velocities property (getter)", const_cast<ArrayField<Vec3Data>*>(&kVelocities)},
    {"cell", binding::entry<get_array_field<Mat3Data>>, binding::entry<set_array_field<Mat3Data>>, "cell property (getter)",
     const_cast<ArrayField<Mat3Data>*>(&kCell)},
    {"stress", binding::entry<get_array_field<Mat3Data>>, binding::entry<set_stress>, "stress property (getter)",
     const_cast<ArrayField<Mat3Data>*>(&kStress)},
    {"pbc", binding::entry<get_field<pbc_object>>, binding::entry<set_pbc>, "pbc property (getter)", nullptr},
    {"positions", binding::entry<get_field<positions_array>>, nullptr, "positions property (read-only)", nullptr},
    {"atomic_numbers", binding::entry<get_field<atomic_numbers_array>>, nullptr, "atomic_numbers property (read-only)",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot molecule_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyMolecule" MOLARIUM_CONSTRUCTOR_SIGNATURE "Python wrapper for Molecule")},
    {Py_tp_new, binding::slot_cast(binding::entry<molecule_new>)},
    {Py_tp_dealloc, binding::slot_cast(&binding::dealloc_instance<MoleculeValue>)},
    {Py_tp_repr, binding::slot_cast(binding::entry<molecule_repr>)},
    {Py_tp_methods, molecule_methods},
    {Py_tp_getset, molecule_getset},
    {Py_mp_length, binding::slot_cast(binding::entry<molecule_length>)},
    {Py_mp_subscript, binding::slot_cast(binding::entry<molecule_subscript>)},
    {0, nullptr},
};

#undef MOLARIUM_CONSTRUCTOR_SIGNATURE

PyType_Spec molecule_spec = binding::class_spec<MoleculeValue>("molarium._molarium_rs.PyMolecule", molecule_slots);
binding::LazyClass molecule_class(molecule_spec);

}  // namespace

PyObject* positions_array(const MoleculeValue& value) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    const auto positions_tag = static_cast<molarium::storage::TypeTag>(view->positions_type_tag());
    return binding::view_vec3_payload_py(view->positions_bytes(), positions_tag, view->atom_count(),
                                         "positions");
  }
  return binding::owned_vec3_array(std::get<Molecule>(value).positions);
}

PyObject* atomic_numbers_array(const MoleculeValue& value) {
  const molarium::ByteView numbers = std::visit(
      [](const auto& held) -> molarium::ByteView {
        if constexpr (std::is_same_v<std::decay_t<decltype(held)>, SoaMoleculeView>) {
          return held.atomic_numbers_bytes();
        } else {
          return held.atomic_numbers;
        }
      },
      value);
  if (!binding::ensure_numpy()) return nullptr;
  npy_intp length = static_cast<npy_intp>(numbers.size());
  PyObject* array = PyArray_SimpleNew(1, &length, NPY_UINT8);
  if (array == nullptr) return nullptr;
  if (!numbers.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), numbers.data(), numbers.size());
  }
  return array;
}

PyObject* energy_object(const MoleculeValue& value) {
  std::optional<double> energy;
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    auto decoded = view->energy();
    if (!decoded) return binding::raise_error(decoded.error());
    energy = *decoded;
  } else if (const auto& stored = std::get<Molecule>(value).energy) {
    energy = std::visit([](auto number) { return static_cast<double>(number); }, *stored);
  }
  if (!energy) Py_RETURN_NONE;
  return PyFloat_FromDouble(*energy);
}

PyObject* pbc_object(const MoleculeValue& value) {
  std::optional<Pbc> pbc;
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    auto decoded = view->pbc();
    if (!decoded) return binding::raise_error(decoded.error());
    pbc = *decoded;
  } else {
    pbc = std::get<Molecule>(value).pbc;
  }
  if (!pbc) Py_RETURN_NONE;
  auto flag = [](bool set) { return set ? Py_True : Py_False; };
  // PyTuple_Pack takes its own references to the borrowed items.
  return PyTuple_Pack(3, flag((*pbc)[0]), flag((*pbc)[1]), flag((*pbc)[2]));
}

PyObject* builtin_array_object(const MoleculeValue& value, BuiltinField field) {
  switch (field) {
    case BuiltinField::Forces:
      return array_field_object(kForces, value);
    case BuiltinField::Velocities:
      return array_field_object(kVelocities, value);
    case BuiltinField::Charges:
      return array_field_object(kCharges, value);
    case BuiltinField::Cell:
      return array_field_object(kCell, value);
    case BuiltinField::Stress:
      return array_field_object(kStress, value);
    default:
      throw std::logic_error(cat("builtin_array_object called for the ", records::builtin_key(field), " field"));
  }
}

std::size_t atom_count(const MoleculeValue& value) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) return view->atom_count();
  return std::get<Molecule>(value).atom_count();
}

Result<Molecule*> ensure_owned(MoleculeValue& value) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) {
    MOLARIUM_ASSIGN_OR_RETURN(auto owned, view->materialize());
    // Destroys the view (and its hold on the record bytes) before the molecule moves in.
    value.emplace<Molecule>(std::move(owned));
  }
  return &std::get<Molecule>(value);
}

Result<Molecule> clone_as_owned(const MoleculeValue& value) {
  if (const auto* view = std::get_if<SoaMoleculeView>(&value)) return view->materialize();
  return std::get<Molecule>(value);
}

PyObject* new_py_molecule(MoleculeValue&& value) {
  PyTypeObject* type = molecule_type();
  if (type == nullptr) return nullptr;
  return binding::new_instance<MoleculeValue>(type, std::move(value));
}

}  // namespace molarium::python::molecule

namespace molarium::python {

PyTypeObject* molecule_type() { return molecule::molecule_class.get(); }

}  // namespace molarium::python
