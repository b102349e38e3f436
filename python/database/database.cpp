// PyAtomDatabase: create, open, add molecules one by one or as a list, read them back as
// view-backed molecules one by one or in parallel, length and indexing, flush.
#include "python/database/database.hpp"

#include <cstdint>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include "engine/compression.hpp"
#include "engine/pool.hpp"
#include "engine/records/flat_extraction.hpp"
#include "python/molecule/molecule.hpp"
#include "python/binding/registry.hpp"

namespace molarium::python::database {

namespace {

using molarium::cat;
using molarium::compression::CompressionType;
using molarium::storage::BorrowedRecord;
using molarium::storage::BorrowedRecordWithPositions;
using molarium::storage::SharedRecordBytes;
using molecule::MoleculeValue;
using molecule::SharedMolecule;
using records::SoaMoleculeView;

using SharedDatabase = binding::Shared<AtomDatabase>;
using ExclusiveDatabase = binding::Exclusive<AtomDatabase>;

// ---------------------------------------------------------------------------------------------
// Argument conversion

// The molecules of a sequence argument, each held with shared access until the list goes, so no
// molecule can change (or drop the record bytes a view lends) while the engine reads it.
std::optional<std::vector<SharedMolecule>> to_molecule_list(PyObject* value, const char* argument) {
  PyTypeObject* type = molecule_type();
  if (type == nullptr) return std::nullopt;
  std::vector<SharedMolecule> molecules;
  const bool converted = binding::for_each_sequence_item(value, argument, [&](PyObject* item) {
    if (binding::to_instance(item, type, argument) == nullptr) return false;
    auto molecule = SharedMolecule::take(item);
    if (!molecule) return false;
    molecules.push_back(std::move(*molecule));
    return true;
  });
  if (!converted) return std::nullopt;
  return molecules;
}

// The engine takes paths as C strings, where a NUL byte would end the path early and name a
// different file: refuse such a path as the file system interface does.
bool check_path(const std::string& path) {
  if (path.find('\0') == std::string::npos) return true;
  binding::raise_error(molarium::Error(molarium::Error::Kind::Io, "file name contained an unexpected NUL byte"));
  return false;
}

// "none", "lz4" or "zstd" in any case; ValueError "Invalid compression type" otherwise.
std::optional<CompressionType> to_compression(std::string name, std::int32_t level) {
  // ASCII lower-casing is enough: no other character lower-cases to a letter of the three names.
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (name == "none") return CompressionType::none();
  if (name == "lz4") return CompressionType::lz4();
  if (name == "zstd") return CompressionType::zstd(level);
  binding::raise_value_error(std::string_view("Invalid compression type"));
  return std::nullopt;
}

// Returns a new reference to a new PyAtomDatabase owning the database, or nullptr with an
// exception set.
PyObject* wrap_database(AtomDatabase&& database) {
  PyTypeObject* type = database_type();
  if (type == nullptr) return nullptr;
  return binding::new_instance<AtomDatabase>(type, std::move(database));
}

// ---------------------------------------------------------------------------------------------
// Reading records as views

// Record i of a mapped database as a view, as the engine reads it: in place from the mapping when
// the file is not compressed, otherwise decoded. Touches no Python object, so it runs with the
// interpreter lock released, also on pool workers.
molarium::Result<SoaMoleculeView> load_mapped_view(const AtomDatabase& database, std::size_t i,
                                                   const records::SoaContext& context) {
  MOLARIUM_ASSIGN_OR_RETURN(auto record, records::mapped_record_bytes(database, i));
  return SoaMoleculeView::from_storage(std::move(record), context.positions_stride, context.positions_type_tag);
}

// Returns a new reference to a new view-backed PyMolecule, or nullptr with an exception set.
PyObject* wrap_view(SoaMoleculeView&& view) {
  return molecule::new_py_molecule(MoleculeValue(std::in_place_type<SoaMoleculeView>, std::move(view)));
}

// Returns a new reference to a list of new view-backed PyMolecules in the order of the views, or
// nullptr with an exception set.
PyObject* wrap_views(std::vector<SoaMoleculeView>&& views) {
  binding::Ref list = binding::Ref::steal(PyList_New(static_cast<Py_ssize_t>(views.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < views.size(); ++i) {
    PyObject* molecule = wrap_view(std::move(views[i]));
    if (molecule == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), molecule);  // steals the reference
  }
  return list.release();
}

// Every index loaded as a view on the pool, the lock released by the caller. All loads finish
// before the result is looked at, so the failure reported is the first in index order, not the
// first in time.
molarium::Result<std::vector<SoaMoleculeView>> load_mapped_views(const AtomDatabase& database,
                                                                 std::span<const std::size_t> indices,
                                                                 const records::SoaContext& context) {
  std::vector<std::optional<molarium::Result<SoaMoleculeView>>> loaded(indices.size());
  auto load = [&](std::size_t i) -> molarium::Result<void> {
    loaded[i].emplace(load_mapped_view(database, indices[i], context));
    return {};
  };
  // Only a fault of the pool itself (a worker's C++ exception) fails the loop.
  MOLARIUM_TRY_VOID(molarium::pool::parallel_for(indices.size(), load));
  std::vector<SoaMoleculeView> views;
  views.reserve(loaded.size());
  for (auto& result : loaded) {
    MOLARIUM_ASSIGN_OR_RETURN(SoaMoleculeView view, std::move(*result));
    views.push_back(std::move(view));
  }
  return views;
}

// Returns a new reference to record index as a view-backed PyMolecule, or nullptr with an
// exception set. REQUIRES: shared access to the database, held by the caller.
PyObject* molecule_at(const AtomDatabase& database, std::size_t index) {
  const std::size_t length = database.len();
  if (index >= length) {
    return binding::set_error(PyExc_IndexError, cat("Index ", index, " out of bounds for database of length ", length));
  }
  const auto context = positions_context(database);
  if (!context) return nullptr;

  if (database.reads_from_mapping()) {
    auto view = binding::without_gil([&] { return load_mapped_view(database, index, *context); });
    if (!view) return binding::raise_error(view.error());
    return wrap_view(std::move(*view));
  }
  auto record = binding::without_gil([&] { return database.record(index); });
  if (!record) return binding::raise_error(record.error());
  auto view = SoaMoleculeView::from_bytes(records::SoaBytes(std::move(*record)), *context);
  if (!view) return binding::raise_error(view.error());
  return wrap_view(std::move(*view));
}

// ---------------------------------------------------------------------------------------------
// Storing molecules

// Sets the error's exception and returns false.
bool fail(const molarium::Error& error) {
  binding::raise_error(error);
  return false;
}

// Appends the views' stored record bytes without re-encoding them: with the first view's schema
// when every view has the same layout, otherwise with a schema the engine derives from each
// record. Returns false with ValueError set.
// REQUIRES: exclusive access to the database; shared access to every view's molecule.
bool store_views(AtomDatabase& database, std::span<const SoaMoleculeView* const> views) {
  bool same_layout = true;
  for (std::size_t i = 1; i < views.size() && same_layout; ++i) {
    auto same = views[i]->same_schema_as(*views[0]);
    if (!same) return fail(same.error());
    same_layout = *same;
  }
  if (same_layout) {
    auto schema = views[0]->database_schema();
    if (!schema) return fail(schema.error());
    std::vector<BorrowedRecord> records;
    records.reserve(views.size());
    for (const SoaMoleculeView* view : views) {
      records.push_back({view->bytes(), static_cast<std::uint32_t>(view->atom_count())});
    }
    return binding::succeeded_or_raise(database.add_raw_soa_records_with_schema(records, *schema));
  }
  std::vector<BorrowedRecordWithPositions> records;
  records.reserve(views.size());
  for (const SoaMoleculeView* view : views) {
    records.push_back(
        {view->bytes(), static_cast<std::uint32_t>(view->atom_count()), view->positions_type_tag()});
  }
  return binding::succeeded_or_raise(database.add_raw_soa_records_with_positions_type(records));
}

// ---------------------------------------------------------------------------------------------
// Python entry points

PyObject* database_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  static constexpr binding::Parameters<4> kParameters{
      "PyAtomDatabase", {"path", "compression", "level", "overwrite"}, 4, 1};
  auto bound = binding::bind_arguments(kParameters, args, kwargs);
  if (!bound) return nullptr;
  const auto& [path_arg, compression_arg, level_arg, overwrite_arg] = *bound;
  auto path = binding::to_str(path_arg, "path");
  if (!path) return nullptr;
  std::string compression_name = "none";
  if (compression_arg != nullptr) {
    auto name = binding::to_str(compression_arg, "compression");
    if (!name) return nullptr;
    compression_name = std::move(*name);
  }
  std::int32_t level = 3;
  if (level_arg != nullptr) {
    auto value = binding::to_i32(level_arg, "level");
    if (!value) return nullptr;
    level = *value;
  }
  bool overwrite = false;
  if (overwrite_arg != nullptr) {
    auto value = binding::to_bool(overwrite_arg, "overwrite");
    if (!value) return nullptr;
    overwrite = *value;
  }

  // The codec name is looked at before the file system, so a bad name fails the same way whether
  // or not the path exists.
  const auto compression = to_compression(std::move(compression_name), level);
  if (!compression) return nullptr;
  if (!check_path(*path)) return nullptr;
  // Without overwrite the engine refuses anything at the path (a directory too) before it makes
  // a file, and creates exclusively, so a file made there meanwhile is refused, not truncated.
  auto database = molarium::storage::AtomDatabase::create_with_format(*path, *compression, overwrite);
  if (!database) {
    if (database.error().kind() == molarium::Error::Kind::Exists) {
      return binding::set_error(
          PyExc_FileExistsError,
          cat("Database file already exists at '", *path,
              "'. Use Database.open(path) for read-only access, Database.open(path, mmap=False) "
              "to append, or pass overwrite=True to recreate it."));
    }
    return binding::raise_error(database.error());
  }
  return wrap_database(std::move(*database));
}

PyObject* database_open(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<3> kParameters{"open", {"path", "mmap", "populate"}, 3, 1};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto& [path_arg, mmap_arg, populate_arg] = *bound;
  auto path = binding::to_str(path_arg, "path");
  if (!path) return nullptr;
  bool mapped = true;
  if (mmap_arg != nullptr) {
    auto value = binding::to_bool(mmap_arg, "mmap");
    if (!value) return nullptr;
    mapped = *value;
  }
  bool populate = false;
  if (populate_arg != nullptr) {
    auto value = binding::to_bool(populate_arg, "populate");
    if (!value) return nullptr;
    populate = *value;
  }
  if (populate && !mapped) return binding::raise_value_error(std::string_view("populate=True requires mmap=True"));
  if (!check_path(*path)) return nullptr;
  auto database = molarium::storage::AtomDatabase::open_with_options(std::move(*path), mapped, populate);
  if (!database) return binding::raise_error(database.error());
  return wrap_database(std::move(*database));
}

PyObject* database_add_molecule(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"add_molecule", {"molecule"}};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  PyTypeObject* type = molecule_type();
  if (type == nullptr) return nullptr;
  PyObject* molecule_object = binding::to_instance((*bound)[0], type, "molecule");
  if (molecule_object == nullptr) return nullptr;
  const auto molecule = SharedMolecule::take(molecule_object);
  if (!molecule) return nullptr;
  auto database = ExclusiveDatabase::take(self);
  if (!database) return nullptr;

