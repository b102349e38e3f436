"""ASE's SQLite database (ase.db.connect): one row per structure, written inside one transaction."""

import os

import ase.db
import numpy as np
from ase import Atoms
from ase.calculators.singlepoint import SinglePointCalculator
from ase.stress import full_3x3_to_voigt_6_stress

from datasets import ATOM_FEATURE, MOLECULE_TENSOR


class AseStore:
    name = "ASE SQLite"
    # Row ids start at 1; the harness maps dataset index i to row i + 1.
    slow = True

    def write(self, ds, path):
        if os.path.exists(path):
            os.unlink(path)
        with ase.db.connect(path, append=False) as db:
            for i in range(len(ds)):
                atoms_range = ds.atoms(i)
                atoms = Atoms(numbers=ds.atomic_numbers[atoms_range], positions=ds.positions[atoms_range])
                results = {"energy": float(ds.energy[i]), "forces": ds.forces[atoms_range]}
                if ds.periodic:
                    atoms.cell = ds.periodic["cell"][i]
                    atoms.pbc = ds.periodic["pbc"][i]
                    results["stress"] = full_3x3_to_voigt_6_stress(ds.periodic["stress"][i])
                atoms.calc = SinglePointCalculator(atoms, **results)
                data = {}
                if ds.custom:
                    data = {ATOM_FEATURE: ds.atom_feature[atoms_range], MOLECULE_TENSOR: ds.molecule_tensor[i]}
                db.write(atoms, data=data)

    def open(self, path):
        return ase.db.connect(path)

    def length(self, db):
        return len(db)

    def read_singles(self, db, indices):
        for i in indices:
            row = db.get(id=int(i) + 1)
            row.positions
            row.forces
            row.energy

    def read_batch(self, db, indices):
        rows = [db.get(id=int(i) + 1) for i in indices]
        return concatenate_rows(rows)

    def scan(self, db, count):
        for row in db.select():
            row.positions
            row.numbers
            row.forces
            row.energy

    def normalize(self, result):
        return result


def concatenate_rows(rows):
    first = rows[0]
    out = {
        "n_atoms": np.array([row.natoms for row in rows]),
        "positions": np.concatenate([row.positions for row in rows]),
        "atomic_numbers": np.concatenate([row.numbers for row in rows]),
        "forces": np.concatenate([row.forces for row in rows]),
        "energy": np.array([row.energy for row in rows]),
    }
    if first.pbc.any():
        out["cell"] = np.stack([row.cell for row in rows])
        out["pbc"] = np.stack([row.pbc for row in rows])
        out["stress"] = np.stack([row.stress for row in rows])
    if ATOM_FEATURE in first.data:
        out[ATOM_FEATURE] = np.concatenate([row.data[ATOM_FEATURE] for row in rows])
        out[MOLECULE_TENSOR] = np.stack([row.data[MOLECULE_TENSOR] for row in rows])
    return out
