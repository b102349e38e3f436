"""A handle opened to append reads what it committed and what it appended, from the file it opened."""

import multiprocessing
import os

import numpy as np
import pytest
from conftest import CODECS, in_child
from hypothesis import given, settings
from hypothesis import strategies as st

from molarium._molarium_rs import PyAtomDatabase, PyMolecule



def arrays(seed, atoms):
    """One molecule's values, computed from its seed alone."""
    rng = np.random.default_rng(seed)
    return {
        "positions": rng.standard_normal((atoms, 3)).astype(np.float32),
        "atomic_numbers": rng.integers(1, 90, atoms).astype(np.uint8),
        "forces": rng.standard_normal((atoms, 3)).astype(np.float32),
        "energy": float(rng.standard_normal()),
    }


def molecule(seed, atoms):
    a = arrays(seed, atoms)
    return PyMolecule(a["positions"], a["atomic_numbers"], energy=a["energy"], forces=a["forces"])


def assert_reads(db, stored):
    """Every molecule reads back as stored: one by one, as views, and as one flat batch equal to
    NumPy's concatenation."""
    assert len(db) == len(stored)
    order = list(range(len(stored)))[::-1]
    values = [arrays(*stored[i]) for i in order]
    for i, view, want in zip(order, db.get_molecules(order), values):
        for mol in (db[i], view):
            np.testing.assert_array_equal(mol.positions, want["positions"])
            np.testing.assert_array_equal(mol.forces, want["forces"])
            assert mol.energy == want["energy"]
    if stored:
        flat = db.get_molecules_flat(order)
        np.testing.assert_array_equal(flat["n_atoms"], np.array([stored[i][1] for i in order], np.uint32))
        np.testing.assert_array_equal(flat["energy"], [v["energy"] for v in values])
        for key in ("positions", "atomic_numbers", "forces"):
            np.testing.assert_array_equal(flat[key], np.concatenate([v[key] for v in values]), err_msg=key)


# --- the file a handle opened ----------------------------------------------------------------------

FIRST = [(seed, 4 + seed % 3) for seed in range(6)]
# The same atom counts and codec, other values: read at the first file's offsets, the records
# decode without an error and give wrong molecules.
SECOND = [(100 + seed, atoms) for seed, atoms in FIRST]


def filled(path, codec, stored, overwrite=False, commit=False):
    db = PyAtomDatabase(path, codec, overwrite=overwrite)
    db.add_molecules([molecule(*s) for s in stored])
    if commit:
        db.flush()
    return db


def reopened(path, codec, stored):
    filled(path, codec, stored, commit=True)
    return PyAtomDatabase.open(path, mmap=False)


def moved_in(path, codec, tmp_path):
    filled(str(tmp_path / "other.mol"), codec, SECOND, commit=True)
    os.replace(tmp_path / "other.mol", path)


def appended_by_a_reopened_handle(path, codec, mmap):
    PyAtomDatabase(path, codec)  # created, never committed: a mapped handle may append to it
    db = PyAtomDatabase.open(path, mmap=mmap)
    db.add_molecules([molecule(*s) for s in FIRST[:2]])
    db.flush()
    db.add_molecules([molecule(*s) for s in FIRST[2:]])  # not committed
    return db


HANDLES = {
    "committed, reopened unmapped": lambda p, c: reopened(p, c, FIRST),
    "uncommitted, creating handle": lambda p, c: filled(p, c, FIRST),
    "partly committed, reopened unmapped": lambda p, c: appended_by_a_reopened_handle(p, c, False),
    "partly committed, mapped over a file without commit": lambda p, c: appended_by_a_reopened_handle(p, c, True),
}
REPLACE = {
    "os.replace": moved_in,
    "overwrite": lambda p, c, t: filled(p, c, SECOND, overwrite=True, commit=True),
}


@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("replace", REPLACE.values(), ids=REPLACE.keys())
@pytest.mark.parametrize("handle", HANDLES.values(), ids=HANDLES.keys())
def test_a_handle_reads_the_file_it_opened_after_another_takes_its_path(tmp_path, codec, replace, handle):
    path = str(tmp_path / "db.mol")
    db = handle(path, codec)
    replace(path, codec, tmp_path)
    assert_reads(db, FIRST)
    assert_reads(PyAtomDatabase.open(path, mmap=False), SECOND)


# --- appends and commits interleaved ---------------------------------------------------------------

OPERATION = st.one_of(
    st.tuples(st.just("add"), st.lists(st.integers(1, 40), min_size=1, max_size=6)),
    st.tuples(st.just("batch"), st.integers(1, 40), st.integers(1, 5)),
    st.just(("flush",)),
)


@settings(max_examples=30, deadline=None)
@given(codec=st.sampled_from(CODECS), operations=st.lists(OPERATION, max_size=8))
def test_committed_and_appended_records_read_alike_through_both_handle_kinds(tmp_path_factory, codec, operations):
    path = str(tmp_path_factory.mktemp("interleaved") / "db.mol")
    PyAtomDatabase(path, codec).flush()
    db = PyAtomDatabase.open(path, mmap=False)
    stored = []
    kept = []  # views read before later appends and commits, with what they must still hold
    for operation in operations:
        seed = len(stored)
        if operation[0] == "add":
            molecules = [(seed + i, atoms) for i, atoms in enumerate(operation[1])]
            db.add_molecules([molecule(s, atoms) for s, atoms in molecules])
            stored += molecules
        elif operation[0] == "batch":
            _, atoms, count = operation
            values = [arrays(s, atoms) for s in range(seed, seed + count)]
            db.add_arrays_batch(*(np.stack([v[k] for v in values]) for k in ("positions", "atomic_numbers")),
                                energy=np.array([v["energy"] for v in values]),
                                forces=np.stack([v["forces"] for v in values]))
            stored += [(s, atoms) for s in range(seed, seed + count)]
        else:
            db.flush()
            assert_reads(PyAtomDatabase.open(path, mmap=True), stored)
        assert_reads(db, stored)
        if stored:
            kept.append((db[len(stored) - 1], arrays(*stored[-1])["positions"]))
    db.flush()
    mapped = PyAtomDatabase.open(path, mmap=True).get_molecules_flat(list(range(len(stored))))
    unmapped = db.get_molecules_flat(list(range(len(stored)))) if stored else {}
    for key, value in unmapped.items():
        assert mapped[key].tobytes() == value.tobytes(), key
    del db
    for view, positions in kept:
        np.testing.assert_array_equal(view.positions, positions)


# --- fork ------------------------------------------------------------------------------------------


@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="this platform cannot fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("codec", CODECS)
def test_a_child_reads_committed_and_appended_records_through_an_inherited_handle(tmp_path, codec):
    path = str(tmp_path / "db.mol")
    stored = [(seed, 3 + seed % 5) for seed in range(3000)]
    db = PyAtomDatabase(path, codec)
    db.add_molecules([molecule(seed, atoms) for seed, atoms in stored[:2000]])
    db.flush()
    db.add_molecules([molecule(seed, atoms) for seed, atoms in stored[2000:]])  # not committed
    db.get_molecules_flat(list(range(len(stored))))  # the pool runs before the fork
    assert in_child(lambda: assert_reads(db, stored)) == ("ok", None)
    db.flush()
    assert_reads(db, stored)