  if (const auto* view = std::get_if<SoaMoleculeView>(&**molecule)) {
    if (!store_views(**database, std::span<const SoaMoleculeView* const>(&view, 1))) return nullptr;
  } else if (!binding::succeeded_or_raise((*database)->add_molecule(std::get<molarium::atom::Molecule>(**molecule)))) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyObject* database_add_molecules(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"add_molecules", {"molecules"}};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  // Converted before the database is taken: iterating the argument may run Python code.
  const auto molecules = to_molecule_list((*bound)[0], "molecules");
  if (!molecules) return nullptr;
  auto database = ExclusiveDatabase::take(self);
  if (!database) return nullptr;

  std::vector<const SoaMoleculeView*> views;
  std::vector<const molarium::atom::Molecule*> owned;
  for (const SharedMolecule& molecule : *molecules) {
    if (const auto* view = std::get_if<SoaMoleculeView>(&*molecule)) {
      views.push_back(view);
    } else {
      owned.push_back(&std::get<molarium::atom::Molecule>(*molecule));
    }
  }
  // Views go first, as their stored bytes; the owned molecules only if the views were stored.
  if (!views.empty() && !store_views(**database, views)) return nullptr;
  if (!owned.empty() && !binding::succeeded_or_raise((*database)->add_molecules(owned))) return nullptr;
  Py_RETURN_NONE;
}

PyObject* database_get_molecule(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"get_molecule", {"index"}};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto index = binding::to_usize((*bound)[0], "index");
  if (!index) return nullptr;
  const auto database = SharedDatabase::take(self);
  if (!database) return nullptr;
  return molecule_at(**database, *index);
}

