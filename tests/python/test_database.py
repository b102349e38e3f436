"""PyAtomDatabase: creating and opening files, appending molecules, reading them back as views."""

import gc
import struct
import threading

import numpy as np
import pytest

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

# Header slot layout of the file: slot A at 0, slot B at 4096; the codec byte and the zstd level
# sit at the same offsets in both.
SLOT_B = 4096
CODEC_OFFSET = 48
LEVEL_OFFSET = 52
ZSTD_FRAME_MAGIC = b"\x28\xb5\x2f\xfd"

ARRAY_FIELDS = ["positions", "atomic_numbers", "forces", "velocities", "charges", "cell", "stress"]


def full_fields(n, dtype, seed):
    """Every built-in field of an n-atom molecule, in one float width, distinct for each seed."""
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


def build(fields):
    extra = {key: value for key, value in fields.items() if key not in ("positions", "atomic_numbers")}
    return PyMolecule(fields["positions"], fields["atomic_numbers"], **extra)


def assert_fields(molecule, fields):
    assert len(molecule) == len(fields["atomic_numbers"])
    for name in ARRAY_FIELDS:
        got = getattr(molecule, name)
        if name not in fields:
            assert got is None
            continue
        assert got.dtype == fields[name].dtype, name
        np.testing.assert_array_equal(got, fields[name], err_msg=name)
    assert molecule.energy == fields.get("energy")
    assert molecule.pbc == fields.get("pbc")


def write_database(path, molecules, compression="none"):
    db = PyAtomDatabase(str(path), compression)
    db.add_molecules(molecules)
    db.flush()


def stored(tmp_path, fields_list, compression="none", mmap=True, name="db.mol"):
    path = tmp_path / name
    write_database(path, [build(fields) for fields in fields_list], compression)
    return PyAtomDatabase.open(str(path), mmap=mmap)


STORAGES = [("none", True), ("zstd", True), ("lz4", False), ("none", False), ("lz4", True), ("zstd", False)]


# --- create and open --------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, codec", [("none", 0), ("NONE", 0), ("lz4", 1), ("Lz4", 1), ("zstd", 2), ("ZStd", 2), ("ZSTD", 2)]
)
def test_codec_names_are_matched_in_any_case(tmp_path, name, codec):
    path = tmp_path / "db.mol"
    PyAtomDatabase(str(path), compression=name, level=7)
    data = path.read_bytes()
    for slot in (0, SLOT_B):
        assert data[slot + CODEC_OFFSET] == codec
        level = struct.unpack_from("<i", data, slot + LEVEL_OFFSET)[0]
        assert level == (7 if codec == 2 else 0)


def test_a_zstd_database_stores_zstd_frames(tmp_path):
    path = tmp_path / "db.mol"
    write_database(path, [build(full_fields(40, np.float32, 0))], compression="ZStd")
    assert ZSTD_FRAME_MAGIC in path.read_bytes()[2 * SLOT_B :]


@pytest.mark.parametrize("existing", [False, True])
def test_an_unknown_codec_name_is_refused_before_the_path_is_looked_at(tmp_path, existing):
    path = tmp_path / "db.mol"
    if existing:
        path.write_bytes(b"keep")
    with pytest.raises(ValueError, match="^Invalid compression type$"):
        PyAtomDatabase(str(path), "gzip")
    assert path.exists() == existing


def existing_message(path):
    return (
        f"Database file already exists at '{path}'. Use Database.open(path) for read-only access, "
        "Database.open(path, mmap=False) to append, or pass overwrite=True to recreate it."
    )


def test_creating_over_an_existing_file_is_refused_and_leaves_it_alone(tmp_path):
    path = tmp_path / "db.mol"
    path.write_bytes(b"keep")
    with pytest.raises(FileExistsError) as info:
        PyAtomDatabase(str(path))
    assert str(info.value) == existing_message(path)
    assert path.read_bytes() == b"keep"


