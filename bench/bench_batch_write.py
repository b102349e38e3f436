"""Write throughput of add_arrays_batch against add_molecules, in molecules per second, per codec.

Standalone: python bench/bench_batch_write.py [--molecules 20000] [--atoms 32] [--repeat 3]
Each measurement writes the same seeded batch into a fresh database and flushes it; the best of
--repeat runs is reported. The per-molecule road includes building the PyMolecule objects, since
that is the work add_arrays_batch saves its callers.
"""

import argparse
import os
import tempfile

import numpy as np

from measure import best_time
from molarium._molarium_rs import PyAtomDatabase, PyMolecule

CODECS = ["none", "lz4", "zstd"]


def make_batch(molecules, atoms, seed=0):
    """Canonical dtypes (the fast path), every built-in field, one custom property per scope."""
    rng = np.random.default_rng(seed)
    return {
        "positions": rng.normal(size=(molecules, atoms, 3)).astype(np.float32),
        "atomic_numbers": rng.integers(1, 90, size=(molecules, atoms)).astype(np.uint8),
        "energy": rng.normal(size=molecules),
        "forces": rng.normal(size=(molecules, atoms, 3)).astype(np.float32),
        "cell": np.broadcast_to(np.eye(3) * 12.0, (molecules, 3, 3)).copy(),
        "pbc": np.ones((molecules, 3), dtype=bool),
        "properties": {"label": rng.normal(size=molecules)},
        "atom_properties": {"feature": rng.normal(size=(molecules, atoms)).astype(np.float32)},
    }


def write_batch(path, codec, batch):
    db = PyAtomDatabase(path, codec, overwrite=True)
    fields = dict(batch)
    db.add_arrays_batch(fields.pop("positions"), fields.pop("atomic_numbers"), **fields)
    db.flush()


def write_molecules(path, codec, batch):
    db = PyAtomDatabase(path, codec, overwrite=True)
    molecules = []
    for i in range(len(batch["positions"])):
        mol = PyMolecule(
            batch["positions"][i],
            batch["atomic_numbers"][i],
            energy=float(batch["energy"][i]),
            forces=batch["forces"][i],
            cell=batch["cell"][i],
            pbc=tuple(bool(flag) for flag in batch["pbc"][i]),
        )
        mol.set_property("label", float(batch["properties"]["label"][i]))
        mol.set_property("feature", batch["atom_properties"]["feature"][i], scope="atom")
        molecules.append(mol)
    db.add_molecules(molecules)
    db.flush()


def best_rate(write, path, codec, batch, repeat):
    def remove_previous():
        if os.path.exists(path):
            os.unlink(path)

    seconds = best_time(lambda: write(path, codec, batch), repeat, setup=remove_previous)
    return len(batch["positions"]) / seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=20000)
    parser.add_argument("--atoms", type=int, default=32)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    batch = make_batch(args.molecules, args.atoms)
    print(f"{args.molecules} molecules of {args.atoms} atoms, best of {args.repeat}")
    print(f"{'codec':<6} {'add_arrays_batch':>18} {'add_molecules':>15} {'speed-up':>9}")
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "bench.mol")
        for codec in CODECS:
            batched = best_rate(write_batch, path, codec, batch, args.repeat)
            single = best_rate(write_molecules, path, codec, batch, args.repeat)
            print(f"{codec:<6} {batched:>14,.0f}/s {single:>11,.0f}/s {batched / single:>8.1f}x")


if __name__ == "__main__":
    main()
