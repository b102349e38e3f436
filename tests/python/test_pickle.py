"""Pickling of PyMolecule: __reduce__, _molecule_from_pickle_bytes and hostile payloads."""

import copy
import multiprocessing
import operator
import pickle
import struct
import zlib

import numpy as np
import pytest

import molarium._molarium_rs as native
from molarium._molarium_rs import PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

FAILED = "Failed to deserialize molecule: "
EOF_TEXT = FAILED + "io error: unexpected end of file"

# --- the payload, written out here field by field ----------------------------------------------


def u32(v):
    return struct.pack("<I", v)


def u64(v):
    return struct.pack("<Q", v)


def text(s):
    data = s.encode() if isinstance(s, str) else s
    return u64(len(data)) + data


def optional(encoded):
    return b"\x00" if encoded is None else b"\x01" + encoded


def floats(values, wide):
    values = list(values)
    return struct.pack(f"<{len(values)}{'d' if wide else 'f'}", *values)


def vec3(rows, wide):
    flat = [v for row in rows for v in row]
    return u32(1 if wide else 0) + u64(len(rows)) + floats(flat, wide)


def mat3(matrix, wide):
    return u32(1 if wide else 0) + floats([v for row in matrix for v in row], wide)


def float_list(values, wide):
    return u32(1 if wide else 0) + u64(len(values)) + floats(values, wide)


def scalar(value, wide):
    return u32(1 if wide else 0) + floats([value], wide)


TENSOR_FORMATS = {np.float32: (0, "f"), np.float64: (1, "d"), np.int32: (2, "i"), np.int64: (3, "q")}


def tensor(shape, values, dtype):
    index, fmt = TENSOR_FORMATS[dtype]
    return (
        u32(10)
        + u32(index)
        + u64(len(shape))
        + b"".join(u64(d) for d in shape)
        + u64(len(values))
        + struct.pack(f"<{len(values)}{fmt}", *values)
    )


