"""Poly3DCollection's native do_3d_projection and art3d's native shading against Matplotlib's own code, bit for bit."""
import warnings
import weakref

import numpy as np
import pytest

from conftest import assert_bits_equal

mpl = pytest.importorskip("matplotlib")
if tuple(int(v) for v in mpl.__version__.split(".")[:2]) < (3, 11):
    pytest.skip("needs Matplotlib 3.11", allow_module_level=True)
mpl.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from mpl_toolkits.mplot3d import art3d  # noqa: E402

import korvex_mpl  # noqa: E402
from korvex_mpl import _native  # noqa: E402

CLS = art3d.Poly3DCollection
MPL_PROJECT = CLS.__dict__["do_3d_projection"]
MPL_NORMALS = art3d._generate_normals
MPL_SHADE = art3d._shade_colors


def refused(*args, **kwargs):
    raise AssertionError("handed back to Matplotlib")


ORIGINALS = {"do_3d_projection": MPL_PROJECT, "_generate_normals": MPL_NORMALS, "_shade_colors": MPL_SHADE,
             **CLS._zsort_functions}


@pytest.fixture
def strict(monkeypatch):
    """The native polygon functions in place (and only they: proj3d stays Matplotlib's, the reference), with every
    hand-back to Matplotlib's code turned into a failure."""
    _native.keep_art3d_originals({**ORIGINALS, "do_3d_projection": refused, "_generate_normals": refused,
                                  "_shade_colors": refused})
    monkeypatch.setattr(CLS, "do_3d_projection", _native.poly3d_method(CLS))
    monkeypatch.setattr(art3d, "_generate_normals", _native._generate_normals)
    monkeypatch.setattr(art3d, "_shade_colors", _native._shade_colors)
    yield
    _native.keep_art3d_originals(ORIGINALS)


@pytest.fixture(autouse=True)
def _clean():
    yield
    korvex_mpl.uninstall()
    plt.close("all")


def axes(limits=(-2.0, 3.0), view=(28.0, -51.0, 7.0)):
    fig = plt.figure(figsize=(3, 3), dpi=50)
    ax = fig.add_subplot(projection="3d")
    ax.set(xlim=limits, ylim=limits, zlim=limits)
    ax.view_init(*view)
    ax.M = ax.get_proj()
    return fig, ax


def drawn_state(art, value):
    paths = art.get_paths()
    return (value, [p.vertices.copy() for p in paths], [None if p.codes is None else p.codes.copy() for p in paths],
            [{k: (type(v), v) for k, v in vars(p).items() if k not in ("_vertices", "_codes")} for p in paths],
            np.array(art._facecolors2d), np.array(art._edgecolors2d))


def assert_same_projection(art):
    """Matplotlib's do_3d_projection, then korvex's, on the same artist: same value, paths and colours."""
    expected = drawn_state(art, MPL_PROJECT(art))
    got = drawn_state(art, CLS.do_3d_projection(art))
    assert type(got[0]) is type(expected[0])
    if expected[0] is not np.ma.masked:
        assert_bits_equal(got[0], expected[0])
    assert len(got[1]) == len(expected[1])
    for a, b in zip(got[1], expected[1]):
        assert_bits_equal(a, b)
    for a, b in zip(got[2], expected[2]):
        assert (a is None and b is None) or np.array_equal(a, b)
    assert got[3] == expected[3]
    assert_bits_equal(got[4], expected[4])
    assert_bits_equal(got[5], expected[5])


def random_faces(rng, n, nv=4):
    return rng.uniform(-2, 3, (n, nv, 3))


def ragged(rng, finite=False):
    faces = [rng.uniform(-2, 3, (k, 3)) for k in (3, 5, 4, 6, 3, 4)]
    if finite:
        return faces
    faces[1][2] = [np.nan, 0.0, 1.0]
    faces[3][0, 2] = np.inf
    return faces


def masked(rng):
    faces = np.ma.MaskedArray(random_faces(rng, 7), mask=False)
    faces.mask[2, 1] = True
    faces.mask[4] = True  # a face without any valid vertex
    return faces


