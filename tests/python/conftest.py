"""Shared builders of the Python tests: molecules holding every field and property kind, stored
databases, comparisons, and database files written byte by byte from the documented layout."""

import multiprocessing
import re
import struct
import zlib

import numpy as np
import pytest
from hypothesis import settings

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

# Examples are not kept between runs: no example database in the source tree.
settings.register_profile("molarium", database=None, deadline=None)
settings.load_profile("molarium")

CODECS = ["none", "lz4", "zstd"]
STORAGES = [(codec, mmap) for codec in CODECS for mmap in (True, False)]
ARRAY_FIELDS = ["positions", "atomic_numbers", "forces", "velocities", "charges", "cell", "stress"]
FIELDS = ARRAY_FIELDS + ["energy", "pbc"]


u32, u64 = struct.Struct("<I").pack, struct.Struct("<Q").pack


def fields(n=3, dtype=np.float32, seed=0):
    """Every built-in field of an n-atom molecule in one float width, distinct for each seed."""
    base = np.arange(n * 3, dtype=dtype).reshape(n, 3) / 8 + seed
    return {
        "positions": base,
        "atomic_numbers": (np.arange(1, n + 1) + seed).astype(np.uint8),
        "energy": -1.5 - seed,
        "forces": base * 2,
        "charges": np.linspace(-1, 1, n).astype(dtype) + seed,
        "velocities": base * -3,
        "cell": np.eye(3, dtype=dtype) * (10 + seed),
        "stress": np.arange(9, dtype=dtype).reshape(3, 3) - seed,
        "pbc": (True, False, seed % 2 == 0),
    }


def build(values, name=None):
    extra = {key: value for key, value in values.items() if key not in ("positions", "atomic_numbers")}
    return PyMolecule(values["positions"], values["atomic_numbers"], name=name, **extra)


def plain(n=3, dtype=np.float32, seed=0):
    values = fields(n, dtype, seed)
    return PyMolecule(values["positions"], values["atomic_numbers"])


def custom_values(n, seed=0):
    """(molecule scope, atom scope) values of every kind a property may hold."""
    molecule_scope = {
        "none": None, "float": 0.5 + seed, "int": -(2**62) + seed, "text": f"héllo {seed}",
        "f64": np.array([1.0, np.inf, -0.0]) + seed, "f32": np.arange(3, dtype=np.float32) - seed,
        "i64": np.array([2**40, -1], np.int64) + seed, "i32": np.array([-7, 8, 9], np.int32) + seed,
        "xyz32": np.arange(6, dtype=np.float32).reshape(2, 3) + seed, "xyz64": np.ones((1, 3)) / 7 + seed,
        "t64": np.arange(24, dtype=np.float64).reshape(2, 3, 4) + seed,
        "ti32": np.arange(6, dtype=np.int32).reshape(3, 2),
        "ti64": np.arange(8, dtype=np.int64).reshape(2, 2, 2) - seed,
        "tf32": np.arange(4, dtype=np.float32).reshape(1, 4),
    }
    atom_scope = {
        "a_f64": np.arange(n, dtype=np.float64) / 3 + seed, "a_f32": np.arange(n, dtype=np.float32),
        "a_i64": np.arange(n, dtype=np.int64) - seed, "a_i32": np.arange(n, dtype=np.int32),
        "a_xyz32": np.ones((n, 3), np.float32) * seed, "a_xyz64": np.full((n, 3), 0.1),
        "a_tensor": np.arange(n * 6, dtype=np.float32).reshape(n, 2, 3),
        "a_ti64": np.arange(n * 2, dtype=np.int64).reshape(n, 2),
    }
    return molecule_scope, atom_scope


def rich(n=3, dtype=np.float32, seed=0):
    """A molecule with every built-in field and one custom property of every kind in both scopes."""
    mol = build(fields(n, dtype, seed), name=f"m{seed}")
    molecule_scope, atom_scope = custom_values(n, seed)
    for key, value in molecule_scope.items():
        mol.set_property(key, value)
    for key, value in atom_scope.items():
        mol.set_property(key, value, scope="atom")
    return mol


