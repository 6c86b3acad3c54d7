"""The RF column and the measurement of a response matrix: the split
solution against numpy's least squares, a measured matrix of a noisy
simulated machine against the true one within its error bars, and the
samples of docs/measurement.md (an exact recovery of zero-sum kicks and an
energy error)."""

import re

import numpy as np
import pytest

import zub_feedback as zf
from conftest import SOURCE_DIR

# ------------------------------------------------------------ the RF column


@pytest.mark.parametrize("sum_weight", [None, 0.3, 5.0])
@pytest.mark.parametrize("rf_weight", [None, 0.05, 40.0])
def test_rf_split_is_the_least_squares_solution(rf_weight, sum_weight):
    rng = np.random.default_rng(7)
    R, d = rng.standard_normal((20, 8)), rng.standard_normal(20)
    eta = rng.standard_normal(20) * 3.0 + 1.0
    aug = zf.augment_rf(R, eta, rf_weight=rf_weight, sum_weight=sum_weight)
    solution = np.linalg.pinv(aug.matrix) @ zf.augment_deviation(aug, d)
    changes, rf_change = zf.split_rf(aug, solution)
    # min |R x + eta f - d|^2 + (sum_weight sum(x))^2 in the correctors' and
    # the dispersion's own units: the RF weight only scales f, so every
    # weight must give this one minimum.
    n = R.shape[1]
    A, b = np.column_stack([R, eta]), d
    if sum_weight is not None:
        A = np.vstack([A, np.append(np.full(n, sum_weight), 0.0)])
        b = np.append(d, 0.0)
    want = np.linalg.lstsq(A, b, rcond=None)[0]
    np.testing.assert_allclose(changes, want[:n], rtol=1e-9, atol=1e-12)
    assert rf_change == pytest.approx(want[n], rel=1e-9)
    assert aug.automatic_rf_weight == (rf_weight is None)
    if rf_weight is None:
        assert np.linalg.norm(aug.rf_weight * eta) == pytest.approx(
            np.mean(np.linalg.norm(R, axis=0)), rel=1e-12)


# ------------------------------------------------------------ measurement


def measure(R, kick, settle, orbits, sigma, rng, nan_at_cycle=None):
    """Drives the procedure as a server does, on a machine whose orbit
    follows a new setting only after `settle` cycles and scatters by sigma.
    Returns the procedure when done and the correctors' final settings."""
    monitors, correctors = R.shape
    base = rng.uniform(-1.0, 1.0, correctors)
    setting = base.copy()
    before, since = base.copy(), settle
    own_orbit = rng.standard_normal(monitors)
    m = zf.ResponseMeasurement(monitors, correctors, kick,
                               settle_cycles=settle, orbits=orbits)
    cycle = 0
    while not m.done:
        felt = setting if since >= settle else before
        orbit = own_orbit + R @ (felt - base) + sigma * rng.standard_normal(
            monitors)
        since += 1
        if cycle == nan_at_cycle:
            bad = orbit.copy()
            bad[3] = np.nan
            with pytest.raises(ValueError, match=r"monitor 3 .*corrector \d"):
                m.add_orbit(bad)
        if m.wants_orbit:
            m.add_orbit(orbit)
        snapshot = setting.copy()
        while not m.wants_orbit and not m.done:
            a = m.next()
            setting[a.corrector] = base[a.corrector] + a.offset
            before, since = snapshot, 0
        cycle += 1
    return m, setting - base


def test_measured_matrix_lies_within_its_error_bars():
    rng = np.random.default_rng(2024)
    monitors, correctors, orbits, sigma = 40, 20, 50, 0.05
    R = rng.standard_normal((monitors, correctors))
    kicks = rng.uniform(0.2, 1.0, correctors) * rng.choice([-1, 1], correctors)
    m, moved = measure(R, kicks, settle=2, orbits=orbits, sigma=sigma,
                       rng=rng, nan_at_cycle=100)
    assert not moved.any()  # every corrector back at its base
    error = m.standard_error
    within = np.abs(m.matrix - R) <= 3.0 * error
    assert within.mean() >= 0.99
    # Each mean of n orbits scatters by sigma / sqrt(n): an element by
    # sigma / (|kick| sqrt(2 n)).
    expected = sigma / (np.abs(kicks) * np.sqrt(2.0 * orbits))
    assert np.mean(error / expected) == pytest.approx(1.0, abs=0.03)


# ------------------------------------------------------------ the page


def test_the_python_samples_of_the_page_run(monkeypatch, capsys):
    text = (SOURCE_DIR / "docs" / "measurement.md").read_text()
    samples = re.findall(
        r"```python\n(.*?)```(?:\n\nprints\n\n```\n(.*?)```)?", text, re.S)
    assert samples
    monkeypatch.chdir(SOURCE_DIR)
    for code, shown in samples:
        exec(compile(code, "docs/measurement.md", "exec"), {})
        printed = capsys.readouterr().out
        if shown:
            assert printed == shown
