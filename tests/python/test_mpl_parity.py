"""korvex against Matplotlib's own 3D code: matrices, projections, clip masks, inverse, and whole scenes."""
import pickle

import numpy as np
import pytest

from conftest import P, assert_bits_equal, run_python

mpl = pytest.importorskip("matplotlib")
if tuple(int(v) for v in mpl.__version__.split(".")[:2]) < (3, 11):
    pytest.skip("needs Matplotlib 3.11", allow_module_level=True)
mpl.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
from mpl_toolkits.mplot3d import art3d, proj3d  # noqa: E402

import korvex_mpl  # noqa: E402

REL = 1e-12
# (elev, azim, roll, focal length); inf is the orthographic projection.
VIEWS = [(30.0, -60.0, 0.0, 1.0), (-47.3, 211.9, 33.0, 0.2), (89.0, 12.5, -120.0, 3.7), (12.0, 97.0, 8.0, np.inf)]


def axes_for(view, limits=((-2.0, 3.0), (0.5, 1.5), (-10.0, 40.0))):
    fig = plt.figure(figsize=(3, 3), dpi=50)
    ax = fig.add_subplot(projection="3d")
    ax.set(xlim=limits[0], ylim=limits[1], zlim=limits[2])
    elev, azim, roll, focal = view
    ax.view_init(elev, azim, roll)
    if np.isinf(focal):
        ax.set_proj_type("ortho")
    else:
        ax.set_proj_type("persp", focal_length=focal)
    return fig, ax


@pytest.fixture(autouse=True)
def _clean():
    yield
    korvex_mpl.uninstall()
    plt.close("all")


def close(a, b, rel=REL):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    assert a.shape == b.shape
    np.testing.assert_allclose(a, b, rtol=rel, atol=rel * max(1.0, np.nanmax(np.abs(b), initial=0.0)))


@pytest.mark.parametrize("view", VIEWS)
def test_view_matrices_match_bit_for_bit(view):
    _, ax = axes_for(view)
    expected = ax.get_proj()
    with korvex_mpl.enabled():
        assert_bits_equal(ax.get_proj(), expected)
    args = [(-3.0, 5.0, 0.25, 0.5, -1e3, 7.0, [1.0, 2.0, 0.75]), (1.0, 2.0, 0.0, 4.0, 3.0, 9.0, None)]
    for a in args:
        assert_bits_equal(P.world_transformation(*a), proj3d.world_transformation(*a))
    for zf, zb, f in [(-10.0, 10.0, 1.0), (-0.3, 7.1, 0.17)]:
        assert_bits_equal(P.persp_transformation(zf, zb, f), proj3d._persp_transformation(zf, zb, f))
        assert_bits_equal(P.ortho_transformation(zf, zb), proj3d._ortho_transformation(zf, zb))


@pytest.mark.parametrize("view", VIEWS)
def test_projection_clip_and_inverse_match(view, rng):
    _, ax = axes_for(view)
    M = ax.get_proj()
    xs, ys, zs = rng.uniform(-4, 5, 3000), rng.uniform(0, 2, 3000), rng.uniform(-20, 50, 3000)
    close(P.proj_transform(xs, ys, zs, M), proj3d.proj_transform(xs, ys, zs, M))

    focal = view[3]
    kx, ky, kz, kmask = P.proj_transform_clip(xs, ys, zs, M, focal)
    mx, my, mz, mmask = proj3d._proj_transform_vec_clip(proj3d._vec_pad_ones(xs, ys, zs), M, focal)
    close((kx, ky, kz), (mx.data, my.data, mz.data))
    # Masks agree wherever a point is not within rounding of a clip boundary.
    near = np.minimum(np.minimum(np.abs(np.abs(mx.data) - 1), np.abs(np.abs(my.data) - 1)), np.abs(mz.data)) < 1e-9
    assert (kmask != mmask)[~near].sum() == 0
    if np.isinf(focal):
        assert kmask.all()

    px, py, pz = proj3d.proj_transform(xs, ys, zs, M)
    close(P.inv_transform(px, py, pz, M), proj3d.inv_transform(px, py, pz, np.linalg.inv(M)), rel=1e-9)
    close(P.inv_transform(px, py, pz, M), (xs, ys, zs), rel=1e-9)

    # The installed functions return what Matplotlib's return, in the same shapes and types.
    with korvex_mpl.enabled():
        close(proj3d.proj_transform(xs, ys, zs, M), (px, py, pz))
        x0 = proj3d.proj_transform(1.0, 1.0, 2.0, M)
        assert all(isinstance(v, np.float64) for v in x0)
        inv = np.linalg.inv(M)
        close(proj3d.inv_transform(px[:5], py[:5], pz[:5], inv), (xs[:5], ys[:5], zs[:5]), rel=1e-9)
        assert proj3d.inv_transform(0.1, 0.2, -0.5, inv)[0].shape == (1,)
        txs, _, _, tis = proj3d._proj_transform_vec_clip(proj3d._vec_pad_ones(xs, ys, zs), M, focal)
        assert np.array_equal(txs.mask, ~tis) and np.array_equal(tis, kmask)