def write(path, molecules, codec="none", commits=1):
    """A database at path whose molecules are committed in `commits` flushes."""
    db = PyAtomDatabase(str(path), codec, overwrite=True)
    step = max(1, -(-len(molecules) // commits))
    for start in range(0, len(molecules), step):
        db.add_molecules(molecules[start : start + step])
        db.flush()
    if not molecules:
        db.flush()
    return path


def stored(tmp_path, molecules, codec="none", mmap=True):
    """The molecules stored in a new file, read back as views through a new handle."""
    path = tmp_path / f"stored-{len(list(tmp_path.iterdir()))}.mol"
    write(path, molecules, codec)
    return PyAtomDatabase.open(str(path), mmap=mmap).get_molecules(list(range(len(molecules))))


def is_view(tmp_path, mol):
    """add_molecules stores views before owned molecules: an owned marker of another size goes first."""
    n = len(mol) + 1
    db = PyAtomDatabase(str(tmp_path / f"probe-{len(list(tmp_path.iterdir()))}.mol"))
    db.add_molecules([PyMolecule(np.zeros((n, 3), mol.positions.dtype), np.ones(n, np.uint8)), mol])
    return len(db[0]) == len(mol)


def assert_same(got, expected, where=""):
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray), where
        assert (got.dtype, got.shape) == (expected.dtype, expected.shape), where
        np.testing.assert_array_equal(got, expected, err_msg=where)
    elif isinstance(expected, dict):
        assert sorted(got) == sorted(expected), where
        for key in expected:
            assert_same(got[key], expected[key], f"{where}/{key}")
    elif isinstance(expected, float) and expected != expected:
        assert got != got, where
    else:
        assert type(got) is type(expected) and got == expected, (where, got, expected)


def assert_same_molecule(got, expected):
    assert len(got) == len(expected)
    for name in FIELDS:
        want = getattr(expected, name)
        assert_same(getattr(got, name), want, name) if want is not None else None
        assert (getattr(got, name) is None) == (want is None), name
    for scope in ("molecule", "atom"):
        assert got.property_keys(scope=scope) == expected.property_keys(scope=scope)
    for key in expected.property_keys():
        assert_same(got.get_property(key), expected.get_property(key), key)


def assert_fields(mol, values):
    """A molecule holds exactly the given built-in fields (absent ones read as None)."""
    for name in FIELDS:
        if values.get(name) is None:
            assert getattr(mol, name) is None, name
        elif name in ARRAY_FIELDS:
            assert_same(getattr(mol, name), np.asarray(values[name]), name)
        else:
            assert getattr(mol, name) == values[name], name


def seeded(seed, n=None):
    """A molecule whose positions, atomic numbers, forces, energy, "seed" property and (by default) size
    follow from its seed alone."""
    n = n or 4 + seed % 5
    positions = seeded_positions(seed, n)
    mol = PyMolecule(positions, np.full(n, 1 + seed % 90, np.uint8), energy=float(seed), forces=-positions)
    mol.set_property("seed", seed)
    return mol


def seeded_positions(seed, n):
    return np.arange(n * 3, dtype=np.float32).reshape(n, 3) + np.float32(seed * 1000)


def seeded_batch(seeds, n=6):
    """add_arrays_batch's arguments for the molecules seeded(s, n)."""
    positions = np.stack([seeded_positions(s, n) for s in seeds])
    return {"positions": positions, "forces": -positions,
            "atomic_numbers": np.array([[1 + s % 90] * n for s in seeds], np.uint8),
            "energy": np.array(seeds, np.float64), "properties": {"seed": np.array(seeds, np.int64)}}


def check(mol, seed):
    """mol holds what seeded(seed, len(mol)) held."""
    positions = seeded_positions(seed, len(mol))
    assert np.array_equal(mol.positions, positions) and np.array_equal(mol.forces, -positions), seed
    assert (mol.energy, mol.get_property("seed"), mol.atomic_numbers[0]) == (float(seed), seed, 1 + seed % 90)


def check_flat(flat, seeds):
    """A flat read of seeded molecules is NumPy's concatenation of their values."""
    expected = np.concatenate([seeded_positions(s, n) for s, n in zip(seeds, flat["n_atoms"].tolist())])
    assert np.array_equal(flat["positions"], expected) and np.array_equal(flat["forces"], -expected)
    assert (flat["energy"].tolist(), flat["properties"]["seed"].tolist()) == ([float(s) for s in seeds], list(seeds))
    assert flat["atomic_numbers"].tolist() == [1 + s % 90 for s, n in zip(seeds, flat["n_atoms"]) for _ in range(n)]


def assert_reads(db, seeds, indices=None):
    """The molecules at indices (by default all of db, which holds exactly one per seed) read back as
    seeded(seeds[i]): one by one, as views, and flat."""
    if indices is None:
        assert len(db) == len(seeds)
        indices = list(range(len(seeds)))[::-1]
    for i, view in zip(indices, db.get_molecules(indices)):
        check(db[i], seeds[i])
        check(view, seeds[i])
    if len(indices):
        check_flat(db.get_molecules_flat(indices), [seeds[i] for i in indices])


def energies(path):
    db = PyAtomDatabase.open(str(path), mmap=False)
    return [db[i].energy for i in range(len(db))]


class Items:
    """A sequence answering only len and item access: an item that is an exception is raised, and
    `first` (code calling back into the module, or waiting) runs before item 0 is handed out."""

    def __init__(self, items, first=None):
        self.items, self.first = list(items), first

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == 0 and self.first:
            self.first()
        if isinstance(self.items[i], Exception):
            raise self.items[i]
        return self.items[i]


# --- files written byte by byte -------------------------------------------------------------------
# Header slot: "MOLR", u32 version 2, u64 generation, u64 data start (8192), u64 index offset,
# u64 index length, u64 record count, u8 codec, i32 zstd level at 52, u32 record format at 56,
# u64 schema offset at 60, u64 schema length at 68, u32 Adler-32 of bytes [0, 4092) at 4092.
# Index: u64 count, then per record u64 offset, u32 stored length, u32 record length, u32 atoms.
# Record (format 2): u32 atoms, positions, atomic numbers, u16 section count, sections of
# u8 kind, u8 key length, key, u8 type tag, u32 payload length, payload.

SLOT, DATA_START = 4096, 8192
BUILTIN, ATOM, MOLECULE = 0, 1, 2
TAGS = dict(F64=0, I64=1, STR=2, F64A=3, V3F32=4, I64A=5, F32A=6, V3F64=7, I32A=8, PBC=9, M3F64=10, F32=11,
            M3F32=12, NULL=13, TF32=14, TF64=15, TI32=16, TI64=17)


def header_slot(generation, index=(0, 0), count=0, codec=0, level=0, schema=(0, 0), record_format=2):
    slot = bytearray(SLOT)
    struct.pack_into("<4sIQQQQQBxxxiIQQ", slot, 0, b"MOLR", 2, generation, DATA_START, index[0], index[1], count,
                     codec, level, record_format, schema[0], schema[1])
    struct.pack_into("<I", slot, 4092, zlib.adler32(bytes(slot[:4092])))
    return bytes(slot)


def section(kind, key, tag, payload):
    key = key.encode() if isinstance(key, str) else key
    return bytes([kind, len(key)]) + key + bytes([tag]) + u32(len(payload)) + payload


def record(atoms, sections, positions=None, numbers=None):
    positions = np.arange(atoms * 3, dtype="<f4") if positions is None else positions
    numbers = bytes(range(1, atoms + 1)) if numbers is None else bytes(numbers)
    body = b"".join(section(*s) for s in sections)
    return u32(atoms) + np.ascontiguousarray(positions).tobytes() + numbers + struct.pack("<H", len(sections)) + body


def tensor(values, shape=None):
    shape = values.shape if shape is None else shape
    return bytes([len(shape)]) + struct.pack(f"<{len(shape)}I", *shape) + np.ascontiguousarray(values).tobytes()


def handmade(path, records, schema=b"", codec=0, level=0, record_format=2):
    """One commit of the given records in slot B (generation 1); slot A is the empty creation."""
    data, entries = b"", []
    for rec in records:
        entries.append(struct.pack("<QIII", DATA_START + len(data), len(rec), len(rec),
                                   struct.unpack_from("<I", rec)[0]))
        data += rec
    schema_at = DATA_START + len(data) if schema else 0
    index = u64(len(records)) + b"".join(entries)
    index_at = DATA_START + len(data) + len(schema)
    path.write_bytes(header_slot(0, codec=codec, level=level)
                     + header_slot(1, (index_at, len(index)), len(records), codec, level, (schema_at, len(schema)),
                                   record_format)
                     + data + schema + index)
    return path


def layout(data):
    """Where the newer header slot puts the live index and schema blob, and its index entries."""
    generations = [struct.unpack_from("<Q", data, s * SLOT + 8)[0] for s in (0, 1)]
    newer = 0 if generations[0] >= generations[1] else 1
    index_at, index_length, count = struct.unpack_from("<QQQ", data, newer * SLOT + 24)
    schema = struct.unpack_from("<QQ", data, newer * SLOT + 60)
    entries = [struct.unpack_from("<QIII", data, index_at + 8 + 20 * i) for i in range(count)]
    return {"newer": newer, "index": (index_at, index_length), "schema": schema, "entries": entries}


@pytest.fixture(params=["owned", "mapped", "in-memory"])
def where(request, tmp_path):
    """Puts a molecule where a test reads it: as it is, or stored and read back as a view."""

    def place(mol):
        if request.param == "owned":
            return mol
        return stored(tmp_path, [mol], mmap=request.param == "mapped")[0]

    return place


def refused(call, error, text=None):
    """call() raises exactly `error` whose message equals `text` (a str) or matches it whole (a
    compiled pattern); without a text, any subclass of `error`. Returns the exception."""
    with pytest.raises(BaseException) as info:
        call()
    exc = info.value
    assert isinstance(exc, error) if text is None else type(exc) is error, f"{type(exc).__name__}: {exc}"
    message = exc.args[0] if isinstance(exc, KeyError) else str(exc)
    if isinstance(text, str):
        assert message == text
    elif text is not None:
        assert text.fullmatch(message), message
    return exc


def starts(prefix):
    return re.compile(re.escape(prefix) + ".*", re.S)


def in_child(work):
    """work()'s result in a forked child, or its exception's type and text."""
    context = multiprocessing.get_context("fork")
    results = context.Queue()

    def run():
        try:
            results.put(("ok", work()))
        except BaseException as error:  # noqa: BLE001 - handed to the parent
            results.put((type(error).__name__, str(error)))

    process = context.Process(target=run)
    process.start()
    try:
        outcome = results.get(timeout=120)
        process.join(120)
    finally:
        process.kill()  # a child still running here hangs; it must not outlive the test
    assert process.exitcode == 0
    return outcome
