"""The module molarium._molarium_rs: registration, class properties, re-import, and PyAtom."""

import importlib
import inspect
import math
import os
import subprocess
import sys
import textwrap
import weakref

import numpy as np
import pytest

from molarium import _molarium_rs as rs

CLASS_NAMES = ["PyAtom", "PyMolecule", "PyAtomDatabase"]


def f32(value):
    """The float32 nearest to value, widened back to a Python float (NumPy's rounding)."""
    return float(np.float32(value))


def run_python(code, tmp_path, *options):
    # Run from an empty directory so that the source tree's molarium/ (without the built module)
    # does not shadow the installed package.
    return subprocess.run(
        [sys.executable, *options, "-c", code],
        cwd=tmp_path,
        env=os.environ.copy(),
        capture_output=True,
        text=True,
        timeout=120,
    )


# --- the module -------------------------------------------------------------------------------


def test_module_holds_exactly_its_four_members_in_registration_order():
    members = [name for name in vars(rs) if not name.startswith("__")]
    assert members == ["PyAtom", "PyMolecule", "PyAtomDatabase", "_molecule_from_pickle_bytes"]


def test_module_has_a_docstring_and_its_import_name():
    assert isinstance(rs.__doc__, str) and rs.__doc__
    assert rs.__name__ == "molarium._molarium_rs"


def test_reimport_after_removal_returns_the_same_module_and_classes():
    classes = [getattr(rs, name) for name in CLASS_NAMES]
    del sys.modules["molarium._molarium_rs"]
    again = importlib.import_module("molarium._molarium_rs")
    assert again is rs
    assert [getattr(again, name) for name in CLASS_NAMES] == classes
    assert all(getattr(again, name) is cls for name, cls in zip(CLASS_NAMES, classes))


def test_import_raises_no_warning(tmp_path):
    result = run_python("import molarium._molarium_rs", tmp_path, "-W", "error")
    assert result.returncode == 0, result.stderr


def test_sub_interpreter_import_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no legacy sub-interpreters in this build")
    outcome = tmp_path / "outcome.txt"
    inner = textwrap.dedent(
        f"""
        try:
            import molarium._molarium_rs
            outcome = "imported"
        except BaseException as error:
            outcome = type(error).__name__ + ": " + str(error)
        open({str(outcome)!r}, "w").write(outcome)
        """
    )
    code = f"import molarium._molarium_rs, _testcapi\n_testcapi.run_in_subinterp({inner!r})"
    result = run_python(code, tmp_path)
    assert result.returncode == 0, result.stderr
    text = outcome.read_text()
    assert text.startswith("ImportError: ")
    assert "sub-interpreters" in text


# --- class properties shared by the three classes ---------------------------------------------


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_names_are_bare_and_module_is_the_extension(name):
    cls = getattr(rs, name)
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__module__ == "molarium._molarium_rs"


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_derives_from_object_without_dict_or_weak_references(name):
    cls = getattr(rs, name)
    assert cls.__bases__ == (object,)
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


@pytest.mark.parametrize("name", CLASS_NAMES)
def test_class_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Derived", (getattr(rs, name),), {})


def test_atom_instance_refuses_new_attributes_and_weak_references():
    atom = rs.PyAtom(1.0, 2.0, 3.0, 6)
    with pytest.raises(AttributeError):
        atom.label = "carbon"
    with pytest.raises(AttributeError):
        atom.atomic_number = 7
    with pytest.raises(TypeError):
        weakref.ref(atom)
    assert atom.atomic_number == 6


# --- signatures and docstrings ----------------------------------------------------------------


def test_atom_class_signature_and_docstring():
    assert rs.PyAtom.__text_signature__ == "(x, y, z, atomic_number)"
    assert rs.PyAtom.__doc__.startswith("Python wrapper for Atom")
    assert list(inspect.signature(rs.PyAtom).parameters) == ["x", "y", "z", "atomic_number"]


@pytest.mark.parametrize(
    "method, text_signature, doc",
    [
        ("position", "($self)", "Get the position as a tuple (x, y, z)"),
        ("distance_to", "($self, other)", "Calculate distance to another atom"),
    ],
)
def test_atom_method_signatures_and_docstrings(method, text_signature, doc):
    function = getattr(rs.PyAtom, method)
    assert function.__text_signature__ == text_signature
    assert function.__doc__ == doc
    inspect.signature(function)  # must parse


def test_atomic_number_property_docstring():
    assert rs.PyAtom.atomic_number.__doc__ == "Get the atomic number"


