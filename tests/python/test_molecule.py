"""PyMolecule: construction, built-in fields of owned and view-backed molecules, indexing, atoms."""

import gc
import weakref

import numpy as np
import pytest

from molarium._molarium_rs import PyAtom, PyAtomDatabase, PyMolecule

FLOATS = [np.float32, np.float64]
SETTABLE = ["forces", "energy", "charges", "velocities", "cell", "stress", "pbc"]
ARRAY_FIELDS = ["positions", "atomic_numbers", "forces", "velocities", "charges", "cell", "stress"]


def f32(value):
    """The float32 nearest to value, widened back to a Python float (NumPy's rounding)."""
    return float(np.float32(value))


def fields_of(n, dtype, seed=0):
    base = np.arange(n * 3, dtype=dtype).reshape(n, 3) / 4 + seed
    return {
        "positions": base,
        "atomic_numbers": (np.arange(n) + 1 + seed).astype(np.uint8),
        "energy": -2.25 - seed,
        "forces": base * -2,
        "charges": (np.arange(n) / 2 - 1).astype(dtype),
        "velocities": base * 3,
        "cell": (np.eye(3) * 12 + seed).astype(dtype),
        "stress": (np.arange(9).reshape(3, 3) / 3).astype(dtype),
        "pbc": (True, False, True),
    }


def build(fields, constructor=PyMolecule):
    extra = {key: value for key, value in fields.items() if key not in ("positions", "atomic_numbers")}
    return constructor(fields["positions"], fields["atomic_numbers"], **extra)


def plain(n=3, dtype=np.float32):
    fields = fields_of(n, dtype)
    return PyMolecule(fields["positions"], fields["atomic_numbers"])


def assert_fields(molecule, fields):
    for name in ARRAY_FIELDS:
        got = getattr(molecule, name)
        if fields.get(name) is None:
            assert got is None, name
            continue
        assert got.dtype == np.asarray(fields[name]).dtype, name
        np.testing.assert_array_equal(got, fields[name], err_msg=name)
    assert molecule.energy == fields.get("energy")
    assert molecule.pbc == fields.get("pbc")


def stored_views(tmp_path, molecules, compression="none", mmap=True):
    path = tmp_path / f"views-{compression}-{mmap}-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path), compression)
    db.add_molecules(molecules)
    db.flush()
    return PyAtomDatabase.open(str(path), mmap=mmap).get_molecules(list(range(len(molecules))))


def stored_view(tmp_path, molecule, compression="none", mmap=True):
    return stored_views(tmp_path, [molecule], compression, mmap)[0]


def stored_order(tmp_path, first, second):
    """The energies in the order add_molecules stores [first, second]; views go before owned ones."""
    path = tmp_path / f"order-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecules([first, second])
    return [db[0].energy, db[1].energy]


# --- construction -------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("constructor", [PyMolecule, PyMolecule.from_arrays])
def test_construction_keeps_every_field_in_its_width(dtype, constructor):
    fields = fields_of(4, dtype)
    molecule = build(fields, constructor)
    assert type(molecule) is PyMolecule
    assert_fields(molecule, fields)
    assert len(molecule) == 4


def test_optional_fields_default_to_absent():
    molecule = plain()
    for name in SETTABLE:
        assert getattr(molecule, name) is None
    explicit = PyMolecule(
        fields_of(3, np.float32)["positions"],
        fields_of(3, np.float32)["atomic_numbers"],
        energy=None,
        forces=None,
        charges=None,
        velocities=None,
        cell=None,
        stress=None,
        pbc=None,
        name=None,
    )
    for name in SETTABLE:
        assert getattr(explicit, name) is None


def test_positions_and_atomic_numbers_by_keyword_and_a_name():
    fields = fields_of(2, np.float64)
    molecule = PyMolecule.from_arrays(
        atomic_numbers=fields["atomic_numbers"], positions=fields["positions"], name="water"
    )
    assert_fields(molecule, {"positions": fields["positions"], "atomic_numbers": fields["atomic_numbers"]})


