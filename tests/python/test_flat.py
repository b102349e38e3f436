"""PyAtomDatabase.get_molecules_flat: a selection as one dictionary of concatenated arrays."""

import struct
import sys
import threading
import time
import zlib

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

NOT_CONCATENABLE = (
    "it cannot be flat-batched/concatenated. Retrieve molecules individually with get_molecule(s) instead."
)
# Built-in sections in the order every writer emits them, and in the schema lock's order (by key
# bytes), which a read follows when the lock, not the first record, lays out the result.
RECORD_ORDER = ["charges", "cell", "energy", "forces", "name", "pbc", "stress", "velocities"]
LOCK_ORDER = sorted(RECORD_ORDER)


# --- the reference: what the per-molecule getters give, concatenated with NumPy -------------------


def expected_dictionary(molecules, names=None, builtin_order=RECORD_ORDER):
    """The dictionary a flat read must equal, built from view-backed molecules of the same selection.

    Built-in fields missing from a molecule read as zeros (lists as None); `names` are the names
    given when the molecules were built (molecules have no name getter). Built-in keys come in
    `builtin_order`, custom keys by their bytes."""
    result = {
        "n_atoms": np.array([len(m) for m in molecules], dtype=np.uint32),
        "positions": np.concatenate([m.positions for m in molecules]),
        "atomic_numbers": np.concatenate([m.atomic_numbers for m in molecules]),
    }
    for key in builtin_order:
        value = list(names) if key == "name" and names is not None else builtin_rows(molecules, key)
        if value is not None:
            result[key] = value
    for scope, name in (("atom", "atom_properties"), ("molecule", "properties")):
        keys = sorted(molecules[0].property_keys(scope=scope), key=lambda k: k.encode())
        if keys:
            result[name] = {key: combined([m.get_property(key) for m in molecules], scope) for key in keys}
    return result


def builtin_rows(molecules, key):
    """A built-in field of every molecule, zeros where a molecule lacks it; None when all lack it."""
    if key == "name":
        return None
    values = [getattr(m, key) for m in molecules]
    like = next((v for v in values if v is not None), None)
    if like is None:
        return None
    if key == "energy":
        return np.array([0.0 if v is None else v for v in values])
    if key == "pbc":
        return np.array([(False,) * 3 if v is None else v for v in values], dtype=bool)
    if key in ("cell", "stress"):
        return np.stack([np.zeros_like(like) if v is None else v for v in values])
    return np.concatenate([np.zeros((len(m),) + like.shape[1:], like.dtype) if v is None else v
                           for m, v in zip(molecules, values)])


def combined(values, scope):
    """Per-molecule property values joined the way a flat read joins them."""
    first = values[0]
    if first is None or isinstance(first, str):
        return list(values)
    if isinstance(first, (int, np.integer)):
        return np.array(values, dtype=np.int64)
    if isinstance(first, float):
        return np.array(values, dtype=np.float64)
    # Atom-scope values join along their atoms; molecule-level arrays and rows of triples are laid
    # out back to back; molecule-level tensors stack along a new first axis.
    if scope == "atom" or first.ndim == 1 or (first.ndim == 2 and first.shape[1] == 3 and first.dtype.kind == "f"):
        return np.concatenate(values)
    return np.stack(values)


def assert_same(got, expected, where="result"):
    assert list(got) == list(expected), where
    for key, want in expected.items():
        value = got[key]
        if isinstance(want, dict):
            assert_same(value, want, key)
        elif isinstance(want, list):
            assert value == want, key
        else:
            assert isinstance(value, np.ndarray), key
            assert value.dtype == want.dtype, key
            assert value.shape == want.shape, key
            np.testing.assert_array_equal(value, want, err_msg=key)
            assert value.flags.c_contiguous and value.flags.writeable, key


# --- building databases -----------------------------------------------------------------------------


