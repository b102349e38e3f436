"""The physical limit: one single-threaded NumPy copy of as many bytes as each read returns, from
arrays already in memory, with no lookup, decoding or gathering."""

import numpy as np


class PlainCopy:
    name = "plain NumPy copy"
    verifiable = False  # copies the right number of bytes, not the selected molecules

    def __init__(self, ds):
        self.ds = ds
        self.n_atoms = ds.n_atoms.astype(np.uint32)
        self.atom_fields = ds.per_atom_fields()
        self.molecule_fields = ds.per_molecule_fields()

    def open(self, path):
        return self.ds

    def length(self, ds):
        return len(ds)

    def read_singles(self, ds, indices):
        offsets, positions, forces, energy = ds.offsets, ds.positions, ds.forces, ds.energy
        for i in indices:
            start, end = offsets[i], offsets[i + 1]
            positions[start:end].copy()
            forces[start:end].copy()
            float(energy[i])

    def read_batch(self, ds, indices):
        """Contiguous blocks of the same sizes as the batch, starting at its first molecule."""
        count = len(indices)
        atoms = int(ds.n_atoms[indices].sum())
        first = min(int(indices[0]), len(ds) - count)
        atom_start = min(int(ds.offsets[first]), ds.total_atoms - atoms)
        out = {"n_atoms": self.n_atoms[first : first + count].copy()}
        for name, array in self.atom_fields:
            out[name] = array[atom_start : atom_start + atoms].copy()
        for name, array in self.molecule_fields:
            out[name] = array[first : first + count].copy()
        return out

    def scan(self, ds, count):
        self.n_atoms.copy()
        for _, array in self.atom_fields + self.molecule_fields:
            array.copy()

    def normalize(self, result):
        return result
