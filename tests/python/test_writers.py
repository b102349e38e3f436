"""One writer per file: a handle that appends holds the file's lock until it is dropped, a handle that
knows an older commit may not write, and a handle inherited across fork may not write (readers, never
held up, are in test_concurrency). Every refusal is immediate, names its cause, writes nothing and
leaves the handle readable."""

import errno
import gc
import multiprocessing
import os
import random
import signal
import struct
import subprocess
import sys
import threading
import time
import zlib

import pytest
from conftest import assert_reads, energies, in_child, refused, seeded, seeded_batch, write

from molarium._molarium_rs import PyAtomDatabase

# Forking a process whose worker pool has run draws a DeprecationWarning on newer CPython.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")
HAS_FORK = "fork" in multiprocessing.get_all_start_methods()
TIMEOUT = 120
LOCKED = (f"[Errno {errno.EAGAIN}] Another handle is writing the database file '{{}}'; one handle at a time may "
          "write, until it is dropped. Nothing was written")
COMMITTED = ("The database file '{}' was committed by another handle since this one was opened (commit "
             "generation 2 in the file, 1 in this handle); reopen it to write. Nothing was written")
REPLACED = "The database file '{}' was replaced since this handle was opened; reopen it to write. Nothing was written"
INHERITED = ("This handle to the database file '{}' was inherited across fork from process {}, which holds its "
             "write lock; open a new handle in this process to write. Nothing was written")
WRITES = {
    "add_molecule": lambda db, seed: db.add_molecule(seeded(seed)),
    "add_molecules": lambda db, seed: db.add_molecules([seeded(seed), seeded(seed + 1)]),
    "add_arrays_batch": lambda db, seed: db.add_arrays_batch(**seeded_batch([seed, seed + 1])),
    "flush": lambda db, seed: db.flush(),
}
add_one, add_many = WRITES["add_molecule"], WRITES["add_molecules"]


def created(tmp_path, seeds=(), name="db.mol"):
    return str(write(tmp_path / name, [seeded(s) for s in seeds], "zstd"))


def opened(path):
    return PyAtomDatabase.open(path, mmap=False)


def replace(tmp_path, path):
    os.replace(created(tmp_path, [5, 6], name="other.mol"), path)


def commit_behind_its_back(tmp_path, path):
    slot = bytearray(open(path, "rb").read()[4096:8192])  # a program ignoring the lock commits generation 2 in slot A
    struct.pack_into("<Q", slot, 8, 2)
    struct.pack_into("<I", slot, 4092, zlib.adler32(bytes(slot[:4092])))
    with open(path, "r+b") as file:
        file.write(slot)


# The refused handle was opened on a file holding seeds [0, 1]; then the other handle or program acted.
BEHIND = {
    "another appended": (lambda first: None, BlockingIOError, LOCKED),
    "another committed": (lambda first: first.flush(), BlockingIOError, LOCKED),
    "another committed and was dropped": (lambda first: first.flush(), RuntimeError, COMMITTED),
    "the file was replaced": (None, RuntimeError, REPLACED),
}


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
@pytest.mark.parametrize("situation", BEHIND)
def test_a_handle_behind_another_writer_is_refused_and_takes_no_lock(tmp_path, write, situation):
    act, error, text = BEHIND[situation]
    path = created(tmp_path, [0, 1])
    stale, first = opened(path), opened(path)
    if act is None:
        del first
        replace(tmp_path, path)
    else:
        add_many(first, 10)
        act(first)
        if "dropped" in situation:
            del first
    before = open(path, "rb").read()
    for _ in range(2):  # the refusal took no lock that would change the second one
        exc = refused(lambda: write(stale, 20), error, text.format(path))
    assert open(path, "rb").read() == before and getattr(exc, "errno", errno.EAGAIN) == errno.EAGAIN
    assert [stale[i].energy for i in range(len(stale))] == [0.0, 1.0]  # still reads what it knew
    writer = first if "first" in locals() else opened(path)
    add_one(writer, 12)
    writer.flush()
    assert energies(path)[-1] == 12.0 and len(energies(path)) == (3 if act is None else 5)


@pytest.mark.parametrize("write", WRITES.values(), ids=WRITES.keys())
@pytest.mark.parametrize("change, message", [(replace, "was replaced since"), (commit_behind_its_back, "committed by")])
def test_a_writer_whose_file_changed_behind_its_back_is_refused(tmp_path, write, change, message):
    path = created(tmp_path, [0])
    writer = opened(path)
    add_one(writer, 1)
    change(tmp_path, path)
    before = energies(path), open(path, "rb").read(8192)  # the header slots: no commit happens
    with pytest.raises(RuntimeError, match=message):
        write(writer, 2)
        writer.flush()
    assert (energies(path), open(path, "rb").read(8192)) == before and writer[1].energy == 1.0


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
    early = opened(path) if committed else early
    add_one(early, 5)
    early.flush()
    assert energies(path) == ([0.0, 1.0, 2.0, 5.0] if committed else [0.0, 5.0])
    assert PyAtomDatabase.open(path).get_molecules_flat([0, 1])["energy"].tolist() == [0.0, 1.0 if committed else 5.0]


