"""Round trips: any molecule, with any built-in fields and custom properties of every type tag in
either position width, reads back unchanged through every codec and both handle kinds, through
pickling, and when stored again from its view."""

import copy
import pickle

import numpy as np
from conftest import CODECS, assert_same_molecule
from hypothesis import given, settings
from hypothesis import strategies as st

from molarium._molarium_rs import PyAtomDatabase, PyMolecule

TEXTS = ["", "a", "héllo", "日本語", "x" * 300]


def values(rng, dtype, shape, specials=False):
    if np.dtype(dtype).kind == "i":
        info = np.iinfo(dtype)
        return rng.integers(info.min, info.max, shape, dtype=dtype, endpoint=True)
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
BUILTINS = {
    "energy": lambda r, n, d, s: float(values(r, np.float64, (), s)),
    "forces": lambda r, n, d, s: values(r, d, (n, 3), s),
    "velocities": lambda r, n, d, s: values(r, d, (n, 3), s), "charges": lambda r, n, d, s: values(r, d, n, s),
    "cell": lambda r, n, d, s: values(r, d, (3, 3), s), "stress": lambda r, n, d, s: values(r, d, (3, 3), s),
    "pbc": lambda r, n, d, s: tuple(bool(b) for b in r.integers(0, 2, 3)),
    "name": lambda r, n, d, s: str(r.choice(TEXTS)),
}

molecule_sets = st.fixed_dictionaries({
    "dtype": st.sampled_from([np.float32, np.float64]),
    "builtins": st.sets(st.sampled_from(sorted(BUILTINS))),
    "molecule": st.sets(st.sampled_from(sorted(MOLECULE_KINDS))),
    "atom": st.sets(st.sampled_from(sorted(ATOM_KINDS))),
    "atoms": st.lists(st.integers(0, 6), min_size=1, max_size=4),
    "specials": st.booleans(),
    "seed": st.integers(0, 2**32 - 1),
})


def molecules_of(spec):
    rng = np.random.default_rng(spec["seed"])
    dtype, specials = spec["dtype"], spec["specials"]
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
        for got, mol in zip(writer.get_molecules(indices), molecules):  # appended, not yet committed
            assert_same_molecule(got, mol)
        writer.flush()
        for mmap in (True, False):
            db = PyAtomDatabase.open(path, mmap=mmap)
            assert len(db) == len(molecules)
            for i, mol in enumerate(molecules):
                assert_same_molecule(db[i], mol)
                assert_same_molecule(db.get_molecule(i).to_owned(), mol)
            views = db.get_molecules(indices[::-1])
            for got, mol in zip(views, molecules[::-1]):
                assert_same_molecule(got, mol)
                assert_same_molecule(pickle.loads(pickle.dumps(got)), mol)
        # Views are stored again as they are, into a file of another codec.
        again = str(tmp_path / f"{codec}-again.mol")
        db = PyAtomDatabase(again, CODECS[(CODECS.index(codec) + 1) % 3])
        db.add_molecules(views[::-1])
        db.flush()
        for got, mol in zip(PyAtomDatabase.open(again).get_molecules(indices), molecules):
            assert_same_molecule(got, mol)
    for mol in molecules:
        for duplicate in (pickle.loads(pickle.dumps(mol, protocol=0)), pickle.loads(pickle.dumps(mol)),
                          copy.deepcopy(mol)):
            assert type(duplicate) is PyMolecule and duplicate is not mol
            assert_same_molecule(duplicate, mol)
