"""get_molecules_flat: a selection as one dictionary of arrays, equal to NumPy's own concatenation
of the per-molecule getters, for every codec, handle and selection size; and each refusal's text."""

import struct

import numpy as np
import pytest
from conftest import ATOM, CODECS, MOLECULE, TAGS, assert_same, handmade, layout, record, refused, rich, starts, tensor

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

LOCK_ORDER = ["cell", "charges", "energy", "forces", "name", "pbc", "stress", "velocities"]
NOT_CONCATENABLE = ("it cannot be flat-batched/concatenated. Retrieve molecules individually with get_molecule(s) "
                    "instead.")


def expected(molecules, names=None, order=LOCK_ORDER):
    """The dictionary a flat read must equal, from the same selection's molecules: missing built-ins
    read as zeros (texts as None); custom keys by their bytes."""
    result = {"n_atoms": np.array([len(m) for m in molecules], np.uint32),
              "positions": np.concatenate([m.positions for m in molecules]),
              "atomic_numbers": np.concatenate([m.atomic_numbers for m in molecules])}
    for key in order:
        values = [getattr(m, key) for m in molecules] if key != "name" else [names]
        like = next((v for v in values if v is not None), None)
        if like is None:
            continue
        if key == "name":
            result["name"] = list(names)
        elif key == "energy":
            result[key] = np.array([0.0 if v is None else v for v in values])
        elif key == "pbc":
            result[key] = np.array([(False,) * 3 if v is None else v for v in values], bool)
        elif key in ("cell", "stress"):
            result[key] = np.stack([np.zeros_like(like) if v is None else v for v in values])
        else:
            result[key] = np.concatenate([np.zeros((len(m),) + like.shape[1:], like.dtype) if v is None else v
                                          for m, v in zip(molecules, values)])
    for scope, name in (("atom", "atom_properties"), ("molecule", "properties")):
        if keys := sorted(molecules[0].property_keys(scope=scope), key=str.encode):
            result[name] = {key: joined([m.get_property(key) for m in molecules], scope) for key in keys}
    return result


def joined(values, scope):
    first = values[0]
    if first is None or isinstance(first, str):
        return list(values)
    if isinstance(first, (int, float)):
        return np.array(values, np.int64 if isinstance(first, int) else np.float64)
    # Atom scope joins along the atoms; molecule-level arrays and rows of triples lie back to back;
    # molecule-level tensors stack along a new first axis.
    if scope == "atom" or first.ndim == 1 or (first.ndim == 2 and first.shape[1] == 3 and first.dtype.kind == "f"):
        return np.concatenate(values)
    return np.stack(values)


def assert_flat(got, want):
    assert_same(got, want)
    nested = [got] + [got.get(name, {}) for name in ("properties", "atom_properties")]
    assert [list(d) for d in nested] == [list(d) for d in [want] + [want.get(n, {}) for n in ("properties",
                                                                                              "atom_properties")]]
    for value in (v for d in nested for v in d.values() if isinstance(v, np.ndarray)):
        assert value.flags.c_contiguous and value.flags.writeable


@pytest.mark.parametrize("codec", CODECS)
@pytest.mark.parametrize("mode", ["mapped", "in-memory", "half appended"])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_a_flat_read_is_numpys_concatenation_of_the_molecules(tmp_path, codec, mode, dtype):
    rng, path = np.random.default_rng([len(codec), len(mode), np.dtype(dtype).itemsize]), str(tmp_path / "db.mol")
    molecules = [rich(int(n) if i != 3 else 0, dtype, seed=i) for i, n in enumerate(rng.integers(0, 7, 24))]
    db = PyAtomDatabase(path, codec)
    db.add_molecules(molecules[:12])
    db.flush()
    db.add_molecules(molecules[12:])
    if mode != "half appended":
        db.flush()
        db = PyAtomDatabase.open(path, mmap=mode == "mapped")
    for indices in [[*range(24)], [5, 5, 0, 23, 5], [3], [3, 3], list(rng.integers(0, 24, 40)),
                    np.array([23, 22, 21], np.uint16)]:
        assert_flat(db.get_molecules_flat(indices), expected(db.get_molecules(indices), [f"m{i}" for i in indices]))


