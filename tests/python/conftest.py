"""What the Python module's tests share: paths, matrix files and the
library's own results through C++ alone (reference_inversion)."""

import os
import pathlib
import subprocess

import numpy as np
import pytest

SOURCE_DIR = pathlib.Path(
    os.environ.get("ZUB_SOURCE_DIR", pathlib.Path(__file__).parents[2]))
SHIPPED_MATRIX = SOURCE_DIR / "examples" / "data" / "beamline_24x12.txt"


@pytest.fixture
def matrix_file(tmp_path):
    """Writes a float32 matrix as a response-matrix file; nine significant
    digits read back as the same floats."""
    def write(a, name="matrix.txt"):
        path = tmp_path / name
        np.savetxt(path, np.asarray(a, dtype=np.float32), fmt="%.9g")
        return path
    return write


def _floats(words):
    return np.array([float.fromhex(w) for w in words], dtype=np.float32)


@pytest.fixture
def reference():
    """reference(kind, path, rows, cols, tol): what the C++ library computes
    for the file, as a dict (tolerance, kept, singular_values, inverse)."""
    def run(kind, path, rows, cols, tol):
        out = subprocess.run(
            [os.environ["ZUB_REFERENCE_INVERSION"], kind, str(path),
             str(rows), str(cols), repr(float(tol))],
            check=True, capture_output=True, text=True).stdout.splitlines()
        result = {}
        while not out[0].startswith("inverse"):
            key, *words = out.pop(0).split()
            result[key] = int(words[0]) if key == "kept" else _floats(words)
        n, m = map(int, out.pop(0).split()[1:])
        result["inverse"] = np.array([_floats(line.split()) for line in out],
                                     dtype=np.float32).reshape(n, m)
        return result
    return run


def bits(a):
    """The float32 bit patterns: equal only when bit for bit equal, -0.0
    and NaN included."""
    return np.asarray(a, dtype=np.float32).view(np.uint32)
