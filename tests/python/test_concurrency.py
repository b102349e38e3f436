"""Threads on one database object, and several handles on one file: every call gets its result or
an at-once refusal, nothing is lost, nothing crashes or hangs."""

import faulthandler
import threading
import time

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

ALREADY_BORROWED = "Already borrowed"
ALREADY_MUTABLY_BORROWED = "Already mutably borrowed"
JOIN_TIMEOUT = 120


@pytest.fixture(autouse=True)
def no_hang():
    # A hang ends the run with every thread's traceback instead of blocking it forever.
    faulthandler.dump_traceback_later(300, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def positions_of(seed, n):
    return (np.arange(n * 3, dtype=np.float32).reshape(n, 3) + seed * 1000).astype(np.float32)


def molecule(seed, n=None):
    n = n or 4 + seed % 5
    mol = PyMolecule(positions_of(seed, n), np.full(n, 1 + seed % 90, np.uint8), energy=float(seed))
    mol.set_property("seed", seed)
    return mol


def batch(first_seed, count, n=6):
    """add_arrays_batch arguments for molecules first_seed .. first_seed + count - 1, n atoms each."""
    seeds = range(first_seed, first_seed + count)
    return {
        "positions": np.stack([positions_of(s, n) for s in seeds]),
        "atomic_numbers": np.stack([np.full(n, 1 + s % 90, np.uint8) for s in seeds]),
        "energy": np.array([float(s) for s in seeds]),
        "properties": {"seed": np.array(list(seeds), np.int64)},
    }


def check_molecule(mol, seed):
    np.testing.assert_array_equal(mol.positions, positions_of(seed, len(mol)))
    assert mol.energy == float(seed)
    assert mol.get_property("seed") == seed


def check_flat(flat, seeds):
    counts = flat["n_atoms"].tolist()
    expected = np.concatenate([positions_of(s, c) for s, c in zip(seeds, counts)])
    np.testing.assert_array_equal(flat["positions"], expected)
    np.testing.assert_array_equal(flat["energy"], np.array(seeds, np.float64))


def stored(tmp_path, count=300, compression="zstd", name="db.mol"):
    path = tmp_path / name
    db = PyAtomDatabase(str(path), compression)
    db.add_molecules([molecule(seed) for seed in range(count)])
    db.flush()
    return path


def run_threads(targets):
    """Start one thread per target, wait for all (bounded); return the exceptions they raised."""
    errors = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: BLE001 - reported to the test below
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(target,)) for target in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(JOIN_TIMEOUT)
        assert not thread.is_alive(), "a thread did not finish"
    return errors


# --- refusals that a held borrow makes certain --------------------------------------------------------


class Gate:
    """Lets a test stop a call inside its argument conversion, while it holds its borrow."""

    def __init__(self):
        self.inside = threading.Event()
        self.release = threading.Event()

    def wait_here(self):
        self.inside.set()
        assert self.release.wait(JOIN_TIMEOUT)


class GatedIndices:
    """A sequence of indices whose iteration pauses at the gate."""

    def __init__(self, indices, gate):
        self.indices, self.gate = indices, gate

    def __len__(self):
        return len(self.indices)

    def __getitem__(self, position):
        if position == 0:
            self.gate.wait_here()
        return self.indices[position]


class GatedNames:
    """A sequence of names whose iteration pauses at the gate."""

    def __init__(self, names, gate):
        self.names, self.gate = names, gate

    def __len__(self):
        return len(self.names)

    def __getitem__(self, position):
        if position == 0:
            self.gate.wait_here()
        return self.names[position]


def test_while_a_flat_read_holds_shared_access_writers_are_refused_and_readers_are_not(tmp_path):
    db = PyAtomDatabase.open(str(stored(tmp_path, 40)), mmap=False)
    gate = Gate()
    result = {}
    indices = GatedIndices([3, 4], gate)
    reader = threading.Thread(target=lambda: result.setdefault("flat", db.get_molecules_flat(indices)))
    reader.start()
    try:
        assert gate.inside.wait(JOIN_TIMEOUT)
        for write in (lambda: db.add_molecule(molecule(99)), lambda: db.add_molecules([molecule(98)]),
                      lambda: db.add_arrays_batch(**batch(500, 2)), db.flush):
            with pytest.raises(RuntimeError) as info:
                write()
            assert str(info.value) == ALREADY_BORROWED
        # other readers share the access
        check_molecule(db.get_molecule(7), 7)
        check_molecule(db[8], 8)
        assert len(db) == 40
        for mol, seed in zip(db.get_molecules([1, 2]), [1, 2]):
            check_molecule(mol, seed)
    finally:
        gate.release.set()
        reader.join(JOIN_TIMEOUT)
    assert not reader.is_alive()
    check_flat(result["flat"], [3, 4])
    # the refused writes left nothing behind, and writing works again
    db.add_molecule(molecule(40))
    db.flush()
    assert len(PyAtomDatabase.open(str(tmp_path / "db.mol"))) == 41


