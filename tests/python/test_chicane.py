"""The chicane functions on plain numbers and on arrays."""

import math

import numpy as np
import pytest

import zub_feedback as zf

REST_ENERGY = 8.187111168006824e-14  # J, m_e c^2 as the library has it


def test_values_on_plain_numbers():
    # Each argument in its place: the documented values of the functions.
    assert zf.E2gamma(REST_ENERGY) == 1.0
    assert zf.gamma2beta(2.0) == 0.8660254037844386
    assert zf.E2p(REST_ENERGY) == 0.0
    assert zf.chop(5e-5) == 0.0 and zf.chop(1e-4) == 1e-4
    assert zf.B2I(B=3.0, a1=0.5) == 6.0
    alpha = zf.B2alpha(0.5, 1000.0, 0.5)
    assert alpha == pytest.approx(0.07502, abs=1e-5)
    assert zf.alpha2B(alpha, E=1000.0, leff=0.5) == pytest.approx(0.5, rel=1e-14)
    assert zf.alpha2R56(0.05, 0.5, 5.0) == pytest.approx(-0.026742, abs=1e-6)
    assert zf.alpha2x_bc(0.05, leff=0.5, d12=5.0) == pytest.approx(0.27521, abs=1e-5)
    assert zf.alpha2r(0.05, 0.5) == pytest.approx(10.00417, abs=1e-5)
    assert zf.alpha2l_bc(0.0, r=10.0, d12=2.0, d23=3.0) == 7.0
    assert zf.delta_t(7.5, z12=2.0, z23=3.0, leff=0.5) == 0.0
    assert zf.delta_t(8.5, 2.0, 3.0, 0.5) > 0.0
    assert math.isnan(zf.gamma2beta(0.5))
    assert isinstance(zf.alpha2r(0.05, 0.5), float)


def test_arrays_broadcast_and_give_what_numbers_give():
    alpha = np.array([[0.0, -0.0, 0.01], [0.05, 0.1, np.pi / 2]])
    leff = np.float32(0.5)
    for f, rest in ((zf.alpha2R56, (leff, 5.0)), (zf.alpha2x_bc, (leff, 5.0)),
                    (zf.alpha2r, (leff,)), (zf.alpha2l_bc, (3.0, 2.0, 1.0))):
        got = f(alpha, *rest)
        assert got.shape == alpha.shape and got.dtype == np.float64
        want = [f(float(x), *map(float, rest)) for x in alpha.ravel()]
        assert np.array_equal(got.ravel(), want)
    # One array argument against numbers, and lists.
    fields = zf.alpha2B([0.01, 0.02], np.array([[500.0], [1000.0]]), 0.5)
    assert fields.shape == (2, 2)
    assert fields[1, 0] == zf.alpha2B(0.01, 1000.0, 0.5)
    assert np.array_equal(zf.chop(np.array([5e-5, -0.5])), [0.0, -0.5])


def test_text_and_shapes_that_do_not_broadcast_are_refused():
    for call in (lambda: zf.chop("1.0"), lambda: zf.alpha2r(0.1, "0.5"),
                 lambda: zf.B2I(np.array(["1"]), 0.5),
                 lambda: zf.E2p(np.ma.masked_array([1.0], mask=[True]))):
        with pytest.raises(TypeError):
            call()
    with pytest.raises(ValueError):
        zf.alpha2B(np.zeros(3), np.zeros(2), 0.5)
    with pytest.raises(ValueError):
        zf.delta_t(np.zeros((2, 3)), np.zeros((3, 2)), 1.0, 0.5)
