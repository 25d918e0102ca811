"""korvex_mpl._native against Matplotlib's own proj3d functions: same types, shapes, bits, masks, warnings, errors."""
import warnings

import numpy as np
import pytest

mpl = pytest.importorskip("matplotlib")
if tuple(int(v) for v in mpl.__version__.split(".")[:2]) < (3, 11):
    pytest.skip("needs Matplotlib 3.11", allow_module_level=True)
mpl.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from mpl_toolkits.mplot3d import proj3d  # noqa: E402

from korvex_mpl import _native, _project  # noqa: E402

_native.keep_originals(_project.originals(proj3d))
RNG = np.random.default_rng(7)
M = RNG.normal(size=(4, 4))
ZERO_WEIGHT = np.vstack([M[:3], [0.0, 0.0, 1.0, 0.0]])  # weight z: points at z = 0 have weight 0


def same(got, expected, path="result"):
    """Equal as Matplotlib's results are equal to themselves: types, dtypes, shapes, bits (any NaN), masks."""
    assert type(got) is type(expected), path
    if isinstance(expected, tuple):
        assert len(got) == len(expected), path
        for i, (g, e) in enumerate(zip(got, expected)):
            same(g, e, f"{path}[{i}]")
        return
    if isinstance(expected, np.ma.MaskedArray):
        assert (got.mask is np.ma.nomask) == (expected.mask is np.ma.nomask), path
        assert np.array_equal(np.ma.getmaskarray(got), np.ma.getmaskarray(expected)), path
        got, expected = got.data, expected.data
    g, e = np.asarray(got), np.asarray(expected)
    assert (g.dtype, g.shape) == (e.dtype, e.shape), path
    if e.dtype.kind == "f":
        nan = np.isnan(e)
        assert np.array_equal(np.isnan(g), nan), path
        assert np.array_equal(g[~nan].view(np.uint64), e[~nan].view(np.uint64)), path
    else:
        assert np.array_equal(g, e), path


def both(name, *args, native=None, **kwargs):
    """The native function's and Matplotlib's result (or exception) and warnings, for the same arguments.

    native: whether the call must stay native (True) or be handed to Matplotlib's function (False).
    """
    outcomes = []
    before = _native.fallback_counts()[name]
    for fn in (getattr(_native, name), getattr(proj3d, name)):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = fn(*args, **kwargs)
            except Exception as error:  # noqa: BLE001 - the two must raise alike
                result = error
        outcomes.append((result, [(w.category, str(w.message)) for w in caught]))
        if native is not None and fn is getattr(_native, name):
            assert (_native.fallback_counts()[name] == before) == native
    (got, got_warnings), (expected, expected_warnings) = outcomes
    assert got_warnings == expected_warnings
    if isinstance(expected, Exception):
        assert (type(got), str(got)) == (type(expected), str(expected))
    else:
        same(got, expected)
    return got


def coordinates(kind, n):
    """xs, ys, zs of one kind: n points (or a scalar point for n None)."""
    values = RNG.normal(size=(3, max(n or 0, 1))) * 10
    if kind == "0-d":
        return [np.array(v[0]) for v in values]
    values = values[:, :n]
    if kind == "python":
        return [float(v[0]) for v in values] if n is None else [list(map(float, v)) for v in values]
    if kind == "ints":
        return [int(v[0]) for v in values] if n is None else [tuple(int(x) for x in v) for v in values]
    if kind == "scalar list":
        return [[np.float32(x) if i % 2 else np.int16(x) for i, x in enumerate(v)] for v in values]
    if kind == "strided":
        return [np.repeat(v, 2)[::2] for v in values]
    arrays = [v.astype(kind) for v in values]
    return [a[0] for a in arrays] if n is None else arrays  # NumPy scalars for n None


KINDS = ["python", "ints", "scalar list", "strided", "0-d", "float64", "float32", "float16", "int8", "uint64", "bool"]


@pytest.mark.parametrize("n", [None, 0, 1, 2, 7, 100, 70_000], ids=lambda n: f"n{n}")
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ["proj_transform", "inv_transform"])
def test_point_functions(name, kind, n):
    xs, ys, zs = coordinates(kind, n)
    both(name, xs, ys, zs, M, native=True)
    both(name, xs, ys, zs, ZERO_WEIGHT)  # NumPy warns for some: handed back


