"""Conversion of Python inputs into molecules, and of stored values back into NumPy arrays."""

import struct

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

UNSUPPORTED = (
    "Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype "
    "float32, float64, int32, or int64"
)
POSITIONS_DTYPE = "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"
NUMPY_MAX_RANK = 64 if int(np.__version__.split(".")[0]) >= 2 else 32


def numbers(n):
    return np.arange(1, n + 1, dtype=np.uint8)


def molecule(n=4, dtype=np.float64):
    return PyMolecule(np.arange(n * 3, dtype=dtype).reshape(n, 3), numbers(n))


# --- Array layouts: every one holds the same values as `base`, in another memory layout ----------


def contiguous(base):
    return base.copy()


def transposed(base):
    array = np.asfortranarray(base)
    assert base.ndim < 2 or base.size == 0 or not array.flags.c_contiguous
    return array


def sliced(base):
    big = np.zeros(tuple(2 * d for d in base.shape), dtype=base.dtype)
    view = big[tuple(slice(None, None, 2) for _ in base.shape)]
    view[...] = base
    return view


def reversed_(base):
    flipped = base[tuple(slice(None, None, -1) for _ in base.shape)].copy()
    view = flipped[tuple(slice(None, None, -1) for _ in base.shape)]
    assert any(s < 0 for s in view.strides) or base.size <= 1
    return view


def unaligned(base):
    raw = np.zeros(base.nbytes + 1, dtype=np.uint8)
    view = raw[1:].view(base.dtype).reshape(base.shape)
    view[...] = base
    assert not view.flags.aligned
    return view


LAYOUTS = [contiguous, transposed, sliced, reversed_, unaligned]


def byte_swapped(base):
    swapped = base.astype(base.dtype.newbyteorder(">" if base.dtype.byteorder != ">" else "<"))
    np.testing.assert_array_equal(swapped, base)
    return swapped


def assert_fresh(array, *others):
    """New, writable, C-contiguous, sharing no memory with anything it came from."""
    assert isinstance(array, np.ndarray)
    assert array.flags.writeable
    assert array.flags.c_contiguous
    for other in others:
        assert not np.shares_memory(array, other)


# --- Built-in fields --------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_positions_in_any_layout_read_back_as_their_contiguous_copy(layout, dtype):
    base = (np.arange(15, dtype=dtype) * 0.5 - 3).reshape(5, 3)
    mol = PyMolecule(layout(base), numbers(5))
    assert mol.positions.dtype == dtype
    np.testing.assert_array_equal(mol.positions, base)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_zero_atom_positions_are_a_valid_molecule(dtype):
    mol = PyMolecule(np.zeros((0, 3), dtype=dtype), np.zeros(0, dtype=np.uint8))
    assert len(mol) == 0
    assert mol.positions.shape == (0, 3)
    assert mol.positions.dtype == dtype


@pytest.mark.parametrize(
    "positions",
    [
        np.zeros((2, 3), dtype=np.int64),
        np.zeros((2, 3), dtype=np.float16),
        np.zeros((2, 3, 1), dtype=np.float32),
        [[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]],
        byte_swapped(np.zeros((2, 3), dtype=np.float32)),
        byte_swapped(np.zeros((2, 3), dtype=np.float64)),
    ],
    ids=["int64", "float16", "3-d", "list", "big-endian-f4", "big-endian-f8"],
)
def test_positions_of_another_dtype_or_kind_are_refused(positions):
    with pytest.raises(ValueError) as info:
        PyMolecule(positions, numbers(2))
    assert str(info.value) == POSITIONS_DTYPE


def test_positions_without_three_columns_name_the_letter_n():
    with pytest.raises(ValueError) as info:
        PyMolecule(np.zeros((4, 2), dtype=np.float32), numbers(4))
    assert str(info.value) == "positions must have shape (n, 3)"


def test_atomic_numbers_are_copied_in_logical_order():
    mol = PyMolecule(np.zeros((3, 3)), np.array([1, 6, 8], dtype=np.uint8)[::-1])
    np.testing.assert_array_equal(mol.atomic_numbers, [8, 6, 1])


