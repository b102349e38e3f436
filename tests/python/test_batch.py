"""PyAtomDatabase.add_arrays_batch: stacked arrays stored as one record per molecule."""

import struct
import threading
import time
import zlib

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

B = 4  # molecules per batch in most tests
N = 3  # atoms per molecule
CODECS = ["none", "lz4", "zstd"]
READ_ONLY = (
    "Invalid data: Cannot add molecules to a database opened with a memory-mapped index (read-only); "
    "reopen without mmap to write."
)
LIST_TENSOR = (
    "custom property '{}' must be a stacked ndarray tensor for add_arrays_batch; list/tuple tensor inputs are "
    "not supported. Ragged tensors should use per-molecule construction plus add_molecules(...) and non-flat "
    "retrieval with get_molecule(s)."
)
UNSUPPORTED = (
    "Unsupported batched property '{}' type. Supported: list[str], 1D numeric arrays, 2D numeric arrays, 3D "
    "float arrays with trailing dimension 3, or stacked tensor ndarrays with dtype float32, float64, int32, "
    "or int64"
)
UNSUPPORTED_ATOM = (
    "Unsupported batched atom property '{}' type. Supported: 2D numeric arrays with shape (batch, n_atoms), 3D "
    "float arrays with shape (batch, n_atoms, 3), or stacked tensor ndarrays with dtype float32, float64, "
    "int32, or int64"
)


def canonical(b=B, n=N, seed=0):
    """A batch in the dtypes of the fast path, every built-in field given, distinct per molecule."""
    rng = np.random.default_rng(seed)
    return {
        "positions": rng.normal(size=(b, n, 3)).astype(np.float32),
        "atomic_numbers": rng.integers(1, 90, size=(b, n)).astype(np.uint8),
        "energy": rng.normal(size=b),
        "forces": rng.normal(size=(b, n, 3)).astype(np.float32),
        "charges": rng.normal(size=(b, n)),
        "velocities": rng.normal(size=(b, n, 3)).astype(np.float32),
        "cell": rng.normal(size=(b, 3, 3)),
        "stress": rng.normal(size=(b, 3, 3)).astype(np.float32),
        "pbc": rng.integers(0, 2, size=(b, 3)).astype(bool),
        "name": [f"mol-{seed}-{i}" for i in range(b)],
    }


def general(b=B, n=N, seed=0):
    """A batch that only the general path takes: float64 positions and other widths elsewhere."""
    batch = canonical(b, n, seed)
    batch["positions"] = batch["positions"].astype(np.float64)
    batch["forces"] = batch["forces"].astype(np.float64)
    batch["charges"] = batch["charges"].astype(np.float32)
    batch["velocities"] = batch["velocities"].astype(np.float64)
    return batch


def add_batch(db, batch):
    fields = dict(batch)
    db.add_arrays_batch(fields.pop("positions"), fields.pop("atomic_numbers"), **fields)


def molecule_at(batch, i):
    """Molecule i of a batch built on its own, custom properties set key by key in dict order."""
    fields = {key: batch[key][i] for key in ("energy", "forces", "charges", "velocities", "cell", "stress", "pbc", "name")
              if batch.get(key) is not None}
    if "energy" in fields:
        fields["energy"] = float(fields["energy"])
    if "pbc" in fields:
        fields["pbc"] = tuple(bool(flag) for flag in fields["pbc"])
    mol = PyMolecule(batch["positions"][i], batch["atomic_numbers"][i], **fields)
    for key, value in (batch.get("properties") or {}).items():
        mol.set_property(key, per_molecule_value(value, i))
    for key, value in (batch.get("atom_properties") or {}).items():
        mol.set_property(key, value[i], scope="atom")
    return mol


def per_molecule_value(value, i):
    """What molecule i holds of a molecule-scope batch property: a float, an int, a str or an array."""
    item = value[i]
    if isinstance(item, (str, np.str_)):
        return str(item)
    if isinstance(item, np.floating):
        return float(item)
    if isinstance(item, np.integer):
        return int(item)
    return item


def write(path, batches, codec="none", one_by_one=False):
    db = PyAtomDatabase(str(path), codec)
    for batch in batches:
        if one_by_one:
            db.add_molecules([molecule_at(batch, i) for i in range(len(batch["positions"]))])
        else:
            add_batch(db, batch)
    db.flush()
    return path.read_bytes()