def test_fields_some_molecules_lack_read_as_zeros_or_none_in_the_locks_order(tmp_path):
    db = PyAtomDatabase(str(tmp_path / "db.mol"))
    full = PyMolecule(np.full((1, 3), 2, np.float32), np.array([8], np.uint8), energy=2.0, name="O", charges=np.ones(1),
                      forces=np.full((1, 3), 5, np.float32), cell=np.eye(3), pbc=(True, False, True))
    full.set_property("label", "o")
    db.add_molecules([PyMolecule(np.ones((2, 3), np.float32), np.array([1, 1], np.uint8), energy=1.0), full])
    got = db.get_molecules_flat([0, 1, 0])
    assert list(got) == ["n_atoms", "positions", "atomic_numbers", "cell", "charges", "energy", "forces", "name", "pbc",
                         "properties"]
    # When the schema holds just what the first record does, the record's order stands.
    assert list(db.get_molecules_flat([1]))[3:] == ["charges", "cell", "energy", "forces", "name", "pbc", "properties"]
    assert_same(got["forces"], np.array([[0, 0, 0]] * 2 + [[5, 5, 5]] + [[0, 0, 0]] * 2, np.float32))
    assert_same(got["pbc"], np.array([[False] * 3, [True, False, True], [False] * 3]))
    assert (got["name"], got["properties"]) == ([None, "O", None], {"label": [None, "o", None]})
    for indices in ([], (), np.array([], np.int64)):
        assert_same(PyAtomDatabase(str(tmp_path / "empty.mol"), overwrite=True).get_molecules_flat(indices),
                    {"n_atoms": np.zeros(0, np.uint32), "positions": np.zeros((0, 3), np.float32),
                     "atomic_numbers": np.zeros(0, np.uint8)})


def tensor_db(tmp_path, atom=None, molecule=None):
    db = PyAtomDatabase(str(tmp_path / "db.mol"), overwrite=True)
    for i, n in enumerate((2, 0, 3)):
        mol = PyMolecule(np.zeros((n, 3), np.float32), np.ones(n, np.uint8))
        if atom is not None:
            mol.set_property("a", np.zeros((n,) + atom[i], np.int64), scope="atom")
        if molecule is not None and molecule[i] is not None:
            mol.set_property("m", np.zeros(molecule[i]))
        db.add_molecule(mol)
    return db


def one_tensor_file(tmp_path, shape, atoms):
    records = [record(n, [(ATOM, "a", TAGS["TI32"], tensor(np.zeros(s, "<i4")))]) for n, s in ((1, (1, 2)),
                                                                                                 (atoms, shape))]
    return PyAtomDatabase.open(str(handmade(tmp_path / "hand.mol", records)))


def lying_index(tmp_path, mmap):
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    ones = np.ones((3, 3), np.float32)
    db.add_molecules([PyMolecule(ones, np.ones(3, np.uint8), forces=ones)] * 2)
    db.flush()
    data = bytearray(path.read_bytes())
    struct.pack_into("<I", data, layout(bytes(data))["index"][0] + 8 + 20 + 16, 2)
    path.write_bytes(bytes(data))
    return PyAtomDatabase.open(str(path), mmap=mmap)


def renamed_in_place(tmp_path, key):
    """Two molecules under a schema lock; in the second record, the key 'bravo' overwritten by `key`."""
    path = tmp_path / "db.mol"
    db = PyAtomDatabase(str(path))
    for i in range(2):
        mol = PyMolecule(np.zeros((1, 3), np.float32), np.ones(1, np.uint8))
        mol.set_property("alpha", 10 + i)
        mol.set_property("bravo", 20 + i)
        db.add_molecule(mol)
    db.flush()
    data = path.read_bytes()
    at = data.index(b"bravo", layout(data)["entries"][1][0])
    path.write_bytes(data[:at] + key + data[at + len(key):])
    return PyAtomDatabase.open(str(path))


