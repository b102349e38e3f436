"""Custom properties of PyMolecule: scopes, their rules and messages, and reads from views."""

import struct

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

N = 4
NUMERIC_ONLY = "Atom property '{}' must be a numeric ndarray with first dimension equal to atom count ({})"
FIRST_DIMENSION = "Atom property '{}' first dimension ({}) doesn't match atom count ({})"
BOTH_SCOPES = "Property '{}' exists in both molecule and atom scopes"
RESERVED = "'stress' is a reserved field; use molecule.stress instead"


def molecule(n=N, dtype=np.float64):
    return PyMolecule(np.arange(n * 3, dtype=dtype).reshape(n, 3), np.arange(1, n + 1, dtype=np.uint8))


def stored_views(tmp_path, molecules, mmap=True, compression="none"):
    path = tmp_path / f"props-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path), compression)
    db.add_molecules(molecules)
    db.flush()
    return PyAtomDatabase.open(str(path), mmap=mmap).get_molecules(list(range(len(molecules))))


def stored_view(tmp_path, mol, mmap=True):
    return stored_views(tmp_path, [mol], mmap)[0]


def is_view(tmp_path, mol):
    """add_molecules stores views before owned molecules: put an owned marker of another size first."""
    marker = molecule(len(mol) + 1, mol.positions.dtype)
    path = tmp_path / f"probe-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecules([marker, mol])
    return len(db[0]) == len(mol)


def both_scopes_payload(key=b"k"):
    """A pickle payload of a 2-atom float64 molecule holding `key` in both scopes: atom scope the
    float64 array [1.5, 2.5], molecule scope the float 7.0."""
    u32 = lambda v: struct.pack("<I", v)  # noqa: E731
    u64 = lambda v: struct.pack("<Q", v)  # noqa: E731
    text = lambda b: u64(len(b)) + b  # noqa: E731
    out = b"\x00"  # no name
    out += u32(1) + u64(2) + struct.pack("<6d", 0, 0, 0, 1, 1, 1)  # float64 positions
    out += u64(2) + b"\x01\x08"  # atomic numbers
    out += b"\x00" * 7  # forces, energy, charges, velocities, cell, pbc, stress
    out += u64(1) + text(key) + u32(4) + u64(2) + struct.pack("<2d", 1.5, 2.5)  # atom scope
    out += u64(1) + text(key) + u32(1) + struct.pack("<d", 7.0)  # molecule scope
    return out


@pytest.fixture(params=["owned", "mapped", "in-memory"])
def where(request, tmp_path):
    """Puts a molecule where the test reads it: as it is, or stored and viewed."""

    def place(mol):
        if request.param == "owned":
            return mol
        return stored_view(tmp_path, mol, mmap=request.param == "mapped")

    place.kind = request.param
    return place


# --- scope of a new key ---------------------------------------------------------------------------


def test_an_unscoped_new_key_goes_to_the_molecule_scope(where):
    mol = molecule()
    mol.set_property("energy_ref", 1.25)
    mol = where(mol)
    assert mol.has_property("energy_ref")
    assert mol.has_property("energy_ref", scope="molecule")
    assert not mol.has_property("energy_ref", scope="atom")
    assert mol.property_keys(scope="molecule") == ["energy_ref"]
    assert mol.property_keys(scope="atom") == []
    assert mol.get_property("energy_ref") == 1.25


def test_atom_scope_first_dimension_is_checked_against_the_atom_count():
    mol = molecule()
    mol.set_property("q", np.arange(N, dtype=np.float64), scope="atom")
    assert mol.property_keys(scope="atom") == ["q"]
    with pytest.raises(ValueError) as info:
        mol.set_property("q", np.arange(N - 1, dtype=np.float64), scope="atom")
    assert str(info.value) == FIRST_DIMENSION.format("q", N - 1, N)
    np.testing.assert_array_equal(mol.get_property("q"), np.arange(N, dtype=np.float64))
    # An unscoped set keeps the key in the atom scope, with that scope's rules.
    with pytest.raises(ValueError) as info:
        mol.set_property("q", 2.0)
    assert str(info.value) == NUMERIC_ONLY.format("q", N)
    mol.set_property("q", np.ones(N, dtype=np.int32))
    assert mol.get_property("q").dtype == np.int32
    assert mol.property_keys(scope="atom") == ["q"]


