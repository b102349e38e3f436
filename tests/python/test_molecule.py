"""PyMolecule and PyAtom: construction from arrays in any layout, the built-in fields of owned and
view-backed molecules, setters, indexing into atoms, text forms, and each refusal's text."""

import inspect
import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from conftest import ARRAY_FIELDS, assert_fields, assert_same, build, fields, is_view, plain, refused, starts, stored
from hypothesis import given, settings, strategies as st

from molarium import _molarium_rs as rs
from molarium._molarium_rs import PyAtom, PyAtomDatabase, PyMolecule

F32, F64 = np.float32, np.float64
SWAPPED_F8 = np.dtype("f8").newbyteorder("S")
FLOATS, SHAPE = "{} must be a float32 or float64 ndarray with shape ({})", "{} must have shape ({})"
LENGTH = "{} length ({}) doesn't match atom count (3)"


def arg(name):
    return starts(f"argument '{name}': ")


def with_(**changes):
    return {"positions": np.zeros((3, 3), F32), "atomic_numbers": np.ones(3, np.uint8), **changes}


class FloatRaises:
    def __float__(self):
        raise ZeroDivisionError("no float here")


class TypeErrorWithCause:
    def __float__(self):
        raise TypeError("inner type failure") from KeyError("root")


CONSTRUCTOR = [
    ("positions int64", with_(positions=np.zeros((3, 3), np.int64)), ValueError,
     FLOATS.format("positions", "n_atoms, 3")),
    ("positions byte-swapped", with_(positions=np.zeros((3, 3), SWAPPED_F8)), ValueError, None),
    ("positions 3-D", with_(positions=np.zeros((1, 3, 3), F32)), ValueError, None),
    ("positions (3, 2)", with_(positions=np.zeros((3, 2), F32)), ValueError, SHAPE.format("positions", "n, 3")),
    ("numbers int64", with_(atomic_numbers=np.ones(3, np.int64)), TypeError, arg("atomic_numbers")),
    ("numbers 2-D", with_(atomic_numbers=np.ones((3, 1), np.uint8)), TypeError, arg("atomic_numbers")),
    ("numbers too few", with_(atomic_numbers=np.ones(2, np.uint8)), ValueError, LENGTH.format("Atomic numbers", 2)),
    ("energy str", with_(energy="1.0"), TypeError, arg("energy")),
    ("energy __float__ raises", with_(energy=FloatRaises()), ZeroDivisionError, "no float here"),
    ("energy beyond float", with_(energy=10**400), OverflowError, None),
    ("forces int32", with_(forces=np.zeros((3, 3), np.int32)), ValueError, FLOATS.format("forces", "3, 3")),
    ("forces (2, 3)", with_(forces=np.zeros((2, 3), F32)), ValueError, SHAPE.format("forces", "3, 3")),
    ("velocities 3-D", with_(velocities=np.zeros((3, 3, 1), F32)), ValueError, FLOATS.format("velocities", "3, 3")),
    ("charges (4,)", with_(charges=np.zeros(4)), ValueError, LENGTH.format("charges", 4)),
    ("charges (3, 1)", with_(charges=np.zeros((3, 1))), ValueError, FLOATS.format("charges", "3,")),
    ("cell (2, 2)", with_(cell=np.zeros((2, 2))), ValueError, SHAPE.format("cell", "3, 3")),
    ("cell int64", with_(cell=np.zeros((3, 3), np.int64)), ValueError, FLOATS.format("cell", "3, 3")),
    ("stress byte-swapped", with_(stress=np.zeros((3, 3), SWAPPED_F8)), ValueError, FLOATS.format("stress", "3, 3")),
    ("pbc list", with_(pbc=[True] * 3), TypeError, arg("pbc")),
    ("pbc of ints", with_(pbc=(1, 0, 1)), TypeError, arg("pbc")),
    ("pbc of two", with_(pbc=(True, True)), ValueError, "expected tuple of length 3, but got tuple of length 2"),
    ("name bytes", with_(name=b"water"), TypeError, arg("name")),
    ("name lone surrogate", with_(name="\ud800"), UnicodeEncodeError, None),
    ("unknown keyword", with_(mass=np.ones(3)), TypeError, None),
]