# The writer as each test starts it: created by this handle, or opened on a file holding seed 0.
HANDLES = {"created": lambda path: PyAtomDatabase(path, overwrite=True),
           "opened": lambda path: opened(str(write(path, [seeded(0)])))}
HELD = {"a view": lambda db: db.get_molecule(0), "db[i]": lambda db: db[0], "get_molecules": lambda db: db.get_molecules([0]),
        "a flat batch": lambda db: db.get_molecules_flat([0]), "nothing": lambda db: None}


@pytest.mark.parametrize("handle", HANDLES)
@pytest.mark.parametrize("held", HELD)
def test_the_lock_ends_with_its_handle_whatever_the_handle_handed_out(tmp_path, handle, held):
    path = str(tmp_path / "db.mol")
    writer = HANDLES[handle](path)  # uncompressed: what it hands out refers to its mapping of the file
    add_one(writer, 1)
    writer.flush()
    kept = HELD[held](writer)
    with pytest.raises(BlockingIOError):
        add_one(opened(path), 2)
    del writer
    other = opened(path)
    add_one(other, 2)
    other.flush()
    assert energies(path)[-2:] == [1.0, 2.0]
    del kept  # held to the end


def forked(work):
    """work() in a forked child, started now; returns a function that waits for its (kind, value)."""
    context = multiprocessing.get_context("fork")
    results = context.Queue()
    process = context.Process(target=lambda: results.put(in_process(work)))
    process.start()

    def outcome():
        try:
            return results.get(timeout=TIMEOUT)
        finally:
            process.join(TIMEOUT)
            process.kill()
    return outcome


def in_process(work):
    try:
        return ("ok", work())
    except BaseException as error:  # noqa: BLE001 - handed to the parent
        return (type(error).__name__, str(error))


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
@pytest.mark.parametrize("handle", HANDLES)
def test_a_child_forked_before_the_first_write_may_not_write_beside_its_parent(tmp_path, handle):
    path = str(tmp_path / "db.mol")
    db = HANDLES[handle](path)
    before = len(db)
    parent_wrote = multiprocessing.get_context("fork").Event()

    def child():
        parent_wrote.wait(TIMEOUT)
        for write in WRITES.values():  # each refused as the parent holds the lock
            with pytest.raises(BlockingIOError):
                write(db, 50)
        return len(db)

    outcome = forked(child)
    add_many(db, 1)
    parent_wrote.set()
    assert outcome() == ("ok", before)
    add_one(db, 3)
    db.flush()
    assert_reads(PyAtomDatabase.open(path), ([0] if before else []) + [1, 2, 3])


@pytest.mark.parametrize("handle", HANDLES)
def test_a_handle_refused_as_stale_leaves_no_lock(tmp_path, handle):
    path = str(tmp_path / "db.mol")
    stale = HANDLES[handle](path)
    other = opened(path)
    add_one(other, 1)
    other.flush()
    del other
    for _ in range(2):
        with pytest.raises(RuntimeError):
            add_one(stale, 2)
    fresh = opened(path)
    add_one(fresh, 3)
    fresh.flush()
    assert energies(path)[-2:] == [1.0, 3.0] and len(stale) in (0, 1)


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
@pytest.mark.parametrize("wrote", [False, True], ids=["forked at once", "forked after a write"])
@pytest.mark.parametrize("handle", HANDLES)
def test_an_idle_child_keeps_no_lock_of_a_handle_its_parent_dropped(tmp_path, handle, wrote):
    path = str(tmp_path / "db.mol")
    db = HANDLES[handle](path)
    if wrote:
        add_one(db, 1)
        db.flush()
    done, count = multiprocessing.get_context("fork").Event(), len(db)
    outcome = forked(lambda: done.wait(TIMEOUT) and len(db))
    add_one(db, 1)  # the lock is taken, or held, after the fork
    db.flush()
    del db
    try:
        again = opened(path)
        add_one(again, 2)
        again.flush()
    finally:
        done.set()
    assert outcome() == ("ok", count)
    assert energies(path)[-1] == 2.0


def start_threads_then(end):
    for _ in range(8):
        threading.Thread(target=time.sleep, args=(60,), daemon=True).start()
    end()


