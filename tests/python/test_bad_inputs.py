"""Bad input at every Python entry point: each is refused with its own exception and text, never a
crash, a hang, a SystemError or an internal fault."""

import faulthandler
import os
import pickle
import random
import re
import struct
import subprocess
import sys
from functools import cached_property

import numpy as np
import pytest

from molarium._molarium_rs import PyAtom, PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

# Number of bad inputs tried in this module; printed when the module's tests end (pytest -s).
TRIED = [0]


@pytest.fixture(scope="module", autouse=True)
def report_count():
    yield
    print(f"\nbad inputs tried: {TRIED[0]}")


@pytest.fixture(autouse=True)
def no_hang():
    # A hang ends the run with every thread's traceback instead of blocking it forever.
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def refused(call, error, text=None):
    """call() raises `error` (exactly that type when a text is given) with `text`: a str that the
    message must equal, or a pattern that it must match whole. The module's internal-fault exception
    derives from BaseException only, so it escapes the `except` below and fails the test."""
    TRIED[0] += 1
    try:
        call()
    except Exception as exc:  # noqa: BLE001 - the type is what is checked
        assert not isinstance(exc, SystemError), repr(exc)
        if text is None:
            assert isinstance(exc, error), f"expected {error}, got {type(exc).__name__}: {exc}"
            return exc
        assert type(exc) is error, f"expected {error.__name__}, got {type(exc).__name__}: {exc}"
        message = exc.args[0] if isinstance(exc, KeyError) else str(exc)
        if isinstance(text, re.Pattern):
            assert text.fullmatch(message), message
        else:
            assert message == text
        return exc
    pytest.fail("the bad input was accepted")


def starts(prefix):
    return re.compile(re.escape(prefix) + ".*", re.S)


def argument(name):
    """TypeError text of a failed argument conversion."""
    return starts(f"argument '{name}': ")


def row(name, call, error, text=None):
    return pytest.param(call, error, text, id=name)


F32, F64 = np.float32, np.float64
OVERFLOW = "out of range integral type conversion attempted"
UNSUPPORTED = (
    "Unsupported property type. Supported: None, float, int, str, and numeric ndarray with dtype "
    "float32, float64, int32, or int64"
)


def positions(n=3, dtype=F32):
    return (np.arange(n * 3, dtype=dtype).reshape(n, 3) / 4).astype(dtype)


def numbers(n=3):
    return np.arange(1, n + 1, dtype=np.uint8)


def rich_molecule(n=3, dtype=F32, seed=0):
    """A molecule with every built-in field and one custom property of each kind."""
    mol = PyMolecule(
        positions(n, dtype) + seed,
        numbers(n),
        energy=-1.5 - seed,
        forces=positions(n, dtype) * 2,
        charges=np.linspace(-1, 1, n).astype(dtype),
        velocities=positions(n, dtype) * -1,
        cell=np.eye(3, dtype=dtype) * 10,
        stress=np.arange(9, dtype=dtype).reshape(3, 3),
        pbc=(True, False, True),
        name=f"m{seed}",
    )
    mol.set_property("none", None)
    mol.set_property("f", 2.5 + seed)
    mol.set_property("i", 7 + seed)
    mol.set_property("s", f"text {seed}")
    mol.set_property("f64a", np.arange(4, dtype=F64))
    mol.set_property("f32a", np.arange(2, dtype=F32))
    mol.set_property("i64a", np.arange(3, dtype=np.int64))
    mol.set_property("i32a", np.arange(5, dtype=np.int32))
    mol.set_property("v32", np.ones((2, 3), F32))
    mol.set_property("v64", np.ones((4, 3), F64))
    mol.set_property("tensor", np.arange(8, dtype=F32).reshape(2, 2, 2))
    mol.set_property("itensor", np.arange(6, dtype=np.int64).reshape(2, 3))
    mol.set_property("per_atom", np.arange(n, dtype=F64), scope="atom")
    mol.set_property("atom_tensor", np.ones((n, 2, 2), np.int32), scope="atom")
    return mol


