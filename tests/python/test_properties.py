"""Custom properties: what each Python value is stored as, the two scopes and their rules, key
order, a key held in both scopes, damaged property sections, and each refusal's text."""

import struct

import numpy as np
import pytest
from conftest import MOLECULE, TAGS, assert_same, handmade, record, refused, starts, stored, u32, u64

from molarium._molarium_rs import PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

N = 3
MAX_RANK = 64 if int(np.__version__.split(".")[0]) >= 2 else 32
UNSUPPORTED = ("Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype "
               "float32, float64, int32, or int64")
SCOPE = "scope must be 'molecule' or 'atom', got '{}'"


def molecule(n=N):
    mol = PyMolecule(np.zeros((n, 3)), np.ones(n, np.uint8))
    mol.set_property("f", 2.5)
    mol.set_property("per_atom", np.arange(n, dtype=np.float64), scope="atom")
    return mol


class IndexRaises:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class IndexThenFloat(IndexRaises):
    def __float__(self):
        return 2.5


def setting(value, key="k", **scope):
    return lambda m: m.set_property(key, value, **scope)


SET = [
    (lambda m: m.set_property(5, 1.0), TypeError, starts("argument 'key': ")),
    (setting(1.0, scope=1), TypeError, starts("argument 'scope': ")), (setting([1.0]), ValueError, UNSUPPORTED),
    (setting(1.0, scope="Atom"), ValueError, SCOPE.format("Atom")),
    (setting(1.0, scope=""), ValueError, SCOPE.format("")),
    (setting(10**400), ValueError, None), (setting("\udcff"), ValueError, None),
    (setting(IndexRaises(LookupError("no"))), ValueError, UNSUPPORTED),
    (setting(IndexRaises(KeyboardInterrupt())), KeyboardInterrupt, None),
    (setting(IndexRaises(MemoryError())), MemoryError, None),
] + [(setting(np.zeros((2, 3), d)), ValueError, None) for d in (
    np.float16, np.uint8, bool, complex, np.dtype("f8").newbyteorder("S"), np.dtype("i4").newbyteorder("S"), "U1")] + [
    (setting(np.zeros((0, 2**32), np.float32)), ValueError, "Tensor dimensions must fit in u32 for storage"),
    (setting(1.0, "stress"), ValueError, "'stress' is a reserved field; use molecule.stress instead"),
    (setting(np.zeros(N), "stress", scope="atom"), ValueError, None),
    (setting(1.0, scope="atom"), ValueError,
     "Atom property 'k' must be a numeric ndarray with first dimension equal to atom count (3)"),
    (setting(np.zeros((), np.int32), scope="atom"), ValueError, None), (setting(None, scope="atom"), ValueError, None),
    (setting(np.zeros((4, 3), np.float32), scope="atom"), ValueError,
     "Atom property 'k' first dimension (4) doesn't match atom count (3)"),
    (setting(np.zeros(0), scope="atom"), ValueError, None),
    (setting(np.zeros(N), "f", scope="atom"), ValueError,
     "Property 'f' already exists as a molecule property; delete it before setting atom scope"),
    (setting(1.0, "per_atom", scope="molecule"), ValueError,
     "Property 'per_atom' already exists as an atom property; delete it before setting molecule scope"),
    (setting(1.0, "per_atom"), ValueError, None), (lambda m: m.set_property("k", 1.0, "atom"), TypeError, None),
    (lambda m: m.get_property("missing"), KeyError, "Property 'missing' not found"),
    (lambda m: m.get_property(0), TypeError, starts("argument 'key': ")),
    (lambda m: m.has_property("f", scope="ATOM"), ValueError, None),
    (lambda m: m.property_keys(scope="all"), ValueError, None), (lambda m: m.property_keys("atom"), TypeError, None),
    (lambda m: m.delete_property("missing"), KeyError, None),
    (lambda m: m.delete_property("k", scope="atom"), TypeError, None),
]


