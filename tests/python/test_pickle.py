"""Pickling of PyMolecule: the payload written out here field by field, hostile and damaged
payloads, molecules read from a file written byte by byte, and molecules crossing processes."""

import copy
import multiprocessing
import operator
import pickle
import random
import struct

import numpy as np
import pytest
from conftest import (ATOM, MOLECULE, TAGS, assert_same, assert_same_molecule, handmade, is_view, record, refused, rich,
                      starts, stored, u32, u64)

from molarium._molarium_rs import PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

FAILED = "Failed to deserialize molecule: "
EOF = FAILED + "io error: unexpected end of file"


def text(s):
    data = s.encode() if isinstance(s, str) else s
    return u64(len(data)) + data


def optional(encoded):
    return b"\x00" if encoded is None else b"\x01" + encoded


def floats(values, wide):
    values = np.ravel(values).tolist()
    return struct.pack(f"<{len(values)}{'d' if wide else 'f'}", *values)


def tensor(shape, values, dtype):
    index, fmt = {np.float32: (0, "f"), np.float64: (1, "d"), np.int32: (2, "i"), np.int64: (3, "q")}[dtype]
    data = struct.pack(f"<{len(values)}{fmt}", *values)
    return u32(10) + u32(index) + u64(len(shape)) + b"".join(u64(d) for d in shape) + u64(len(values)) + data