def random_molecule(rng, n, dtype, number):
    fields = {
        "energy": float(rng.standard_normal()),
        "forces": rng.standard_normal((n, 3)).astype(dtype),
        "charges": rng.standard_normal(n).astype(dtype),
        "velocities": rng.standard_normal((n, 3)).astype(dtype),
        "cell": rng.standard_normal((3, 3)).astype(dtype),
        "stress": rng.standard_normal((3, 3)).astype(dtype),
        "pbc": tuple(bool(b) for b in rng.integers(0, 2, 3)),
        "name": f"molecule {number}",
    }
    molecule = PyMolecule(rng.standard_normal((n, 3)).astype(dtype), rng.integers(1, 119, n).astype(np.uint8), **fields)
    molecule.set_property("charge_state", int(rng.integers(-2, 3)))
    molecule.set_property("temperature", float(rng.random()))
    molecule.set_property("smiles", "C" * int(rng.integers(0, 4)))
    molecule.set_property("note", None)
    molecule.set_property("dipole", rng.standard_normal(3))
    molecule.set_property("levels", rng.integers(0, 9, 2).astype(np.int32))
    molecule.set_property("anchors", rng.standard_normal((2, 3)).astype(np.float32))
    molecule.set_property("polarizability", rng.standard_normal((2, 2)))
    molecule.set_property("mulliken", rng.standard_normal(n).astype(np.float32), scope="atom")
    molecule.set_property("tags", rng.integers(0, 9, n), scope="atom")
    molecule.set_property("dipoles", rng.standard_normal((n, 3)), scope="atom")
    molecule.set_property("hessian_block", rng.standard_normal((n, 2, 2)).astype(np.float32), scope="atom")
    return molecule, fields["name"]


def open_as(path, db, mode):
    if mode == "mapped":
        db.flush()
        return PyAtomDatabase.open(str(path))
    if mode == "in_memory":
        db.flush()
        return PyAtomDatabase.open(str(path), mmap=False)
    return db  # appended, not flushed


def live_slot(data):
    """Offset of the header slot of the higher generation."""
    return 4096 if struct.unpack_from("<Q", data, 4096 + 8)[0] > struct.unpack_from("<Q", data, 8)[0] else 0


def index_entry_offset(path, i):
    data = path.read_bytes()
    index_offset = struct.unpack_from("<Q", data, live_slot(data) + 24)[0]
    return index_offset + 8 + 20 * i


def overwrite(path, offset, new_bytes):
    data = bytearray(path.read_bytes())
    data[offset:offset + len(new_bytes)] = new_bytes
    path.write_bytes(bytes(data))


# A file written byte by byte: no schema lock, so the first selected record alone fixes the layout.
def soa_record(atoms, sections):
    positions = np.arange(atoms * 3, dtype="<f4")
    out = struct.pack("<I", atoms) + positions.tobytes() + bytes(range(1, atoms + 1)) + struct.pack("<H", len(sections))
    for kind, key, tag, payload in sections:
        out += bytes([kind, len(key)]) + key.encode() + bytes([tag]) + struct.pack("<I", len(payload)) + payload
    return out


def tensor_payload(values, shape):
    return bytes([len(shape)]) + struct.pack(f"<{len(shape)}I", *shape) + np.ascontiguousarray(values).tobytes()


def handmade_database(path, records):
    data, entries = b"", []
    for record in records:
        entries.append(struct.pack("<QIII", 8192 + len(data), len(record), len(record), struct.unpack_from("<I", record)[0]))
        data += record
    index = struct.pack("<Q", len(records)) + b"".join(entries)
    slot = bytearray(4096)
    slot[0:4] = b"MOLR"
    struct.pack_into("<IQQQQQ", slot, 4, 2, 1, 8192, 8192 + len(data), len(index), len(records))
    struct.pack_into("<I", slot, 56, 2)  # record format 2; codec 0; no schema blob
    struct.pack_into("<I", slot, 4092, zlib.adler32(bytes(slot[:4092])))
    empty = bytearray(4096)
    empty[0:4] = b"MOLR"
    struct.pack_into("<IQQ", empty, 4, 2, 0, 8192)
    struct.pack_into("<I", empty, 56, 2)
    struct.pack_into("<I", empty, 4092, zlib.adler32(bytes(empty[:4092])))
    path.write_bytes(bytes(slot) + bytes(empty) + data + index)
    return PyAtomDatabase.open(str(path))


