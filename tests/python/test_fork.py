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
COUNT = 1500
ATOMS = 20
TIMEOUT = 120


def positions_of(seed):
    return (np.arange(ATOMS * 3, dtype=np.float32).reshape(ATOMS, 3) * 0.25 + seed).astype(np.float32)


def expected_sum(indices):
    """The sum of all positions of the given molecules, computed without the database."""
    return float(sum(positions_of(i).astype(np.float64).sum() for i in indices))


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    path = tmp_path_factory.mktemp("fork") / "db.mol"
    db = PyAtomDatabase(str(path), "zstd")
    db.add_molecules(
        [PyMolecule(positions_of(i), np.full(ATOMS, 6, np.uint8), energy=float(i)) for i in range(COUNT)]
    )
    db.flush()
    return str(path)


def use_the_pool(db):
    """A read large enough to run on the worker pool, checked."""
    molecules = db.get_molecules(list(range(COUNT)))
    assert sum(float(m.positions.astype(np.float64).sum()) for m in molecules) == expected_sum(range(COUNT))
    flat = db.get_molecules_flat(list(range(COUNT)))
    assert float(flat["positions"].astype(np.float64).sum()) == expected_sum(range(COUNT))


def read_and_check(db, indices):
    """Reads the molecules in both ways; True when both give the expected values."""
    molecules = db.get_molecules(indices)
    flat = db.get_molecules_flat(indices)
    by_molecule = sum(float(m.positions.astype(np.float64).sum()) for m in molecules)
    return by_molecule == expected_sum(indices) and float(flat["positions"].astype(np.float64).sum()) == by_molecule


# State a forked child inherits: the parent's open database objects.
INHERITED = {}


def child_reads(path, indices):
    """Body of a forked child: reads through the inherited objects and a fresh handle."""
    ok = all(read_and_check(db, indices) for db in INHERITED.values())
    ok = ok and read_and_check(PyAtomDatabase.open(path, mmap=False), indices)
    os._exit(0 if ok else 3)


def join_all(processes):
    """Waits for every child (bounded); a child still running is killed and the test fails."""
    deadline = time.monotonic() + TIMEOUT
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))
    hung = [p for p in processes if p.is_alive()]
    for process in hung:
        process.kill()
        process.join()
    assert not hung, f"{len(hung)} child processes hung"
    assert [p.exitcode for p in processes] == [0] * len(processes)


def open_both(path):
    INHERITED.clear()
    INHERITED["mapped"] = PyAtomDatabase.open(path)
    INHERITED["in_memory"] = PyAtomDatabase.open(path, mmap=False)
    for db in INHERITED.values():
        use_the_pool(db)


def test_forked_children_read_in_parallel_after_the_pool_ran(path):
    open_both(path)
    children = [
        FORK.Process(target=child_reads, args=(path, list(range(start, COUNT, 4)))) for start in range(4)
    ]
    for child in children:
        child.start()
    join_all(children)
    # the parent's pool still works
    use_the_pool(INHERITED["mapped"])


def read_chunk(chunk):
    return all(read_and_check(db, chunk) for db in INHERITED.values())


def test_a_fork_pool_maps_reads_over_its_workers(path):
    open_both(path)
    chunks = [list(range(start, min(start + 100, COUNT))) for start in range(0, COUNT, 100)]
    with FORK.Pool(4) as pool:
        assert pool.map_async(read_chunk, chunks).get(TIMEOUT) == [True] * len(chunks)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer's allocator stays locked in a child forked while another thread allocates",
)
def test_children_forked_while_another_thread_reads_finish(path):
    open_both(path)
    stop = threading.Event()
    failures = []

    def keep_reading():
        # A separate handle: the borrow flags of the inherited ones stay free for the children.
        db = PyAtomDatabase.open(path)
        while not stop.is_set():
            try:
                use_the_pool(db)
            except BaseException as error:  # noqa: BLE001 - reported below
                failures.append(error)
                return

    thread = threading.Thread(target=keep_reading)
    thread.start()
    try:
        children = []
        # Fork at varying moments of the other thread's parallel reads.
        for round_ in range(12):
            time.sleep(0.003 * (round_ % 6))
            child = FORK.Process(target=child_reads, args=(path, list(range(round_, COUNT, 12))))
            child.start()
            children.append(child)
        join_all(children)
    finally:
        stop.set()
        thread.join(TIMEOUT)
    assert not thread.is_alive()
    assert failures == []


def grandchild_reads(path):
    """A child that uses its own pool, then forks again, and both generations read."""
    db = PyAtomDatabase.open(path)
    use_the_pool(db)
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


def test_a_torch_data_loader_with_worker_processes_reads_every_molecule(path):
    torch = pytest.importorskip("torch")
    data = pytest.importorskip("torch.utils.data")
    open_both(path)
    db = INHERITED["mapped"]

    class Molecules(data.Dataset):
        def __len__(self):
            return COUNT

        def __getitem__(self, index):
            return torch.from_numpy(db[index].positions)

    loader = data.DataLoader(
        Molecules(), batch_size=50, num_workers=3, multiprocessing_context=FORK, timeout=TIMEOUT
    )
    total = sum(float(batch.double().sum()) for batch in loader)
    assert total == expected_sum(range(COUNT))