def test_unpickle_function_signature_is_its_whole_docstring():
    function = rs._molecule_from_pickle_bytes
    assert function.__text_signature__ == "(payload)"
    assert function.__doc__ is None
    assert function.__module__ == "molarium._molarium_rs"
    assert list(inspect.signature(function).parameters) == ["payload"]


def test_internal_fault_class_is_not_a_member():
    assert not hasattr(rs, "PanicException")


# --- PyAtom: construction ---------------------------------------------------------------------


def test_coordinates_are_rounded_to_float32():
    atom = rs.PyAtom(0.1, 0.2, 1e39, 1)
    assert atom.position() == (0.10000000149011612, f32(0.2), math.inf)
    assert atom.position()[0] != 0.1


def test_arguments_bind_by_keyword_in_any_order():
    atom = rs.PyAtom(atomic_number=8, z=3, x=1, y=2)
    assert atom.position() == (1.0, 2.0, 3.0)
    assert atom.atomic_number == 8


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "coordinate, expected",
    [(3, 3.0), (True, 1.0), (Floaty(), 2.5), (np.float64(0.5), 0.5), (np.int32(-4), -4.0), (Indexy(), 7.0)],
)
def test_coordinates_accept_the_float_protocol(coordinate, expected):
    assert rs.PyAtom(coordinate, 0, 0, 1).position()[0] == expected


@pytest.mark.parametrize("number, expected", [(0, 0), (255, 255), (True, 1), (np.uint8(200), 200), (Indexy(), 7)])
def test_atomic_number_accepts_integers_in_range(number, expected):
    assert rs.PyAtom(0, 0, 0, number).atomic_number == expected


@pytest.mark.parametrize("number", [256, -1, 2**64, -(2**70)])
def test_atomic_number_out_of_range_is_overflow(number):
    with pytest.raises(OverflowError, match=r"^out of range integral type conversion attempted$"):
        rs.PyAtom(0, 0, 0, number)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1, 2), {}, "PyAtom() missing 2 required positional arguments: 'z' and 'atomic_number'"),
        ((1, 2, 3), {}, "PyAtom() missing 1 required positional argument: 'atomic_number'"),
        ((), {}, "PyAtom() missing 4 required positional arguments: 'x', 'y', 'z', and 'atomic_number'"),
        ((1, 2, 3, 4, 5), {}, "PyAtom() takes 4 positional arguments but 5 were given"),
        ((1, 2, 3, 4), {"w": 1}, "PyAtom() got an unexpected keyword argument 'w'"),
        ((1, 2, 3, 4), {"x": 1}, "PyAtom() got multiple values for argument 'x'"),
        (("a", 2, 3, 4), {}, "argument 'x': must be real number, not str"),
        ((1, None, 3, 4), {}, "argument 'y': must be real number, not NoneType"),
        ((1, 2, [3], 4), {}, "argument 'z': must be real number, not list"),
        ((1, 2, 3, 1.5), {}, "argument 'atomic_number': 'float' object cannot be interpreted as an integer"),
        ((1, 2, 3, "6"), {}, "argument 'atomic_number': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_constructor_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as caught:
        rs.PyAtom(*args, **kwargs)
    assert str(caught.value) == message


class FloatFails:
    def __float__(self):
        raise ValueError("no float here")


class FloatTypeFails:
    def __float__(self):
        raise TypeError("inner type failure")


def test_conversion_errors_other_than_type_errors_pass_unchanged():
    with pytest.raises(ValueError, match=r"^no float here$"):
        rs.PyAtom(FloatFails(), 0, 0, 1)


class FloatTypeFailsWithCause:
    def __float__(self):
        raise TypeError("inner type failure") from KeyError("root")


def test_type_error_raised_inside_a_conversion_is_prefixed():
    with pytest.raises(TypeError, match=r"^argument 'x': inner type failure$"):
        rs.PyAtom(FloatTypeFails(), 0, 0, 1)


def test_prefixed_type_error_keeps_the_original_cause():
    with pytest.raises(TypeError, match=r"^argument 'z': inner type failure$") as caught:
        rs.PyAtom(0, 0, FloatTypeFailsWithCause(), 1)
    assert isinstance(caught.value.__cause__, KeyError)


# --- PyAtom: text form ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, text",
    [
        (0.1, "0.1"),
        (1.0, "1"),
        (0.5, "0.5"),
        (-3.0, "-3"),
        (0.0, "0"),
        (-0.0, "-0"),
        (1e20, "100000000000000000000"),
        (1e-7, "0.0000001"),
        (16777217.0, "16777216"),
        (123456.789, "123456.79"),
        (3.4028234663852886e38, "340282350000000000000000000000000000000"),
        (1.401298464324817e-45, "0." + "0" * 44 + "1"),
        (math.nan, "NaN"),
        (-math.nan, "NaN"),
        (math.inf, "inf"),
        (-math.inf, "-inf"),
        (1e39, "inf"),
    ],
)
def test_repr_writes_the_shortest_float32_text_without_exponent(value, text):
    assert repr(rs.PyAtom(value, 0, 0, 1)) == f"Atom(x={text}, y=0, z=0, atomic_number=1)"