PyObject* database_get_molecules(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr binding::Parameters<1> kParameters{"get_molecules", {"indices"}};
  auto bound = binding::bind_arguments(kParameters, args, nargs, kwnames);
  if (!bound) return nullptr;
  const auto indices = to_index_list((*bound)[0], "indices");
  if (!indices) return nullptr;
  const auto database = SharedDatabase::take(self);
  if (!database) return nullptr;
  if (indices->empty()) return PyList_New(0);
  const auto context = positions_context(**database);
  if (!context) return nullptr;

  if ((*database)->reads_from_mapping()) {
    auto views = binding::without_gil([&] { return load_mapped_views(**database, *indices, *context); });
    if (!views) return binding::raise_error(views.error());
    return wrap_views(std::move(*views));
  }
  auto records = binding::without_gil([&] { return (*database)->shared_records(*indices); });
  if (!records) return binding::raise_error(records.error());
  std::vector<SoaMoleculeView> views;
  views.reserve(records->size());
  for (SharedRecordBytes& record : *records) {
    auto view = SoaMoleculeView::from_bytes(records::SoaBytes(std::move(record)), *context);
    if (!view) return binding::raise_value_error(cat("ValueError: ", view.error().display()));
    views.push_back(std::move(*view));
  }
  return wrap_views(std::move(views));
}

