"""The ASE payload tuple: built-in fields in tuple order, custom properties routed into arrays and
info, and ase.Atoms rebuilt from it after a trip through a database."""

import numpy as np
import pytest
from conftest import assert_same, plain, refused, rich, starts, stored

from molarium._molarium_rs import PyMolecule

ase = pytest.importorskip("ase")
from ase import Atoms  # noqa: E402
from ase.build import bulk, fcc111  # noqa: E402
from ase.build import molecule as ase_molecule  # noqa: E402
from ase.calculators.singlepoint import SinglePointCalculator  # noqa: E402
from ase.collections import g2  # noqa: E402

N = 3
RESERVED = ["pbc", "cell", "energy", "forces", "numbers", "charges", "positions", "velocities"]


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_every_builtin_element_in_tuple_order(where, dtype):
    mol = rich(N, dtype)
    got = where(mol)._ase_payload(copy_info=False, copy_arrays=False)
    want = (mol.atomic_numbers, mol.positions, mol.cell, mol.pbc, mol.velocities, mol.energy, mol.forces, mol.stress,
            mol.charges)
    assert type(got) is tuple and len(got) == 11 and got[9:] == (None, None)
    assert_same(dict(enumerate(got[:9])), dict(enumerate(want)))
    assert where(plain())._ase_payload()[2:] == (None,) * 9
    first, second = where(mol)._ase_payload(), where(mol)._ase_payload()
    assert not np.shares_memory(first[1], second[1]) and first[1].flags.writeable


def test_custom_properties_are_routed_into_arrays_and_info(where):
    mol = plain()
    for key, value in {"m_f64": np.arange(N, dtype=np.float64), "m_i32": np.arange(N, dtype=np.int32),
                       "m_xyz32": np.ones((N, 3), np.float32), "m_longer": np.arange(N + 1.0),
                       "m_xyz_longer": np.ones((N + 1, 3)), "m_tensor": np.ones((N, 3, 3)), "m_scalar": 2.5, "m_int": 4,
                       "m_text": "x", "m_none": None, "charges": np.zeros(N)}.items():
        mol.set_property(key, value)
    for key in RESERVED[:4] + ["a_tensor", "Forces"]:
        mol.set_property(key, np.ones((N, 3, 3)) if key == "a_tensor" else np.zeros(N), scope="atom")
    mol = where(mol)
    arrays, info = mol._ase_payload()[9:]
    assert sorted(arrays) == ["Forces", "a_tensor", "m_f64", "m_i32", "m_xyz32"]
    assert sorted(info) == ["charges", "m_int", "m_longer", "m_none", "m_scalar", "m_tensor", "m_text", "m_xyz_longer"]
    assert_same(arrays["m_i32"], np.arange(N, dtype=np.int32))
    assert_same(info["m_tensor"], np.ones((N, 3, 3)))
    assert (info["m_none"], info["m_text"], info["m_int"]) == (None, "x", 4)
    arrays, info = mol._ase_payload(copy_arrays=False)[9:]
    assert arrays is None and sorted(info) == ["charges", "m_f64", "m_i32", "m_int", "m_longer", "m_none", "m_scalar",
                                               "m_tensor", "m_text", "m_xyz32", "m_xyz_longer"]
    arrays, info = mol._ase_builtin_tuple_fast(copy_info=False)[9:]
    assert sorted(arrays) == ["Forces", "a_tensor", "m_f64", "m_i32", "m_xyz32"] and info is None


@pytest.mark.parametrize("method", ["_ase_payload", "_ase_builtin_tuple_fast"])
def test_flag_arguments(method):
    call = getattr(plain(), method)
    assert call(copy_info=np.bool_(True), copy_arrays=False)[0].shape == (N,)
    for bad in (1, None, np.int64(1)):
        refused(lambda: call(copy_info=bad), TypeError, starts("argument 'copy_info': "))
        refused(lambda: call(copy_arrays=bad), TypeError, starts("argument 'copy_arrays': "))
    refused(lambda: call(True), TypeError)


