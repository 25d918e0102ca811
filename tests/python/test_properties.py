"""Random inputs, special values included, against the NumPy references of the other test modules.

Results are compared bit for bit (signed zeros, infinities, subnormals), except for the payload and sign of a NaN:
IEEE 754 leaves open which NaN operand an operation passes on, and compilers reorder the operands of commutative
operations, so only the position of every NaN is compared.
"""
import math
import os

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from conftest import C, P, run_python
from test_collection import collection_ref, result_ref, shade_factor
from test_matrices import ortho_ref, persp_ref, world_ref_safe
from test_projection import SPECIAL, invert_ref, project_ref

PROPERTY = settings(
    max_examples=200,
    deadline=None,
    database=None,
    derandomize=bool(os.environ.get("CI")),  # CI replays the same examples; local runs explore new ones
    suppress_health_check=[HealthCheck.too_slow],
)

# Any float64 (NaN, infinities, subnormals, huge), specials more often, and tame values that keep results finite.
ANY = st.floats(width=64)
FLOATS = st.one_of(st.sampled_from(list(SPECIAL)), st.floats(-8.0, 8.0), ANY)
MATRICES = arrays(np.float64, (4, 4), elements=st.one_of(st.floats(-4.0, 4.0), FLOATS))


def same_bits(got, want):
    got = np.asarray(got, dtype=np.float64)
    want = np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape
    nan = np.isnan(want)
    np.testing.assert_array_equal(np.isnan(got), nan)
    np.testing.assert_array_equal(got[~nan].view(np.uint64), want[~nan].view(np.uint64))


@PROPERTY
@given(args=st.lists(ANY, min_size=9, max_size=9), aspect=st.none() | st.lists(FLOATS, max_size=4))
def test_matrices(args, aspect):
    with np.errstate(all="ignore"):
        world = world_ref_safe(*args[:6], aspect) if aspect is not None else world_ref_safe(*args[:6])
        same_bits(P.world_transformation(*args[:6], aspect), world)
        same_bits(P.persp_transformation(*args[6:9]), persp_ref(*args[6:9]))
        same_bits(P.ortho_transformation(*args[7:9]), ortho_ref(*args[7:9]))


@st.composite
def point_sets(draw):
    """Three coordinate columns; sometimes repeated past 1000 points so that the pool runs the loop."""
    n = draw(st.integers(0, 12))
    xs, ys, zs = (draw(arrays(np.float64, n, elements=FLOATS)) for _ in range(3))
    repeat = draw(st.sampled_from([1, 1, 1, 90]))
    extra = draw(st.integers(0, 9)) if repeat > 1 and n else 0
    return tuple(np.resize(a, n * repeat + extra) for a in (xs, ys, zs))


@PROPERTY
@given(points=point_sets(), m=MATRICES, focal=FLOATS)
def test_point_transforms(points, m, focal):
    want = project_ref(*points, m)
    for got, ref in zip(P.proj_transform(*points, m), want):
        same_bits(got, ref)
    *coords, mask = P.proj_transform_clip(*points, m, focal)
    for got, ref in zip(coords, want):
        same_bits(got, ref)
    tx, ty, tz = want
    with np.errstate(invalid="ignore"):
        visible = (np.abs(tx) <= 1) & (np.abs(ty) <= 1) & (tz <= 0) if not math.isinf(focal) else True
    np.testing.assert_array_equal(mask, np.broadcast_to(visible, mask.shape))
    for got, ref in zip(P.inv_transform(*points, m), project_ref(*points, invert_ref(m))):
        same_bits(got, ref)


ROWS = st.integers(0, 11)
# Drawn values are mostly round, and round values add up exactly: seeded normal values make the summation order
# of the depths show in the last bits.
POLYGON = ROWS.flatmap(lambda k: arrays(np.float64, (k, 3), elements=FLOATS)) | st.builds(
    lambda seed, k: np.random.default_rng(seed).normal(size=(k, 3)), st.integers(0, 2**32), ROWS)


