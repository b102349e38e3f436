"""get_molecules_flat on selections large enough to be looked up and filled on the worker pool."""

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase
from test_flat import LOCK_ORDER, assert_same, expected_dictionary


def two_kinds_of_batches(path, compression, rng, count):
    """Batches of molecules with every built-in field alternate with batches that have energy only,
    so the schema lock lays out every read and the other molecules' rows and slots must read as
    zeros."""
    db = PyAtomDatabase(str(path), compression)
    for batch, n in enumerate(rng.integers(1, 9, count // 20)):
        shape = (20, int(n))
        positions = rng.standard_normal(shape + (3,)).astype(np.float32)
        numbers = rng.integers(1, 119, shape).astype(np.uint8)
        custom = {"properties": {"level": rng.integers(-5, 5, 20)},
                  "atom_properties": {"feature": rng.standard_normal(shape).astype(np.float32)}}
        if batch % 3 == 0:
            db.add_arrays_batch(positions, numbers, energy=rng.standard_normal(20), **custom)
            continue
        db.add_arrays_batch(positions, numbers, energy=rng.standard_normal(20),
                            forces=rng.standard_normal(shape + (3,)).astype(np.float32),
                            cell=rng.standard_normal((20, 3, 3)), stress=rng.standard_normal((20, 3, 3)),
                            pbc=rng.integers(0, 2, (20, 3)).astype(bool),
                            charges=rng.standard_normal(shape), **custom)
    db.flush()
    return db


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
@pytest.mark.parametrize("mmap", [True, False])
def test_large_selections_equal_the_per_molecule_getters_round_after_round(tmp_path, compression, mmap):
    rng = np.random.default_rng(11)
    two_kinds_of_batches(tmp_path / "db.mol", compression, rng, 3000)
    db = PyAtomDatabase.open(str(tmp_path / "db.mol"), mmap=mmap)
    # Molecule 0 has energy only, so the lock lays out the result in its own order.
    selections = [[0] + rng.permutation(len(db))[:2500].tolist(), [0] + rng.integers(0, len(db), 4000).tolist()]
    expected = [expected_dictionary(db.get_molecules(indices), None, LOCK_ORDER) for indices in selections]
    # Every batch is dropped before the next, so later reads may be given memory that held
    # earlier results: what a molecule lacks must still read as zeros.
    for _ in range(3):
        for indices, want in zip(selections, expected):
            assert_same(db.get_molecules_flat(indices), want)


def test_every_array_of_a_large_read_is_its_own_memory(tmp_path):
    rng = np.random.default_rng(12)
    two_kinds_of_batches(tmp_path / "db.mol", "none", rng, 3000)
    db = PyAtomDatabase.open(str(tmp_path / "db.mol"))
    indices = list(range(1, 3000, 2))
    first, second = db.get_molecules_flat(indices), db.get_molecules_flat(indices)
    arrays = [(key, value) for key, value in first.items() if isinstance(value, np.ndarray)]
    arrays += [(key, value) for nested in ("atom_properties", "properties") for key, value in first[nested].items()]
    assert len(arrays) == 11
    for i, (key, value) in enumerate(arrays):
        assert value.flags.c_contiguous and value.flags.writeable, key
        for other_key, other in arrays[i + 1:]:
            assert not np.shares_memory(value, other), (key, other_key)
        value[...] = 0
    np.testing.assert_array_equal(second["forces"], db.get_molecules_flat(indices)["forces"])
    assert np.any(second["forces"] != 0)