def test_cases_korvex_cannot_express_are_left_to_matplotlib():
    M = P.persp_transformation(-1.0, 1.0, 1.0)  # weight = -z: the point z = 0 has weight 0
    xs, ys, zs = np.array([1.0, 2.0]), np.array([1.0, 3.0]), np.array([0.0, 1.0])
    with np.errstate(divide="ignore", invalid="ignore"):
        expected = proj3d.proj_transform(xs, ys, zs, M)
        with korvex_mpl.enabled():
            got = proj3d.proj_transform(xs, ys, zs, M)
    assert_bits_equal(got, expected)

    _, ax = axes_for(VIEWS[0])
    vec = proj3d._vec_pad_ones(np.ma.masked_array([0.0, 1.0, 2.0], [False, True, False]), [1.0] * 3, [0.0] * 3)
    expected = proj3d._proj_transform_vec_clip(vec, ax.get_proj(), 1.0)
    with korvex_mpl.enabled():
        got = proj3d._proj_transform_vec_clip(vec, ax.get_proj(), 1.0)
    assert np.array_equal(got[3], expected[3]) and got[3].sum() == 2
    for v, e in zip(got[:3], expected[:3]):
        assert np.ma.isMA(v) and np.array_equal(v.mask, e.mask)
        assert_bits_equal(v.data, e.data)


def surface(ax):
    x = np.linspace(-2, 2, 24)
    X, Y = np.meshgrid(x, x)
    ax.plot_surface(X, Y, np.sin(X) * np.cos(Y), cmap="viridis", rcount=24, ccount=24)


def shaded_surface(ax):
    x = np.linspace(-1, 1, 15)
    X, Y = np.meshgrid(x, x)
    ax.plot_surface(X, Y, X * Y, color="C1", rcount=15, ccount=15)


def trisurf(ax):
    t = np.linspace(0, 2 * np.pi, 40)
    r = np.repeat([0.3, 0.6, 1.0], 40)
    ax.plot_trisurf(r * np.tile(np.cos(t), 3), r * np.tile(np.sin(t), 3), r**2, color="C2")


def bars(ax):
    ax.bar3d([0, 1, 2, 0], [0, 1, 0, 2], [0, 0, 0, 0], 0.8, 0.8, [1, 3, 2, 2], color="C3")


def voxels(ax):
    filled = np.zeros((4, 4, 4), bool)
    filled[:2, :2, :2] = filled[2:, 2:, 1:] = True
    ax.voxels(filled, facecolors="C4", edgecolor="k")


SCENES = [surface, shaded_surface, trisurf, bars, voxels]


def drawn(fig, polys):
    """Per collection: the index of the polygon drawn at each position, and the drawn outlines by index."""
    fig.canvas.draw()
    out = []
    for art in polys:
        order = np.rint(art._facecolors2d[:, 0] * len(art._faces)).astype(int)
        outlines = np.empty((len(order),) + art.get_paths()[0].vertices.shape)
        outlines[order] = [p.vertices for p in art.get_paths()]
        out.append((order, outlines))
    return out