def test_while_a_batch_holds_exclusive_access_every_other_call_is_refused(tmp_path):
    db = PyAtomDatabase.open(str(stored(tmp_path, 20)), mmap=False)
    gate = Gate()
    arguments = batch(20, 2)
    writer = threading.Thread(target=lambda: db.add_arrays_batch(**arguments, name=GatedNames(["a", "b"], gate)))
    writer.start()
    try:
        assert gate.inside.wait(JOIN_TIMEOUT)
        for read in (lambda: db.get_molecule(0), lambda: db[0], lambda: db.get_molecules([0]),
                     lambda: db.get_molecules_flat([0]), lambda: len(db)):
            with pytest.raises(RuntimeError) as info:
                read()
            assert str(info.value) == ALREADY_MUTABLY_BORROWED
        for write in (lambda: db.add_molecule(molecule(99)), db.flush):
            with pytest.raises(RuntimeError) as info:
                write()
            assert str(info.value) == ALREADY_BORROWED
    finally:
        gate.release.set()
        writer.join(JOIN_TIMEOUT)
    assert not writer.is_alive()
    # the batch itself went through, and nothing of the refused calls did
    assert len(db) == 22
    db.flush()
    reopened = PyAtomDatabase.open(str(tmp_path / "db.mol"))
    assert len(reopened) == 22
    check_molecule(reopened[21], 21)


class Reentrant:
    """A sequence whose first item runs `inside` (code calling back into the module) first."""

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


def test_calls_from_inside_an_argument_conversion_are_refused_at_once(tmp_path):
    db = PyAtomDatabase.open(str(stored(tmp_path, 10)), mmap=False)
    seen = []

    def from_inside_a_batch():
        seen.append(outcome(lambda: db.get_molecule(0)))
        seen.append(outcome(lambda: db.add_molecule(molecule(50))))

    db.add_arrays_batch(**batch(10, 2), name=Reentrant(["a", "b"], from_inside_a_batch))
    assert seen == [ALREADY_MUTABLY_BORROWED, ALREADY_BORROWED]

    seen.clear()

    def from_inside_a_flat_read():
        seen.append(outcome(lambda: check_molecule(db.get_molecule(1), 1)))
        seen.append(outcome(lambda: db.add_molecule(molecule(51))))
        seen.append(outcome(db.flush))

    check_flat(db.get_molecules_flat(Reentrant([2, 3], from_inside_a_flat_read)), [2, 3])
    assert seen == ["done", ALREADY_BORROWED, ALREADY_BORROWED]
    db.flush()
    assert len(PyAtomDatabase.open(str(tmp_path / "db.mol"))) == 12


def test_a_property_value_that_calls_back_into_its_molecule_is_refused_inside(tmp_path):
    mol = PyAtomDatabase.open(str(stored(tmp_path, 3)))[1]
    seen = []

    class Index:
        # Converted while set_property holds the molecule exclusively.
        def __index__(self):
            seen.append(outcome(lambda: mol.positions))
            seen.append(outcome(lambda: mol.set_property("other", 1)))
            return 7

    mol.set_property("k", Index())
    assert seen == [ALREADY_MUTABLY_BORROWED, ALREADY_BORROWED]
    assert mol.get_property("k") == 7
    assert not mol.has_property("other")
    check_molecule(mol, 1)


# --- readers and a writer on one object, free-running -------------------------------------------------


@pytest.mark.parametrize("compression", ["zstd", "none"])
def test_reader_threads_and_a_writer_thread_share_one_database(tmp_path, compression):
    initial = 300
    db = PyAtomDatabase.open(str(stored(tmp_path, initial, compression)), mmap=False)
    stop = threading.Event()
    reads = {"ok": 0, "refused": 0}
    writes = {"molecules": [], "refused": 0}
    lock = threading.Lock()

    def count(outcomes, key):
        with lock:
            outcomes[key] += 1

    def reader(offset):
        rng = np.random.default_rng(offset)
        successes = 0
        # Runs while the writer does, and on until it has read successfully a few times (nothing
        # refuses a read once the writer is done).
        while not stop.is_set() or successes < 3:
            seeds = [int(s) for s in rng.integers(0, initial, 40)]
            try:
                kind = rng.integers(4)
                if kind == 0:
                    for mol, seed in zip(db.get_molecules(seeds), seeds):
                        check_molecule(mol, seed)
                elif kind == 1:
                    check_flat(db.get_molecules_flat(seeds), seeds)
                elif kind == 2:
                    check_molecule(db.get_molecule(seeds[0]), seeds[0])
                else:
                    assert len(db) >= initial
            except RuntimeError as error:
                assert str(error) == ALREADY_MUTABLY_BORROWED
                count(reads, "refused")
                continue
            successes += 1
            count(reads, "ok")

    def write_step(step, seed):
        """One write; the seeds it stored."""
        if step % 4 == 0:
            db.add_arrays_batch(**batch(seed, 4))
            return list(range(seed, seed + 4))
        if step % 4 == 1:
            db.add_molecules([molecule(seed), molecule(seed + 1)])
            return [seed, seed + 1]
        if step % 4 == 2:
            db.add_molecule(molecule(seed))
            return [seed]
        db.flush()
        return []

    def writer():
        seed = initial
        try:
            for step in range(60):
                # A refused write is retried a bounded number of times, so that the writer makes
                # progress among busy readers without ever waiting on them unboundedly.
                for _ in range(2000):
                    try:
                        added = write_step(step, seed)
                    except RuntimeError as error:
                        assert str(error) == ALREADY_BORROWED
                        writes["refused"] += 1
                        time.sleep(0.0002)
                        continue
                    writes["molecules"] += added
                    seed += len(added)
                    break
        finally:
            stop.set()

    errors = run_threads([lambda i=i: reader(i) for i in range(3)] + [writer])
    assert errors == []
    assert reads["ok"] > 0
    # Every write that was not refused is stored exactly once, after the molecules already there.
    db.flush()
    stored_seeds = list(range(initial)) + writes["molecules"]
    reopened = PyAtomDatabase.open(str(tmp_path / "db.mol"))
    assert len(reopened) == len(stored_seeds)
    for index, mol in enumerate(reopened.get_molecules(list(range(len(reopened))))):
        check_molecule(mol, stored_seeds[index])


