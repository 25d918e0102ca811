"""Depth-sorted projection of a 200 x 200 quad surface, against Matplotlib and against vectorised NumPy.

    python bench/bench_collection.py
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from mpl_toolkits.mplot3d import art3d  # noqa: E402

sys.path.insert(0, os.path.dirname(__file__))
from _timing import best_time, fmt, run_with_threads  # noqa: E402

import korvex  # noqa: E402


def surface_quads(n=200):
    """The polygons plot_surface makes for an (n+1) x (n+1) grid with strides of 1: n*n quads of 4 vertices."""
    x = np.linspace(-3, 3, n + 1)
    X, Y = np.meshgrid(x, x)
    Z = np.sin(np.hypot(X, Y))
    corners = np.stack([X, Y, Z], axis=-1)
    quads = np.stack([corners[:-1, :-1], corners[1:, :-1], corners[1:, 1:], corners[:-1, 1:]], axis=2)
    quads = quads.reshape(-1, 4, 3)
    colors = plt.get_cmap("viridis")(np.linspace(0, 1, len(quads)))
    return quads, colors


def numpy_projection(quads, m):
    """Projection, average depth and stable descending order, vectorised."""
    flat = quads.reshape(-1, 3)
    v = m @ np.vstack([flat.T, np.ones(len(flat))])
    t = v[:3] / v[3]
    depth = t[2].reshape(-1, 4).mean(axis=1)
    order = np.argsort(-depth, kind="stable")
    return t, depth, order


def numpy_full(quads, colors, m):
    t, depth, order = numpy_projection(quads, m)
    seg = np.stack([t[0], t[1]], axis=1).reshape(-1, 4, 2)
    return list(seg[order]), colors[order], depth.min()


def main():
    quads, colors = surface_quads()
    fig = plt.figure()
    ax = fig.add_subplot(projection="3d")
    ax.view_init(elev=30, azim=-60)
    ax.set_xlim(-3, 3), ax.set_ylim(-3, 3), ax.set_zlim(-1, 1)
    mpl_col = art3d.Poly3DCollection(list(quads), facecolors=colors)
    ax.add_collection3d(mpl_col)
    ax.M = ax.get_proj()
    m = np.ascontiguousarray(ax.M)

    polys = list(quads)
    col = korvex.PyPoly3DCollection(polys, facecolors=colors)

    def korvex_full():
        r = col.do_3d_projection(m)
        return col.get_sorted_segments_2d(), col.get_sorted_facecolors(), r

    # One untimed call of each first, so that no side pays alone for the allocator's first fresh pages.
    for job in (korvex_full, mpl_col.do_3d_projection, lambda: numpy_full(quads, colors, m)):
        job()
    a = best_time(korvex_full)
    b = best_time(mpl_col.do_3d_projection)
    c = best_time(lambda: numpy_full(quads, colors, m))
    d_k = best_time(lambda: col.do_3d_projection(m))
    d_n = best_time(lambda: numpy_projection(quads, m))
    print(f"40,000 quads, one perspective view")
    print(f"  (a) korvex project + sorted segments + colours  {fmt(a)}")
    print(f"  (b) Matplotlib Poly3DCollection.do_3d_projection {fmt(b)}   b/a = {b / a:6.2f}")
    print(f"  (c) vectorised NumPy, same outputs              {fmt(c)}   c/a = {c / a:6.2f}")
    print(f"  (d) do_3d_projection alone {fmt(d_k)} vs NumPy projection+depth+order {fmt(d_n)}"
          f"   ratio = {d_n / d_k:6.2f}")

    code = (
        "import sys; sys.path.insert(0, %r)\n"
        "import numpy as np, korvex\n"
        "from _timing import best_time\n"
        "from bench_collection import surface_quads\n"
        "quads, colors = surface_quads()\n"
        "col = korvex.PyPoly3DCollection(list(quads), facecolors=colors)\n"
        "m = korvex.PyProjection.persp_transformation(-1, 1, 1.5) @ korvex.PyProjection.world_transformation(-3, 3, -3, 3, -1, 1)\n"
        "print(best_time(lambda: col.do_3d_projection(m)))\n"
    ) % os.path.dirname(os.path.abspath(__file__))
    t1 = float(run_with_threads(code, 1))
    t2 = float(run_with_threads(code, 2))
    print(f"  do_3d_projection: 1 worker {fmt(t1)}, 2 workers {fmt(t2)}, speed-up {t1 / t2:.2f}x")


if __name__ == "__main__":
    main()