@pytest.mark.parametrize("view", VIEWS)
@pytest.mark.parametrize("scene", SCENES, ids=lambda s: s.__name__)
def test_scene_outlines_colours_and_order_match(scene, view):
    colours = []
    for install in (False, True):
        if install:
            korvex_mpl.install()
        fig, ax = axes_for(view, limits=((-2, 4), (-2, 4), (-1, 4)))
        scene(ax)
        polys = [c for c in ax.collections if isinstance(c, art3d.Poly3DCollection)]
        colours.append([np.array(c._facecolor3d) for c in polys])
    for k, m in zip(*colours):  # shading at creation
        close(k, m)

    # Tag every polygon with its index through its colour, so the drawing order can be read back.
    for art in polys:
        art.set_array(None)
        n = len(art._faces)
        art.set_facecolor(np.column_stack([np.arange(n) / n, np.full((n, 3), 0.5)]))
    got = drawn(fig, polys)
    korvex_mpl.uninstall()
    expected = drawn(fig, polys)
    for art, (k_order, k_lines), (m_order, m_lines) in zip(polys, got, expected):
        close(k_lines, m_lines)
        pz = proj3d._scale_proj_transform_vectors(art._faces, ax)[..., 2]
        depth = art._zsortfunc(pz, axis=-1)
        assert sorted(k_order) == list(range(len(depth)))
        # Same order except among ties: korvex's order never puts a shallower polygon before a deeper one.
        scale = np.abs(depth).max()
        assert np.all(np.diff(depth[k_order]) <= 1e-12 * scale)
        assert np.all(np.abs(depth[k_order] - depth[m_order]) <= 1e-12 * scale)


TOP_VIEW_DRAW = """
    import hashlib, numpy as np, matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import korvex_mpl
    korvex_mpl.install()
    fig = plt.figure(figsize=(3, 3), dpi=50)
    ax = fig.add_subplot(projection="3d")
    x = np.linspace(-2, 2, 120)
    X, Y = np.meshgrid(x, x)
    art = ax.plot_surface(X, Y, np.round(np.sin(X) * np.cos(Y), 1), cmap="viridis", rcount=120, ccount=120)
    art.set_zsort("{zsort}")
    ax.view_init(90, -90)  # a top view: many identical depths
    fig.canvas.draw()
    digest = hashlib.sha256(np.array([p.vertices for p in art.get_paths()]).tobytes())
    digest.update(art._facecolors2d.tobytes())
    print(digest.hexdigest())
"""


@pytest.mark.parametrize("zsort", ["average", "min"])
def test_drawing_order_is_the_same_for_every_pool_size(zsort):
    # 14,161 faces: projected on the pool, ordered by the radix sort, with many exact ties.
    digests = set()
    for threads in ("1", "3"):
        done = run_python(TOP_VIEW_DRAW.format(zsort=zsort), env={"RAYON_NUM_THREADS": threads})
        assert done.returncode == 0, done.stderr
        digests.add(done.stdout)
    assert len(digests) == 1


def test_cache_follows_new_polygons_zsort_and_sort_position():
    korvex_mpl.install()
    fig, ax = axes_for(VIEWS[0], limits=((0, 3), (0, 3), (0, 3)))
    tri = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.5], [0.0, 1.0, 1.0]])
    art = art3d.Poly3DCollection([tri, tri + 1.0], facecolors=["r", "b"])
    ax.add_collection3d(art)
    results = []
    for step in range(4):
        if step == 1:
            art.set_verts([tri + 2.0, tri[::-1], tri + 0.5])
            art.set_facecolor(["r", "g", "b"])
        if step == 2:
            art.set_zsort("max")
        if step == 3:
            art.set_sort_zpos(1.5)
        fig.canvas.draw()
        ax.M = ax.get_proj()
        korvex = (art.do_3d_projection(), [p.vertices.copy() for p in art.get_paths()], art._facecolors2d.copy())
        matplotlibs = korvex_mpl._saved[(art3d.Poly3DCollection, "do_3d_projection")]
        results.append((korvex, (matplotlibs(art), [p.vertices.copy() for p in art.get_paths()], art._facecolors2d.copy())))
    pickle.loads(pickle.dumps(fig)).canvas.draw()  # korvex's cache stays out of the artists
    for (kz, kl, kc), (mz, ml, mc) in results:
        close(kz, mz)
        close(np.array(kl), np.array(ml))
        assert_bits_equal(kc, mc)


