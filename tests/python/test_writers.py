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

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

# Forking a process whose worker pool has run draws a DeprecationWarning on newer CPython.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

HAS_FORK = "fork" in multiprocessing.get_all_start_methods()
TIMEOUT = 120

LOCKED = "Another handle is writing the database file '{}'; one handle at a time may write, until it is dropped. Nothing was written"
COMMITTED = (
    "The database file '{}' was committed by another handle since this one was opened (commit generation {} in the "
    "file, {} in this handle); reopen it to write. Nothing was written"
)
REPLACED = "The database file '{}' was replaced since this handle was opened; reopen it to write. Nothing was written"
INHERITED = (
    "This handle to the database file '{}' was inherited across fork from process {}, which holds its write lock; "
    "open a new handle in this process to write. Nothing was written"
)


def molecule(seed, n=3):
    positions = (np.arange(n * 3, dtype=np.float32).reshape(n, 3) + seed * 100).astype(np.float32)
    return PyMolecule(positions, np.full(n, 1 + seed % 90, np.uint8), energy=float(seed))


def energies(path):
    """The energies of every committed molecule, read through a fresh handle."""
    db = PyAtomDatabase.open(str(path), mmap=False)
    return [db[i].energy for i in range(len(db))]


def created(tmp_path, seeds=(), name="db.mol"):
    """A committed file holding the given seeds; its handle is dropped."""
    path = tmp_path / name
    db = PyAtomDatabase(str(path), "zstd")
    if seeds:
        db.add_molecules([molecule(s) for s in seeds])
    db.flush()
    return str(path)


def add_one(db, seed):
    db.add_molecule(molecule(seed))


def add_many(db, seed):
    db.add_molecules([molecule(seed), molecule(seed + 1)])


def add_batch(db, seed):
    db.add_arrays_batch(
        np.zeros((2, 3, 3), np.float32), np.ones((2, 3), np.uint8), energy=np.array([float(seed), seed + 1.0])
    )


def flush(db, seed):
    db.flush()


WRITES = [add_one, add_many, add_batch, flush]


# --- the messages ---------------------------------------------------------------------------------


def test_each_refusal_names_its_cause(tmp_path):
    path = created(tmp_path, [0])
    stale = PyAtomDatabase.open(path, mmap=False)
    writer = PyAtomDatabase.open(path, mmap=False)
    add_one(writer, 1)

    with pytest.raises(BlockingIOError) as locked:
        add_one(stale, 2)
    assert str(locked.value) == f"[Errno {errno.EAGAIN}] " + LOCKED.format(path)
    assert locked.value.errno == errno.EAGAIN and locked.value.strerror == LOCKED.format(path)

    writer.flush()
    del writer
    with pytest.raises(RuntimeError, match=f"^{re.escape(COMMITTED.format(path, 2, 1))}$"):
        add_one(stale, 2)

    replaced = PyAtomDatabase.open(path, mmap=False)
    os.replace(created(tmp_path, [5], name="other.mol"), path)
    with pytest.raises(RuntimeError, match=f"^{re.escape(REPLACED.format(path))}$"):
        add_one(replaced, 3)


# --- two handles in one process -------------------------------------------------------------------


@pytest.mark.parametrize("write", WRITES)
@pytest.mark.parametrize(
    "situation, refusal",
    [
        ("the first handle has appended", BlockingIOError),
        ("the first handle has committed and still lives", BlockingIOError),
        ("the first handle has committed and is gone", RuntimeError),
    ],
)
def test_a_second_handle_is_refused_and_changes_nothing(tmp_path, write, situation, refusal):
    path = created(tmp_path, [0, 1])
    second = PyAtomDatabase.open(path, mmap=False)
    first = PyAtomDatabase.open(path, mmap=False)
    add_many(first, 10)
    if "committed" in situation:
        first.flush()
    if "gone" in situation:
        del first
    before = open(path, "rb").read()

    with pytest.raises(refusal):
        write(second, 20)

    assert open(path, "rb").read() == before
    # The refused handle still reads what it knew.
    assert len(second) == 2 and [second[i].energy for i in range(2)] == [0.0, 1.0]
    if "gone" not in situation:
        # The writer goes on; its molecules and nothing of the refused call's are committed.
        add_one(first, 12)
        first.flush()
        assert energies(path) == [0.0, 1.0, 10.0, 11.0, 12.0]


def test_the_reported_sequence_keeps_every_commit(tmp_path):
    # Four through the first handle, four through the second, two more through the first.
    path = created(tmp_path)
    first = PyAtomDatabase.open(path, mmap=False)
    second = PyAtomDatabase.open(path, mmap=False)
    first.add_molecules([molecule(s) for s in range(4)])
    first.flush()
    with pytest.raises(BlockingIOError):
        second.add_molecules([molecule(s) for s in range(4, 8)])
    first.add_molecules([molecule(s) for s in range(8, 10)])
    first.flush()
    del first
    with pytest.raises(RuntimeError):
        second.add_molecules([molecule(s) for s in range(4, 8)])
    second = PyAtomDatabase.open(path, mmap=False)
    second.add_molecules([molecule(s) for s in range(4, 8)])
    second.flush()
    assert energies(path) == [float(s) for s in [0, 1, 2, 3, 8, 9, 4, 5, 6, 7]]