def write(path, molecules, compression="none", commits=1):
    """A database at path whose molecules are committed in `commits` flushes."""
    db = PyAtomDatabase(str(path), compression, overwrite=True)
    step = max(1, len(molecules) // commits)
    for start in range(0, len(molecules), step):
        db.add_molecules(molecules[start : start + step])
        db.flush()
    return path


class Env:
    """Objects the rows call into, each built on first use."""

    def __init__(self, tmp_path):
        self.tmp = tmp_path

    @cached_property
    def atom(self):
        return PyAtom(1.0, 2.0, 3.0, 6)

    @cached_property
    def owned(self):
        return rich_molecule()

    @cached_property
    def stored_path(self):
        return write(self.tmp / "stored.mol", [rich_molecule(seed=s) for s in range(3)])

    @cached_property
    def mapped(self):
        return PyAtomDatabase.open(str(self.stored_path))

    @cached_property
    def view(self):
        return self.mapped[0]

    @cached_property
    def db(self):
        return PyAtomDatabase.open(str(self.stored_path), mmap=False)

    @cached_property
    def empty_molecule(self):
        return PyMolecule(np.zeros((0, 3), F32), np.zeros(0, np.uint8))


@pytest.fixture
def env(tmp_path):
    return Env(tmp_path)


@pytest.fixture(params=["owned", "view"])
def molecule(request, env):
    """The same rich molecule, owned or view-backed."""
    return getattr(env, request.param)


# --- PyAtom ------------------------------------------------------------------------------------------


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("no float here")


class FloatReturnsText:
    def __float__(self):
        return "1.0"


class IndexRaises:
    def __index__(self):
        raise ZeroDivisionError("no index here")


ATOM_ROWS = [
    row("x str", lambda e: PyAtom("1", 0, 0, 1), TypeError, argument("x")),
    row("y None", lambda e: PyAtom(0, None, 0, 1), TypeError, argument("y")),
    row("z list", lambda e: PyAtom(0, 0, [1.0], 1), TypeError, argument("z")),
    row("x ndarray of two", lambda e: PyAtom(np.zeros(2), 0, 0, 1), TypeError, argument("x")),
    row("x __float__ raises", lambda e: PyAtom(FloatRaises(), 0, 0, 1), ZeroDivisionError),
    row("x __float__ returns str", lambda e: PyAtom(FloatReturnsText(), 0, 0, 1), TypeError, argument("x")),
    row("atomic number 256", lambda e: PyAtom(0, 0, 0, 256), OverflowError, OVERFLOW),
    row("atomic number -1", lambda e: PyAtom(0, 0, 0, -1), OverflowError, OVERFLOW),
    row("atomic number 2**64", lambda e: PyAtom(0, 0, 0, 2**64), OverflowError, OVERFLOW),
    row("atomic number -2**70", lambda e: PyAtom(0, 0, 0, -(2**70)), OverflowError, OVERFLOW),
    row("atomic number float", lambda e: PyAtom(0, 0, 0, 6.0), TypeError, argument("atomic_number")),
    row("atomic number str", lambda e: PyAtom(0, 0, 0, "6"), TypeError, argument("atomic_number")),
    row("atomic number None", lambda e: PyAtom(0, 0, 0, None), TypeError, argument("atomic_number")),
    row("atomic number __index__ raises", lambda e: PyAtom(0, 0, 0, IndexRaises()), ZeroDivisionError),
    row("three arguments", lambda e: PyAtom(0, 0, 0), TypeError),
    row("five arguments", lambda e: PyAtom(0, 0, 0, 1, 2), TypeError),
    row("unknown keyword", lambda e: PyAtom(0, 0, 0, 1, w=2), TypeError),
    row("argument given twice", lambda e: PyAtom(0, 0, 0, 1, x=2), TypeError),
    row("distance to an int", lambda e: e.atom.distance_to(5), TypeError, argument("other")),
    row("distance to None", lambda e: e.atom.distance_to(None), TypeError, argument("other")),
    row("distance to a molecule", lambda e: e.atom.distance_to(e.owned), TypeError, argument("other")),
    row("distance without argument", lambda e: e.atom.distance_to(), TypeError),
    row("distance with two", lambda e: e.atom.distance_to(e.atom, e.atom), TypeError),
    row("position with argument", lambda e: e.atom.position(1), TypeError),
    row("set atomic_number", lambda e: setattr(e.atom, "atomic_number", 5), AttributeError),
    row("set new attribute", lambda e: setattr(e.atom, "x", 5), AttributeError),
    row("new with another class", lambda e: PyAtom.__new__(PyMolecule, 0, 0, 0, 1), TypeError),
    row("method on a molecule", lambda e: PyAtom.position(e.owned), TypeError),
    row("distance on a molecule", lambda e: PyAtom.distance_to(e.owned, e.atom), TypeError),
    row("getter on a molecule", lambda e: PyAtom.atomic_number.__get__(e.owned), TypeError),
    row("repr on a molecule", lambda e: PyAtom.__repr__(e.owned), TypeError),
]


@pytest.mark.parametrize("call, error, text", ATOM_ROWS)
def test_atom_refusals(env, call, error, text):
    refused(lambda: call(env), error, text)


# --- PyMolecule construction ---------------------------------------------------------------------

POSITIONS_DTYPE = "positions must be a float32 or float64 ndarray with shape (n_atoms, 3)"


def build_with(**changes):
    """Constructor arguments for a 3-atom molecule with some of them replaced."""
    arguments = {"positions": positions(), "atomic_numbers": numbers()}
    arguments.update(changes)
    return arguments


def vec3_dtype(label, n=3):
    return f"{label} must be a float32 or float64 ndarray with shape ({n}, 3)"


def mat3_dtype(label):
    return f"{label} must be a float32 or float64 ndarray with shape (3, 3)"


def charges_dtype(label, n=3):
    return f"{label} must be a float32 or float64 ndarray with shape ({n},)"


BIG_ENDIAN_F32 = np.dtype(">f4") if np.little_endian else np.dtype("<f4")
BIG_ENDIAN_F64 = np.dtype(">f8") if np.little_endian else np.dtype("<f8")
SWAPPED_I32 = np.dtype(">i4") if np.little_endian else np.dtype("<i4")

CONSTRUCTOR_ROWS = [
    # positions: only float32 or float64 arrays of two dimensions, never converted
    row("positions list", build_with(positions=[[0.0, 0.0, 0.0]] * 3), ValueError, POSITIONS_DTYPE),
    row("positions tuple", build_with(positions=((0.0, 0.0, 0.0),) * 3), ValueError, POSITIONS_DTYPE),
    row("positions None", build_with(positions=None), ValueError, POSITIONS_DTYPE),
    row("positions int64", build_with(positions=np.zeros((3, 3), np.int64)), ValueError, POSITIONS_DTYPE),
    row("positions float16", build_with(positions=np.zeros((3, 3), np.float16)), ValueError, POSITIONS_DTYPE),
    row("positions complex", build_with(positions=np.zeros((3, 3), np.complex64)), ValueError, POSITIONS_DTYPE),
    row("positions object", build_with(positions=np.zeros((3, 3), object)), ValueError, POSITIONS_DTYPE),
    row("positions byte-swapped f4", build_with(positions=np.zeros((3, 3), BIG_ENDIAN_F32)), ValueError,
        POSITIONS_DTYPE),
    row("positions byte-swapped f8", build_with(positions=np.zeros((3, 3), BIG_ENDIAN_F64)), ValueError,
        POSITIONS_DTYPE),
    row("positions 1-D", build_with(positions=np.zeros(9, F32)), ValueError, POSITIONS_DTYPE),
    row("positions 3-D", build_with(positions=np.zeros((1, 3, 3), F32)), ValueError, POSITIONS_DTYPE),
    row("positions 0-D", build_with(positions=np.float32(1.0)), ValueError, POSITIONS_DTYPE),
    row("positions (3, 2)", build_with(positions=np.zeros((3, 2), F32)), ValueError,
        "positions must have shape (n, 3)"),
    row("positions (3, 4)", build_with(positions=np.zeros((3, 4), F64)), ValueError,
        "positions must have shape (n, 3)"),
    row("positions (0, 0)", build_with(positions=np.zeros((0, 0), F32), atomic_numbers=numbers(0)), ValueError,
        "positions must have shape (n, 3)"),
    # atomic numbers: a one-dimensional uint8 array, else TypeError in argument conversion
    row("numbers list", build_with(atomic_numbers=[1, 2, 3]), TypeError, argument("atomic_numbers")),
    row("numbers int64", build_with(atomic_numbers=np.ones(3, np.int64)), TypeError, argument("atomic_numbers")),
    row("numbers int8", build_with(atomic_numbers=np.ones(3, np.int8)), TypeError, argument("atomic_numbers")),
    row("numbers bool", build_with(atomic_numbers=np.ones(3, bool)), TypeError, argument("atomic_numbers")),
    row("numbers 2-D", build_with(atomic_numbers=np.ones((3, 1), np.uint8)), TypeError, argument("atomic_numbers")),
    row("numbers 0-D", build_with(atomic_numbers=np.uint8(1)), TypeError, argument("atomic_numbers")),
    row("numbers None", build_with(atomic_numbers=None), TypeError, argument("atomic_numbers")),
    row("numbers too few", build_with(atomic_numbers=numbers(2)), ValueError,
        "Atomic numbers length (2) doesn't match atom count (3)"),
    row("numbers too many", build_with(atomic_numbers=numbers(4)), ValueError,
        "Atomic numbers length (4) doesn't match atom count (3)"),
    row("numbers for no atoms", build_with(positions=np.zeros((0, 3), F32)), ValueError,
        "Atomic numbers length (3) doesn't match atom count (0)"),
    # energy: the float protocol
    row("energy str", build_with(energy="1.0"), TypeError, argument("energy")),
    row("energy list", build_with(energy=[1.0]), TypeError, argument("energy")),
    row("energy array of two", build_with(energy=np.zeros(2)), TypeError, argument("energy")),
    row("energy __float__ raises", build_with(energy=FloatRaises()), ZeroDivisionError),
    row("energy int beyond float", build_with(energy=10**400), OverflowError),
    # per-atom fields
    row("forces list", build_with(forces=[[0.0] * 3] * 3), ValueError, vec3_dtype("forces")),
    row("forces int32", build_with(forces=np.zeros((3, 3), np.int32)), ValueError, vec3_dtype("forces")),
    row("forces byte-swapped", build_with(forces=np.zeros((3, 3), BIG_ENDIAN_F32)), ValueError, vec3_dtype("forces")),
    row("forces 1-D", build_with(forces=np.zeros(9, F32)), ValueError, vec3_dtype("forces")),
    row("forces (3, 2)", build_with(forces=np.zeros((3, 2), F32)), ValueError, "forces must have shape (3, 3)"),
    row("forces (4, 3)", build_with(forces=np.zeros((4, 3), F64)), ValueError, "forces must have shape (3, 3)"),
    row("forces (2, 3)", build_with(forces=np.zeros((2, 3), F32)), ValueError, "forces must have shape (3, 3)"),
    row("velocities str", build_with(velocities="fast"), ValueError, vec3_dtype("velocities")),
    row("velocities (3, 3, 1)", build_with(velocities=np.zeros((3, 3, 1), F32)), ValueError, vec3_dtype("velocities")),
    row("velocities (5, 3)", build_with(velocities=np.zeros((5, 3), F32)), ValueError,
        "velocities must have shape (3, 3)"),
    row("charges (4,)", build_with(charges=np.zeros(4, F64)), ValueError,
        "charges length (4) doesn't match atom count (3)"),
    row("charges (0,)", build_with(charges=np.zeros(0, F32)), ValueError,
        "charges length (0) doesn't match atom count (3)"),
    row("charges (3, 1)", build_with(charges=np.zeros((3, 1), F64)), ValueError, charges_dtype("charges")),
    row("charges int64", build_with(charges=np.zeros(3, np.int64)), ValueError, charges_dtype("charges")),
    row("charges byte-swapped", build_with(charges=np.zeros(3, BIG_ENDIAN_F64)), ValueError, charges_dtype("charges")),
    row("charges list", build_with(charges=[0.0] * 3), ValueError, charges_dtype("charges")),
    row("cell (3, 4)", build_with(cell=np.zeros((3, 4), F64)), ValueError, "cell must have shape (3, 3)"),
    row("cell (2, 2)", build_with(cell=np.zeros((2, 2), F32)), ValueError, "cell must have shape (3, 3)"),
    row("cell (9,)", build_with(cell=np.zeros(9, F64)), ValueError, mat3_dtype("cell")),
    row("cell int64", build_with(cell=np.zeros((3, 3), np.int64)), ValueError, mat3_dtype("cell")),
    row("cell byte-swapped", build_with(cell=np.zeros((3, 3), BIG_ENDIAN_F64)), ValueError, mat3_dtype("cell")),
    row("stress (1, 3, 3)", build_with(stress=np.zeros((1, 3, 3), F64)), ValueError, mat3_dtype("stress")),
    row("stress (3, 2)", build_with(stress=np.zeros((3, 2), F32)), ValueError, "stress must have shape (3, 3)"),
    row("stress nested list", build_with(stress=[[0.0] * 3] * 3), ValueError, mat3_dtype("stress")),
    # pbc: a tuple of three booleans
    row("pbc list", build_with(pbc=[True, True, True]), TypeError, argument("pbc")),
    row("pbc array", build_with(pbc=np.ones(3, bool)), TypeError, argument("pbc")),
    row("pbc str", build_with(pbc="TTT"), TypeError, argument("pbc")),
    row("pbc of ints", build_with(pbc=(1, 0, 1)), TypeError, argument("pbc")),
    row("pbc of None", build_with(pbc=(True, None, True)), TypeError, argument("pbc")),
    row("pbc of two", build_with(pbc=(True, True)), ValueError,
        "expected tuple of length 3, but got tuple of length 2"),
    row("pbc of four", build_with(pbc=(True,) * 4), ValueError,
        "expected tuple of length 3, but got tuple of length 4"),
    row("pbc empty", build_with(pbc=()), ValueError, "expected tuple of length 3, but got tuple of length 0"),
    # name: a str
    row("name int", build_with(name=5), TypeError, argument("name")),
    row("name bytes", build_with(name=b"water"), TypeError, argument("name")),
    row("name lone surrogate", build_with(name="\ud800"), UnicodeEncodeError),
    # argument binding
    row("unknown keyword", build_with(mass=np.ones(3)), TypeError),
]


@pytest.mark.parametrize("make", ["class", "from_arrays"])
@pytest.mark.parametrize("arguments, error, text", CONSTRUCTOR_ROWS)
def test_constructor_refusals(make, arguments, error, text):
    constructor = PyMolecule if make == "class" else PyMolecule.from_arrays
    refused(lambda: constructor(**arguments), error, text)


@pytest.mark.parametrize("make", [PyMolecule, PyMolecule.from_arrays])
@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda c: c(), id="no arguments"),
        pytest.param(lambda c: c(positions()), id="numbers missing"),
        pytest.param(lambda c: c(positions(), numbers(), None), id="third positional"),
        pytest.param(lambda c: c(positions(), numbers(), positions=positions()), id="positions twice"),
        # argument conversion comes before any array is looked at
        pytest.param(lambda c: c("not an array", [1, 2]), id="both bad"),
    ],
)
def test_constructor_binding_refusals(make, call):
    refused(lambda: call(make), TypeError)


# --- PyMolecule setters, indexing and properties -----------------------------------------------------

SETTER_ROWS = [
    # the array setters take only arrays (None does not clear) and capitalise their labels
    row("forces None", ("forces", None), ValueError, vec3_dtype("Forces")),
    row("forces list", ("forces", [[0.0] * 3] * 3), ValueError, vec3_dtype("Forces")),
    row("forces byte-swapped", ("forces", np.zeros((3, 3), BIG_ENDIAN_F32)), ValueError, vec3_dtype("Forces")),
    row("forces (3, 2)", ("forces", np.zeros((3, 2), F32)), ValueError, "Forces must have shape (3, 3)"),
    row("forces (4, 3)", ("forces", np.zeros((4, 3), F32)), ValueError, "Forces must have shape (3, 3)"),
    row("velocities int", ("velocities", np.zeros((3, 3), np.int16)), ValueError, vec3_dtype("Velocities")),
    row("velocities (0, 3)", ("velocities", np.zeros((0, 3), F64)), ValueError, "Velocities must have shape (3, 3)"),
    row("charges None", ("charges", None), ValueError, charges_dtype("Charges")),
    row("charges (2,)", ("charges", np.zeros(2, F32)), ValueError, "Charges length (2) doesn't match atom count (3)"),
    row("charges 2-D", ("charges", np.zeros((3, 1), F64)), ValueError, charges_dtype("Charges")),
    row("cell None", ("cell", None), ValueError, mat3_dtype("Cell")),
    row("cell (2, 2)", ("cell", np.zeros((2, 2), F64)), ValueError, "Cell must have shape (3, 3)"),
    row("cell int", ("cell", np.zeros((3, 3), np.int32)), ValueError, mat3_dtype("Cell")),
    row("stress None", ("stress", None), ValueError, mat3_dtype("Stress")),
    row("stress (3, 4)", ("stress", np.zeros((3, 4), F32)), ValueError, "Stress must have shape (3, 3)"),
    row("stress byte-swapped", ("stress", np.zeros((3, 3), BIG_ENDIAN_F64)), ValueError, mat3_dtype("Stress")),
    row("energy str", ("energy", "low"), TypeError, argument("energy")),
    row("energy __float__ raises", ("energy", FloatRaises()), ZeroDivisionError),
    row("pbc list", ("pbc", [True, False, True]), TypeError, argument("pbc")),
    row("pbc of one", ("pbc", (True,)), ValueError, "expected tuple of length 3, but got tuple of length 1"),
    row("pbc of floats", ("pbc", (1.0, 0.0, 1.0)), TypeError, argument("pbc")),
    row("positions", ("positions", positions()), AttributeError),
    row("atomic_numbers", ("atomic_numbers", numbers()), AttributeError),
    row("unknown attribute", ("mass", 1.0), AttributeError),
]


