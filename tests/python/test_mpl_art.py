"""korvex_mpl's native Axes3D.get_proj and art3d do_3d_projection methods against Matplotlib's own: the same
return values and artist state bit for bit, the same errors, the same pictures."""
import warnings

import numpy as np
import pytest

mpl = pytest.importorskip("matplotlib")
if tuple(int(v) for v in mpl.__version__.split(".")[:2]) < (3, 11):
    pytest.skip("needs Matplotlib 3.11", allow_module_level=True)
mpl.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import PatchCollection  # noqa: E402
from matplotlib.patches import Circle, PathPatch  # noqa: E402
from matplotlib.text import TextPath  # noqa: E402
from mpl_toolkits.mplot3d import art3d, axes3d  # noqa: E402

import korvex_mpl  # noqa: E402
from korvex_mpl import _art, _native  # noqa: E402

TARGETS = _art._targets(axes3d, art3d)
ORIGINALS = {key: cls.__dict__[name] for key, (cls, name) in TARGETS.items()}
_native.keep_method_originals(ORIGINALS)
NATIVE = {key: _native.method(key, cls) for key, (cls, _) in TARGETS.items()}
STATE = ["_data_scale", "_z_markers_idx", "_vzs", "_sizes", "_linewidths", "_offsets", "_offset_zordered", "_paths",
         "_path2d", "_view_u", "_view_v", "_view_w"]


@pytest.fixture(autouse=True)
def _clean():
    yield
    korvex_mpl.uninstall()
    plt.close("all")


def same(got, expected, path):
    """Same type, dtype, shape, bits (NaN as NaN), masks, and for paths the same attributes in the same order."""
    assert type(got) is type(expected), path
    if isinstance(expected, (list, tuple)):
        assert len(got) == len(expected), path
        for i, (g, e) in enumerate(zip(got, expected)):
            same(g, e, f"{path}[{i}]")
    elif isinstance(expected, mpl.path.Path):
        assert list(vars(got)) == list(vars(expected)), path
        for name in vars(expected):
            same(getattr(got, name), getattr(expected, name), f"{path}.{name}")
    elif isinstance(expected, (np.ndarray, np.generic, float)):
        if isinstance(expected, np.ma.MaskedArray):
            assert got._sharedmask == expected._sharedmask, path
            same(np.ma.getmaskarray(got), np.ma.getmaskarray(expected), path + ".mask")
            got, expected = got.data, expected.data
        g, e = np.asarray(got), np.asarray(expected)
        assert (g.dtype, g.shape) == (e.dtype, e.shape), path
        if e.dtype.kind == "f":
            g, e = g.copy(), e.copy()
            g[np.isnan(g)] = e[np.isnan(e)] = np.nan
        assert g.tobytes() == e.tobytes(), path
    else:
        assert got == expected, path


def outcome(call, artist):
    """(result or exception, warnings, state) of one call."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = call(artist)
        except Exception as error:  # noqa: BLE001 - both must raise alike
            result = error
    state = {name: getattr(artist, name) for name in STATE if name in vars(artist)}
    return result, [(w.category, str(w.message)) for w in caught], state


def compare(key, build, native=True):
    """Matplotlib's method and the native one, each on a freshly built artist; `native`: whether the native
    method must compute the call itself (True) or hand it to Matplotlib's (False)."""
    (got, got_warnings, got_state), (expected, expected_warnings, expected_state) = [
        outcome(call, build()) for call in (NATIVE[key], ORIGINALS[key])]
    before = _native.fallback_counts()[key]
    outcome(NATIVE[key], build())
    assert (_native.fallback_counts()[key] == before) == native
    assert got_warnings == expected_warnings
    if isinstance(expected, Exception):
        assert (type(got), str(got)) == (type(expected), str(expected))
    else:
        same(got, expected, "result")
    assert list(got_state) == list(expected_state)
    for name, value in expected_state.items():
        same(got_state[name], value, name)


def new_axes(view=(25.0, -50.0, 0.0), proj="persp"):
    ax = plt.figure(figsize=(4, 3), dpi=40).add_subplot(projection="3d")
    ax.view_init(*view)
    ax.set_proj_type(proj)
    return ax


def projected(ax, artist):
    ax.M = ax.get_proj()
    return artist


# ---- Axes3D.get_proj ----

GET_PROJ = [  # view_init arguments, vertical axis, projection, box aspect and zoom, then native or not
    ((30.0, -60.0, 0.0), "z", ("persp",), None, True),
    ((-137.25, 401.5, 33.3), "y", ("persp", 0.37), ((1.0, 2.5, 0.5), 1.7), True),
    ((91.0, -7.0, -179.0), "x", ("ortho",), ((3.0, 1.0, 1.0), 0.6), True),
    ((0, 90, 0), "z", ("persp", 2), None, True),
    ((-360, 180, 45), "y", ("ortho",), None, True),
    ((np.float64(12.5), -33.0, 0.0), "z", ("persp",), ((1.0, 1.0, 1e-3), 1.0), True),
    ((np.float32(12.5), -33.0, 0.0), "z", ("persp",), None, False),
]


