"""add_arrays_batch: stacked arrays store the very bytes of the same molecules added one by one, on
the fast path and the general one; a refused batch stores nothing, and each refusal has its text."""

import struct
import threading
import time

import numpy as np
import pytest
from conftest import CODECS, TAGS, BUILTIN, layout, refused, section, starts

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

B, N = 4, 3
F32, F64 = np.float32, np.float64


def canonical(b=B, n=N, seed=0):
    """A batch in the dtypes of the fast path, every built-in field given, distinct per molecule."""
    rng = np.random.default_rng(seed)
    xyz = lambda: rng.normal(size=(b, n, 3)).astype(F32)  # noqa: E731
    return {"positions": xyz(), "atomic_numbers": rng.integers(1, 90, (b, n)).astype(np.uint8),
            "energy": rng.normal(size=b), "forces": xyz(), "charges": rng.normal(size=(b, n)),
            "velocities": xyz(), "cell": rng.normal(size=(b, 3, 3)),
            "stress": rng.normal(size=(b, 3, 3)).astype(F32), "pbc": rng.integers(0, 2, (b, 3)).astype(bool),
            "name": [f"mol-{seed}-{i}" for i in range(b)]}


def general(b=B, n=N, seed=0):
    """A batch only the general path takes: float64 positions, other widths elsewhere."""
    batch = canonical(b, n, seed)
    return batch | {key: batch[key].astype(dtype) for key, dtype in
                    (("positions", F64), ("forces", F64), ("charges", F32), ("velocities", F64))}


def add(db, batch):
    rest = dict(batch)
    return db.add_arrays_batch(rest.pop("positions"), rest.pop("atomic_numbers"), **rest)


def molecule_at(batch, i):
    """Molecule i of a batch, built on its own."""
    keys = ("energy", "forces", "charges", "velocities", "cell", "stress", "pbc", "name")
    given = {key: batch[key][i] for key in keys if batch.get(key) is not None}
    given |= {"energy": float(given["energy"])} if "energy" in given else {}
    given |= {"pbc": tuple(bool(flag) for flag in given["pbc"])} if "pbc" in given else {}
    mol = PyMolecule(batch["positions"][i], batch["atomic_numbers"][i], **given)
    for key, value in (batch.get("properties") or {}).items():
        item = str(value[i]) if isinstance(value[i], (str, np.str_)) else value[i]
        mol.set_property(key, item.item() if np.ndim(item) == 0 and not isinstance(item, str) else item)
    for key, value in (batch.get("atom_properties") or {}).items():
        mol.set_property(key, value[i], scope="atom")
    return mol


def write(path, batches, codec="none", one_by_one=False):
    db = PyAtomDatabase(str(path), codec)
    for batch in batches:
        _ = db.add_molecules([molecule_at(batch, i) for i in range(len(batch["positions"]))]) if one_by_one else add(
            db, batch)
    db.flush()
    return path.read_bytes()


DTYPES = (F32, F64, np.int32, np.int64)
MOLECULE_FORMS = {f"{kind}_{np.dtype(d).name}": (np.arange(B * np.prod(shape, dtype=int), dtype=d) * 3 - 5).reshape(
    B, *shape) for kind, shape in (("one", ()), ("rows", (3,)), ("xyz", (2, 3)), ("tensor", (2, 2, 2))) for d in DTYPES}
MOLECULE_FORMS |= {"texts": [f"s{i}" for i in range(B)], "texts_tuple": tuple(f"é{i}" for i in range(B)),
                   "texts_array": np.array([f"u{i}" for i in range(B)]),
                   "strided": np.arange(3 * B, dtype=np.int32)[::-3],
                   "rows_1": np.arange(B, dtype=np.int32).reshape(B, 1), "rows_empty": np.zeros((B, 0)),
                   "tensor_empty": np.zeros((B, 2, 0)), "tensor_i64": np.arange(B * 12).reshape(B, 2, 3, 2)}
ATOM_FORMS = {f"a_{kind}_{np.dtype(d).name}": (np.arange(B * N * np.prod(shape, dtype=int), dtype=d) - 5).reshape(
    B, N, *shape)
              for kind, shape in (("one", ()), ("xyz", (3,)), ("tensor", (4,)), ("square", (2, 2))) for d in DTYPES}
# A batch writes its custom sections in the order of its dictionaries, a molecule sorts them.
MOLECULE_FORMS, ATOM_FORMS = dict(sorted(MOLECULE_FORMS.items())), dict(sorted(ATOM_FORMS.items()))