def test_repr_example_from_the_documentation():
    assert repr(rs.PyAtom(1.0, 2.5, -3.0, 6)) == "Atom(x=1, y=2.5, z=-3, atomic_number=6)"


def test_repr_agrees_with_numpys_shortest_positional_form():
    # NumPy's Dragon4 in unique mode is an independent implementation of "shortest round-trip".
    rng = np.random.default_rng(20240611)
    bits = rng.integers(0, 2**32, size=3000, dtype=np.uint64).astype(np.uint32)
    values = bits.view(np.float32)
    values = values[np.isfinite(values)]
    for x, y, z in values[: len(values) // 3 * 3].reshape(-1, 3):
        expected = [np.format_float_positional(v, unique=True, trim="-") for v in (x, y, z)]
        atom = rs.PyAtom(float(x), float(y), float(z), 250)
        assert repr(atom) == f"Atom(x={expected[0]}, y={expected[1]}, z={expected[2]}, atomic_number=250)"
        # And the text reads back as the same float32.
        assert [np.float32(text) for text in expected] == [x, y, z]


# --- PyAtom: position and distance ------------------------------------------------------------


def test_position_is_a_tuple_of_python_floats():
    position = rs.PyAtom(1, 2.5, -3, 6).position()
    assert type(position) is tuple
    assert [type(v) for v in position] == [float, float, float]
    assert position == (1.0, 2.5, -3.0)


def test_distance_is_computed_in_float32():
    origin = rs.PyAtom(0, 0, 0, 1)
    corner = rs.PyAtom(1, 1, 1, 1)
    d = origin.distance_to(corner)
    assert d == float(np.sqrt(np.float32(3.0)))
    assert d != math.sqrt(3.0)
    assert corner.distance_to(other=origin) == d


def test_distance_to_itself_is_zero():
    atom = rs.PyAtom(0.1, -7.25, 1e10, 3)
    assert atom.distance_to(atom) == 0.0


def test_distance_rounds_every_step_to_float32():
    # NumPy's float32 arithmetic rounds each operation on its own, with no fused multiply-add.
    rng = np.random.default_rng(7)
    points = (rng.standard_normal((500, 2, 3)) * rng.choice([1e-3, 1.0, 1e4], size=(500, 2, 1))).astype(np.float32)
    for a, b in points:
        d = a - b
        squares = d * d
        expected = np.sqrt((squares[0] + squares[1]) + squares[2])
        got = rs.PyAtom(*map(float, a), 1).distance_to(rs.PyAtom(*map(float, b), 1))
        assert got == float(expected)


@pytest.mark.parametrize("other", [5, None, "atom", (0.0, 0.0, 0.0)])
def test_distance_to_a_non_atom_is_a_type_error_naming_the_argument(other):
    with pytest.raises(TypeError, match=r"^argument 'other': '\w+' object cannot be converted to 'PyAtom'$"):
        rs.PyAtom(0, 0, 0, 1).distance_to(other)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda a: a.distance_to(), "PyAtom.distance_to() missing 1 required positional argument: 'other'"),
        (lambda a: a.distance_to(a, a), "PyAtom.distance_to() takes 1 positional argument but 2 were given"),
        (lambda a: a.distance_to(a, other=a), "PyAtom.distance_to() got multiple values for argument 'other'"),
        (lambda a: a.distance_to(atom=a), "PyAtom.distance_to() got an unexpected keyword argument 'atom'"),
        (lambda a: a.position(1), "PyAtom.position() takes no arguments (1 given)"),
    ],
)
def test_method_argument_errors(call, message):
    with pytest.raises(TypeError) as caught:
        call(rs.PyAtom(0, 0, 0, 1))
    assert str(caught.value) == message