def array_value(index, fmt, values):
    return u32(index) + u64(len(values) // (3 if index in (5, 8) else 1)) + struct.pack(f"<{len(values)}{fmt}", *values)


def payload(positions=((0.0, 0.0, 0.0),), numbers=(1,), wide=False, name=None, forces=None, energy=None, charges=None,
            velocities=None, cell=None, pbc=None, stress=None, atom=(), molecule=()):
    """Each optional built-in is None or a (value, wide) pair; property values are encoded already."""
    rows = lambda v, w: u32(w) + u64(len(v)) + floats(v, w)  # noqa: E731
    fixed = lambda v, w: u32(w) + floats(v, w)  # noqa: E731
    out = optional(None if name is None else text(name)) + rows(positions, wide) + u64(len(numbers)) + bytes(numbers)
    for value, encode in ((forces, rows), (energy, fixed), (charges, rows), (velocities, rows), (cell, fixed),
                          (pbc, None), (stress, fixed)):
        out += optional(None if value is None else bytes(value) if encode is None else encode(*value))
    for entries in (atom, molecule):
        out += u64(len(entries)) + b"".join(text(key) + value for key, value in entries)
    return out


def payload_of(mol):
    function, arguments = mol.__reduce__()
    assert function is _molecule_from_pickle_bytes and type(arguments[0]) is bytes
    return arguments[0]


@pytest.mark.parametrize("wide", [False, True])
def test_every_field_decodes_and_encodes_back_byte_for_byte(wide):
    rows, matrix = ((0.5, -1.0, 2.0), (3.0, 4.5, -6.0)), ((1.0, 2.0, 3.0), (4.0, 5.0, 6.0), (7.0, 8.0, 9.5))
    data = payload(rows, (8, 1), wide, "név", (rows, wide), (-1.5, wide), ((0.25, -0.25), wide), (rows[::-1], wide),
                   (matrix, wide), (1, 0, 1), (matrix[::-1], wide), atom=[("q", array_value(7, "f", [1.0, 2.0]))],
                   molecule=[("t", tensor([2, 1], [3, 4], np.int64))])
    mol, dtype = _molecule_from_pickle_bytes(data), np.float64 if wide else np.float32
    for name, value in [("positions", rows), ("forces", rows), ("velocities", rows[::-1]), ("charges", (0.25, -0.25)),
                        ("cell", matrix), ("stress", matrix[::-1])]:
        assert_same(getattr(mol, name), np.array(value, dtype), name)
    assert (mol.atomic_numbers.tolist(), mol.energy, mol.pbc) == ([8, 1], -1.5, (True, False, True))
    assert_same(mol.get_property("q"), np.array([1.0, 2.0], np.float32))
    assert_same(mol.get_property("t"), np.array([[3], [4]], np.int64))
    assert payload_of(mol) == data  # one key per map keeps the order; the name and energy width come back
    assert payload_of(_molecule_from_pickle_bytes(data + b"\xff" * 13)) == data  # trailing bytes are ignored
    assert payload_of(PyMolecule(np.zeros((0, 3), np.float32), np.zeros(0, np.uint8))) == payload((), ()) == bytes(44)


def test_a_float32_energy_is_widened_exactly_and_a_bytes_subclass_is_taken():
    data = payload(energy=(0.1, False), molecule=[("s", tensor([], [2.5], np.float64))])
    mol = _molecule_from_pickle_bytes(payload=type("Payload", (bytes,), {})(data))
    assert mol.energy == float(np.float32(0.1)) and mol._ase_payload()[5] == mol.energy
    assert_same(mol.get_property("s"), np.array(2.5))


PROPERTY = payload()[:-16] + u64(0) + u64(1)  # one molecule-scope entry follows
REFUSALS = [
    ("text", TypeError, "argument 'payload': 'str' object cannot be converted to 'bytes'"),
    (bytearray(b"\x00"), TypeError, "argument 'payload': 'bytearray' object cannot be converted to 'bytes'"),
    (None, TypeError, starts("argument 'payload': ")), (b"", ValueError, EOF),
    (b"\x07", ValueError, FAILED + "tag for enum is not valid, found 7"),
    (b"\x00" + u32(9), ValueError, FAILED + "invalid value: integer `9`, expected variant index 0 <= i < 2"),
    (PROPERTY + text("k") + u32(11), ValueError,
     FAILED + "invalid value: integer `11`, expected variant index 0 <= i < 11"),
    (PROPERTY + text("t") + u32(10) + u32(4), ValueError,
        FAILED + "invalid value: integer `4`, expected variant index 0 <= i < 4"),
    (payload()[:-16 - 7] + b"\x00" * 5 + b"\x01\x01\x02\x00", ValueError,
        FAILED + "invalid u8 while decoding bool, expected 0 or 1, found 2"),
    (b"\x01" + u64(2) + b"\xc3\x28", ValueError, starts(FAILED + "string is not valid utf8")),
    (payload()[:-16] + u64(1) + text(b"\xff") + u32(0), ValueError, starts(FAILED + "string is not valid utf8")),
    (PROPERTY + text("s") + u32(3) + text(b"\xed\xa0\x80"), ValueError, starts(FAILED + "string is not valid utf8")),
    *[(data, ValueError, EOF) for data in (b"\x00" + u32(0) + u64(2**64 - 1), b"\x00" + u32(1) + u64(2**61),
                                           b"\x01" + u64(2**63), payload()[:-16] + u64(2**64 - 1),
                                           PROPERTY + text("t") + u32(10) + u32(3) + u64(2**63))],
    (payload(numbers=(1, 2)), ValueError, FAILED + "Atomic numbers length (2) doesn't match atom count (1)"),
    (payload(forces=(((0, 0, 0), (1, 1, 1)), False)), ValueError,
     FAILED + "forces length (2) doesn't match atom count (1)"),
    (payload(velocities=((), True)), ValueError, FAILED + "velocities length (0) doesn't match atom count (1)"),
    (payload(charges=((1.0, 2.0, 3.0), True)), ValueError, FAILED + "charges length (3) doesn't match atom count (1)"),
    (payload(atom=[("q", array_value(4, "d", [1.0, 2.0]))]), ValueError,
     FAILED + "Atom property 'q' first dimension (2) doesn't match atom count (1)"),
    (payload(atom=[("t", tensor([], [1.0], np.float32))]), ValueError,
     FAILED + "Atom tensor property 't' must have at least one dimension"),
    (payload([(0, 0, 0)] * 2, (1, 1), atom=[("s", u32(1) + struct.pack("<d", 1.0))]), ValueError,
     FAILED + "Atom property 's' must be a numeric ndarray with first dimension equal to atom count (2)"),
    # What no valid record holds in its atom scope: a scalar for other than one atom, a string, an
    # array or tensor of another length.
    (payload((), (), atom=[("a", u32(1) + struct.pack("<d", 1.0))]), ValueError, None),
    (payload([(0, 0, 0)] * 2, (1, 1), atom=[("a", u32(2) + struct.pack("<q", 7))]), ValueError, None),
    (payload(atom=[("a", u32(3) + text("x"))]), ValueError, None),
    (payload([(0, 0, 0)] * 3, (1, 1, 1), atom=[("a", u32(4) + u64(2) + floats([1, 2], True))]), ValueError, None),
    (payload([(0, 0, 0)] * 2, (1, 1), atom=[("a", tensor([3, 2], [1.0] * 6, np.float64))]), ValueError, None),
]


@pytest.mark.parametrize("data, error, text", REFUSALS)
def test_unpickling_refusals(data, error, text):
    refused(lambda: _molecule_from_pickle_bytes(data), error, text)


def test_every_cut_of_a_payload_and_random_damage_is_refused_or_reads_safely(tmp_path):
    rng, bases, survivors = random.Random(5), [payload_of(rich(2, np.float64)), payload_of(rich(3))], []
    for cut in (base[:cut] for base in bases for cut in range(len(base))):
        refused(lambda: _molecule_from_pickle_bytes(cut), ValueError, EOF)
    for _ in range(1500):
        data = bytearray(rng.choice(bases))
        for _ in range(rng.randrange(1, 4)):
            at = rng.randrange(len(data) - 8)
            data[at : at + 8] = rng.choice([u64(rng.choice([2**64 - 1, 2**63, 2**32, rng.getrandbits(64)])),
                                            bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1 : at + 8]])
        try:
            survivors.append(_molecule_from_pickle_bytes(bytes(data)))
        except ValueError as error:
            assert str(error).startswith(FAILED)
    db = PyAtomDatabase(str(tmp_path / "hostile.mol"))
    for mol in survivors:  # what decodes reads, stores and reads back, or refuses clearly
        for read in (mol.property_keys, mol.to_owned, mol._ase_payload, lambda: pickle.dumps(mol),
                     lambda: db.add_molecule(mol)):
            try:
                read()
            except (ValueError, KeyError):
                pass
    db.flush()
    for mmap in (True, False):
        again = PyAtomDatabase.open(str(tmp_path / "hostile.mol"), mmap=mmap)
        assert len(again.get_molecules(list(range(len(again))))) == len(again)