@pytest.mark.parametrize("make", [PyMolecule, PyMolecule.from_arrays])
@pytest.mark.parametrize("arguments, error, text", [pytest.param(*r[1:], id=r[0]) for r in CONSTRUCTOR])
def test_constructor_refusals(make, arguments, error, text):
    refused(lambda: make(**arguments), error, text)


def layouts(base):
    """The values of `base` as C, Fortran, strided, reversed and unaligned arrays."""
    big = np.zeros(tuple(2 * d for d in base.shape), base.dtype)
    strided = big[tuple(slice(None, None, 2) for _ in base.shape)]
    strided[...] = base
    flipped = base[tuple(slice(None, None, -1) for _ in base.shape)].copy()
    unaligned = np.zeros(base.nbytes + 1, np.uint8)[1:].view(base.dtype).reshape(base.shape)
    unaligned[...] = base
    reversed_view = flipped[tuple(slice(None, None, -1) for _ in base.shape)]
    return [base.copy(), np.asfortranarray(base.copy()), strided, reversed_view, unaligned]


@pytest.mark.parametrize("dtype", [F32, F64])
@pytest.mark.parametrize("layout", range(5))
def test_inputs_in_any_layout_are_copied_in_logical_order(tmp_path, dtype, layout):
    values = fields(4, dtype, seed=1)
    mol = build(given_ := {k: layouts(np.asarray(v))[layout] if k in ARRAY_FIELDS else v for k, v in values.items()})
    for key in ARRAY_FIELDS:
        given_[key][...] = 0  # the molecule holds its own copy
    assert_fields(mol, values)
    setters = {key: layouts(np.asarray(values[key]) * 2)[layout] for key in ARRAY_FIELDS[2:]}
    for target in (mol, stored(tmp_path, [plain(4, dtype)])[0]):
        for key, value in setters.items():
            setattr(target, key, value)
            assert_same(getattr(target, key), np.ascontiguousarray(value), key)


@pytest.mark.parametrize("dtype", [F32, F64])
def test_getters_return_new_writable_arrays_that_share_nothing(tmp_path, dtype):
    values = fields(3, dtype)
    for mol in [build(values)] + [stored(tmp_path, [build(values)], *how)[0] for how in (["zstd"], ["none", False])]:
        for name in ARRAY_FIELDS:
            first, second = getattr(mol, name), getattr(mol, name)
            assert first.flags.writeable and first.flags.c_contiguous and not np.shares_memory(first, second)
            first[...] = 0
        assert_fields(mol, values)


def test_optional_fields_default_to_absent_and_none_clears_energy_and_pbc(where):
    assert_fields(where(plain(2)), fields(2) | dict.fromkeys(ARRAY_FIELDS[2:] + ["energy", "pbc"]))
    assert repr(where(PyMolecule(np.zeros((3, 3)), np.ones(3, np.uint8), energy=1.0))) == (
        "Molecule(n_atoms=3, has_forces=false, has_energy=true)")
    mol = where(build(fields(3)))
    mol.energy, mol.pbc = None, None
    assert (mol.energy, mol.pbc) == (None, None)
    assert repr(mol) == "Molecule(n_atoms=3, has_forces=true, has_energy=false)"
    mol.energy = np.float32(0.5)
    assert type(mol.energy) is float and mol.energy == 0.5
    mol.pbc = (np.True_, np.False_, np.bool_(True))
    assert mol.pbc == (True, False, True) and all(type(flag) is bool for flag in mol.pbc)


