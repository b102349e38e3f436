"""One writer per file: a handle that appends holds the file's lock until it is dropped, a handle that
knows an older commit may not write, a handle inherited across fork may not write, and readers are
never held up. Every refusal is immediate, names its cause, writes nothing and leaves the handle
readable."""

import errno
import gc
import multiprocessing
import os
import re
import struct
import time
import zlib

import numpy as np
import pytest

from conftest import in_child

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

# Forking a process whose worker pool has run draws a DeprecationWarning on newer CPython.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")
HAS_FORK = "fork" in multiprocessing.get_all_start_methods()
TIMEOUT = 120
LOCKED = ("Another handle is writing the database file '{}'; one handle at a time may write, until it is dropped. "
          "Nothing was written")
COMMITTED = ("The database file '{}' was committed by another handle since this one was opened (commit "
             "generation {} in the file, {} in this handle); reopen it to write. Nothing was written")
REPLACED = "The database file '{}' was replaced since this handle was opened; reopen it to write. Nothing was written"
INHERITED = ("This handle to the database file '{}' was inherited across fork from process {}, which holds its "
             "write lock; open a new handle in this process to write. Nothing was written")


def molecule(seed, n=3):
    positions = (np.arange(n * 3, dtype=np.float32).reshape(n, 3) + seed * 100).astype(np.float32)
    return PyMolecule(positions, np.full(n, 1 + seed % 90, np.uint8), energy=float(seed))


def energies(path):
    db = PyAtomDatabase.open(str(path), mmap=False)
    return [db[i].energy for i in range(len(db))]


def created(tmp_path, seeds=(), name="db.mol"):
    path = tmp_path / name
    db = PyAtomDatabase(str(path), "zstd")
    db.add_molecules([molecule(s) for s in seeds])
    db.flush()
    return str(path)


def opened(path):
    return PyAtomDatabase.open(path, mmap=False)


WRITES = {
    "add_molecule": lambda db, seed: db.add_molecule(molecule(seed)),
    "add_molecules": lambda db, seed: db.add_molecules([molecule(seed), molecule(seed + 1)]),
    "add_arrays_batch": lambda db, seed: db.add_arrays_batch(np.zeros((2, 3, 3), np.float32), np.ones((2, 3), np.uint8),
                                                             energy=np.array([float(seed), seed + 1.0])),
    "flush": lambda db, seed: db.flush(),
}
add_one, add_many = WRITES["add_molecule"], WRITES["add_molecules"]


def test_each_refusal_names_its_cause_and_takes_no_lock(tmp_path):
    path = created(tmp_path, [0])
    stale, writer = opened(path), opened(path)
    add_one(writer, 1)
    with pytest.raises(BlockingIOError) as locked:
        add_one(stale, 2)
    assert str(locked.value) == f"[Errno {errno.EAGAIN}] " + LOCKED.format(path)
    assert (locked.value.errno, locked.value.strerror) == (errno.EAGAIN, LOCKED.format(path))
    writer.flush()
    del writer
    for _ in range(2):
        with pytest.raises(RuntimeError, match=f"^{re.escape(COMMITTED.format(path, 2, 1))}$"):
            add_one(stale, 2)
    fresh = opened(path)
    add_one(fresh, 3)
    fresh.flush()
    del fresh
    assert energies(path) == [0.0, 1.0, 3.0]
    replaced = opened(path)
    os.replace(created(tmp_path, [5], name="other.mol"), path)
    with pytest.raises(RuntimeError, match=f"^{re.escape(REPLACED.format(path))}$"):
        add_one(replaced, 3)


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
@pytest.mark.parametrize("situation, refusal", [("appended", BlockingIOError), ("committed", BlockingIOError),
                                                ("committed and gone", RuntimeError)])
def test_a_second_handle_is_refused_and_changes_nothing(tmp_path, write, situation, refusal):
    path = created(tmp_path, [0, 1])
    second, first = opened(path), opened(path)
    add_many(first, 10)
    if "committed" in situation:
        first.flush()
    if "gone" in situation:
        del first
    before = open(path, "rb").read()
    with pytest.raises(refusal):
        write(second, 20)
    assert open(path, "rb").read() == before
    assert [second[i].energy for i in range(len(second))] == [0.0, 1.0]  # still reads what it knew
    if "gone" not in situation:
        add_one(first, 12)
        first.flush()
        assert energies(path) == [0.0, 1.0, 10.0, 11.0, 12.0]


def test_a_commit_behind_the_writers_back_is_refused_at_flush(tmp_path):
    path = created(tmp_path, [0])
    writer = opened(path)
    add_one(writer, 1)
    slot = bytearray(open(path, "rb").read()[4096:8192])  # a program ignoring the lock commits generation 2 in slot A
    assert struct.unpack_from("<Q", slot, 8)[0] == 1
    struct.pack_into("<Q", slot, 8, 2)
    struct.pack_into("<I", slot, 4092, zlib.adler32(bytes(slot[:4092])))
    with open(path, "r+b") as file:
        file.write(slot)
    before = open(path, "rb").read()
    with pytest.raises(RuntimeError, match="committed by another handle"):
        writer.flush()
    assert open(path, "rb").read() == before and len(writer) == 2


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_a_writer_whose_file_was_replaced_at_its_path_is_refused(tmp_path, write):
    path = created(tmp_path, [0])
    writer = opened(path)
    add_one(writer, 1)
    os.replace(created(tmp_path, [5, 6], name="other.mol"), path)
    before = open(path, "rb").read()
    with pytest.raises(RuntimeError, match="was replaced since this handle was opened"):
        write(writer, 2)
        writer.flush()
    assert open(path, "rb").read() == before and energies(path) == [5.0, 6.0]