def written_path(path, batch):
    write(path, [batch])
    return path


def stored_records(path):
    """The record bytes of a flushed database without a codec, read through its header and index."""
    data = path.read_bytes()
    slots = [data[0:4096], data[4096:8192]]
    valid = [s for s in slots if s[:4] == b"MOLR" and zlib.adler32(s[:4092]) == struct.unpack_from("<I", s, 4092)[0]]
    slot = max(valid, key=lambda s: struct.unpack_from("<Q", s, 8)[0])
    index_offset = struct.unpack_from("<Q", slot, 24)[0]
    count = struct.unpack_from("<Q", data, index_offset)[0]
    records = []
    for i in range(count):
        offset, stored, size, atoms = struct.unpack_from("<QIII", data, index_offset + 8 + 20 * i)
        assert stored == size
        records.append(data[offset : offset + stored])
    return records


def section(kind, key, tag, payload):
    key = key.encode()
    return bytes([kind, len(key)]) + key + bytes([tag]) + struct.pack("<I", len(payload)) + payload


# --- the same bytes by every road -----------------------------------------------------------------


MOLECULE_SCOPE_SORTED = {
    "a_text": [f"t{i}" for i in range(B)],
    "b_f64": np.linspace(-1, 1, B),
    "c_i64": np.arange(B, dtype=np.int64) - 2**40,
    "d_rows32": np.arange(B * 5, dtype=np.float32).reshape(B, 5),
    "e_rows_i32": np.arange(B * 2, dtype=np.int32).reshape(B, 2),
    "f_xyz64": np.arange(B * 6, dtype=np.float64).reshape(B, 2, 3) / 7,
    "g_tensor": np.arange(B * 8, dtype=np.float32).reshape(B, 2, 4),
    "h_tensor_i64": np.arange(B * 12, dtype=np.int64).reshape(B, 3, 2, 2),
}
ATOM_SCOPE_SORTED = {
    "a_f64": np.arange(B * N, dtype=np.float64).reshape(B, N) / 3,
    "b_i32": np.arange(B * N, dtype=np.int32).reshape(B, N),
    "c_xyz32": np.arange(B * N * 3, dtype=np.float32).reshape(B, N, 3),
    "d_tensor": np.arange(B * N * 4, dtype=np.float64).reshape(B, N, 4),
    "e_tensor_i32": np.arange(B * N * 4, dtype=np.int32).reshape(B, N, 2, 2),
}


@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("make", [canonical, general], ids=["fast", "general"])
@pytest.mark.parametrize(
    "custom",
    [{}, {"properties": MOLECULE_SCOPE_SORTED}, {"atom_properties": ATOM_SCOPE_SORTED}],
    ids=["builtins", "molecule-scope", "atom-scope"],
)
def test_a_batch_stores_the_bytes_of_its_molecules_added_one_by_one(tmp_path, codec, make, custom):
    batches = [{**make(seed=seed), **custom} for seed in (1, 2)]
    by_batch = write(tmp_path / "batch.mol", batches, codec)
    by_molecule = write(tmp_path / "single.mol", batches, codec, one_by_one=True)
    assert by_batch == by_molecule


def test_a_batch_without_optional_fields_matches_bare_molecules(tmp_path):
    batch = {key: canonical()[key] for key in ("positions", "atomic_numbers")}
    assert write(tmp_path / "a.mol", [batch]) == write(tmp_path / "b.mol", [batch], one_by_one=True)


def test_both_roads_store_the_same_record_apart_from_the_energy_width(tmp_path):
    fast = canonical()
    slow = dict(fast, energy=fast["energy"].astype(np.float32))  # float32 energy: general path
    fast_records = stored_records(written_path(tmp_path / "fast.mol", fast))
    slow_records = stored_records(written_path(tmp_path / "slow.mol", slow))
    for i in range(B):
        as_f64 = section(0, "energy", 0, struct.pack("<d", fast["energy"][i]))
        as_f32 = section(0, "energy", 11, struct.pack("<f", slow["energy"][i]))
        assert as_f64 in fast_records[i]
        assert fast_records[i].replace(as_f64, as_f32) == slow_records[i]