@pytest.mark.parametrize(
    "value, text",
    [
        (np.ones((N, 4, 4)), None),
        (np.ones((N, 3), dtype=np.float32), None),
        (np.ones((N, 3), dtype=np.int64), None),
        (np.ones((N + 1, 4, 4)), FIRST_DIMENSION.format("t", N + 1, N)),
        (np.zeros((0, 3)), FIRST_DIMENSION.format("t", 0, N)),
        # A zero-dimensional array is taken as the scalar it holds.
        (np.array(3.0, dtype=np.float64), NUMERIC_ONLY.format("t", N)),
        (np.array(3, dtype=np.int64), NUMERIC_ONLY.format("t", N)),
        (1.0, NUMERIC_ONLY.format("t", N)),
        (7, NUMERIC_ONLY.format("t", N)),
        ("text", NUMERIC_ONLY.format("t", N)),
        (None, NUMERIC_ONLY.format("t", N)),
    ],
    ids=lambda v: getattr(v, "shape", v).__repr__() if not isinstance(v, str) or "'" not in v else "msg",
)
def test_atom_scope_shapes(value, text):
    mol = molecule()
    if text is None:
        mol.set_property("t", value, scope="atom")
        np.testing.assert_array_equal(mol.get_property("t"), value)
        assert mol.get_property("t").shape == value.shape
        return
    with pytest.raises(ValueError) as info:
        mol.set_property("t", value, scope="atom")
    assert str(info.value) == text
    assert not mol.has_property("t")


def test_a_key_cannot_move_between_scopes_until_it_is_deleted():
    mol = molecule()
    mol.set_property("a", np.zeros(N), scope="atom")
    with pytest.raises(ValueError) as info:
        mol.set_property("a", 1.0, scope="molecule")
    assert str(info.value) == (
        "Property 'a' already exists as an atom property; delete it before setting molecule scope"
    )
    mol.delete_property("a")
    mol.set_property("a", 1.0, scope="molecule")
    assert mol.property_keys(scope="molecule") == ["a"]

    mol.set_property("m", np.zeros(N))
    with pytest.raises(ValueError) as info:
        mol.set_property("m", np.zeros(N), scope="atom")
    assert str(info.value) == (
        "Property 'm' already exists as a molecule property; delete it before setting atom scope"
    )
    # The molecule scope takes any value kind, whatever its length.
    mol.set_property("m", np.zeros(N + 3))
    assert mol.get_property("m").shape == (N + 3,)


@pytest.mark.parametrize("scope", [None, "molecule", "atom"])
def test_stress_is_refused_in_every_scope(scope):
    mol = molecule()
    with pytest.raises(ValueError) as info:
        mol.set_property("stress", np.zeros(N), scope=scope)
    assert str(info.value) == RESERVED
    assert not mol.has_property("stress")
    mol.set_property("Stress", np.zeros(N), scope=scope)
    assert mol.property_keys() == ["Stress"]


@pytest.mark.parametrize("text", ["Atom", "molecules", "", "atom ", "MOLECULE", "ato"])
def test_a_scope_other_than_the_two_words_is_refused_and_quoted(text):
    mol = molecule()
    message = f"scope must be 'molecule' or 'atom', got '{text}'"
    for call in (
        lambda: mol.set_property("k", 1.0, scope=text),
        lambda: mol.has_property("k", scope=text),
        lambda: mol.property_keys(scope=text),
    ):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == message
    assert mol.property_keys() == []


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda m: m.set_property(1, 1.0), "key"),
        (lambda m: m.set_property(b"k", 1.0), "key"),
        (lambda m: m.set_property("k", 1.0, scope=1), "scope"),
        (lambda m: m.get_property(None), "key"),
        (lambda m: m.has_property(3), "key"),
        (lambda m: m.has_property("k", scope=b"atom"), "scope"),
        (lambda m: m.property_keys(scope=0), "scope"),
        (lambda m: m.delete_property(1.5), "key"),
    ],
)
def test_a_key_or_scope_of_another_type_is_a_type_error_naming_the_argument(call, argument):
    with pytest.raises(TypeError) as info:
        call(molecule())
    assert str(info.value).startswith(f"argument '{argument}': ")


