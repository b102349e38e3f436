"""The ASE payload tuple: built-in fields, routing of custom properties into arrays and info, and
ase.Atoms rebuilt from it after a trip through a database."""

import struct

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule, _molecule_from_pickle_bytes

N = 3
RESERVED = ["pbc", "cell", "energy", "forces", "stress", "numbers", "charges", "positions", "velocities"]


def molecule(n=N, dtype=np.float64, **fields):
    return PyMolecule(np.arange(n * 3, dtype=dtype).reshape(n, 3), np.arange(1, n + 1, dtype=np.uint8), **fields)


def stored_views(tmp_path, molecules, mmap=True, compression="none"):
    path = tmp_path / f"ase-{len(list(tmp_path.iterdir()))}.mol"
    db = PyAtomDatabase(str(path), compression)
    db.add_molecules(molecules)
    db.flush()
    return PyAtomDatabase.open(str(path), mmap=mmap).get_molecules(list(range(len(molecules))))


@pytest.fixture(params=["owned", "mapped", "in-memory"])
def where(request, tmp_path):
    def place(mol):
        if request.param == "owned":
            return mol
        return stored_views(tmp_path, [mol], mmap=request.param == "mapped")[0]

    return place


def assert_same(got, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray)
        assert got.dtype == expected.dtype and got.shape == expected.shape
        np.testing.assert_array_equal(got, expected)
    elif isinstance(expected, dict):
        assert isinstance(got, dict) and sorted(got) == sorted(expected)
        for key in expected:
            assert_same(got[key], expected[key])
    else:
        assert type(got) is type(expected) and got == expected


# --- the built-in elements ---------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_every_builtin_element_in_tuple_order(where, dtype):
    base = np.arange(N * 3, dtype=dtype).reshape(N, 3) / 4
    fields = dict(
        energy=-7.5,
        forces=base * -1,
        charges=np.array([0.5, -0.25, 0.0], dtype=dtype),
        velocities=base * 3,
        cell=np.eye(3, dtype=dtype) * 4,
        stress=np.arange(9, dtype=dtype).reshape(3, 3),
        pbc=(True, False, True),
    )
    mol = where(PyMolecule(base, np.array([8, 1, 1], dtype=np.uint8), **fields))
    result = mol._ase_payload()
    assert type(result) is tuple and len(result) == 11
    numbers, positions, cell, pbc, velocities, energy, forces, stress, charges, arrays, info = result
    assert_same(numbers, np.array([8, 1, 1], dtype=np.uint8))
    assert_same(positions, base)
    assert_same(cell, fields["cell"])
    assert pbc == (True, False, True) and all(type(flag) is bool for flag in pbc)
    assert_same(velocities, fields["velocities"])
    assert_same(energy, -7.5)
    assert_same(forces, fields["forces"])
    assert_same(stress, fields["stress"])
    assert_same(charges, fields["charges"])
    assert arrays is None and info is None


def test_absent_fields_are_none(where):
    result = where(molecule())._ase_payload(copy_info=True, copy_arrays=True)
    assert result[2:] == (None,) * 9


def test_a_float32_energy_is_widened():
    data = bytearray(_payload_with_float32_energy(0.1))
    mol = _molecule_from_pickle_bytes(bytes(data))
    assert mol._ase_payload()[5] == float(np.float32(0.1))


def _payload_with_float32_energy(value):
    out = b"\x00" + struct.pack("<IQ3f", 0, 1, 0, 0, 0) + struct.pack("<Q", 1) + b"\x06"
    out += b"\x00" + b"\x01" + struct.pack("<If", 0, value) + b"\x00" * 5  # energy, then none
    return out + struct.pack("<QQ", 0, 0)


def test_arrays_are_new_each_call(where):
    mol = where(molecule(forces=np.ones((N, 3))))
    first, second = mol._ase_payload(), mol._ase_payload()
    for a, b in zip(first[:2] + first[6:7], second[:2] + second[6:7]):
        assert a is not b and not np.shares_memory(a, b)
        assert a.flags.writeable and a.flags.c_contiguous
    first[1][...] = -1
    assert mol.positions[0, 1] == 1.0


# --- routing of custom properties --------------------------------------------------------------


def routed(mol, **flags):
    return mol._ase_payload(**flags)[9:]


