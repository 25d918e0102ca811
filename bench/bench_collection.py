"""Depth-sorted projection of a 200 x 200 quad surface, against Matplotlib and against vectorised NumPy.

    python bench/bench_collection.py [rounds]

Every figure is the best of several rounds (the machine may be shared); both sides of each ratio are measured in
the same rounds, one after the other.
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


# do_3d_projection alone in a fresh interpreter, whose pool size is fixed at start; prints the best time.
WORKER_CODE = """
import sys; sys.path.insert(0, %r)
import numpy as np, korvex
from _timing import best_time
from bench_collection import surface_quads
quads, colors = surface_quads(%d)
col = korvex.PyPoly3DCollection(list(quads), facecolors=colors)
P = korvex.PyProjection
m = P.persp_transformation(-1, 1, 1.5) @ P.world_transformation(-3, 3, -3, 3, -1, 1)
print(min(best_time(lambda: col.do_3d_projection(m)) for _ in range(3)))
"""


def workers_time(grid, threads):
    code = WORKER_CODE % (os.path.dirname(os.path.abspath(__file__)), grid)
    return float(run_with_threads(code, threads))


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
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
    # NumPy making as many arrays in C, as views of one contiguous array.
    views_of = np.ascontiguousarray(np.random.default_rng(0).random((len(quads), 4, 2)))

    def korvex_full():
        r = col.do_3d_projection(m)
        return col.get_sorted_segments_2d(), col.get_sorted_facecolors(), r

    jobs = {
        "a": korvex_full,
        "b": mpl_col.do_3d_projection,
        "c": lambda: numpy_full(quads, colors, m),
        "d_k": lambda: col.do_3d_projection(m),
        "d_n": lambda: numpy_projection(quads, m),
        "e_k": col.get_sorted_segments_2d,
        "e_n": lambda: list(views_of),
    }
    # One untimed call of each first, so that no side pays alone for the allocator's first fresh pages.
    for job in jobs.values():
        job()
    best = {name: float("inf") for name in jobs}
    for _ in range(rounds):
        for name, job in jobs.items():
            best[name] = min(best[name], best_time(job))
    a, b, c = best["a"], best["b"], best["c"]
    print(f"{len(quads):,} quads, one perspective view, best of {rounds} rounds")
    print(f"  (a) korvex project + sorted segments + colours  {fmt(a)}")
    print(f"  (b) Matplotlib Poly3DCollection.do_3d_projection {fmt(b)}   b/a = {b / a:6.2f}")
    print(f"  (c) vectorised NumPy, same outputs              {fmt(c)}   c/a = {c / a:6.2f}")
    print(f"  (d) do_3d_projection alone {fmt(best['d_k'])} vs NumPy projection+depth+order {fmt(best['d_n'])}"
          f"   ratio = {best['d_n'] / best['d_k']:6.2f}")
    print(f"  (e) get_sorted_segments_2d {fmt(best['e_k'])} vs list() of a ({len(quads)}, 4, 2) array"
          f" {fmt(best['e_n'])}   ratio = {best['e_k'] / best['e_n']:6.2f}")

    for grid in (200, 400):
        t1 = t2 = float("inf")
        for _ in range(rounds):
            t1 = min(t1, workers_time(grid, 1))
            t2 = min(t2, workers_time(grid, 2))
        print(f"  do_3d_projection, {grid * grid:,} quads: 1 worker {fmt(t1)}, 2 workers {fmt(t2)},"
              f" speed-up {t1 / t2:.2f}x")


if __name__ == "__main__":
    main()