@pytest.mark.parametrize("energy, expected", [(2, 2.0), (np.float32(1.5), 1.5), (np.int64(-3), -3.0)])
def test_energy_takes_the_float_protocol(energy, expected):
    class Quantity:
        def __float__(self):
            return 7.25

    fields = fields_of(2, np.float32)
    assert PyMolecule(fields["positions"], fields["atomic_numbers"], energy=energy).energy == expected
    assert PyMolecule(fields["positions"], fields["atomic_numbers"], energy=Quantity()).energy == 7.25


def test_inputs_with_any_strides_are_copied_in_logical_order():
    big = np.arange(60, dtype=np.float64).reshape(10, 6) / 3
    positions = big[::-3, 1:6:2]  # reversed, strided rows and columns: (4, 3)
    numbers = np.arange(20, dtype=np.uint8)[::-5]  # 4 entries, stride -5
    forces = np.asfortranarray(big[:4, :3] * 2)  # column-major
    velocities = big[:4, ::-2]  # (4, 3), negative column stride
    charges = np.arange(8, dtype=np.float32)[::-2]
    cell = (np.arange(9, dtype=np.float32).reshape(3, 3) + 1).T  # transposed view
    stress = np.arange(18, dtype=np.float64).reshape(3, 6)[:, ::2]
    molecule = PyMolecule(
        positions, numbers, forces=forces, velocities=velocities, charges=charges, cell=cell, stress=stress
    )
    expected = {
        "positions": np.ascontiguousarray(positions),
        "atomic_numbers": np.ascontiguousarray(numbers),
        "forces": np.ascontiguousarray(forces),
        "velocities": np.ascontiguousarray(velocities),
        "charges": np.ascontiguousarray(charges),
        "cell": np.ascontiguousarray(cell),
        "stress": np.ascontiguousarray(stress),
    }
    assert_fields(molecule, expected)
    # Strided values through the setters too.
    molecule.forces = velocities
    molecule.cell = cell.T
    np.testing.assert_array_equal(molecule.forces, np.ascontiguousarray(velocities))
    np.testing.assert_array_equal(molecule.cell, np.ascontiguousarray(cell.T))


def test_a_molecule_keeps_its_own_copy_of_the_inputs():
    fields = fields_of(3, np.float32)
    inputs = {key: value.copy() if isinstance(value, np.ndarray) else value for key, value in fields.items()}
    molecule = build(inputs)
    for name in ARRAY_FIELDS:
        inputs[name][...] = 0
    assert_fields(molecule, fields)


@pytest.mark.parametrize(
    "change, exception, text",
    [
        (dict(atomic_numbers=[1, 2, 3]), TypeError, "^argument 'atomic_numbers': "),
        (dict(atomic_numbers=np.array([1, 2, 3], dtype=np.int64)), TypeError, "^argument 'atomic_numbers': "),
        (dict(atomic_numbers=np.ones((3, 1), dtype=np.uint8)), TypeError, "^argument 'atomic_numbers': "),
        (dict(energy="1.0"), TypeError, "^argument 'energy': "),
        (dict(pbc=[True, True, True]), TypeError, "^argument 'pbc': "),
        (dict(pbc=(1, 0, 1)), TypeError, "^argument 'pbc': "),
        (dict(pbc=(True, False)), ValueError, r"^expected tuple of length 3, but got tuple of length 2$"),
        (dict(name=5), TypeError, "^argument 'name': "),
        (dict(positions=[[0.0, 0.0, 0.0]] * 3), ValueError,
         r"^positions must be a float32 or float64 ndarray with shape \(n_atoms, 3\)$"),
        (dict(positions=np.zeros((3, 2), np.float32)), ValueError, r"^positions must have shape \(n, 3\)$"),
        (dict(positions=np.zeros((3, 3), np.int64)), ValueError, "^positions must be a float32 or float64"),
        (dict(atomic_numbers=np.ones(2, np.uint8)), ValueError,
         r"^Atomic numbers length \(2\) doesn't match atom count \(3\)$"),
        (dict(forces=np.zeros((2, 3), np.float32)), ValueError, r"^forces must have shape \(3, 3\)$"),
        (dict(forces=[[0.0] * 3] * 3), ValueError,
         r"^forces must be a float32 or float64 ndarray with shape \(3, 3\)$"),
        (dict(velocities=np.zeros((3, 4), np.float64)), ValueError, r"^velocities must have shape \(3, 3\)$"),
        (dict(charges=np.zeros(4, np.float32)), ValueError,
         r"^charges length \(4\) doesn't match atom count \(3\)$"),
        (dict(charges=np.zeros(3, np.int32)), ValueError,
         r"^charges must be a float32 or float64 ndarray with shape \(3,\)$"),
        (dict(cell=np.zeros((3, 4), np.float64)), ValueError, r"^cell must have shape \(3, 3\)$"),
        (dict(stress=np.zeros((3, 3), np.int64)), ValueError,
         r"^stress must be a float32 or float64 ndarray with shape \(3, 3\)$"),
    ],
)
def test_construction_refusals(change, exception, text):
    fields = fields_of(3, np.float32)
    fields.update(change)
    for constructor in (PyMolecule, PyMolecule.from_arrays):
        with pytest.raises(exception, match=text):
            build(fields, constructor)


