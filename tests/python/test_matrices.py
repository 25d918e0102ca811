"""The three view matrices, entry by entry, bit for bit."""
import math

import numpy as np
import pytest

from conftest import P, assert_bits_equal

INF = math.inf
NAN = math.nan


def world_ref(xmin, xmax, ymin, ymax, zmin, zmax, aspect=None):
    dx, dy, dz = xmax - xmin, ymax - ymin, zmax - zmin
    if aspect is not None and len(aspect) == 3:
        dx, dy, dz = dx / aspect[0], dy / aspect[1], dz / aspect[2]
    return [
        [1.0 / dx, 0.0, 0.0, -xmin / dx],
        [0.0, 1.0 / dy, 0.0, -ymin / dy],
        [0.0, 0.0, 1.0 / dz, -zmin / dz],
        [0.0, 0.0, 0.0, 1.0],
    ]


def ieee_div(a, b):
    """Division with IEEE results where Python would raise."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def persp_ref(zfront, zback, f):
    d = zfront - zback
    return [
        [f, 0.0, 0.0, 0.0],
        [0.0, f, 0.0, 0.0],
        [0.0, 0.0, ieee_div(zfront + zback, d), ieee_div((zfront * zback) * -2.0, d)],
        [0.0, 0.0, -1.0, 0.0],
    ]


def ortho_ref(zfront, zback):
    return [
        [2.0, 0.0, 0.0, 0.0],
        [0.0, 2.0, 0.0, 0.0],
        [0.0, 0.0, -2.0, 0.0],
        [0.0, 0.0, -(zfront + zback), -(zfront - zback)],
    ]


def test_world_unit_box_is_identity_with_negative_zero_translation():
    m = P.world_transformation(0, 1, 0, 1, 0, 1)
    assert np.array_equal(m, np.eye(4))
    assert all(math.copysign(1.0, m[r, 3]) == -1.0 for r in range(3))
    assert m.shape == (4, 4) and m.dtype == np.float64 and m.flags.c_contiguous


@pytest.mark.parametrize(
    "args, aspect, checks",
    [
        ((0, 4, 0, 1, 0, 1), (2, 1, 1), {(0, 0): 0.5}),
        ((1, 3, 0, 1, 0, 1), None, {(0, 0): 0.5, (0, 3): -0.5}),
        ((2, 2, 0, 1, 0, 1), None, {(0, 0): INF, (0, 3): -INF}),
        ((0, 0, 0, 1, 0, 1), None, {(0, 0): INF, (0, 3): NAN}),
    ],
)
def test_world_examples(args, aspect, checks):
    m = P.world_transformation(*args, aspect)
    for (r, c), value in checks.items():
        assert m[r, c] == value or (math.isnan(value) and math.isnan(m[r, c]))


@pytest.mark.parametrize("aspect", [None, [], [2.0], [2.0, 3.0], [1.0, 2.0, 3.0, 4.0]])
def test_world_ignores_aspect_of_other_lengths(aspect):
    assert_bits_equal(P.world_transformation(-1, 3, 2, 7, 0.1, 0.7, aspect), P.world_transformation(-1, 3, 2, 7, 0.1, 0.7))


def test_world_aspect_zero_gives_infinities_not_errors():
    m = P.world_transformation(0, 1, 0, 1, 0, 1, [0.0, 1.0, 1.0])
    assert m[0, 0] == 0.0 and math.copysign(1.0, m[0, 3]) == -1.0


def test_persp_example():
    m = P.persp_transformation(1, 3, 2)
    expected = np.array([[2, 0, 0, 0], [0, 2, 0, 0], [0, 0, -2, 3], [0, 0, -1, 0]], dtype=float)
    assert np.array_equal(m, expected)


def test_persp_equal_planes():
    m = P.persp_transformation(1, 1, 1)
    assert m[2, 2] == INF and m[2, 3] == -INF


@pytest.mark.parametrize("zf, zb, expected33, expected32", [(-10, 10, 20.0, -0.0), (1, 1, -0.0, -2.0)])
def test_ortho_signed_zeros(zf, zb, expected33, expected32):
    m = P.ortho_transformation(zf, zb)
    assert m[3, 3] == expected33 and math.copysign(1, m[3, 3]) == math.copysign(1, expected33)
    assert m[3, 2] == expected32 and math.copysign(1, m[3, 2]) == math.copysign(1, expected32)


SPECIAL = [0.0, -0.0, 1.0, -1.0, 0.1, 1e-310, 1e308, -1e308, 3.7, INF, -INF, NAN]


def test_matrices_bit_exact_against_reference(rng):
    values = SPECIAL + list(rng.normal(scale=10, size=20))
    for _ in range(300):
        a = [float(v) for v in rng.choice(values, size=9)]
        with np.errstate(all="ignore"):
            assert_bits_equal(P.world_transformation(*a[:6]), np.array(world_ref_safe(*a[:6])))
            assert_bits_equal(P.world_transformation(*a[:6], a[6:9]), np.array(world_ref_safe(*a[:6], a[6:9])))
            assert_bits_equal(P.persp_transformation(*a[:3]), np.array(persp_ref(*a[:3])))
            assert_bits_equal(P.ortho_transformation(*a[:2]), np.array(ortho_ref(*a[:2])))


def world_ref_safe(*args):
    """world_ref in NumPy scalars, so that IEEE division by zero gives infinities."""
    f = [np.float64(v) for v in args[:6]]
    aspect = [np.float64(v) for v in args[6]] if len(args) > 6 else None
    with np.errstate(all="ignore"):
        return world_ref(*f, aspect)


def test_results_are_fresh():
    a = P.ortho_transformation(1.0, 2.0)
    a[:] = 5
    assert P.ortho_transformation(1.0, 2.0)[0, 0] == 2.0
