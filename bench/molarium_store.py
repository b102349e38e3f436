"""molarium as its users drive it: add_molecules or add_arrays_batch to write, views or flat batches to read."""

import os

import numpy as np

from datasets import ATOM_FEATURE, MOLECULE_TENSOR
from molarium._molarium_rs import PyAtomDatabase, PyMolecule

# Sequential scans read this many consecutive molecules per flat call.
SCAN_CHUNK = 4096


def properties_available():
    """False while molecules of this build have no custom-property methods."""
    return hasattr(PyMolecule, "set_property")


def feature_available(method_name):
    """False while a method of the database still raises NotImplementedError in this build."""
    db_path = "/tmp/.molarium-bench-probe.mol"
    db = PyAtomDatabase(db_path, overwrite=True)
    try:
        if method_name == "add_arrays_batch":
            db.add_arrays_batch(np.zeros((1, 1, 3), np.float32), np.ones((1, 1), np.uint8))
        else:
            db.add_molecule(PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8)))
            db.get_molecules_flat([0])
        return True
    except NotImplementedError:
        return False
    finally:
        del db
        os.unlink(db_path)


def build_molecule(ds, i):
    atoms = ds.atoms(i)
    extra = {"energy": float(ds.energy[i]), "forces": ds.forces[atoms]}
    if ds.periodic:
        extra["cell"] = ds.periodic["cell"][i]
        extra["pbc"] = tuple(bool(flag) for flag in ds.periodic["pbc"][i])
        extra["stress"] = ds.periodic["stress"][i]
    molecule = PyMolecule(ds.positions[atoms], ds.atomic_numbers[atoms], **extra)
    if ds.custom:
        molecule.set_property(ATOM_FEATURE, ds.atom_feature[atoms], scope="atom")
        molecule.set_property(MOLECULE_TENSOR, ds.molecule_tensor[i], scope="molecule")
    return molecule


def write_molecules(ds, path, codec):
    """One PyMolecule per molecule, one add_molecules call, one flush. Stored in dataset order."""
    db = PyAtomDatabase(path, codec, overwrite=True)
    db.add_molecules([build_molecule(ds, i) for i in range(len(ds))])
    db.flush()
    return None


def write_arrays_batch(ds, path, codec):
    """One add_arrays_batch call per atom count, one flush. Returns the stored order: entry j is
    the dataset index of stored molecule j."""
    db = PyAtomDatabase(path, codec, overwrite=True)
    order = []
    for members, stacked in ds.groups_by_atom_count():
        extra = {"energy": stacked["energy"], "forces": stacked["forces"]}
        for key in ("cell", "pbc", "stress"):
            if key in stacked:
                extra[key] = stacked[key]
        if ds.custom:
            extra["properties"] = {MOLECULE_TENSOR: stacked[MOLECULE_TENSOR]}
            extra["atom_properties"] = {ATOM_FEATURE: stacked[ATOM_FEATURE]}
        db.add_arrays_batch(stacked["positions"], stacked["atomic_numbers"], **extra)
        order.append(members)
    db.flush()
    return np.concatenate(order)


def normalize_flat(result):
    """The flat dictionary with custom properties lifted to the top level; a 3 by 3 float64 value is
    stored as three xyz rows per molecule, so it is viewed back as (n, 3, 3) (no copy)."""
    out = {key: value for key, value in result.items() if key not in ("properties", "atom_properties")}
    out.update(result.get("atom_properties", {}))
    for key, value in result.get("properties", {}).items():
        out[key] = value.reshape(-1, 3, 3) if key == MOLECULE_TENSOR else value
    return out


class MolariumReader:
    """Reads one database file opened memory-mapped (read-only) or with its index in memory."""

    def __init__(self, codec, mmap, batch_method="flat"):
        self.codec = codec
        self.mmap = mmap
        self.batch_method = batch_method
        access = "mmap" if mmap else "in-memory"
        suffix = "" if batch_method == "flat" else " get_molecules+concat"
        self.name = f"molarium {codec} {access}{suffix}"

    def open(self, path):
        return PyAtomDatabase.open(path, mmap=self.mmap)

    def length(self, db):
        return len(db)

    def read_singles(self, db, indices):
        for i in indices:
            molecule = db.get_molecule(i)
            molecule.positions
            molecule.forces
            molecule.energy

    def read_batch(self, db, indices):
        if self.batch_method == "flat":
            return db.get_molecules_flat(indices)
        return concatenate_views(db.get_molecules(indices))

    def scan(self, db, count):
        for start in range(0, count, SCAN_CHUNK):
            chunk = list(range(start, min(count, start + SCAN_CHUNK)))
            if self.batch_method == "flat":
                db.get_molecules_flat(chunk)
            else:
                concatenate_views(db.get_molecules(chunk))

    def normalize(self, result):
        return normalize_flat(result) if self.batch_method == "flat" else result


def concatenate_views(molecules):
    """What a user without the flat path writes: every field of every view, then one concatenation."""
    first = molecules[0]
    out = {
        "n_atoms": np.array([len(m) for m in molecules], dtype=np.uint32),
        "positions": np.concatenate([m.positions for m in molecules]),
        "atomic_numbers": np.concatenate([m.atomic_numbers for m in molecules]),
        "forces": np.concatenate([m.forces for m in molecules]),
        "energy": np.array([m.energy for m in molecules]),
    }
    if first.cell is not None:
        out["cell"] = np.stack([m.cell for m in molecules])
        out["pbc"] = np.array([m.pbc for m in molecules])
        out["stress"] = np.stack([m.stress for m in molecules])
    if properties_available() and first.has_property(ATOM_FEATURE):
        out[ATOM_FEATURE] = np.concatenate([m.get_property(ATOM_FEATURE) for m in molecules])
        out[MOLECULE_TENSOR] = np.stack([m.get_property(MOLECULE_TENSOR) for m in molecules])
    return out