@pytest.mark.parametrize("atoms, tag, data, value", [
    (2, TAGS["NULL"], b"", None), (0, TAGS["NULL"], b"", None), (1, TAGS["F64"], struct.pack("<d", -1.5), -1.5),
    (1, TAGS["I64"], struct.pack("<q", -(2**63)), -(2**63)), (3, TAGS["STR"], b"", ""), (0, TAGS["STR"], b"", ""),
])
def test_a_molecule_read_from_a_file_pickles_whatever_its_atom_scope_holds(tmp_path, atoms, tag, data, value):
    sections = [(ATOM, "a", tag, data), (ATOM, "q", TAGS["F32A"], np.arange(atoms, dtype="<f4").tobytes()),
                (MOLECULE, "m", TAGS["NULL"], b"")]
    read = PyAtomDatabase.open(str(handmade(tmp_path / "handmade.mol", [record(atoms, sections)])))[0]
    assert read.property_keys(scope="atom") == ["a", "q"]
    assert_same(read.get_property("a"), value)
    for got in ((back := pickle.loads(pickle.dumps(read))), stored(tmp_path, [back])[0]):
        assert_same_molecule(got, read)


@pytest.mark.parametrize("shape, values, text", [
    ([2, 3], [1.0] * 5, None), ([7], [], None),
    ([2**63 - 1, 2], [], "Array shape [9223372036854775807, 2] is too large for NumPy"),
    ([2**32, 2**32, 2**32], [], "Array shape [4294967296, 4294967296, 4294967296] is too large for NumPy"),
])
def test_a_tensor_whose_shape_disagrees_with_its_values_is_refused_when_read(shape, values, text):
    mol = _molecule_from_pickle_bytes(payload(molecule=[("t", tensor(shape, values, np.float64))]))
    assert mol.has_property("t")
    refused(lambda: mol.get_property("t"), ValueError, text)
    refused(mol._ase_payload, ValueError)
    assert mol._ase_payload(copy_info=False, copy_arrays=False)[9:] == (None, None)  # never converted


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
@pytest.mark.parametrize("method", ["spawn", "fork"])
def test_molecules_cross_process_boundaries(tmp_path, method):
    owned, view = rich(3), stored(tmp_path, [rich(2, np.float64)])[0]
    with multiprocessing.get_context(method).Pool(2) as pool:
        returned = pool.map(copy.copy, [owned, view])
        tensors = pool.map(operator.methodcaller("get_property", "a_tensor"), [owned, view])
    for got, tensor_, mol in zip(returned, tensors, (owned, view)):
        assert_same_molecule(got, mol.to_owned())
        assert_same(tensor_, mol.get_property("a_tensor"))
