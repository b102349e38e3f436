"""Threads on one database object or molecule, several handles on one file (readers are never held up
by a writer), and processes forked after the worker pool ran: every call gets its result or an
at-once refusal, nothing is lost, nothing crashes or hangs."""

import faulthandler
import multiprocessing
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from conftest import Items, assert_reads, check, check_flat, seeded, seeded_batch, write

from molarium._molarium_rs import PyAtomDatabase

BORROWED, MUTABLY_BORROWED = "Already borrowed", "Already mutably borrowed"
TIMEOUT = 120


@pytest.fixture(autouse=True)
def no_hang():
    faulthandler.dump_traceback_later(300, exit=True)  # a hang ends the run with every thread's traceback
    yield
    faulthandler.cancel_dump_traceback_later()


def stored(tmp_path, count, codec="zstd"):
    return str(write(tmp_path / "db.mol", [seeded(s) for s in range(count)], codec))


def run_threads(targets):
    """Runs each target on its own thread (bounded); the exceptions they raised."""
    with ThreadPoolExecutor(len(targets)) as pool:
        return [e for e in (f.exception(TIMEOUT) for f in [pool.submit(t) for t in targets]) if e is not None]


def outcome(call):
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return "done"


@pytest.mark.parametrize("holder", ["flat read", "batch"])
def test_a_call_holding_the_database_refuses_other_threads_at_once(tmp_path, holder):
    db = PyAtomDatabase.open(stored(tmp_path, 40), mmap=False)
    inside, release, result = threading.Event(), threading.Event(), {}
    wait_here = Items([3, 4] if holder == "flat read" else ["a", "b"], lambda: inside.set() or release.wait(TIMEOUT))
    hold = (lambda: result.update(flat=db.get_molecules_flat(wait_here))) if holder == "flat read" else (
        lambda: db.add_arrays_batch(**seeded_batch([40, 41]), name=wait_here))
    thread = threading.Thread(target=hold)
    thread.start()
    try:
        assert inside.wait(TIMEOUT)
        writes = [lambda: db.add_molecule(seeded(99)), lambda: db.add_molecules([seeded(98)]),
                  lambda: db.add_arrays_batch(**seeded_batch([500, 501])), db.flush]
        reads = [lambda: check(db.get_molecule(7), 7), lambda: check(db[8], 8), lambda: db.get_molecules([1, 2]),
                 lambda: db.get_molecules_flat([0]), lambda: len(db)]
        assert [outcome(w) for w in writes] == [BORROWED] * 4
        assert [outcome(r) for r in reads] == (["done"] * 5 if holder == "flat read" else [MUTABLY_BORROWED] * 5)
    finally:
        release.set()
        thread.join(TIMEOUT)
    if holder == "flat read":
        check_flat(result["flat"], [3, 4])
    db.flush()  # the holder's call went through, and nothing of the refused calls did
    reopened = PyAtomDatabase.open(str(tmp_path / "db.mol"))
    assert len(reopened) == (40 if holder == "flat read" else 42)
    check(reopened[len(reopened) - 1], len(reopened) - 1)


def test_calls_from_inside_an_argument_conversion_are_refused_at_once(tmp_path):
    db = PyAtomDatabase.open(stored(tmp_path, 10), mmap=False)
    seen = []
    db.add_arrays_batch(**seeded_batch(range(10, 12)), name=Items(["a", "b"], lambda: seen.extend(
        [outcome(lambda: db.get_molecule(0)), outcome(lambda: db.add_molecule(seeded(50)))])))
    check_flat(db.get_molecules_flat(Items([2, 3], lambda: seen.extend(
        [outcome(lambda: check(db.get_molecule(1), 1)), outcome(lambda: db.add_molecule(seeded(51))),
         outcome(db.flush)]))), [2, 3])
    assert seen == [MUTABLY_BORROWED, BORROWED, "done", BORROWED, BORROWED]
    mol = db[1]

    class Index:  # converted while set_property holds the molecule
        def __index__(self):
            seen.extend([outcome(lambda: mol.positions), outcome(lambda: mol.set_property("other", 1))])
            return 7

    mol.set_property("k", Index())
    assert seen[5:] == [MUTABLY_BORROWED, BORROWED] and mol.get_property("k") == 7 and not mol.has_property("other")
    first, second = seeded(0), seeded(1)

    class Molecules(Items):  # iterating tries to change a molecule already handed out
        def __iter__(self):
            yield first
            seen.append(outcome(lambda: setattr(first, "energy", 5.0)))
            yield second

    db.add_molecules(Molecules([first, second]))
    assert seen[7:] == [BORROWED] and db[12].energy == 0.0
    first.energy = 5.0  # free again once the call is over