@pytest.mark.parametrize(
    "args",
    [
        ([1.0, 2.0], [3.0], [4.0]),  # shapes differ: NumPy refuses
        (np.ones((2, 2)), np.ones((2, 2)), np.ones((2, 2))),  # 2-D: np.dot contracts another axis
        (np.ma.masked_array([1.0, 2.0], [True, False]), [1.0, 2.0], [3.0, 4.0]),  # MaskError in Matplotlib
        (np.ma.masked_array([1.0, 2.0]), [1.0, 2.0], [3.0, 4.0]),
        ([2**60, 1], [1, 2], [3, 4]),
        (np.array([1 + 2j]), [1.0], [2.0]),
        (np.array(["a"], dtype=object), [1.0], [2.0]),
        (np.array([1.0, 2.0], dtype=">f8"), [1.0, 2.0], [3.0, 4.0]),
    ],
    ids=["ragged", "2-D", "masked", "nomask", "big-int", "complex", "object", "big-endian"],
)
def test_points_left_to_matplotlib(args):
    for matrix in (M, M.astype(np.float32), np.asfortranarray(M), M.tolist()):
        both("proj_transform", *args, matrix, native=False)
        both("inv_transform", *args, matrix, native=False)


def test_errors_and_floating_point_state_are_matplotlibs():
    both("proj_transform", 1.0, 2.0, 3.0, native=False)
    both("proj_transform", 1.0, 2.0, 3.0, M, 5, native=False)
    both("proj_transform", xs=[1.0], ys=[2.0], zs=[0.5], M=ZERO_WEIGHT, native=True)
    both("proj_transform", xs=[1.0], ys=[2.0], zs=[0.0], M=ZERO_WEIGHT, native=False)
    both("inv_transform", [1.0, np.inf], [2.0, 1.0], [0.0, np.inf], ZERO_WEIGHT, native=False)  # inf / inf
    xs, ys, zs = coordinates("float64", 50)
    both("proj_transform", xs, ys, zs, np.full((4, 4), 1e308), native=False)  # overflow in np.dot
    both("proj_transform", xs, ys, np.full(50, np.nan), M, native=True)  # quiet NaN raises nothing
    for state in ("raise", "ignore"):
        with np.errstate(all=state):
            both("proj_transform", xs, ys, np.zeros(50), ZERO_WEIGHT, native=False)


VECS = {
    "4": RNG.normal(size=4),
    "4x1 ints": np.array([[0], [0], [3], [1]]),
    "4x2": RNG.normal(size=(4, 2)),
    "4x300 F-order": np.asfortranarray(RNG.normal(size=(4, 300))),
    "4x0": np.empty((4, 0)),
    "3x5": RNG.normal(size=(3, 5)),
}


@pytest.mark.parametrize("vec", VECS.values(), ids=VECS.keys())
def test_proj_transform_vec(vec):
    both("_proj_transform_vec", vec, M, native=len(vec) == 4)
    both("_proj_transform_vec", vec, ZERO_WEIGHT, native=len(vec) == 4)


@pytest.mark.parametrize("n", [0, 1, 3, 100])
@pytest.mark.parametrize("mask", ["plain", "nomask", "masked", "all masked"])
@pytest.mark.parametrize("focal_length", [1.0, 0.3, np.inf, 2, np.float32(np.inf), "a"])
def test_proj_transform_vec_clip(n, mask, focal_length):
    xs, ys, zs = RNG.uniform(-0.3, 0.3, size=(3, n))
    if mask == "plain":
        vec = proj3d._vec_pad_ones(xs, ys, zs)
    else:
        hidden = {"nomask": False, "masked": RNG.random(n) < 0.4, "all masked": True}[mask]
        vec = proj3d._vec_pad_ones(np.ma.masked_array(xs, hidden), ys, np.ma.masked_array(zs))
    view = proj3d.world_transformation(-1, 1, -1, 1, -1, 1) if n != 100 else M
    matrix = proj3d._persp_transformation(-2.0, 2.0, 1.0) @ view
    both("_proj_transform_vec_clip", vec, matrix, focal_length, native=not isinstance(focal_length, str))