SETTERS = [
    ("forces", None, ValueError, FLOATS.format("Forces", "3, 3")),
    ("forces", np.zeros((4, 3), F32), ValueError, SHAPE.format("Forces", "3, 3")),
    ("velocities", np.zeros((3, 3), np.int16), ValueError, FLOATS.format("Velocities", "3, 3")),
    ("velocities", np.zeros((0, 3)), ValueError, SHAPE.format("Velocities", "3, 3")),
    ("charges", None, ValueError, FLOATS.format("Charges", "3,")),
    ("charges", np.zeros(2, F32), ValueError, LENGTH.format("Charges", 2)),
    ("cell", np.zeros((2, 2)), ValueError, SHAPE.format("Cell", "3, 3")),
    ("cell", np.zeros((3, 3), np.int32), ValueError, FLOATS.format("Cell", "3, 3")),
    ("stress", np.zeros((3, 4), F32), ValueError, SHAPE.format("Stress", "3, 3")),
    ("stress", [[0.0] * 3] * 3, ValueError, FLOATS.format("Stress", "3, 3")),
    ("energy", "low", TypeError, None), ("energy", FloatRaises(), ZeroDivisionError, None),
    ("pbc", [True] * 3, TypeError, None), ("pbc", (True,), ValueError, None),
    ("positions", np.zeros((3, 3)), AttributeError, None), ("mass", 1.0, AttributeError, None),
    ("atomic_numbers", np.ones(3, np.uint8), AttributeError, None),
]


@pytest.mark.parametrize("name, value, error, text", SETTERS)
def test_setter_refusals_keep_the_old_value_and_a_view_a_view(tmp_path, where, name, value, error, text):
    values = fields(3, F64)
    mol = where(build(values))
    was_view = is_view(tmp_path, mol)
    refused(lambda: setattr(mol, name, value), error, text)
    assert_fields(mol, values)
    if name != "stress":
        assert is_view(tmp_path, mol) == was_view


@pytest.mark.parametrize("name", ["forces", "energy", "charges", "velocities", "cell", "stress", "pbc", "positions"])
def test_deleting_a_field_is_refused(where, name):
    mol = where(build(fields(3)))
    refused(lambda: delattr(mol, name), AttributeError, "can't delete attribute" if name != "positions" else None)
    assert getattr(mol, name) is not None


def test_a_change_turns_a_view_into_an_owned_molecule_and_to_owned_leaves_it_a_view(tmp_path):
    values = fields(4, F64)
    view = stored(tmp_path, [build(values)])[0]
    copy = view.to_owned()
    copy.energy = 10.0
    assert is_view(tmp_path, view) and view.energy == values["energy"]
    view.energy = 3.5
    assert not is_view(tmp_path, view)
    assert_fields(view, values | {"energy": 3.5})


OUT_OF_BOUNDS = "Atom index {} out of bounds for molecule of length {}"


@pytest.mark.parametrize("key, error, text", [
    (3, IndexError, OUT_OF_BOUNDS.format(3, 3)), (-4, IndexError, OUT_OF_BOUNDS.format(-4, 3)),
    (2**63 - 1, IndexError, None), (-(2**63), IndexError, None),
    (2**63, TypeError, "Molecule indices must be integers or strings"),
    ("missing", KeyError, "Property 'missing' not found"),
])
def test_indexing_refusals(where, key, error, text):
    refused(lambda: where(plain(3))[key], error, text)


@pytest.mark.parametrize("dtype", [F32, F64])
def test_indexing_and_atoms_give_atoms_rounded_to_float32(where, dtype):
    positions = np.array([[0.1, 0.2, 0.3], [1.0, 2.0, 3.0], [-0.7, 1e-3, 5.5]], dtype)
    mol = where(PyMolecule(positions, np.array([8, 1, 6], np.uint8)))
    rounded = [tuple(float(F32(v)) for v in row) for row in positions]
    for key, row in [(0, 0), (-1, 2), (2, 2), (-3, 0), (True, 1), (np.uint8(1), 1)]:
        assert isinstance(mol[key], PyAtom)
        assert (mol[key].position(), mol[key].atomic_number) == (rounded[row], [8, 1, 6][row])
    assert [(a.position(), a.atomic_number) for a in mol.atoms()] == list(zip(rounded, [8, 1, 6]))
    empty = where(PyMolecule(np.zeros((0, 3), dtype), np.zeros(0, np.uint8), forces=np.zeros((0, 3), dtype)))
    assert (len(empty), empty.atoms(), empty.forces.shape) == (0, [], (0, 3))
    refused(lambda: empty[0], IndexError, OUT_OF_BOUNDS.format(0, 0))