FLAT = [
    (lambda t: tensor_db(t, molecule=[(2, 2), None, (2, 2)]), [0, 1, 2], ValueError,
     f"Tensor property 'm' is missing for selected molecule 1; {NOT_CONCATENABLE}"),
    (lambda t: tensor_db(t, atom=[(3,), (3,), (4,)]), [0, 1, 2], ValueError,
     f"Atom tensor property 'a' has incompatible per-atom tensor suffix shapes [3] and [4]; {NOT_CONCATENABLE}"),
    (lambda t: tensor_db(t, molecule=[(2, 2), (2, 2), (2, 4)]), [0, 2], ValueError,
     f"Tensor property 'm' has incompatible shapes [2, 2] and [2, 4]; {NOT_CONCATENABLE}"),
    (lambda t: one_tensor_file(t, (5, 2), 4), [0, 1], ValueError,
     "Atom tensor property 'a' has shape [5, 2]; first dimension 5 does not match atom count 4. It cannot be "
     "flat-batched/concatenated. Retrieve molecules individually with get_molecule(s) instead."),
    (lambda t: one_tensor_file(t, (), 1), [0, 1], ValueError,
     starts("Atom tensor property 'a' has shape []; first dimension None")),
    (lambda t: lying_index(t, True), [0, 1], ValueError,
     "Invalid data: SOA record of molecule 1 holds 3 atoms, but its index entry says 2"),
    (lambda t: lying_index(t, False), [1], ValueError, None),
    (lambda t: renamed_in_place(t, b"alpha"), [0, 1], ValueError,
     "Invalid data: SOA schema order mismatch at molecule 1 for section 'alpha'"),
    (lambda t: renamed_in_place(t, b"delta"), [0, 1], ValueError,
     "Invalid data: SOA schema order mismatch at molecule 1 for section 'delta'"),
    (tensor_db, "01", TypeError, "argument 'indices': Can't extract `str` to `Vec`"),
    (tensor_db, 5, TypeError, "argument 'indices': 'int' object cannot be converted to 'Sequence'"),
    (tensor_db, [0, "1"], TypeError, starts("argument 'indices': ")),
    (tensor_db, np.zeros((1, 1), np.int64), TypeError, starts("argument 'indices': ")),
    (tensor_db, [0, 0, 9], ValueError, "Invalid data: Index 9 out of bounds"),
    (tensor_db, np.array([2**64 - 1], np.uint64), ValueError, None),
]


@pytest.mark.parametrize("make, indices, error, text", FLAT)
def test_flat_refusals(tmp_path, make, indices, error, text):
    db = make(tmp_path)
    refused(lambda: db.get_molecules_flat(indices), error, text)


def test_tensors_join_along_atoms_or_stack_and_rank_zero_gives_one_value_each(tmp_path):
    got = tensor_db(tmp_path, atom=[(3, 2)] * 3, molecule=[(2, 2)] * 3).get_molecules_flat([2, 0, 1, 2])
    assert (got["atom_properties"]["a"].shape, got["properties"]["m"].shape) == ((8, 3, 2), (4, 2, 2))
    records = [record(n, [(MOLECULE, "s", TAGS["TF64"], tensor(np.array(v, "<f8")))]) for n, v in ((1, 1.5), (2, -4.0))]
    db = PyAtomDatabase.open(str(handmade(tmp_path / "hand.mol", records)))
    assert_same(db.get_molecules_flat([1, 0, 1])["properties"]["s"], np.array([-4.0, 1.5, -4.0]))


@pytest.mark.parametrize("codec", CODECS)
def test_large_selections_read_on_the_worker_pool_equal_the_reference_round_after_round(tmp_path, codec):
    # Batches with every built-in alternate with energy-only ones, so what a molecule lacks must read
    # as zeros even in memory that held an earlier result.
    rng = np.random.default_rng(11)
    db = PyAtomDatabase(str(tmp_path / "db.mol"), codec)
    for batch, n in enumerate(rng.integers(1, 9, 150)):
        shape = (20, int(n))
        full = {} if batch % 3 == 0 else dict(forces=rng.standard_normal(shape + (3,)).astype(np.float32),
                                              cell=rng.standard_normal((20, 3, 3)), charges=rng.standard_normal(shape),
                                              pbc=rng.integers(0, 2, (20, 3)).astype(bool))
        db.add_arrays_batch(rng.standard_normal(shape + (3,)).astype(np.float32),
                            rng.integers(1, 119, shape).astype(np.uint8),
                            energy=rng.standard_normal(20), properties={"level": rng.integers(-5, 5, 20)},
                            atom_properties={"feature": rng.standard_normal(shape).astype(np.float32)}, **full)
    db.flush()
    for mmap in (True, False):
        db = PyAtomDatabase.open(str(tmp_path / "db.mol"), mmap=mmap)
        selections = [[0] + rng.permutation(3000)[:2500].tolist(), [0] + rng.integers(0, 3000, 4000).tolist()]
        wanted = [expected(db.get_molecules(indices)) for indices in selections]
        for _ in range(2):
            for indices, want in zip(selections, wanted):
                got = db.get_molecules_flat(indices)
                assert_flat(got, want)
                for value in (got["positions"], got["forces"], got["atom_properties"]["feature"]):
                    value[...] = 0  # its own memory: the next read must not see this