def axes_with(scale):
    ax = plt.figure().add_subplot(projection="3d")
    ax.set_zscale(scale)
    ax.M = M
    return ax


@pytest.mark.parametrize(
    "vecs",
    [RNG.normal(size=3), RNG.normal(size=(40, 3)), RNG.normal(size=(5, 4, 3)), RNG.normal(size=(3, 40)).T,
     RNG.integers(0, 9, size=(6, 3)), np.empty((0, 3)), np.ma.masked_array(RNG.normal(size=(4, 3)), True)],
    ids=["3", "40x3", "5x4x3", "F-order", "ints", "empty", "masked"],
)
@pytest.mark.parametrize("scale", ["linear", "log"])
def test_scale_proj_transform_vectors(vecs, scale):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # log scale of negative values
        ax = axes_with(scale)
    got = both("_scale_proj_transform_vectors", vecs, ax, native=scale == "linear" and not np.ma.isMA(vecs))
    assert got.strides == proj3d._scale_proj_transform_vectors(vecs, ax).strides
    plt.close("all")


@pytest.mark.parametrize(
    "name, args, kwargs, native",
    [
        ("world_transformation", (-3.0, 5.0, 0.25, 0.5, -1e3, 7.0), {}, True),
        ("world_transformation", (0.0, 1.0, 0.0, 2.0, 0.0, 3.0), {"pb_aspect": np.array([4.0, 4.0, 3.0])}, True),
        ("world_transformation", (0, 1.0, 0.0, 2, 0.0, 3.0), {"pb_aspect": (1, 2.0, True)}, True),
        ("world_transformation", (0, 1, -3, 2, 0, 3), {}, True),  # ints: -0 is +0, where floats give -0.0
        ("world_transformation", (0.0, np.inf, 0.0, 2.0, np.nan, 3.0), {}, True),
        ("world_transformation", (np.float64(-1), 1.0, 0.0, 2.0, 0.0, 3.0), {"pb_aspect": [1.0, 0.0, 2.0]}, False),
        ("world_transformation", (1.0, 1.0, 0.0, 2.0, 0.0, 3.0), {}, False),  # ZeroDivisionError
        ("world_transformation", (0, 2**60, 0, 1, 0, 1), {}, False),
        ("world_transformation", (0.0, 1.0, 0.0, 2.0, 0.0, 3.0), {"pb_aspect": [1.0, 2.0]}, False),
        ("world_transformation", (0.0, 1e-320, 0.0, 2.0, 0.0, 3.0), {}, False),  # overflow to inf
        ("world_transformation", (0.0, 1.0, 0.0, 1e308, 0.0, 3.0), {"pb_aspect": np.array([1.0, 1e-10, 1.0])}, False),
        ("_persp_transformation", (-10.0, 10.0, 1.0), {}, True),
        ("_persp_transformation", (-10, 10, 1), {}, True),  # what Axes3D passes: ints
        ("_persp_transformation", (0, -5, 1), {}, True),  # -2 * 0 is +0 in ints
        ("_persp_transformation", (0.0, -5.0, np.float64(0.5)), {}, True),
        ("_persp_transformation", (np.nan, 1.0, 2.0), {}, True),
        ("_persp_transformation", (np.float64(2.0), np.float64(2.0), 1.0), {}, False),  # NumPy's divide warning
        ("_persp_transformation", (3, 3, 1), {}, False),  # ZeroDivisionError
        ("_persp_transformation", (2**30, 2**30 - 1, 1), {}, False),  # a product beyond 2**53
        ("_persp_transformation", (np.float32(1.0), 2.0, 1.0), {}, False),
        ("_persp_transformation", (-0.3,), {}, False),
        ("_ortho_transformation", (-0.3, 7.1), {}, True),
        ("_ortho_transformation", (-10, 10), {}, True),  # an int matrix, as Axes3D gets it
        ("_ortho_transformation", (np.float64(np.inf), 1.0), {}, True),  # inf, but nothing NumPy warns about
        ("_ortho_transformation", (np.inf, np.inf), {}, False),  # inf - inf
        ("_ortho_transformation", ("a", 1.0), {}, False),
    ],
)
def test_matrix_builders(name, args, kwargs, native):
    both(name, *args, native=native, **kwargs)