# (name, polygons, keyword arguments, what to do to the artist after it is made)
CASES = [
    ("array", lambda r: random_faces(r, 9), {"facecolors": "C1", "edgecolors": "k"}, None),
    ("colours-per-face", lambda r: random_faces(r, 5, 3), {}, lambda a, r: a.set_facecolor(r.random((5, 4)))),
    ("two-colours-three-faces", lambda r: random_faces(r, 3), {"facecolors": ["r", "g"], "edgecolors": ["b"] * 3},
     None),
    ("no-facecolour", lambda r: random_faces(r, 4), {"facecolors": "none", "edgecolors": "C2"}, None),
    ("ragged-nonfinite", ragged, {}, None),
    ("masked", masked, {"edgecolors": "r"}, None),
    ("ints", lambda r: r.integers(-2, 3, (6, 3, 3)), {}, None),
    ("float32", lambda r: random_faces(r, 6).astype(np.float32), {}, None),
    ("clipped", lambda r: random_faces(r, 8) * 1.6, {"axlim_clip": True}, None),
    ("open", lambda r: random_faces(r, 5), {}, lambda a, r: a.set_verts(a._faces, closed=False)),
    ("codes", lambda r: random_faces(r, 5), {}, lambda a, r: a.set_verts_and_codes(
        a._faces, [np.array([1, 2, 2, 2], np.uint8)] * 5)),
    ("ragged-codes", ragged, {}, lambda a, r: a.set_verts_and_codes(
        ragged(r, finite=True), [np.array([1] + [2] * (k - 1), np.uint8) for k in (3, 5, 4, 6, 3, 4)])),
    ("sort-zpos", lambda r: random_faces(r, 5), {}, lambda a, r: a.set_sort_zpos(0.7)),
    ("colormap", lambda r: random_faces(r, 6), {"cmap": "viridis"}, lambda a, r: a.set_array(r.random(6))),
    ("pooled", lambda r: random_faces(r, 20000), {"facecolors": "C3"}, None),
    ("long-polygons", lambda r: random_faces(r, 30, 300), {}, None),
    ("one-vertex", lambda r: random_faces(r, 1, 1), {}, None),  # BLAS's matrix-vector order
]


@pytest.mark.parametrize("zsort", ["average", "min", "max"])
@pytest.mark.parametrize("case", CASES, ids=[c[0] for c in CASES])
def test_do_3d_projection_matches_matplotlib(case, zsort, strict):
    name, make, kwargs, change = case
    rng = np.random.default_rng(len(name))
    fig, ax = axes()
    art = CLS(make(rng), zsort=zsort, **kwargs)
    ax.add_collection3d(art)
    if change is not None:
        change(art, rng)
    with np.errstate(invalid="ignore"):  # Matplotlib's own masked reductions of NaN
        assert_same_projection(art)


def test_fully_masked_value_and_warnings_left_to_matplotlib(strict):
    _native.keep_art3d_originals(ORIGINALS)
    fig, ax = axes()
    art = CLS(np.ma.MaskedArray(np.ones((2, 3, 3)), mask=True))
    ax.add_collection3d(art)
    assert CLS.do_3d_projection(art) is np.ma.masked
    # A projection that overflows warns in Matplotlib's division; korvex hands such draws back to it.
    big = CLS(np.array([[[1e10, 1.0, 1.0], [1.0, 2.0, 1.0], [2.0, 1.0, 1.0]]]))
    ax.add_collection3d(big)
    ax.M = np.diag([1.0, 1.0, 1.0, 1e-300])
    for project in (MPL_PROJECT, CLS.do_3d_projection):
        with pytest.warns(RuntimeWarning, match="overflow"):
            project(big)
    # Weights 0 give z = inf, -inf, inf: the average's sum warns (outside Matplotlib's np.errstate).
    ax.M = np.diag([1.0, 1.0, 1.0, 0.0])
    mixed = CLS(np.array([[[0, 0, 1.0], [1, 0, -2.0], [0, 1, 3.0]]]))
    ax.add_collection3d(mixed)
    for project in (MPL_PROJECT, CLS.do_3d_projection):
        with pytest.warns(RuntimeWarning, match="invalid value encountered in reduce"):
            project(mixed)


