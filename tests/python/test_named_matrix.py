"""Named matrix files: read_matrix and write_matrix, the names and metadata
of a file's leading comment lines, the values as load reads them."""

import numpy as np
import pytest

import zub_feedback as zf
from conftest import bits


def random_floats(rows, cols, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((rows, cols)) *
            10.0 ** rng.integers(-30, 30, (rows, cols))).astype(np.float32)


def test_round_trip_bit_for_bit_and_load_reads_it(tmp_path):
    a = random_floats(5, 3, seed=1)
    path = tmp_path / "named.txt"
    meta = {"unit": "mm/mrad", "plane": "y", "date": "2026-12-09",
            "machine": "ring"}
    zf.write_matrix(path, a, monitors=[f"BPM.{i}" for i in range(5)],
                    correctors=("HC.0", "HC.1", "HC.2"), metadata=meta)
    got = zf.read_matrix(path)
    assert got.values.dtype == np.float64 and got.values.shape == (5, 3)
    assert np.array_equal(bits(got.values), bits(a))
    assert got.monitors == [f"BPM.{i}" for i in range(5)]
    assert got.correctors == ["HC.0", "HC.1", "HC.2"]
    assert list(got.metadata.items()) == list(meta.items())
    # The property's loader skips the names.
    assert np.array_equal(bits(zf.load(path, 5, 3)), bits(a))
    text = path.read_text().splitlines()
    assert text[:4] == ["# unit: mm/mrad", "# plane: y", "# date: 2026-12-09",
                        "# machine: ring"]


def test_plain_file_reads_without_names(tmp_path):
    path = tmp_path / "plain.txt"
    zf.write_matrix(path, [[1, 2], [3, 4.5]])
    assert path.read_text() == "1 2\n3 4.5\n"
    got = zf.read_matrix(str(path))
    assert got.monitors == [] and got.correctors == [] and got.metadata == {}
    assert got.values.tolist() == [[1, 2], [3, 4.5]]


def test_to_pandas(tmp_path):
    pd = pytest.importorskip("pandas")
    path = tmp_path / "named.txt"
    zf.write_matrix(path, [[1, 2], [3, 4]], monitors=["B1", "B2"],
                    correctors=["C1", "C2"])
    frame = zf.read_matrix(path).to_pandas()
    assert isinstance(frame, pd.DataFrame)
    assert list(frame.index) == ["B1", "B2"]
    assert list(frame.columns) == ["C1", "C2"]
    assert frame.loc["B2", "C1"] == 3
    zf.write_matrix(path, [[1, 2], [3, 4]])
    plain = zf.read_matrix(path).to_pandas()
    assert list(plain.index) == [0, 1] and list(plain.columns) == [0, 1]


@pytest.mark.parametrize("text, line, detail", [
    ("# monitors: A B C\n1 2\n3 4\n", 1,
     "line 1 names 3 monitors; the file holds 2 data lines (rows)"),
    ("1 2\n# correctors: X Y\n", 2, 'line 2: "correctors:" stands after the '
     "first data line (line 1); names go before the data"),
    ("1 2\n3 x y\n5 6\n", 2, None),  # the numbers as load reads them
])
def test_read_refusals_are_load_errors(tmp_path, text, line, detail):
    path = tmp_path / "bad.txt"
    path.write_text(text)
    with pytest.raises(zf.LoadError) as e:
        zf.read_matrix(path)
    assert e.value.line == line
    if detail is not None:
        assert e.value.detail == detail


def test_write_refusals(tmp_path):
    path = tmp_path / "out.txt"
    a = np.ones((2, 2))
    with pytest.raises(ValueError, match="1 monitor names for 2 monitors"):
        zf.write_matrix(path, a, monitors=["A"])
    with pytest.raises(ValueError, match="holds a blank"):
        zf.write_matrix(path, a, correctors=["A B", "C"])
    with pytest.raises(ValueError, match="line break"):
        zf.write_matrix(path, a, metadata={"note": "a\nb"})
    with pytest.raises(ValueError, match=r"1e\+300, which load_file would not read back"):
        zf.write_matrix(path, [[1e300]])
    with pytest.raises(TypeError):
        zf.write_matrix(path, a, monitors="AB")
    assert not path.exists()
    with pytest.raises(OSError):
        zf.write_matrix(tmp_path / "no" / "such" / "dir.txt", a)