@pytest.mark.parametrize("view, vertical, proj, aspect, native", GET_PROJ)
def test_get_proj(view, vertical, proj, aspect, native):
    def build():
        ax = new_axes()
        ax.set(xlim=(-2.0, 3.0), ylim=(7.0, 0.5), zlim=(-10.0, 40.0))
        ax.view_init(*view, vertical_axis=vertical)
        ax.set_proj_type(*proj)
        if aspect:
            ax.set_box_aspect(aspect[0], zoom=aspect[1])
        return ax

    compare("Axes3D.get_proj", build, native)


def test_get_proj_reads_limits_as_get_points_does_and_hands_back_log_scales():
    ax = new_axes()
    ax.xy_viewLim._invalid = 2
    NATIVE["Axes3D.get_proj"](ax)
    assert ax.xy_viewLim._invalid == 0 and ax.zz_viewLim._invalid == 0

    def logarithmic():
        log = new_axes()
        log.set_zscale("log")
        log.set_zlim(1.0, 1e4)
        return log

    compare("Axes3D.get_proj", logarithmic, native=False)


def test_get_proj_on_many_views():
    rng = np.random.default_rng(3)
    ax = new_axes()
    original = ORIGINALS["Axes3D.get_proj"]
    for i in range(300):
        ax.view_init(*rng.uniform(-400.0, 400.0, 3) * (i % 2), vertical_axis="xyz"[i % 3])
        ax.set_proj_type("ortho") if i % 5 == 0 else ax.set_proj_type("persp", focal_length=rng.uniform(0.1, 4))
        same(NATIVE["Axes3D.get_proj"](ax), original(ax), f"view {i}")


# ---- Path3DCollection (scatter) and Patch3DCollection ----

def scatter(kind, n=400):
    rng = np.random.default_rng(5)
    xs, ys, zs = rng.normal(size=(3, n))
    ax = new_axes(proj="ortho" if kind == "ortho" else "persp")
    kw = {"c": zs, "s": rng.uniform(1, 30, n), "linewidths": rng.uniform(0, 2, n)} if kind == "shaded" else {}
    if kind == "ties":  # many equal depths: the order of ties is NumPy's argsort's
        xs, ys, zs = np.round(rng.uniform(-1, 1, size=(3, n)))
    col = ax.scatter(xs, ys, zs, axlim_clip=kind == "axlim_clip", depthshade=kind != "flat", **kw)
    ax.set(xlim=(-1, 1), ylim=(-1, 1), zlim=(-1, 1))  # points outside the limits: clipped or out of view
    if kind == "masked":
        col._offsets3d = (np.ma.masked_array(xs, xs > 1.5), ys, np.ma.masked_array(zs, zs < -1.5))
    elif kind == "nan":
        col._offsets3d = (np.where(xs > 1, np.nan, xs), ys, zs)
    elif kind == "inf":  # NumPy warns in the projection
        col._offsets3d = (xs, ys, np.where(zs > 1.8, np.inf, zs))
    elif kind == "lists":
        col._offsets3d = (list(xs / 3), list(ys / 3), list(zs / 3))
    elif kind == "ints":
        col._offsets3d = tuple((v * 2).astype(np.int16) for v in (xs, ys, zs))
    elif kind == "one":
        col._offsets3d = (xs[:1], ys[:1], zs[:1])
    elif kind == "out of view":  # perspective clipping hides points (masked, NaN where sorted)
        ax.set(xlim=(-0.2, 0.2), ylim=(-0.2, 0.2), zlim=(-0.2, 0.2))
    elif kind == "sizes list":
        col._sizes3d = list(range(n))  # Matplotlib's own method fails to index it: so must this one
    elif kind == "log":
        ax.set_yscale("log")
    return projected(ax, col)


@pytest.mark.parametrize("kind, native", [
    ("shaded", True), ("flat", True), ("ties", True), ("ortho", True), ("masked", True), ("nan", True),
    ("inf", False), ("axlim_clip", True), ("out of view", True), ("lists", True), ("ints", True), ("one", True), ("sizes list", True), ("log", False)])
def test_path3d_collection(kind, native):
    compare("Path3DCollection.do_3d_projection", lambda: scatter(kind), native)


@pytest.mark.parametrize("hidden", [False, True])
def test_patch3d_collection(hidden):
    def build():
        ax = new_axes()
        offsets = np.column_stack([np.linspace(0, 1, 30), np.linspace(1, 0, 30) ** 2])
        col = PatchCollection([Circle((0, 0), 0.05)], offsets=offsets, offset_transform=ax.transData)
        ax.add_collection3d(col, zs=np.linspace(0, 1, 30))
        if hidden:  # Python's min() over masked elements is left to Matplotlib
            xs, ys, zs = col._offsets3d
            col._offsets3d = (np.ma.masked_array(xs, xs > 0.5), ys, zs)
        return projected(ax, col)

    compare("Patch3DCollection.do_3d_projection", build, not hidden)


