"""The polygon collection: construction, depth-sorted projection, outputs, settings, shading, borrowing."""
import gc
import math
import sys

import numpy as np
import pytest

from conftest import C, P, assert_bits_equal, raises, run_python
from test_projection import project_ref

TRI = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]])


def depth_ref(tz, mode):
    n = len(tz)
    if mode == "average":
        if n == 0:
            return 0.0
        if n < 8:
            total = 0.0
            for v in tz:
                total += v
        else:
            s = [0.0] * 8
            for q in range(n // 8):
                for j in range(8):
                    s[j] += tz[8 * q + j]
            total = (((0.0 + (s[0] + s[4])) + (s[1] + s[5])) + (s[2] + s[6])) + (s[3] + s[7])
            for v in tz[n - n % 8:]:
                total += v
        return total / n
    best = math.inf if mode == "min" else -math.inf
    for v in tz:
        if not math.isnan(v) and (v < best if mode == "min" else v > best):
            best = v
    return best


def collection_ref(polygons, m, mode="average"):
    """Segments, depths and order as the collection must compute them."""
    segments, depths = [], []
    for poly in polygons:
        if len(poly) == 0:
            poly = np.zeros((0, 3))
        tx, ty, tz = project_ref(poly[:, 0], poly[:, 1], poly[:, 2], m)
        segments.append(np.stack([tx, ty], axis=1).reshape(-1, 2))
        with np.errstate(all="ignore"):
            depths.append(depth_ref([float(v) for v in tz], mode))
    nan = [i for i, d in enumerate(depths) if math.isnan(d)]
    rest = sorted((i for i, d in enumerate(depths) if not math.isnan(d)), key=lambda i: (-depths[i], i))
    return segments, depths, nan + rest


def result_ref(depths):
    best = depths[0]
    for d in depths[1:]:
        if d < best:
            best = d
    return best


def random_polygons(rng, n, sizes=(0, 1, 3, 4, 8, 9, 17), special=False):
    polys = []
    for _ in range(n):
        k = int(rng.choice(sizes))
        p = rng.normal(size=(k, 3))
        if special and k:
            mask = rng.random(size=p.shape) < 0.05
            p[mask] = rng.choice([np.nan, np.inf, -0.0, 1e300], size=mask.sum())
        polys.append(p)
    return polys


def check_against_reference(c, polys, m, mode, zpos=None):
    result = c.do_3d_projection(m)
    segments, depths, order = collection_ref(polys, m, mode)
    got = c.get_sorted_segments_2d()
    assert len(got) == len(order)
    for p, k in enumerate(order):
        assert_bits_equal(got[p], segments[k])
    expected = zpos if zpos is not None else result_ref(depths)
    assert_bits_equal(np.array([result]), np.array([expected]))
    return order


# ---- construction ----------------------------------------------------------------------------------------------


def test_empty_collection():
    c = C([])
    assert c.get_sorted_segments_2d() == []
    for colors in (c.get_sorted_facecolors(), c.get_sorted_edgecolors()):
        assert np.array_equal(colors, [[0.0, 0.0, 0.0, 1.0]])
    c.set_sort_zpos(4.0)
    assert math.isnan(c.do_3d_projection(np.eye(4)))
    assert c.get_sorted_segments_2d() == []


@pytest.mark.parametrize(
    "colors, n, expected",
    [
        (np.array([[0.1, 0.2, 0.3, 0.4], [0.5, 0.6, 0.7, 0.8]]), 5, [[0.1, 0.2, 0.3, 0.4]] * 5),
        (np.arange(28.0).reshape(7, 4), 5, np.arange(28.0).reshape(7, 4)),
        (np.zeros((0, 4)), 5, np.zeros((0, 4))),
        (np.array([[0.1, 0.2, 0.3]]), 2, [[0.1, 0.2, 0.3, 1.0]] * 2),
        (np.array([[0.1, 0.2, 0.3, 0.4, 0.5]]), 1, [[0.1, 0.2, 0.3, 0.4]]),
        (np.zeros((2, 0)), 2, np.ones((2, 4))),
        (np.array([[np.nan, np.inf, -2.0, 7.0]]), 0, [[np.nan, np.inf, -2.0, 7.0]]),
        (np.arange(8.0).reshape(4, 2)[::-1].T, 2, [[6.0, 4.0, 2.0, 0.0], [7.0, 5.0, 3.0, 1.0]]),
        (np.arange(6.0).reshape(3, 2)[::-1, ::-1], 3, [[5.0, 4.0, 1.0, 1.0], [3.0, 2.0, 1.0, 1.0], [1.0, 0.0, 1.0, 1.0]]),
    ],
)
def test_colour_rows_and_broadcast(colors, n, expected):
    c = C([TRI] * n, facecolors=colors, edgecolors=colors)
    for got in (c.get_sorted_facecolors(), c.get_sorted_edgecolors()):
        assert np.array_equal(got, np.asarray(expected, dtype=float).reshape(-1, 4), equal_nan=True)


def test_facecolors_and_edgecolors_are_independent():
    c = C([TRI] * 3, facecolors=np.array([[1.0, 0.0, 0.0, 1.0]]))
    assert c.get_sorted_facecolors().shape == (3, 4)
    assert np.array_equal(c.get_sorted_edgecolors(), [[0.0, 0.0, 0.0, 1.0]] * 3)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"vertices": (TRI,)}, "'tuple' object cannot be converted to 'PyList'"),
        ({"vertices": np.zeros((2, 3, 3))}, "'ndarray' object cannot be converted to 'PyList'"),
        ({"vertices": None}, "'NoneType' object cannot be converted to 'PyList'"),
        ({"vertices": [TRI, TRI.astype(np.int64)]}, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"vertices": [np.zeros(4)]}, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"vertices": [[[0.0, 0.0, 0.0]]]}, "'list' object cannot be converted to 'PyArray<T, D>'"),
        ({"vertices": [TRI], "facecolors": np.ones(4)}, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"vertices": [TRI], "edgecolors": [[1.0, 1.0, 1.0]]}, "'list' object cannot be converted to 'PyArray<T, D>'"),
        ({"vertices": [TRI], "facecolors": np.ones((1, 4), np.float32)},
         "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ],
)
def test_constructor_refusals_have_no_prefix(kwargs, message):
    with raises(TypeError, message):
        C(**kwargs)