@pytest.mark.parametrize("setting, error, text", SETTER_ROWS)
def test_setter_refusals_store_nothing(molecule, setting, error, text):
    name, value = setting
    before = getattr(molecule, name, None)
    refused(lambda: setattr(molecule, name, value), error, text)
    after = getattr(molecule, name, None)
    if isinstance(before, np.ndarray):
        np.testing.assert_array_equal(after, before)
    else:
        assert after == before


@pytest.mark.parametrize("name", ["forces", "energy", "charges", "velocities", "cell", "stress", "pbc"])
def test_deleting_a_field_is_refused(molecule, name):
    refused(lambda: delattr(molecule, name), AttributeError, "can't delete attribute")
    assert getattr(molecule, name) is not None


def atom_index(i, n=3):
    return f"Atom index {i} out of bounds for molecule of length {n}"


INDEX_TYPE = "Molecule indices must be integers or strings"

INDEXING_ROWS = [
    row("past the end", 3, IndexError, atom_index(3)),
    row("before the start", -4, IndexError, atom_index(-4)),
    row("largest i64", 2**63 - 1, IndexError, atom_index(2**63 - 1)),
    row("smallest i64", -(2**63), IndexError, atom_index(-(2**63))),
    row("numpy int past the end", np.int64(7), IndexError, atom_index(7)),
    row("beyond i64", 2**63, TypeError, INDEX_TYPE),
    row("below i64", -(2**63) - 1, TypeError, INDEX_TYPE),
    row("float", 1.0, TypeError, INDEX_TYPE),
    row("numpy float", np.float64(0), TypeError, INDEX_TYPE),
    row("None", None, TypeError, INDEX_TYPE),
    row("slice", slice(0, 1), TypeError, INDEX_TYPE),
    row("tuple", (0,), TypeError, INDEX_TYPE),
    row("bytes", b"f", TypeError, INDEX_TYPE),
    row("array", np.array([0]), TypeError, INDEX_TYPE),
    row("__index__ raises", IndexRaises(), (ZeroDivisionError, TypeError)),
    row("missing key", "missing", KeyError, "Property 'missing' not found"),
    row("key of another case", "F", KeyError, "Property 'F' not found"),
    row("empty key", "", KeyError, "Property '' not found"),
]


@pytest.mark.parametrize("key, error, text", INDEXING_ROWS)
def test_indexing_refusals(molecule, key, error, text):
    refused(lambda: molecule[key], error, text)


def test_an_empty_molecule_has_no_atom_to_index(env):
    refused(lambda: env.empty_molecule[0], IndexError, atom_index(0, 0))
    refused(lambda: env.empty_molecule[-1], IndexError, atom_index(-1, 0))


SCOPE = "scope must be 'molecule' or 'atom', got '{}'"
ATOM_NUMERIC = "Atom property '{}' must be a numeric ndarray with first dimension equal to atom count (3)"

PROPERTY_ROWS = [
    # set_property
    row("key int", lambda m: m.set_property(5, 1.0), TypeError, argument("key")),
    row("key None", lambda m: m.set_property(None, 1.0), TypeError, argument("key")),
    row("key bytes", lambda m: m.set_property(b"k", 1.0), TypeError, argument("key")),
    row("scope int", lambda m: m.set_property("k", 1.0, scope=1), TypeError, argument("scope")),
    row("scope Atom", lambda m: m.set_property("k", 1.0, scope="Atom"), ValueError, SCOPE.format("Atom")),
    row("scope empty", lambda m: m.set_property("k", 1.0, scope=""), ValueError, SCOPE.format("")),
    row("scope molecules", lambda m: m.set_property("k", 1.0, scope="molecules"), ValueError,
        SCOPE.format("molecules")),
    row("value list", lambda m: m.set_property("k", [1.0, 2.0]), ValueError, UNSUPPORTED),
    row("value tuple", lambda m: m.set_property("k", (1,)), ValueError, UNSUPPORTED),
    row("value dict", lambda m: m.set_property("k", {}), ValueError, UNSUPPORTED),
    row("value bytes", lambda m: m.set_property("k", b"x"), ValueError, UNSUPPORTED),
    row("value float16", lambda m: m.set_property("k", np.zeros(3, np.float16)), ValueError, UNSUPPORTED),
    row("value uint8", lambda m: m.set_property("k", np.zeros(3, np.uint8)), ValueError, UNSUPPORTED),
    row("value bool", lambda m: m.set_property("k", np.zeros(3, bool)), ValueError, UNSUPPORTED),
    row("value complex", lambda m: m.set_property("k", np.zeros((2, 2), complex)), ValueError, UNSUPPORTED),
    row("value byte-swapped f8", lambda m: m.set_property("k", np.zeros(3, BIG_ENDIAN_F64)), ValueError, UNSUPPORTED),
    row("value byte-swapped i4", lambda m: m.set_property("k", np.zeros((2, 5), SWAPPED_I32)), ValueError, UNSUPPORTED),
    row("value str array", lambda m: m.set_property("k", np.array(["a", "b"])), ValueError, UNSUPPORTED),
    row("value str surrogate", lambda m: m.set_property("k", "\udcff"), ValueError, UNSUPPORTED),
    row("value tensor dimension of 2**32", lambda m: m.set_property("k", np.zeros((0, 2**32), F32)), ValueError,
        "Tensor dimensions must fit in u32 for storage"),
    row("value tensor dimension of 2**33", lambda m: m.set_property("k", np.zeros((2**33, 0, 2), np.int64)), ValueError,
        "Tensor dimensions must fit in u32 for storage"),
    row("key stress", lambda m: m.set_property("stress", 1.0), ValueError,
        "'stress' is a reserved field; use molecule.stress instead"),
    row("key stress atom", lambda m: m.set_property("stress", np.zeros(3), scope="atom"), ValueError,
        "'stress' is a reserved field; use molecule.stress instead"),
    row("atom scope float", lambda m: m.set_property("k", 1.0, scope="atom"), ValueError, ATOM_NUMERIC.format("k")),
    row("atom scope str", lambda m: m.set_property("k", "abc", scope="atom"), ValueError, ATOM_NUMERIC.format("k")),
    row("atom scope None", lambda m: m.set_property("k", None, scope="atom"), ValueError, ATOM_NUMERIC.format("k")),
    row("atom scope too short", lambda m: m.set_property("k", np.zeros(2), scope="atom"), ValueError,
        "Atom property 'k' first dimension (2) doesn't match atom count (3)"),
    row("atom scope triples too long", lambda m: m.set_property("k", np.zeros((4, 3), F32), scope="atom"), ValueError,
        "Atom property 'k' first dimension (4) doesn't match atom count (3)"),
    # a zero-dimensional integer array converts to an int, so it is no tensor here
    row("atom scope 0-D array", lambda m: m.set_property("k", np.zeros((), np.int32), scope="atom"), ValueError,
        ATOM_NUMERIC.format("k")),
    row("atom scope tensor (2, 2, 2)", lambda m: m.set_property("k", np.zeros((2, 2, 2), F64), scope="atom"),
        ValueError, "Atom property 'k' first dimension (2) doesn't match atom count (3)"),
    row("molecule key as atom", lambda m: m.set_property("f", np.zeros(3), scope="atom"), ValueError,
        "Property 'f' already exists as a molecule property; delete it before setting atom scope"),
    row("atom key as molecule", lambda m: m.set_property("per_atom", 1.0, scope="molecule"), ValueError,
        "Property 'per_atom' already exists as an atom property; delete it before setting molecule scope"),
    row("atom key unscoped float", lambda m: m.set_property("per_atom", 1.0), ValueError,
        ATOM_NUMERIC.format("per_atom")),
    row("no value", lambda m: m.set_property("k"), TypeError),
    row("scope by position", lambda m: m.set_property("k", 1.0, "atom"), TypeError),
    # reading
    row("get missing", lambda m: m.get_property("missing"), KeyError, "Property 'missing' not found"),
    row("get int key", lambda m: m.get_property(0), TypeError, argument("key")),
    row("get no key", lambda m: m.get_property(), TypeError),
    row("has int key", lambda m: m.has_property(0), TypeError, argument("key")),
    row("has bad scope", lambda m: m.has_property("f", scope="ATOM"), ValueError, SCOPE.format("ATOM")),
    row("keys bad scope", lambda m: m.property_keys(scope="all"), ValueError, SCOPE.format("all")),
    row("keys scope int", lambda m: m.property_keys(scope=0), TypeError, argument("scope")),
    row("keys positional", lambda m: m.property_keys("atom"), TypeError),
    row("delete missing", lambda m: m.delete_property("missing"), KeyError, "Property 'missing' not found"),
    row("delete int key", lambda m: m.delete_property(1), TypeError, argument("key")),
    # the ASE payload's flags are booleans
    row("ase copy_info int", lambda m: m._ase_payload(copy_info=1), TypeError, argument("copy_info")),
    row("ase copy_arrays None", lambda m: m._ase_payload(copy_arrays=None), TypeError, argument("copy_arrays")),
    row("ase fast copy_info str", lambda m: m._ase_builtin_tuple_fast(copy_info="yes"), TypeError,
        argument("copy_info")),
    row("ase positional flag", lambda m: m._ase_payload(True), TypeError),
    row("atoms with argument", lambda m: m.atoms(1), TypeError),
    row("to_owned with argument", lambda m: m.to_owned(True), TypeError),
    row("reduce with argument", lambda m: m.__reduce__(2), TypeError),
]


@pytest.mark.parametrize("call, error, text", PROPERTY_ROWS)
def test_property_refusals(molecule, call, error, text):
    before = {key: molecule.get_property(key) for key in ("f", "per_atom", "tensor")}
    refused(lambda: call(molecule), error, text)
    # A refusal stores nothing: the properties it could have touched keep their values.
    for key, value in before.items():
        np.testing.assert_array_equal(molecule.get_property(key), value)
    assert not molecule.has_property("k")


WRONG_SELF_ROWS = [
    row("atoms on an atom", lambda e: PyMolecule.atoms(e.atom), TypeError),
    row("len of an atom", lambda e: PyMolecule.__len__(e.atom), TypeError),
    row("getitem on an atom", lambda e: PyMolecule.__getitem__(e.atom, 0), TypeError),
    row("getter on an atom", lambda e: PyMolecule.energy.__get__(e.atom), TypeError),
    row("setter on an atom", lambda e: PyMolecule.forces.__set__(e.atom, positions()), TypeError),
    row("set_property on a database", lambda e: PyMolecule.set_property(e.db, "k", 1.0), TypeError),
    row("reduce on None", lambda e: PyMolecule.__reduce__(None), TypeError),
    row("new with another class", lambda e: PyMolecule.__new__(PyAtom, positions(), numbers()), TypeError),
    row("subclass", lambda e: type("Sub", (PyMolecule,), {}), TypeError),
    row("flush on a molecule", lambda e: PyAtomDatabase.flush(e.owned), TypeError),
    row("get_molecule on a molecule", lambda e: PyAtomDatabase.get_molecule(e.owned, 0), TypeError),
    row("len of a molecule as database", lambda e: PyAtomDatabase.__len__(e.owned), TypeError),
    row("database subclass", lambda e: type("Sub", (PyAtomDatabase,), {}), TypeError),
    row("new database of another class", lambda e: PyAtomDatabase.__new__(PyAtom, str(e.tmp / "x.mol")), TypeError),
]


