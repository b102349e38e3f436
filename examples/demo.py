"""A first look at molarium: store molecules, commit, reopen memory-mapped, read them back one by one
and as a training batch of concatenated arrays."""
import os
import tempfile

import numpy as np

from molarium._molarium_rs import PyAtomDatabase, PyMolecule


def main() -> None:
    path = os.path.join(tempfile.mkdtemp(), "demo.mol")
    rng = np.random.default_rng(7)

    db = PyAtomDatabase(path, compression="zstd", level=3)
    water = PyMolecule(
        np.array([[0.0, 0.0, 0.117], [0.0, 0.757, -0.469], [0.0, -0.757, -0.469]], dtype=np.float32),
        np.array([8, 1, 1], dtype=np.uint8),
        energy=-76.4,
        forces=rng.normal(size=(3, 3)).astype(np.float32),
        name="water",
    )
    db.add_molecule(water)
    db.add_molecules(
        [
            PyMolecule(
                rng.normal(size=(n, 3)).astype(np.float32),
                rng.integers(1, 10, size=n).astype(np.uint8),
                energy=float(-n),
            )
            for n in range(5, 105)
        ]
    )
    # A dataset arrives as stacked arrays: 256 molecules of 12 atoms in one call, no per-molecule objects.
    count, atoms = 256, 12
    db.add_arrays_batch(
        rng.normal(size=(count, atoms, 3)).astype(np.float32),
        rng.integers(1, 10, size=(count, atoms)).astype(np.uint8),
        energy=rng.normal(size=count),
        forces=rng.normal(size=(count, atoms, 3)).astype(np.float32),
    )
    db.flush()
    print(f"wrote {len(db)} molecules to {path} (zstd level 3)")

    reopened = PyAtomDatabase.open(path)  # memory-mapped, read-only
    first = reopened[0]
    print(f"reopened memory-mapped: {len(reopened)} molecules")
    print(f"molecule 0: {first!r}")
    print("  positions:\n", first.positions)
    print("  atomic numbers:", first.atomic_numbers, " energy:", first.energy)
    print("  first atom:", first[0])
    batch = reopened.get_molecules([10, 20, 30])
    print("molecules 10, 20, 30 have", [len(m) for m in batch], "atoms")

    # A training batch: one dictionary of contiguous arrays for a random selection.
    selection = rng.choice(len(reopened), size=32, replace=False).tolist()
    flat = reopened.get_molecules_flat(selection)
    print("training batch of 32:")
    for key, value in flat.items():
        if isinstance(value, np.ndarray):
            print(f"  {key:15s} {str(value.dtype):8s} {value.shape}")
        else:  # names: one str or None per molecule
            print(f"  {key:15s} {type(value).__name__} of {len(value)}")


if __name__ == "__main__":
    main()