PyObject* database_flush(PyObject* self, PyObject*) {
  auto database = ExclusiveDatabase::take(self);
  if (!database) return nullptr;
  if (!binding::succeeded_or_raise((*database)->flush())) return nullptr;
  Py_RETURN_NONE;
}

Py_ssize_t database_length(PyObject* self) {
  const auto database = SharedDatabase::take(self);
  if (!database) return -1;
  const std::size_t length = (*database)->len();
  if (length > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    binding::set_error(PyExc_OverflowError, "database length does not fit in a Py_ssize_t");
    return -1;
  }
  return static_cast<Py_ssize_t>(length);
}

PyObject* database_subscript(PyObject* self, PyObject* key) {
  const auto index = binding::to_usize(key, "index");
  if (!index) return nullptr;
  const auto database = SharedDatabase::take(self);
  if (!database) return nullptr;
  return molecule_at(**database, *index);
}

PyMethodDef database_methods[] = {
    {"open", binding::method_cast(binding::entry<database_open>), METH_STATIC | METH_FASTCALL | METH_KEYWORDS,
     "open(path, mmap=True, populate=False)\n--\n\n"
     "Open an existing database.\n\n"
     "By default this uses a memory-mapped index and is read-only. Reopen with\n"
     "`mmap=False` if you need to append molecules."},
    {"add_molecule", binding::method_cast(binding::entry<database_add_molecule>), METH_FASTCALL | METH_KEYWORDS,
     "add_molecule($self, molecule)\n--\n\nAdd a molecule to the database"},
    {"add_molecules", binding::method_cast(binding::entry<database_add_molecules>), METH_FASTCALL | METH_KEYWORDS,
     "add_molecules($self, molecules)\n--\n\nAdd multiple molecules (processed in parallel)"},
    {"add_arrays_batch", binding::method_cast(binding::entry<add_arrays_batch>), METH_FASTCALL | METH_KEYWORDS,
     "add_arrays_batch($self, positions, atomic_numbers, *, energy=None, forces=None, charges=None, "
     "velocities=None, cell=None, stress=None, pbc=None, name=None, properties=None, atom_properties=None)\n--\n\n"
     "Add a batch of molecules from stacked numpy arrays.\n\n"
     "This avoids creating one Python Molecule object per record."},
    {"get_molecule", binding::method_cast(binding::entry<database_get_molecule>), METH_FASTCALL | METH_KEYWORDS,
     "get_molecule($self, index)\n--\n\nGet a molecule by index as a lazy view-backed molecule."},
    {"get_molecules", binding::method_cast(binding::entry<database_get_molecules>), METH_FASTCALL | METH_KEYWORDS,
     "get_molecules($self, indices)\n--\n\n"
     "Get multiple molecules by indices (parallel batch reading)\n\n"
     "This is MUCH faster than calling get_molecule() in a loop!\n"
     "Uses parallel I/O to read multiple molecules at once.\n\n"
     "Parameters:\n"
     "- indices: List of molecule indices to fetch\n\n"
     "Returns:\n"
     "- List of molecules"},
    {"get_molecules_flat", binding::method_cast(binding::entry<get_molecules_flat>), METH_FASTCALL | METH_KEYWORDS,
     "get_molecules_flat($self, indices)\n--\n\n"
     "Get multiple molecules as batched numpy arrays (zero-copy fast path).\n\n"
     "Returns a dict with contiguous arrays instead of per-molecule Python objects.\n"
     "This is the fastest way to load training batches.\n\n"
     "The dict always contains:\n"
     "  \"n_atoms\":         uint32  (n_molecules,)\n"
     "  \"positions\":       float32 (total_atoms, 3)\n"
     "  \"atomic_numbers\":  uint8   (total_atoms,)\n\n"
     "Optional builtin fields (present if the first molecule has them):\n"
     "  \"energy\":     float64 (n_molecules,)\n"
     "  \"forces\":     float32 (total_atoms, 3)\n"
     "  \"charges\":    float64 (total_atoms,)\n"
     "  \"velocities\": float32 (total_atoms, 3)\n"
     "  \"cell\":       float64 (n_molecules, 3, 3)\n"
     "  \"stress\":     float64 (n_molecules, 3, 3)\n"
     "  \"pbc\":        bool    (n_molecules, 3)\n\n"
     "Custom properties are in nested dicts:\n"
     "  \"atom_properties\": {key: array, ...}\n"
     "  \"properties\":      {key: array, ...}"},
    {"flush", binding::method_cast(binding::entry<database_flush>), METH_NOARGS,
     "flush($self)\n--\n\nFlush and save the database"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot database_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyAtomDatabase(path, compression=\"none\", level=3, overwrite=False)\n--\n\n"
                                  "Python wrapper for AtomDatabase")},
    {Py_tp_new, binding::slot_cast(binding::entry<database_new>)},
    {Py_tp_dealloc, binding::slot_cast(&binding::dealloc_instance<AtomDatabase>)},
    {Py_tp_methods, database_methods},
    {Py_mp_length, binding::slot_cast(binding::entry<database_length>)},
    {Py_mp_subscript, binding::slot_cast(binding::entry<database_subscript>)},
    {0, nullptr},
};

