"""Checks, before anything is timed, that a system's batch read returns exactly the selected molecules."""

import numpy as np
from ase.stress import full_3x3_to_voigt_6_stress


def check_batch(system_name, expected, got):
    """Raises AssertionError naming the system and field when a value differs. Dtypes may differ
    (ASE widens to float64); values may not."""
    for key, want in expected.items():
        if key not in got:
            raise AssertionError(f"{system_name}: batch read lacks '{key}'")
        value = np.asarray(got[key])
        if key == "stress" and value.shape[-1] == 6:  # ASE keeps stress in Voigt order
            want = np.stack([full_3x3_to_voigt_6_stress(m) for m in want])
        if key == "cell":
            value = value.reshape(want.shape)
        if value.shape != want.shape or not np.array_equal(value, want):
            raise AssertionError(f"{system_name}: '{key}' differs from the data written")