@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("make", [canonical, general], ids=["fast", "general"])
@pytest.mark.parametrize("custom", [{}, {"properties": MOLECULE_FORMS}, {"atom_properties": ATOM_FORMS}, "bare"],
                         ids=["builtins", "molecule-scope", "atom-scope", "bare"])
def test_a_batch_stores_the_bytes_of_its_molecules_added_one_by_one(tmp_path, codec, make, custom):
    if custom == "bare":
        batches = [{key: make(seed=s)[key] for key in ("positions", "atomic_numbers")} for s in (1, 2)]
    else:
        batches = [make(seed=s) | custom for s in (1, 2)]
    by_batch = write(tmp_path / "batch.mol", batches, codec)
    assert by_batch == write(tmp_path / "single.mol", batches, codec, one_by_one=True)
    # The schema the batch left takes the same molecules added one by one.
    db = PyAtomDatabase.open(str(tmp_path / "batch.mol"), mmap=False)
    db.add_molecules([molecule_at(batches[0], i) for i in range(B)])
    assert len(db) == 3 * B


@pytest.mark.parametrize("codec", CODECS)
def test_batches_built_on_the_worker_pool_store_the_same_bytes(tmp_path, codec):
    big = canonical(1024, 5, seed=3) | {"properties": {"t": np.ones((1024, 2, 2), F32)}}  # from 1024 on, on the pool
    split = [{key: value[part] if key != "properties" else {"t": value["t"][part]} for key, value in big.items()}
             for part in (slice(0, 1023), slice(1023, None))]
    assert write(tmp_path / "pool.mol", [big], codec) == write(tmp_path / "inline.mol", split, codec)


@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("count", [1000, 1100])  # both sides of the pool's 1024
def test_a_thread_resizing_an_input_array_cannot_change_what_is_stored(tmp_path, codec, count):
    # 100 atoms: each call builds more than one 1 MiB block, so the arrays are read in several stretches.
    positions, numbers = np.zeros((count, 100, 3), F32), np.ones((count, 100), np.uint8)
    db, stop = PyAtomDatabase(str(tmp_path / "db.mol"), codec), threading.Event()

    def resize():  # new memory each time; every state the array passes through holds only zeros
        while not stop.is_set():
            positions.resize((count - 1, 100, 3), refcheck=False)
            positions.resize((count, 100, 3), refcheck=False)
            time.sleep(0)  # lets the call go on with the array in its checked shape

    racer = threading.Thread(target=resize)
    racer.start()
    try:
        for _ in range(20):
            try:
                db.add_arrays_batch(positions, numbers)
            except ValueError:  # changed between its checks, or between two blocks
                pass
    finally:
        stop.set()
        racer.join()
    db.flush()
    assert len(db) % count == 0
    if len(db):
        assert not db.get_molecules_flat(list(range(len(db))))["positions"].any()


def records(data):
    return [data[offset : offset + length] for offset, length, _, _ in layout(data)["entries"]]


def test_a_float32_energy_differs_only_in_its_energy_section_and_pbc_flags_are_zero_or_one(tmp_path):
    fast = canonical() | {"pbc": np.frombuffer(bytes([2, 0, 255, 1, 7, 0, 0, 0, 0, 1, 1, 1]), np.bool_).reshape(B, 3)}
    slow = fast | {"energy": fast["energy"].astype(F32)}
    fast_records, slow_records = (records(write(tmp_path / f"{name}.mol", [b])) for name, b in (("fast", fast),
                                                                                                ("slow", slow)))
    for i in range(B):
        as_f64 = section(BUILTIN, "energy", TAGS["F64"], struct.pack("<d", fast["energy"][i]))
        as_f32 = section(BUILTIN, "energy", TAGS["F32"], struct.pack("<f", slow["energy"][i]))
        assert fast_records[i].replace(as_f64, as_f32) == slow_records[i]
    assert section(BUILTIN, "pbc", TAGS["PBC"], bytes([1, 0, 1])) in fast_records[0]
    assert section(BUILTIN, "pbc", TAGS["PBC"], bytes([1, 1, 0])) in fast_records[1]
    # The schema now holds energy as float32: a float64 energy no longer fits.
    db = PyAtomDatabase.open(str(tmp_path / "slow.mol"), mmap=False)
    refused(lambda: add(db, canonical()), ValueError, starts("Invalid data: Schema mismatch for section 'energy'"))


LIST_TENSOR = ("custom property '{}' must be a stacked ndarray tensor for add_arrays_batch; list/tuple tensor "
               "inputs are not supported. Ragged tensors should use per-molecule construction plus "
               "add_molecules(...) and non-flat retrieval with get_molecule(s).")