def test_a_flat_read_lets_other_threads_run(tmp_path):
    db = PyAtomDatabase.open(stored(tmp_path, 1500), mmap=False)
    in_call, stop, ticks, refusals = threading.Event(), threading.Event(), [0], []

    def other():
        while not stop.is_set():
            if in_call.is_set():
                ticks[0] += 1
                if not refusals:
                    refusals.append(outcome(lambda: db.add_molecule(seeded(1))))
            time.sleep(0.0002)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)  # this thread keeps the interpreter lock unless the call gives it away
    thread = threading.Thread(target=other)
    try:
        thread.start()
        in_call.set()
        result = db.get_molecules_flat(list(range(1500)) * 4)
        in_call.clear()
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()
    assert ticks[0] > 0 and refusals == [BORROWED] and len(result["n_atoms"]) == 6000


@pytest.mark.parametrize("codec", ["zstd", "none"])
def test_reader_threads_and_a_writer_thread_share_one_database(tmp_path, codec):
    db = PyAtomDatabase.open(stored(tmp_path, 300, codec), mmap=False)
    stop, reads, written = threading.Event(), [], []

    def reader(offset):
        rng = np.random.default_rng(offset)
        while not stop.is_set() or len(reads) < 9:  # runs on until reads succeed once the writer is done
            seeds = [int(s) for s in rng.integers(0, 300, 40)]
            read = [lambda: [check(m, s) for m, s in zip(db.get_molecules(seeds), seeds)],
                    lambda: check(db[seeds[0]], seeds[0]),
                    lambda: check_flat(db.get_molecules_flat(seeds), seeds)][rng.integers(3)]
            if outcome(read) == "done":
                reads.append(offset)

    def writer():
        steps = [lambda s: db.add_arrays_batch(**seeded_batch(range(s, s + 4))) or 4,
                 lambda s: db.add_molecules([seeded(s), seeded(s + 1)]) or 2,
                 lambda s: db.add_molecule(seeded(s)) or 1, lambda s: db.flush() or 0]
        try:
            for step in range(60):
                for _ in range(2000):  # a refused write is retried a bounded number of times
                    seed = 300 + len(written)
                    if (result := outcome(lambda: written.extend(range(seed, seed + steps[step % 4](seed))))) == "done":
                        break
                    assert result == BORROWED
                    time.sleep(0.0002)
        finally:
            stop.set()

    assert run_threads([lambda i=i: reader(i) for i in range(3)] + [writer]) == []
    db.flush()
    seeds = list(range(300)) + written
    assert_reads(PyAtomDatabase.open(str(tmp_path / "db.mol")), seeds)


def test_threads_reading_and_changing_one_molecule_see_whole_values(tmp_path):
    mol = PyAtomDatabase.open(stored(tmp_path, 5))[2]  # a view; the first change turns it owned while readers look
    stop, seen = threading.Event(), []

    def reader():
        while True:
            finished = stop.is_set()
            energy, positions = mol.energy, mol.positions
            assert positions.shape == (len(mol), 3) and energy in (2.0, -1.0, -2.0)
            seen.append(energy)
            if finished:
                return

    def changer():
        try:
            for step in range(2000):
                mol.energy = -1.0 if step % 2 else -2.0
                mol.set_property("step", step)
        finally:
            stop.set()

    assert run_threads([reader, reader, changer]) == [] and seen and mol.get_property("step") == 1999


@pytest.mark.parametrize("codec", ["none", "lz4"])
def test_older_handles_keep_their_snapshot_while_another_commits(tmp_path, codec):
    path = stored(tmp_path, 30, codec)
    mapped, in_memory = PyAtomDatabase.open(path), PyAtomDatabase.open(path, mmap=False)
    early_view, writer = mapped[5], PyAtomDatabase.open(path, mmap=False)

    def keep_writing():
        for round_ in range(5):
            writer.add_molecules([seeded(30 + 2 * round_), seeded(31 + 2 * round_)])
            for mmap in (True, False):  # opened while the writer holds uncommitted appends: not held up, not shown them
                assert_reads(PyAtomDatabase.open(path, mmap=mmap), range(30 + 2 * round_))
            writer.flush()

    assert run_threads([lambda: [assert_reads(mapped, range(30)) for _ in range(20)], keep_writing]) == []
    assert_reads(in_memory, range(30))
    with pytest.raises(IndexError):
        mapped[30]
    for write in (lambda: mapped.add_molecule(seeded(1)), lambda: mapped.add_molecules([seeded(1)]),
                  lambda: mapped.add_arrays_batch(**seeded_batch([1])), mapped.flush):  # refused, taking no lock
        pytest.raises(ValueError, write)
    writer.add_molecule(seeded(40))
    writer.flush()
    for mmap in (True, False):
        assert_reads(PyAtomDatabase.open(path, mmap=mmap), range(41))
    del mapped, writer
    again = PyAtomDatabase.open(path, mmap=False)  # the dropped writer's lock is free
    again.add_molecule(seeded(41))
    again.flush()
    check(early_view, 5)  # the view outlives its database object and the writer's commits