def test_polygons_copied_through_their_strides(rng):
    base = rng.normal(size=(6, 5))
    views = [base.T[:, ::2], base[::-1, 1:4], base[::2], np.zeros((4, 2)), np.zeros((0, 0))]
    ro = base[:3].copy()
    ro.flags.writeable = False
    views.append(ro)

    class Sub(list):
        pass

    c = C(Sub(views))
    m = rng.normal(size=(4, 4))
    with pytest.raises(BaseException, match="index out of bounds"):  # the (4, 2) polygon
        c.do_3d_projection(m)
    good = [v for v in views if v.shape[1] >= 3 or v.shape[0] == 0]
    c = C(good)
    saved = [v.copy() for v in good]
    base[:] = 0.0  # later changes to the inputs do not reach the collection
    check_against_reference(c, saved, m, "average")


# ---- depth-sorted projection -----------------------------------------------------------------------------------


@pytest.mark.parametrize("mode", ["average", "min", "max"])
@pytest.mark.parametrize("n", [1, 5, 100, 101, 700])
def test_projection_matches_reference(rng, mode, n):
    polys = random_polygons(rng, n, special=n in (5, 101))
    c = C(polys)
    c.set_zsort(mode)
    m = P.persp_transformation(-1, 1, 2.0) @ rng.normal(size=(4, 4))
    check_against_reference(c, polys, m, mode)


@pytest.mark.parametrize("mode, empty_first", [("average", False), ("min", True), ("max", False)])
def test_empty_polygon_depth_per_mode(mode, empty_first):
    # Depths: the empty polygon 0.0 / +inf / -inf, the triangle 0.5 in every mode.
    c = C([np.zeros((0, 3)), TRI + [0, 0, 0.5]])
    c.set_zsort(mode)
    result = c.do_3d_projection(np.eye(4))
    shapes = [s.shape for s in c.get_sorted_segments_2d()]
    assert shapes == ([(0, 2), (3, 2)] if empty_first else [(3, 2), (0, 2)])
    assert result == {"average": 0.0, "min": 0.5, "max": -math.inf}[mode]


def test_ties_keep_ascending_index_and_nan_first():
    nan = TRI.copy()
    nan[1, 2] = np.nan
    high = TRI + [0, 0, 1.0]
    polys = [TRI, high, nan, TRI * 2, TRI * 3, nan.copy()]
    segments, _, order = collection_ref(polys, np.eye(4))
    assert order == [2, 5, 1, 0, 3, 4]
    c = C(polys)
    c.do_3d_projection(np.eye(4))
    got = c.get_sorted_segments_2d()
    for p, k in enumerate(order):
        assert_bits_equal(got[p], segments[k])


