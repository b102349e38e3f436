"""Threads on one database object or molecule, several handles on one file, and processes forked
after the worker pool ran: every call gets its result or an at-once refusal, nothing is lost,
nothing crashes or hangs."""

import faulthandler
import multiprocessing
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

BORROWED, MUTABLY_BORROWED = "Already borrowed", "Already mutably borrowed"
TIMEOUT = 120


@pytest.fixture(autouse=True)
def no_hang():
    faulthandler.dump_traceback_later(300, exit=True)  # a hang ends the run with every thread's traceback
    yield
    faulthandler.cancel_dump_traceback_later()


def positions_of(seed, n):
    return (np.arange(n * 3, dtype=np.float32).reshape(n, 3) + seed * 1000).astype(np.float32)


def molecule(seed, n=None):
    n = n or 4 + seed % 5
    mol = PyMolecule(positions_of(seed, n), np.full(n, 1 + seed % 90, np.uint8), energy=float(seed))
    mol.set_property("seed", seed)
    return mol


def batch(first, count, n=6):
    seeds = range(first, first + count)
    return {"positions": np.stack([positions_of(s, n) for s in seeds]), "atomic_numbers": np.ones((count, n), np.uint8),
            "energy": np.array(seeds, np.float64), "properties": {"seed": np.array(seeds, np.int64)}}


def check(mol, seed):
    np.testing.assert_array_equal(mol.positions, positions_of(seed, len(mol)))
    assert (mol.energy, mol.get_property("seed")) == (float(seed), seed)


def check_flat(flat, seeds):
    expected = np.concatenate([positions_of(s, c) for s, c in zip(seeds, flat["n_atoms"].tolist())])
    np.testing.assert_array_equal(flat["positions"], expected)
    np.testing.assert_array_equal(flat["energy"], np.array(seeds, np.float64))


def stored(tmp_path, count=300, codec="zstd"):
    db = PyAtomDatabase(str(tmp_path / "db.mol"), codec)
    db.add_molecules([molecule(seed) for seed in range(count)])
    db.flush()
    return str(tmp_path / "db.mol")


def run_threads(targets):
    """Runs each target on its own thread (bounded); the exceptions they raised."""
    with ThreadPoolExecutor(len(targets)) as pool:
        return [e for e in (f.exception(TIMEOUT) for f in [pool.submit(t) for t in targets]) if e is not None]


class Calling:
    """A sequence whose first item runs `inside` first: code that calls back into the module, or waits."""

    def __init__(self, items, inside):
        self.items, self.inside = items, inside

    def __len__(self):
        return len(self.items)

    def __getitem__(self, position):
        if position == 0:
            self.inside()
        return self.items[position]


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

    def wait_here():
        inside.set()
        assert release.wait(TIMEOUT)

    if holder == "flat read":
        thread = threading.Thread(target=lambda: result.update(flat=db.get_molecules_flat(Calling([3, 4], wait_here))))
    else:
        thread = threading.Thread(target=lambda: db.add_arrays_batch(**batch(40, 2),
                name=Calling(["a", "b"], wait_here)))
    thread.start()
    try:
        assert inside.wait(TIMEOUT)
        writes = [lambda: db.add_molecule(molecule(99)), lambda: db.add_molecules([molecule(98)]),
                  lambda: db.add_arrays_batch(**batch(500, 2)), db.flush]
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
    db.add_arrays_batch(**batch(10, 2), name=Calling(["a", "b"], lambda: seen.extend(
        [outcome(lambda: db.get_molecule(0)), outcome(lambda: db.add_molecule(molecule(50)))])))
    check_flat(db.get_molecules_flat(Calling([2, 3], lambda: seen.extend(
        [outcome(lambda: check(db.get_molecule(1), 1)), outcome(lambda: db.add_molecule(molecule(51))),
            outcome(db.flush)]))), [2, 3])
    assert seen == [MUTABLY_BORROWED, BORROWED, "done", BORROWED, BORROWED]
    mol = db[1]

    class Index:  # converted while set_property holds the molecule
        def __index__(self):
            seen.extend([outcome(lambda: mol.positions), outcome(lambda: mol.set_property("other", 1))])
            return 7

    mol.set_property("k", Index())
    assert seen[5:] == [MUTABLY_BORROWED, BORROWED] and mol.get_property("k") == 7 and not mol.has_property("other")
    first, second = molecule(0), molecule(1)

    class Molecules:  # iterating tries to change a molecule already handed out
        def __len__(self):
            return 2

        def __getitem__(self, index):
            return [first, second][index]

        def __iter__(self):
            yield first
            seen.append(outcome(lambda: setattr(first, "energy", 5.0)))
            yield second

    db.add_molecules(Molecules())
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
                    refusals.append(outcome(lambda: db.add_molecule(molecule(1))))
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
        steps = [lambda s: db.add_arrays_batch(**batch(s, 4)) or 4,
                 lambda s: db.add_molecules([molecule(s), molecule(s + 1)]) or 2,
                 lambda s: db.add_molecule(molecule(s)) or 1, lambda s: db.flush() or 0]
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
    reopened = PyAtomDatabase.open(str(tmp_path / "db.mol"))
    seeds = list(range(300)) + written
    assert len(reopened) == len(seeds)
    for mol, seed in zip(reopened.get_molecules(list(range(len(seeds)))), seeds):
        check(mol, seed)


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

    def keep_reading():
        for _ in range(20):
            check_flat(mapped.get_molecules_flat(list(range(30))), list(range(30)))
            for mol, seed in zip(mapped.get_molecules(list(range(30))), range(30)):
                check(mol, seed)

    def keep_writing():
        for round_ in range(5):
            writer.add_molecules([molecule(30 + 2 * round_), molecule(31 + 2 * round_)])
            for mmap in (True, False):  # uncommitted appends stay invisible to another handle
                assert len(PyAtomDatabase.open(path, mmap=mmap)) == 30 + 2 * round_
            writer.flush()

    assert run_threads([keep_reading, keep_writing]) == []
    assert (len(mapped), len(in_memory)) == (30, 30)
    check(in_memory[29], 29)
    with pytest.raises(IndexError):
        mapped[30]
    for mmap in (True, False):
        fresh = PyAtomDatabase.open(path, mmap=mmap)
        assert len(fresh) == 40
        for index in (0, 29, 30, 39):
            check(fresh[index], index)
    del mapped
    check(early_view, 5)  # the view outlives its database object and the writer's commits


# --- fork -------------------------------------------------------------------------------------------
INHERITED = {}  # the parent's open handles, which a forked child inherits


def reads_right(db, seeds):
    """Both reads, large enough to run on the worker pool, give the stored molecules."""
    for mol, seed in zip(db.get_molecules(seeds), seeds):
        check(mol, seed)
    check_flat(db.get_molecules_flat(seeds), seeds)


def child_reads(path, seeds):
    """Reads through the inherited handles and its own, so its own pool runs, then forks again and
    both generations read."""
    try:
        for db in (*INHERITED.values(), PyAtomDatabase.open(path, mmap=False)):
            reads_right(db, seeds)
        pid = os.fork()
        reads_right(INHERITED["mapped"], seeds[pid == 0 :: 2])
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
        reads_right(db, everything)

    def keep_reading():
        db = PyAtomDatabase.open(path)  # its own handle: the inherited ones' borrow flags stay free
        while not stop.is_set():
            reads_right(db, everything)

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
    reads_right(INHERITED["mapped"], everything)  # the parent's pool still works