def test_argument_binding():
    mol = molecule()
    mol.set_property(key="k", value=2)
    assert mol.get_property(key="k") == 2
    assert mol.has_property(key="k", scope=None)
    with pytest.raises(TypeError):
        mol.set_property("k", 1, "atom")  # scope is keyword-only
    with pytest.raises(TypeError):
        mol.property_keys("atom")
    with pytest.raises(TypeError):
        mol.get_property()
    with pytest.raises(TypeError):
        mol.delete_property("k", scope="atom")


def test_text_signatures():
    assert PyMolecule.get_property.__text_signature__ == "($self, key)"
    assert PyMolecule.set_property.__text_signature__ == "($self, key, value, *, scope=None)"
    assert PyMolecule.property_keys.__text_signature__ == "($self, *, scope=None)"
    assert PyMolecule.has_property.__text_signature__ == "($self, key, *, scope=None)"
    assert PyMolecule.delete_property.__text_signature__ == "($self, key)"
    assert PyMolecule.get_property.__doc__.endswith("Get a custom property by key")
    assert PyMolecule.delete_property.__doc__.endswith("Delete a custom property by key.")


# --- property_keys order --------------------------------------------------------------------------


def test_property_keys_are_sorted_by_utf8_bytes(where):
    mol = molecule()
    for key in ["b", "a", "B", "ab", "é", "z", "Z9"]:
        mol.set_property(key, 0)
    mol.set_property("atom_b", np.zeros(N), scope="atom")
    mol.set_property("atom_A", np.zeros(N), scope="atom")
    mol = where(mol)
    # "é" is C3 A9 in UTF-8, after every ASCII byte; a prefix sorts first.
    assert mol.property_keys() == ["B", "Z9", "a", "ab", "atom_A", "atom_b", "b", "z", "é"]
    assert mol.property_keys(scope="atom") == ["atom_A", "atom_b"]
    assert mol.property_keys(scope="molecule") == ["B", "Z9", "a", "ab", "b", "z", "é"]


# --- a key in both scopes -------------------------------------------------------------------------


def retyped_key_view(tmp_path, mol, old, new, mmap):
    """Stores mol, then renames its section key `old` to `new` inside the record bytes (the database
    itself refuses a key in both scopes, so such a record is made by hand)."""
    path = tmp_path / f"renamed-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecule(mol)
    db.flush()
    del db
    data = bytearray(path.read_bytes())
    at = data.index(old, 8192)
    data[at : at + len(old)] = new
    path.write_bytes(bytes(data))
    return PyAtomDatabase.open(str(path), mmap=mmap)[0]


@pytest.fixture(params=["owned", "mapped", "in-memory"])
def both_scopes(request, tmp_path):
    """A molecule holding "k" in both scopes: atom scope [1.5, 2.5], molecule scope 7.0."""
    if request.param == "owned":
        return _molecule_from_pickle_bytes(both_scopes_payload())
    mol = PyMolecule(np.zeros((2, 3)), np.array([1, 8], dtype=np.uint8))
    mol.set_property("k", np.array([1.5, 2.5]), scope="atom")
    mol.set_property("j", 7.0)
    return retyped_key_view(tmp_path, mol, b"\x02\x01j", b"\x02\x01k", request.param == "mapped")


