"""The module's matrices: the C++ library's numbers bit for bit, any array of
real numbers taken, refusals as exceptions with the library's messages."""

import numpy as np
import pytest

import zub_feedback as zf
from conftest import SHIPPED_MATRIX, bits


def conditioned(rows, cols, smallest, seed):
    """A float32 matrix whose singular values fall from 1 to `smallest`."""
    rng = np.random.default_rng(seed)
    k = min(rows, cols)
    u, _ = np.linalg.qr(rng.standard_normal((rows, k)))
    v, _ = np.linalg.qr(rng.standard_normal((cols, k)))
    return ((u * np.geomspace(1.0, smallest, k)) @ v.T).astype(np.float32)


# ------------------------------------------------------------ the library's numbers

def test_load_gives_the_files_floats(matrix_file):
    a = conditioned(6, 4, 1e-3, seed=1) * np.float32(1e5)
    got = zf.load(matrix_file(a), 6, 4)
    assert got.dtype == np.float32 and got.shape == (6, 4)
    assert np.array_equal(bits(got), bits(a))


@pytest.mark.parametrize("rows, cols, tol", [
    (None, None, None),   # the shipped beamline: transposed, a zero mode
    (7, 11, 1e-3),        # wide, the caller's tolerance cuts modes
    (12, 5, -1.0),        # tall, -1 asks for the internal tolerance
    (9, 4, 0.0),
])
def test_invert_equals_the_cpp_library(matrix_file, reference, rows, cols, tol):
    if rows is None:
        path, rows, cols = SHIPPED_MATRIX, 24, 12
    else:
        path = matrix_file(conditioned(rows, cols, 1e-5, seed=rows))
    tol = None if tol is None else float(np.float32(tol))
    got = zf.invert(zf.load(path, rows, cols), tol)
    want = reference("invert", path, rows, cols, -1.0 if tol is None else tol)
    assert np.array_equal(bits(got.inverse), bits(want["inverse"]))
    assert np.array_equal(bits(got.singular_values),
                          bits(want["singular_values"]))
    assert got.kept == want["kept"]
    assert bits(got.tolerance) == bits(want["tolerance"][0])
    assert got.inverse.shape == (cols, rows)
    if tol == float(np.float32(1e-3)):
        assert 0 < got.kept < min(rows, cols)


def test_pinv_equals_the_cpp_library(matrix_file, reference):
    a = conditioned(8, 5, 1e-4, seed=3)
    a[0, 0] = 1e-7  # zeroed by the input filter
    path = matrix_file(a)
    tol = float(np.float32(1e-6))
    want = reference("pinv", path, 8, 5, tol)["inverse"]
    assert np.array_equal(bits(zf.pinv(zf.load(path, 8, 5), tol)), bits(want))


def test_products_and_transpose():
    a = np.arange(-6, 6, dtype=np.float32).reshape(3, 4)
    b = np.arange(8, dtype=np.float32).reshape(4, 2)
    # Integers: every sum is exact, so any order of summation agrees.
    assert np.array_equal(zf.multiply(a, b), a @ b)
    c = np.float32([[1.1, -2.3, 1e-30], [3e30, 0.7, 5.0]])
    d = np.float32([[3.3, 4.1, 1e-30], [3e30, -0.9, 0.2]])
    with np.errstate(over="ignore"):  # 3e30 x 3e30 is an infinity in both
        assert np.array_equal(bits(zf.entrywise_product(c, d)), bits(c * d))
    assert np.array_equal(bits(zf.transpose(c)), bits(c.T))


# ------------------------------------------------------------ arrays of every kind

def test_any_real_array_is_taken_as_its_float32_values():
    a64 = conditioned(10, 6, 1e-2, seed=4).astype(np.float64) + 1e-9
    want = zf.invert(np.ascontiguousarray(a64, dtype=np.float32))
    wide = np.zeros((10, 12), order="F")
    wide[:, ::2] = a64
    for a in (a64, np.asfortranarray(a64), wide[:, ::2], a64.T.T):
        got = zf.invert(a)
        assert np.array_equal(bits(got.inverse), bits(want.inverse))
    ints = np.array([[2, 0], [0, 4]], dtype=np.int16)
    assert np.array_equal(zf.invert(ints).inverse, [[0.5, 0], [0, 0.25]])
    assert np.array_equal(zf.transpose([[1, 2, 3]]), [[1], [2], [3]])


@pytest.mark.parametrize("operation", [
    zf.invert, zf.pinv, zf.transpose, lambda a: zf.multiply(a, a),
    lambda a: zf.entrywise_product(np.eye(2), a)])
def test_other_arrays_are_refused_clearly(operation):
    for wrong_shape in (np.float64(1.0), np.zeros(3), np.zeros((2, 2, 2))):
        with pytest.raises(ValueError, match="two-dimensional array, not [013]-"):
            operation(wrong_shape)
    for not_real in (np.eye(2) * 1j, [["a", "b"]], None, [[1.0], [1.0, 2.0]]):
        with pytest.raises(TypeError):
            operation(not_real)


# ------------------------------------------------------------ refusals