@pytest.mark.parametrize("setting", ["log", "custom-zsort"])
def test_cases_left_to_matplotlib(setting, strict):
    calls = []
    _native.keep_art3d_originals({**ORIGINALS, "do_3d_projection": lambda self: calls.append(self) or MPL_PROJECT(self)})
    fig, ax = axes(limits=(0.5, 3.0))
    art = CLS(np.random.default_rng(5).uniform(1, 3, (4, 4, 3)))
    ax.add_collection3d(art)
    if setting == "log":
        ax.set_xscale("log")
        ax.M = ax.get_proj()
    else:
        art._zsortfunc = np.median
    assert_same_projection(art)
    assert calls == [art]


def repeated(faces, times=5):
    """Each face `times` times in a row: groups of exactly equal depth."""
    return np.repeat(faces, times, axis=0)


def signed_zeros(ax):
    """Half the faces in the plane z = 0, the weight w = x: depth +0.0 where x > 0 and -0.0 where x < 0, which
    NumPy's sort counts equal (the other faces' depths differ)."""
    ax.M = np.array([[1.0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [1, 0, 0, 0]])
    rng = np.random.default_rng(2)
    faces = rng.uniform(1, 2, (40, 4, 3))
    faces[..., 0] *= np.where(np.arange(40) % 4 < 2, -1.0, 1.0)[:, None]
    faces[1::2, :, 2] = 0.0
    return CLS(faces)


def specials(ax):
    """Weight 0 everywhere: faces at z > 0, z < 0 and z = 0 get depths inf, -inf and NaN (NaN ties NaN)."""
    ax.M = np.diag([1.0, 1.0, 1.0, 0.0])
    faces = random_faces(np.random.default_rng(3), 60)
    faces[..., 2] = np.sign(np.arange(60) % 3 - 1.0)[:, None]
    return CLS(faces)


def masked_ties(ax):
    """Repeated faces, some vertices masked and whole faces masked (depth 0 or the fill value 1e20)."""
    faces = np.ma.MaskedArray(repeated(random_faces(np.random.default_rng(4), 12)), mask=False)
    faces.mask[::7, 1] = True
    faces.mask[3::11] = True
    return CLS(faces, edgecolors="k")


TIES = [
    ("bars", lambda ax: ax.bar3d(*(a.ravel() for a in np.meshgrid(np.arange(4.0), np.arange(4.0))), 0.0, 1.0, 1.0,
                                 np.arange(16.0) % 3 + 1, shade=True)),
    ("repeated", lambda ax: CLS(repeated(random_faces(np.random.default_rng(1), 40)))),
    ("signed-zeros", signed_zeros),
    ("specials", specials),
    ("masked", masked_ties),
    ("pooled", lambda ax: CLS(repeated(random_faces(np.random.default_rng(5), 4000)))),
]


@pytest.mark.parametrize("zsort", ["average", "min", "max"])
@pytest.mark.parametrize("make", [t[1] for t in TIES], ids=[t[0] for t in TIES])
def test_exact_ties_come_in_numpys_order(make, zsort, strict):
    # Matplotlib orders by np.argsort(depth)[::-1], whose default sort is not stable (AVX-512 sorts in blocks): where
    # depths tie exactly the order is whatever NumPy's sort leaves, and so it must be here, paths and colours.
    fig, ax = axes()
    art = make(ax)
    if art not in ax.collections:
        ax.add_collection3d(art)
    art.set_zsort(zsort)
    n = len(art._faces)
    art.set_facecolor(np.column_stack([np.arange(n) / n, np.full((n, 3), 0.5)]))
    with np.errstate(invalid="ignore"):  # Matplotlib's own masked reductions of NaN
        assert_same_projection(art)


def test_in_place_set_verts_animation_draws_the_new_polygons(strict):
    # A cube puzzle turning a layer: one verts array, changed in place and handed to set_verts again.
    cube = np.array([[[0, 0, 0], [1, 0, 0], [1, 1, 0], [0, 1, 0]], [[0, 0, 1], [1, 0, 1], [1, 1, 1], [0, 1, 1]],
                     [[0, 0, 0], [1, 0, 0], [1, 0, 1], [0, 0, 1]], [[0, 1, 0], [1, 1, 0], [1, 1, 1], [0, 1, 1]]],
                    float)
    fig, ax = axes()
    art = CLS(cube, facecolors=["r", "g", "b", "y"])
    ax.add_collection3d(art)
    fig.canvas.draw()
    for step in range(1, 4):
        angle = 0.4 * step
        c, s = np.cos(angle), np.sin(angle)
        cube[:] = cube @ np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])
        if step != 2:
            art.set_verts(cube)  # step 2 changes the array only: Matplotlib reads it at every draw too
        fig.canvas.draw()
        got = [p.vertices.copy() for p in art.get_paths()]
        reference = CLS(cube.copy(), facecolors=["r", "g", "b", "y"])
        ax.add_collection3d(reference)
        MPL_PROJECT(reference)
        for a, p in zip(got, reference.get_paths()):
            assert_bits_equal(a, p.vertices)
        reference.remove()