def test_per_atom_arrays_go_to_arrays_and_everything_else_to_info(where):
    mol = molecule()
    mol.set_property("m_f64", np.arange(N, dtype=np.float64))
    mol.set_property("m_i32", np.arange(N, dtype=np.int32))
    mol.set_property("m_i64", np.arange(N, dtype=np.int64))
    mol.set_property("m_f32", np.arange(N, dtype=np.float32))
    mol.set_property("m_xyz32", np.ones((N, 3), dtype=np.float32))
    mol.set_property("m_xyz64", np.ones((N, 3)))
    mol.set_property("m_longer", np.arange(N + 1, dtype=np.float64))
    mol.set_property("m_xyz_longer", np.ones((N + 1, 3)))
    mol.set_property("m_tensor", np.ones((N, 3, 3)))
    mol.set_property("m_scalar", 2.5)
    mol.set_property("m_int", 4)
    mol.set_property("m_text", "x")
    mol.set_property("m_none", None)
    mol.set_property("a_tensor", np.ones((N, 3, 3)), scope="atom")
    mol.set_property("a_f32", np.zeros(N, dtype=np.float32), scope="atom")
    arrays, info = routed(where(mol))
    assert sorted(arrays) == ["a_f32", "a_tensor", "m_f32", "m_f64", "m_i32", "m_i64", "m_xyz32", "m_xyz64"]
    assert sorted(info) == ["m_int", "m_longer", "m_none", "m_scalar", "m_tensor", "m_text", "m_xyz_longer"]
    assert_same(arrays["m_i32"], np.arange(N, dtype=np.int32))
    assert_same(arrays["a_tensor"], np.ones((N, 3, 3)))
    assert_same(info["m_tensor"], np.ones((N, 3, 3)))
    assert_same(info["m_longer"], np.arange(N + 1, dtype=np.float64))
    assert info["m_none"] is None and info["m_text"] == "x" and info["m_int"] == 4


def test_without_copy_arrays_atom_properties_go_nowhere_and_per_atom_arrays_to_info(where):
    mol = molecule()
    mol.set_property("a", np.zeros(N), scope="atom")
    mol.set_property("m", np.zeros(N))
    mol.set_property("s", 1.0)
    arrays, info = routed(where(mol), copy_arrays=False, copy_info=True)
    assert arrays is None
    assert sorted(info) == ["m", "s"]


def test_without_copy_info_only_arrays_are_filled(where):
    mol = molecule()
    mol.set_property("a", np.zeros(N), scope="atom")
    mol.set_property("s", 1.0)
    arrays, info = routed(where(mol), copy_info=False)
    assert sorted(arrays) == ["a"] and info is None
    mol2 = molecule()
    mol2.set_property("s", 1.0)
    assert routed(where(mol2), copy_info=False) == (None, None)


def test_reserved_keys(where):
    mol = molecule()
    for key in RESERVED:
        if key != "stress":
            mol.set_property(key, np.zeros(N), scope="atom")
    mol.set_property("Forces", np.zeros(N), scope="atom")
    mol.set_property("charges_", np.zeros(N))
    arrays, info = routed(where(mol))
    assert sorted(arrays) == ["Forces", "charges_"]
    assert info is None

    mol = molecule()
    mol.set_property("charges", np.zeros(N))
    mol.set_property("numbers", np.zeros(N, dtype=np.int32))
    arrays, info = routed(where(mol))
    assert arrays is None
    assert sorted(info) == ["charges", "numbers"]
    assert routed(where(mol), copy_info=False) == (None, None)


def test_both_flags_false_convert_nothing():
    # A tensor whose shape disagrees with its values fails when converted; with both flags false it
    # is never converted.
    out = b"\x00" + struct.pack("<IQ3f", 0, 1, 0, 0, 0) + struct.pack("<Q", 1) + b"\x06" + b"\x00" * 7
    out += struct.pack("<Q", 0) + struct.pack("<QQ", 1, 1) + b"t"
    out += struct.pack("<IIQQQQ", 10, 1, 1, 4, 1, 0) + struct.pack("<d", 1.0)
    mol = _molecule_from_pickle_bytes(out)
    assert mol._ase_payload(copy_info=False, copy_arrays=False)[9:] == (None, None)
    with pytest.raises(ValueError):
        mol._ase_payload()
    # It would go to info, so only copy_info converts it.
    assert mol._ase_payload(copy_info=False)[9:] == (None, None)


