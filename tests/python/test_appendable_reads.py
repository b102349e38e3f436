"""A handle opened to append reads what it committed and what it appended, from the file it opened."""

import multiprocessing
import os

import pytest
from conftest import CODECS, assert_reads, check, in_child, seeded, seeded_batch
from hypothesis import given, settings
from hypothesis import strategies as st

from molarium._molarium_rs import PyAtomDatabase

# --- the file a handle opened ----------------------------------------------------------------------
# The second file has the same atom counts and codec, other values: read at the first file's offsets,
# its records decode without an error and give wrong molecules.
FIRST, SECOND = list(range(6)), list(range(100, 106))


def filled(path, codec, seeds, overwrite=False, commit=False, handle=None):
    db = PyAtomDatabase(path, codec, overwrite=overwrite) if handle is None else handle
    db.add_molecules([seeded(s) for s in seeds])
    if commit:
        db.flush()
    return db


def appended_by_a_reopened_handle(path, codec, mmap):
    PyAtomDatabase(path, codec)  # created, never committed: a mapped handle may append to it
    db = filled(path, codec, FIRST[:2], commit=True, handle=PyAtomDatabase.open(path, mmap=mmap))
    return filled(path, codec, FIRST[2:], handle=db)  # not committed


HANDLES = {
    "committed, reopened unmapped": lambda p, c: filled(p, c, FIRST, commit=True) and PyAtomDatabase.open(p, False),
    "uncommitted, creating handle": lambda p, c: filled(p, c, FIRST),
    "partly committed, reopened unmapped": lambda p, c: appended_by_a_reopened_handle(p, c, False),
    "partly committed, mapped over a file without commit": lambda p, c: appended_by_a_reopened_handle(p, c, True),
}
REPLACE = {
    "os.replace": lambda p, c, t: os.replace(filled(str(t / "o.mol"), c, SECOND, commit=True) and t / "o.mol", p),
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
    pytest.raises(ValueError, db.get_molecules, [0, len(FIRST)])
    assert_reads(PyAtomDatabase.open(path, mmap=False), SECOND)


# --- appends and commits interleaved ---------------------------------------------------------------
OPERATION = st.one_of(st.tuples(st.just("add"), st.lists(st.integers(1, 40), min_size=1, max_size=6)),
                      st.tuples(st.just("batch"), st.integers(1, 40), st.integers(1, 5)), st.just(("flush",)))


@settings(max_examples=30, deadline=None)
@given(codec=st.sampled_from(CODECS), operations=st.lists(OPERATION, max_size=8))
def test_committed_and_appended_records_read_alike_through_both_handle_kinds(tmp_path_factory, codec, operations):
    path = str(tmp_path_factory.mktemp("interleaved") / "db.mol")
    PyAtomDatabase(path, codec).flush()
    db, kept = PyAtomDatabase.open(path, mmap=False), []  # kept: views read before later appends and commits
    for operation in operations:
        count = len(operation[1]) if operation[0] == "add" else operation[2] if operation[0] == "batch" else 0
        seeds = range(len(kept), len(kept) + count)
        if operation[0] == "add":
            db.add_molecules([seeded(s, atoms) for s, atoms in zip(seeds, operation[1])])
        elif operation[0] == "batch":
            db.add_arrays_batch(**seeded_batch(seeds, operation[1]))
        else:
            db.flush()
            assert_reads(PyAtomDatabase.open(path, mmap=True), range(len(kept)))
        assert_reads(db, range(len(kept) + len(seeds)))
        kept += [db[s] for s in seeds]
    db.flush()
    mapped = PyAtomDatabase.open(path, mmap=True).get_molecules_flat(list(range(len(kept))))
    unmapped = db.get_molecules_flat(list(range(len(kept)))) if kept else {}
    for key, value in unmapped.items():
        for name, array in (value.items() if isinstance(value, dict) else [("", value)]):
            assert (mapped[key][name] if name else mapped[key]).tobytes() == array.tobytes(), (key, name)
    del db
    for seed, view in enumerate(kept):
        check(view, seed)


# --- fork ------------------------------------------------------------------------------------------
@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="this platform cannot fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("codec", CODECS)
def test_a_child_reads_committed_and_appended_records_through_an_inherited_handle(tmp_path, codec):
    db = filled(str(tmp_path / "db.mol"), codec, range(2000), commit=True)
    filled(None, codec, range(2000, 3000), handle=db)  # not committed
    db.get_molecules_flat(list(range(3000)))  # the pool runs before the fork
    assert in_child(lambda: assert_reads(db, range(3000))) == ("ok", None)
    db.flush()
    assert_reads(db, range(3000))