PyType_Spec database_spec = binding::class_spec<AtomDatabase>("molarium._molarium_rs.PyAtomDatabase", database_slots);
binding::LazyClass database_class(database_spec);

}  // namespace

namespace {

// The two containers training loops pass indices in, read without a Python object per item. Each
// gives exactly what the item-by-item walk gives, and returns nothing (no exception set) for
// anything it does not take as it is, which the walk then handles, refusals included.

// REQUIRES: PyList_CheckExact(list). Every item must be an exact int, so no Python code runs and
// no item can go away while it is read.
std::optional<std::vector<std::size_t>> indices_from_int_list(PyObject* list) {
  const Py_ssize_t size = PyList_GET_SIZE(list);
  std::vector<std::size_t> indices(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* item = PyList_GET_ITEM(list, i);  // borrowed
    if (!PyLong_CheckExact(item)) return std::nullopt;
    int overflow = 0;
    const long long index = PyLong_AsLongLongAndOverflow(item, &overflow);
    if (overflow != 0 || index < 0) return std::nullopt;  // above 2^63 or negative: the walk decides
    indices[static_cast<std::size_t>(i)] = static_cast<std::size_t>(index);
  }
  return indices;
}

// A one-dimensional NumPy array of a signed or unsigned integer dtype, any byte order or stride.
template <class Element>
std::optional<std::vector<std::size_t>> indices_from_array_as(PyObject* value, int type_num) {
  // PyArray_FromAny steals the descriptor; the copy it may make is native-endian and contiguous.
  binding::Ref array = binding::Ref::steal(
      PyArray_FromAny(value, PyArray_DescrFromType(type_num), 1, 1, NPY_ARRAY_CARRAY_RO, nullptr));
  if (!array) {
    PyErr_Clear();
    return std::nullopt;
  }
  auto* converted = reinterpret_cast<PyArrayObject*>(array.get());
  const auto* data = static_cast<const Element*>(PyArray_DATA(converted));
  std::vector<std::size_t> indices(static_cast<std::size_t>(PyArray_DIM(converted, 0)));
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if constexpr (std::is_signed_v<Element>) {
      if (data[i] < 0) return std::nullopt;
    }
    indices[i] = static_cast<std::size_t>(data[i]);
  }
  return indices;
}

