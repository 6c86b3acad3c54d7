"""weighted_inverse: invert of a matrix with monitors and correctors
weighted or left out, against numpy's pseudo-inverse."""

import numpy as np
import pytest

import zub_feedback as zf


def random_response(rows, cols, seed):
    return np.random.default_rng(seed).standard_normal(
        (rows, cols)).astype(np.float32)


def close(got, want, rtol=1e-5):
    return np.abs(got - want).max() <= rtol * np.abs(want).max()


def test_weights_of_one_are_invert_bit_for_bit():
    r = random_response(9, 5, seed=3)
    for tol in (None, 1e-2):
        want = zf.invert(r, tol)
        for got in (zf.weighted_inverse(r, tol=tol),
                    zf.weighted_inverse(r, np.ones(9), [1] * 5, tol=tol)):
            assert got.inverse.dtype == np.float32
            assert np.array_equal(got.inverse, want.inverse)
            assert np.array_equal(got.singular_values, want.singular_values)
            assert (got.kept, got.tolerance) == (want.kept, want.tolerance)


def test_left_out_rows_and_columns_are_the_smaller_inverse_in_place(tmp_path):
    r = random_response(7, 5, seed=5)
    monitors, correctors = [0, 1, 3, 4, 5, 6], [0, 2, 3, 4]  # 2 and 1 out
    want = np.zeros((5, 7))
    want[np.ix_(correctors, monitors)] = np.linalg.pinv(
        r[np.ix_(monitors, correctors)].astype(np.float64))
    by_index = zf.weighted_inverse(r, exclude_monitors=[2],
                                   exclude_correctors=[1])
    assert close(by_index.inverse, want)
    assert not by_index.inverse[1].any() and not by_index.inverse[:, 2].any()
    # The same as weights of 0, and by name on a NamedMatrix.
    zero_m, zero_c = np.ones(7), np.ones(5)
    zero_m[2] = zero_c[1] = 0
    by_weight = zf.weighted_inverse(r, zero_m, zero_c)
    path = tmp_path / "named.txt"
    zf.write_matrix(path, r, monitors=[f"BPM{i}" for i in range(7)],
                    correctors=[f"HC{j}" for j in range(5)])
    by_name = zf.weighted_inverse(zf.read_matrix(path),
                                  exclude_monitors=["BPM2"],
                                  exclude_correctors=["HC1"])
    for got in (by_weight, by_name):
        assert np.array_equal(got.inverse, by_index.inverse)
    # Given weights are kept for the others, an excluded one gets 0.
    w = np.linspace(0.5, 2.0, 7)
    both = zf.weighted_inverse(r, w, exclude_monitors=[2],
                               exclude_correctors=[1])
    assert np.array_equal(both.inverse,
                          zf.weighted_inverse(r, w * zero_m, zero_c).inverse)


def test_monitor_weights_give_the_weighted_least_squares_solution():
    r = random_response(12, 4, seed=8)
    wm = np.random.default_rng(9).uniform(0.2, 3.0, 12).astype(np.float32)
    want = np.linalg.pinv(wm[:, None] * r.astype(np.float64)) * wm
    got = zf.weighted_inverse(r, monitor_weights=wm)
    assert close(got.inverse, want, rtol=1e-4)
    assert got.kept == 4
    assert np.allclose(got.singular_values,
                       np.linalg.svd(wm[:, None] * r, compute_uv=False),
                       rtol=1e-5)


def test_refusals(tmp_path):
    r = random_response(4, 3, seed=1)
    path = tmp_path / "named.txt"
    zf.write_matrix(path, r, monitors=["a", "b", "c", "d"])
    for kwargs, text in (
            (dict(monitor_weights=[1, 1, 1]), "3 monitor weights for 4"),
            (dict(corrector_weights=[1, -1, 1]), "corrector 1 is -1"),
            (dict(corrector_weights=[1, np.nan, 1]), "corrector 1 is nan"),
            (dict(exclude_monitors=[4]), "no monitor 4"),
            (dict(exclude_correctors=[3]), "no corrector 3"),
            (dict(tol=np.nan), "NaN")):
        with pytest.raises(zf.InversionError, match=text):
            zf.weighted_inverse(r, **kwargs)
    with pytest.raises(zf.InversionError, match="no monitor is named"):
        zf.weighted_inverse(zf.read_matrix(path), exclude_monitors=["nowhere"])
    with pytest.raises(TypeError):
        zf.weighted_inverse(r, exclude_monitors=["BPM0"])  # no names
    with pytest.raises(ValueError, match="must not be negative"):
        zf.weighted_inverse(r, exclude_correctors=[-1])