def test_a_key_in_both_scopes(both_scopes):
    mol = both_scopes
    with pytest.raises(ValueError) as info:
        mol.get_property("k")
    assert str(info.value) == BOTH_SCOPES.format("k")
    with pytest.raises(ValueError) as info:
        mol["k"]
    assert str(info.value) == BOTH_SCOPES.format("k")
    assert mol.has_property("k")
    assert mol.has_property("k", scope="atom")
    assert mol.has_property("k", scope="molecule")
    assert mol.property_keys() == ["k", "k"]
    assert mol.property_keys(scope="atom") == ["k"]
    with pytest.raises(ValueError) as info:
        mol.set_property("k", 1.0)
    assert str(info.value) == BOTH_SCOPES.format("k")
    mol.delete_property("k")
    assert mol.property_keys() == []
    assert not mol.has_property("k")
    with pytest.raises(KeyError):
        mol.get_property("k")


def test_a_key_in_both_scopes_cannot_be_stored(tmp_path):
    mol = _molecule_from_pickle_bytes(both_scopes_payload())
    db = PyAtomDatabase(str(tmp_path / "both.mol"))
    with pytest.raises(ValueError) as info:
        db.add_molecule(mol)
    assert "'k'" in str(info.value)
    assert len(db) == 0


# --- reading ------------------------------------------------------------------------------------


def every_kind(n=N, dtype=np.float64):
    mol = molecule(n, dtype)
    molecule_scope = {
        "none": None,
        "float": -2.5,
        "int": -(2**62),
        "text": "héllo",
        "f64": np.linspace(0, 1, 5),
        "f32": np.arange(3, dtype=np.float32),
        "i64": np.array([2**40, -1], dtype=np.int64),
        "i32": np.array([-7, 8, 9], dtype=np.int32),
        "xyz32": np.arange(6, dtype=np.float32).reshape(2, 3),
        "xyz64": np.arange(6, dtype=np.float64).reshape(2, 3) / 7,
        "t64": np.arange(24, dtype=np.float64).reshape(2, 3, 4),
        "ti32": np.arange(6, dtype=np.int32).reshape(3, 2),
        "ti64": np.arange(8, dtype=np.int64).reshape(2, 2, 2),
        "tf32": np.arange(4, dtype=np.float32).reshape(1, 4),
    }
    atom_scope = {
        "a_f64": np.arange(n, dtype=np.float64) / 3,
        "a_f32": np.arange(n, dtype=np.float32),
        "a_i64": np.arange(n, dtype=np.int64),
        "a_i32": np.arange(n, dtype=np.int32),
        "a_xyz32": np.ones((n, 3), dtype=np.float32),
        "a_xyz64": np.full((n, 3), 0.1),
        "a_tensor": np.arange(n * 6, dtype=np.float32).reshape(n, 2, 3),
        "a_tensor_i": np.arange(n * 2, dtype=np.int64).reshape(n, 2),
    }
    for key, value in molecule_scope.items():
        mol.set_property(key, value)
    for key, value in atom_scope.items():
        mol.set_property(key, value, scope="atom")
    return mol, {**molecule_scope, **atom_scope}


def assert_same_value(got, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray)
        assert got.dtype == expected.dtype
        assert got.shape == expected.shape
        np.testing.assert_array_equal(got, expected)
    else:
        assert type(got) is type(expected)
        assert got == expected


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_every_value_kind_reads_the_same_everywhere(where, dtype):
    mol, values = every_kind(N, dtype)
    mol = where(mol)
    assert mol.property_keys() == sorted(values, key=lambda k: k.encode())
    for key, expected in values.items():
        assert_same_value(mol.get_property(key), expected)
        assert_same_value(mol[key], expected)
        assert mol.has_property(key)


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
@pytest.mark.parametrize("mmap", [True, False])
def test_views_read_like_their_owned_copies_and_stay_views(tmp_path, compression, mmap):
    originals = [every_kind(n)[0] for n in range(0, 6)]
    views = stored_views(tmp_path, originals, mmap=mmap, compression=compression)
    for view in views:
        owned = view.to_owned()
        for key in owned.property_keys():
            first, second = view.get_property(key), view.get_property(key)
            assert_same_value(first, owned.get_property(key))
            if isinstance(first, np.ndarray):
                assert first is not second
                assert not np.shares_memory(first, second)
                assert first.flags.writeable and first.flags.c_contiguous
        view.has_property("a_f64", scope="atom")
        view.property_keys()
        assert is_view(tmp_path, view)