def test_result_rules():
    polys = [TRI + [0, 0, 2.0], TRI + [0, 0, -1.0]]
    c = C(polys)
    assert c.do_3d_projection(np.eye(4)) == -1.0
    c.set_sort_zpos(np.nan)
    assert math.isnan(c.do_3d_projection(np.eye(4)))
    nan_first = TRI.copy()
    nan_first[0, 2] = np.nan
    assert math.isnan(C([nan_first, TRI]).do_3d_projection(np.eye(4)))
    assert C([TRI, nan_first, TRI - [0, 0, 3]]).do_3d_projection(np.eye(4)) == -3.0


def test_average_of_nine_values_uses_partial_sums():
    tz = [1e16, 1.0, 1.0, 1.0, -1e16, 1.0, 1.0, 1.0, 3.0]
    poly = np.zeros((9, 3))
    poly[:, 2] = tz
    got = C([poly]).do_3d_projection(np.eye(4))
    plain = sum(tz, 0.0) / 9
    assert got == depth_ref(tz, "average")
    assert got != plain  # the order of the sum shows in the result


def test_hundred_and_hundred_one_polygons_agree(rng):
    polys = random_polygons(rng, 101)
    m = rng.normal(size=(4, 4))
    c100, c101 = C(polys[:100]), C(polys)
    c100.do_3d_projection(m)
    c101.do_3d_projection(m)
    _, _, order101 = collection_ref(polys, m)
    seg100 = dict(zip(collection_ref(polys[:100], m)[2], c100.get_sorted_segments_2d()))
    seg101 = dict(zip(order101, c101.get_sorted_segments_2d()))
    for i in range(100):
        assert_bits_equal(seg100[i], seg101[i])


@pytest.mark.parametrize("n", [50, 1000])
def test_failed_projection_leaves_collection_unchanged(rng, n):
    polys = random_polygons(rng, n, sizes=(3, 4))
    c = C(polys)
    m = rng.normal(size=(4, 4))
    c.do_3d_projection(m)
    before = c.get_sorted_segments_2d()
    bad = list(polys)
    bad[10] = np.zeros((3, 2))
    if n > 600:
        bad[600] = np.zeros((5, 1))
    c_bad = C(bad)
    with pytest.raises(BaseException, match="index out of bounds") as info:
        c_bad.do_3d_projection(m)
    assert "len is 2" in str(info.value)  # the fault of polygon 10, not of polygon 600
    assert c_bad.get_sorted_segments_2d() == []
    with pytest.raises(BaseException, match="index out of bounds"):
        c.do_3d_projection(np.eye(3))
    after = c.get_sorted_segments_2d()
    assert len(after) == len(before)
    for a, b in zip(before, after):
        assert_bits_equal(a, b)


def test_segments_are_fresh_and_empty_polygons_are_0x2():
    c = C([np.zeros((0, 3)), TRI])
    c.do_3d_projection(np.eye(4))
    segs = c.get_sorted_segments_2d()
    assert sorted(s.shape for s in segs) == [(0, 2), (3, 2)]
    assert all(s.flags.owndata and s.flags.c_contiguous for s in segs)


def numpy_handler_name(*array):
    core = np._core if int(np.__version__.split(".")[0]) >= 2 else np.core
    return core.multiarray.get_handler_name(*array)


def test_segments_own_independent_memory_that_outlives_the_rest(rng):
    polys = random_polygons(rng, 300, sizes=(0, 1, 3, 4, 9))
    c = C(polys)
    c.do_3d_projection(rng.normal(size=(4, 4)))
    policy = numpy_handler_name()
    segs = c.get_sorted_segments_2d()
    assert numpy_handler_name() == policy  # the caller's allocation policy is back
    assert all(s.flags.owndata and s.flags.writeable and s.base is None and s.dtype == np.float64 for s in segs)
    expected = [s.copy() for s in segs]
    kept = segs[1::3]
    for s in segs[::3]:
        s[...] = -1.0  # writing one array reaches no other
    del segs, c
    gc.collect()
    for s, e in zip(kept, expected[1::3]):
        assert_bits_equal(s, e)
    grown = [s for s in kept if len(s) > 1][:5]
    for s in grown:  # in-place resizing moves the data out of the shared memory, values kept
        before = s.copy()
        s.resize((len(before) + 40, 2), refcheck=False)
        assert_bits_equal(s[: len(before)], before)
        s.resize((1, 2), refcheck=False)
        assert_bits_equal(s, before[:1])


