"""A process whose worker pool has run forks: its children read in parallel and finish, never hang."""

import multiprocessing
import os
import threading
import time

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

# Forking a process that runs threads (the worker pool's) draws a DeprecationWarning on newer
# CPython; forking such a process safely is exactly what is tested here.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")
if "fork" not in multiprocessing.get_all_start_methods():
    pytest.skip("this platform cannot fork", allow_module_level=True)
FORK = multiprocessing.get_context("fork")
COUNT, ATOMS, TIMEOUT = 1500, 20, 120
INHERITED = {}  # the parent's open handles, which a forked child inherits


def positions_of(seed):
    return (np.arange(ATOMS * 3, dtype=np.float32).reshape(ATOMS, 3) * 0.25 + seed).astype(np.float32)


def expected_sum(indices):
    return float(sum(positions_of(i).astype(np.float64).sum() for i in indices))


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    path = tmp_path_factory.mktemp("fork") / "db.mol"
    db = PyAtomDatabase(str(path), "zstd")
    db.add_molecules([PyMolecule(positions_of(i), np.full(ATOMS, 6, np.uint8), energy=float(i)) for i in range(COUNT)])
    db.flush()
    return str(path)


def read_and_check(db, indices):
    """Both reads, large enough to run on the worker pool, give the expected values."""
    by_molecule = sum(float(m.positions.astype(np.float64).sum()) for m in db.get_molecules(indices))
    flat = float(db.get_molecules_flat(indices)["positions"].astype(np.float64).sum())
    return by_molecule == flat == expected_sum(indices)


def open_both(path):
    INHERITED.update(mapped=PyAtomDatabase.open(path), in_memory=PyAtomDatabase.open(path, mmap=False))
    assert all(read_and_check(db, list(range(COUNT))) for db in INHERITED.values())


def child_reads(path, indices):
    ok = all(read_and_check(db, indices) for db in INHERITED.values())
    os._exit(0 if ok and read_and_check(PyAtomDatabase.open(path, mmap=False), indices) else 3)


def join_all(processes):
    deadline = time.monotonic() + TIMEOUT
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))
    hung = [p for p in processes if p.is_alive()]
    for process in hung:
        process.kill()
        process.join()
    assert not hung, f"{len(hung)} child processes hung"
    assert [p.exitcode for p in processes] == [0] * len(processes)


def test_forked_children_and_a_fork_pool_read_in_parallel_after_the_pool_ran(path):
    open_both(path)
    children = [FORK.Process(target=child_reads, args=(path, list(range(start, COUNT, 4)))) for start in range(4)]
    for child in children:
        child.start()
    join_all(children)
    chunks = [list(range(start, min(start + 100, COUNT))) for start in range(0, COUNT, 100)]
    with FORK.Pool(4) as pool:
        assert pool.map_async(read_chunk, chunks).get(TIMEOUT) == [True] * len(chunks)
    assert read_and_check(INHERITED["mapped"], list(range(COUNT)))  # the parent's pool still works


def read_chunk(chunk):
    return all(read_and_check(db, chunk) for db in INHERITED.values())


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's allocator stays locked in a child forked while another thread allocates")
def test_children_forked_while_another_thread_reads_finish(path):
    open_both(path)
    stop, failures = threading.Event(), []

    def keep_reading():
        db = PyAtomDatabase.open(path)  # its own handle: the inherited ones' borrow flags stay free
        while not stop.is_set():
            try:
                assert read_and_check(db, list(range(COUNT)))
            except BaseException as error:  # noqa: BLE001 - reported below
                return failures.append(error)

    thread = threading.Thread(target=keep_reading)
    thread.start()
    try:
        children = []
        for round_ in range(12):  # fork at varying moments of the other thread's parallel reads
            time.sleep(0.003 * (round_ % 6))
            children.append(FORK.Process(target=child_reads, args=(path, list(range(round_, COUNT, 12)))))
            children[-1].start()
        join_all(children)
    finally:
        stop.set()
        thread.join(TIMEOUT)
    assert not thread.is_alive() and failures == []


def grandchild_reads(path):
    """A child that uses its own pool, then forks again; both generations read."""
    db = PyAtomDatabase.open(path)
    assert read_and_check(db, list(range(COUNT)))
    pid = os.fork()
    if pid == 0:
        os._exit(0 if read_and_check(db, list(range(0, COUNT, 3))) else 3)
    ok = read_and_check(db, list(range(1, COUNT, 3)))
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            os._exit(0 if ok and os.waitstatus_to_exitcode(status) == 0 else 4)
        time.sleep(0.01)
    os.kill(pid, 9)
    os._exit(5)


def test_a_child_that_used_its_own_pool_can_fork_again(path):
    open_both(path)
    child = FORK.Process(target=grandchild_reads, args=(path,))
    child.start()
    join_all([child])