def array_value(index, fmt, values):
    values = list(values)
    return u32(index) + u64(len(values) // (3 if index in (5, 8) else 1)) + struct.pack(f"<{len(values)}{fmt}", *values)


def property_map(entries):
    return u64(len(entries)) + b"".join(text(key) + value for key, value in entries)


def payload(
    positions=((0.0, 0.0, 0.0),),
    numbers=(1,),
    wide=False,
    name=None,
    forces=None,
    energy=None,
    charges=None,
    velocities=None,
    cell=None,
    pbc=None,
    stress=None,
    atom=(),
    molecule=(),
):
    """Each optional built-in is None or a (value, wide) pair."""
    out = optional(None if name is None else text(name))
    out += vec3(positions, wide)
    out += u64(len(numbers)) + bytes(numbers)
    out += optional(None if forces is None else vec3(*forces))
    out += optional(None if energy is None else scalar(*energy))
    out += optional(None if charges is None else float_list(*charges))
    out += optional(None if velocities is None else vec3(*velocities))
    out += optional(None if cell is None else mat3(*cell))
    out += optional(None if pbc is None else bytes(pbc))
    out += optional(None if stress is None else mat3(*stress))
    return out + property_map(list(atom)) + property_map(list(molecule))


def payload_of(mol):
    function, arguments = mol.__reduce__()
    assert function is _molecule_from_pickle_bytes
    assert len(arguments) == 1 and type(arguments[0]) is bytes
    return arguments[0]


# --- comparing molecules -------------------------------------------------------------------------

BUILTINS = ["positions", "atomic_numbers", "forces", "velocities", "charges", "cell", "stress", "energy", "pbc"]


def assert_same_array(got, expected):
    if expected is None:
        assert got is None
        return
    assert isinstance(got, np.ndarray)
    assert got.dtype == expected.dtype and got.shape == expected.shape
    np.testing.assert_array_equal(got, expected)


def assert_equal_molecules(got, expected):
    for name in BUILTINS:
        a, b = getattr(got, name), getattr(expected, name)
        if isinstance(b, np.ndarray) or isinstance(a, np.ndarray):
            assert_same_array(a, b)
        else:
            assert a == b, name
    assert got.property_keys() == expected.property_keys()
    for scope in ("atom", "molecule"):
        assert got.property_keys(scope=scope) == expected.property_keys(scope=scope)
    for key in expected.property_keys():
        a, b = got.get_property(key), expected.get_property(key)
        if isinstance(b, np.ndarray):
            assert_same_array(a, b)
        else:
            assert type(a) is type(b) and a == b


def full_molecule(n=3, dtype=np.float64):
    base = np.arange(n * 3, dtype=dtype).reshape(n, 3) / 8
    mol = PyMolecule(
        base,
        np.arange(1, n + 1, dtype=np.uint8),
        energy=-3.25,
        forces=base * -1,
        charges=np.linspace(-1, 1, n).astype(dtype),
        velocities=base * 2,
        cell=np.eye(3, dtype=dtype) * 9,
        stress=np.arange(9, dtype=dtype).reshape(3, 3),
        pbc=(True, False, True),
        name="water",
    )
    for key, value in {
        "none": None,
        "float": 0.1,
        "int": -(2**63),
        "text": "ü",
        "f64": np.array([1.0, np.inf, -0.0]),
        "f32": np.array([np.nan], dtype=np.float32),
        "i64": np.array([2**63 - 1], dtype=np.int64),
        "i32": np.array([-(2**31)], dtype=np.int32),
        "xyz32": np.ones((2, 3), dtype=np.float32),
        "xyz64": np.ones((1, 3)),
        "tensor": np.arange(24, dtype=np.int32).reshape(2, 3, 4),
        "empty": np.zeros((0, 5), dtype=np.int64),
    }.items():
        mol.set_property(key, value)
    for key, value in {
        "a_f32": np.arange(n, dtype=np.float32),
        "a_xyz": np.full((n, 3), 0.5),
        "a_tensor": np.arange(n * 4, dtype=np.float64).reshape(n, 2, 2),
    }.items():
        mol.set_property(key, value, scope="atom")
    return mol


def stored_view(tmp_path, mol, mmap=True):
    path = tmp_path / f"pickle-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecule(mol)
    db.flush()
    return PyAtomDatabase.open(str(path), mmap=mmap)[0]


def is_view(tmp_path, mol):
    """add_molecules stores views before owned molecules: put an owned marker of another size first."""
    n = len(mol) + 1
    marker = PyMolecule(np.zeros((n, 3), dtype=mol.positions.dtype), np.ones(n, dtype=np.uint8))
    db = PyAtomDatabase(str(tmp_path / f"probe-{len(list(tmp_path.iterdir()))}.mol"))
    db.add_molecules([marker, mol])
    return len(db[0]) == len(mol)


# --- round trips -------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
@pytest.mark.parametrize("protocol", [0, 2, pickle.HIGHEST_PROTOCOL])
def test_owned_molecules_round_trip_every_field(dtype, protocol):
    mol = full_molecule(3, dtype)
    back = pickle.loads(pickle.dumps(mol, protocol=protocol))
    assert type(back) is PyMolecule and back is not mol
    assert_equal_molecules(back, mol)


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_view_backed_molecules_pickle_as_their_owned_copy_and_stay_views(tmp_path, mmap, dtype):
    view = stored_view(tmp_path, full_molecule(4, dtype), mmap)
    back = pickle.loads(pickle.dumps(view))
    assert_equal_molecules(back, view.to_owned())
    assert is_view(tmp_path, view)
    assert not is_view(tmp_path, back)


def test_deepcopy_and_copy_give_independent_molecules(tmp_path):
    for source in (full_molecule(), stored_view(tmp_path, full_molecule())):
        for duplicate in (copy.deepcopy(source), copy.copy(source)):
            assert duplicate is not source
            assert_equal_molecules(duplicate, source)
            duplicate.energy = 99.0
            duplicate.set_property("float", 1.0)
            assert source.energy == -3.25
            assert source.get_property("float") == 0.1


def test_reduce_names_the_module_function():
    function, arguments = PyMolecule(np.zeros((1, 3)), np.ones(1, dtype=np.uint8)).__reduce__()
    assert function is native._molecule_from_pickle_bytes
    assert function.__module__ == "molarium._molarium_rs"
    assert PyMolecule.__reduce__.__text_signature__ == "($self)"
    assert _molecule_from_pickle_bytes.__text_signature__ == "(payload)"


def test_an_empty_molecule_encodes_to_44_bytes():
    mol = PyMolecule(np.zeros((0, 3), dtype=np.float32), np.zeros(0, dtype=np.uint8))
    expected = b"\x00" + u32(0) + u64(0) + u64(0) + b"\x00" * 7 + u64(0) + u64(0)
    assert len(expected) == 44
    assert payload_of(mol) == expected


@pytest.mark.parametrize("wide", [False, True])
def test_every_builtin_field_decodes_and_encodes_back_byte_for_byte(wide):
    rows = ((0.5, -1.0, 2.0), (3.0, 4.5, -6.0))
    matrix = ((1.0, 2.0, 3.0), (4.0, 5.0, 6.0), (7.0, 8.0, 9.5))
    data = payload(
        positions=rows,
        numbers=(8, 1),
        wide=wide,
        name="név",
        forces=(rows, wide),
        energy=(-1.5, wide),
        charges=((0.25, -0.25), wide),
        velocities=(rows[::-1], wide),
        cell=(matrix, wide),
        pbc=(1, 0, 1),
        stress=(matrix[::-1], wide),
        atom=[("q", array_value(7, "f", [1.0, 2.0]))],
        molecule=[("t", tensor([2, 1], [3, 4], np.int64))],
    )
    mol = _molecule_from_pickle_bytes(data)
    dtype = np.float64 if wide else np.float32
    assert mol.positions.dtype == dtype and mol.positions.tolist() == [list(r) for r in rows]
    assert mol.atomic_numbers.tolist() == [8, 1]
    assert mol.forces.dtype == dtype and mol.velocities.tolist() == [list(r) for r in rows[::-1]]
    assert mol.charges.dtype == dtype and mol.charges.tolist() == [0.25, -0.25]
    assert mol.cell.dtype == dtype and mol.cell.tolist() == [list(r) for r in matrix]
    assert mol.stress.tolist() == [list(r) for r in matrix[::-1]]
    assert mol.energy == -1.5 and type(mol.energy) is float
    assert mol.pbc == (True, False, True)
    assert mol.get_property("q").dtype == np.float32
    assert mol.get_property("t").tolist() == [[3], [4]]
    # One key per map makes the encoding deterministic: the name and the energy's width come back.
    assert payload_of(mol) == data


def test_a_float32_energy_is_widened_exactly():
    mol = _molecule_from_pickle_bytes(payload(energy=(0.1, False)))
    assert mol.energy == float(np.float32(0.1))
    assert mol.energy != 0.1


def test_a_molecule_without_pbc_stays_without_pbc():
    mol = pickle.loads(pickle.dumps(PyMolecule(np.zeros((1, 3)), np.ones(1, dtype=np.uint8))))
    assert mol.pbc is None
    assert mol.energy is None
    assert mol.property_keys() == []


def test_a_zero_dimensional_tensor_comes_back_as_a_zero_dimensional_array():
    mol = _molecule_from_pickle_bytes(payload(molecule=[("s", tensor([], [2.5], np.float64))]))
    value = mol.get_property("s")
    assert isinstance(value, np.ndarray) and value.shape == () and value.dtype == np.float64
    assert value[()] == 2.5


def test_a_key_in_both_scopes_survives_pickling():
    data = payload(
        atom=[("k", array_value(4, "d", [1.0]))],
        molecule=[("k", u32(3) + text("m"))],
    )
    mol = pickle.loads(pickle.dumps(_molecule_from_pickle_bytes(data)))
    assert mol.property_keys() == ["k", "k"]


def test_trailing_bytes_are_ignored():
    data = payload(name="x")
    assert payload_of(_molecule_from_pickle_bytes(data + b"\xff" * 13)) == data


def test_a_bytes_subclass_and_a_keyword_argument_are_accepted():
    class Payload(bytes):
        pass

    assert len(_molecule_from_pickle_bytes(Payload(payload()))) == 1
    assert len(_molecule_from_pickle_bytes(payload=payload())) == 1


@pytest.mark.parametrize(
    "argument, type_name",
    [("text", "str"), (bytearray(b"\x00"), "bytearray"), (memoryview(b"\x00"), "memoryview"), (None, "NoneType")],
)
def test_a_payload_that_is_not_bytes_is_a_type_error(argument, type_name):
    with pytest.raises(TypeError) as info:
        _molecule_from_pickle_bytes(argument)
    assert str(info.value) == f"argument 'payload': '{type_name}' object cannot be converted to 'bytes'"


def test_argument_binding_of_the_unpickling_function():
    with pytest.raises(TypeError):
        _molecule_from_pickle_bytes()
    with pytest.raises(TypeError):
        _molecule_from_pickle_bytes(payload(), payload())
    with pytest.raises(TypeError):
        _molecule_from_pickle_bytes(data=payload())


# --- damaged and hostile payloads --------------------------------------------------------------


def test_every_cut_of_a_payload_fails_with_the_end_of_file_message():
    data = payload_of(full_molecule(2))
    for cut in range(len(data)):
        with pytest.raises(ValueError) as info:
            _molecule_from_pickle_bytes(data[:cut])
        assert str(info.value) == EOF_TEXT, cut


def header(numbers=1):
    """Name absent, float32 positions of `numbers` atoms at the origin, atomic numbers 1."""
    return b"\x00" + u32(0) + u64(numbers) + b"\x00" * 12 * numbers + u64(numbers) + b"\x01" * numbers


NO_FIELDS = b"\x00" * 7
NO_MAP = u64(0)


PROPERTY = header() + NO_FIELDS + NO_MAP + u64(1)  # one molecule-scope entry follows


@pytest.mark.parametrize(
    "data, message",
    [
        (PROPERTY + text("k") + u32(11), "invalid value: integer `11`, expected variant index 0 <= i < 11"),
        (b"\x00" + u32(2) + u64(0), "invalid value: integer `2`, expected variant index 0 <= i < 2"),
        (PROPERTY + text("t") + u32(10) + u32(4), "invalid value: integer `4`, expected variant index 0 <= i < 4"),
        (header() + b"\x02", "tag for enum is not valid, found 2"),
        (b"\x07", "tag for enum is not valid, found 7"),
        (header() + b"\x00" * 5 + b"\x01\x01\x02\x00", "invalid u8 while decoding bool, expected 0 or 1, found 2"),
        (b"\x01" + u64(2) + b"\xc3\x28", "string is not valid utf8"),
        (header() + NO_FIELDS + u64(1) + text(b"\xff") + u32(0), "string is not valid utf8"),
        (PROPERTY + text("s") + u32(3) + text(b"\xed\xa0\x80"), "string is not valid utf8"),
        # Counts far beyond the payload fail before anything is reserved.
        (b"\x00" + u32(0) + u64(2**64 - 1), "io error: unexpected end of file"),
        (b"\x00" + u32(1) + u64(2**61), "io error: unexpected end of file"),
        (header() + NO_FIELDS + u64(2**64 - 1), "io error: unexpected end of file"),
        (PROPERTY + text("t") + u32(10) + u32(3) + u64(2**63), "io error: unexpected end of file"),
        (b"\x01" + u64(2**64 - 1), "io error: unexpected end of file"),
        (b"", "io error: unexpected end of file"),
    ],
)
def test_hostile_payloads_are_refused_with_the_decoder_message(data, message):
    with pytest.raises(ValueError) as info:
        _molecule_from_pickle_bytes(data)
    assert str(info.value).startswith(FAILED + message)


@pytest.mark.parametrize(
    "fields, message",
    [
        (dict(numbers=(1, 2)), "Atomic numbers length (2) doesn't match atom count (1)"),
        (dict(positions=((0, 0, 0), (1, 1, 1)), numbers=()), "Atomic numbers length (0) doesn't match atom count (2)"),
        (dict(forces=(((0, 0, 0), (1, 1, 1)), False)), "forces length (2) doesn't match atom count (1)"),
        (dict(velocities=((), True)), "velocities length (0) doesn't match atom count (1)"),
        (dict(charges=((1.0, 2.0, 3.0), True)), "charges length (3) doesn't match atom count (1)"),
        (
            dict(atom=[("q", array_value(4, "d", [1.0, 2.0]))]),
            "Atom property 'q' first dimension (2) doesn't match atom count (1)",
        ),
        (
            dict(atom=[("t", tensor([], [1.0], np.float32))]),
            "Atom tensor property 't' must have at least one dimension",
        ),
        (
            dict(positions=((0, 0, 0), (1, 1, 1)), numbers=(1, 1), atom=[("s", u32(1) + struct.pack("<d", 1.0))]),
            "Atom property 's' must be a numeric ndarray with first dimension equal to atom count (2)",
        ),
    ],
)
def test_fields_that_disagree_with_the_atom_count_are_refused(fields, message):
    with pytest.raises(ValueError) as info:
        _molecule_from_pickle_bytes(payload(**fields))
    assert str(info.value) == FAILED + message


# What a valid record cannot hold in its atom scope (the add path refuses to store it), so no
# molecule read from a valid file carries it.
@pytest.mark.parametrize(
    "atoms, value",
    [
        # A scalar is one element per atom, so it fits one atom only.
        pytest.param(0, u32(1) + struct.pack("<d", 1.0), id="float-no-atoms"),
        pytest.param(2, u32(2) + struct.pack("<q", 7), id="int-two-atoms"),
        # A string holds no bytes per atom.
        pytest.param(1, u32(3) + text("x"), id="string"),
        pytest.param(3, u32(4) + u64(2) + struct.pack("<2d", 1.0, 2.0), id="short-array"),
        pytest.param(2, tensor([3, 2], [1.0] * 6, np.float64), id="long-tensor"),
    ],
)
def test_atom_scope_values_no_record_holds_are_refused(atoms, value):
    data = payload(positions=[(0, 0, 0)] * atoms, numbers=[1] * atoms, atom=[("a", value)])
    with pytest.raises(ValueError):
        _molecule_from_pickle_bytes(data)


def test_atom_scope_values_that_fit_are_accepted():
    data = payload(
        positions=((0, 0, 0), (1, 1, 1)),
        numbers=(1, 1),
        atom=[("t", tensor([2, 2], [1, 2, 3, 4], np.int32)), ("x", array_value(8, "d", [0.0] * 6))],
    )
    mol = _molecule_from_pickle_bytes(data)
    assert mol.get_property("t").tolist() == [[1, 2], [3, 4]]
    assert mol.get_property("x").shape == (2, 3)


# --- molecules read from a file written byte by byte -------------------------------------------


def record(atoms, sections):
    """A record of format 2: n, float32 positions, numbers, then (kind, key, tag, payload) sections."""
    out = u32(atoms) + np.arange(atoms * 3, dtype="<f4").tobytes() + bytes(range(1, atoms + 1))
    out += struct.pack("<H", len(sections))
    for kind, key, tag, data in sections:
        out += bytes([kind, len(key)]) + key.encode() + bytes([tag]) + u32(len(data)) + data
    return out


def header_slot(generation, end, index_length, count):
    slot = bytearray(4096)
    slot[0:4] = b"MOLR"
    struct.pack_into("<IQQQQQ", slot, 4, 2, generation, 8192, end, index_length, count)
    struct.pack_into("<I", slot, 56, 2)  # record format 2, no codec, no schema blob
    struct.pack_into("<I", slot, 4092, zlib.adler32(bytes(slot[:4092])))
    return bytes(slot)


def file_of_one_record(path, data):
    """Header slot A commits the record; slot B is an older, empty commit."""
    index = u64(1) + struct.pack("<QIII", 8192, len(data), len(data), struct.unpack_from("<I", data)[0])
    path.write_bytes(header_slot(1, 8192 + len(data), len(index), 1) + header_slot(0, 8192, 0, 0) + data + index)


ATOM, MOLECULE = 1, 2
NULL, F64, I64, STR = 13, 0, 1, 2


# Atom-scope sections a record may hold besides per-atom arrays and tensors, with the value read.
@pytest.mark.parametrize(
    "atoms, tag, data, value",
    [
        pytest.param(2, NULL, b"", None, id="null"),
        pytest.param(0, NULL, b"", None, id="null-no-atoms"),
        pytest.param(1, F64, struct.pack("<d", -1.5), -1.5, id="float-one-atom"),
        pytest.param(1, I64, struct.pack("<q", -(2**63)), -(2**63), id="int-one-atom"),
        pytest.param(3, STR, b"", "", id="empty-string"),
        pytest.param(0, STR, b"", "", id="empty-string-no-atoms"),
    ],
)
def test_a_molecule_read_from_a_file_pickles_whatever_its_atom_scope_holds(tmp_path, atoms, tag, data, value):
    sections = [(ATOM, "a", tag, data), (ATOM, "q", 6, np.arange(atoms, dtype="<f4").tobytes()),
                (MOLECULE, "m", NULL, b"")]
    file_of_one_record(tmp_path / "handmade.mol", record(atoms, sections))
    read = PyAtomDatabase.open(str(tmp_path / "handmade.mol"))[0]
    assert read.property_keys(scope="atom") == ["a", "q"]
    got = read.get_property("a")
    assert type(got) is type(value) and got == value

    copy_ = pickle.loads(pickle.dumps(read))
    assert_equal_molecules(copy_, read)
    db = PyAtomDatabase(str(tmp_path / "again.mol"))
    db.add_molecule(copy_)
    db.flush()
    assert_equal_molecules(PyAtomDatabase.open(str(tmp_path / "again.mol"))[0], read)


@pytest.mark.parametrize(
    "shape, values, message",
    [
        ([2, 3], [1.0] * 5, None),
        ([7], [], None),
        ([2**63 - 1, 2], [], "Array shape [9223372036854775807, 2] is too large for NumPy"),
        ([2**64 - 1], [], "Array shape [18446744073709551615] is too large for NumPy"),
        ([2**32, 2**32, 2**32], [], "Array shape [4294967296, 4294967296, 4294967296] is too large for NumPy"),
    ],
)
def test_a_tensor_whose_shape_disagrees_with_its_values_is_refused_when_read(shape, values, message):
    mol = _molecule_from_pickle_bytes(payload(molecule=[("t", tensor(shape, values, np.float64))]))
    assert mol.has_property("t")
    with pytest.raises(ValueError) as info:
        mol.get_property("t")
    if message is not None:
        assert str(info.value) == message
    with pytest.raises(ValueError):
        mol._ase_payload()


# --- across processes --------------------------------------------------------------------------


# The worker pool's threads make CPython 3.12+ warn about fork; the pool is made safe for it.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_molecules_cross_process_boundaries(tmp_path, method):
    if method not in multiprocessing.get_all_start_methods():
        pytest.skip(f"{method} is not available here")
    owned = full_molecule(3, np.float32)
    view = stored_view(tmp_path, full_molecule(2, np.float64))
    context = multiprocessing.get_context(method)
    with context.Pool(2) as pool:
        # The molecules travel to the workers and come back, pickled both ways.
        returned = pool.map(copy.copy, [owned, view])
        tensors = pool.map(operator.methodcaller("get_property", "a_tensor"), [owned, view])
        energies = pool.map(operator.attrgetter("energy"), [owned, view])
    assert_equal_molecules(returned[0], owned)
    assert_equal_molecules(returned[1], view.to_owned())
    assert_same_array(tensors[0], owned.get_property("a_tensor"))
    assert_same_array(tensors[1], view.get_property("a_tensor"))
    assert energies == [-3.25, -3.25]