def test_extra_columns_are_ignored(rng):
    poly = rng.normal(size=(5, 7))
    a, b = C([poly]), C([poly[:, :3].copy()])
    assert a.do_3d_projection(np.eye(4)) == b.do_3d_projection(np.eye(4))
    assert_bits_equal(a.get_sorted_segments_2d()[0], b.get_sorted_segments_2d()[0])


def test_big_polygons_nest_the_point_loop(rng):
    polys = random_polygons(rng, 120, sizes=(3, 1500))
    c = C(polys)
    check_against_reference(c, polys, rng.normal(size=(4, 4)), "average")


def test_results_identical_across_pool_sizes():
    script = """
    import hashlib, numpy as np, korvex
    rng = np.random.default_rng(3)
    # Past the size from which the drawing order itself runs on the pool, with many exact ties.
    polys = [rng.normal(size=(int(k), 3)) for k in rng.choice([3, 4, 9, 1200], size=400, p=[0.3, 0.3, 0.3, 0.1])]
    polys += [np.round(rng.normal(size=(4, 3)), 1) for _ in range(20000)]
    c = korvex.PyPoly3DCollection(polys)
    r = c.do_3d_projection(rng.normal(size=(4, 4)))
    h = hashlib.sha256(np.float64(r).tobytes())
    for s in c.get_sorted_segments_2d():
        h.update(s.tobytes())
    print(h.hexdigest())
    """
    digests = set()
    for size in ["1", "2", "5"]:
        proc = run_python(script, env={"RAYON_NUM_THREADS": size})
        assert proc.returncode == 0, proc.stderr
        digests.add(proc.stdout.strip())
    assert len(digests) == 1


# ---- settings --------------------------------------------------------------------------------------------------


@pytest.mark.parametrize("text", ["MIN", "average ", "maximum", "", "min\x00"])
def test_invalid_zsort_keeps_state(text):
    # Depths: average 1 and 2, max 3 and 2; the result is the smaller depth.
    c = C([np.array([[0.0, 0, 0], [0, 1, 0], [1, 0, 3]]), TRI + [0, 0, 2.0]])
    c.set_zsort("max")
    with raises(ValueError, f"Invalid zsort method: {text}"):
        c.set_zsort(text)
    assert c.do_3d_projection(np.eye(4)) == 2.0  # still "max"


def test_zsort_clears_sort_zpos_and_not_the_reverse():
    c = C([TRI + [0, 0, 2.0]])
    c.set_sort_zpos(5.0)
    c.set_zsort("max")
    assert c.do_3d_projection(np.eye(4)) == 2.0
    c.set_zsort("min")
    c.set_sort_zpos(5)
    assert c.do_3d_projection(np.eye(4)) == 5.0


@pytest.mark.parametrize("value", [-1.0, -0.0, np.inf, 3, True])
def test_sort_zpos_stored_unchanged(value):
    c = C([TRI])
    c.set_sort_zpos(value)
    got = c.do_3d_projection(np.eye(4))
    assert_bits_equal(np.array([got]), np.array([float(value)]))


def test_zsort_subclass_of_str():
    class S(str):
        pass

    c = C([TRI + [0, 0, 1.0], TRI])
    c.set_zsort(S("min"))
    assert c.do_3d_projection(np.eye(4)) == 0.0


# ---- shading ---------------------------------------------------------------------------------------------------