def test_creating_at_a_directory_is_refused(tmp_path):
    with pytest.raises(FileExistsError) as info:
        PyAtomDatabase(str(tmp_path))
    assert str(info.value) == existing_message(tmp_path)


def test_overwrite_recreates_an_existing_database(tmp_path):
    path = tmp_path / "db.mol"
    write_database(path, [build(full_fields(2, np.float32, 0))])
    db = PyAtomDatabase(str(path), overwrite=True)
    assert len(db) == 0
    assert len(PyAtomDatabase.open(str(path))) == 0


def test_populate_without_mmap_is_refused_before_the_file_is_opened(tmp_path):
    with pytest.raises(ValueError) as info:
        PyAtomDatabase.open(str(tmp_path / "missing.mol"), mmap=False, populate=True)
    assert str(info.value) == "populate=True requires mmap=True"


def test_populate_with_mmap_opens(tmp_path):
    path = tmp_path / "db.mol"
    write_database(path, [build(full_fields(2, np.float32, 0))])
    assert len(PyAtomDatabase.open(str(path), mmap=True, populate=True)) == 1


def test_opening_a_missing_file_raises_the_io_error(tmp_path):
    with pytest.raises(ValueError, match="^IO error: "):
        PyAtomDatabase.open(str(tmp_path / "missing.mol"))


def test_opening_a_file_that_is_no_database_raises_invalid_data(tmp_path):
    path = tmp_path / "other.bin"
    path.write_bytes(b"\0" * 9000)
    with pytest.raises(ValueError, match="^Invalid data: "):
        PyAtomDatabase.open(str(path))


def test_a_path_with_a_nul_byte_is_refused_instead_of_naming_another_file(tmp_path):
    cut = tmp_path / "db.mol"
    with pytest.raises(ValueError, match="^IO error: file name contained an unexpected NUL byte$"):
        PyAtomDatabase(str(cut) + "\0.tail")
    assert not cut.exists()
    write_database(cut, [build(full_fields(1, np.float32, 0))])
    with pytest.raises(ValueError, match="NUL byte"):
        PyAtomDatabase.open(str(cut) + "\0.tail")


@pytest.mark.parametrize(
    "call, exception, text",
    [
        (lambda p: PyAtomDatabase(1), TypeError, "argument 'path'"),
        (lambda p: PyAtomDatabase(p, compression=2), TypeError, "argument 'compression'"),
        (lambda p: PyAtomDatabase(p, level=2**40), OverflowError, "out of range"),
        (lambda p: PyAtomDatabase(p, level="3"), TypeError, "argument 'level'"),
        (lambda p: PyAtomDatabase(p, overwrite=1), TypeError, "argument 'overwrite'"),
        (lambda p: PyAtomDatabase(p, "none", 3, False, 1), TypeError, "positional"),
        (lambda p: PyAtomDatabase(p, codec="none"), TypeError, "codec"),
        (lambda p: PyAtomDatabase.open(p, mmap=1), TypeError, "argument 'mmap'"),
        (lambda p: PyAtomDatabase.open(p, populate=None), TypeError, "argument 'populate'"),
    ],
)
def test_arguments_of_the_wrong_type_are_refused(tmp_path, call, exception, text):
    with pytest.raises(exception, match=text):
        call(str(tmp_path / "db.mol"))


def test_class_text_signatures():
    assert PyAtomDatabase.__text_signature__ == '(path, compression="none", level=3, overwrite=False)'
    assert PyAtomDatabase.open.__text_signature__ == "(path, mmap=True, populate=False)"
    assert PyAtomDatabase.get_molecules.__doc__.startswith("Get multiple molecules by indices")
    with pytest.raises(TypeError):

        class Derived(PyAtomDatabase):
            pass


# --- length, indexing, get_molecule and get_molecules ------------------------------------------