@PROPERTY
@given(
    polys=st.lists(POLYGON, max_size=8),
    m=MATRICES,
    mode=st.sampled_from(["average", "min", "max"]),
    zpos=st.none() | ANY,
    repeat=st.sampled_from([1, 1, 30]),
    big=st.booleans(),
)
def test_collection(polys, m, mode, zpos, repeat, big):
    polys = polys * repeat  # above 100 polygons the pool runs the per-polygon loop
    if big and polys:
        polys[0] = np.resize(polys[0], (1003, 3))  # a nested per-point loop
    c = C(polys)
    c.set_zsort(mode)
    if zpos is not None:
        c.set_sort_zpos(zpos)
    result = c.do_3d_projection(m)
    if not polys:
        assert math.isnan(result) and c.get_sorted_segments_2d() == []
        return
    segments, depths, order = collection_ref(polys, m, mode)
    got = c.get_sorted_segments_2d()
    assert len(got) == len(order)
    for p, k in enumerate(order):
        same_bits(got[p], segments[k])
    same_bits(result, zpos if zpos is not None else result_ref(depths))
    for poly, depth in zip(polys[:8], depths):  # alone, a polygon's depth is the result
        single = C([poly])
        single.set_zsort(mode)
        same_bits(single.do_3d_projection(m), depth)


COLOURS = st.integers(0, 3).flatmap(lambda k: arrays(np.float64, (k, 4), elements=FLOATS))


@PROPERTY
@given(polys=st.lists(POLYGON, max_size=6), face=COLOURS, edge=COLOURS, light=st.lists(FLOATS, min_size=3, max_size=3))
def test_shading(polys, face, edge, light):
    c = C(polys, facecolors=face, edgecolors=edge)
    want_face, want_edge = c.get_sorted_facecolors(), c.get_sorted_edgecolors()
    c.shade_colors(*light)
    with np.errstate(all="ignore"):
        for i, poly in enumerate(polys[: len(want_face)]):
            f = shade_factor(poly, [np.float64(v) for v in light])
            want_face[i, :3] *= f
            if i < len(want_edge):
                want_edge[i, :3] *= f
    same_bits(c.get_sorted_facecolors(), want_face)
    same_bits(c.get_sorted_edgecolors(), want_edge)


POOL_SCRIPT = """
import hashlib, numpy as np, korvex
P, C = korvex.PyProjection, korvex.PyPoly3DCollection
rng = np.random.default_rng(11)
special = np.array([0.0, -0.0, 5e-324, 1e308, -1e308, np.inf, -np.inf, np.nan])
def spiced(shape):
    a = rng.normal(size=shape)
    mask = rng.random(size=shape) < 0.02
    a[mask] = rng.choice(special, size=mask.sum())
    return a
h = hashlib.sha256()
m = spiced((4, 4))
for n in (1001, 4099, 30011):
    h.update(b"".join(o.tobytes() for o in P.proj_transform(*spiced((3, n)), m)))
polys = [spiced((int(k), 3)) for k in rng.choice([0, 3, 9, 1001, 2500], size=260, p=[.05, .5, .35, .05, .05])]
c = C(polys)
for mode in ("average", "min", "max"):
    c.set_zsort(mode)
    h.update(np.float64(c.do_3d_projection(m)).tobytes())
    h.update(b"".join(s.tobytes() for s in c.get_sorted_segments_2d()))
print(h.hexdigest())
"""


def test_pool_sizes_give_identical_bits():
    digests = {}
    for size in ("1", "2", "3", "7"):
        proc = run_python(POOL_SCRIPT, env={"RAYON_NUM_THREADS": size})
        assert proc.returncode == 0, proc.stderr
        digests[size] = proc.stdout.strip()
    assert len(set(digests.values())) == 1, digests