def shade_factor(poly, light):
    lx, ly, lz = light
    norm = math.sqrt((lx * lx + ly * ly) + lz * lz)
    l = (lx / norm, ly / norm, lz / norm)
    n = len(poly)
    if n < 3:
        normal = (0.0, 0.0, 1.0)
    else:
        a, b, c = poly[0], poly[n // 3], poly[2 * n // 3]
        u = [a[k] - b[k] for k in range(3)]
        w = [b[k] - c[k] for k in range(3)]
        k = (u[1] * w[2] - u[2] * w[1], u[2] * w[0] - u[0] * w[2], u[0] * w[1] - u[1] * w[0])
        length = math.sqrt((k[0] * k[0] + k[1] * k[1]) + k[2] * k[2])
        normal = tuple(v / length for v in k) if length > 1e-10 else (0.0, 0.0, 1.0)
    d = (normal[0] * l[0] + normal[1] * l[1]) + normal[2] * l[2]
    return ((d + 1.0) * 0.7) * 0.5 + 0.3


@pytest.mark.parametrize(
    "poly, light, factor",
    [
        (TRI, (0, 0, 1), 1.0),
        (TRI, (0, 0, -1), 0.3),
        (TRI, (0, 0, 5), 1.0),
        (TRI[[0, 2, 1]], (0, 0, 1), 0.3),
        (TRI[:2], (0, 0, -1), 0.3),
        (np.array([[0.0, 0, 0], [1, 1, 1], [2, 2, 2]]), (0, 0, -1), 0.3),
    ],
)
def test_shading_examples(poly, light, factor):
    color = np.array([[1.0, 0.5, 0.2, 0.8]])
    c = C([poly], facecolors=color, edgecolors=color)
    c.shade_colors(*light)
    for got in (c.get_sorted_facecolors(), c.get_sorted_edgecolors()):
        np.testing.assert_allclose(got, [[factor, 0.5 * factor, 0.2 * factor, 0.8]], rtol=1e-15)


def test_shading_bit_exact_and_cumulative(rng):
    polys = random_polygons(rng, 30, sizes=(0, 2, 3, 5, 6, 10))
    face = rng.random(size=(32, 4))
    edge = rng.random(size=(31, 4))
    c = C(polys, facecolors=face, edgecolors=edge)
    light = (0.3, -1.2, 0.7)
    c.shade_colors(*light)
    c.shade_colors(*light)
    want_f, want_e = face.copy(), edge.copy()
    for i, p in enumerate(polys):
        f = shade_factor(p, light)
        want_f[i, :3] = (want_f[i, :3] * f) * f
        if i < len(edge):
            want_e[i, :3] = (want_e[i, :3] * f) * f
    assert_bits_equal(c.get_sorted_facecolors(), want_f)  # colours 30 and 31 untouched
    assert_bits_equal(c.get_sorted_edgecolors(), want_e)


def test_shading_without_face_colours_leaves_edges():
    edge = np.ones((1, 4))
    c = C([TRI], facecolors=np.zeros((0, 4)), edgecolors=edge)
    c.shade_colors(0, 0, -1)
    assert np.array_equal(c.get_sorted_edgecolors(), edge)
    c = C([])
    c.shade_colors(0, 0, 0)
    assert np.array_equal(c.get_sorted_facecolors(), [[0.0, 0.0, 0.0, 1.0]])


def test_shading_fault_changes_no_colour():
    c = C([TRI, np.zeros((3, 2))], facecolors=np.ones((2, 4)))
    with pytest.raises(BaseException, match="index out of bounds"):
        c.shade_colors(0, 0, -1)
    assert np.array_equal(c.get_sorted_facecolors(), np.ones((2, 4)))


# ---- the borrow flag -------------------------------------------------------------------------------------------


class Reenter:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 1.0


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("shade", "get_sorted_facecolors", "Already mutably borrowed"),
        ("zpos", "get_sorted_segments_2d", "Already mutably borrowed"),
        ("shade", "set_sort_zpos", "Already borrowed"),
        ("zpos", "do_3d_projection", "Already borrowed"),
    ],
)
def test_reentrant_calls_are_refused_and_flag_released(outer, inner, message):
    c = C([TRI], facecolors=np.ones((1, 4)))
    args = {"get_sorted_facecolors": (), "get_sorted_segments_2d": (), "set_sort_zpos": (2.0,),
            "do_3d_projection": (np.eye(4),)}[inner]
    seen = []

    def action():
        try:
            getattr(c, inner)(*args)
        except RuntimeError as e:
            seen.append(str(e))
            raise

    call = (lambda v: c.shade_colors(v, 0.0, 1.0)) if outer == "shade" else c.set_sort_zpos
    with raises(RuntimeError, message):
        call(Reenter(action))
    assert seen == [message]
    # Flag back to 0: every method works again, and nothing changed.
    assert np.array_equal(c.get_sorted_facecolors(), np.ones((1, 4)))
    c.set_sort_zpos(3.0)
    assert c.do_3d_projection(np.eye(4)) == 3.0