# How a writer ends, in a forked child that has created or opened the file: SIGKILL at a random
# moment of its create, append or commit loop, or, once it has committed, on its own.
ENDINGS = {
    "killed at random": None,
    "killed after starting threads": lambda: start_threads_then(lambda: os.kill(os.getpid(), signal.SIGKILL)),
    "os._exit after starting threads": lambda: start_threads_then(lambda: os._exit(0)),
    "os._exit keeping the handle": lambda: os._exit(0),
    "killed beside a child forked before its first write": lambda: os.kill(os.getpid(), signal.SIGKILL),
}


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
@pytest.mark.parametrize("handle", HANDLES)
@pytest.mark.parametrize("ending", ENDINGS)
def test_a_writer_that_ended_leaves_no_lock_once_reaped(tmp_path, handle, ending):
    path = str(tmp_path / "db.mol")
    if handle == "opened":
        write(path, [seeded(0)])
    rng = random.Random(7)
    for n in range(40 if ending == "killed at random" else 12):
        idle, keep_idle = os.pipe()  # the idle child lives until the test closes keep_idle
        pid = os.fork()
        if pid == 0:
            try:
                os.close(keep_idle)
                db = PyAtomDatabase(path, overwrite=True) if handle == "created" else opened(path)
                if "beside a child" in ending and os.fork() == 0:
                    os.read(idle, 1)
                    os._exit(0)
                while True:
                    add_one(db, 1)
                    db.flush()
                    if ENDINGS[ending]:
                        ENDINGS[ending]()
            finally:
                os._exit(1)
        if ending == "killed at random":
            time.sleep(rng.uniform(0, 0.03))
            os.kill(pid, signal.SIGKILL)
        _, status = os.waitpid(pid, 0)
        assert os.WIFSIGNALED(status) if "killed" in ending else os.WEXITSTATUS(status) == 0
        try:
            if not os.path.exists(path):
                continue  # killed before its file was made
            survivor = opened(path)
            add_one(survivor, 100 + n)
            survivor.flush()
            del survivor
            assert energies(path)[-1] == 100.0 + n
        finally:
            os.close(idle)
            os.close(keep_idle)


def append_until_committed(path, seeds, barrier, results):
    """On a refusal, record it, open a new handle and try again, until the molecules are committed."""
    barrier.wait(TIMEOUT)
    refusals = []
    for _ in range(10_000):
        db = opened(path)
        try:
            db.add_molecules([seeded(s) for s in seeds])
            db.flush()
            return results.put((refusals, None))
        except (BlockingIOError, RuntimeError) as refusal:
            refusals.append((type(refusal).__name__, str(refusal)))
            del db
            time.sleep(0.001)
    results.put((refusals, "never committed"))


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
def test_processes_appending_at_the_same_moment_lose_no_commit(tmp_path):
    path, context, workers, per_worker = created(tmp_path, [0]), multiprocessing.get_context("fork"), 6, 25
    barrier, results = context.Barrier(workers), context.Queue()
    seeds = [list(range(1000 * (w + 1), 1000 * (w + 1) + per_worker)) for w in range(workers)]
    processes = [context.Process(target=append_until_committed, args=(path, s, barrier, results)) for s in seeds]
    for process in processes:
        process.start()
    outcomes = [results.get(timeout=TIMEOUT) for _ in processes]
    assert [process.join(TIMEOUT) or process.exitcode for process in processes] == [0] * workers
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


PID_NAMESPACE = """
import ctypes, os, sys
import numpy as np
from molarium._molarium_rs import PyAtomDatabase, PyMolecule
mol = PyMolecule(np.zeros((2, 3), np.float32), np.ones(2, np.uint8))
db = PyAtomDatabase(sys.argv[1]) if sys.argv[2] == "created" else PyAtomDatabase.open(sys.argv[1], mmap=False)
db.add_molecule(mol)
assert os.getpid() == 1 and ctypes.CDLL(None).unshare(0x20000000) == 0  # CLONE_NEWPID
if os.fork() == 0:  # process 1 of the new namespace, as its parent is of its own
    try:
        db.add_molecule(mol)
    except RuntimeError:
        os._exit(0)
    os._exit(3)
_, status = os.wait()
db.flush()
print(os.waitstatus_to_exitcode(status), len(PyAtomDatabase.open(sys.argv[1])))
"""


@pytest.mark.skipif(os.geteuid() != 0, reason="only root makes pid namespaces here")
@pytest.mark.parametrize("handle", HANDLES)
def test_a_child_with_its_parents_process_id_may_not_write_through_its_lock(tmp_path, handle):
    path = str(tmp_path / "db.mol")
    if handle == "opened":
        write(path, [])
    if subprocess.run(["unshare", "-p", "-f", "true"], capture_output=True).returncode != 0:
        pytest.skip("no pid namespace can be made here")
    run = subprocess.run(["unshare", "-p", "-f", sys.executable, "-c", PID_NAMESPACE, path, handle],
                         capture_output=True, text=True, timeout=TIMEOUT)
    assert (run.stdout, run.stderr) == ("0 1\n", "")


@pytest.mark.skipif(not HAS_FORK, reason="this platform cannot fork")
def test_a_handle_that_never_wrote_before_fork_writes_in_one_process_only(tmp_path):
    path = created(tmp_path, [0])
    db = opened(path)
    assert in_child(lambda: (add_one(db, 7), db.flush(), len(db))[2]) == ("ok", 2)
    with pytest.raises(RuntimeError):  # the child committed: the parent's handle knows an older commit
        add_one(db, 1)
    assert energies(path) == [0.0, 7.0]
