// Helpers of the molecule objects, flat retrieval and batch ingestion: the NumPy output builders
// (owned fields and record payloads into new arrays) and the building of an owned molecule from
// arrays. Included with them: the payload element decoders (payload_elements.hpp) and the SOA record
// builder (record_builder.hpp), which need no interpreter.
//
// Every array a builder returns is new, writable and C-contiguous, and shares no memory with a
// molecule or with record bytes (which may be a read-only file mapping): at most one copy of the
// values is made, and a buffer the module fills is handed to NumPy as the array's memory.
// Functions returning PyObject* return a new reference, or nullptr with a Python exception set; they
// run with the interpreter lock held. Functions returning Result touch no Python object.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "engine/atom.hpp"
#include "engine/bytes.hpp"
#include "engine/types.hpp"
#include "python/binding/binding.hpp"
#include "engine/records/payload_elements.hpp"
#include "engine/records/record_builder.hpp"
#include "engine/records/record_view.hpp"

namespace molarium::python::binding {

// Typed payload elements, borrowed or copied, come from the record layer.
using records::cast_or_decode;
using records::CowElements;
using records::decode_le_elements;

// ---------------------------------------------------------------------------------------------
// Element types

// The NumPy type number of an element type of the builders.
template <class T>
constexpr int numpy_type_num() {
  if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
  else if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
  else if constexpr (std::is_same_v<T, std::int32_t>) return NPY_INT32;
  else if constexpr (std::is_same_v<T, std::int64_t>) return NPY_INT64;
  else static_assert(sizeof(T) == 0, "the builders make float32, float64, int32 and int64 arrays");
}

// ---------------------------------------------------------------------------------------------
// Arrays from element sequences and flat buffers (T: float, double, int32_t, int64_t)

// (n,) array: an owned sequence is handed over, a borrowed one copied into NumPy's memory.
template <class T>
PyObject* pyarray1_from_cow(CowElements<T>&& elements);

// (rows, cols) array over the buffer, handed over and reshaped without a copy. When rows * cols
// differs from the buffer's length: ValueError "<exception type>: <NumPy's reshape message>".
template <class T>
PyObject* pyarray2_from_flat(std::vector<T>&& flat, std::size_t rows, std::size_t cols);

// (rows, cols) array: an owned sequence through pyarray2_from_flat, a borrowed one copied into a
// new array and reshaped. Same failure as pyarray2_from_flat.
template <class T>
PyObject* pyarray2_from_cow(CowElements<T>&& elements, std::size_t rows, std::size_t cols);

// NumPy's limit on the number of dimensions of an array: 64 from NumPy 2 on, 32 before.
// REQUIRES: ensure_numpy() has succeeded.
int max_array_rank();

// How a reshape reports NumPy's refusal: its exception unchanged, or as ValueError
// "<exception type>: <message>".
enum class ReshapeRefusal { PassOn, AsValueError };

// Reshapes a one-dimensional array (reference taken over) to `shape` in C order, without a copy;
// the result is a view of it that keeps it alive. A shape that a stored tensor may have but NumPy
// cannot represent is refused before NumPy sees it: ValueError "Array rank {} exceeds NumPy's
// maximum of {} dimensions", or "Array shape {} is too large for NumPy" (a size or the product
// beyond npy_intp). A shape whose product differs from the length is NumPy's refusal.
PyObject* reshape_c_order(binding::Ref flat, std::span<const std::uint64_t> shape, ReshapeRefusal refusal);

// An array of `shape` over `values` (handed over, no copy). Refusals as reshape_c_order with PassOn.
template <class T>
PyObject* pyarray_from_flat_shape(std::vector<T>&& values, std::span<const std::uint64_t> shape);

// ---------------------------------------------------------------------------------------------
// Owned fields

// (rows, 3) array of a copy of the triples (T: float or double).
template <class T>
PyObject* xyz_rows_array(std::span<const std::array<T, 3>> rows);
// (n, 3) float32 or float64 array of the triples.
PyObject* owned_vec3_array(const molarium::types::Vec3Data& data);
// (3, 3) float32 or float64 array, row i of the matrix as row i.
PyObject* owned_mat3x3_array(const molarium::types::Mat3Data& data);
// (n,) float32 or float64 array.
PyObject* owned_float_array(const molarium::types::FloatArrayData& data);
// An array of the tensor's dtype (float32, float64, int32, int64) and shape, C order; rank 0
// gives a 0-dimensional array. Refusals as reshape_c_order with PassOn (a stored tensor may have
// up to 255 dimensions, more than NumPy allows).
PyObject* tensor_array(const molarium::types::TensorData& tensor);

// ---------------------------------------------------------------------------------------------
// Record payloads of a view

// (rows, 3) float32 (tag 4) or float64 (tag 7) array of the payload; another tag gives ValueError
// "Invalid {label} section". REQUIRES: the payload holds rows * 3 elements of the tag's width.
PyObject* view_vec3_payload_py(molarium::ByteView payload, molarium::storage::TypeTag type_tag, std::size_t rows,
                               std::string_view label);

// The view's forces or velocities: tag 4 with atom count * 12 bytes or tag 7 with atom count * 24,
// else ValueError "Invalid {label} section". REQUIRES: the slot is one of the view's, present.
PyObject* view_builtin_vec3_slot_py(const records::SoaMoleculeView& view, const records::SoaBuiltinSlot& slot,
                                    std::string_view label);
// The view's cell or stress: (3, 3) float64 for tag 10 with 72 bytes, float32 for tag 12 with 36
// bytes, else ValueError "Invalid {label} section".
PyObject* view_builtin_mat3_slot_py(const records::SoaMoleculeView& view, const records::SoaBuiltinSlot& slot,
                                    std::string_view label);
// The view's charges: (atom count,) float64 for tag 3 with atom count * 8 bytes, float32 for tag 6
// with atom count * 4, else ValueError "Invalid {label} section".
PyObject* view_builtin_float_array_slot_py(const records::SoaMoleculeView& view, const records::SoaBuiltinSlot& slot,
                                           std::string_view label);

// ---------------------------------------------------------------------------------------------
// Molecules from arrays

// An owned molecule of the positions (float32 or float64 kept as given, converted by
// molecule::parse_positions_field, whose ValueError passes on) and a copy of the atomic numbers in
// logical order; no name and no optional field. Nothing with an exception set on failure;
// ValueError "Atomic numbers length ({}) doesn't match atom count ({})" for differing lengths.
// REQUIRES: atomic_numbers is an array of dtype uint8 with one dimension (the caller's argument
// check raises TypeError otherwise).
std::optional<molarium::atom::Molecule> molecule_from_numpy_arrays(PyObject* positions, PyArrayObject* atomic_numbers);

}  // namespace molarium::python::binding