def test_the_first_failing_conversion_is_reported():
    fields = fields_of(3, np.float32)
    # atomic_numbers, energy, pbc and name are converted in that order, before any array field.
    with pytest.raises(TypeError, match="atomic_numbers"):
        PyMolecule(fields["positions"], [1, 2, 3], energy="x", forces="bad")
    with pytest.raises(TypeError, match="energy"):
        PyMolecule(fields["positions"], fields["atomic_numbers"], energy="x", pbc="bad", forces="bad")
    with pytest.raises(TypeError, match="pbc"):
        PyMolecule(fields["positions"], fields["atomic_numbers"], pbc="bad", name=1, forces="bad")
    with pytest.raises(ValueError, match="^forces"):
        PyMolecule(fields["positions"], fields["atomic_numbers"], forces="bad", cell="bad")


@pytest.mark.parametrize(
    "call",
    [
        lambda p, z: PyMolecule(p),
        lambda p, z: PyMolecule(p, z, None),
        lambda p, z: PyMolecule(p, z, charge=None),
        lambda p, z: PyMolecule(p, z, positions=p),
        lambda p, z: PyMolecule.from_arrays(p, z, 1.0),
        lambda p, z: PyMolecule.from_arrays(atomic_numbers=z),
    ],
)
def test_argument_binding_refusals(call):
    fields = fields_of(3, np.float32)
    with pytest.raises(TypeError):
        call(fields["positions"], fields["atomic_numbers"])


def test_numpy_bool_scalars_are_taken_for_pbc():
    fields = fields_of(2, np.float32)
    molecule = PyMolecule(fields["positions"], fields["atomic_numbers"], pbc=(np.True_, np.False_, np.bool_(True)))
    assert molecule.pbc == (True, False, True)
    assert all(type(flag) is bool for flag in molecule.pbc)


# --- getters -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", FLOATS)
def test_every_getter_returns_a_new_writable_array_that_shares_nothing(dtype):
    fields = fields_of(3, dtype)
    molecule = build(fields)
    for name in ARRAY_FIELDS:
        first = getattr(molecule, name)
        second = getattr(molecule, name)
        assert first is not second
        assert first.flags.writeable and first.flags.c_contiguous
        assert not np.shares_memory(first, second)
        assert not np.shares_memory(first, fields[name])
        first[...] = 0
        np.testing.assert_array_equal(getattr(molecule, name), fields[name])


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("compression, mmap", [("none", True), ("zstd", True), ("lz4", False)])
def test_a_view_reads_the_same_fields(tmp_path, dtype, compression, mmap):
    fields = fields_of(5, dtype, seed=1)
    view = stored_view(tmp_path, build(fields), compression, mmap)
    assert_fields(view, fields)
    assert len(view) == 5
    for name in ARRAY_FIELDS:
        first = getattr(view, name)
        assert first.flags.writeable and first.flags.c_contiguous
        first[...] = 0
        assert not np.shares_memory(first, getattr(view, name))
    assert_fields(view, fields)