def test_a_record_is_laid_out_as_the_soa_format_says(tmp_path):
    batch = {
        "positions": np.array([[[1, 2, 3]]], dtype=np.float32),
        "atomic_numbers": np.array([[8]], dtype=np.uint8),
        "energy": np.array([-1.5]),
        "properties": {"a": np.array([7], dtype=np.int64)},
    }
    (record,) = stored_records(written_path(tmp_path / "db.mol", batch))
    expected = bytes.fromhex(
        "01000000" "0000803f0000004000004040" "08" "0200"
        "0006" + b"energy".hex() + "0008000000000000000000f8bf"
        "0201" + b"a".hex() + "01080000000700000000000000"
    )
    assert record == expected


@pytest.mark.parametrize("codec", CODECS)
def test_batches_of_1023_and_1024_store_the_same_bytes(tmp_path, codec):
    """1023 molecules are built on the calling thread, 1024 on the worker pool."""
    big = {**canonical(1024, 5, seed=3), "properties": {"t": np.ones((1024, 2, 2), np.float32)}}
    head = {key: value[:1023] for key, value in big.items() if key != "properties"}
    head["properties"] = {"t": big["properties"]["t"][:1023]}
    tail = {key: value[1023:] for key, value in big.items() if key != "properties"}
    tail["properties"] = {"t": big["properties"]["t"][1023:]}
    assert write(tmp_path / "pool.mol", [big], codec) == write(tmp_path / "inline.mol", [head, tail], codec)


@pytest.mark.parametrize("make", [canonical, general], ids=["fast", "general"])
def test_pbc_flags_are_stored_as_zero_or_one(tmp_path, make):
    batch = make(b=2)
    batch["pbc"] = np.frombuffer(bytes([2, 0, 255, 1, 7, 0]), dtype=np.bool_).reshape(2, 3)
    records = stored_records(written_path(tmp_path / "db.mol", batch))
    assert section(0, "pbc", 9, bytes([1, 0, 1])) in records[0]
    assert section(0, "pbc", 9, bytes([1, 1, 0])) in records[1]


# --- reading back ---------------------------------------------------------------------------------


MOLECULE_FORMS = {
    "texts_list": [f"s{i}" for i in range(B)],
    "texts_tuple": tuple(f"é{i}" for i in range(B)),
    "texts_array": np.array([f"u{i}" for i in range(B)]),
    "one_f32": np.array([1.5, -2.0, 0.25, 3.0], dtype=np.float32),
    "one_f64": np.arange(B, dtype=np.float64) / 3,
    "one_i32": np.array([-1, 2, -3, 4], dtype=np.int32),
    "one_i64": np.arange(B, dtype=np.int64) * 2**40,
    "strided": np.arange(2 * B, dtype=np.float64)[::2],
    "rows_f32": np.arange(B * 3, dtype=np.float32).reshape(B, 3),
    "rows_f64": np.arange(B * 2, dtype=np.float64).reshape(B, 2),
    "rows_i64": np.arange(B * 4, dtype=np.int64).reshape(B, 4),
    "rows_i32": np.arange(B * 1, dtype=np.int32).reshape(B, 1),
    "rows_empty": np.zeros((B, 0)),
    "xyz_f32": np.arange(B * 6, dtype=np.float32).reshape(B, 2, 3),
    "xyz_f64": np.arange(B * 3, dtype=np.float64).reshape(B, 1, 3),
    "tensor_f32": np.arange(B * 8, dtype=np.float32).reshape(B, 2, 4),
    "tensor_i32_triples": np.arange(B * 6, dtype=np.int32).reshape(B, 2, 3),
    "tensor_f64_empty": np.zeros((B, 2, 0)),
    "tensor_i64": np.arange(B * 12, dtype=np.int64).reshape(B, 2, 3, 2),
}
ATOM_FORMS = {
    "a_f32": np.arange(B * N, dtype=np.float32).reshape(B, N),
    "a_f64": np.arange(B * N, dtype=np.float64).reshape(B, N) / 7,
    "a_i64": np.arange(B * N, dtype=np.int64).reshape(B, N) - 5,
    "a_i32": np.arange(B * N, dtype=np.int32).reshape(B, N),
    "a_xyz32": np.arange(B * N * 3, dtype=np.float32).reshape(B, N, 3),
    "a_xyz64": np.arange(B * N * 3, dtype=np.float64).reshape(B, N, 3) / 3,
    "a_tensor": np.arange(B * N * 4, dtype=np.float64).reshape(B, N, 4),
    "a_tensor_i32": np.arange(B * N * 4, dtype=np.int32).reshape(B, N, 2, 2),
}