# --- the dictionary equals the per-molecule getters ---------------------------------------------------


@pytest.mark.parametrize("compression", ["none", "lz4", "zstd"])
@pytest.mark.parametrize("mode", ["mapped", "in_memory", "not_flushed"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_flat_read_equals_the_per_molecule_getters(tmp_path, compression, mode, dtype):
    rng = np.random.default_rng([len(compression), len(mode), np.dtype(dtype).itemsize])
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path), compression)
    built = [random_molecule(rng, int(n), dtype, i) for i, n in enumerate(rng.integers(0, 7, 24))]
    built[3] = random_molecule(rng, 0, dtype, 3)
    db.add_molecules([m for m, _ in built[:12]])
    if mode == "not_flushed":
        db.flush()  # half committed, half appended after the commit
    db.add_molecules([m for m, _ in built[12:]])
    db = open_as(path, db, mode)
    names = [name for _, name in built]
    # A molecule-scope array is sized differently by the lock (per element) and by a record (per
    # payload), so the lock lays out these selections, in its own order.

    selections = [list(range(24)), [5, 5, 0, 23, 5], [3], [3, 3], list(rng.integers(0, 24, 40)), [23, 22, 21]]
    for indices in selections:
        got = db.get_molecules_flat(indices)
        expected = expected_dictionary(db.get_molecules(indices), [names[i] for i in indices], LOCK_ORDER)
        assert_same(got, expected)
    assert_same(db.get_molecules_flat(np.array([1, 2], dtype=np.int64)),
                expected_dictionary(db.get_molecules([1, 2]), names[1:3], LOCK_ORDER))


def test_batches_and_single_molecules_read_back_together(tmp_path):
    # A batch writes its sections in the order of its dictionaries; single molecules sort them.
    # Both orders hold the same fields, in either order of selection.
    rng = np.random.default_rng(7)
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    single = PyMolecule(rng.standard_normal((2, 3)).astype(np.float32), np.array([1, 8], np.uint8), energy=0.5)
    single.set_property("zeta", 4)
    single.set_property("alpha", rng.standard_normal(2))
    single.set_property("q", np.array([0.5, 1.5], np.float32), scope="atom")
    db.add_molecule(single)
    db.add_arrays_batch(rng.standard_normal((3, 2, 3)).astype(np.float32), np.ones((3, 2), np.uint8),
                        energy=np.arange(3.0), properties={"zeta": np.arange(3), "alpha": rng.standard_normal((3, 2))},
                        atom_properties={"q": rng.standard_normal((3, 2)).astype(np.float32)})
    db = open_as(path, db, "mapped")
    for indices in ([0, 1, 2, 3], [2, 0, 3, 0], [1, 0]):
        assert_same(db.get_molecules_flat(indices), expected_dictionary(db.get_molecules(indices), None, LOCK_ORDER))


# --- shapes and keys ----------------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_empty_selection_gives_three_empty_arrays_without_reading(tmp_path, dtype):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecule(PyMolecule(np.zeros((2, 3), dtype), np.array([1, 1], np.uint8), energy=1.0))
    for indices in ([], (), np.array([], dtype=np.int64)):
        result = db.get_molecules_flat(indices)
        assert list(result) == ["n_atoms", "positions", "atomic_numbers"]
        assert (result["n_atoms"].dtype, result["n_atoms"].shape) == (np.uint32, (0,))
        assert (result["positions"].dtype, result["positions"].shape) == (np.float32, (0, 3))
        assert (result["atomic_numbers"].dtype, result["atomic_numbers"].shape) == (np.uint8, (0,))
    # An empty database is not looked at either.
    assert list(PyAtomDatabase(str(tmp_path / "empty.mol")).get_molecules_flat([])) == ["n_atoms", "positions",
                                                                                       "atomic_numbers"]