def test_a_view_of_a_molecule_without_optional_fields(tmp_path):
    view = stored_view(tmp_path, plain(2))
    for name in SETTABLE:
        assert getattr(view, name) is None
    assert repr(view) == "Molecule(n_atoms=2, has_forces=false, has_energy=false)"


# --- setters -----------------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("on_view", [False, True])
def test_every_setter_stores_its_value(tmp_path, dtype, on_view):
    molecule = plain(3, np.float32)
    if on_view:
        molecule = stored_view(tmp_path, molecule)
    new = fields_of(3, dtype, seed=5)
    for name in ["forces", "charges", "velocities", "cell", "stress", "energy", "pbc"]:
        setattr(molecule, name, new[name])
    expected = dict(new, positions=fields_of(3, np.float32)["positions"],
                    atomic_numbers=fields_of(3, np.float32)["atomic_numbers"])
    assert_fields(molecule, expected)
    molecule.energy = np.float32(0.5)
    assert molecule.energy == 0.5 and type(molecule.energy) is float


def test_none_clears_energy_and_pbc():
    molecule = build(fields_of(3, np.float32))
    molecule.energy = None
    molecule.pbc = None
    assert molecule.energy is None and molecule.pbc is None
    assert repr(molecule) == "Molecule(n_atoms=3, has_forces=true, has_energy=false)"


@pytest.mark.parametrize(
    "name, value, exception, text",
    [
        ("forces", None, ValueError, r"^Forces must be a float32 or float64 ndarray with shape \(3, 3\)$"),
        ("forces", np.zeros((2, 3), np.float32), ValueError, r"^Forces must have shape \(3, 3\)$"),
        ("velocities", np.zeros((3, 3), np.float16), ValueError,
         r"^Velocities must be a float32 or float64 ndarray with shape \(3, 3\)$"),
        ("velocities", np.zeros((3, 2), np.float64), ValueError, r"^Velocities must have shape \(3, 3\)$"),
        ("charges", None, ValueError, r"^Charges must be a float32 or float64 ndarray with shape \(3,\)$"),
        ("charges", np.zeros(2, np.float64), ValueError, r"^Charges length \(2\) doesn't match atom count \(3\)$"),
        ("cell", np.zeros((3, 3), np.int64), ValueError,
         r"^Cell must be a float32 or float64 ndarray with shape \(3, 3\)$"),
        ("cell", np.zeros((3, 4), np.float32), ValueError, r"^Cell must have shape \(3, 3\)$"),
        ("stress", [[0.0] * 3] * 3, ValueError, r"^Stress must be a float32 or float64 ndarray with shape \(3, 3\)$"),
        ("stress", np.zeros(9, np.float64), ValueError, r"^Stress must be a float32 or float64 ndarray"),
        ("energy", "high", TypeError, "^argument 'energy': "),
        ("pbc", [True, True, True], TypeError, "^argument 'pbc': "),
        ("pbc", (True, True, 1), TypeError, "^argument 'pbc': "),
        ("pbc", (True,) * 4, ValueError, r"^expected tuple of length 3, but got tuple of length 4$"),
    ],
)
@pytest.mark.parametrize("on_view", [False, True])
def test_a_refused_setter_keeps_the_old_value(tmp_path, name, value, exception, text, on_view):
    fields = fields_of(3, np.float64)
    molecule = build(fields)
    if on_view:
        molecule = stored_view(tmp_path, molecule)
    with pytest.raises(exception, match=text):
        setattr(molecule, name, value)
    assert_fields(molecule, fields)


def test_none_does_not_clear_an_array_field():
    molecule = plain(3)
    with pytest.raises(ValueError) as info:
        molecule.forces = None
    assert str(info.value) == "Forces must be a float32 or float64 ndarray with shape (3, 3)"
    assert molecule.forces is None