# --- fork -------------------------------------------------------------------------------------------
DAEMON = """
import sys, threading
import numpy as np
from molarium._molarium_rs import PyAtomDatabase
path, call = sys.argv[1:]
db = PyAtomDatabase(path)
db.add_arrays_batch(np.zeros((2000, 20, 3), np.float32), np.ones((2000, 20), np.uint8))
db.flush()
writer, everything = PyAtomDatabase(path + ".w"), list(range(2000))
positions, numbers = np.zeros((5000, 20, 3), np.float32), np.ones((5000, 20), np.uint8)
calls = {"flat read": lambda: db.get_molecules_flat(everything),
         "many-molecule read": lambda: db.get_molecules(everything),
         "batch write": lambda: writer.add_arrays_batch(positions, numbers)}
inside = threading.Event()
def loop():
    while True:
        inside.set()
        calls[call]()
threading.Thread(target=loop, daemon=True).start()
inside.wait()
print("main thread done")
"""


@pytest.mark.parametrize("call", ["flat read", "many-molecule read", "batch write"])
def test_a_program_exits_with_its_own_status_while_a_daemon_thread_is_inside_a_call(tmp_path, call):
    for run in range(3):
        result = subprocess.run([sys.executable, "-c", DAEMON, str(tmp_path / f"{run}.mol"), call], capture_output=True,
                                text=True, timeout=TIMEOUT)
        assert (result.returncode, result.stdout) == (0, "main thread done\n"), result.stderr


INHERITED = {}  # the parent's open handles, which a forked child inherits


def child_reads(path, seeds):
    """Reads, large enough to run on the worker pool, through the inherited handles and its own, so
    its own pool runs, then forks again and both generations read."""
    try:
        for db in (*INHERITED.values(), PyAtomDatabase.open(path, mmap=False)):
            assert_reads(db, range(1500), seeds)
        pid = os.fork()
        assert_reads(INHERITED["mapped"], range(1500), seeds[pid == 0 :: 2])
        if pid == 0:
            os._exit(0)
        for _ in range(TIMEOUT * 100):
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                os._exit(os.waitstatus_to_exitcode(status))
            time.sleep(0.01)
        os.kill(pid, 9)
        os._exit(5)
    except BaseException:  # noqa: BLE001 - the exit code tells the parent
        os._exit(3)


# Forking a process that runs threads (the worker pool's) draws a DeprecationWarning on newer
# CPython; forking such a process safely is exactly what is tested here.
@pytest.mark.skipif("fork" not in multiprocessing.get_all_start_methods(), reason="this platform cannot fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
@pytest.mark.parametrize("busy", [False, True], ids=["idle", "while another thread reads"])
def test_children_forked_after_the_pool_ran_read_in_parallel_and_fork_again(tmp_path, busy):
    if busy and "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's allocator stays locked in a child forked while another thread allocates")
    path, everything, stop = stored(tmp_path, 1500), list(range(1500)), threading.Event()
    INHERITED.update(mapped=PyAtomDatabase.open(path), in_memory=PyAtomDatabase.open(path, mmap=False))
    for db in INHERITED.values():
        assert_reads(db, everything, everything)
    [INHERITED["mapped"].get_molecules_flat(everything) for _ in range(30)]  # the children inherit kept blocks

    def keep_reading():
        db = PyAtomDatabase.open(path)  # its own handle: the inherited ones' borrow flags stay free
        while not stop.is_set():
            assert_reads(db, everything, everything)

    with ThreadPoolExecutor(1) as pool:
        reader = pool.submit(keep_reading) if busy else None
        try:
            children = []
            for round_ in range(8):  # fork at varying moments of the other thread's parallel reads
                time.sleep(0.003 * (round_ % 4) * busy)
                children.append(multiprocessing.get_context("fork").Process(target=child_reads,
                                                                            args=(path, everything[round_::8])))
                children[-1].start()
            deadline = time.monotonic() + TIMEOUT
            for child in children:
                child.join(max(0.0, deadline - time.monotonic()))
            hung = [child.kill() for child in children if child.is_alive()]
        finally:
            stop.set()
        assert not hung and [child.exitcode for child in children] == [0] * 8
        assert reader is None or reader.exception(TIMEOUT) is None
    assert_reads(INHERITED["mapped"], everything, everything)  # the parent's pool still works