def test_a_key_in_both_scopes_keeps_the_molecule_scope_value_in_arrays():
    u64 = lambda v: struct.pack("<Q", v)  # noqa: E731
    out = b"\x00" + struct.pack("<IQ", 0, 2) + b"\x00" * 24 + u64(2) + b"\x01\x01" + b"\x00" * 7
    out += u64(1) + u64(1) + b"k" + struct.pack("<IQ2d", 4, 2, 1.0, 2.0)  # atom scope: float64 [1, 2]
    out += u64(1) + u64(1) + b"k" + struct.pack("<IQ2i", 9, 2, 3, 4)  # molecule scope: int32 [3, 4]
    arrays, info = routed(_molecule_from_pickle_bytes(out))
    assert_same(arrays["k"], np.array([3, 4], dtype=np.int32))
    assert info is None


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_views_and_owned_molecules_give_equal_tuples(tmp_path, dtype):
    originals = []
    for n in range(0, 5):
        mol = molecule(n, dtype, energy=float(n), forces=np.ones((n, 3), dtype=dtype), pbc=(False, True, False))
        mol.set_property("per_atom", np.arange(n, dtype=np.float32))
        mol.set_property("grid", np.arange(n * 4, dtype=np.int64).reshape(n, 2, 2), scope="atom")
        mol.set_property("label", f"m{n}")
        mol.set_property("vec", np.ones((2, 3), dtype=dtype))
        originals.append(mol)
    for mmap, compression in ((True, "none"), (False, "none"), (False, "lz4"), (False, "zstd")):
        # One database each: a molecule-scope array's length is part of a database's schema.
        views = [stored_views(tmp_path, [mol], mmap=mmap, compression=compression)[0] for mol in originals]
        for view, original in zip(views, originals):
            for flags in ({}, {"copy_info": False}, {"copy_arrays": np.bool_(False)}):
                got, expected = view._ase_builtin_tuple_fast(**flags), original._ase_payload(**flags)
                assert len(got) == len(expected) == 11
                for a, b in zip(got, expected):
                    if b is None:
                        assert a is None
                    else:
                        assert_same(a, b)


@pytest.mark.parametrize("method", ["_ase_payload", "_ase_builtin_tuple_fast"])
def test_flag_arguments(method):
    call = getattr(molecule(), method)
    assert call(copy_info=np.bool_(True), copy_arrays=False)[0].shape == (N,)
    for bad in (1, None, "yes", np.int64(1)):
        with pytest.raises(TypeError) as info:
            call(copy_info=bad)
        assert str(info.value).startswith("argument 'copy_info': ")
        with pytest.raises(TypeError) as info:
            call(copy_arrays=bad)
        assert str(info.value).startswith("argument 'copy_arrays': ")
    with pytest.raises(TypeError):
        call(True)
    with pytest.raises(TypeError):
        call(copy=True)
    assert getattr(PyMolecule, method).__text_signature__ == "($self, *, copy_info=True, copy_arrays=True)"


def test_a_view_stays_a_view(tmp_path):
    view = stored_views(tmp_path, [molecule()])[0]
    view._ase_payload()
    marker = molecule(N + 1)
    db = PyAtomDatabase(str(tmp_path / "probe.mol"))
    db.add_molecules([marker, view])
    assert len(db[0]) == N  # views are stored before owned molecules


# --- ase.Atoms through a database ----------------------------------------------------------------

BUILTIN_ARRAYS = {"numbers", "positions", "momenta", "initial_charges"}


def atoms_to_molecule(atoms, seed):
    """A molecule of every field the ASE object carries, as a user of this module would write it."""
    rng = np.random.default_rng(seed)
    n = len(atoms)
    velocities = rng.normal(size=(n, 3))
    charges = rng.normal(size=n)
    atoms.set_velocities(velocities)
    atoms.set_initial_charges(charges)
    atoms.new_array("tag_f32", rng.normal(size=n).astype(np.float32))
    atoms.new_array("site", rng.integers(0, 9, size=n).astype(np.int32))
    atoms.new_array("dipoles", rng.normal(size=(n, 3)).astype(np.float32))
    atoms.new_array("quadrupole", rng.normal(size=(n, 3, 3)))
    atoms.info.update(
        {"name": atoms.get_chemical_formula(), "temperature": 300.5, "step": seed, "grid": rng.normal(size=(2, 2))}
    )
    from ase.calculators.singlepoint import SinglePointCalculator

    atoms.calc = SinglePointCalculator(
        atoms, energy=float(rng.normal()), forces=rng.normal(size=(n, 3)), stress=rng.normal(size=6)
    )

    mol = PyMolecule(
        np.ascontiguousarray(atoms.get_positions()),
        atoms.get_atomic_numbers().astype(np.uint8),
        energy=atoms.get_potential_energy(),
        forces=atoms.get_forces(),
        charges=atoms.get_initial_charges(),
        velocities=atoms.get_velocities(),
        cell=np.array(atoms.get_cell()),
        stress=atoms.get_stress(voigt=False),
        pbc=tuple(bool(flag) for flag in atoms.get_pbc()),
    )
    for key, value in atoms.arrays.items():
        if key not in BUILTIN_ARRAYS:
            mol.set_property(key, value, scope="atom")
    stored_info = {}
    for key, value in atoms.info.items():
        try:
            mol.set_property(key, value)
        except ValueError:
            continue  # a value kind this module does not hold (ase's own dictionaries)
        stored_info[key] = value
    # ASE keeps momenta, so its velocities are the given ones to within rounding: keep what was stored.
    return mol, atoms.get_velocities(), stored_info