def test_returned_arrays_are_independent_of_the_molecule():
    mol, _ = every_kind()
    first = mol.get_property("a_tensor")
    first[...] = -1
    np.testing.assert_array_equal(mol.get_property("a_tensor"), np.arange(N * 6, dtype=np.float32).reshape(N, 2, 3))
    source = np.arange(N, dtype=np.float64)
    mol.set_property("copied", source, scope="atom")
    source[:] = 99
    np.testing.assert_array_equal(mol.get_property("copied"), np.arange(N, dtype=np.float64))


def test_missing_keys_raise_key_error(where):
    mol = where(molecule())
    with pytest.raises(KeyError) as info:
        mol.get_property("nope")
    assert info.value.args == ("Property 'nope' not found",)
    with pytest.raises(KeyError) as info:
        mol["nope"]
    assert info.value.args == ("Property 'nope' not found",)
    assert not mol.has_property("nope")
    assert mol.property_keys() == []


# --- materialisation ----------------------------------------------------------------------------


def test_set_property_materialises_a_view_and_survives_storing(tmp_path):
    mol = molecule()
    mol.set_property("x", 1.0)
    view = stored_view(tmp_path, mol)
    view.set_property("y", np.arange(N, dtype=np.int32), scope="atom")
    assert not is_view(tmp_path, view)
    again = stored_view(tmp_path, view)
    assert again.get_property("x") == 1.0
    np.testing.assert_array_equal(again.get_property("y"), np.arange(N, dtype=np.int32))


@pytest.mark.parametrize(
    "call, exception",
    [
        (lambda m: m.set_property("k", 1.0, scope="Atom"), ValueError),
        (lambda m: m.set_property("stress", 1.0), ValueError),
        (lambda m: m.set_property("k", [1.0]), ValueError),
        (lambda m: m.set_property(1, 1.0), TypeError),
    ],
)
def test_refusals_before_materialisation_leave_a_view_a_view(tmp_path, call, exception):
    view = stored_view(tmp_path, molecule())
    with pytest.raises(exception):
        call(view)
    assert is_view(tmp_path, view)


@pytest.mark.parametrize(
    "call, exception",
    [
        (lambda m: m.set_property("k", 1.0, scope="atom"), ValueError),
        (lambda m: m.set_property("m", 1.0, scope="atom"), ValueError),
        (lambda m: m.set_property("q", np.zeros(N + 1), scope="atom"), ValueError),
        (lambda m: m.delete_property("missing"), KeyError),
    ],
)
def test_refusals_after_materialisation_leave_the_molecule_owned_and_unchanged(tmp_path, call, exception):
    mol = molecule()
    mol.set_property("m", 2.0)
    mol.set_property("q", np.ones(N), scope="atom")
    view = stored_view(tmp_path, mol)
    with pytest.raises(exception):
        call(view)
    assert not is_view(tmp_path, view)
    assert view.property_keys() == ["m", "q"]
    assert view.get_property("m") == 2.0
    np.testing.assert_array_equal(view.get_property("q"), np.ones(N))


def test_a_refused_set_keeps_the_old_value():
    mol = molecule()
    mol.set_property("k", "old")
    with pytest.raises(ValueError):
        mol.set_property("k", np.zeros(3, dtype=np.float16))
    assert mol.get_property("k") == "old"


def test_setting_stress_removes_a_molecule_scope_stress_property():
    payload = both_scopes_payload(b"stress")
    mol = _molecule_from_pickle_bytes(payload)
    mol.stress = np.eye(3)
    assert mol.property_keys() == ["stress"]
    assert mol.has_property("stress", scope="atom")
    assert not mol.has_property("stress", scope="molecule")