def expected_value(key, value, i):
    """What get_property gives for molecule i, computed from the input alone."""
    item = value[i]
    if key.startswith("texts"):
        return str(item)
    if key.startswith("one") or key == "strided":
        return float(item) if np.issubdtype(value.dtype, np.floating) else int(item)
    return np.ascontiguousarray(item)


def assert_same(got, expected):
    if isinstance(expected, np.ndarray):
        assert isinstance(got, np.ndarray) and got.dtype == expected.dtype and got.shape == expected.shape
        np.testing.assert_array_equal(got, expected)
    else:
        assert type(got) is type(expected) and got == expected


@pytest.mark.parametrize("make", [canonical, general], ids=["fast", "general"])
@pytest.mark.parametrize("mmap", [True, False])
def test_every_custom_form_reads_back_and_its_schema_takes_single_molecules(tmp_path, make, mmap):
    path = tmp_path / "db.mol"
    batch = {**make(), "properties": MOLECULE_FORMS, "atom_properties": ATOM_FORMS}
    write(path, [batch])
    db = PyAtomDatabase.open(str(path), mmap=mmap)
    for i, mol in enumerate(db.get_molecules(list(range(B)))):
        assert mol.property_keys(scope="molecule") == sorted(MOLECULE_FORMS)
        assert mol.property_keys(scope="atom") == sorted(ATOM_FORMS)
        for key, value in {**MOLECULE_FORMS, **ATOM_FORMS}.items():
            assert_same(mol.get_property(key), expected_value(key, value, i))
    # The lock the batch left takes the same molecules added one by one.
    db = PyAtomDatabase.open(str(path), mmap=False)
    db.add_molecules([molecule_at(batch, i) for i in range(B)])
    db.flush()
    assert len(PyAtomDatabase.open(str(path))) == 2 * B


def test_builtin_fields_read_back(tmp_path):
    path = tmp_path / "db.mol"
    batch = canonical()
    write(path, [batch])
    for i, mol in enumerate(PyAtomDatabase.open(str(path)).get_molecules(list(range(B)))):
        for key in ("positions", "atomic_numbers", "forces", "charges", "velocities", "cell", "stress"):
            got = getattr(mol, key)
            assert got.dtype == batch[key].dtype
            np.testing.assert_array_equal(got, batch[key][i])
        assert mol.energy == batch["energy"][i]
        assert mol.pbc == tuple(bool(flag) for flag in batch["pbc"][i])


def test_builtin_names_are_ordinary_custom_keys(tmp_path):
    path = tmp_path / "db.mol"
    values = {"forces": np.arange(B, dtype=np.float64), "Stress": np.ones(B), "energy": ["e"] * B}
    write(path, [{**canonical(), "properties": values}])
    mol = PyAtomDatabase.open(str(path))[1]
    assert mol.get_property("forces") == 1.0 and mol.get_property("Stress") == 1.0
    assert mol.get_property("energy") == "e"
    assert mol.energy == canonical()["energy"][1]


def test_float32_energy_takes_the_float32_tag_and_schema(tmp_path):
    path = tmp_path / "db.mol"
    batch = dict(canonical(), energy=np.arange(B, dtype=np.float32))
    records = stored_records(written_path(path, batch))
    assert section(0, "energy", 11, struct.pack("<f", 2.0)) in records[2]
    db = PyAtomDatabase.open(str(path), mmap=False)
    # The lock holds energy as a 4-byte float32 section: a float64 energy no longer fits.
    with pytest.raises(ValueError, match="^Invalid data: Schema mismatch for section 'energy'"):
        add_batch(db, canonical())


