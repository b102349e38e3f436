"""LMDB with one pickled dict of NumPy arrays per key: the layout large molecular ML datasets ship in."""

import pickle

import lmdb
import numpy as np

from datasets import ATOM_FEATURE, MOLECULE_TENSOR

MAP_SIZE = 1 << 40  # address space only; the file grows with its data


def record(ds, i):
    atoms = ds.atoms(i)
    item = {
        "positions": ds.positions[atoms],
        "atomic_numbers": ds.atomic_numbers[atoms],
        "forces": ds.forces[atoms],
        "energy": float(ds.energy[i]),
        "natoms": int(ds.n_atoms[i]),
    }
    for key, array in ds.periodic.items():
        item[key] = array[i]
    if ds.custom:
        item[ATOM_FEATURE] = ds.atom_feature[atoms]
        item[MOLECULE_TENSOR] = ds.molecule_tensor[i]
    return item


def key(i):
    return f"{i}".encode("ascii")


class LmdbStore:
    name = "LMDB+pickle"

    def write(self, ds, path):
        """One write transaction holding every record and a "length" entry; commit syncs."""
        env = lmdb.open(path, subdir=False, map_size=MAP_SIZE, meminit=False)
        with env.begin(write=True) as txn:
            for i in range(len(ds)):
                txn.put(key(i), pickle.dumps(record(ds, i), protocol=pickle.HIGHEST_PROTOCOL))
            txn.put(b"length", pickle.dumps(len(ds), protocol=pickle.HIGHEST_PROTOCOL))
        env.sync(True)
        env.close()

    def open(self, path):
        return lmdb.open(path, subdir=False, readonly=True, lock=False, readahead=False, meminit=False)

    def length(self, env):
        return pickle.loads(env.begin().get(b"length"))

    def read_singles(self, env, indices):
        for i in indices:
            item = pickle.loads(env.begin().get(key(i)))
            item["positions"]
            item["forces"]
            item["energy"]

    def read_batch(self, env, indices):
        with env.begin() as txn:
            items = [pickle.loads(txn.get(key(i))) for i in indices]
        return concatenate_items(items)

    def scan(self, env, count):
        with env.begin() as txn:
            for name, value in txn.cursor():
                if name != b"length":
                    pickle.loads(value)

    def normalize(self, result):
        return result


def concatenate_items(items):
    """The training-batch collation: per-atom fields concatenated, per-molecule fields stacked."""
    first = items[0]
    out = {
        "n_atoms": np.array([item["natoms"] for item in items]),
        "positions": np.concatenate([item["positions"] for item in items]),
        "atomic_numbers": np.concatenate([item["atomic_numbers"] for item in items]),
        "forces": np.concatenate([item["forces"] for item in items]),
        "energy": np.array([item["energy"] for item in items]),
    }
    for name in ("cell", "pbc", "stress", MOLECULE_TENSOR):
        if name in first:
            out[name] = np.stack([item[name] for item in items])
    if ATOM_FEATURE in first:
        out[ATOM_FEATURE] = np.concatenate([item[ATOM_FEATURE] for item in items])
    return out