def atoms_from_tuple(payload):
    from ase import Atoms
    from ase.calculators.singlepoint import SinglePointCalculator

    numbers, positions, cell, pbc, velocities, energy, forces, stress, charges, arrays, info = payload
    atoms = Atoms(numbers=numbers, positions=positions, cell=cell, pbc=pbc)
    if velocities is not None:
        atoms.set_velocities(velocities)
    if charges is not None:
        atoms.set_initial_charges(charges)
    for key, value in (arrays or {}).items():
        atoms.new_array(key, value)
    atoms.info.update(info or {})
    atoms.calc = SinglePointCalculator(atoms, energy=energy, forces=forces, stress=stress)
    return atoms


def ase_structures():
    pytest.importorskip("ase")
    from ase.build import bulk, fcc111
    from ase.build import molecule as ase_molecule
    from ase.collections import g2

    structures = [g2[name] for name in g2.names[:40]]
    structures += [ase_molecule("H2O"), ase_molecule("CH3CH2OH")]
    structures += [bulk("Cu", "fcc", a=3.6), bulk("NaCl", "rocksalt", a=5.64), bulk("Si", "diamond", cubic=True)]
    structures += [fcc111("Al", (2, 2, 3), vacuum=5.0), fcc111("Pt", (3, 4, 2), vacuum=7.5, orthogonal=True)]
    return structures


@pytest.mark.parametrize("mmap, compression", [(True, "none"), (False, "none"), (False, "zstd")])
def test_ase_atoms_round_trip_through_a_database(tmp_path, mmap, compression):
    structures = ase_structures()
    converted = [atoms_to_molecule(atoms, seed) for seed, atoms in enumerate(structures)]
    views = stored_views(tmp_path, [mol for mol, _, _ in converted], mmap=mmap, compression=compression)
    for original, (_, velocities, stored_info), view in zip(structures, converted, views):
        payload = view._ase_payload()
        rebuilt = atoms_from_tuple(payload)
        np.testing.assert_array_equal(rebuilt.numbers, original.numbers)
        np.testing.assert_array_equal(rebuilt.positions, original.positions)
        np.testing.assert_array_equal(np.array(rebuilt.cell), np.array(original.cell))
        np.testing.assert_array_equal(rebuilt.pbc, original.pbc)
        np.testing.assert_array_equal(payload[4], velocities)
        np.testing.assert_array_equal(rebuilt.get_initial_charges(), original.get_initial_charges())
        assert rebuilt.get_potential_energy() == original.get_potential_energy()
        np.testing.assert_array_equal(rebuilt.get_forces(), original.get_forces())
        np.testing.assert_array_equal(rebuilt.get_stress(), original.get_stress())
        extra = sorted(set(original.arrays) - BUILTIN_ARRAYS)
        assert sorted(set(rebuilt.arrays) - BUILTIN_ARRAYS) == extra
        for key in extra:
            assert_same(rebuilt.arrays[key], original.arrays[key])
        # A molecule-scope value never reaches arrays here: no info value is a per-atom array.
        assert sorted(rebuilt.info) == sorted(stored_info)
        for key, value in stored_info.items():
            assert_same(rebuilt.info[key], value)
        # The owned molecule gives the same tuple.
        owned = view.to_owned()._ase_payload()
        for a, b in zip(payload, owned):
            if b is None:
                assert a is None
            else:
                assert_same(a, b)