# ---- Line3DCollection and Collection3D ----

def lines(kind):
    rng = np.random.default_rng(9)
    ax = new_axes(view=(-20.0, 130.0, 10.0))
    if kind == "grid":
        ax.figure.canvas.draw()
        return projected(ax, ax.xaxis.gridlines)
    if kind == "wireframe":
        col = ax.plot_wireframe(*axes3d.get_test_data(0.3), rstride=2, cstride=3)
    else:
        segments = [rng.normal(size=(k, 3)) for k in (2, 5, 3, 5)]
        if kind == "ragged tuples":
            segments = [[tuple(p) for p in s] for s in segments]
        elif kind == "nan":
            segments[1][2, 0] = np.nan
        elif kind == "inf":
            segments[3][0, 2] = np.inf
        elif kind == "ints":
            segments = [(s * 3).astype(np.int64) for s in segments]
        elif kind == "masked":
            segments[0] = np.ma.masked_array(segments[0], segments[0] > 1)
        col = art3d.Line3DCollection(segments, axlim_clip=kind == "axlim_clip")
        ax.add_collection3d(col)
        ax.set(xlim=(-1, 1), ylim=(-1, 1), zlim=(-1, 1))
    return projected(ax, col)


@pytest.mark.parametrize("kind, native", [
    ("grid", True), ("wireframe", True), ("ragged", True), ("ragged tuples", True), ("nan", True), ("inf", False),
    ("axlim_clip", True), ("ints", True), ("masked", False)])
def test_line3d_collection(kind, native):
    compare("Line3DCollection.do_3d_projection", lambda: lines(kind), native)


@pytest.mark.parametrize("kind, native", [("contourf", True), ("contour", True), ("clipped", False)])
def test_collection3d(kind, native):
    def build():
        ax = new_axes(view=(40.0, 20.0, 0.0))
        X, Y, Z = axes3d.get_test_data(0.25)
        cset = (ax.contour if kind == "contour" else ax.contourf)(X, Y, Z, axlim_clip=kind == "clipped")
        ax.set_xlim(-10, 10)
        return projected(ax, cset)

    compare("Collection3D.do_3d_projection", build, native)


@pytest.mark.parametrize("kind, native", [("circle", True), ("text", True), ("ortho", True), ("clipped", False),
                                          ("behind", False)])
def test_patches(kind, native):
    def build():
        ax = new_axes(view=(20.0, -35.0, 0.0), proj="ortho" if kind == "ortho" else "persp")
        if kind == "text":  # a PathPatch3D with curves among its codes
            patch = ax.add_patch(PathPatch(TextPath((0, 0), "3D", size=0.4)))
            art3d.pathpatch_2d_to_3d(patch, z=0.3, zdir="y")
        else:
            patch = ax.add_patch(Circle((0.4, 0.6), 0.3))
            art3d.patch_2d_to_3d(patch, z=0.7, zdir="x", axlim_clip=kind == "clipped")
        if kind in ("clipped", "behind"):  # outside the limits; far enough to be clipped from the view
            ax.set(xlim=(5, 6), ylim=(5, 6)) if kind == "clipped" else ax.set(ylim=(0.59, 0.6), zlim=(0.3, 0.31))
        return projected(ax, patch)

    key = "PathPatch3D.do_3d_projection" if kind == "text" else "Patch3D.do_3d_projection"
    compare(key, build, native)


# ---- whole pictures ----

def figure_scatter():
    rng = np.random.default_rng(2)
    ax = plt.figure(figsize=(3, 3), dpi=60).add_subplot(projection="3d")
    xs, ys, zs = rng.normal(size=(3, 2000))
    ax.scatter(xs, ys, zs, c=zs, s=rng.uniform(2, 40, 2000), edgecolors="k", linewidths=0.3)
    return ax


def figure_wireframe():
    ax = plt.figure(figsize=(3, 3), dpi=60).add_subplot(projection="3d")
    ax.plot_wireframe(*axes3d.get_test_data(0.1), rstride=3, cstride=3)
    return ax


@pytest.mark.parametrize("build", [figure_scatter, figure_wireframe])
@pytest.mark.parametrize("view, proj", [((30, -60, 0), "persp"), ((-75, 200, 30), "persp"), ((5, 45, 0), "ortho"),
                                        ((60, 100, -90), "persp")])
def test_pictures_are_identical(build, view, proj):
    pictures = []
    for native in (False, True):
        ax = build()
        ax.view_init(*view)
        ax.set_proj_type(proj)
        with korvex_mpl.enabled() if native else warnings.catch_warnings():
            counts = _native.fallback_counts()
            ax.figure.canvas.draw()
            if native:
                assert _native.fallback_counts() == counts
        pictures.append(np.asarray(ax.figure.canvas.buffer_rgba()).copy())
    assert np.array_equal(*pictures)