@pytest.mark.parametrize("call, error, text", WRONG_SELF_ROWS)
def test_methods_refuse_objects_of_another_class(env, call, error, text):
    refused(lambda: call(env), error, text)


# --- unpickling -----------------------------------------------------------------------------------

FAILED = "Failed to deserialize molecule: "
EOF = FAILED + "io error: unexpected end of file"


@pytest.mark.parametrize(
    "payload, error, text",
    [
        row("str", "abc", TypeError, argument("payload")),
        row("bytearray", bytearray(b"\0" * 44), TypeError, argument("payload")),
        row("memoryview", memoryview(b"\0" * 44), TypeError, argument("payload")),
        row("None", None, TypeError, argument("payload")),
        row("int", 44, TypeError, argument("payload")),
        row("empty", b"", ValueError, EOF),
        row("one byte", b"\0", ValueError, EOF),
        row("name tag 2", b"\x02", ValueError, FAILED + "tag for enum is not valid, found 2"),
        row("positions variant 9", b"\0" + struct.pack("<I", 9), ValueError,
            FAILED + "invalid value: integer `9`, expected variant index 0 <= i < 2"),
        row("huge positions count", b"\0" + struct.pack("<IQ", 0, 2**64 - 1), ValueError, EOF),
        row("huge numbers count", b"\0" + struct.pack("<IQQ", 0, 0, 2**62), ValueError, EOF),
        row("huge name length", b"\1" + struct.pack("<Q", 2**63), ValueError, EOF),
        row("name not utf-8", b"\1" + struct.pack("<Q", 2) + b"\xff\xfe", ValueError,
            starts(FAILED + "string is not valid utf8")),
    ],
)
def test_unpickling_refusals(payload, error, text):
    refused(lambda: _molecule_from_pickle_bytes(payload), error, text)


READ_ERRORS = (ValueError, KeyError)
FIELDS = ["positions", "atomic_numbers", "forces", "energy", "charges", "velocities", "cell", "stress", "pbc"]


def attempt(call):
    """call()'s result, or None when it refuses with a clear error."""
    try:
        return call()
    except READ_ERRORS:
        return None


def read_everything(mol):
    """Every read a user can make of a molecule: each answers or refuses with a clear error."""
    n = len(mol)
    attempt(lambda: repr(mol))
    for name in FIELDS:
        attempt(lambda: getattr(mol, name))
    attempt(mol.atoms)
    if n:
        attempt(lambda: mol[0])
        attempt(lambda: mol[-1])
    for scope in (None, "molecule", "atom"):
        attempt(lambda: mol.property_keys(scope=scope))
    for key in attempt(mol.property_keys) or []:
        attempt(lambda: mol.get_property(key))
        attempt(lambda: mol[key])
        attempt(lambda: mol.has_property(key))
    attempt(mol._ase_payload)
    attempt(lambda: mol._ase_builtin_tuple_fast(copy_info=False))
    copy = attempt(lambda: pickle.loads(pickle.dumps(mol)))
    if copy is not None:
        attempt(lambda: copy.positions)
    attempt(mol.to_owned)


def mutations(payload, rng, count):
    """`count` damaged copies of a payload: bit flips, overwritten bytes and words, cuts, splices."""
    for _ in range(count):
        data = bytearray(payload)
        kind = rng.randrange(6)
        if kind == 0 and data:
            position = rng.randrange(len(data))
            data[position] ^= 1 << rng.randrange(8)
        elif kind == 1 and data:
            data[rng.randrange(len(data))] = rng.randrange(256)
        elif kind == 2 and len(data) >= 8:
            position = rng.randrange(len(data) - 7)
            word = rng.choice([2**64 - 1, 2**63, 2**32, 2**31 - 1, rng.getrandbits(64)])
            data[position : position + 8] = struct.pack("<Q", word)
        elif kind == 3:
            del data[rng.randrange(len(data) + 1) :]
        elif kind == 4 and data:
            start = rng.randrange(len(data))
            del data[start : start + rng.randrange(1, 16)]
        else:
            position = rng.randrange(len(data) + 1)
            data[position:position] = rng.randbytes(rng.randrange(1, 16))
        yield bytes(data)


def hostile_payloads():
    rng = random.Random(20240611)
    bases = [
        pickle.loads(pickle.dumps(rich_molecule(3, F32))).__reduce__()[1][0],
        rich_molecule(2, F64, seed=1).__reduce__()[1][0],
        PyMolecule(np.zeros((0, 3), F32), np.zeros(0, np.uint8)).__reduce__()[1][0],
    ]
    for base in bases:
        # every cut of the payload
        for cut in range(len(base)):
            yield base[:cut]
        yield from mutations(base, rng, 900)
    for _ in range(400):
        yield rng.randbytes(rng.randrange(0, 160))


def test_hostile_pickles_are_refused_or_give_a_molecule_that_reads_safely(tmp_path):
    survivors = []
    refusals = 0
    for payload in hostile_payloads():
        TRIED[0] += 1
        try:
            mol = _molecule_from_pickle_bytes(payload)
        except ValueError as error:
            assert str(error).startswith(FAILED), str(error)
            refusals += 1
            continue
        read_everything(mol)
        survivors.append(mol)
    assert refusals > 1000
    # What decodes must also store safely: stored, read back, read flat, or refused clearly.
    path = tmp_path / "hostile.mol"
    db = PyAtomDatabase(str(path))
    for mol in survivors[:300]:
        attempt(lambda: db.add_molecule(mol))
    db.flush()
    for mmap in (True, False):
        read_database(PyAtomDatabase.open(str(path), mmap=mmap))


# --- PyAtomDatabase --------------------------------------------------------------------------------


def exists_message(path):
    return (
        f"Database file already exists at '{path}'. Use Database.open(path) for read-only access, "
        "Database.open(path, mmap=False) to append, or pass overwrite=True to recreate it."
    )


def new_path(e, name="new.mol"):
    return str(e.tmp / name)


CREATE_ROWS = [
    row("path None", lambda e: PyAtomDatabase(None), TypeError, argument("path")),
    row("path bytes", lambda e: PyAtomDatabase(new_path(e).encode()), TypeError, argument("path")),
    row("path int", lambda e: PyAtomDatabase(3), TypeError, argument("path")),
    row("path with NUL", lambda e: PyAtomDatabase(new_path(e) + "\0x"), ValueError,
        "IO error: file name contained an unexpected NUL byte"),
    row("path surrogate", lambda e: PyAtomDatabase(new_path(e, "\udcff.mol")), UnicodeEncodeError),
    row("path in a missing directory", lambda e: PyAtomDatabase(str(e.tmp / "no" / "db.mol")), ValueError,
        starts("IO error: ")),
    row("path existing file", lambda e: PyAtomDatabase(str(e.stored_path)), FileExistsError,
        re.compile(re.escape(exists_message("X")).replace("X", ".*"))),
    row("path existing directory", lambda e: PyAtomDatabase(str(e.tmp)), FileExistsError,
        re.compile(re.escape(exists_message("X")).replace("X", ".*"))),
    row("directory with overwrite", lambda e: PyAtomDatabase(str(e.tmp), overwrite=True), ValueError,
        starts("IO error: ")),
    row("compression gzip", lambda e: PyAtomDatabase(new_path(e), "gzip"), ValueError, "Invalid compression type"),
    row("compression empty", lambda e: PyAtomDatabase(new_path(e), ""), ValueError, "Invalid compression type"),
    row("compression zstd with blank", lambda e: PyAtomDatabase(new_path(e), "zstd "), ValueError,
        "Invalid compression type"),
    row("compression None", lambda e: PyAtomDatabase(new_path(e), None), TypeError, argument("compression")),
    row("compression int", lambda e: PyAtomDatabase(new_path(e), 2), TypeError, argument("compression")),
    row("level str", lambda e: PyAtomDatabase(new_path(e), "zstd", "3"), TypeError, argument("level")),
    row("level float", lambda e: PyAtomDatabase(new_path(e), "zstd", 3.0), TypeError, argument("level")),
    row("level None", lambda e: PyAtomDatabase(new_path(e), "zstd", None), TypeError, argument("level")),
    row("level 2**31", lambda e: PyAtomDatabase(new_path(e), "zstd", 2**31), OverflowError),
    row("level -2**31 - 1", lambda e: PyAtomDatabase(new_path(e), "zstd", -(2**31) - 1), OverflowError),
    row("overwrite int", lambda e: PyAtomDatabase(new_path(e), overwrite=1), TypeError, argument("overwrite")),
    row("overwrite str", lambda e: PyAtomDatabase(new_path(e), overwrite="yes"), TypeError, argument("overwrite")),
    row("five arguments", lambda e: PyAtomDatabase(new_path(e), "none", 3, False, 1), TypeError),
    row("unknown keyword", lambda e: PyAtomDatabase(new_path(e), codec="none"), TypeError),
    row("no arguments", lambda e: PyAtomDatabase(), TypeError),
]


def header_bytes(generation_slots=b""):
    return b"MOLR" + struct.pack("<I", 2) + generation_slots


OPEN_ROWS = [
    row("path None", lambda e: PyAtomDatabase.open(None), TypeError, argument("path")),
    row("path NUL", lambda e: PyAtomDatabase.open(str(e.stored_path) + "\0"), ValueError,
        "IO error: file name contained an unexpected NUL byte"),
    row("missing file", lambda e: PyAtomDatabase.open(str(e.tmp / "missing.mol")), ValueError, starts("IO error: ")),
    row("directory", lambda e: PyAtomDatabase.open(str(e.tmp)), ValueError, starts("IO error: ")),
    row("mmap int", lambda e: PyAtomDatabase.open(str(e.stored_path), mmap=1), TypeError, argument("mmap")),
    row("populate None", lambda e: PyAtomDatabase.open(str(e.stored_path), populate=None), TypeError,
        argument("populate")),
    row("populate without mmap", lambda e: PyAtomDatabase.open(str(e.tmp / "missing.mol"), False, True), ValueError,
        "populate=True requires mmap=True"),
    row("four arguments", lambda e: PyAtomDatabase.open(str(e.stored_path), True, False, 1), TypeError),
]


