"""Database files byte by byte: the writer's bytes against a file written here from the documented
layout, and damaged files (torn writes, flipped bytes, lying index entries) that every read either
answers or refuses with a ValueError, never a crash."""

import os
import random
import struct
import subprocess
import sys

import numpy as np
import pytest
from conftest import (ATOM, BUILTIN, DATA_START, FIELDS, MOLECULE, SLOT, TAGS, handmade, header_slot, layout, rich,
                      record, u64, write)

from molarium._molarium_rs import PyAtomDatabase, PyMolecule


def schema_blob(positions_tag, entries):
    """u32 version 1, u8 positions tag, u32 count; entries of u8 kind, u8 tag, u8 per atom, u16 key
    length, u32 element bytes, u32 slot bytes, key; in (kind, key) order."""
    out = struct.pack("<IBI", 1, positions_tag, len(entries))
    for kind, key, tag, per_atom, elem, slot in sorted(entries):
        out += struct.pack("<BBBHII", kind, tag, per_atom, len(key), elem, slot) + key.encode()
    return out


def test_the_writer_stores_the_bytes_of_the_documented_layout(tmp_path):
    molecules, records = [], []
    for n, energy in ((1, -1.5), (2, 2.0)):
        molecules.append(PyMolecule(np.arange(n * 3, dtype=np.float32).reshape(n, 3),
                                    np.arange(1, n + 1, dtype=np.uint8), energy=energy,
                                    forces=np.full((n, 3), n, np.float32), name="ab"))
        molecules[-1].set_property("a", 7 * n)
        molecules[-1].set_property("q", np.arange(n, dtype=np.float64), scope="atom")
        records.append(record(n, [(BUILTIN, "energy", TAGS["F64"], struct.pack("<d", energy)),
                                  (BUILTIN, "forces", TAGS["V3F32"], np.full((n, 3), n, "<f4").tobytes()),
                                  (BUILTIN, "name", TAGS["STR"], b"ab"),
                                  (ATOM, "q", TAGS["F64A"], np.arange(n, dtype="<f8").tobytes()),
                                  (MOLECULE, "a", TAGS["I64"], struct.pack("<q", 7 * n))]))
    schema = schema_blob(TAGS["V3F32"], [(BUILTIN, "energy", TAGS["F64"], 0, 8, 8), (BUILTIN, "name", TAGS["STR"], 0, 0, 0),
                                         (BUILTIN, "forces", TAGS["V3F32"], 1, 12, 12), (ATOM, "q", TAGS["F64A"], 1, 8, 8),
                                         (MOLECULE, "a", TAGS["I64"], 0, 8, 8)])
    handmade(tmp_path / "handmade.mol", records, schema)
    assert write(tmp_path / "written.mol", molecules).read_bytes() == (tmp_path / "handmade.mol").read_bytes()


@pytest.mark.parametrize("name, codec, level", [("none", 0, 0), ("NONE", 0, 0), ("LZ4", 1, 0), ("Lz4", 1, 0),
                                                ("ZStd", 2, 7), ("zstd", 2, 0), ("ZSTD", 2, 3)])
def test_a_created_file_is_two_empty_slots_and_zstd_stores_zstd_frames(tmp_path, name, codec, level):
    db = PyAtomDatabase(str(tmp_path / "db.mol"), name, level)
    assert (tmp_path / "db.mol").read_bytes() == header_slot(0, codec=codec, level=level) * 2
    db.add_molecule(rich(40))
    db.flush()
    assert (b"\x28\xb5\x2f\xfd" in (tmp_path / "db.mol").read_bytes()[DATA_START:]) == (codec == 2)
    assert PyAtomDatabase.open(str(tmp_path / "db.mol"), populate=True)[0].energy == rich(40).energy


@pytest.mark.parametrize("mmap", [True, False])
def test_reads_of_a_format_3_file_without_a_positions_type_are_refused(tmp_path, mmap):
    db = PyAtomDatabase.open(str(handmade(tmp_path / "db.mol", [record(1, [])], record_format=3)), mmap=mmap)
    for read in (lambda: db[0], lambda: db.get_molecules([0])):
        pytest.raises(ValueError, read)