def test_refused_files_raise_load_error(matrix_file, tmp_path):
    path = matrix_file(np.ones((3, 2)))
    short = tmp_path / "short.txt"  # the line number counts the comment
    short.write_text("# 3 monitors x 2 correctors\n1 2\n3\n5 6\n")
    cases = [
        (short, 3, 2, "ERROR: line 3 has 1 values, not 2!"),
        (tmp_path / "missing.txt", 3, 2,
         f"ERROR: file {tmp_path / 'missing.txt'} not found!"),
        (path, 4, 2, "ERROR: No. rows (3) do not match no. of monitors (4)!"),
        (path, 3, 5,
         "ERROR: No. columns (2) do not match no. of actuators (5)!"),
    ]
    for where, monitors, correctors, message in cases:
        with pytest.raises(zf.LoadError) as refused:
            zf.load(where, monitors, correctors)
        assert str(refused.value) == message
        assert isinstance(refused.value, zf.Error)
    with pytest.raises(ValueError, match="null byte"):
        zf.load(str(path) + "\0.txt", 3, 2)


def test_refused_inversions_raise_inversion_error():
    cases = [
        (lambda: zf.invert([[1.0, np.inf]]),
         "ERROR: element (0, 1) is not a finite number !"),
        (lambda: zf.invert(np.zeros((0, 3))), "ERROR: cannot invert a 0 x 3 matrix !"),
        (lambda: zf.invert(np.eye(2), np.nan), "ERROR: SVD cut off tolerance is NaN !"),
        (lambda: zf.pinv([[np.nan, 1.0]]), "pinv(): svd failed"),
    ]
    for call, message in cases:
        with pytest.raises(zf.InversionError) as refused:
            call()
        assert str(refused.value) == message


def test_shapes_that_do_not_fit_raise_value_error():
    with pytest.raises(ValueError) as refused:
        zf.multiply(np.ones((2, 3)), np.ones((2, 4)))
    assert str(refused.value) == ("ERROR: Dimension mismatch: dim(this): 2 x 3 "
                                  "dim(A): 2 x 4 dim(B): 2 x 4 ")
    with pytest.raises(ValueError) as refused:
        zf.entrywise_product(np.ones((2, 3)), np.ones((3, 2)))
    assert str(refused.value) == ("ERROR: Dimension mismatch: dim(this): 2 x 3 "
                                  "dim(A): 3 x 2 dim(B): 2 x 3 ")


def test_a_file_refused_at_its_last_line_names_it(tmp_path):
    path = tmp_path / "nan.txt"
    path.write_text("# 3 x 2\n1 2\n3 4\n5 NaN\n")
    with pytest.raises(zf.LoadError) as refused:
        zf.load(path, 3, 2)
    assert refused.value.line == 4
    assert "line 4" in refused.value.detail and "NaN" in refused.value.detail
    assert refused.value.detail in refused.value.__notes__
    assert str(refused.value) == refused.value.message
    assert refused.value.message.startswith("ERROR: ")
    with pytest.raises(zf.LoadError) as refused:
        zf.load(tmp_path / "missing.txt", 3, 2)
    assert refused.value.line == 0


# ------------------------------------------------------------ the fast inverse

def test_svd_inverse_equals_numpys_pinv():
    rng = np.random.default_rng(11)
    low_rank = rng.standard_normal((30, 4)) @ rng.standard_normal((4, 12))
    # Columns four decades apart, and magnitudes whose squares leave double.
    scaled = rng.standard_normal((15, 9)) * np.geomspace(1e-2, 1e2, 9)
    cases = [(rng.standard_normal((20, 8)), None),
             (rng.standard_normal((7, 13)), 1e-3),
             (low_rank, 1e-10), (scaled, None), (scaled.T, 1e-8),
             (scaled * 1e-160, None), (scaled.T * 1e160, None)]
    for a, rcond in cases:
        got = zf.svd_inverse(a, rcond=rcond)
        want = np.linalg.pinv(a, rcond=1e-15 if rcond is None else rcond)
        assert got.inverse.dtype == np.float64
        assert got.inverse.shape == want.shape
        scale = np.abs(want).max()
        assert np.abs(got.inverse - want).max() <= 1e-10 * scale
        s = np.linalg.svd(a, compute_uv=False)
        assert np.allclose(got.singular_values, s, rtol=1e-12, atol=0)
        cut = 1e-15 if rcond is None else rcond
        assert got.kept == np.count_nonzero(s > cut * s[0])
    assert zf.svd_inverse(low_rank, rcond=1e-10).kept == 4
    two = zf.svd_inverse(scaled, keep=2)
    u, s, vt = np.linalg.svd(scaled, full_matrices=False)
    want = (vt[:2].T / s[:2]) @ u[:, :2].T
    assert two.kept == 2
    assert np.abs(two.inverse - want).max() <= 1e-10 * np.abs(want).max()
    with pytest.raises(zf.InversionError):
        zf.svd_inverse([[1.0, np.nan]])


# ------------------------------------------------------------ arguments refused

def test_masks_text_and_wrong_types_are_refused_briefly():
    masked = np.ma.masked_array(np.eye(3), mask=np.eye(3, dtype=bool))
    for call in (zf.invert, zf.pinv, zf.transpose, zf.svd_inverse):
        with pytest.raises(TypeError, match="masked"):
            call(masked)
    big = np.full((200, 100), 1.2345678)
    for call in (lambda: zf.invert(big, "1e-3"), lambda: zf.pinv(big, [1]),
                 lambda: zf.svd_inverse(big, rcond="x")):
        with pytest.raises(TypeError) as refused:
            call()
        assert len(str(refused.value)) < 100
    with pytest.raises(TypeError):
        zf.transpose("12")