@pytest.mark.parametrize("call, error, text", CREATE_ROWS + OPEN_ROWS)
def test_create_and_open_refusals(env, call, error, text):
    stored_before = env.stored_path.read_bytes()
    refused(lambda: call(env), error, text)
    assert env.stored_path.read_bytes() == stored_before
    assert not (env.tmp / "new.mol").exists()


SHORT = "IO error: failed to fill whole buffer"
NO_SLOTS = "Invalid data: Invalid or corrupted header (no valid header slots)"

def file_row(name, content, text):
    return pytest.param(content, text, id=name)


FILE_ROWS = [
    file_row("empty", b"", SHORT),
    file_row("seven bytes", b"MOLR\x02\0\0", SHORT),
    file_row("no magic", b"MOLX" + b"\0" * 8188, "Invalid data: Invalid file format"),
    file_row("text file", b"hello, world\n" * 700, "Invalid data: Invalid file format"),
    file_row("version 1", b"MOLR" + struct.pack("<I", 1) + b"\0" * 8184,
        "Invalid data: Unsupported file format version 1 (expected 2)"),
    file_row("version 2**32-1", b"MOLR" + struct.pack("<I", 2**32 - 1),
        "Invalid data: Unsupported file format version 4294967295 (expected 2)"),
    file_row("magic and version only", header_bytes(), SHORT),
    file_row("one slot long", header_bytes(b"\0" * 4088), SHORT),
    file_row("zero slots", header_bytes(b"\0" * 8184), NO_SLOTS),
    file_row("slots of 0xff", header_bytes(b"\xff" * 8184), NO_SLOTS),
]


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("content, text", FILE_ROWS)
def test_files_that_are_no_database_are_refused(tmp_path, content, text, mmap):
    path = tmp_path / "bad.mol"
    path.write_bytes(content)
    refused(lambda: PyAtomDatabase.open(str(path), mmap=mmap), ValueError, text)


def index_out_of_bounds(index, length=3):
    return f"Index {index} out of bounds for database of length {length}"