# --- damaged sections -----------------------------------------------------------------------------


def record_with_property(tmp_path, tag, payload, key=b"p", kind=2):
    """A database file whose single record is written out here by hand: one float32 atom and one
    custom section of the given kind, type tag and payload; opened without a mapping."""
    mol = molecule(1, np.float32)
    mol.set_property(key.decode(), 0.0)
    path = tmp_path / f"handmade-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecule(mol)
    db.flush()
    data = bytearray(path.read_bytes())
    # The record starts at 8192: u32 atom count, 12 bytes of positions, 1 atomic number, then
    # sections: u8 kind, u8 key length, key, u8 tag, u32 payload length, payload.
    section = 8192 + 4 + 12 + 1 + 2  # after the u16 section count
    assert data[section + 2 : section + 2 + len(key)] == key
    assert data[section] == 2
    tag_at = section + 2 + len(key)
    assert data[tag_at] == 0 and struct.unpack_from("<I", data, tag_at + 1)[0] == 8
    data[section] = kind
    data[tag_at] = tag
    # The new payload takes the 8 bytes of the old one; shorter payloads leave trailing bytes.
    assert len(payload) <= 8
    struct.pack_into("<I", data, tag_at + 1, len(payload))
    data[tag_at + 5 : tag_at + 5 + len(payload)] = payload
    path.write_bytes(bytes(data))
    return PyAtomDatabase.open(str(path), mmap=False)[0]


@pytest.mark.parametrize(
    "tag, payload, text",
    [
        (0, b"\x00" * 4, "Invalid f64 payload length"),
        (1, b"\x00" * 7, "Invalid i64 payload length"),
        (2, b"\xff\xfe", "Invalid UTF-8 in string property"),
        (4, b"\x00" * 8, "Invalid vec3<f32> payload length"),
        (7, b"\x00" * 8, "Invalid vec3<f64> payload length"),
        (13, b"\x00", "Null property payload must be empty"),
        (9, b"\x00\x00\x00", "Unsupported property type tag 9"),
        (12, b"", "Unsupported property type tag 12"),
        (200, b"", "Unsupported property type tag 200"),
        (3, b"\x00" * 5, "Byte length 5 is not a multiple of element size 8"),
    ],
)
def test_damaged_property_sections_are_value_errors(tmp_path, tag, payload, text):
    view = record_with_property(tmp_path, tag, payload)
    with pytest.raises(ValueError) as info:
        view.get_property("p")
    assert str(info.value) == text
    assert view.has_property("p")


def test_hand_written_sections_read_back(tmp_path):
    assert record_with_property(tmp_path, 13, b"").get_property("p") is None
    assert record_with_property(tmp_path, 2, "é".encode()).get_property("p") == "é"
    got = record_with_property(tmp_path, 8, struct.pack("<2i", -1, 5)).get_property("p")
    assert got.dtype == np.int32 and got.tolist() == [-1, 5]


def test_sections_of_other_kinds_are_not_properties(tmp_path):
    view = record_with_property(tmp_path, 0, struct.pack("<d", 1.0), kind=3)
    assert view.property_keys() == []
    assert not view.has_property("p")
    with pytest.raises(KeyError):
        view.get_property("p")


def test_a_key_that_is_not_utf8_fails_the_lookup(tmp_path):
    view = record_with_property(tmp_path, 0, struct.pack("<d", 1.0), key=b"p")
    path = tmp_path / "handmade-0.mol"
    data = bytearray(path.read_bytes())
    data[8192 + 4 + 12 + 1 + 2 + 2] = 0xFF
    path.write_bytes(bytes(data))
    del view
    view = PyAtomDatabase.open(str(path), mmap=False)[0]
    for call in (lambda: view.property_keys(), lambda: view.get_property("p"), lambda: view.has_property("p")):
        with pytest.raises(ValueError) as info:
            call()
        assert str(info.value) == "Invalid UTF-8 in section key"