def drop_in_a_cycle(holder):
    cycle = [holder.pop("db")]  # reachable only through a cycle, so only the collector frees it
    cycle.append(cycle)
    del cycle
    gc.collect()


@pytest.mark.parametrize("drop", [lambda holder: holder.pop("db"), drop_in_a_cycle], ids=["del", "cycle"])
@pytest.mark.parametrize("committed", [False, True])
def test_dropping_the_writer_lets_another_handle_append(tmp_path, drop, committed):
    path = created(tmp_path, [0])
    early = opened(path)  # opened before the abandoned append: only the lock tells it those bytes are no commit
    holder = {"db": opened(path)}
    add_many(holder["db"], 1)
    if committed:
        holder["db"].flush()
    drop(holder)
    if committed:
        early = opened(path)
    add_one(early, 5)
    early.flush()
    assert energies(path) == ([0.0, 1.0, 2.0, 5.0] if committed else [0.0, 5.0])
    assert PyAtomDatabase.open(path).get_molecules_flat([0, 1])["energy"].tolist() == [0.0, 1.0 if committed else 5.0]


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("before", [True, False], ids=["opened before the writer", "opened while it holds the lock"])
def test_readers_are_not_held_up_by_a_writer(tmp_path, mmap, before):
    path = created(tmp_path, [0, 1, 2])
    reader = PyAtomDatabase.open(path, mmap=mmap) if before else None
    writer = opened(path)
    add_many(writer, 10)
    writer.flush()
    add_one(writer, 12)  # the writer holds the lock, with an uncommitted append
    reader = reader or PyAtomDatabase.open(path, mmap=mmap)
    expected = [0.0, 1.0, 2.0] if before else [0.0, 1.0, 2.0, 10.0, 11.0]
    assert [m.energy for m in reader.get_molecules(list(range(len(reader))))] == expected
    assert reader.get_molecules_flat(list(range(len(expected))))["energy"].tolist() == expected
    writer.flush()
    assert len(reader) == len(expected) and energies(path) == [0.0, 1.0, 2.0, 10.0, 11.0, 12.0]
    mapped = PyAtomDatabase.open(path)  # refused as before, and takes no lock
    for write in WRITES.values():
        with pytest.raises(ValueError):
            write(mapped, 1)
    del writer
    again = opened(path)
    add_one(again, 13)
    again.flush()


def append_until_committed(path, seeds, barrier, results):
    """On a refusal, record it, open a new handle and try again, until the molecules are committed."""
    barrier.wait(TIMEOUT)
    refusals = []
    for _ in range(10_000):
        db = opened(path)
        try:
            db.add_molecules([molecule(s) for s in seeds])
            db.flush()
        except (BlockingIOError, RuntimeError) as refusal:
            refusals.append((type(refusal).__name__, str(refusal)))
            del db
            time.sleep(0.001)
            continue
        return results.put((refusals, None))
    results.put((refusals, "never committed"))


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
def test_processes_appending_at_the_same_moment_lose_no_commit(tmp_path):
    path = created(tmp_path, [0])
    context = multiprocessing.get_context("fork")
    workers, per_worker = 6, 25
    barrier, results = context.Barrier(workers), context.Queue()
    seeds = [list(range(1000 * (w + 1), 1000 * (w + 1) + per_worker)) for w in range(workers)]
    processes = [context.Process(target=append_until_committed, args=(path, s, barrier, results)) for s in seeds]
    for process in processes:
        process.start()
    outcomes = [results.get(timeout=TIMEOUT) for _ in processes]
    for process in processes:
        process.join(TIMEOUT)
        assert process.exitcode == 0
    assert [failure for _, failure in outcomes] == [None] * workers
    for kind, message in (r for refusals, _ in outcomes for r in refusals):
        assert ("Another handle is writing" if kind == "BlockingIOError" else "committed by another handle") in message
    stored = energies(path)
    runs = [stored[1 + i * per_worker : 1 + (i + 1) * per_worker] for i in range(workers)]
    assert stored[0] == 0.0 and sorted(runs) == sorted([[float(s) for s in group] for group in seeds])


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
def test_a_handle_inherited_across_fork_may_not_write(tmp_path, write):
    path = created(tmp_path, [0])
    db = opened(path)
    add_one(db, 1)
    before = open(path, "rb").read()

    def child():
        try:
            write(db, 5)
        except RuntimeError as refusal:
            assert len(db) == 2 and db[1].energy == 1.0  # still readable
            try:
                add_one(opened(path), 6)  # its own handle waits for the parent's lock
            except BlockingIOError:
                return str(refusal)
        return "written"

    assert in_child(child) == ("ok", INHERITED.format(path, os.getpid()))
    assert open(path, "rb").read() == before
    add_one(db, 2)  # the parent's lock and handle are intact
    db.flush()
    assert energies(path) == [0.0, 1.0, 2.0]


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
def test_a_handle_that_never_wrote_before_fork_writes_in_one_process_only(tmp_path):
    path = created(tmp_path, [0])
    db = opened(path)
    assert in_child(lambda: (add_one(db, 7), db.flush(), len(db))[2]) == ("ok", 2)
    with pytest.raises(RuntimeError):  # the child committed: the parent's handle knows an older commit
        add_one(db, 1)
    assert energies(path) == [0.0, 7.0]