def test_length_counts_molecules_added_since_the_last_flush(tmp_path):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    assert len(db) == 0
    molecule = build(full_fields(2, np.float32, 0))
    db.add_molecule(molecule)
    db.add_molecules([molecule, molecule])
    assert len(db) == 3
    assert_fields(db[2], full_fields(2, np.float32, 0))
    del db
    # Nothing was committed.
    assert len(PyAtomDatabase.open(str(path))) == 0


@pytest.mark.parametrize("mmap", [True, False])
def test_indexing_refuses_negative_and_past_the_end_indices(tmp_path, mmap):
    db = stored(tmp_path, [full_fields(2, np.float32, s) for s in range(2)], mmap=mmap)
    with pytest.raises(OverflowError):
        db[-1]
    with pytest.raises(OverflowError):
        db.get_molecule(-1)
    for index in (2, 5):
        with pytest.raises(IndexError) as info:
            db[index]
        assert str(info.value) == f"Index {index} out of bounds for database of length 2"
        with pytest.raises(IndexError) as info:
            db.get_molecule(index=index)
        assert str(info.value) == f"Index {index} out of bounds for database of length 2"
    with pytest.raises(TypeError):
        db[1.0]
    assert_fields(db[True], full_fields(2, np.float32, 1))
    assert_fields(db[np.int64(1)], full_fields(2, np.float32, 1))


@pytest.mark.parametrize("compression, mmap", STORAGES)
def test_get_molecules_keeps_order_and_gives_each_repeat_its_own_object(tmp_path, compression, mmap):
    fields = [full_fields(3, np.float32, s) for s in range(3)]
    db = stored(tmp_path, fields, compression, mmap)
    molecules = db.get_molecules([2, 0, 2, 1])
    for molecule, index in zip(molecules, [2, 0, 2, 1]):
        assert_fields(molecule, fields[index])
    assert molecules[0] is not molecules[2]
    molecules[0].energy = 99.0
    assert molecules[2].energy == fields[2]["energy"]
    assert db.get_molecules([]) == []
    # Any sequence of integers will do.
    assert len(db.get_molecules((0, 1))) == 2
    assert len(db.get_molecules(range(3))) == 3
    assert len(db.get_molecules(np.array([1, 1], dtype=np.int64))) == 2


