"""Seeded synthetic datasets shaped like the training sets users store: concatenated per-atom arrays."""

from dataclasses import dataclass, field

import numpy as np

# Elements of organic and inorganic training sets, drawn uniformly.
ELEMENTS = np.array([1, 6, 7, 8, 9, 14, 15, 16, 17, 26, 29, 79], dtype=np.uint8)

# Custom property keys: one value per atom (float32) and one 3 by 3 float64 matrix per molecule.
ATOM_FEATURE = "atom_feature"
MOLECULE_TENSOR = "polarizability"


@dataclass
class Dataset:
    """Every molecule's fields, concatenated in molecule order; molecule i owns atoms
    offsets[i] to offsets[i + 1]."""

    name: str
    n_atoms: np.ndarray  # (n,) int64
    offsets: np.ndarray  # (n + 1,) int64
    positions: np.ndarray  # (T, 3) float32
    atomic_numbers: np.ndarray  # (T,) uint8
    forces: np.ndarray  # (T, 3) float32
    energy: np.ndarray  # (n,) float64
    periodic: dict = field(default_factory=dict)  # "cell" (n,3,3) f64, "pbc" (n,3) bool, "stress" (n,3,3) f64
    custom: bool = False
    atom_feature: np.ndarray | None = None  # (T,) float32
    molecule_tensor: np.ndarray | None = None  # (n, 3, 3) float64
    _groups: list | None = None

    def __len__(self):
        return len(self.n_atoms)

    @property
    def total_atoms(self):
        return int(self.offsets[-1])

    def atoms(self, i):
        return slice(int(self.offsets[i]), int(self.offsets[i + 1]))

    def per_atom_fields(self):
        """(key, array) of every per-atom field, in the order batch reads return them."""
        fields = [("positions", self.positions), ("atomic_numbers", self.atomic_numbers), ("forces", self.forces)]
        if self.custom:
            fields.append((ATOM_FEATURE, self.atom_feature))
        return fields

    def per_molecule_fields(self):
        """(key, array) of every per-molecule field."""
        fields = [("energy", self.energy)]
        fields += list(self.periodic.items())
        if self.custom:
            fields.append((MOLECULE_TENSOR, self.molecule_tensor))
        return fields

    def payload_bytes(self):
        """Bytes of every field of every molecule, as a batch read returns them."""
        return sum(a.nbytes for _, a in self.per_atom_fields() + self.per_molecule_fields()) + 4 * len(self)

    def expected_batch(self, indices):
        """The concatenated fields of the selected molecules, computed by NumPy alone."""
        indices = np.asarray(indices)
        out = {"n_atoms": self.n_atoms[indices]}
        for key, array in self.per_atom_fields():
            out[key] = np.concatenate([array[self.atoms(i)] for i in indices])
        for key, array in self.per_molecule_fields():
            out[key] = array[indices]
        return out

    def groups_by_atom_count(self):
        """[(molecule indices in dataset order, stacked fields)] per distinct atom count, ascending:
        the input that stacked-array ingestion takes. Built once and cached."""
        if self._groups is None:
            self._groups = []
            for count in np.unique(self.n_atoms):
                members = np.flatnonzero(self.n_atoms == count)
                atom_index = (self.offsets[members][:, None] + np.arange(count)[None, :]).reshape(-1)
                stacked = {}
                for key, array in self.per_atom_fields():
                    stacked[key] = np.ascontiguousarray(array[atom_index].reshape((len(members), count) + array.shape[1:]))
                for key, array in self.per_molecule_fields():
                    stacked[key] = np.ascontiguousarray(array[members])
                self._groups.append((members, stacked))
        return self._groups

    def prefix(self, count):
        """The first `count` molecules as a dataset of their own."""
        end = int(self.offsets[count])
        return Dataset(
            name=f"{self.name}[:{count}]",
            n_atoms=self.n_atoms[:count],
            offsets=self.offsets[: count + 1],
            positions=self.positions[:end],
            atomic_numbers=self.atomic_numbers[:end],
            forces=self.forces[:end],
            energy=self.energy[:count],
            periodic={key: value[:count] for key, value in self.periodic.items()},
            custom=self.custom,
            atom_feature=None if self.atom_feature is None else self.atom_feature[:end],
            molecule_tensor=None if self.molecule_tensor is None else self.molecule_tensor[:count],
        )


def _base(name, rng, count, min_atoms, max_atoms):
    n_atoms = rng.integers(min_atoms, max_atoms + 1, size=count).astype(np.int64)
    offsets = np.zeros(count + 1, dtype=np.int64)
    np.cumsum(n_atoms, out=offsets[1:])
    total = int(offsets[-1])
    return Dataset(
        name=name,
        n_atoms=n_atoms,
        offsets=offsets,
        positions=(rng.standard_normal((total, 3), dtype=np.float32) * 4.0),
        atomic_numbers=rng.choice(ELEMENTS, size=total),
        forces=rng.standard_normal((total, 3), dtype=np.float32),
        energy=rng.normal(-400.0, 50.0, size=count),
    )


def molecular(count, seed=1):
    """Small molecules of 5 to 60 atoms: positions, atomic numbers, energy, forces."""
    return _base("molecular", np.random.default_rng(seed), count, 5, 60)


def periodic(count, seed=2):
    """Periodic structures of 50 to 200 atoms, with cell, pbc and stress besides."""
    rng = np.random.default_rng(seed)
    data = _base("periodic", rng, count, 50, 200)
    lengths = rng.uniform(8.0, 20.0, size=(count, 3))
    cell = np.zeros((count, 3, 3))
    cell[:, [0, 1, 2], [0, 1, 2]] = lengths
    cell += rng.normal(0.0, 0.3, size=(count, 3, 3))
    stress = rng.normal(0.0, 0.01, size=(count, 3, 3))
    data.periodic = {
        "cell": cell,
        "pbc": np.ones((count, 3), dtype=bool),
        "stress": (stress + stress.transpose(0, 2, 1)) / 2,  # stress tensors are symmetric
    }
    return data


def with_custom(count, seed=3):
    """The molecular shape with a per-atom float32 array and a per-molecule 3 by 3 float64 tensor."""
    rng = np.random.default_rng(seed)
    data = _base("custom", rng, count, 5, 60)
    data.custom = True
    data.atom_feature = rng.standard_normal(data.total_atoms, dtype=np.float32)
    data.molecule_tensor = rng.standard_normal((count, 3, 3))
    return data