def test_float64_positions_are_stored_with_24_bytes_per_atom(tmp_path):
    batch = general()
    records = stored_records(written_path(tmp_path / "db.mol", batch))
    assert records[0][4 : 4 + 24 * N] == batch["positions"][0].astype("<f8").tobytes()
    assert records[0][4 + 24 * N : 4 + 25 * N] == batch["atomic_numbers"][0].tobytes()


@pytest.mark.parametrize("make", [canonical, general], ids=["fast", "general"])
def test_one_value_per_molecule_may_come_from_a_reversed_strided_view(tmp_path, make):
    path = tmp_path / "db.mol"
    values = np.arange(3 * B, dtype=np.int32)[::-3]
    write(path, [dict(make(), properties={"s": values})])
    mols = PyAtomDatabase.open(str(path)).get_molecules(list(range(B)))
    assert [m.get_property("s") for m in mols] == [11, 8, 5, 2]


# --- refusals leave the database as it was --------------------------------------------------------


def fortran(array):
    return np.asfortranarray(array)


def replace(**changes):
    return lambda batch: {**batch, **changes}


FAST, GENERAL = canonical(), general()
REFUSALS = [
    # road, change, message
    (replace(positions=np.zeros((B, N, 3), np.int64)), "positions must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    (replace(positions=np.zeros((B, N, 4), np.float32)), "positions must have shape (batch, n_atoms, 3)"),
    (replace(positions=fortran(FAST["positions"])), "positions must be C-contiguous"),
    (replace(positions=fortran(GENERAL["positions"])), "positions must be C-contiguous"),
    (replace(atomic_numbers=np.zeros((B, N + 1), np.uint8)), f"atomic_numbers must have shape ({B}, {N})"),
    (replace(atomic_numbers=fortran(FAST["atomic_numbers"])), "atomic_numbers must be C-contiguous"),
    (replace(energy=np.zeros((B, 1))), "energy must be a float32 or float64 ndarray with shape (batch,)"),
    (replace(energy=np.zeros(B - 1)), f"energy length ({B - 1}) doesn't match batch size ({B})"),
    (replace(energy=np.zeros(2 * B)[::2]), "energy must be C-contiguous"),
    (replace(energy=np.zeros(2 * B, np.float32)[::2]), "energy must be C-contiguous"),
    (replace(forces=np.zeros((B, N, 2), np.float32)), f"forces must have shape ({B}, {N}, 3)"),
    (replace(forces=np.zeros((B, N, 3), np.float16)), "forces must be a float32 or float64 ndarray with shape (batch, n_atoms, 3)"),
    (replace(charges=fortran(FAST["charges"])), "charges must be C-contiguous"),
    (replace(charges=np.zeros((B, N + 1), np.float32)), f"charges must have shape ({B}, {N})"),
    (replace(velocities=np.zeros((B + 1, N, 3), np.float32)), f"velocities must have shape ({B}, {N}, 3)"),
    (replace(cell=np.zeros((B, 3, 4))), f"cell must have shape ({B}, 3, 3)"),
    (replace(cell=np.zeros((B, 3, 3), np.int32)), "cell must be a float32 or float64 ndarray with shape (batch, 3, 3)"),
    (replace(stress=fortran(FAST["stress"])), "stress must be C-contiguous"),
    (replace(pbc=np.zeros((B, 2), bool)), f"pbc must have shape ({B}, 3)"),
    (replace(name=["x", "y"]), f"name length (2) doesn't match batch size ({B})"),
    (replace(properties={"stress": np.zeros(B)}), "'stress' is a reserved field; use the builtin stress argument instead"),
    (replace(atom_properties={"stress": np.zeros((B, N))}), "'stress' is a reserved field; use the builtin stress argument instead"),
    (replace(properties={"k": np.zeros(B)}, atom_properties={"k": np.zeros((B, N))}), "Duplicate custom key 'k' across batched atom property inputs"),
    (replace(properties={"k" * 256: np.zeros(B)}), f"Section key '{'k' * 256}' is too long"),
    (replace(properties={"k": ["a"] * (B - 1)}), f"custom property 'k' length ({B - 1}) doesn't match batch size ({B})"),
    (replace(properties={"k": []}), f"custom property 'k' length (0) doesn't match batch size ({B})"),
    (replace(properties={"k": np.zeros(B + 1)}), f"custom property 'k' length ({B + 1}) doesn't match batch size ({B})"),
    (replace(properties={"k": ["a", 1.0, "b", "c"]}), LIST_TENSOR.format("k")),
    (replace(properties={"k": (np.zeros(2),) * B}), LIST_TENSOR.format("k")),
    (replace(properties={"k": "abcd"}), UNSUPPORTED.format("k")),
    (replace(properties={"k": 1.5}), UNSUPPORTED.format("k")),
    (replace(properties={"k": np.zeros((B, 2), np.uint8)}), UNSUPPORTED.format("k")),
    (replace(properties={"k": np.array(1.0)}), f"custom property 'k' must have stacked tensor shape ({B}, ...)"),
    (replace(properties={"k": np.zeros((B + 1, 2))}), f"custom property 'k' must have shape ({B}, k)"),
    (replace(properties={"k": fortran(np.zeros((B, 2)))}), "custom property 'k' must be C-contiguous"),
    (replace(properties={"k": fortran(np.zeros((B, 2, 3), np.float32))}), "custom property 'k' must be C-contiguous"),
    (replace(properties={"k": fortran(np.zeros((B, 2, 4), np.int64))}), "custom property 'k' must be C-contiguous"),
    (replace(properties={"k": np.zeros((B + 1, 2, 4))}), f"custom property 'k' must have stacked tensor shape ({B}, ...)"),
    (replace(atom_properties={"q": np.zeros((B, N + 1))}), f"atom property 'q' must have shape ({B}, {N})"),
    (replace(atom_properties={"q": np.zeros((B, N), bool)}), UNSUPPORTED_ATOM.format("q")),
    (replace(atom_properties={"q": np.zeros(B)}), f"custom property 'q' must have stacked tensor shape ({B}, ...)"),
    (replace(atom_properties={"q": np.zeros((B, N + 1, 3))}), f"atom property 'q' must have stacked tensor shape ({B}, {N}, ...)"),
    (replace(atom_properties={"q": [np.zeros(N)] * B}), LIST_TENSOR.format("q")),
]


def _control_and_test(tmp_path, prepare):
    """Two databases with the same history; the caller makes a refused call on the second."""
    dbs = []
    for name in ("control.mol", "test.mol"):
        db = PyAtomDatabase(str(tmp_path / name))
        prepare(db)
        db.flush()
        dbs.append(db)
    return dbs


def assert_unchanged(tmp_path, control, db):
    control.flush()
    db.flush()
    assert (tmp_path / "test.mol").read_bytes() == (tmp_path / "control.mol").read_bytes()
    assert len(db) == len(control)


@pytest.mark.parametrize("base", [FAST, GENERAL], ids=["fast", "general"])
@pytest.mark.parametrize("change, message", REFUSALS, ids=range(len(REFUSALS)))
def test_refusals_raise_their_message_and_store_nothing(tmp_path, base, change, message):
    control, db = _control_and_test(tmp_path, lambda d: add_batch(d, canonical(seed=9)))
    with pytest.raises(ValueError) as info:
        add_batch(db, change(base))
    assert str(info.value) == message
    assert_unchanged(tmp_path, control, db)


def test_only_the_fast_path_requires_a_c_contiguous_pbc(tmp_path):
    control, db = _control_and_test(tmp_path, lambda d: None)
    transposed = np.array([[1, 0, 1, 0], [0, 0, 1, 1], [1, 1, 1, 0]], bool).T
    with pytest.raises(ValueError) as info:
        add_batch(db, dict(canonical(), pbc=transposed))
    assert str(info.value) == "pbc must be C-contiguous"
    assert_unchanged(tmp_path, control, db)
    add_batch(db, dict(general(), pbc=transposed))
    assert [db[i].pbc for i in range(B)] == [tuple(bool(v) for v in row) for row in transposed]


def test_a_schema_that_conflicts_with_the_lock_is_refused(tmp_path):
    control, db = _control_and_test(tmp_path, lambda d: add_batch(d, canonical(seed=9)))
    with pytest.raises(ValueError) as info:
        add_batch(db, dict(canonical(), cell=canonical()["cell"].astype(np.float32)))
    assert str(info.value).startswith("Invalid data: Schema mismatch for section 'cell': expected SchemaEntry")
    assert_unchanged(tmp_path, control, db)


def test_a_tensor_column_too_large_to_address_is_refused(tmp_path):
    # Zero-sized arrays, so NumPy allows the shapes; each molecule's tensor header alone is
    # 1 + 4 * 31 bytes, and 2**59 of them do not fit in 64 bits.
    b = 2**59
    control, db = _control_and_test(tmp_path, lambda d: None)
    with pytest.raises(ValueError, match="^Tensor batch payload length overflow$"):
        db.add_arrays_batch(np.zeros((b, 0, 3), np.float32), np.zeros((b, 0), np.uint8),
                            properties={"t": np.zeros((b, 0) + (1,) * 30, np.int32)})
    assert_unchanged(tmp_path, control, db)


@pytest.mark.parametrize(
    "kwargs, argument, detail",
    [
        ({"atomic_numbers": np.zeros((B, N), np.int64)}, "atomic_numbers", "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"atomic_numbers": np.zeros(B * N, np.uint8)}, "atomic_numbers", "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"pbc": np.zeros((B, 3), np.int8)}, "pbc", "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"name": "abcd"}, "name", "Can't extract `str` to `Vec`"),
        ({"name": 5}, "name", "'int' object cannot be converted to 'Sequence'"),
        ({"name": ["a", 1, "b", "c"]}, "name", "'int' object cannot be converted to 'str'"),
        ({"properties": [("k", 1)]}, "properties", "'list' object cannot be converted to 'PyDict'"),
        ({"atom_properties": 3}, "atom_properties", "'int' object cannot be converted to 'PyDict'"),
        ({"properties": {1: np.zeros(B)}}, "properties", "'int' object cannot be converted to 'str'"),
        ({"atom_properties": {b"k": np.zeros((B, N))}}, "atom_properties", "'bytes' object cannot be converted to 'str'"),
    ],
)
def test_arguments_of_the_wrong_type_are_type_errors(tmp_path, kwargs, argument, detail):
    control, db = _control_and_test(tmp_path, lambda d: None)
    with pytest.raises(TypeError) as info:
        add_batch(db, {**canonical(), **kwargs})
    assert str(info.value) == f"argument '{argument}': {detail}"
    assert_unchanged(tmp_path, control, db)


def test_argument_binding(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    batch = canonical()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'atomic_numbers'"):
        db.add_arrays_batch(batch["positions"])
    with pytest.raises(TypeError, match="takes 2 positional arguments but 3 were given"):
        db.add_arrays_batch(batch["positions"], batch["atomic_numbers"], batch["energy"])
    with pytest.raises(TypeError, match="unexpected keyword argument 'energies'"):
        db.add_arrays_batch(batch["positions"], batch["atomic_numbers"], energies=batch["energy"])
    # None is the same as leaving a keyword out.
    db.add_arrays_batch(positions=batch["positions"], atomic_numbers=batch["atomic_numbers"], energy=None,
                        forces=None, charges=None, velocities=None, cell=None, stress=None, pbc=None, name=None,
                        properties=None, atom_properties=None)
    assert len(db) == B and db[0].energy is None
    assert PyAtomDatabase.add_arrays_batch.__text_signature__ == (
        "($self, positions, atomic_numbers, *, energy=None, forces=None, charges=None, velocities=None, "
        "cell=None, stress=None, pbc=None, name=None, properties=None, atom_properties=None)"
    )


# --- empty batches and read-only databases ---------------------------------------------------------


def test_an_empty_batch_stores_nothing_and_leaves_the_lock_alone(tmp_path):
    control, db = _control_and_test(tmp_path, lambda d: None)
    empty = {**canonical(b=0), "properties": {"a": np.zeros(0), "b": np.zeros((0, 2))},
             "atom_properties": {"q": np.zeros((0, N)), "t": np.zeros((0, N, 2, 2), np.int32)}}
    assert add_batch(db, empty) is None
    assert_unchanged(tmp_path, control, db)
    # The lock is still empty: a float32 energy now takes it without a conflict.
    add_batch(db, dict(canonical(), energy=np.zeros(B, np.float32)))


@pytest.mark.parametrize("make", [canonical, general], ids=["fast", "general"])
def test_a_read_only_database_refuses_a_batch_but_takes_an_empty_one(tmp_path, make):
    path = tmp_path / "db.mol"
    write(path, [canonical(seed=5)])
    before = path.read_bytes()
    db = PyAtomDatabase.open(str(path))
    assert db.add_arrays_batch(np.zeros((0, N, 3), np.float32), np.zeros((0, N), np.uint8)) is None
    with pytest.raises(ValueError) as info:
        add_batch(db, make())
    assert str(info.value) == READ_ONLY
    assert len(db) == B
    assert path.read_bytes() == before


# --- Python code run while the dictionaries are read ------------------------------------------------


class Texts:
    """A sequence of str that runs `action` when iterated."""

    def __init__(self, action):
        self.action = action

    def __len__(self):
        return B

    def __getitem__(self, i):
        return f"x{i}"

    def __iter__(self):
        self.action()
        return iter([f"x{i}" for i in range(B)])


def internal_fault(info):
    return type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)


def test_a_value_that_drops_its_own_entry_fails_without_touching_freed_memory(tmp_path):
    control, db = _control_and_test(tmp_path, lambda d: None)
    properties = {}
    properties["a"] = Texts(lambda: properties.pop("a"))
    properties["b"] = np.zeros(B)
    with pytest.raises(BaseException) as info:
        add_batch(db, dict(canonical(), properties=properties))
    assert internal_fault(info) and str(info.value) == "dictionary changed size during iteration"
    assert_unchanged(tmp_path, control, db)


def test_a_dictionary_whose_keys_change_during_the_walk_is_refused(tmp_path):
    control, db = _control_and_test(tmp_path, lambda d: None)
    properties = {"q": np.zeros(B)}

    def swap_keys():
        del properties["q"]
        properties["r"] = np.zeros(B)

    # Same size, but the walk now meets one entry more than the dictionary had.
    properties["z"] = Texts(swap_keys)
    with pytest.raises(BaseException) as info:
        add_batch(db, dict(canonical(), properties=properties))
    assert internal_fault(info) and str(info.value) == "dictionary keys changed during iteration"
    assert_unchanged(tmp_path, control, db)


def test_an_exception_raised_while_a_value_is_iterated_means_it_is_no_list_of_texts(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))

    def boom():
        raise LookupError("not now")

    with pytest.raises(ValueError) as info:
        add_batch(db, dict(canonical(), properties={"k": Texts(boom)}))
    assert str(info.value) == UNSUPPORTED.format("k")

    def interrupt():
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        add_batch(db, dict(canonical(), properties={"k": Texts(interrupt)}))
    assert len(db) == 0