@pytest.mark.parametrize("name", SETTABLE)
def test_deleting_a_field_is_refused(name):
    molecule = build(fields_of(3, np.float32))
    with pytest.raises(AttributeError) as info:
        delattr(molecule, name)
    assert str(info.value) == "can't delete attribute"
    assert getattr(molecule, name) is not None


@pytest.mark.parametrize("name", ["positions", "atomic_numbers"])
def test_positions_and_atomic_numbers_are_read_only(name):
    molecule = plain(3)
    with pytest.raises(AttributeError):
        setattr(molecule, name, getattr(molecule, name))
    with pytest.raises(AttributeError):
        delattr(molecule, name)


def test_a_change_turns_a_view_into_an_owned_molecule(tmp_path):
    fields = fields_of(4, np.float64)
    view = stored_view(tmp_path, build(fields))
    positions = view.positions
    view.energy = 3.5
    assert view.energy == 3.5
    assert len(view) == 4
    np.testing.assert_array_equal(view.positions, positions)
    assert_fields(view, dict(fields, energy=3.5))
    # add_molecules stores views before owned molecules: this one now counts as owned.
    other = build(fields_of(4, np.float64, seed=1))
    assert stored_order(tmp_path, other, view) == [other.energy, 3.5]


def test_a_refused_conversion_leaves_a_view_a_view_except_for_stress(tmp_path):
    fields = fields_of(3, np.float32)
    other = build(fields_of(3, np.float32, seed=1))
    for name in ["forces", "velocities", "charges", "cell", "energy", "pbc"]:
        view = stored_view(tmp_path, build(fields))
        with pytest.raises((ValueError, TypeError)):
            setattr(view, name, "bad")
        assert stored_order(tmp_path, other, view) == [fields["energy"], other.energy], name
    # stress materialises before it converts: the refused value leaves the molecule owned, unchanged.
    view = stored_view(tmp_path, build(fields))
    with pytest.raises(ValueError, match="^Stress must be"):
        view.stress = "bad"
    assert_fields(view, fields)
    assert stored_order(tmp_path, other, view) == [other.energy, fields["energy"]]


# --- indexing, length, text form, atoms, to_owned ---------------------------------------------------


@pytest.mark.parametrize("dtype", FLOATS)
@pytest.mark.parametrize("on_view", [False, True])
def test_indexing_gives_atoms_rounded_to_float32(tmp_path, dtype, on_view):
    positions = np.array([[0.1, 0.2, 0.3], [1.0, 2.0, 3.0], [-0.7, 1e-3, 5.5]], dtype=dtype)
    numbers = np.array([8, 1, 6], dtype=np.uint8)
    molecule = PyMolecule(positions, numbers)
    if on_view:
        molecule = stored_view(tmp_path, molecule)
    for key, row in [(0, 0), (-1, 2), (2, 2), (-3, 0), (True, 1), (np.int64(1), 1), (np.uint8(2), 2)]:
        atom = molecule[key]
        assert isinstance(atom, PyAtom)
        assert atom.position() == tuple(f32(v) for v in positions[row])
        assert atom.atomic_number == numbers[row]
    for key in (3, -4, 2**62):
        with pytest.raises(IndexError) as info:
            molecule[key]
        assert str(info.value) == f"Atom index {key} out of bounds for molecule of length 3"
    for key in (1.0, slice(0, 2), None, 2**63, -(2**63) - 1, [0]):
        with pytest.raises(TypeError) as info:
            molecule[key]
        assert str(info.value) == "Molecule indices must be integers or strings"


def test_a_str_key_names_a_missing_property():
    with pytest.raises(KeyError):
        plain(2)["charges"]


@pytest.mark.parametrize("on_view", [False, True])
def test_a_molecule_without_atoms(tmp_path, on_view):
    molecule = PyMolecule(np.zeros((0, 3), np.float32), np.zeros(0, np.uint8), forces=np.zeros((0, 3), np.float32),
                          charges=np.zeros(0, np.float64))
    if on_view:
        molecule = stored_view(tmp_path, molecule)
    assert len(molecule) == 0
    assert molecule.positions.shape == (0, 3)
    assert molecule.forces.shape == (0, 3)
    assert molecule.charges.shape == (0,)
    assert molecule.atomic_numbers.shape == (0,)
    assert molecule.atoms() == []
    for key in (0, -1):
        with pytest.raises(IndexError):
            molecule[key]


