"""The orbit loop and the corrector limits from Python, on simulated linear
machines whose inverse numpy computes."""

import numpy as np
import pytest

import zub_feedback as zf


class Machine:
    """readings = response @ settings + orbit + noise."""

    def __init__(self, response, orbit, noise, seed=1):
        self.response, self.orbit, self.noise = response, orbit, noise
        self.rng = np.random.default_rng(seed)

    def read(self, settings):
        return (self.response @ settings + self.orbit
                + self.rng.normal(0.0, self.noise, len(self.orbit)))


def simulated(seed, monitors=40, correctors=20, calibration_error=0.1):
    rng = np.random.default_rng(seed)
    model = rng.standard_normal((monitors, correctors))
    true = model * (1 + calibration_error * rng.standard_normal(model.shape))
    orbit = true @ rng.uniform(-2, 2, correctors)  # correctable
    return np.linalg.pinv(model), true, orbit


def run(loop, machine, settings, steps):
    results = []
    for _ in range(steps):
        r = loop.step(machine.read(settings), settings)
        settings = settings + r.delta
        results.append(r)
    return results, settings


@pytest.mark.parametrize("seed, gain, integral_gain, noise_floor, deadband",
                         [(1, 0.5, 0.0, 0.0, 0.0), (2, 0.8, 0.05, 0.0, 0.0),
                          (3, 0.3, 0.0, 1e-3, 2e-3)])
def test_closed_loop_converges_within_its_limits(seed, gain, integral_gain,
                                                 noise_floor, deadband):
    inverse, true, orbit = simulated(seed)
    n = inverse.shape[0]
    noise = 1e-3
    loop = zf.OrbitLoop(inverse, gain=gain, integral_gain=integral_gain,
                        integral_limit=0.05, lower=np.full(n, -2.5),
                        upper=np.full(n, 2.5), max_step=np.full(n, 0.2),
                        deadband=deadband, noise_floor=noise_floor)
    results, settings = run(loop, Machine(true, orbit, noise, seed),
                            np.zeros(n), 400)
    statuses = [r.status for r in results]
    # Limited at first, then at the noise: applied each step, or in the
    # dead-band; never holding.
    assert statuses[0] == "limited"
    assert set(statuses[50:]) == {"deadband" if deadband else "applied"}
    assert np.all(np.abs(settings) <= 2.5)
    # The rms of 40 readings of noise 1e-3, give or take the loop's own.
    assert max(r.rms for r in results[-300:]) < 2 * noise


@pytest.mark.parametrize("gain, noise_floor, within",
                         [(0.5, 1e-3, 0), (0.3, 1e-3, 0), (0.5, 0.0, 4)])
def test_sign_flipped_machine_holds_and_moves_nothing_after(gain, noise_floor,
                                                           within):
    inverse, true, orbit = simulated(4)
    n = inverse.shape[0]
    loop = zf.OrbitLoop(inverse, gain=gain, noise_floor=noise_floor,
                        diverge_cycles=5)
    results, _ = run(loop, Machine(-true, orbit, 1e-3), np.zeros(n), 40)
    statuses = [r.status for r in results]
    held = statuses.index("holding")
    assert 5 <= held <= 5 + within
    assert set(statuses[held:]) == {"holding"}
    assert all(not r.delta.any() for r in results[held:])
    assert "grew" in results[held].reason
    loop.reset()
    assert not loop.holding


def test_nan_reading_is_refused_naming_the_monitor():
    inverse, true, orbit = simulated(5, monitors=8, correctors=4)
    loop = zf.OrbitLoop(inverse)
    machine = Machine(true, orbit, 1e-3)
    readings = machine.read(np.zeros(4))
    readings[6] = np.nan
    r = loop.step(readings, np.zeros(4))
    assert (r.status, r.index) == ("refused", 6)
    assert r.reason == "monitor 6: reading nan is not finite"
    assert not r.delta.any()
    assert loop.step(machine.read(np.zeros(4)), np.zeros(4)).status == "applied"
    # Left out, the same monitor is neither checked nor used.
    masked = zf.OrbitLoop(inverse, monitor_mask=np.arange(8) == 6)
    assert masked.step(readings, np.zeros(4)).status == "applied"


@pytest.mark.parametrize("current, step, limits, want, scale, binding", [
    # At its lower limit, a corrector moving further down blocks the step.
    ([-1.0, 0.0], [-0.5, 0.5], dict(lower=[-1, -1], upper=[1, 1]),
     [0.0, 0.0], 0.0, [0]),
    # Moving down towards its lower limit: the step is halved, signs kept.
    ([0.0, 0.0], [-2.0, 1.0], dict(lower=[-1, -1], upper=[1, 1]),
     [-1.0, 0.5], 0.5, [0]),
    ([0.0, 0.0], [-2.0, 1.0], dict(max_step=[4.0, 0.25]),
     [-0.5, 0.25], 0.25, [1]),
    ([0.0], [7.0], {}, [7.0], 1.0, []),
])
def test_limit_step(current, step, limits, want, scale, binding):
    limited, s, bound = zf.limit_step(current, step, **limits)
    assert limited.dtype == np.float64 and np.array_equal(limited, want)
    assert (s, list(bound)) == (scale, binding)


def test_refusals_are_value_errors_naming_the_element():
    with pytest.raises(ValueError, match="corrector 1: lower limit 2 above"):
        zf.limit_step([0, 0], [1, 1], lower=[0, 2], upper=[1, 1])
    with pytest.raises(ValueError, match="gain 0 is not within"):
        zf.OrbitLoop(np.eye(2), gain=0.0)
    loop = zf.OrbitLoop(np.eye(2))
    with pytest.raises(ValueError, match="2 x 3, not 2 x 2"):
        loop.set_inverse(np.zeros((2, 3)))
    with pytest.raises(TypeError):
        loop.step(["a", "b"], [0, 0])


def test_a_saturated_corrector_is_left_out_for_good():
    r = np.random.default_rng(11).standard_normal((6, 3)).astype(np.float32)
    mask = [True] + [False] * 5  # monitor 0 out
    loop = zf.OrbitLoop(zf.invert(r).inverse, lower=[-10, -1, -10],
                        upper=[10, 1, 10], saturation_cycles=2,
                        stale_cycles=0, monitor_mask=mask)
    # Corrector 1 at its upper limit, the orbit asking for more of it.
    settings = np.array([0.0, 1.0, 0.0])
    readings = -r.astype(np.float64) @ [0.0, 1.0, 0.0]
    for _ in range(2):
        assert loop.step(readings, settings).status == "limited"
    assert list(loop.saturated) == [1]
    with pytest.raises(ValueError, match="3 x 6, not 6 x 3"):
        loop.leave_out_saturated(r.T)
    left_out = loop.leave_out_saturated(r)
    assert left_out.dtype == loop.saturated.dtype and list(left_out) == [1]
    # Now the inverse of r without monitor 0 and corrector 1, in its place.
    k = np.zeros((3, 6))
    k[np.ix_([0, 2], range(1, 6))] = np.linalg.pinv(
        r[np.ix_(range(1, 6), [0, 2])].astype(np.float64))
    got = loop.step(readings, settings)
    assert got.status == "applied" and got.delta[1] == 0.0
    want = -0.5 * k @ readings
    assert np.abs(got.delta - want).max() <= 1e-5 * np.abs(want).max()