def test_an_input_array_given_new_memory_while_values_are_read_is_refused(tmp_path):
    control, db = _control_and_test(tmp_path, lambda d: None)
    batch = canonical()
    positions = batch["positions"].copy()  # owns its memory, so it can be resized in place

    def shrink():
        positions.resize((1, 1, 3), refcheck=False)

    add_batch_args = dict(batch, positions=positions, properties={"k": Texts(shrink)})
    with pytest.raises(ValueError) as info:
        add_batch(db, add_batch_args)
    assert str(info.value) == "input arrays of add_arrays_batch were changed while it ran"
    assert_unchanged(tmp_path, control, db)


# --- access from another thread ---------------------------------------------------------------------


def test_a_reader_on_another_thread_during_a_large_store_is_refused(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"), "zstd", level=19)
    add_batch(db, canonical(b=1))
    batch = canonical(b=4096, n=64)
    refusals = []
    done = threading.Event()

    def reader():
        while not done.is_set():
            # Mostly asleep, so that the batch can take the database between two reads.
            time.sleep(0.001)
            try:
                db.get_molecule(0)
            except RuntimeError as error:
                refusals.append(str(error))

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        for _ in range(20):
            try:
                add_batch(db, batch)
            except RuntimeError as error:
                # The reader held the database when the batch asked for it: try again.
                assert str(error) == "Already borrowed"
            if refusals:
                break
    finally:
        done.set()
        thread.join()
    assert refusals and set(refusals) == {"Already mutably borrowed"}