def atoms_to_molecule(atoms, seed):
    """A molecule of every field an ASE object carries, as a user of this module would write it."""
    rng, n = np.random.default_rng(seed), len(atoms)
    atoms.set_velocities(rng.normal(size=(n, 3)))
    atoms.set_initial_charges(rng.normal(size=n))
    for key, value in {"tag_f32": rng.normal(size=n).astype(np.float32), "site": rng.integers(0, 9, n).astype(np.int32),
                       "dipoles": rng.normal(size=(n, 3)).astype(np.float32),
                       "quadrupole": rng.normal(size=(n, 3, 3))}.items():
        atoms.new_array(key, value)
    atoms.info = {"name": atoms.get_chemical_formula(), "temperature": 300.5, "step": seed,
                  "grid": rng.normal(size=(2, 2))}
    atoms.calc = SinglePointCalculator(atoms, energy=float(rng.normal()), forces=rng.normal(size=(n, 3)),
                                       stress=rng.normal(size=6))
    mol = PyMolecule(np.ascontiguousarray(atoms.get_positions()), atoms.get_atomic_numbers().astype(np.uint8),
                     energy=atoms.get_potential_energy(), forces=atoms.get_forces(), cell=np.array(atoms.get_cell()),
                     velocities=atoms.get_velocities(), charges=atoms.get_initial_charges(),
                     stress=atoms.get_stress(voigt=False), pbc=tuple(bool(flag) for flag in atoms.get_pbc()))
    for key, value in atoms.arrays.items():
        if key not in ("numbers", "positions", "momenta", "initial_charges"):
            mol.set_property(key, value, scope="atom")
    for key, value in atoms.info.items():
        mol.set_property(key, value)
    return mol, atoms.get_velocities()


@pytest.mark.parametrize("mmap, codec", [(True, "none"), (False, "zstd")])
def test_ase_atoms_round_trip_through_a_database(tmp_path, mmap, codec):
    structures = [g2[name] for name in g2.names[:30]] + [ase_molecule("CH3CH2OH"), bulk("NaCl", "rocksalt", a=5.64),
                                                          bulk("Si", "diamond", cubic=True),
                                                          fcc111("Pt", (3, 4, 2), vacuum=7.5, orthogonal=True)]
    converted = [atoms_to_molecule(atoms, seed) for seed, atoms in enumerate(structures)]
    views = stored(tmp_path, [mol for mol, _ in converted], codec, mmap)
    for original, (_, velocities), view in zip(structures, converted, views):
        payload = view._ase_payload()
        numbers, positions, cell, pbc, velocity, energy, forces, stress, charges, arrays, info = payload
        rebuilt = Atoms(numbers=numbers, positions=positions, cell=cell, pbc=pbc, velocities=velocity, charges=charges)
        for key, value in arrays.items():
            rebuilt.new_array(key, value)
        rebuilt.info.update(info)
        rebuilt.calc = SinglePointCalculator(rebuilt, energy=energy, forces=forces, stress=stress)
        for get in (lambda a: a.numbers, lambda a: a.positions, lambda a: np.array(a.cell), lambda a: a.pbc,
                    Atoms.get_initial_charges, Atoms.get_forces, Atoms.get_stress, Atoms.get_potential_energy):
            np.testing.assert_array_equal(get(rebuilt), get(original))
        np.testing.assert_array_equal(velocity, velocities)
        assert sorted(rebuilt.arrays) == sorted(original.arrays)
        assert_same({k: rebuilt.arrays[k] for k in ("tag_f32", "site", "dipoles", "quadrupole")}, {
            k: original.arrays[k] for k in ("tag_f32", "site", "dipoles", "quadrupole")})
        assert_same(rebuilt.info, original.info)
        for a, b in zip(payload, view.to_owned()._ase_payload()):  # the owned molecule gives the same tuple
            assert_same(a, b) if b is not None else None
