// Pickling of PyMolecule: __reduce__ ships the owned molecule's payload to the module function
// _molecule_from_pickle_bytes, which decodes it back into a new owned molecule.
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "engine/pickle.hpp"
#include "engine/storage/dtypes.hpp"
#include "engine/storage/schema.hpp"
#include "python/molecule/molecule.hpp"
#include "python/molecule/properties.hpp"
#include "python/binding/registry.hpp"

namespace molarium::python {
namespace {

using molarium::cat;
using molarium::atom::Molecule;
using molecule::MoleculeValue;

// Where unpickling finds the function again; the module is importable only inside its package.
constexpr const char* kModuleName = "molarium._molarium_rs";
constexpr const char* kUnpickleName = "_molecule_from_pickle_bytes";

// Whether a stored record may hold the value in its atom scope: the schema rule of an atom
// section, which the add path applies too. Besides arrays and tensors with one entry per atom it
// admits a null and an empty string (no bytes per atom) and, in a one-atom molecule, a scalar (one
// element for the one atom); a molecule read from a file can carry any of them, so its pickle must.
bool fits_stored_atom_scope(std::string_view key, const molarium::types::PropertyValue& value, std::size_t atom_count) {
  namespace storage = molarium::storage;
  // A tensor's rule needs its encoded payload; check_atom_property states the same rule for it.
  if (std::holds_alternative<molarium::types::TensorData>(value)) return false;
  const auto payload_length = storage::dtypes::property_payload_length(value);
  if (!payload_length) return false;
  return storage::schema::schema_entry(storage::SectionKind::Atom, key,
                                       storage::dtypes::type_tag_of(value), *payload_length, std::nullopt,
                                       atom_count)
      .has_value();
}

// A payload may describe fields that disagree with its atom count, which no molecule read from
// a file can have. Such a molecule would be stored as a record that reads back broken (its
// getters and flat retrieval refuse the section), or not stored at all, so it is refused at the
// door. Returns the first disagreement, worded for "Failed to deserialize molecule: {}".
std::optional<std::string> per_atom_disagreement(const Molecule& molecule) {
  const std::size_t n = molecule.atom_count();
  const std::array<std::pair<std::string_view, std::optional<std::size_t>>, 3> builtins{{
      {"forces", molecule.forces ? std::optional(molarium::types::length(*molecule.forces)) : std::nullopt},
      {"charges", molecule.charges ? std::optional(molarium::types::length(*molecule.charges)) : std::nullopt},
      {"velocities",
       molecule.velocities ? std::optional(molarium::types::length(*molecule.velocities)) : std::nullopt},
  }};
  for (const auto& [name, length] : builtins) {
    if (length && *length != n) return cat(name, " length (", *length, ") doesn't match atom count (", n, ")");
  }
  for (const auto& [key, value] : molecule.atom_properties) {
    if (fits_stored_atom_scope(key, value, n)) continue;
    // The refusal is worded as set_property words it, which admits arrays and tensors only.
    if (auto fits = molecule::check_atom_property(key, value, n); !fits) return fits.error().message();
  }
  return std::nullopt;
}

PyObject* molecule_from_pickle_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{kUnpickleName, {"payload"}};
  const auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  PyObject* payload = (*bound)[0];
  if (!PyBytes_Check(payload)) {
    binding::set_error(PyExc_TypeError,
                  cat("'", binding::bare_type_name(Py_TYPE(payload)), "' object cannot be converted to 'bytes'"));
    binding::prefix_argument_error("payload");
    return nullptr;
  }
  // A bytes object cannot change, so its buffer is read in place.
  const molarium::ByteView bytes(reinterpret_cast<const std::uint8_t*>(PyBytes_AS_STRING(payload)),
                                 static_cast<std::size_t>(PyBytes_GET_SIZE(payload)));
  auto decoded = molarium::pickle::decode_molecule(bytes);
  if (!decoded) return binding::raise_value_error(cat("Failed to deserialize molecule: ", decoded.error().message()));
  if (auto disagreement = per_atom_disagreement(*decoded)) {
    return binding::raise_value_error(cat("Failed to deserialize molecule: ", *disagreement));
  }
  return molecule::new_py_molecule(MoleculeValue(std::in_place_type<Molecule>, std::move(*decoded)));
}

PyMethodDef unpickle_def = {kUnpickleName, binding::method_cast(binding::entry<molecule_from_pickle_bytes>),
                            METH_FASTCALL | METH_KEYWORDS, "_molecule_from_pickle_bytes(payload)\n--\n\n"};

}  // namespace

PyMethodDef* molecule_from_pickle_bytes_def() { return &unpickle_def; }

namespace molecule {

PyObject* molecule_reduce(PyObject* self, PyObject*) {
  molarium::Bytes payload;
  {
    const auto value = SharedMolecule::take(self);
    if (!value) return nullptr;
    // Encoding cannot fail, so "Failed to serialize molecule" has no cause to report.
    auto encoded = read_as_owned(
        **value, [](const Molecule& molecule) { return molarium::pickle::encode_molecule(molecule); });
    if (!encoded) return binding::raise_error(encoded.error());
    payload = std::move(*encoded);
  }

  binding::Ref module = binding::Ref::steal(PyImport_ImportModule(kModuleName));
  if (!module) return nullptr;
  binding::Ref function = binding::Ref::steal(PyObject_GetAttrString(module.get(), kUnpickleName));
  if (!function) return nullptr;
  binding::Ref bytes = binding::Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(payload.data()),
                                                           static_cast<Py_ssize_t>(payload.size())));
  if (!bytes) return nullptr;
  // PyTuple_Pack takes its own references to the items.
  binding::Ref arguments = binding::Ref::steal(PyTuple_Pack(1, bytes.get()));
  if (!arguments) return nullptr;
  return PyTuple_Pack(2, function.get(), arguments.get());
}

}  // namespace molecule
}  // namespace molarium::python