@pytest.mark.skipif(
    sys.version_info >= (3, 12), reason="from 3.12 on the collector runs between bytecodes, never inside a native call"
)
def test_getters_inside_a_getter_share_the_borrow():
    # Python code runs inside a getter when the cyclic collector starts at one of the getter's own allocations (the
    # result list of get_sorted_segments_2d): the collector's callbacks then run while the getter holds its borrow.
    c = C([TRI], facecolors=np.full((1, 4), 0.5))
    c.do_3d_projection(np.eye(4))
    inside = []

    def during_collection(phase, info):
        if phase != "start":
            return
        try:
            c.set_sort_zpos(1.0)
            return  # not inside a getter
        except RuntimeError as e:
            refused = str(e)
        try:
            inside.append((refused, c.get_sorted_facecolors().tolist(), len(c.get_sorted_segments_2d())))
        except RuntimeError as e:
            inside.append((refused, str(e)))

    gc.collect()
    threshold = gc.get_threshold()
    gc.callbacks.append(during_collection)
    gc.set_threshold(1)
    try:
        results = [c.get_sorted_segments_2d() for _ in range(100)]
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(during_collection)
    assert inside, "the collector never started inside a getter"
    # A modifier is refused there, and both getters run under the shared borrow.
    assert inside == [("Already borrowed", [[0.5] * 4], 1)] * len(inside)
    assert all(np.array_equal(r[0], results[0][0]) for r in results)
    # Released again.
    c.set_zsort("min")



def test_collector_callbacks_in_every_getter_leave_the_results_intact():
    # The collector starting at the getter's own allocations, again and again, with callbacks that run both getters
    # (and so make arrays of their own) in the middle of it; in a fresh interpreter, as a fault here is a crash.
    proc = run_python(
        """
        import gc
        import numpy as np, korvex
        tri = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]])
        c = korvex.PyPoly3DCollection([tri * (k + 1) for k in range(5)], facecolors=np.full((1, 4), 0.5))
        c.do_3d_projection(np.eye(4))
        expected = c.get_sorted_segments_2d()
        starts = []
        def during_collection(phase, info):
            if phase == "start":
                starts.append(len(c.get_sorted_segments_2d()) + len(c.get_sorted_facecolors()))
        kept = []
        gc.collect()
        gc.callbacks.append(during_collection)
        gc.set_threshold(1)
        for _ in range(20000):
            kept.append(c.get_sorted_segments_2d())
        gc.set_threshold(700)
        gc.callbacks.remove(during_collection)
        assert len(starts) > 1000 and set(starts) == {10}, (len(starts), set(starts))
        assert all(all(np.array_equal(a, b) for a, b in zip(k, expected)) for k in kept)
        print("ok")
        """
    )
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "ok\n", "")

# ---- instances that the constructor did not build --------------------------------------------------------------


def test_instance_made_by_a_replaced_new_is_refused_and_freed():
    # A replaced __new__ that makes the instance with object.__new__ leaves its state unbuilt (zero-filled memory).
    # Run in a fresh interpreter: the replacement cannot be undone.
    proc = run_python(
        """
        import gc
        import numpy as np
        import korvex

        C = korvex.PyPoly3DCollection
        C.__new__ = staticmethod(lambda cls, *args, **kwargs: object.__new__(cls))
        calls = {"do_3d_projection": (np.eye(4),), "get_sorted_segments_2d": (), "get_sorted_facecolors": (),
                 "get_sorted_edgecolors": (), "set_zsort": ("max",), "set_sort_zpos": (1.0,),
                 "shade_colors": (0.0, 0.0, 1.0)}
        for _ in range(2):
            c = C([np.ones((3, 3))], facecolors=np.ones((1, 4)))
            for name, args in calls.items():
                try:
                    print(name, "returned", getattr(c, name)(*args))
                except TypeError as e:
                    print(e)
            del c
            gc.collect()
        print("freed")
        """
    )
    assert proc.returncode == 0, proc.stderr
    names = ["do_3d_projection", "get_sorted_segments_2d", "get_sorted_facecolors", "get_sorted_edgecolors",
             "set_zsort", "set_sort_zpos", "shade_colors"]
    refusals = [f"PyPoly3DCollection.{name}() called on an uninitialized object: PyPoly3DCollection.__new__() "
                "was not called" for name in names]
    assert proc.stdout.splitlines() == 2 * refusals + ["freed"]