def test_paths_handed_out_earlier_never_change(strict):
    fig, ax = axes()
    art = CLS(random_faces(np.random.default_rng(3), 50), facecolors="C0")
    ax.add_collection3d(art)
    fig.canvas.draw()
    kept_list = art.get_paths()
    kept_path = kept_list[7]
    kept_vertices = kept_path.vertices
    snapshot = [p.vertices.copy() for p in kept_list]
    weak = weakref.ref(art.get_paths()[11])
    weak_vertices = weak().vertices.copy()
    kept_path.should_simplify = True  # changed on a path the artist drew
    for view in [(10, 20, 0), (60, -70, 30), (-20, 100, 0)]:
        ax.view_init(*view)
        fig.canvas.draw()
        assert all(np.array_equal(a, p.vertices) for a, p in zip(snapshot, kept_list))
        assert kept_path.vertices is kept_vertices and np.array_equal(kept_vertices, snapshot[7])
        assert weak() is None or np.array_equal(weak().vertices, weak_vertices)
        assert art.get_paths() is not kept_list
        assert all(p is not kept_path and not p.should_simplify for p in art.get_paths())
    del kept_list, kept_path, kept_vertices
    # Then, with nothing held, every draw still draws what Matplotlib draws, also after a path was changed and
    # let go (its buffer is then not refilled with the change in place).
    for view in [(15, 25, 0), (35, 45, 0)]:
        art.get_paths()[3].should_simplify = True
        ax.view_init(*view)
        fig.canvas.draw()
        assert not any(p.should_simplify for p in art.get_paths())
        ax.M = ax.get_proj()
        assert_same_projection(art)


def shading_inputs():
    rng = np.random.default_rng(11)
    polys = rng.uniform(-1, 1, (40, 5, 3))
    polys[3, 1] = polys[3, 0]  # a zero normal
    polys[4] = 1e-170  # a tiny one
    listed = [rng.uniform(-1, 1, (k, 3)) for k in (3, 4, 7, 2, 1, 9)]
    listed += [rng.integers(-5, 5, (4, 3)), np.array([[2**62, 0, 0], [-2**62, 1, 0], [0, 2**62, 3]])]  # voxels'
    return polys, listed


@pytest.mark.parametrize("light", [None, mpl.colors.LightSource(azdeg=40, altdeg=70)])
def test_shading_matches_matplotlib(light, strict):
    polys, listed = shading_inputs()
    rng = np.random.default_rng(2)
    for verts in (polys, listed, polys[:1], listed[:0]):
        normals = art3d._generate_normals(verts)
        assert_bits_equal(normals, MPL_NORMALS(verts))
        n = len(normals)
        for colour in ("tab:orange", rng.random((n, 4)), [[0.2, 0.4, 0.6, 0.9]]):
            if n == 0:
                continue
            got, expected = art3d._shade_colors(colour, normals, light), MPL_SHADE(colour, normals, light)
            assert type(got) is type(expected)
            assert_bits_equal(got, expected)
    art = CLS(polys, facecolors="C1", edgecolors="C2", shade=True, lightsource=light)
    expected = mpl.colors.to_rgba_array(MPL_SHADE("C1", MPL_NORMALS(polys), light))
    assert_bits_equal(art._facecolor3d, expected)