# --- PyAtom ---------------------------------------------------------------------------------------


ATOM = [
    (lambda: PyAtom("1", 0, 0, 1), TypeError, "argument 'x': must be real number, not str"),
    (lambda: PyAtom(0, 0, TypeErrorWithCause(), 1), TypeError, "argument 'z': inner type failure"),
    (lambda: PyAtom(FloatRaises(), 0, 0, 1), ZeroDivisionError, "no float here"),
    (lambda: PyAtom(0, 0, 0, 256), OverflowError, "out of range integral type conversion attempted"),
    (lambda: PyAtom(0, 0, 0, -1), OverflowError, None), (lambda: PyAtom(0, 0, 0, 2**64), OverflowError, None),
    (lambda: PyAtom(0, 0, 0, 1.5), TypeError,
     "argument 'atomic_number': 'float' object cannot be interpreted as an integer"),
    (lambda: PyAtom(1, 2), TypeError, "PyAtom() missing 2 required positional arguments: 'z' and 'atomic_number'"),
    (lambda: PyAtom(1), TypeError, "PyAtom() missing 3 required positional arguments: 'y', 'z', and 'atomic_number'"),
    (lambda: PyAtom(1, 2, 3, 4, 5), TypeError, "PyAtom() takes 4 positional arguments but 5 were given"),
    (lambda: PyAtom(1, 2, 3, 4, w=1), TypeError, "PyAtom() got an unexpected keyword argument 'w'"),
    (lambda: PyAtom(1, 2, 3, 4, x=1), TypeError, "PyAtom() got multiple values for argument 'x'"),
    (lambda: PyAtom(0, 0, 0, 1).distance_to(5), TypeError,
     "argument 'other': 'int' object cannot be converted to 'PyAtom'"),
    (lambda: PyAtom(0, 0, 0, 1).position(1), TypeError, "PyAtom.position() takes no arguments (1 given)"),
    (lambda: setattr(PyAtom(0, 0, 0, 1), "atomic_number", 5), AttributeError, None),
    (lambda: PyAtom.position(plain()), TypeError, None),
]


@pytest.mark.parametrize("call, error, text", ATOM)
def test_atom_refusals(call, error, text):
    exc = refused(call, error, text)
    assert isinstance(exc.__cause__, KeyError) == ("inner" in str(exc))


finite_f32 = st.floats(width=32, allow_nan=False, allow_infinity=False)


@settings(max_examples=300, deadline=None)
@given(finite_f32, finite_f32, finite_f32)
def test_repr_is_numpys_shortest_positional_float32_text(x, y, z):
    text = [np.format_float_positional(F32(v), unique=True, trim="-") for v in (x, y, z)]
    assert repr(PyAtom(x, y, z, 250)) == f"Atom(x={text[0]}, y={text[1]}, z={text[2]}, atomic_number=250)"


@pytest.mark.parametrize("value, text", [(math.nan, "NaN"), (-math.nan, "NaN"), (math.inf, "inf"),
                                         (-math.inf, "-inf"), (1e39, "inf"), (-0.0, "-0"), (1e-7, "0.0000001")])
def test_repr_of_special_values(value, text):
    assert repr(PyAtom(value, 0, 0, 1)) == f"Atom(x={text}, y=0, z=0, atomic_number=1)"


@settings(max_examples=200, deadline=None)
@given(st.lists(finite_f32.filter(lambda v: abs(v) < 1e15), min_size=6, max_size=6))
def test_distance_rounds_every_step_to_float32(values):
    a, b = np.array(values[:3], F32), np.array(values[3:], F32)
    squares = (a - b) * (a - b)
    expected = np.sqrt((squares[0] + squares[1]) + squares[2])
    assert PyAtom(*map(float, a), 1).distance_to(other=PyAtom(*map(float, b), 1)) == float(expected)