def test_a_commit_behind_the_writers_back_is_refused_at_flush(tmp_path):
    # A program that ignores the lock commits generation 2 into slot A, built by hand from slot B.
    path = created(tmp_path, [0])
    writer = PyAtomDatabase.open(path, mmap=False)
    add_one(writer, 1)
    data = bytearray(open(path, "rb").read())
    slot = bytearray(data[4096:8192])
    assert struct.unpack_from("<Q", slot, 8)[0] == 1
    struct.pack_into("<Q", slot, 8, 2)
    struct.pack_into("<I", slot, 4092, zlib.adler32(bytes(slot[:4092])))
    with open(path, "r+b") as file:
        file.write(slot)
    before = open(path, "rb").read()

    with pytest.raises(RuntimeError, match="committed by another handle"):
        writer.flush()

    assert open(path, "rb").read() == before
    assert len(writer) == 2


@pytest.mark.parametrize("write", WRITES)
def test_a_writer_whose_file_was_replaced_at_its_path_is_refused(tmp_path, write):
    # Its commits would go to a file no later open sees.
    path = created(tmp_path, [0])
    writer = PyAtomDatabase.open(path, mmap=False)
    add_one(writer, 1)
    os.replace(created(tmp_path, [5, 6], name="other.mol"), path)
    before = open(path, "rb").read()

    with pytest.raises(RuntimeError, match="was replaced since this handle was opened"):
        write(writer, 2)
        writer.flush()

    assert open(path, "rb").read() == before
    assert energies(path) == [5.0, 6.0]


# --- the lock goes with the handle ----------------------------------------------------------------


def drop_by_del(holder):
    del holder["db"]


def drop_in_a_cycle(holder):
    # Reachable only through a reference cycle, so only the cycle collector frees it.
    cycle = [holder.pop("db")]
    cycle.append(cycle)
    del cycle
    gc.collect()


@pytest.mark.parametrize("drop", [drop_by_del, drop_in_a_cycle])
@pytest.mark.parametrize("committed", [False, True])
def test_dropping_the_writer_lets_another_handle_append(tmp_path, drop, committed):
    path = created(tmp_path, [0])
    holder = {"db": PyAtomDatabase.open(path, mmap=False)}
    add_one(holder["db"], 1)
    if committed:
        holder["db"].flush()
    drop(holder)

    # Opened after the drop: an uncommitted append of the dropped handle is cut and never shows.
    after = PyAtomDatabase.open(path, mmap=False)
    add_one(after, 2)
    after.flush()
    assert energies(path) == ([0.0, 1.0, 2.0] if committed else [0.0, 2.0])


def test_a_handle_opened_before_an_abandoned_append_cuts_it(tmp_path):
    # The abandoned bytes were written after this handle was opened, so only the lock tells it they
    # belong to no commit.
    path = created(tmp_path, [0])
    committed_length = os.path.getsize(path)
    early = PyAtomDatabase.open(path, mmap=False)
    abandoned = PyAtomDatabase.open(path, mmap=False)
    add_many(abandoned, 1)
    del abandoned
    assert os.path.getsize(path) > committed_length

    add_one(early, 5)
    early.flush()
    assert energies(path) == [0.0, 5.0]
    reader = PyAtomDatabase.open(path)
    assert reader.get_molecules_flat([0, 1])["energy"].tolist() == [0.0, 5.0]


def test_a_refused_handle_holds_no_lock(tmp_path):
    path = created(tmp_path, [0])
    stale = PyAtomDatabase.open(path, mmap=False)
    writer = PyAtomDatabase.open(path, mmap=False)
    add_one(writer, 1)
    writer.flush()
    del writer
    for _ in range(2):
        with pytest.raises(RuntimeError):
            add_one(stale, 2)
    fresh = PyAtomDatabase.open(path, mmap=False)
    add_one(fresh, 3)
    fresh.flush()
    assert energies(path) == [0.0, 1.0, 3.0]


# --- readers ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("opened", ["before the writer", "while the writer holds the lock"])
def test_readers_are_not_held_up_by_a_writer(tmp_path, mmap, opened):
    path = created(tmp_path, [0, 1, 2])
    if opened == "before the writer":
        reader = PyAtomDatabase.open(path, mmap=mmap)
    writer = PyAtomDatabase.open(path, mmap=False)
    add_many(writer, 10)
    writer.flush()
    add_one(writer, 12)  # the writer holds the lock, with an uncommitted append
    if opened != "before the writer":
        reader = PyAtomDatabase.open(path, mmap=mmap)

    expected = [0.0, 1.0, 2.0] if opened == "before the writer" else [0.0, 1.0, 2.0, 10.0, 11.0]
    assert len(reader) == len(expected)
    assert [m.energy for m in reader.get_molecules(list(range(len(expected))))] == expected
    assert reader.get_molecules_flat(list(range(len(expected))))["energy"].tolist() == expected
    # Reading took no lock: the writer commits, and a reader that never wrote keeps reading.
    writer.flush()
    assert len(reader) == len(expected)
    assert energies(path) == [0.0, 1.0, 2.0, 10.0, 11.0, 12.0]