def test_shading_left_to_matplotlib_where_numpy_warns(strict):
    _native.keep_art3d_originals(ORIGINALS)
    no_number = np.zeros((2, 3))
    unshaded = art3d._shade_colors("r", no_number)
    assert type(unshaded) is np.ndarray and unshaded.shape == () and unshaded == MPL_SHADE("r", no_number)
    with np.errstate(all="raise"), pytest.raises(FloatingPointError):
        art3d._generate_normals(np.array([[[1e300, 0, 0], [-1e300, 1e300, 0], [0, 0, 1e300]]]))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ints = np.arange(18).reshape(2, 3, 3) ** 2
        assert_bits_equal(art3d._generate_normals(ints), MPL_NORMALS(ints))


def scene_surface(ax):
    x = np.linspace(-3, 3, 30)
    X, Y = np.meshgrid(x, x)
    ax.plot_surface(X, Y, np.sin(X) * np.cos(Y) + 0.1 * X, cmap="viridis", rcount=30, ccount=30)


def scene_shaded(ax):
    x = np.linspace(-1, 1, 15)
    X, Y = np.meshgrid(x, x)
    ax.plot_surface(X, Y, X * Y, color="C1", rcount=15, ccount=15)
    ax.plot_trisurf(X.ravel(), Y.ravel() + 2, np.cos(3 * X.ravel()), color="C2", shade=True)


def scene_bars(ax):
    x, y = (a.ravel() for a in np.meshgrid(np.arange(4.0), np.arange(4.0)))
    ax.bar3d(x, y, np.zeros_like(x), 0.5, 0.5, np.random.default_rng(1).uniform(1, 5, x.size), shade=True)


def scene_voxels(ax):
    x, y, z = np.indices((6, 6, 6)) - 2.5
    ax.voxels(x * x + y * y + z * z <= 2.5 ** 2, facecolors="tab:blue", edgecolor="k")


def scene_polys(ax):
    # 2D polygons added in 3D (path codes and a sort position). Of one length: Matplotlib autoscales to the padding
    # of ragged polygons, which np.empty leaves undefined.
    quads = [[(0, 0), (2, 0), (2, 2), (0, 2)], [(0, 0), (1, 2), (2, 0), (1, -1)]]
    ax.add_collection3d(mpl.collections.PolyCollection(quads, facecolors=["r", "b"], alpha=0.6), zs=[0.5, 1.5],
                        zdir="y")
    ax.fill_between([0, 1, 2], [0, 1, 0], [0, 0, 0], [0, 1, 2], [1, 2, 1], [0, 0, 1], alpha=0.5)


@pytest.mark.parametrize("scene", [scene_surface, scene_shaded, scene_bars, scene_voxels, scene_polys],
                         ids=lambda s: s.__name__[6:])
def test_rendered_pixels_identical(scene, strict, monkeypatch):
    # Every pixel, exact depth ties included (bars and voxels share coplanar faces).
    images = []
    for native in (False, True):
        with monkeypatch.context() as m:
            if not native:
                m.setattr(CLS, "do_3d_projection", MPL_PROJECT)
                m.setattr(art3d, "_generate_normals", MPL_NORMALS)
                m.setattr(art3d, "_shade_colors", MPL_SHADE)
            fig = plt.figure(figsize=(4, 3), dpi=60)
            ax = fig.add_subplot(projection="3d")
            scene(ax)
            for view in [(30, -60, 0), (90, -90, 0), (0, 0, 0), (-40, 130, 20), (60, 45, 0)]:
                ax.view_init(*view)
                fig.canvas.draw()
                images.append(np.asarray(fig.canvas.buffer_rgba()).copy())
    for a, b in zip(images[:5], images[5:]):
        assert np.array_equal(a, b)