@pytest.mark.parametrize("energy, text", [
    (struct.pack("<d", -1.5), None),
    (struct.pack("<f", -1.5), "Invalid data: record format 2 does not support float32 energy"),
], ids=["float64", "float32"])
def test_an_append_checks_the_records_a_file_without_schema_holds_against_its_format(tmp_path, energy, text):
    tag = TAGS["F64"] if len(energy) == 8 else TAGS["F32"]
    path = handmade(tmp_path / "db.mol", [record(2, [(BUILTIN, "energy", tag, energy)])])
    before = path.read_bytes()
    db = PyAtomDatabase.open(str(path), mmap=False)
    extra = PyMolecule(np.zeros((2, 3), np.float32), np.ones(2, np.uint8))  # agrees with either energy
    if text is None:
        db.add_molecule(extra)
        db.flush()
        again = PyAtomDatabase.open(str(path))
        assert [again[i].energy for i in range(len(again))] == [-1.5, None]
    else:
        pytest.raises(ValueError, db.add_molecule, extra).match(f"^{text}$")
        assert path.read_bytes() == before and len(db) == 1


# --- damage -----------------------------------------------------------------------------------------
def attempt(call):
    try:
        return call()
    except (ValueError, KeyError):
        return None


def read_everything(db):
    """Every read a user can make; each answers or refuses with a clear error."""
    n = len(db)
    for mol in (m for m in (attempt(lambda: db[i]) for i in range(n)) if m is not None):
        for name in FIELDS:
            attempt(lambda: getattr(mol, name))
        for key in attempt(mol.property_keys) or []:
            attempt(lambda: mol.get_property(key))
        for call in (mol._ase_payload, mol.to_owned, mol.__reduce__):
            attempt(call)
    attempt(lambda: db.get_molecules(list(range(n))))
    for selection in [list(range(n))] + [[i] for i in range(n)]:
        attempt(lambda: db.get_molecules_flat(selection))


def flip(data, offset, mask):
    return data[:offset] + bytes([data[offset] ^ mask]) + data[offset + 1:]