@pytest.mark.parametrize("on_view", [False, True])
def test_repr(tmp_path, on_view):
    fields = fields_of(3, np.float32)
    molecule = PyMolecule(fields["positions"], fields["atomic_numbers"], energy=1.0)
    if on_view:
        molecule = stored_view(tmp_path, molecule)
    assert repr(molecule) == "Molecule(n_atoms=3, has_forces=false, has_energy=true)"
    molecule.forces = fields["forces"]
    molecule.energy = None
    assert repr(molecule) == "Molecule(n_atoms=3, has_forces=true, has_energy=false)"


@pytest.mark.parametrize("on_view", [False, True])
def test_atoms_lists_every_atom_and_leaves_the_molecule_alone(tmp_path, on_view):
    fields = fields_of(3, np.float64)
    fields["positions"] = fields["positions"] + 0.1
    molecule = build(fields)
    if on_view:
        molecule = stored_view(tmp_path, molecule)
    atoms = molecule.atoms()
    assert [atom.atomic_number for atom in atoms] == list(fields["atomic_numbers"])
    assert [atom.position() for atom in atoms] == [tuple(f32(v) for v in row) for row in fields["positions"]]
    if on_view:
        other = build(fields_of(3, np.float64, seed=1))
        assert stored_order(tmp_path, other, molecule) == [fields["energy"], other.energy]


def test_to_owned_of_an_owned_molecule_is_an_independent_copy():
    fields = fields_of(3, np.float32)
    source = build(fields)
    copy = source.to_owned()
    assert copy is not source
    assert_fields(copy, fields)
    copy.energy = 10.0
    copy.forces = fields["forces"] * 0
    assert_fields(source, fields)


def test_to_owned_of_a_view_leaves_the_view_a_view(tmp_path):
    fields = fields_of(3, np.float64)
    view = stored_view(tmp_path, build(fields))
    copy = view.to_owned()
    assert_fields(copy, fields)
    copy.energy = 10.0
    assert view.energy == fields["energy"]
    other = build(fields_of(3, np.float64, seed=1))
    assert stored_order(tmp_path, other, view) == [fields["energy"], other.energy]
    assert stored_order(tmp_path, other, copy) == [other.energy, 10.0]


def test_a_view_outlives_its_database_and_materialises_after(tmp_path):
    fields = fields_of(3, np.float32)
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecule(build(fields))
    db.flush()
    db = PyAtomDatabase.open(str(path))
    view = db[0]
    del db
    gc.collect()
    assert_fields(view, fields)
    view.cell = fields["cell"] * 2
    assert_fields(view, dict(fields, cell=fields["cell"] * 2))


# --- the class -----------------------------------------------------------------------------------


def test_class_signatures_and_docstrings():
    signature = (
        "(positions, atomic_numbers, *, energy=None, forces=None, charges=None, velocities=None, cell=None, "
        "stress=None, pbc=None, name=None)"
    )
    assert PyMolecule.__text_signature__ == signature
    assert PyMolecule.__doc__ == "Python wrapper for Molecule"
    assert PyMolecule.from_arrays.__text_signature__ == signature
    assert PyMolecule.from_arrays.__doc__ == "Create a molecule from numpy arrays."
    assert PyMolecule.atoms.__text_signature__ == "($self)"
    assert PyMolecule.to_owned.__doc__ == "Materialize the molecule into an owned, self-contained object."
    assert PyMolecule.energy.__doc__ == "Get energy"
    assert PyMolecule.positions.__doc__ == "positions property (read-only)"


def test_class_properties():
    molecule = plain(2)
    assert not hasattr(molecule, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(molecule)
    with pytest.raises(TypeError):

        class Derived(PyMolecule):
            pass

    copy = molecule.to_owned()
    assert molecule == molecule and molecule != copy
    assert len({molecule, copy}) == 2