@pytest.mark.parametrize("call, error, text", SET)
def test_refusals_store_nothing(where, call, error, text):
    mol = where(molecule())
    refused(lambda: call(mol), error, text)
    assert mol.property_keys() == ["f", "per_atom"] and mol.get_property("f") == 2.5
    assert_same(mol.get_property("per_atom"), np.arange(N, dtype=np.float64))


@pytest.mark.parametrize("value, expected", [
    (None, None), (True, 1), (-1, -1), (np.int32(-3), -3), (-(2**63), -(2**63)), (2**63, float(2**63)),
    (np.float32(1.5), 1.5), (3.75, 3.75), ("", ""), (np.array(2.5, np.float32), 2.5), (np.array(9, np.int64), 9),
    (IndexThenFloat(ValueError("not an index")), 2.5), (np.array([2.5]), np.array([2.5])),
    (np.zeros((2, 0, 4)), np.zeros((2, 0, 4))), (np.zeros((0, 2**32 - 1), np.float32), None),
    (np.full((1,) * MAX_RANK, 4.0, np.float32), None),
])
def test_what_a_value_is_stored_as(where, value, expected):
    mol = PyMolecule(np.zeros((N, 3)), np.ones(N, np.uint8))
    mol.set_property("k", value)
    assert_same(where(mol).get_property("k"), value if expected is None and value is not None else expected)


def test_scopes_keys_and_their_order(where):
    mol = PyMolecule(np.zeros((N, 3)), np.ones(N, np.uint8))
    for key in ["b", "a", "B", "ab", "é", "z", "Z9", "Stress"]:
        mol.set_property(key, 0)
    for key, value in (("atom_b", np.zeros(N)), ("atom_A", np.zeros((N, 2, 2), np.int32)), ("q", np.zeros(N))):
        mol.set_property(key, value, scope="atom")
    mol.set_property("q", np.ones(N, np.int32))  # an unscoped set keeps the key in its scope
    mol.set_property("m", np.zeros(N + 3))  # the molecule scope takes any length
    mol = where(mol)
    assert mol.property_keys() == ["B", "Stress", "Z9", "a", "ab", "atom_A", "atom_b", "b", "m", "q", "z", "é"]
    assert mol.property_keys(scope="atom") == ["atom_A", "atom_b", "q"]
    assert [mol.has_property("q", **scope) for scope in ({}, {"scope": "atom"}, {"scope": "molecule"})] == [1, 1, 0]
    assert_same(mol["q"], np.ones(N, np.int32))
    mol.delete_property("atom_b")
    mol.set_property("atom_b", 1.0)
    assert mol.property_keys(scope="molecule")[-1] == "é" and mol.get_property("atom_b") == 1.0


def both_scopes_payload(key=b"k"):
    """A pickled two-atom molecule holding `key` in atom scope [1.5, 2.5] and molecule scope 7.0."""
    out = b"\x00" + u32(1) + u64(2) + struct.pack("<6d", 0, 0, 0, 1, 1, 1) + u64(2) + b"\x01\x08" + b"\x00" * 7
    out += u64(1) + u64(len(key)) + key + u32(4) + u64(2) + struct.pack("<2d", 1.5, 2.5)
    return out + u64(1) + u64(len(key)) + key + u32(1) + struct.pack("<d", 7.0)


@pytest.mark.parametrize("source", ["pickle", "mapped", "in-memory"])
def test_a_key_in_both_scopes_is_listed_twice_and_read_by_scope_only(tmp_path, source):
    if source == "pickle":
        mol = _molecule_from_pickle_bytes(both_scopes_payload())
    else:  # the writer refuses such a molecule, so its record is written here
        handmade(tmp_path / "both.mol", [record(2, [(1, "k", TAGS["F64A"], struct.pack("<2d", 1.5, 2.5)),
                                                   (MOLECULE, "k", TAGS["F64"], struct.pack("<d", 7.0))])])
        mol = PyAtomDatabase.open(str(tmp_path / "both.mol"), mmap=source == "mapped")[0]
    for call in (lambda: mol.get_property("k"), lambda: mol["k"], lambda: mol.set_property("k", 1.0)):
        refused(call, ValueError, "Property 'k' exists in both molecule and atom scopes")
    assert [mol.property_keys(), mol.has_property("k", scope="atom"), mol.has_property("k", scope="molecule")] == [
        ["k", "k"], True, True]
    refused(lambda: PyAtomDatabase(str(tmp_path / f"{source}.mol")).add_molecule(mol), ValueError,
            starts("Invalid data: "))
    mol.delete_property("k")
    assert mol.property_keys() == [] and not mol.has_property("k")