def test_threads_with_their_own_handles_read_in_parallel_on_the_shared_pool(tmp_path):
    path = stored(tmp_path, 400)
    seeds = list(range(0, 400, 3))

    def reader(mmap):
        db = PyAtomDatabase.open(str(path), mmap=mmap)
        for _ in range(5):
            for mol, seed in zip(db.get_molecules(seeds), seeds):
                check_molecule(mol, seed)
            check_flat(db.get_molecules_flat(seeds), seeds)

    assert run_threads([lambda m=m: reader(m) for m in (True, False, True, False, True, False)]) == []


def test_threads_reading_and_changing_one_molecule_see_whole_values(tmp_path):
    db = PyAtomDatabase.open(str(stored(tmp_path, 5)))
    mol = db[2]  # view-backed; the first change turns it owned while readers look at it
    stop = threading.Event()
    seen = []

    def reader():
        while True:
            finished = stop.is_set()
            energy = mol.energy
            positions = mol.positions
            seen.append(energy)
            assert positions.shape == (len(mol), 3)
            assert energy in (2.0, -1.0, -2.0)
            if finished:
                return

    def changer():
        try:
            for step in range(2000):
                mol.energy = -1.0 if step % 2 else -2.0
                mol.set_property("step", step)
        finally:
            stop.set()

    assert run_threads([reader, reader, changer]) == []
    assert seen
    assert mol.get_property("step") == 1999


# --- several handles on one file ---------------------------------------------------------------------


@pytest.mark.parametrize("compression", ["none", "lz4"])
def test_a_mapped_reader_keeps_its_snapshot_while_another_handle_commits(tmp_path, compression):
    path = stored(tmp_path, 30, compression)
    mapped = PyAtomDatabase.open(str(path))
    in_memory = PyAtomDatabase.open(str(path), mmap=False)
    early_view = mapped[5]
    writer = PyAtomDatabase.open(str(path), mmap=False)

    def keep_reading():
        for _ in range(20):
            assert len(mapped) == 30
            check_flat(mapped.get_molecules_flat(list(range(30))), list(range(30)))
            for mol, seed in zip(mapped.get_molecules(list(range(30))), range(30)):
                check_molecule(mol, seed)

    def keep_writing():
        for round_ in range(5):
            writer.add_molecules([molecule(30 + 2 * round_), molecule(31 + 2 * round_)])
            writer.flush()

    assert run_threads([keep_reading, keep_writing]) == []
    # The older handles still see the file as it was when they opened it.
    assert len(mapped) == 30 and len(in_memory) == 30
    check_molecule(in_memory[29], 29)
    check_molecule(early_view, 5)
    with pytest.raises(IndexError):
        mapped[30]
    # A new open sees every commit, in both modes.
    for mmap in (True, False):
        fresh = PyAtomDatabase.open(str(path), mmap=mmap)
        assert len(fresh) == 40
        for index in (0, 29, 30, 39):
            check_molecule(fresh[index], index)
    # The view outlives its database object and the writer's commits.
    del mapped
    check_molecule(early_view, 5)


def test_uncommitted_appends_of_one_handle_stay_invisible_to_another(tmp_path):
    path = stored(tmp_path, 10)
    writer = PyAtomDatabase.open(str(path), mmap=False)
    writer.add_molecules([molecule(10), molecule(11)])
    assert len(writer) == 12
    for mmap in (True, False):
        reader = PyAtomDatabase.open(str(path), mmap=mmap)
        assert len(reader) == 10
        check_molecule(reader[9], 9)
    writer.flush()
    assert len(PyAtomDatabase.open(str(path))) == 12