def damaged_copies(data, rng, every_record_byte):
    """(label, bytes) of torn writes, flipped header, index, schema and record bytes, and tails."""
    where = layout(data)
    (index_at, index_length), (schema_at, schema_length) = where["index"], where["schema"]
    cuts = {0, 7, SLOT, DATA_START - 1, DATA_START, DATA_START + 1, index_at, index_at + 8, index_at + index_length - 1,
            schema_at + 1, len(data) - 1} | {rng.randrange(len(data)) for _ in range(15)}
    yield from ((f"cut at {cut}", data[:cut]) for cut in sorted(cuts))
    for offset in [s * SLOT + f for s in (0, 1) for f in (8, 16, 24, 32, 40, 48, 52, 56, 60, 68, 4092)]:
        yield f"header byte {offset}", flip(data, offset, 0xFF)
    for offset in range(index_at, index_at + index_length):
        yield f"index byte {offset}", flip(data, offset, 1 << rng.randrange(8))
    for offset in range(schema_at, schema_at + schema_length, max(1, schema_length // 40)):
        yield f"schema byte {offset}", flip(data, offset, 0xFF)
    record_end = schema_at or index_at
    offsets = range(DATA_START, where["entries"][1][0], 2) if every_record_byte else []
    for offset in [*offsets, *(rng.randrange(DATA_START, record_end) for _ in range(60))]:
        yield f"record byte {offset}", flip(data, offset, rng.choice([0xFF, 0x80, 0x01]))
    for offset in (rng.randrange(DATA_START, record_end - 8) for _ in range(10)):
        word = u64(rng.choice([2**64 - 1, 2**31, rng.getrandbits(64)]))
        yield f"record word {offset}", data[:offset] + word + data[offset + 8:]
    for size in (1, 5000):
        yield f"tail of {size}", data + rng.randbytes(size)


@pytest.mark.parametrize("codec", ["none", "lz4", "zstd"])
def test_damaged_files_open_and_read_or_refuse_clearly(tmp_path, codec):
    rng, opened = random.Random(codec), 0
    bare = PyMolecule(np.zeros((2, 3), np.float32), np.ones(2, np.uint8))
    molecules = [rich(3 + s % 3, seed=s) for s in range(5)] + [bare]
    data = write(tmp_path / "good.mol", molecules, codec, commits=2).read_bytes()
    for number, (label, damaged) in enumerate(damaged_copies(data, rng, codec == "none")):
        path = tmp_path / f"damaged{number}.mol"  # a new file each time: earlier mappings stay valid
        path.write_bytes(damaged)
        for mmap in (True, False):
            try:
                db = PyAtomDatabase.open(str(path), mmap=mmap)
            except ValueError:
                continue
            opened += 1
            read_everything(db)
            if not mmap:  # what opens appendable takes a molecule that a later open reads back
                extra = PyMolecule(np.full((4, 3), 100, np.float32), np.ones(4, np.uint8))
                if attempt(lambda: (db.add_molecule(extra), db.flush())) is not None:
                    reopened = PyAtomDatabase.open(str(path))
                    np.testing.assert_array_equal(reopened[len(reopened) - 1].positions, extra.positions, err_msg=label)
            del db
        os.unlink(path)
    assert opened > 100


@pytest.mark.parametrize("codec", ["none", "lz4", "zstd"])
def test_a_record_shorter_than_its_index_entry_is_refused_by_every_read(tmp_path, codec):
    molecules = [rich(3, seed=s) for s in range(3)]
    data = bytearray(write(tmp_path / "db.mol", molecules, codec).read_bytes())
    entry = layout(bytes(data))["index"][0] + 8 + 20 * 1 + 12  # record 1's record length claims one byte more
    struct.pack_into("<I", data, entry, struct.unpack_from("<I", data, entry)[0] + 1)
    (tmp_path / "db.mol").write_bytes(bytes(data))
    messages = set()
    for mmap in (True, False):
        db = PyAtomDatabase.open(str(tmp_path / "db.mol"), mmap=mmap)
        for read in (lambda: db[1], lambda: db.get_molecules([0, 1]), lambda: db.get_molecules_flat([1]),
                     lambda: db.get_molecules_flat([0, 1, 2])):
            messages.add(str(pytest.raises(ValueError, read).value))
        np.testing.assert_array_equal(db[2].positions, molecules[2].positions)
        flat = db.get_molecules_flat([0, 2])["positions"]
        np.testing.assert_array_equal(flat, np.concatenate([molecules[0].positions, molecules[2].positions]))
    assert len(messages) == 1 and messages.pop().startswith("Invalid data: Record at offset ")


@pytest.mark.parametrize("mmap", [True, False])
@pytest.mark.parametrize("tag", [TAGS["F32A"], TAGS["V3F64"]])
def test_a_damaged_section_fails_that_field_only(tmp_path, mmap, tag):
    values = rich(3)
    data = bytearray(write(tmp_path / "db.mol", [values]).read_bytes())
    data[data.find(b"\x00\x06forces\x04") + 8] = tag  # forces claims another type, whose length its payload lacks
    (tmp_path / "db.mol").write_bytes(bytes(data))
    mol = PyAtomDatabase.open(str(tmp_path / "db.mol"), mmap=mmap)[0]
    pytest.raises(ValueError, lambda: mol.forces).match("^Invalid forces section$")
    for name in ("positions", "velocities", "charges", "cell", "stress"):
        np.testing.assert_array_equal(getattr(mol, name), getattr(values, name))
    assert (mol.energy, mol.pbc) == (values.energy, values.pbc)
    for change in (lambda: setattr(mol, "energy", 2.0), mol.to_owned):  # a change decodes the whole record
        pytest.raises(ValueError, change)
    assert mol.energy == values.energy


FLAT_UNDER_A_MEMORY_LIMIT = """
import resource, sys
from molarium._molarium_rs import PyAtomDatabase
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
in_use = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (in_use + (1 << 30), hard))
db = PyAtomDatabase.open(sys.argv[1])
for selection in ([0], list(range(len(db)))):
    try:
        db.get_molecules_flat(selection)
        print("read")
    except Exception as error:
        print(type(error).__name__)
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="needs a limit on the address space")
@pytest.mark.parametrize("entry, field, value", [((0, "name"), 4, 0xFF000000), ((0, "velocities"), 0, 0xFF00000C),
                                                 ((2, "float"), 4, 0xFF000008), ((2, "f64"), 4, 0xFF000018)])
def test_a_damaged_schema_entry_is_refused_before_a_flat_read_allocates_for_it(tmp_path, entry, field, value):
    path = write(tmp_path / "db.mol", [rich(3, seed=s) for s in range(4)], commits=2)
    data = bytearray(path.read_bytes())
    offset, length = layout(bytes(data))["schema"]
    position = offset + 9
    for _ in range(struct.unpack_from("<I", data, offset + 5)[0]):  # find the entry's u32 element bytes
        kind, _, _, key_length = struct.unpack_from("<BBBH", data, position)
        if (kind, data[position + 13 : position + 13 + key_length].decode()) == entry:
            struct.pack_into("<I", data, position + 5 + field, value)
        position += 13 + key_length
    path.write_bytes(bytes(data))
    # Each damaged entry asks for 4 GiB per molecule or per atom; within 1 GiB the read must refuse it.
    result = subprocess.run([sys.executable, "-c", FLAT_UNDER_A_MEMORY_LIMIT, str(path)], capture_output=True,
                            text=True, timeout=120, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ValueError", "ValueError"]
