"""HDF5 through h5py: one dataset per field, per-atom fields concatenated, plus an offsets array."""

import h5py
import numpy as np

from measure import fsync_path


class Hdf5Store:
    name = "h5py"

    def write(self, ds, path):
        with h5py.File(path, "w") as f:
            f.create_dataset("offsets", data=ds.offsets)
            for key, array in ds.per_atom_fields() + ds.per_molecule_fields():
                f.create_dataset(key, data=array)
        fsync_path(path)

    def open(self, path):
        """The file, its datasets and the offsets array, which every read needs."""
        f = h5py.File(path, "r")
        offsets = f["offsets"][:]
        atom_fields = [name for name in f.keys() if name != "offsets" and f[name].shape[0] == offsets[-1]]
        return {
            "file": f,
            "offsets": offsets,
            "atom": {name: f[name] for name in atom_fields},
            "molecule": {name: f[name] for name in f.keys() if name != "offsets" and name not in atom_fields},
        }

    def length(self, handle):
        return len(handle["offsets"]) - 1

    def read_singles(self, handle, indices):
        offsets = handle["offsets"]
        positions, forces = handle["atom"]["positions"], handle["atom"]["forces"]
        energy = handle["molecule"]["energy"]
        for i in indices:
            start, end = offsets[i], offsets[i + 1]
            positions[start:end]
            forces[start:end]
            energy[i]

    def read_batch(self, handle, indices):
        """A slice per molecule of each per-atom field; per-molecule fields in one sorted point
        selection (h5py needs increasing indices), put back in the batch's order."""
        offsets = handle["offsets"]
        out = {"n_atoms": offsets[np.asarray(indices) + 1] - offsets[indices]}
        for name, dataset in handle["atom"].items():
            out[name] = np.concatenate([dataset[offsets[i] : offsets[i + 1]] for i in indices])
        order = np.argsort(indices)
        ascending = np.asarray(indices)[order]
        for name, dataset in handle["molecule"].items():
            values = dataset[ascending]
            result = np.empty_like(values)
            result[order] = values
            out[name] = result
        return out

    def scan(self, handle, count):
        offsets = handle["offsets"]
        step = 4096
        for start in range(0, count, step):
            end = min(count, start + step)
            for dataset in handle["atom"].values():
                dataset[offsets[start] : offsets[end]]
            for dataset in handle["molecule"].values():
                dataset[start:end]

    def normalize(self, result):
        return result