class ItemRaises:
    """A sequence whose second item cannot be read."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 0:
            return 0
        raise ZeroDivisionError("broken sequence")


READ_ROWS = [
    row("index str", lambda d: d.get_molecule("0"), TypeError, argument("index")),
    row("index float", lambda d: d.get_molecule(0.0), TypeError, argument("index")),
    row("index None", lambda d: d.get_molecule(None), TypeError, argument("index")),
    row("index -1", lambda d: d.get_molecule(-1), OverflowError),
    row("index -2**70", lambda d: d.get_molecule(-(2**70)), OverflowError),
    row("index 2**64", lambda d: d.get_molecule(2**64), OverflowError),
    row("index length", lambda d: d.get_molecule(3), IndexError, index_out_of_bounds(3)),
    row("index 2**63", lambda d: d.get_molecule(2**63), IndexError, index_out_of_bounds(2**63)),
    row("index 2**64 - 1", lambda d: d.get_molecule(2**64 - 1), IndexError, index_out_of_bounds(2**64 - 1)),
    row("index numpy past the end", lambda d: d.get_molecule(np.uint64(9)), IndexError, index_out_of_bounds(9)),
    row("index __index__ raises", lambda d: d.get_molecule(IndexRaises()), ZeroDivisionError),
    row("index missing", lambda d: d.get_molecule(), TypeError),
    row("subscript str", lambda d: d["0"], TypeError, argument("index")),
    row("subscript slice", lambda d: d[0:2], TypeError, argument("index")),
    row("subscript -1", lambda d: d[-1], OverflowError),
    row("subscript length", lambda d: d[3], IndexError, index_out_of_bounds(3)),
    row("subscript tuple", lambda d: d[0, 1], TypeError, argument("index")),
    row("indices str", lambda d: d.get_molecules("01"), TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    row("indices int", lambda d: d.get_molecules(5), TypeError,
        "argument 'indices': 'int' object cannot be converted to 'Sequence'"),
    row("indices set", lambda d: d.get_molecules({0, 1}), TypeError,
        "argument 'indices': 'set' object cannot be converted to 'Sequence'"),
    row("indices generator", lambda d: d.get_molecules(i for i in range(2)), TypeError,
        "argument 'indices': 'generator' object cannot be converted to 'Sequence'"),
    row("indices None", lambda d: d.get_molecules(None), TypeError, argument("indices")),
    row("indices with str", lambda d: d.get_molecules([0, "1"]), TypeError, argument("indices")),
    row("indices with float", lambda d: d.get_molecules([0, 1.0]), TypeError, argument("indices")),
    row("indices float array", lambda d: d.get_molecules(np.array([0.0])), TypeError, argument("indices")),
    row("indices with -1", lambda d: d.get_molecules([0, -1]), OverflowError),
    row("indices with 2**64", lambda d: d.get_molecules([2**64]), OverflowError),
    row("indices past the end", lambda d: d.get_molecules([0, 3]), ValueError, starts("Invalid data: ")),
    row("indices far past the end", lambda d: d.get_molecules([2**64 - 1]), ValueError, starts("Invalid data: ")),
    row("indices item raises", lambda d: d.get_molecules(ItemRaises()), ZeroDivisionError),
    row("indices two arguments", lambda d: d.get_molecules([0], [1]), TypeError),
    row("len with argument", lambda d: d.__len__(1), TypeError),
]

MAPPED_REFUSAL = starts("Invalid data: ")

WRITE_ROWS = [
    row("molecule None", lambda d, e: d.add_molecule(None), TypeError, argument("molecule")),
    row("molecule atom", lambda d, e: d.add_molecule(e.atom), TypeError, argument("molecule")),
    row("molecule database", lambda d, e: d.add_molecule(d), TypeError, argument("molecule")),
    row("molecule list", lambda d, e: d.add_molecule([e.owned]), TypeError, argument("molecule")),
    row("molecule missing", lambda d, e: d.add_molecule(), TypeError),
    row("molecules str", lambda d, e: d.add_molecules("ab"), TypeError,
        "argument 'molecules': Can't extract `str` to `Vec`"),
    row("molecules int", lambda d, e: d.add_molecules(3), TypeError,
        "argument 'molecules': 'int' object cannot be converted to 'Sequence'"),
    row("molecules dict", lambda d, e: d.add_molecules({0: e.owned}), TypeError,
        "argument 'molecules': 'dict' object cannot be converted to 'Sequence'"),
    row("molecules generator", lambda d, e: d.add_molecules(m for m in [e.owned]), TypeError,
        "argument 'molecules': 'generator' object cannot be converted to 'Sequence'"),
    row("molecules with None", lambda d, e: d.add_molecules([e.owned, None]), TypeError, argument("molecules")),
    row("molecules with atom", lambda d, e: d.add_molecules([e.atom]), TypeError, argument("molecules")),
    row("molecules item raises", lambda d, e: d.add_molecules(ItemRaises()), (TypeError, ZeroDivisionError)),
    row("float64 positions into float32", lambda d, e: d.add_molecule(rich_molecule(3, F64)), ValueError,
        starts("Invalid data: ")),
    row("property of another type", lambda d, e: d.add_molecule(retyped_property()), ValueError,
        starts("Invalid data: ")),
    row("flush with argument", lambda d, e: d.flush(1), TypeError),
]


def retyped_property():
    """A molecule whose custom property "f" is a text where the stored ones hold a float."""
    mol = rich_molecule(seed=5)
    mol.delete_property("f")
    mol.set_property("f", "a text now")
    return mol


@pytest.mark.parametrize("mode", ["mapped", "db"])
@pytest.mark.parametrize("call, error, text", READ_ROWS)
def test_read_refusals(env, mode, call, error, text):
    db = getattr(env, mode)
    refused(lambda: call(db), error, text)
    assert len(db) == 3
    np.testing.assert_array_equal(db[2].positions, positions() + 2)


@pytest.mark.parametrize("call, error, text", WRITE_ROWS)
def test_write_refusals_leave_the_database_usable(env, call, error, text):
    db = env.db
    refused(lambda: call(db, env), error, text)
    # Whatever the refused call left uncommitted, the database still takes and commits molecules.
    extra = rich_molecule(seed=9)
    db.add_molecule(extra)
    db.flush()
    reopened = PyAtomDatabase.open(str(env.stored_path))
    np.testing.assert_array_equal(reopened[len(reopened) - 1].positions, extra.positions)
    for i in range(3):
        np.testing.assert_array_equal(reopened[i].positions, positions() + i)


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda d, e: d.add_molecule(e.owned), id="add_molecule"),
        pytest.param(lambda d, e: d.add_molecules([e.owned]), id="add_molecules"),
        pytest.param(lambda d, e: d.add_molecules([e.view]), id="add_molecules view"),
        pytest.param(lambda d, e: d.flush(), id="flush"),
        pytest.param(
            lambda d, e: d.add_arrays_batch(np.zeros((1, 3, 3), F32), np.ones((1, 3), np.uint8)), id="add_arrays_batch"
        ),
    ],
)
def test_a_mapped_database_refuses_every_write(env, call):
    refused(lambda: call(env.mapped, env), ValueError, MAPPED_REFUSAL)
    assert len(env.mapped) == 3


@pytest.mark.parametrize("level", [2**31 - 1, -(2**31), 0, -1, 23, 100])
def test_zstd_levels_outside_the_usual_range_store_or_refuse_clearly(tmp_path, level):
    path = tmp_path / "level.mol"
    db = PyAtomDatabase(str(path), "zstd", level)
    mol = rich_molecule()
    TRIED[0] += 1
    try:
        db.add_molecule(mol)
    except ValueError as error:
        assert str(error).startswith("Compression error: ")
        return
    db.flush()
    np.testing.assert_array_equal(PyAtomDatabase.open(str(path))[0].forces, mol.forces)


# --- add_arrays_batch ------------------------------------------------------------------------------


def batch_with(**changes):
    """Arguments of a batch of two 3-atom molecules with some of them replaced."""
    arguments = {"positions": np.zeros((2, 3, 3), F32), "atomic_numbers": np.ones((2, 3), np.uint8)}
    arguments.update(changes)
    return arguments


def general(**changes):
    """The same with float64 positions, which take the general path."""
    return batch_with(**{"positions": np.zeros((2, 3, 3), F64), **changes})


def fortran(shape, dtype=F64):
    return np.asfortranarray(np.zeros(shape, dtype))


def strided(shape, dtype=F32):
    """A non-contiguous array of the shape: every second element along the first axis."""
    return np.zeros((shape[0] * 2,) + tuple(shape[1:]), dtype)[::2]


B_POSITIONS = "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"
B_VEC3 = "{} must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"
B_CHARGES = "charges must be a float32 or float64 ndarray with shape (batch, n_atoms)"
B_MAT3 = "{} must be a float32 or float64 ndarray with shape (batch, 3, 3)"
B_ENERGY = "energy must be a float32 or float64 ndarray with shape (batch,)"
LIST_TENSOR = (
    "custom property '{}' must be a stacked ndarray tensor for add_arrays_batch; list/tuple tensor inputs are "
    "not supported. Ragged tensors should use per-molecule construction plus add_molecules(...) and non-flat "
    "retrieval with get_molecule(s)."
)
B_UNSUPPORTED = (
    "Unsupported batched property '{}' type. Supported: list[str], 1D numeric arrays, 2D numeric arrays, 3D float "
    "arrays with trailing dimension 3, or stacked tensor ndarrays with dtype float32, float64, int32, or int64"
)
B_ATOM_UNSUPPORTED = (
    "Unsupported batched atom property '{}' type. Supported: 2D numeric arrays with shape (batch, n_atoms), 3D float "
    "arrays with shape (batch, n_atoms, 3), or stacked tensor ndarrays with dtype float32, float64, int32, or int64"
)
NOT_ARRAY = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"
NOT_DICT = "argument '{}': '{}' object cannot be converted to 'PyDict'"

BATCH_ROWS = [
    # positions
    row("positions list", batch_with(positions=[[[0.0] * 3] * 3] * 2), ValueError, B_POSITIONS),
    row("positions int64", batch_with(positions=np.zeros((2, 3, 3), np.int64)), ValueError, B_POSITIONS),
    row("positions byte-swapped", batch_with(positions=np.zeros((2, 3, 3), BIG_ENDIAN_F32)), ValueError, B_POSITIONS),
    row("positions 2-D", batch_with(positions=np.zeros((3, 3), F32)), ValueError, B_POSITIONS),
    row("positions None", batch_with(positions=None), ValueError, B_POSITIONS),
    row("positions (2, 3, 2)", batch_with(positions=np.zeros((2, 3, 2), F32)), ValueError,
        "positions must have shape (batch, n_atoms, 3)"),
    row("positions f64 (2, 3, 4)", general(positions=np.zeros((2, 3, 4), F64)), ValueError,
        "positions must have shape (batch, n_atoms, 3)"),
    row("positions strided", batch_with(positions=strided((2, 3, 3))), ValueError, "positions must be C-contiguous"),
    row("positions reversed", batch_with(positions=np.zeros((2, 3, 3), F32)[::-1]), ValueError,
        "positions must be C-contiguous"),
    row("positions f64 Fortran", general(positions=fortran((2, 3, 3))), ValueError, "positions must be C-contiguous"),
    # atomic numbers
    row("numbers list", batch_with(atomic_numbers=[[1] * 3] * 2), TypeError,
        NOT_ARRAY.format("atomic_numbers", "list")),
    row("numbers int64", batch_with(atomic_numbers=np.ones((2, 3), np.int64)), TypeError,
        NOT_ARRAY.format("atomic_numbers", "ndarray")),
    row("numbers 1-D", batch_with(atomic_numbers=np.ones(6, np.uint8)), TypeError,
        NOT_ARRAY.format("atomic_numbers", "ndarray")),
    row("numbers (2, 4)", batch_with(atomic_numbers=np.ones((2, 4), np.uint8)), ValueError,
        "atomic_numbers must have shape (2, 3)"),
    row("numbers (3, 3)", general(atomic_numbers=np.ones((3, 3), np.uint8)), ValueError,
        "atomic_numbers must have shape (2, 3)"),
    row("numbers strided", batch_with(atomic_numbers=np.ones((2, 6), np.uint8)[:, ::2]), ValueError,
        "atomic_numbers must be C-contiguous"),
    row("numbers Fortran", general(atomic_numbers=fortran((2, 3), np.uint8)), ValueError,
        "atomic_numbers must be C-contiguous"),
    # energy
    row("energy (3,)", batch_with(energy=np.zeros(3)), ValueError, "energy length (3) doesn't match batch size (2)"),
    row("energy f32 (1,)", batch_with(energy=np.zeros(1, F32)), ValueError,
        "energy length (1) doesn't match batch size (2)"),
    row("energy strided", batch_with(energy=np.zeros(4)[::2]), ValueError, "energy must be C-contiguous"),
    row("energy int64", batch_with(energy=np.zeros(2, np.int64)), ValueError, B_ENERGY),
    row("energy list", batch_with(energy=[0.0, 1.0]), ValueError, B_ENERGY),
    row("energy scalar", batch_with(energy=1.0), ValueError, B_ENERGY),
    row("energy 2-D", batch_with(energy=np.zeros((2, 1))), ValueError, B_ENERGY),
    row("energy byte-swapped", batch_with(energy=np.zeros(2, BIG_ENDIAN_F64)), ValueError, B_ENERGY),
    # per-atom built-ins
    row("forces (2, 3, 2)", batch_with(forces=np.zeros((2, 3, 2), F32)), ValueError,
        "forces must have shape (2, 3, 3)"),
    row("forces f64 (2, 4, 3)", batch_with(forces=np.zeros((2, 4, 3), F64)), ValueError,
        "forces must have shape (2, 3, 3)"),
    row("forces (1, 3, 3)", general(forces=np.zeros((1, 3, 3), F32)), ValueError, "forces must have shape (2, 3, 3)"),
    row("forces int", batch_with(forces=np.zeros((2, 3, 3), np.int32)), ValueError, B_VEC3.format("forces")),
    row("forces byte-swapped", batch_with(forces=np.zeros((2, 3, 3), BIG_ENDIAN_F32)), ValueError,
        B_VEC3.format("forces")),
    row("forces strided", batch_with(forces=strided((2, 3, 3))), ValueError, "forces must be C-contiguous"),
    row("forces f64 Fortran", general(forces=fortran((2, 3, 3))), ValueError, "forces must be C-contiguous"),
    row("velocities 2-D", batch_with(velocities=np.zeros((2, 9), F32)), ValueError, B_VEC3.format("velocities")),
    row("velocities (2, 3, 4)", batch_with(velocities=np.zeros((2, 3, 4), F32)), ValueError,
        "velocities must have shape (2, 3, 3)"),
    row("velocities strided", general(velocities=strided((2, 3, 3), F64)), ValueError,
        "velocities must be C-contiguous"),
    row("charges (2, 4)", batch_with(charges=np.zeros((2, 4))), ValueError, "charges must have shape (2, 3)"),
    row("charges f32 (3, 3)", batch_with(charges=np.zeros((3, 3), F32)), ValueError, "charges must have shape (2, 3)"),
    row("charges int", batch_with(charges=np.zeros((2, 3), np.int64)), ValueError, B_CHARGES),
    row("charges 1-D", batch_with(charges=np.zeros(6)), ValueError, B_CHARGES),
    row("charges strided", batch_with(charges=np.zeros((2, 6))[:, ::2]), ValueError, "charges must be C-contiguous"),
    row("charges f32 Fortran", batch_with(charges=fortran((2, 3), F32)), ValueError, "charges must be C-contiguous"),
    # matrices
    row("cell (2, 3, 4)", batch_with(cell=np.zeros((2, 3, 4))), ValueError, "cell must have shape (2, 3, 3)"),
    row("cell (3, 3, 3)", general(cell=np.zeros((3, 3, 3), F32)), ValueError, "cell must have shape (2, 3, 3)"),
    row("cell 2-D", batch_with(cell=np.zeros((3, 3))), ValueError, B_MAT3.format("cell")),
    row("cell int", batch_with(cell=np.zeros((2, 3, 3), np.int64)), ValueError, B_MAT3.format("cell")),
    row("cell strided", batch_with(cell=strided((2, 3, 3), F64)), ValueError, "cell must be C-contiguous"),
    row("cell Fortran general", general(cell=fortran((2, 3, 3))), ValueError, "cell must be C-contiguous"),
    row("stress (2, 2, 2)", batch_with(stress=np.zeros((2, 2, 2), F32)), ValueError,
        "stress must have shape (2, 3, 3)"),
    row("stress list", batch_with(stress=[np.eye(3)] * 2), ValueError, B_MAT3.format("stress")),
    row("stress strided", batch_with(stress=strided((2, 3, 3), F32)), ValueError, "stress must be C-contiguous"),
    # pbc and names
    row("pbc list", batch_with(pbc=[[True] * 3] * 2), TypeError, NOT_ARRAY.format("pbc", "list")),
    row("pbc int", batch_with(pbc=np.ones((2, 3), np.int8)), TypeError, NOT_ARRAY.format("pbc", "ndarray")),
    row("pbc 1-D", batch_with(pbc=np.ones(6, bool)), TypeError, NOT_ARRAY.format("pbc", "ndarray")),
    row("pbc (2, 4)", batch_with(pbc=np.ones((2, 4), bool)), ValueError, "pbc must have shape (2, 3)"),
    row("pbc (3, 3) general", general(pbc=np.ones((3, 3), bool)), ValueError, "pbc must have shape (2, 3)"),
    row("pbc transposed on the fast path", batch_with(pbc=np.ones((3, 2), bool).T), ValueError,
        "pbc must be C-contiguous"),
    row("name str", batch_with(name="ab"), TypeError, "argument 'name': Can't extract `str` to `Vec`"),
    row("name int", batch_with(name=5), TypeError, argument("name")),
    row("name with int", batch_with(name=["a", 1]), TypeError, argument("name")),
    row("name with bytes", batch_with(name=["a", b"b"]), TypeError, argument("name")),
    row("name too short", batch_with(name=["a"]), ValueError, "name length (1) doesn't match batch size (2)"),
    row("name too long general", general(name=["a", "b", "c"]), ValueError,
        "name length (3) doesn't match batch size (2)"),
    # custom properties
    row("properties list", batch_with(properties=[("k", np.zeros(2))]), TypeError,
        NOT_DICT.format("properties", "list")),
    row("atom properties int", batch_with(atom_properties=1), TypeError, NOT_DICT.format("atom_properties", "int")),
    row("key int", batch_with(properties={1: np.zeros(2)}), TypeError),
    row("atom key bytes", batch_with(atom_properties={b"k": np.zeros((2, 3))}), TypeError),
    row("key stress", batch_with(properties={"stress": np.zeros(2)}), ValueError,
        "'stress' is a reserved field; use the builtin stress argument instead"),
    row("atom key stress", general(atom_properties={"stress": np.zeros((2, 3))}), ValueError,
        "'stress' is a reserved field; use the builtin stress argument instead"),
    row("key in both", batch_with(properties={"k": np.zeros(2)}, atom_properties={"k": np.zeros((2, 3))}), ValueError,
        "Duplicate custom key 'k' across batched atom property inputs"),
    row("texts too few", batch_with(properties={"k": ["a"]}), ValueError,
        "custom property 'k' length (1) doesn't match batch size (2)"),
    row("empty list", batch_with(properties={"k": []}), ValueError,
        "custom property 'k' length (0) doesn't match batch size (2)"),
    row("floats in a list", batch_with(properties={"k": [1.0, 2.0]}), ValueError, LIST_TENSOR.format("k")),
    row("mixed list", batch_with(properties={"k": ["a", 2.0]}), ValueError, LIST_TENSOR.format("k")),
    row("tuple of arrays", batch_with(properties={"k": (np.zeros(3), np.zeros(3))}), ValueError,
        LIST_TENSOR.format("k")),
    row("str value", batch_with(properties={"k": "ab"}), ValueError, B_UNSUPPORTED.format("k")),
    row("float value", batch_with(properties={"k": 1.5}), ValueError, B_UNSUPPORTED.format("k")),
    row("None value", batch_with(properties={"k": None}), ValueError, B_UNSUPPORTED.format("k")),
    row("bool array", batch_with(properties={"k": np.zeros(2, bool)}), ValueError, B_UNSUPPORTED.format("k")),
    row("uint16 array", batch_with(properties={"k": np.zeros((2, 2), np.uint16)}), ValueError,
        B_UNSUPPORTED.format("k")),
    row("byte-swapped array", batch_with(properties={"k": np.zeros((2, 2, 2), BIG_ENDIAN_F32)}), ValueError,
        B_UNSUPPORTED.format("k")),
    row("1-D too long", batch_with(properties={"k": np.zeros(3)}), ValueError,
        "custom property 'k' length (3) doesn't match batch size (2)"),
    row("2-D wrong batch", batch_with(properties={"k": np.zeros((3, 2))}), ValueError,
        "custom property 'k' must have shape (2, k)"),
    row("2-D Fortran", batch_with(properties={"k": fortran((2, 4))}), ValueError,
        "custom property 'k' must be C-contiguous"),
    row("triples strided", batch_with(properties={"k": np.zeros((2, 4, 3), F32)[:, ::2]}), ValueError,
        "custom property 'k' must be C-contiguous"),
    row("tensor strided", batch_with(properties={"k": np.zeros((2, 4, 5), F64)[:, :, ::2]}), ValueError,
        "custom property 'k' must be C-contiguous"),
    row("0-D value", batch_with(properties={"k": np.array(1.0)}), ValueError,
        "custom property 'k' must have stacked tensor shape (2, ...)"),
    row("tensor wrong batch", batch_with(properties={"k": np.zeros((3, 2, 2))}), ValueError,
        "custom property 'k' must have stacked tensor shape (2, ...)"),
    row("tensor dimension 2**32", batch_with(properties={"k": np.zeros((2, 0, 2**32), F32)}), ValueError,
        "custom property 'k' tensor dimensions must fit in u32 for storage"),
    row("atom 2-D wrong atoms", batch_with(atom_properties={"k": np.zeros((2, 4))}), ValueError,
        "atom property 'k' must have shape (2, 3)"),
    row("atom 2-D wrong batch", batch_with(atom_properties={"k": np.zeros((1, 3), np.int32)}), ValueError,
        "custom property 'k' must have shape (2, k)"),
    row("atom bool", batch_with(atom_properties={"k": np.zeros((2, 3), bool)}), ValueError,
        B_ATOM_UNSUPPORTED.format("k")),
    row("atom float", batch_with(atom_properties={"k": 2.0}), ValueError, B_ATOM_UNSUPPORTED.format("k")),
    row("atom texts", batch_with(atom_properties={"k": ["a", "b"]}), ValueError, LIST_TENSOR.format("k")),
    row("atom 1-D", batch_with(atom_properties={"k": np.zeros(2)}), ValueError,
        "custom property 'k' must have stacked tensor shape (2, ...)"),
    row("atom tensor wrong atoms", batch_with(atom_properties={"k": np.zeros((2, 4, 4))}), ValueError,
        "atom property 'k' must have stacked tensor shape (2, 3, ...)"),
    row("atom triples strided", general(atom_properties={"k": np.zeros((2, 3, 6), F32)[:, :, ::2]}), ValueError,
        "custom property 'k' must be C-contiguous"),
    row("atom tensor dimension 2**32", batch_with(atom_properties={"k": np.zeros((2, 3, 0, 2**32), np.int64)}),
        ValueError, "custom property 'k' tensor dimensions must fit in u32 for storage"),
    # argument binding
    row("unknown keyword", batch_with(mass=np.zeros(2)), TypeError),
]


@pytest.mark.parametrize("arguments, error, text", BATCH_ROWS)
def test_batch_refusals_store_nothing(env, arguments, error, text):
    db = env.db
    refused(lambda: db.add_arrays_batch(**arguments), error, text)
    assert len(db) == 3
    db.flush()
    assert len(PyAtomDatabase.open(str(env.stored_path))) == 3


def test_a_properties_dict_changed_while_it_is_read_ends_the_batch_and_stores_nothing(env):
    db = env.db
    properties = {}

    class Texts:
        # Reading the values of this column adds a key to the dictionary being walked.
        def __len__(self):
            return 2

        def __getitem__(self, position):
            if position >= 2:
                raise IndexError(position)
            properties["added"] = np.zeros(2)
            return "text"

    properties.update(t=Texts(), u=np.zeros(2))
    TRIED[0] += 1
    # The module reports this as its internal fault, which derives from BaseException only.
    with pytest.raises(BaseException) as info:
        db.add_arrays_batch(**batch_with(properties=properties))
    assert not isinstance(info.value, Exception)
    assert str(info.value) == "dictionary changed size during iteration"
    assert len(db) == 3
    db.add_arrays_batch(**batch_with(properties={"t": ["a", "b"]}))
    assert len(db) == 5


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda d: d.add_arrays_batch(), id="nothing"),
        pytest.param(lambda d: d.add_arrays_batch(np.zeros((1, 1, 3), F32)), id="numbers missing"),
        pytest.param(
            lambda d: d.add_arrays_batch(np.zeros((1, 1, 3), F32), np.ones((1, 1), np.uint8), np.zeros(1)),
            id="energy by position",
        ),
    ],
)
def test_batch_binding_refusals(env, call):
    refused(lambda: call(env.db), TypeError)


# --- limits of the record format: key length and section count ----------------------------------

LONG_KEY = "k" * 256
KEY_TOO_LONG = re.compile(f"(Invalid data: )?Section key '{LONG_KEY}' is too long")


def many_properties(count):
    mol = PyMolecule(positions(), numbers())
    for i in range(count):
        mol.set_property(f"p{i}", i)
    return mol


@pytest.mark.parametrize(
    "call, text",
    [
        pytest.param(lambda d: d.add_molecule(long_key_molecule()), KEY_TOO_LONG, id="add_molecule, 256-byte key"),
        pytest.param(lambda d: d.add_molecules([long_key_molecule()] * 3), KEY_TOO_LONG,
                     id="add_molecules, 256-byte key"),
        pytest.param(lambda d: d.add_arrays_batch(**batch_with(properties={LONG_KEY: np.zeros(2)})),
                     f"Section key '{LONG_KEY}' is too long", id="batch of 2, 256-byte key"),
        # from 1024 molecules on, the records are built on the worker pool
        pytest.param(lambda d: d.add_arrays_batch(**long_key_batch(1500)), f"Section key '{LONG_KEY}' is too long",
                     id="batch of 1500, 256-byte key"),
        pytest.param(lambda d: d.add_molecule(many_properties(65536)),
                     re.compile("(Invalid data: )?Too many SOA sections"), id="65536 sections"),
    ],
)
def test_what_the_record_format_cannot_hold_is_refused(tmp_path, call, text):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    refused(lambda: call(db), ValueError, text)
    assert len(db) == 0
    db.add_molecule(long_key_molecule(255))
    db.flush()
    assert PyAtomDatabase.open(str(path))[0].has_property("k" * 255)


def long_key_molecule(length=256):
    mol = PyMolecule(positions(), numbers())
    mol.set_property("k" * length, 1.5)
    return mol


def long_key_batch(size):
    return {
        "positions": np.zeros((size, 3, 3), F32),
        "atomic_numbers": np.ones((size, 3), np.uint8),
        "properties": {LONG_KEY: np.zeros(size)},
    }


# --- get_molecules_flat ----------------------------------------------------------------------------

FLAT_ROWS = [
    row("str", lambda d: d.get_molecules_flat("01"), TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    row("int", lambda d: d.get_molecules_flat(5), TypeError,
        "argument 'indices': 'int' object cannot be converted to 'Sequence'"),
    row("set", lambda d: d.get_molecules_flat({0}), TypeError,
        "argument 'indices': 'set' object cannot be converted to 'Sequence'"),
    row("None", lambda d: d.get_molecules_flat(None), TypeError, argument("indices")),
    row("float item", lambda d: d.get_molecules_flat([0.5]), TypeError, argument("indices")),
    row("str item", lambda d: d.get_molecules_flat([0, "1"]), TypeError, argument("indices")),
    row("-1", lambda d: d.get_molecules_flat([0, -1]), OverflowError),
    row("2**64", lambda d: d.get_molecules_flat([2**64]), OverflowError),
    row("length", lambda d: d.get_molecules_flat([0, 3]), ValueError, "Invalid data: Index 3 out of bounds"),
    row("2**64 - 1", lambda d: d.get_molecules_flat([2**64 - 1]), ValueError,
        f"Invalid data: Index {2**64 - 1} out of bounds"),
    row("item raises", lambda d: d.get_molecules_flat(ItemRaises()), ZeroDivisionError),
    row("missing", lambda d: d.get_molecules_flat(), TypeError),
    row("unknown keyword", lambda d: d.get_molecules_flat([0], copy=True), TypeError),
]


@pytest.mark.parametrize("mode", ["mapped", "db"])
@pytest.mark.parametrize("call, error, text", FLAT_ROWS)
def test_flat_refusals(env, mode, call, error, text):
    db = getattr(env, mode)
    refused(lambda: call(db), error, text)
    np.testing.assert_array_equal(db.get_molecules_flat([2])["positions"], positions() + 2)


# --- damaged files -----------------------------------------------------------------------------------

SLOT = 4096
DATA_START = 8192


def read_database(db, flat=True):
    """Read a database in every way a user can; every read answers or refuses with ValueError."""
    n = len(db)
    for i in range(n):
        mol = attempt(lambda: db[i])
        if mol is not None:
            read_everything(mol)
    attempt(lambda: db.get_molecules(list(range(n))))
    if flat:
        attempt(lambda: db.get_molecules_flat(list(range(n))))
        for i in range(n):
            attempt(lambda: db.get_molecules_flat([i]))
    return n


def header_field(data, slot, offset, fmt):
    return struct.unpack_from(fmt, data, slot * SLOT + offset)[0]


def layout(data):
    """Where a committed file's live index and schema blob lie, from its newer header slot."""
    generations = [header_field(data, slot, 8, "<Q") for slot in (0, 1)]
    slot = 0 if generations[0] >= generations[1] else 1
    return {
        "index": (header_field(data, slot, 24, "<Q"), header_field(data, slot, 32, "<Q")),
        "schema": (header_field(data, slot, 60, "<Q"), header_field(data, slot, 68, "<Q")),
        "newer": slot,
    }