def test_float64_positions_come_back_as_float64_rows(tmp_path):
    positions = np.arange(12, dtype=np.float64).reshape(4, 3) / 7
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecules([PyMolecule(positions[:3], np.array([1, 2, 3], np.uint8)),
                      PyMolecule(positions[3:], np.array([4], np.uint8))])
    db = open_as(tmp_path / "db.mol", db, "mapped")
    result = db.get_molecules_flat([1, 0])
    assert result["positions"].dtype == np.float64
    np.testing.assert_array_equal(result["positions"], np.concatenate([positions[3:], positions[:3]]))


def test_no_nested_dictionaries_without_custom_properties(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecule(PyMolecule(np.zeros((1, 3), np.float32), np.array([6], np.uint8), energy=-2.0,
                               forces=np.ones((1, 3), np.float32), pbc=(True, False, True),
                               charges=np.ones(1), cell=np.eye(3)))
    result = db.get_molecules_flat([0, 0])
    # The lock holds the same fields as the record, so the record's order stands (charges first).
    assert list(result) == ["n_atoms", "positions", "atomic_numbers", "charges", "cell", "energy", "forces", "pbc"]
    np.testing.assert_array_equal(result["pbc"], [[True, False, True]] * 2)
    assert result["pbc"].dtype == bool


def test_float32_positions_and_atomic_numbers_are_handed_over(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecule(PyMolecule(np.ones((3, 3), np.float32), np.array([1, 2, 3], np.uint8)))
    first, second = db.get_molecules_flat([0]), db.get_molecules_flat([0])
    for key in ("positions", "atomic_numbers"):
        assert not np.shares_memory(first[key], second[key])
        first[key][...] = 0  # writable and independent
    assert second["positions"].sum() == 9 and db[0].positions.sum() == 9


# --- layouts driven by the schema lock -------------------------------------------------------------


def test_a_field_present_on_some_molecules_only_gives_zeros_or_none(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    bare = PyMolecule(np.ones((2, 3), np.float32), np.array([1, 1], np.uint8), energy=1.0)
    full = PyMolecule(np.full((1, 3), 2, np.float32), np.array([8], np.uint8), energy=2.0,
                      forces=np.full((1, 3), 5, np.float32), name="oxygen")
    full.set_property("label", "o")
    db.add_molecules([bare, full])
    result = db.get_molecules_flat([0, 1, 0])
    assert list(result) == ["n_atoms", "positions", "atomic_numbers", "energy", "forces", "name", "properties"]
    np.testing.assert_array_equal(result["forces"], [[0, 0, 0]] * 2 + [[5, 5, 5]] + [[0, 0, 0]] * 2)
    assert result["name"] == [None, "oxygen", None]
    assert result["properties"] == {"label": [None, "o", None]}


def test_a_missing_tensor_names_the_selection_position(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    molecules = [PyMolecule(np.zeros((1, 3), np.float32), np.array([1], np.uint8)) for _ in range(6)]
    for i, molecule in enumerate(molecules):
        if i != 4:
            molecule.set_property("t", np.full((2, 2), i, np.int32))
    db.add_molecules(molecules)
    with pytest.raises(ValueError) as raised:
        db.get_molecules_flat([0, 1, 2, 4, 5])
    assert str(raised.value) == f"Tensor property 't' is missing for selected molecule 3; {NOT_CONCATENABLE}"


# --- tensors -----------------------------------------------------------------------------------------------


def tensor_database(tmp_path, atom_tensors=(), molecule_tensors=()):
    db = PyAtomDatabase(str(tmp_path / "db.mol"), overwrite=True)
    molecules = []
    for i, (atoms, atom_tensor, molecule_tensor) in enumerate(zip((2, 0, 3), atom_tensors or (None,) * 3,
                                                                  molecule_tensors or (None,) * 3)):
        molecule = PyMolecule(np.zeros((atoms, 3), np.float32), np.ones(atoms, np.uint8))
        if atom_tensor is not None:
            molecule.set_property("a", atom_tensor, scope="atom")
        if molecule_tensor is not None:
            molecule.set_property("m", molecule_tensor)
        molecules.append(molecule)
    db.add_molecules(molecules)
    return db


def test_per_atom_tensors_join_along_the_atoms(tmp_path):
    tensors = [np.arange(n * 6, dtype=np.int64).reshape(n, 3, 2) + 100 * n for n in (2, 0, 3)]
    db = tensor_database(tmp_path, atom_tensors=tensors)
    result = db.get_molecules_flat([2, 0, 1, 2])
    want = np.concatenate([tensors[2], tensors[0], tensors[1], tensors[2]])
    assert result["atom_properties"]["a"].shape == (8, 3, 2)
    np.testing.assert_array_equal(result["atom_properties"]["a"], want)


def test_per_atom_tensor_suffixes_must_agree(tmp_path):
    db = tensor_database(tmp_path, atom_tensors=[np.zeros((2, 3), np.int64), np.zeros((0, 3), np.int64),
                                                 np.zeros((3, 4), np.int64)])
    with pytest.raises(ValueError) as raised:
        db.get_molecules_flat([0, 1, 2])
    assert str(raised.value) == (
        f"Atom tensor property 'a' has incompatible per-atom tensor suffix shapes [3] and [4]; {NOT_CONCATENABLE}")


def test_molecule_level_tensors_stack_and_must_agree(tmp_path):
    tensors = [np.arange(4.0).reshape(2, 2) + i for i in range(3)]
    db = tensor_database(tmp_path, molecule_tensors=tensors)
    result = db.get_molecules_flat([1, 2, 1])
    assert result["properties"]["m"].shape == (3, 2, 2)
    np.testing.assert_array_equal(result["properties"]["m"], np.stack([tensors[1], tensors[2], tensors[1]]))

    db = tensor_database(tmp_path, molecule_tensors=[np.zeros((2, 2)), np.zeros((2, 2)), np.zeros((2, 4))])
    with pytest.raises(ValueError) as raised:
        db.get_molecules_flat([0, 2])
    assert str(raised.value) == f"Tensor property 'm' has incompatible shapes [2, 2] and [2, 4]; {NOT_CONCATENABLE}"


def test_rank_zero_tensors_give_one_value_per_molecule(tmp_path):
    records = [soa_record(1, [(2, "s", 15, tensor_payload(np.array(1.5, "<f8"), ()))]),
               soa_record(2, [(2, "s", 15, tensor_payload(np.array(-4.0, "<f8"), ()))])]
    db = handmade_database(tmp_path / "db.mol", records)
    result = db.get_molecules_flat([1, 0, 1])
    assert result["properties"]["s"].dtype == np.float64
    np.testing.assert_array_equal(result["properties"]["s"], [-4.0, 1.5, -4.0])


@pytest.mark.parametrize("shape, first, atoms", [((), "None", 1), ((5, 2), "5", 4)])
def test_per_atom_tensor_must_have_one_row_per_atom(tmp_path, shape, first, atoms):
    good = soa_record(1, [(1, "a", 16, tensor_payload(np.zeros((1, 2), "<i4"), (1, 2)))])
    bad = soa_record(atoms, [(1, "a", 16, tensor_payload(np.zeros(shape, "<i4"), shape))])
    db = handmade_database(tmp_path / "db.mol", [good, bad])
    with pytest.raises(ValueError) as raised:
        db.get_molecules_flat([0, 1])
    shape_text = "[" + ", ".join(str(d) for d in shape) + "]"
    assert str(raised.value) == (f"Atom tensor property 'a' has shape {shape_text}; first dimension {first} does not "
                                 f"match atom count {atoms}. It cannot be flat-batched/concatenated. Retrieve molecules "
                                 "individually with get_molecule(s) instead.")


# --- damaged files and bad arguments -------------------------------------------------------------------


@pytest.mark.parametrize("mmap", [True, False])
def test_an_index_entry_with_another_atom_count_is_refused(tmp_path, mmap):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecules([PyMolecule(np.ones((3, 3), np.float32), np.ones(3, np.uint8), forces=np.ones((3, 3), np.float32))
                      for _ in range(2)])
    db.flush()
    overwrite(path, index_entry_offset(path, 1) + 16, struct.pack("<I", 2))
    db = PyAtomDatabase.open(str(path), mmap=mmap)
    with pytest.raises(ValueError) as raised:
        db.get_molecules_flat([0, 1])
    assert str(raised.value) == "Invalid data: SOA record of molecule 1 holds 3 atoms, but its index entry says 2"
    assert db.get_molecules_flat([0])["n_atoms"].tolist() == [3]


@pytest.mark.parametrize("compression", ["lz4", "zstd"])
@pytest.mark.parametrize("mmap", [True, False])
def test_a_damaged_compressed_record_is_refused(tmp_path, compression, mmap):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path), compression)
    db.add_molecules([PyMolecule(np.ones((n, 3), np.float32), np.ones(n, np.uint8)) for n in (2, 30)])
    db.flush()
    offset, stored_length = struct.unpack_from("<QI", path.read_bytes(), index_entry_offset(path, 1))
    overwrite(path, offset, b"\xee" * stored_length)
    db = PyAtomDatabase.open(str(path), mmap=mmap)
    with pytest.raises(ValueError, match="^Compression error: "):
        db.get_molecules_flat([0, 1])


@pytest.mark.parametrize("indices, exception, text", [
    ("01", TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'indices': 'int' object cannot be converted to 'Sequence'"),
    ([0, "1"], TypeError, "argument 'indices': "),
    ([0, -1], OverflowError, ""),
    ([0, 0, 9], ValueError, "Invalid data: Index 9 out of bounds"),
])
def test_bad_indices_are_refused(tmp_path, indices, exception, text):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecule(PyMolecule(np.zeros((1, 3), np.float32), np.array([1], np.uint8)))
    with pytest.raises(exception) as raised:
        db.get_molecules_flat(indices)
    assert str(raised.value).startswith(text)


def test_arguments_and_docstring(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    with pytest.raises(TypeError):
        db.get_molecules_flat()
    with pytest.raises(TypeError):
        db.get_molecules_flat([], [])
    assert db.get_molecules_flat(indices=[])["n_atoms"].shape == (0,)
    assert PyAtomDatabase.get_molecules_flat.__text_signature__ == "($self, indices)"
    doc = PyAtomDatabase.get_molecules_flat.__doc__.splitlines()
    assert doc[0] == "Get multiple molecules as batched numpy arrays (zero-copy fast path)."
    assert doc[6] == '  "n_atoms":         uint32  (n_molecules,)'
    assert doc[-1] == '  "properties":      {key: array, ...}'
    assert len(doc) == 22


# --- threads -------------------------------------------------------------------------------------------


def test_other_threads_run_during_a_flat_read_and_cannot_add(tmp_path):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path), "zstd")
    rng = np.random.default_rng(3)
    db.add_molecules([PyMolecule(rng.standard_normal((64, 3)).astype(np.float32), np.ones(64, np.uint8),
                                 forces=rng.standard_normal((64, 3)).astype(np.float32)) for _ in range(1500)])
    db.flush()
    db = PyAtomDatabase.open(str(path), mmap=False)
    extra = PyMolecule(np.zeros((1, 3), np.float32), np.array([1], np.uint8))
    indices = list(range(len(db))) * 4
    in_call, stop = threading.Event(), threading.Event()
    ticks, refusals = [0], []

    def other():
        while not stop.is_set():
            if in_call.is_set() and not refusals:
                try:
                    db.add_molecule(extra)
                    refusals.append("added")
                except RuntimeError as error:
                    refusals.append(str(error))
            if in_call.is_set():
                ticks[0] += 1
            time.sleep(0.0002)

    # With a long switch interval this thread keeps the interpreter lock unless it gives it away,
    # so the other thread can only run inside the call if the call releases it.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(5.0)
    thread = threading.Thread(target=other)
    try:
        thread.start()
        in_call.set()
        result = db.get_molecules_flat(indices)
        in_call.clear()
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()
    assert ticks[0] > 0
    assert refusals == ["Already borrowed"]
    assert result["positions"].shape == (64 * len(indices), 3)
    db.add_molecule(extra)  # free again once the call is over