STACKED = "stacked tensor ndarrays with dtype float32, float64, int32, or int64"
UNSUPPORTED = ("Unsupported batched property '{}' type. Supported: list[str], 1D numeric arrays, 2D numeric arrays, "
               "3D float arrays with trailing dimension 3, or " + STACKED)
UNSUPPORTED_ATOM = ("Unsupported batched atom property '{}' type. Supported: 2D numeric arrays with shape (batch, "
                    "n_atoms), 3D float arrays with shape (batch, n_atoms, 3), or " + STACKED)
NOT_ARRAY = "argument '{}': '{}' object cannot be converted to 'PyArray<T, D>'"
FLOATS, SHAPE = "{} must be a float32 or float64 ndarray with shape ({})", "{} must have shape ({})"
CONTIGUOUS = "{} must be C-contiguous"
LENGTH = "{} length ({}) doesn't match batch size (%d)" % B
Z, fortran = np.zeros, np.asfortranarray
REFUSALS = [
    (dict(positions=Z((B, N, 3), np.int64)), ValueError, FLOATS.format("positions", "batch, n_atoms, 3")),
    (dict(positions=Z((B, N, 4), F32)), ValueError, SHAPE.format("positions", "batch, n_atoms, 3")),
    (dict(positions=Z((B, N, 3), F32)[::-1]), ValueError, CONTIGUOUS.format("positions")),
    (dict(atomic_numbers=Z((B, N + 1), np.uint8)), ValueError, SHAPE.format("atomic_numbers", f"{B}, {N}")),
    (dict(atomic_numbers=fortran(Z((B, N), np.uint8))), ValueError, CONTIGUOUS.format("atomic_numbers")),
    (dict(atomic_numbers=Z((B, N), np.int64)), TypeError, NOT_ARRAY.format("atomic_numbers", "ndarray")),
    (dict(atomic_numbers=[[1] * N] * B), TypeError, NOT_ARRAY.format("atomic_numbers", "list")),
    (dict(energy=Z((B, 1))), ValueError, FLOATS.format("energy", "batch,")),
    (dict(energy=Z(B - 1)), ValueError, LENGTH.format("energy", B - 1)),
    (dict(energy=Z(2 * B)[::2]), ValueError, CONTIGUOUS.format("energy")),
    (dict(forces=Z((B, N, 2), F32)), ValueError, SHAPE.format("forces", f"{B}, {N}, 3")),
    (dict(forces=Z((B, N, 3), np.float16)), ValueError, FLOATS.format("forces", "batch, n_atoms, 3")),
    (dict(forces=Z((2 * B, N, 3), F32)[::2]), ValueError, CONTIGUOUS.format("forces")),
    (dict(velocities=Z((B + 1, N, 3), F32)), ValueError, SHAPE.format("velocities", f"{B}, {N}, 3")),
    (dict(charges=Z((B, N + 1), F32)), ValueError, SHAPE.format("charges", f"{B}, {N}")),
    (dict(charges=Z((B, N), np.int64)), ValueError, FLOATS.format("charges", "batch, n_atoms")),
    (dict(charges=fortran(Z((B, N)))), ValueError, CONTIGUOUS.format("charges")),
    (dict(cell=Z((B, 3, 4))), ValueError, SHAPE.format("cell", f"{B}, 3, 3")),
    (dict(cell=Z((B, 3, 3), np.int32)), ValueError, FLOATS.format("cell", "batch, 3, 3")),
    (dict(stress=fortran(Z((B, 3, 3), F32))), ValueError, CONTIGUOUS.format("stress")),
    (dict(pbc=Z((B, 2), bool)), ValueError, SHAPE.format("pbc", f"{B}, 3")),
    (dict(pbc=Z((B, 3), np.int8)), TypeError, NOT_ARRAY.format("pbc", "ndarray")),
    (dict(name=["x", "y"]), ValueError, LENGTH.format("name", 2)),
    (dict(name="abcd"), TypeError, "argument 'name': Can't extract `str` to `Vec`"),
    (dict(name=5), TypeError, "argument 'name': 'int' object cannot be converted to 'Sequence'"),
    (dict(name=["a", 1, "b", "c"]), TypeError, "argument 'name': 'int' object cannot be converted to 'str'"),
    (dict(properties=[("k", 1)]), TypeError, "argument 'properties': 'list' object cannot be converted to 'PyDict'"),
    (dict(atom_properties=3), TypeError, "argument 'atom_properties': 'int' object cannot be converted to 'PyDict'"),
    (dict(properties={1: Z(B)}), TypeError, "argument 'properties': 'int' object cannot be converted to 'str'"),
    (dict(properties={"stress": Z(B)}), ValueError,
     "'stress' is a reserved field; use the builtin stress argument instead"),
    (dict(properties={"k": Z(B)}, atom_properties={"k": Z((B, N))}), ValueError,
     "Duplicate custom key 'k' across batched atom property inputs"),
    (dict(properties={"k" * 256: Z(B)}), ValueError, f"Section key '{'k' * 256}' is too long"),
    (dict(properties={"k": ["a"] * (B - 1)}), ValueError, LENGTH.format("custom property 'k'", B - 1)),
    (dict(properties={"k": Z(B - 1, np.int32)}), ValueError, LENGTH.format("custom property 'k'", B - 1)),
    (dict(properties={"k": ["a", 1.0, "b", "c"]}), ValueError, LIST_TENSOR.format("k")),
    (dict(properties={"k": "abcd"}), ValueError, UNSUPPORTED.format("k")),
    (dict(properties={"k": np.array(1.0)}), ValueError,
     f"custom property 'k' must have stacked tensor shape ({B}, ...)"),
    (dict(properties={"k": Z((B + 1, 2))}), ValueError, SHAPE.format("custom property 'k'", f"{B}, k")),
    (dict(properties={"k": fortran(Z((B, 2)))}), ValueError, CONTIGUOUS.format("custom property 'k'")),
    (dict(properties={"k": Z((B, 0, 2**32), F32)}), ValueError,
     "custom property 'k' tensor dimensions must fit in u32 for storage"),
    (dict(atom_properties={"q": Z((B, N + 1))}), ValueError, SHAPE.format("atom property 'q'", f"{B}, {N}")),
    (dict(atom_properties={"q": Z((B, N), bool)}), ValueError, UNSUPPORTED_ATOM.format("q")),
    (dict(atom_properties={"q": Z((B, N + 1, 3))}), ValueError,
     f"atom property 'q' must have stacked tensor shape ({B}, {N}, ...)"),
]


