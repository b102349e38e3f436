"""Round trips: any molecule, with any built-in fields and custom properties of every type tag in
either position width, reads back unchanged through every codec and both handle kinds, through
pickling, and when stored again from its view."""

import copy
import pickle

import numpy as np
from conftest import CODECS, assert_same_molecule
from hypothesis import given, settings, strategies as st

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

TEXTS = ["", "a", "héllo", "日本語", "x" * 300]


def values(rng, dtype, shape, specials=False):
    if np.dtype(dtype).kind == "i":
        return rng.integers(np.iinfo(dtype).min, np.iinfo(dtype).max, shape, dtype=dtype, endpoint=True)
    out = rng.standard_normal(shape).astype(dtype)
    if specials and out.size:
        out.flat[rng.integers(out.size)] = rng.choice([np.nan, np.inf, -np.inf, -0.0, 1e-45, 3.4e38])
    return out


# Every type tag a custom value takes: (dtype, shape) of molecule-scope arrays and tensors, fixed
# per key as a database's schema requires; per-atom ones have the atom count in front.
MOLECULE_ARRAYS = {"f64a": (np.float64, 4), "f32a": (np.float32, 2), "i64a": (np.int64, 3), "i32a": (np.int32, 1),
                   "v3f32": (np.float32, (2, 3)), "v3f64": (np.float64, (1, 3)), "tf32": (np.float32, (2, 2, 2)),
                   "tf64": (np.float64, (3, 4)), "ti32": (np.int32, (2, 3)), "ti64": (np.int64, (1, 2, 5))}
MOLECULE_KINDS = {"null": lambda r, s: None, "f64": lambda r, s: float(values(r, np.float64, (), s)),
                  "i64": lambda r, s: int(values(r, np.int64, ())), "str": lambda r, s: str(r.choice(TEXTS)),
                  **{key: lambda r, s, k=key: values(r, *MOLECULE_ARRAYS[k], s) for key in MOLECULE_ARRAYS}}
ATOM_KINDS = {"a_f64": (np.float64, ()), "a_f32": (np.float32, ()), "a_i64": (np.int64, ()), "a_i32": (np.int32, ()),
              "a_v3f32": (np.float32, (3,)), "a_v3f64": (np.float64, (3,)), "a_tf32": (np.float32, (2, 2)),
              "a_ti64": (np.int64, (4,))}
BUILTINS = {"energy": lambda r, n, d, s: float(values(r, np.float64, (), s)),
            **{key: lambda r, n, d, s, shape=shape: values(r, d, shape(n), s) for key, shape in (
                ("forces", lambda n: (n, 3)), ("velocities", lambda n: (n, 3)), ("charges", lambda n: n),
                ("cell", lambda n: (3, 3)), ("stress", lambda n: (3, 3)))},
            "pbc": lambda r, n, d, s: tuple(bool(b) for b in r.integers(0, 2, 3)),
            "name": lambda r, n, d, s: str(r.choice(TEXTS))}
molecule_sets = st.fixed_dictionaries({
    "dtype": st.sampled_from([np.float32, np.float64]), "builtins": st.sets(st.sampled_from(sorted(BUILTINS))),
    "molecule": st.sets(st.sampled_from(sorted(MOLECULE_KINDS))), "atom": st.sets(st.sampled_from(sorted(ATOM_KINDS))),
    "atoms": st.lists(st.integers(0, 6), min_size=1, max_size=4), "specials": st.booleans(),
    "seed": st.integers(0, 2**32 - 1)})


def molecules_of(spec):
    rng, dtype, specials = np.random.default_rng(spec["seed"]), spec["dtype"], spec["specials"]
    molecules = []
    for n in spec["atoms"]:
        extra = {key: BUILTINS[key](rng, n, dtype, specials) for key in sorted(spec["builtins"])}
        mol = PyMolecule(values(rng, dtype, (n, 3), specials), rng.integers(0, 256, n).astype(np.uint8), **extra)
        for key in sorted(spec["molecule"]):
            mol.set_property(key, MOLECULE_KINDS[key](rng, specials))
        for key in sorted(spec["atom"]):
            mol.set_property(key, values(rng, ATOM_KINDS[key][0], (n, *ATOM_KINDS[key][1]), specials), scope="atom")
        molecules.append(mol)
    return molecules


def assert_all_same(got, molecules):
    assert len(got) == len(molecules)
    for mol, want in zip(got, molecules):
        assert_same_molecule(mol, want)


@settings(max_examples=25, deadline=None)
@given(molecule_sets)
def test_molecules_read_back_unchanged_through_every_codec_and_handle(tmp_path_factory, spec):
    tmp_path = tmp_path_factory.mktemp("roundtrip")
    molecules = molecules_of(spec)
    indices = list(range(len(molecules)))
    for codec in CODECS:
        path = str(tmp_path / f"{codec}.mol")
        writer = PyAtomDatabase(path, codec, level=1)
        writer.add_molecules(molecules[:1])
        writer.add_molecules(molecules[1:])
        assert_all_same(writer.get_molecules(indices), molecules)  # appended, not yet committed
        writer.flush()
        for mmap in (True, False):
            db = PyAtomDatabase.open(path, mmap=mmap)
            assert len(db) == len(molecules)
            assert_all_same([db[i] for i in indices] + [db.get_molecule(i).to_owned() for i in indices], molecules * 2)
            views = db.get_molecules(indices[::-1])
            assert_all_same(views + [pickle.loads(pickle.dumps(got)) for got in views], molecules[::-1] * 2)
        # Views are stored again as they are, into a file of another codec.
        again = str(tmp_path / f"{codec}-again.mol")
        db = PyAtomDatabase(again, CODECS[(CODECS.index(codec) + 1) % 3])
        db.add_molecules(views[::-1])
        db.flush()
        assert_all_same(PyAtomDatabase.open(again).get_molecules(indices), molecules)
    for mol in molecules:
        for duplicate in (pickle.loads(pickle.dumps(mol, protocol=0)), pickle.loads(pickle.dumps(mol)),
                          copy.deepcopy(mol)):
            assert type(duplicate) is PyMolecule and duplicate is not mol
            assert_same_molecule(duplicate, mol)