def test_get_molecules_of_an_empty_list_works_on_an_empty_database(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    assert db.get_molecules([]) == []
    assert db.get_molecules(indices=()) == []


@pytest.mark.parametrize(
    "compression, mmap, text",
    [
        ("none", True, "Invalid data: Missing mmap bytes for molecule 5"),
        ("zstd", True, "Invalid data: Missing compressed bytes for molecule 5"),
        ("lz4", False, "Invalid data: Index 5 out of bounds"),
    ],
)
def test_get_molecules_past_the_end_fails_in_the_engine(tmp_path, compression, mmap, text):
    db = stored(tmp_path, [full_fields(2, np.float32, s) for s in range(2)], compression, mmap)
    with pytest.raises(ValueError) as info:
        db.get_molecules([0, 5])
    assert str(info.value) == text


def test_a_mapped_handle_over_a_file_without_commits_reads_its_appends_as_an_unmapped_one(tmp_path):
    path = str(tmp_path / "db.mol")
    PyAtomDatabase(path)
    db = PyAtomDatabase.open(path, mmap=True)
    db.add_molecule(PyMolecule(np.zeros((2, 3), np.float32), np.array([1, 8], np.uint8)))
    assert db.get_molecules([0])[0].atomic_numbers.tolist() == [1, 8]
    with pytest.raises(ValueError, match="^Invalid data: Index 5 out of bounds$"):
        db.get_molecules([0, 5])


def test_get_molecules_argument_refusals(tmp_path):
    db = stored(tmp_path, [full_fields(2, np.float32, 0)])
    with pytest.raises(TypeError, match="^argument 'indices': Can't extract `str` to `Vec`$"):
        db.get_molecules("0")
    with pytest.raises(TypeError, match="^argument 'indices': 'int' object cannot be converted to 'Sequence'$"):
        db.get_molecules(0)
    with pytest.raises(TypeError, match="^argument 'indices': "):
        db.get_molecules([0.0])
    with pytest.raises(OverflowError):
        db.get_molecules([0, -1])


def index_containers(indices):
    """The same indices in every container a caller may pass them in."""
    array = np.array(indices, dtype=np.int64)
    yield "tuple", tuple(indices)
    yield "sequence", iter_only(indices)
    for dtype in (np.int8, np.int32, np.uint16, np.uint64, ">i8", "<u4"):
        yield f"ndarray {np.dtype(dtype).str}", array.astype(dtype)
    yield "strided ndarray", np.repeat(array, 2)[::2]
    yield "reversed ndarray", array[::-1][::-1]
    yield "list of numpy ints", [np.int64(i) for i in indices]


class iter_only:
    """A sequence that only answers len and item access."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def test_every_index_container_selects_the_same_molecules(tmp_path):
    db = stored(tmp_path, [full_fields(n, np.float32, n) for n in (2, 3, 1, 4)])
    indices = [3, 0, 0, 2, 1]
    expected_flat = db.get_molecules_flat(indices)
    expected = [m.positions.tobytes() for m in db.get_molecules(indices)]
    for label, container in index_containers(indices):
        assert [m.positions.tobytes() for m in db.get_molecules(container)] == expected, label
        flat = db.get_molecules_flat(container)
        assert flat["n_atoms"].tolist() == expected_flat["n_atoms"].tolist(), label
        assert flat["positions"].tobytes() == expected_flat["positions"].tobytes(), label


def test_index_containers_refuse_as_an_item_by_item_walk_does(tmp_path):
    db = stored(tmp_path, [full_fields(2, np.float32, 0)])
    for bad in ([0, -1], np.array([0, -1]), np.array([0, -1], np.int8), [0, -(2**70)]):
        with pytest.raises(OverflowError):
            db.get_molecules_flat(bad)
    with pytest.raises(OverflowError):
        db.get_molecules_flat([2**64])
    with pytest.raises(ValueError):  # fits the index type, lies past the end
        db.get_molecules_flat(np.array([2**64 - 1], np.uint64))
    with pytest.raises(TypeError, match="^argument 'indices': "):
        db.get_molecules_flat(np.array([0.0, 1.0]))
    with pytest.raises(TypeError, match="^argument 'indices': "):
        db.get_molecules_flat(np.zeros((1, 1), np.int64))  # items are arrays, not integers
    with pytest.raises(TypeError):
        db.get_molecules_flat(np.array(0))


# --- view-backed molecules ----------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_every_storage_reads_back_the_same_values(tmp_path, dtype):
    fields = [full_fields(n, dtype, seed) for seed, n in enumerate([3, 1, 5])]
    for compression, mmap in STORAGES:
        db = stored(tmp_path, fields, compression, mmap, name=f"{compression}-{mmap}.mol")
        for molecule, expected in zip(db.get_molecules([0, 1, 2]), fields):
            assert_fields(molecule, expected)
        for index, expected in enumerate(fields):
            assert_fields(db[index], expected)
            assert_fields(db.get_molecule(index), expected)


@pytest.mark.parametrize("compression, mmap", STORAGES)
def test_arrays_of_a_view_are_new_writable_and_leave_the_record_alone(tmp_path, compression, mmap):
    fields = full_fields(4, np.float64, 0)
    path = tmp_path / "db.mol"
    write_database(path, [build(fields)], compression)
    before = path.read_bytes()
    molecule = PyAtomDatabase.open(str(path), mmap=mmap)[0]
    for name in ARRAY_FIELDS:
        first = getattr(molecule, name)
        second = getattr(molecule, name)
        assert first is not second
        assert first.flags.writeable and first.flags.c_contiguous
        assert not np.shares_memory(first, second)
        first[...] = 0
        np.testing.assert_array_equal(getattr(molecule, name), fields[name])
    assert path.read_bytes() == before


def test_a_view_outlives_its_database_object(tmp_path):
    fields = [full_fields(3, np.float32, s) for s in range(2)]
    for compression in ("none", "zstd"):
        db = stored(tmp_path, fields, compression, mmap=True, name=f"{compression}.mol")
        one = db[1]
        many = db.get_molecules([0, 1])
        del db
        gc.collect()
        assert_fields(one, fields[1])
        for molecule, expected in zip(many, fields):
            assert_fields(molecule, expected)


@pytest.mark.parametrize("mmap", [True, False])
def test_a_damaged_forces_section_fails_that_field_only(tmp_path, mmap):
    fields = full_fields(3, np.float32, 0)
    path = tmp_path / "db.mol"
    write_database(path, [build(fields)])
    data = bytearray(path.read_bytes())
    # Section header: kind 0 (built-in), key length 6, the key, type tag 4 (float32 triples).
    header = b"\x00\x06forces\x04"
    at = data.find(header)
    assert at > 0 and data.find(header, at + 1) == -1
    data[at + len(header) - 1] = 6  # now claims a float32 array: the section no longer reads as forces
    path.write_bytes(bytes(data))

    molecule = PyAtomDatabase.open(str(path), mmap=mmap)[0]
    for _ in range(2):
        with pytest.raises(ValueError, match="^Invalid forces section$"):
            molecule.forces
    without_forces = {key: value for key, value in fields.items() if key != "forces"}
    for name in ARRAY_FIELDS:
        if name != "forces":
            np.testing.assert_array_equal(getattr(molecule, name), without_forces[name])
    assert molecule.energy == fields["energy"] and molecule.pbc == fields["pbc"]
    assert repr(molecule) == "Molecule(n_atoms=3, has_forces=true, has_energy=true)"

    # A change needs the whole record decoded: it fails and the molecule stays a view.
    with pytest.raises(ValueError):
        molecule.energy = 2.0
    assert molecule.energy == fields["energy"]
    with pytest.raises(ValueError, match="^Invalid forces section$"):
        molecule.forces
    with pytest.raises(ValueError):
        molecule.to_owned()


# --- adding ---------------------------------------------------------------------------------------


def test_add_molecules_stores_views_before_owned_molecules(tmp_path):
    view_fields = full_fields(3, np.float32, 1)
    owned_fields = full_fields(2, np.float32, 2)
    view = stored(tmp_path, [view_fields], name="source.mol")[0]
    path = tmp_path / "target.mol"
    db = PyAtomDatabase(str(path))
    db.add_molecules([build(owned_fields), view])
    assert_fields(db[0], view_fields)
    assert_fields(db[1], owned_fields)
    db.flush()
    reopened = PyAtomDatabase.open(str(path))
    assert_fields(reopened[0], view_fields)
    assert_fields(reopened[1], owned_fields)


@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_views_are_stored_again_as_they_are(tmp_path, dtype):
    # Two layouts: views of one atom count share one schema; views of other atom counts with
    # per-atom built-ins do not and are stored record by record.
    same = [full_fields(3, dtype, s) for s in range(3)]
    mixed = [full_fields(n, dtype, s) for s, n in enumerate([1, 4, 2])]
    for name, fields in (("same", same), ("mixed", mixed)):
        views = stored(tmp_path, fields, "lz4", mmap=False, name=f"{name}-source.mol").get_molecules([0, 1, 2])
        path = tmp_path / f"{name}-target.mol"
        db = PyAtomDatabase(str(path), "zstd")
        db.add_molecules(views[:2])
        db.add_molecule(views[2])
        db.flush()
        for molecule, expected in zip(PyAtomDatabase.open(str(path)).get_molecules([0, 1, 2]), fields):
            assert_fields(molecule, expected)


def test_a_view_of_another_positions_type_is_refused(tmp_path):
    view = stored(tmp_path, [full_fields(2, np.float64, 0)], name="f64.mol")[0]
    db = PyAtomDatabase(str(tmp_path / "f32.mol"))
    db.add_molecule(build(full_fields(2, np.float32, 0)))
    with pytest.raises(ValueError, match="^Invalid data: "):
        db.add_molecule(view)
    assert len(db) == 1


def test_add_refusals(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    molecule = build(full_fields(2, np.float32, 0))
    with pytest.raises(TypeError, match="^argument 'molecule': 'int' object cannot be converted to 'PyMolecule'$"):
        db.add_molecule(5)
    with pytest.raises(TypeError, match="^argument 'molecules': 'int' object cannot be converted to 'PyMolecule'$"):
        db.add_molecules([molecule, 5])
    with pytest.raises(TypeError, match="^argument 'molecules': Can't extract `str` to `Vec`$"):
        db.add_molecules("m")
    assert len(db) == 0
    db.add_molecules([])
    assert len(db) == 0


def test_a_mapped_database_refuses_adding_and_flushing(tmp_path):
    db = stored(tmp_path, [full_fields(2, np.float32, 0)])
    with pytest.raises(ValueError, match="^Invalid data: "):
        db.add_molecule(build(full_fields(2, np.float32, 0)))
    with pytest.raises(ValueError, match="^Invalid data: "):
        db.flush()
    assert len(db) == 1


def test_a_never_committed_file_opened_mapped_reads_back_what_it_appends(tmp_path):
    # Such a file accepts appends; its records then lie beyond the mapping and are read from the file.
    path = tmp_path / "db.mol"
    PyAtomDatabase(str(path), "none")
    db = PyAtomDatabase.open(str(path), mmap=True)
    fields = [full_fields(2, np.float32, s) for s in range(2)]
    db.add_molecules([build(f) for f in fields])
    assert_fields(db[1], fields[1])
    for molecule, expected in zip(db.get_molecules([0, 1]), fields):
        assert_fields(molecule, expected)
    db.flush()
    assert_fields(PyAtomDatabase.open(str(path))[0], fields[0])


# --- access from several places ----------------------------------------------------------------------


def test_adding_while_another_thread_reads_is_refused(tmp_path):
    fields = [full_fields(64, np.float32, s % 5) for s in range(1500)]
    db = PyAtomDatabase(str(tmp_path / "db.mol"), "zstd")
    db.add_molecules([build(f) for f in fields])
    indices = list(range(len(db)))
    extra = build(full_fields(2, np.float32, 0))
    stop = threading.Event()
    reads = []

    def reader():
        while not stop.is_set():
            reads.append(len(db.get_molecules(indices)))

    thread = threading.Thread(target=reader)
    thread.start()
    refusals = []
    try:
        # The reader holds shared access while its records load with the interpreter lock
        # released; an add that lands in that window is refused at once, never awaited.
        for _ in range(5000):
            try:
                db.add_molecule(extra)
            except RuntimeError as error:
                refusals.append(str(error))
                break
    finally:
        stop.set()
        thread.join()
    assert refusals == ["Already borrowed"]
    assert reads and all(count >= len(indices) for count in reads)


def test_a_molecule_cannot_change_while_add_molecules_reads_it(tmp_path):
    first = build(full_fields(2, np.float32, 0))
    second = build(full_fields(2, np.float32, 1))
    refusals = []

    class Molecules:
        # A sequence whose iteration tries to change a molecule it already handed out.
        def __len__(self):
            return 2

        def __getitem__(self, index):
            return [first, second][index]

        def __iter__(self):
            yield first
            try:
                first.energy = 5.0
            except RuntimeError as error:
                refusals.append(str(error))
            yield second

    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    db.add_molecules(Molecules())
    assert refusals == ["Already borrowed"]
    assert first.energy == full_fields(2, np.float32, 0)["energy"]
    assert db[0].energy == first.energy
    first.energy = 5.0  # free again once the call is over
    assert first.energy == 5.0