std::optional<std::vector<std::size_t>> indices_from_int_array(PyObject* value) {
  if (!PyArray_CheckExact(value)) return std::nullopt;
  auto* array = reinterpret_cast<PyArrayObject*>(value);
  if (PyArray_NDIM(array) != 1) return std::nullopt;
  switch (PyArray_DESCR(array)->kind) {
    case 'i':
      return indices_from_array_as<std::int64_t>(value, NPY_INT64);
    case 'u':
      return indices_from_array_as<std::uint64_t>(value, NPY_UINT64);
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<std::vector<std::size_t>> to_index_list(PyObject* value, const char* argument) {
  if (PyList_CheckExact(value)) {
    if (auto indices = indices_from_int_list(value)) return indices;
  } else if (!PyUnicode_Check(value)) {
    if (!binding::ensure_numpy()) return std::nullopt;
    if (auto indices = indices_from_int_array(value)) return indices;
  }
  std::vector<std::size_t> indices;
  const bool converted = binding::for_each_sequence_item(value, argument, [&](PyObject* item) {
    const auto index = binding::to_usize(item, argument);
    if (!index) return false;
    indices.push_back(*index);
    return true;
  });
  if (!converted) return std::nullopt;
  return indices;
}

std::optional<records::SoaContext> positions_context(const AtomDatabase& database) {
  auto context = records::SoaContext::from_database(database);
  if (!context) {
    binding::raise_error(context.error());
    return std::nullopt;
  }
  return *context;
}

}  // namespace molarium::python::database

namespace molarium::python {

PyTypeObject* database_type() { return database::database_class.get(); }

}  // namespace molarium::python