@pytest.mark.parametrize("field", ["forces", "velocities"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_vec3_fields_in_any_layout(field, dtype, layout):
    base = (np.arange(12, dtype=dtype) - 5).reshape(4, 3)
    built = PyMolecule(np.zeros((4, 3)), numbers(4), **{field: layout(base)})
    np.testing.assert_array_equal(getattr(built, field), base)
    assert getattr(built, field).dtype == dtype
    mol = molecule(4)
    setattr(mol, field, layout(base))
    np.testing.assert_array_equal(getattr(mol, field), base)


@pytest.mark.parametrize(
    "field, label, value, message",
    [
        ("forces", "Forces", np.zeros((4, 2), dtype=np.float32), "{} must have shape (4, 3)"),
        ("forces", "Forces", np.zeros((3, 3)), "{} must have shape (4, 3)"),
        ("velocities", "Velocities", np.zeros((5, 3), dtype=np.float32), "{} must have shape (4, 3)"),
        ("forces", "Forces", np.zeros((4, 3), dtype=np.int32), "{} must be a float32 or float64 ndarray with shape (4, 3)"),
        ("forces", "Forces", byte_swapped(np.zeros((4, 3))), "{} must be a float32 or float64 ndarray with shape (4, 3)"),
        ("velocities", "Velocities", np.zeros(12), "{} must be a float32 or float64 ndarray with shape (4, 3)"),
        ("velocities", "Velocities", [[0.0] * 3] * 4, "{} must be a float32 or float64 ndarray with shape (4, 3)"),
    ],
)
def test_vec3_field_refusals_name_the_field_and_atom_count(field, label, value, message):
    with pytest.raises(ValueError) as info:
        PyMolecule(np.zeros((4, 3)), numbers(4), **{field: value})
    assert str(info.value) == message.format(field)
    mol = molecule(4)
    with pytest.raises(ValueError) as info:
        setattr(mol, field, value)
    assert str(info.value) == message.format(label)
    assert getattr(mol, field) is None


def test_assigning_none_to_forces_is_refused_like_any_non_array():
    mol = molecule(4)
    with pytest.raises(ValueError) as info:
        mol.forces = None
    assert str(info.value) == "Forces must be a float32 or float64 ndarray with shape (4, 3)"


@pytest.mark.parametrize("field", ["cell", "stress"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_matrices_keep_their_rows_in_any_layout(field, dtype, layout):
    base = np.arange(9, dtype=dtype).reshape(3, 3) + 1
    mol = PyMolecule(np.zeros((2, 3)), numbers(2), **{field: layout(base)})
    value = getattr(mol, field)
    assert value.dtype == dtype
    np.testing.assert_array_equal(value, base)
    assert value[0, 1] == 2 and value[1, 0] == 4


@pytest.mark.parametrize(
    "value, message",
    [
        (np.zeros((3, 4)), "{} must have shape (3, 3)"),
        (np.zeros((1, 3), dtype=np.float32), "{} must have shape (3, 3)"),
        (np.zeros((3, 3), dtype=np.int64), "{} must be a float32 or float64 ndarray with shape (3, 3)"),
        (np.zeros(9), "{} must be a float32 or float64 ndarray with shape (3, 3)"),
        (byte_swapped(np.eye(3)), "{} must be a float32 or float64 ndarray with shape (3, 3)"),
    ],
)
@pytest.mark.parametrize("field", ["cell", "stress"])
def test_matrix_refusals(field, value, message):
    with pytest.raises(ValueError) as info:
        PyMolecule(np.zeros((2, 3)), numbers(2), **{field: value})
    assert str(info.value) == message.format(field)
    mol = molecule(2)
    with pytest.raises(ValueError) as info:
        setattr(mol, field, value)
    assert str(info.value) == message.format(field.capitalize())


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_charges_in_any_layout(dtype, layout):
    base = np.array([0.5, -1.0, 2.25, 3.0, -0.125], dtype=dtype)
    mol = PyMolecule(np.zeros((5, 3)), numbers(5), charges=layout(base))
    assert mol.charges.dtype == dtype
    np.testing.assert_array_equal(mol.charges, base)


def test_charges_of_another_length_name_both_counts():
    with pytest.raises(ValueError) as info:
        PyMolecule(np.zeros((5, 3)), numbers(5), charges=np.zeros(4))
    assert str(info.value) == "charges length (4) doesn't match atom count (5)"
    mol = molecule(5)
    with pytest.raises(ValueError) as info:
        mol.charges = np.zeros(4, dtype=np.float32)
    assert str(info.value) == "Charges length (4) doesn't match atom count (5)"


@pytest.mark.parametrize(
    "value",
    [np.zeros((5, 1)), np.zeros(5, dtype=np.int64), byte_swapped(np.zeros(5)), [0.0] * 5],
    ids=["2-d", "int64", "big-endian", "list"],
)
def test_charges_of_another_kind_are_refused(value):
    with pytest.raises(ValueError) as info:
        PyMolecule(np.zeros((5, 3)), numbers(5), charges=value)
    assert str(info.value) == "charges must be a float32 or float64 ndarray with shape (5,)"


# --- Custom property values -----------------------------------------------------------------------


def stored(value):
    mol = molecule(4)
    mol.set_property("key", value)
    return mol.get_property("key")


@pytest.mark.parametrize(
    "value, expected, kind",
    [
        (None, None, type(None)),
        (True, 1, int),
        (False, 0, int),
        (np.int64(7), 7, int),
        (np.int32(-3), -3, int),
        (np.float32(1.5), 1.5, float),
        (np.float64(0.25), 0.25, float),
        (3.75, 3.75, float),
        (-(2**63), -(2**63), int),
        (2**63, float(2**63), float),
        (2**70, float(2**70), float),
        ("text", "text", str),
        ("", "", str),
        (np.array(2.5, dtype=np.float32), 2.5, float),
        (np.array(9, dtype=np.int64), 9, int),
    ],
    ids=lambda v: type(v).__name__,
)
def test_scalar_property_values(value, expected, kind):
    result = stored(value)
    assert type(result) is kind
    assert result == expected


@pytest.mark.parametrize(
    "value",
    [
        [1.0, 2.0],
        (1.0, 2.0),
        b"abc",
        1 + 2j,
        10**400,
        object(),
        np.zeros(3, dtype=np.float16),
        np.zeros(3, dtype=bool),
        np.zeros(3, dtype=np.uint8),
        np.zeros((2, 2), dtype=np.float16),
        np.zeros((2, 3), dtype=np.int8),
        byte_swapped(np.zeros(3)),
        byte_swapped(np.zeros((2, 2), dtype=np.int32)),
        byte_swapped(np.zeros((2, 3), dtype=np.float32)),
    ],
    ids=lambda v: getattr(v, "dtype", type(v).__name__).__str__(),
)
def test_unsupported_property_values(value):
    mol = molecule(4)
    mol.set_property("key", 1.0)
    with pytest.raises(ValueError) as info:
        mol.set_property("key", value)
    assert str(info.value) == UNSUPPORTED
    assert mol.get_property("key") == 1.0


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int32, np.int64])
@pytest.mark.parametrize("layout", LAYOUTS)
def test_one_dimensional_arrays_keep_dtype_and_order(dtype, layout):
    base = np.array([5, -1, 3, 0, 8, 2], dtype=dtype)
    result = stored(layout(base))
    assert result.dtype == dtype
    np.testing.assert_array_equal(result, base)


def test_one_element_array_stays_an_array():
    result = stored(np.array([2.5]))
    assert isinstance(result, np.ndarray)
    assert result.shape == (1,)
    assert result.dtype == np.float64


@pytest.mark.parametrize(
    "base",
    [
        np.arange(15, dtype=np.float64).reshape(5, 3),
        np.arange(15, dtype=np.float32).reshape(5, 3),
        np.arange(20, dtype=np.float64).reshape(5, 4),
        np.arange(8, dtype=np.int32).reshape(4, 2),
        np.arange(12, dtype=np.int32).reshape(4, 3),
        np.arange(24, dtype=np.int64).reshape(2, 3, 4),
        np.arange(24, dtype=np.float32).reshape(2, 3, 4),
        np.zeros((2, 0, 4)),
        np.zeros((0, 3), dtype=np.float32),
    ],
    ids=lambda b: f"{b.dtype}{b.shape}",
)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_multi_dimensional_arrays_keep_shape_dtype_and_values(base, layout):
    if base.size == 0 and layout is unaligned:
        pytest.skip("an empty view is always aligned")
    result = stored(layout(base))
    assert result.dtype == base.dtype
    assert result.shape == base.shape
    np.testing.assert_array_equal(result, base)


def test_atom_scope_accepts_rows_of_triples_and_tensors():
    mol = molecule(4)
    mol.set_property("xyz", np.ones((4, 3), dtype=np.float32), scope="atom")
    mol.set_property("grid", np.ones((4, 2, 2)), scope="atom")
    assert mol.get_property("xyz").shape == (4, 3)
    assert mol.get_property("grid").shape == (4, 2, 2)


class IndexRaises:
    def __init__(self, exception):
        self.exception = exception

    def __index__(self):
        raise self.exception


class FloatAfterFailedIndex:
    def __index__(self):
        raise ValueError("not an index")

    def __float__(self):
        return 2.5


@pytest.mark.parametrize("exception", [KeyboardInterrupt, MemoryError, SystemExit])
def test_serious_exceptions_of_a_scalar_conversion_propagate(exception):
    mol = molecule(4)
    with pytest.raises(exception):
        mol.set_property("key", IndexRaises(exception()))
    assert not mol.has_property("key")


def test_ordinary_exceptions_of_a_scalar_conversion_move_on_to_the_next():
    assert stored(FloatAfterFailedIndex()) == 2.5
    mol = molecule(4)
    with pytest.raises(ValueError) as info:
        mol.set_property("key", IndexRaises(LookupError("no")))
    assert str(info.value) == UNSUPPORTED


def test_highest_numpy_rank_round_trips():
    shape = (1,) * NUMPY_MAX_RANK
    result = stored(np.full(shape, 4.0, dtype=np.float32))
    assert result.shape == shape
    assert result.dtype == np.float32


# --- Stored tensors that NumPy cannot hold ---------------------------------------------------------


def pickle_payload_with_tensor(shape, values):
    """A pickle payload of a one-atom molecule whose molecule-scope property "t" is a float64 tensor."""
    u32 = lambda v: struct.pack("<I", v)  # noqa: E731
    u64 = lambda v: struct.pack("<Q", v)  # noqa: E731
    out = b"\x00"  # no name
    out += u32(0) + u64(1) + struct.pack("<3f", 0, 0, 0)  # float32 positions, one atom
    out += u64(1) + b"\x06"  # atomic numbers
    out += b"\x00" * 7  # forces, energy, charges, velocities, cell, pbc, stress
    out += u64(0)  # atom properties
    out += u64(1) + u64(1) + b"t"  # one molecule property "t"
    out += u32(10) + u32(1)  # PropertyValue::Tensor, TensorData::F64
    out += u64(len(shape)) + b"".join(u64(d) for d in shape)
    out += u64(len(values)) + b"".join(struct.pack("<d", v) for v in values)
    return out


def test_stored_tensor_of_a_rank_numpy_cannot_hold_is_a_value_error():
    rank = NUMPY_MAX_RANK + 6
    mol = _molecule_from_pickle_bytes(pickle_payload_with_tensor([1] * rank, [1.0]))
    with pytest.raises(ValueError) as info:
        mol.get_property("t")
    assert str(info.value) == f"Array rank {rank} exceeds NumPy's maximum of {NUMPY_MAX_RANK} dimensions"


def test_stored_tensor_whose_shape_disagrees_with_its_values_is_a_value_error():
    with pytest.raises(ValueError):
        mol = _molecule_from_pickle_bytes(pickle_payload_with_tensor([2, 3], [1.0] * 5))
        mol.get_property("t")


# --- Every returned array is a fresh copy ---------------------------------------------------------


def full_molecule(n=3, dtype=np.float64):
    inputs = {
        "positions": np.arange(n * 3, dtype=dtype).reshape(n, 3),
        "forces": np.ones((n, 3), dtype=dtype),
        "velocities": np.full((n, 3), 2.0, dtype=dtype),
        "charges": np.linspace(-1, 1, n).astype(dtype),
        "cell": np.eye(3, dtype=dtype) * 10,
        "stress": np.arange(9, dtype=dtype).reshape(3, 3),
    }
    fields = {k: v for k, v in inputs.items() if k != "positions"}
    # A name of n bytes shifts the sections after it to another offset for every atom count.
    mol = PyMolecule(inputs["positions"], numbers(n), name="m" * n, energy=-1.5, **fields)
    properties = {
        "per_atom": np.arange(n, dtype=np.float32),
        "xyz": np.ones((n, 3)),
        "tensor": np.arange(n * 4, dtype=np.int64).reshape(n, 2, 2),
        "ints": np.arange(n, dtype=np.int32),
    }
    for key, value in properties.items():
        mol.set_property(key, value, scope="atom")
    return mol, inputs, properties


READERS = {
    "positions": lambda m: m.positions,
    "forces": lambda m: m.forces,
    "velocities": lambda m: m.velocities,
    "charges": lambda m: m.charges,
    "cell": lambda m: m.cell,
    "stress": lambda m: m.stress,
    "per_atom": lambda m: m.get_property("per_atom"),
    "xyz": lambda m: m.get_property("xyz"),
    "tensor": lambda m: m.get_property("tensor"),
    "ints": lambda m: m.get_property("ints"),
}


@pytest.mark.parametrize("field", list(READERS))
def test_owned_getters_return_fresh_arrays(field):
    mol, inputs, properties = full_molecule()
    read = READERS[field]
    source = inputs.get(field, properties.get(field))
    first, second = read(mol), read(mol)
    assert_fresh(first, second, source)
    expected = first.copy()
    first[...] = 99
    np.testing.assert_array_equal(read(mol), expected)
    np.testing.assert_array_equal(source, expected)


@pytest.fixture(
    params=[
        (dtype, compression, mapped)
        for dtype in (np.float32, np.float64)
        for compression, mapped in (("none", True), ("none", False), ("zstd", False))
    ],
    ids=lambda p: f"{p[0].__name__}-{p[1]}-{'mapped' if p[2] else 'in-memory'}",
)
def stored_molecules(request, tmp_path):
    dtype, compression, mapped = request.param
    path = str(tmp_path / "conversion.mol")
    database = PyAtomDatabase(path, compression=compression)
    originals = []
    # Several atom counts move every payload to another offset, so that some payloads start at
    # addresses that are not multiples of their element size and take the copying route.
    for n in range(0, 6):
        mol, _, _ = full_molecule(n, dtype)
        originals.append(mol)
        database.add_molecule(mol)
    database.flush()
    del database
    reopened = PyAtomDatabase.open(path, mmap=mapped)
    return [reopened.get_molecule(i) for i in range(len(originals))], originals


@pytest.mark.parametrize("field", list(READERS))
def test_view_backed_getters_return_fresh_copies_of_stored_values(stored_molecules, field):
    views, originals = stored_molecules
    read = READERS[field]
    for view, original in zip(views, originals):
        first, second = read(view), read(view)
        assert_fresh(first, second)
        assert first.dtype == read(original).dtype
        np.testing.assert_array_equal(first, read(original))
        if first.size:
            expected = first.copy()
            first[...] = 99
            np.testing.assert_array_equal(read(view), expected)


def test_view_backed_empty_molecule_gives_empty_arrays(stored_molecules):
    views, _ = stored_molecules
    empty = views[0]
    assert len(empty) == 0
    assert empty.positions.shape == (0, 3)
    assert empty.forces.shape == (0, 3)
    assert empty.charges.shape == (0,)