@pytest.mark.parametrize("lightsource", [None, mpl.colors.LightSource(azdeg=40, altdeg=70)])
def test_shading_matches_including_degenerate_polygons(lightsource):
    polys = [
        np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0]], float),  # normal +z
        np.array([[0, 0, 0], [0, 1, 0], [1, 0, 0]], float),  # normal -z
        np.array([[0, 0, 0], [1, 1, 1], [2, 2, 2]], float),  # collinear: zero normal
        np.array([[0, 0, 0], [1e-6, 0, 0], [0, 1e-6, 0]], float),  # tiny but valid normal
        np.array([[0, 0, 0], [1, 0, 0]], float),  # two vertices
        np.array([[0, 0, 0], [0, 2, 1], [1, 2, 0], [1, 0, 3], [0.5, 0.1, 0.2]], float),
    ]
    degenerate = [polys[2], polys[4]]
    for verts, colour in [(polys, "tab:orange"), (polys, np.random.default_rng(1).random((6, 4))), (degenerate, np.array([[0.2, 0.4, 0.6, 0.9]]))]:
        results = []
        for install in (False, True):
            if install:
                korvex_mpl.install()
            c = art3d.Poly3DCollection(verts, facecolors=colour, edgecolors=colour, shade=True, lightsource=lightsource)
            results.append((c._facecolor3d, c._edgecolor3d))
        korvex_mpl.uninstall()
        close(results[1][0], results[0][0])
        close(results[1][1], results[0][1])


def test_rendered_pixels_match():
    images = []
    for install in (False, True):
        if install:
            korvex_mpl.install()
        fig, ax = axes_for(VIEWS[0], limits=((-2, 4), (-2, 4), (-1, 4)))
        surface(ax)
        bars(ax)
        ax.plot([0, 1, 2], [0, 2, 1], [0, 1, 3])
        ax.scatter([0, 1, 2], [1, 1, 2], [2, 0, 1])
        fig.canvas.draw()
        images.append(np.asarray(fig.canvas.buffer_rgba()).astype(int))
    assert np.abs(images[0] - images[1]).max() <= 1


@pytest.mark.parametrize(
    "matrix",
    [np.eye(4), np.array([[1.0, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]])],
    ids=["identical-outlines", "zero-weight"],
)
def test_identical_outlines_and_zero_weights_draw_as_matplotlib(matrix, monkeypatch):
    # Squares stacked along z: under these matrices all share one outline (and the one at z = 0 has weight 0).
    # None has a vertex at the origin, which the adapter would take for a point of weight 0.
    square = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [1.0, 1.0, 0.0], [0.0, 1.0, 0.0]])
    verts = [square + [0.25, 0.5, z] for z in (0.5, 0.0, 2.0, 1.0)]
    results = []
    for install in (False, True):
        if install:
            korvex_mpl.install()
        fig, ax = axes_for(VIEWS[0])
        monkeypatch.setattr(ax, "get_proj", lambda: matrix)
        art = art3d.Poly3DCollection(verts, facecolors=["r", "g", "b", "k"])
        ax.add_collection3d(art)
        with np.errstate(all="ignore"):
            fig.canvas.draw()
        results.append((np.array([p.vertices for p in art.get_paths()]), art._facecolors2d.copy()))
    assert_bits_equal(results[1][0], results[0][0])
    assert_bits_equal(results[1][1], results[0][1])