def test_setting_stress_removes_a_molecule_scope_stress_property():
    mol = _molecule_from_pickle_bytes(both_scopes_payload(b"stress"))
    mol.stress = np.eye(3)
    assert (mol.property_keys(), mol.has_property("stress", scope="atom")) == (["stress"], True)


@pytest.mark.parametrize("tag, payload, error, outcome", [
    (TAGS["F64"], b"\x00" * 4, ValueError, "Invalid f64 payload length"),
    (TAGS["I64"], b"\x00" * 7, ValueError, "Invalid i64 payload length"),
    (TAGS["STR"], b"\xff\xfe", ValueError, "Invalid UTF-8 in string property"),
    (TAGS["V3F32"], b"\x00" * 8, ValueError, "Invalid vec3<f32> payload length"),
    (TAGS["V3F64"], b"\x00" * 8, ValueError, "Invalid vec3<f64> payload length"),
    (TAGS["NULL"], b"\x00", ValueError, "Null property payload must be empty"),
    (TAGS["PBC"], b"\x00" * 3, ValueError, "Unsupported property type tag 9"),
    (200, b"", ValueError, "Unsupported property type tag 200"),
    (TAGS["F64A"], b"\x00" * 5, ValueError, "Byte length 5 is not a multiple of element size 8"),
    (TAGS["I32A"], b"\x00" * 6, ValueError, None), (TAGS["TF64"], b"\x02" + u32(1), ValueError, None),
    (TAGS["NULL"], b"", None, None), (TAGS["STR"], "é".encode(), None, "é"),
    (TAGS["I32A"], struct.pack("<2i", -1, 5), None, np.array([-1, 5], np.int32)),
])
@pytest.mark.parametrize("mmap", [True, False])
def test_a_property_section_fails_only_its_own_reads(tmp_path, tag, payload, error, outcome, mmap):
    sections = [(MOLECULE, "p", tag, payload), (MOLECULE, "q", TAGS["F64"], struct.pack("<d", 1.0)),
                (3, "x", TAGS["F64"], b"\x00" * 8)]
    mol = PyAtomDatabase.open(str(handmade(tmp_path / "db.mol", [record(1, sections)])), mmap=mmap)[0]
    if error:
        refused(lambda: mol.get_property("p"), error, outcome)
    else:
        assert_same(mol.get_property("p"), outcome)
    # Sections of other kinds are no properties.
    assert mol.property_keys() == ["p", "q"] and not mol.has_property("x") and mol.get_property("q") == 1.0


def test_a_key_that_is_not_utf8_fails_every_lookup(tmp_path):
    mol = PyAtomDatabase.open(str(handmade(tmp_path / "db.mol", [record(1, [(MOLECULE, b"\xffp", TAGS["F64"],
                                                                             b"\x00" * 8)])])))[0]
    for call in (mol.property_keys, lambda: mol.get_property("p"), lambda: mol.has_property("p")):
        refused(call, ValueError, "Invalid UTF-8 in section key")


def test_a_stored_tensor_numpy_cannot_hold_is_refused_when_read(tmp_path):
    mol = stored(tmp_path, [PyMolecule(np.zeros((1, 3)), np.ones(1, np.uint8))])[0].to_owned()
    payload = mol.__reduce__()[1][0][:-8] + u64(1) + u64(1) + b"t" + u32(10) + u32(1) + u64(MAX_RANK + 6)
    got = _molecule_from_pickle_bytes(payload + u64(1) * (MAX_RANK + 6) + u64(1) + struct.pack("<d", 1.0))
    refused(lambda: got.get_property("t"), ValueError,
            f"Array rank {MAX_RANK + 6} exceeds NumPy's maximum of {MAX_RANK} dimensions")