def damaged_copies(data, rng, exhaustive_first_record=False):
    """(label, bytes) of every damage tried on one committed file."""
    where = layout(data)
    index_offset, index_length = where["index"]
    schema_offset, schema_length = where["schema"]
    # truncations at the places that matter and at random
    cuts = {0, 7, 8, 100, SLOT - 1, SLOT, DATA_START - 1, DATA_START, DATA_START + 1, len(data) - 1}
    cuts |= {index_offset, index_offset + 8, index_offset + index_length - 1, schema_offset, schema_offset + 1}
    cuts |= {rng.randrange(len(data)) for _ in range(25)}
    for cut in sorted(c for c in cuts if 0 <= c < len(data)):
        yield f"cut at {cut}", data[:cut]
    # header bytes: every field of both slots, and random bytes
    fields = [0, 4, 8, 16, 24, 32, 40, 48, 49, 52, 56, 60, 68, 100, 4091, 4092, 4095]
    offsets = [slot * SLOT + f for slot in (0, 1) for f in fields] + [rng.randrange(DATA_START) for _ in range(20)]
    for offset in offsets:
        yield f"header byte {offset}", flip(data, offset, 0xFF)
    # every byte of the live index, flipped whole and by one bit; and the schema blob
    for offset in range(index_offset, index_offset + index_length):
        yield f"index byte {offset}", flip(data, offset, 0xFF)
        yield f"index bit {offset}", flip(data, offset, 1 << rng.randrange(8))
    for offset in range(schema_offset, schema_offset + schema_length, max(1, schema_length // 60)):
        yield f"schema byte {offset}", flip(data, offset, 0xFF)
        yield f"schema bit {offset}", flip(data, offset, 1 << rng.randrange(8))
    # record bytes
    # records, and the dead index and blob of the earlier commit, lie between the data start and the
    # live schema blob (or the live index when there is no blob)
    record_end = schema_offset or index_offset
    for _ in range(120):
        offset = rng.randrange(DATA_START, record_end)
        yield f"record byte {offset}", flip(data, offset, rng.choice([0xFF, 0x80, 0x01, rng.randrange(1, 256)]))
    if exhaustive_first_record:
        first_record_end = struct.unpack_from("<Q", data, index_offset + 8 + 20)[0]
        for offset in range(DATA_START, first_record_end):
            yield f"first record byte {offset}", flip(data, offset, 0xFF)
    for _ in range(20):
        offset = rng.randrange(DATA_START, record_end - 8)
        word = struct.pack("<Q", rng.choice([2**64 - 1, 2**32 - 1, 2**31, rng.getrandbits(64)]))
        yield f"record word {offset}", data[:offset] + word + data[offset + 8 :]
    # bytes after the committed end: an uncommitted tail, cut away by the first write
    for size in (1, 20, 5000):
        yield f"tail of {size}", data + rng.randbytes(size)


def flip(data, offset, mask):
    out = bytearray(data)
    out[offset] ^= mask
    return bytes(out)


def stored_molecules(seed_count=6):
    molecules = [rich_molecule(3 + s % 3, F32, seed=s) for s in range(seed_count)]
    plain = PyMolecule(positions(2), numbers(2))
    return molecules + [plain]


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
def test_damaged_files_open_and_read_or_refuse_clearly(tmp_path, compression):
    rng = random.Random({"none": 1, "lz4": 2, "zstd": 3}[compression])
    molecules = stored_molecules()
    path = write(tmp_path / "good.mol", molecules, compression, commits=2)
    data = path.read_bytes()
    opened = 0
    # Every byte of one record is damaged where the records are stored as they are.
    for number, (label, damaged) in enumerate(damaged_copies(data, rng, compression == "none")):
        copy = tmp_path / f"damaged{number}.mol"  # a new file each time: earlier mappings stay valid
        copy.write_bytes(damaged)
        for mmap in (True, False):
            TRIED[0] += 1
            try:
                db = PyAtomDatabase.open(str(copy), mmap=mmap)
            except ValueError:
                continue
            opened += 1
            read_database(db)
            if not mmap:
                appended_to_damaged_file(db, copy, label)
            db = None
        os.unlink(copy)
    assert opened > 100


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
def test_a_record_shorter_than_its_index_entry_is_refused_by_every_read(tmp_path, compression):
    molecules = stored_molecules()
    path = write(tmp_path / "db.mol", molecules, compression)
    data = bytearray(path.read_bytes())
    # Record 1's entry: u64 offset, u32 stored length, u32 record length, u32 atom count. It now
    # claims one byte more than the record holds.
    entry = layout(bytes(data))["index"][0] + 8 + 20 * 1
    struct.pack_into("<I", data, entry + 12, struct.unpack_from("<I", data, entry + 12)[0] + 1)
    path.write_bytes(bytes(data))
    messages = set()
    for mmap in (True, False):
        db = PyAtomDatabase.open(str(path), mmap=mmap)
        for read in (
            lambda: db[1],
            lambda: db.get_molecules([0, 1]),
            lambda: db.get_molecules_flat([1]),
            lambda: db.get_molecules_flat([0, 1, 2]),
        ):
            messages.add(str(refused(read, ValueError)))
        # The records around it still read.
        np.testing.assert_array_equal(db[2].positions, molecules[2].positions)
        flat = db.get_molecules_flat([0, 2])
        expected = np.concatenate([molecules[0].positions, molecules[2].positions])
        np.testing.assert_array_equal(flat["positions"], expected)
    # Mapped or not, one by one or in a batch: the same refusal.
    assert len(messages) == 1, messages
    assert messages.pop().startswith("Invalid data: Record at offset ")


def appended_to_damaged_file(db, path, label):
    """A damaged file that opens appendable takes a new molecule, and a later open reads it back."""
    extra = PyMolecule(positions(4) + 100, numbers(4))
    try:
        db.add_molecule(extra)
        db.flush()
    except ValueError:
        return
    reopened = PyAtomDatabase.open(str(path))
    np.testing.assert_array_equal(reopened[len(reopened) - 1].positions, extra.positions, err_msg=label)


def schema_entry_offsets(data):
    """(kind, key) -> file offset of the entry's elem_bytes field, for the live schema blob."""
    offset, length = layout(data)["schema"]
    blob = data[offset : offset + length]
    position, entries = 9, {}
    for _ in range(struct.unpack_from("<I", blob, 5)[0]):
        kind, _, _, key_length = struct.unpack_from("<BBBH", blob, position)
        key = blob[position + 13 : position + 13 + key_length].decode()
        entries[(kind, key)] = offset + position + 5
        position += 13 + key_length
    return entries


FLAT_UNDER_A_MEMORY_LIMIT = """
import resource, sys
from molarium._molarium_rs import PyAtomDatabase
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
with open("/proc/self/statm") as statm:
    in_use = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 30), hard))
db = PyAtomDatabase.open(sys.argv[1])
for selection in ([0], list(range(len(db)))):
    try:
        db.get_molecules_flat(selection)
        print("read")
    except Exception as error:
        print(type(error).__name__)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="needs a limit on the address space")
@pytest.mark.parametrize(
    "section, field, value",
    [
        pytest.param((0, "name"), 4, 0xFF000000, id="text slot bytes"),
        pytest.param((0, "velocities"), 0, 0xFF00000C, id="per-atom element bytes"),
        pytest.param((2, "f"), 4, 0xFF000008, id="scalar slot bytes"),
        pytest.param((2, "f64a"), 4, 0xFF000020, id="array slot bytes"),
    ],
)
def test_a_damaged_schema_blob_is_refused_before_flat_reads_allocate_for_it(tmp_path, section, field, value):
    path = write(tmp_path / "db.mol", stored_molecules(), "none", commits=2)
    data = bytearray(path.read_bytes())
    struct.pack_into("<I", data, schema_entry_offsets(bytes(data))[section] + field, value)
    path.write_bytes(bytes(data))
    TRIED[0] += 2
    # Each damaged entry asks for 4 GiB per molecule or per atom; within a 1 GiB allowance the read
    # must refuse the entry as invalid data, not run out of memory (or, without a limit, take it).
    result = subprocess.run(
        [sys.executable, "-c", FLAT_UNDER_A_MEMORY_LIMIT, str(path)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=tmp_path,  # not the source tree, whose molarium/ would shadow the installed package
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ValueError", "ValueError"]


@pytest.mark.parametrize("mmap", [True, False])
def test_a_damaged_newer_header_slot_falls_back_to_the_previous_commit(tmp_path, mmap):
    molecules = stored_molecules()
    first = molecules[:4]
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecules(first)
    db.flush()
    db.add_molecules(molecules[4:])
    db.flush()
    data = (tmp_path / "db.mol").read_bytes()
    newer = layout(data)["newer"]
    rng = random.Random(7)
    # (bytes 0 to 7 of slot A are also the file's magic and version, checked before any slot)
    for offset in [8, 16, 24, 32, 40, 48, 60, 68, 200, 4092] + [rng.randrange(8, SLOT) for _ in range(10)]:
        TRIED[0] += 1
        path = tmp_path / f"slot{offset}.mol"
        path.write_bytes(flip(data, newer * SLOT + offset, 0x5A))
        older = PyAtomDatabase.open(str(path), mmap=mmap)
        assert len(older) == len(first)
        for i, mol in enumerate(first):
            np.testing.assert_array_equal(older[i].positions, mol.positions)
        # and both slots damaged: nothing to fall back to
        both = bytearray(flip(data, newer * SLOT + offset, 0x5A))
        both[(1 - newer) * SLOT + offset] ^= 0x5A
        path.write_bytes(bytes(both))
        refused(lambda: PyAtomDatabase.open(str(path), mmap=mmap), ValueError, NO_SLOTS)


# --- inputs that are accepted: non-contiguous and reversed arrays are read in logical order ----------


def layouts(array):
    """The same values as differently laid out arrays: Fortran order, reversed twice, strided."""
    doubled = np.repeat(array, 2, axis=0)[::2]
    reversed_twice = array[::-1][::-1] if array.ndim == 1 else array[::-1, ::-1][::-1, ::-1]
    return [np.asfortranarray(array), reversed_twice, doubled]


@pytest.mark.parametrize("dtype", [F32, F64])
def test_single_molecule_inputs_with_any_strides_read_as_their_values(dtype):
    values = {
        "positions": np.arange(9, dtype=dtype).reshape(3, 3),
        "forces": np.arange(9, dtype=dtype).reshape(3, 3) * 2,
        "charges": np.arange(3, dtype=dtype) - 1,
        "cell": np.arange(9, dtype=dtype).reshape(3, 3) + 10,
    }
    for variant in range(3):
        arrays = {name: layouts(value)[variant] for name, value in values.items()}
        mol = PyMolecule(arrays["positions"], numbers()[::-1][::-1], forces=arrays["forces"],
                         charges=arrays["charges"], cell=arrays["cell"])
        mol.set_property("p", layouts(values["forces"])[variant], scope="atom")
        for name, value in values.items():
            np.testing.assert_array_equal(getattr(mol, name), value)
        np.testing.assert_array_equal(mol.get_property("p"), values["forces"])
    # a transposed array reads as its transpose
    mol = PyMolecule(values["positions"].T, numbers())
    np.testing.assert_array_equal(mol.positions, values["positions"].T.copy())