# --- the module and its classes ---------------------------------------------------------------------


@pytest.mark.parametrize("cls", [PyAtom, PyMolecule, PyAtomDatabase])
def test_classes_are_final_without_dict_or_weak_references(cls):
    assert (cls.__module__, cls.__bases__, cls.__dictoffset__, cls.__weakrefoffset__) == (rs.__name__, (object,), 0, 0)
    refused(lambda: type("Derived", (cls,), {}), TypeError)
    for member in vars(cls).values():
        if getattr(member, "__text_signature__", None):
            inspect.signature(member)  # every text signature parses


def test_the_module_imports_cleanly_once_and_refuses_sub_interpreters(tmp_path):
    assert [n for n in vars(rs) if n[:2] != "__"] == ["PyAtom", "PyMolecule", "PyAtomDatabase",
                                                      "_molecule_from_pickle_bytes"]
    inner = textwrap.dedent(f"""
        try:
            import molarium._molarium_rs
            outcome = "imported"
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        open({str(tmp_path / "outcome.txt")!r}, "w").write(outcome)
        """)
    code = ("import molarium._molarium_rs, importlib, sys\nm = sys.modules.pop('molarium._molarium_rs')\n"
            "assert importlib.import_module('molarium._molarium_rs') is m\n"
            f"import _testcapi\n_testcapi.run_in_subinterp({inner!r})")
    subinterpreters = hasattr(pytest.importorskip("_testcapi"), "run_in_subinterp")
    code = code if subinterpreters else code.split("import _testcapi")[0]
    result = subprocess.run([sys.executable, "-W", "error", "-c", code],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120, env=os.environ.copy())
    assert result.returncode == 0, result.stderr
    if subinterpreters:  # a build without legacy sub-interpreters cannot try
        text = (tmp_path / "outcome.txt").read_text()
        assert text.startswith("ImportError: ") and "sub-interpreters" in text


def test_the_module_exports_only_its_entry_point():
    symbols = subprocess.run(["nm", "-D", "--defined-only", rs.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in symbols.stdout.splitlines()] == ["PyInit__molarium_rs"]


@pytest.mark.parametrize("name", ["positions", "forces", "cell"])
def test_an_allocation_that_fails_inside_a_getter_raises_and_the_next_call_succeeds(tmp_path, name):
    testcapi = pytest.importorskip("_testcapi")
    mol = stored(tmp_path, [build(fields(2))])[0]
    outcomes = []
    for failing in range(6):  # the getter's first allocations, one at a time
        testcapi.set_nomemory(failing, failing + 1)
        try:
            getattr(mol, name)
            outcomes.append("ok")
        except MemoryError:
            outcomes.append("MemoryError")
        except ValueError as error:  # NumPy refused the reshape to rows: its exception's name and text
            assert str(error).startswith("MemoryError"), error
            outcomes.append("refused reshape")
        finally:
            testcapi.remove_mem_hooks()
    assert set(outcomes) == {"MemoryError", "refused reshape", "ok"}, outcomes
    np.testing.assert_array_equal(getattr(mol, name), fields(2)[name])


COPY_UNDER_A_MEMORY_LIMIT = """
import resource
import numpy as np
from molarium._molarium_rs import PyMolecule
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 30), hard))
n = 50_000_000  # 600 MB of positions fit once in the limit, not twice
positions, numbers = np.zeros((n, 3), np.float32), np.ones(n, np.uint8)
try:
    PyMolecule(positions, numbers)
    print("built")
except BaseException as error:
    print(type(error).__name__)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="needs a limit on the address space")
def test_running_out_of_memory_while_copying_the_arrays_raises_memory_error():
    result = subprocess.run([sys.executable, "-c", COPY_UNDER_A_MEMORY_LIMIT], capture_output=True, text=True,
                            timeout=120)
    assert (result.returncode, result.stdout.split()) == (0, ["MemoryError"]), result.stderr