def test_a_mapped_handle_is_refused_as_before_and_takes_no_lock(tmp_path):
    path = created(tmp_path, [0])
    mapped = PyAtomDatabase.open(path)
    for write in WRITES:
        with pytest.raises(ValueError):
            write(mapped, 1)
    writer = PyAtomDatabase.open(path, mmap=False)
    add_one(writer, 1)
    writer.flush()
    assert energies(path) == [0.0, 1.0]


# --- processes ----------------------------------------------------------------------------------------


def append_until_committed(path, seeds, barrier, results):
    """One process of a group that all append at once: on a refusal it records the message, opens
    a new handle and tries again, until its molecules are committed."""
    barrier.wait(TIMEOUT)
    refusals = []
    for _ in range(10_000):
        db = PyAtomDatabase.open(path, mmap=False)
        try:
            db.add_molecules([molecule(s) for s in seeds])
            db.flush()
        except (BlockingIOError, RuntimeError) as refusal:
            refusals.append((type(refusal).__name__, str(refusal)))
            del db
            time.sleep(0.001)
            continue
        results.put((os.getpid(), refusals, None))
        return
    results.put((os.getpid(), refusals, "never committed"))


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
def test_processes_appending_at_the_same_moment_lose_no_commit(tmp_path):
    path = created(tmp_path, [0])
    context = multiprocessing.get_context("fork")
    workers, per_worker = 6, 25
    barrier = context.Barrier(workers)
    results = context.Queue()
    seeds = [list(range(1000 * (w + 1), 1000 * (w + 1) + per_worker)) for w in range(workers)]
    processes = [
        context.Process(target=append_until_committed, args=(path, seeds[w], barrier, results))
        for w in range(workers)
    ]
    for process in processes:
        process.start()
    outcomes = [results.get(timeout=TIMEOUT) for _ in processes]
    for process in processes:
        process.join(TIMEOUT)
        assert process.exitcode == 0

    assert [failure for _, _, failure in outcomes] == [None] * workers
    for _, refusals, _ in outcomes:
        for kind, message in refusals:
            cause = "Another handle is writing" if kind == "BlockingIOError" else "committed by another handle"
            assert cause in message and path in message
    stored = energies(path)
    assert stored[0] == 0.0 and len(stored) == 1 + workers * per_worker
    # Each process's molecules were committed together, in its order.
    runs = [stored[1 + i * per_worker : 1 + (i + 1) * per_worker] for i in range(workers)]
    assert sorted(runs) == sorted([[float(s) for s in group] for group in seeds])


def in_child(work):
    """Runs work() in a forked child; returns what it returned, or its exception's type and text."""
    context = multiprocessing.get_context("fork")
    results = context.Queue()

    def run():
        try:
            results.put(("ok", work()))
        except BaseException as error:  # noqa: BLE001 - handed to the parent
            results.put((type(error).__name__, str(error)))

    process = context.Process(target=run)
    process.start()
    outcome = results.get(timeout=TIMEOUT)
    process.join(TIMEOUT)
    assert process.exitcode == 0
    return outcome


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
@pytest.mark.parametrize("write", WRITES)
def test_a_handle_inherited_across_fork_may_not_write(tmp_path, write):
    path = created(tmp_path, [0])
    db = PyAtomDatabase.open(path, mmap=False)
    add_one(db, 1)
    before = open(path, "rb").read()

    def child():
        try:
            write(db, 5)
        except RuntimeError as refusal:
            # Still readable; its own handle is refused while the parent holds the lock.
            assert len(db) == 2 and db[1].energy == 1.0
            try:
                add_one(PyAtomDatabase.open(path, mmap=False), 6)
            except BlockingIOError:
                return str(refusal)
        return "written"

    assert in_child(child) == ("ok", INHERITED.format(path, os.getpid()))
    assert open(path, "rb").read() == before
    # The child dropped its copy of the descriptor; the parent's lock and handle are intact.
    add_one(db, 2)
    db.flush()
    assert energies(path) == [0.0, 1.0, 2.0]


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
def test_a_handle_that_never_wrote_before_fork_writes_in_one_process_only(tmp_path):
    path = created(tmp_path, [0])
    db = PyAtomDatabase.open(path, mmap=False)

    def child():
        add_one(db, 7)  # the child's own lock, on its own descriptor
        db.flush()
        return len(db)

    assert in_child(child) == ("ok", 2)
    # The child committed and ended: the parent's handle now knows an older commit.
    with pytest.raises(RuntimeError):
        add_one(db, 1)
    assert energies(path) == [0.0, 7.0]