@pytest.mark.parametrize("base", [canonical, general], ids=["fast", "general"])
@pytest.mark.parametrize("change, error, text", REFUSALS)
def test_refusals_store_nothing(tmp_path, base, change, error, text):
    control, db = [PyAtomDatabase(str(tmp_path / name)) for name in ("control.mol", "test.mol")]
    for handle in (control, db):
        add(handle, canonical(seed=9))
    refused(lambda: add(db, base() | change), error, text)
    for handle in (control, db):
        handle.flush()
    assert (tmp_path / "test.mol").read_bytes() == (tmp_path / "control.mol").read_bytes()


def test_a_batch_needs_a_c_contiguous_pbc_on_the_fast_path_only(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    transposed = np.array([[1, 0, 1, 0], [0, 0, 1, 1], [1, 1, 1, 0]], bool).T
    refused(lambda: add(db, canonical() | {"pbc": transposed}), ValueError, "pbc must be C-contiguous")
    add(db, general() | {"pbc": transposed})
    assert [db[i].pbc for i in range(B)] == [tuple(bool(v) for v in row) for row in transposed]


def test_a_tensor_column_too_large_to_address_is_refused(tmp_path):
    b = 2**59  # zero-sized arrays; each molecule's tensor header alone is 1 + 4 * 31 bytes
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    refused(lambda: db.add_arrays_batch(Z((b, 0, 3), F32), Z((b, 0), np.uint8), properties={"t": Z((b, 0) + (1,) * 30,
            np.int32)}), ValueError, "Tensor batch payload length overflow")
    assert len(db) == 0


def test_empty_batches_store_nothing_even_on_a_mapped_handle(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    empty = canonical(b=0) | {"properties": {"a": Z(0)}, "atom_properties": {"t": Z((0, N, 2, 2), np.int32)}}
    assert add(db, empty) is None and len(db) == 0
    add(db, canonical() | {"energy": Z(B, F32)})  # the schema stayed empty: a float32 energy takes it
    db.flush()
    mapped = PyAtomDatabase.open(str(tmp_path / "db.mol"))
    assert add(mapped, empty) is None
    refused(lambda: add(mapped, general()), ValueError, "Invalid data: Cannot add molecules to a database opened with "
            "a memory-mapped index (read-only); reopen without mmap to write.")
    assert len(mapped) == B
    db = PyAtomDatabase(str(tmp_path / "none.mol"))  # None is the same as leaving a keyword out
    db.add_arrays_batch(positions=Z((2, 1, 3), F32), atomic_numbers=Z((2, 1), np.uint8), **dict.fromkeys(
        "energy forces charges velocities cell stress pbc name properties atom_properties".split()))
    assert len(db) == 2 and db[0].energy is None and db[1].property_keys() == []


class Texts:
    """A sequence of texts that runs `action` (or raises it, an exception) when iterated."""

    def __init__(self, action):
        self.action = action

    def __len__(self):
        return B

    def __getitem__(self, i):
        return f"x{i}"

    def __iter__(self):
        if isinstance(self.action, BaseException):
            raise self.action
        self.action()
        return iter([f"x{i}" for i in range(B)])


def test_python_code_run_while_the_inputs_are_read_cannot_break_the_batch(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    properties = {"a": Texts(lambda: properties.pop("a")), "b": Z(B)}
    with pytest.raises(BaseException) as info:  # the module's internal fault derives from BaseException only
        add(db, canonical() | {"properties": properties})
    assert not isinstance(info.value, Exception) and str(info.value) == "dictionary changed size during iteration"
    swapped = {"q": Z(B), "z": Texts(lambda: (swapped.pop("q"), swapped.update(r=Z(B))))}
    with pytest.raises(BaseException) as info:
        add(db, canonical() | {"properties": swapped})
    assert str(info.value) == "dictionary keys changed during iteration"
    refused(lambda: add(db, canonical() | {"properties": {"k": Texts(LookupError())}}), ValueError,
            UNSUPPORTED.format("k"))
    refused(lambda: add(db, canonical() | {"properties": {"k": Texts(KeyboardInterrupt())}}), KeyboardInterrupt)
    positions = canonical()["positions"].copy()
    refused(lambda: add(db, canonical() | {"positions": positions, "properties": {"k": Texts(lambda: positions.resize(
        (1, 1, 3), refcheck=False))}}), ValueError, "input arrays of add_arrays_batch were changed while it ran")
    assert len(db) == 0
    add(db, canonical() | {"properties": {"t": ["a", "b", "c", "d"]}})
    assert db[3].get_property("t") == "d"


def zero_d(array):  # new memory of one element, with no dimensions left to read
    array.resize((), refcheck=False)


def retyped(array):  # the same bytes, read as another type
    array.dtype = np.int8


def same_width(array):  # the same bytes and shape, read as integers
    array.dtype = f"i{array.itemsize}"


def narrowed(array):  # float32 matrices where float64 ones were: still a cell the fast path takes
    array.dtype = np.float32
    array.resize((len(array), 3, 3), refcheck=False)


# An input that passed its checks, then changed by Python code the call ran (the iterator of the
# name list or of a custom value) or by another thread between two blocks of the store.
CHANGED_WHILE_RUNNING = [(make, key, change, by) for key in ("atomic_numbers", "pbc") for make, change, by in (
    (canonical, zero_d, "name"), (general, zero_d, "name"), (canonical, zero_d, "properties"),
    (canonical, retyped, "properties"), (canonical, zero_d, "thread"), (canonical, retyped, "thread"))] + [
    (canonical, "positions", same_width, "thread"), (canonical, "positions", zero_d, "thread"),
    (canonical, "energy", retyped, "thread"), (canonical, "cell", retyped, "thread"),
    (canonical, "cell", narrowed, "thread")]


@pytest.mark.parametrize("make, key, change, by", CHANGED_WHILE_RUNNING)
def test_an_input_changed_while_the_call_runs_refuses_the_batch(tmp_path, make, key, change, by):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path), "zstd")  # compressing, the call leaves the lock to the thread for longer
    add(db, canonical(seed=9))
    size, stored = path.stat().st_size, len(db)
    batch = make(2000, 100) if by == "thread" else make()  # about 9 blocks of 1 MiB: some left to change
    run = Texts(lambda: change(batch[key]))
    batch |= {"name": run} if by == "name" else {"properties": {"t": run}} if by == "properties" else {}
    done = threading.Event()

    def after_the_first_block():
        while path.stat().st_size == size and not done.is_set():
            time.sleep(0)
        change(batch[key])

    racer = threading.Thread(target=after_the_first_block if by == "thread" else done.wait)
    racer.start()
    try:
        refused(lambda: add(db, batch), ValueError, "input arrays of add_arrays_batch were changed while it ran")
    finally:
        done.set()
        racer.join()
    assert (path.stat().st_size, len(db)) == (size, stored)
    after = canonical(seed=1)
    add(db, after)
    assert len(db) == stored + B and db[stored + 3].pbc == tuple(after["pbc"][3])
