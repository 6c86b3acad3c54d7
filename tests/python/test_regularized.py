"""The module's regularised inverse against numpy: Tikhonov against the
damped normal equations, truncation against numpy.linalg.pinv; its
refusals as the other inverses raise them."""

import numpy as np
import pytest

import zub_feedback as zf


def test_tikhonov_solves_the_damped_normal_equations():
    rng = np.random.default_rng(5)
    for a in (rng.standard_normal((12, 7)), rng.standard_normal((6, 10)),
              np.diag([1e3, 1.0, 1e-3]) @ rng.standard_normal((3, 3))):
        for alpha in (0.05, 1.0, 4.0):
            got = zf.regularized_inverse(a, tikhonov=alpha)
            n = a.shape[1]
            want = np.linalg.solve(a.T @ a + alpha**2 * np.eye(n), a.T)
            assert got.inverse.dtype == np.float64
            assert got.inverse.shape == want.shape
            # The normal equations lose the accuracy of their own
            # condition, at most |a|_F^2 / alpha^2 + 1.
            bound = (np.linalg.norm(a) / alpha)**2 + 1
            assert np.abs(got.inverse - want).max() <= \
                10 * bound * np.finfo(float).eps * np.abs(want).max()
            s = np.linalg.svd(a, compute_uv=False)
            assert np.allclose(got.singular_values, s, rtol=1e-12, atol=0)
            assert np.allclose(got.filter_factors, s**2 / (s**2 + alpha**2),
                               rtol=1e-12, atol=0)
            assert got.kept == len(s)
            assert got.condition == pytest.approx(s[0] / s[-1], rel=1e-12)
            d = s / (s**2 + alpha**2)
            assert got.effective_condition == \
                pytest.approx(d.max() / d.min(), rel=1e-12)


def test_equals_the_filtered_svd_of_numpy():
    rng = np.random.default_rng(11)
    rank3 = rng.standard_normal((9, 3)) @ rng.standard_normal((3, 6))
    cases = {
        "random": rng.standard_normal((14, 8)),
        "rank 3 of 6": rank3,
        "rows 1e6 apart": np.diag(np.logspace(-3, 3, 7)) @ rng.standard_normal((7, 5)),
    }
    for name, a in cases.items():
        u, s, vt = np.linalg.svd(a, full_matrices=False)
        gains = np.linspace(1.0, 0.5, len(s))
        for options in ({"tikhonov": 0.3 * s[0]}, {"tikhonov_mode": 2},
                        {"rcond": 1e-9, "tikhonov": 1e-2 * s[0]},
                        {"keep": 3, "mode_gains": gains}):
            alpha = options.get("tikhonov", 0.0)
            if "tikhonov_mode" in options:
                alpha = s[options["tikhonov_mode"]]
            kept = s > options.get("rcond", 0.0) * s[0]
            kept[options.get("keep", len(s)):] = False
            g = options.get("mode_gains", np.ones(len(s)))
            d = np.where(kept, g * s / (s**2 + alpha**2), 0.0)
            want = vt.T @ np.diag(d) @ u.T
            got = zf.regularized_inverse(a, **options)
            assert got.kept == np.count_nonzero(kept), (name, options)
            assert np.abs(got.inverse - want).max() <= \
                1e-10 * np.abs(want).max(), (name, options)


def test_truncation_equals_numpys_pinv():
    rng = np.random.default_rng(8)
    a = rng.standard_normal((15, 9)) * np.geomspace(1e-3, 1.0, 9)
    s = np.linalg.svd(a, compute_uv=False)
    for rcond in (1e-15, 1e-2, 0.3):
        got = zf.regularized_inverse(a, rcond=rcond)
        want = np.linalg.pinv(a, rcond=rcond)
        assert got.kept == np.count_nonzero(s > rcond * s[0])
        assert np.abs(got.inverse - want).max() <= 1e-10 * np.abs(want).max()
        assert got.effective_condition == pytest.approx(got.condition)
    # keep=k is pinv with the cut just below the k-th singular value.
    got = zf.regularized_inverse(a, keep=4)
    want = np.linalg.pinv(a, rcond=(s[3] + s[4]) / 2 / s[0])
    assert got.kept == 4
    assert np.abs(got.inverse - want).max() <= 1e-10 * np.abs(want).max()
    assert list(got.filter_factors) == [1.0] * 4 + [0.0] * 5


def test_tikhonov_mode_and_gains():
    a = np.diag([4.0, 2.0, 1.0])
    got = zf.regularized_inverse(a, tikhonov_mode=1, mode_gains=[1, 0.5, 0])
    assert got.tikhonov == 2.0
    assert got.kept == 2
    assert np.allclose(got.filter_factors, [0.8, 0.25, 0.0])
    assert np.allclose(np.diag(got.inverse), [0.2, 0.125, 0.0])
    assert "kept 2 of 3" in repr(got)


def test_refusals_raise_the_inversion_error():
    a = np.eye(2)
    # The core's refusals, its messages checked in C++.
    for kwargs, text in (
            (dict(tikhonov=-1.0), "Tikhonov parameter -1"),
            (dict(tikhonov=0.5, tikhonov_mode=0), "both"),
            (dict(mode_gains=[1.0]), "1 mode gains for 2")):
        with pytest.raises(zf.InversionError, match=text):
            zf.regularized_inverse(a, **kwargs)
    with pytest.raises(zf.InversionError, match="not a finite number"):
        zf.regularized_inverse([[1.0, np.nan]], tikhonov=1.0)
    with pytest.raises(ValueError, match="keep must not be negative"):
        zf.regularized_inverse(a, keep=-1)
    with pytest.raises(TypeError, match="masked"):
        zf.regularized_inverse(np.ma.masked_array(a, mask=a > 0))
    with pytest.raises(TypeError):
        zf.regularized_inverse(a, mode_gains=[[1.0, 1.0]])
