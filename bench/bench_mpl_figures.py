"""Typical 3D figures drawn by Matplotlib's Agg backend, alternately with and without korvex_mpl, in one process.

    python bench/bench_mpl_figures.py [--draws N] [--only NAME ...]

Every draw gets a new view angle (so nothing can be reused from the previous view). Each figure is drawn in turns,
Matplotlib then korvex_mpl, and the minimum over the draws of each side is reported:
- whole: fig.canvas.draw();
- core: the 3D core as korvex_mpl.core_timer() counts it (view matrices, point projections, the 3D
  collections' do_3d_projection);
- the ratios Matplotlib / korvex_mpl (above 1 means korvex_mpl is faster).
Last, the 400 x 400 surface's whole draw with korvex_mpl against its floor: the same draw with the polygon
collection's 3D work skipped (do_3d_projection returns at once, so the paths of the previous draw are drawn again).
"""
import argparse
import statistics
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from _timing import fmt  # noqa: E402
from mpl_toolkits.mplot3d import art3d, axes3d  # noqa: E402

import korvex_mpl  # noqa: E402

DRAWS = 5


def new_axes():
    fig = plt.figure(figsize=(6.4, 4.8), dpi=100)
    return fig, fig.add_subplot(projection="3d")


def surface(n):
    def build():
        fig, ax = new_axes()
        x = np.linspace(-3.0, 3.0, n)
        X, Y = np.meshgrid(x, x)
        Z = np.sin(X) * np.cos(Y) + 0.1 * X
        ax.plot_surface(X, Y, Z, cmap="viridis", rcount=n, ccount=n)
        return fig, ax

    return build


def bar3d():
    fig, ax = new_axes()
    x, y = (a.ravel() for a in np.meshgrid(np.arange(4.0), np.arange(4.0)))
    dz = np.random.default_rng(1).uniform(1.0, 5.0, x.size)
    ax.bar3d(x, y, np.zeros_like(x), 0.5, 0.5, dz, shade=True)
    return fig, ax


def voxels():
    fig, ax = new_axes()
    x, y, z = np.indices((12, 12, 12)) - 5.5
    ax.voxels(x * x + y * y + z * z <= 5.5 ** 2, facecolors="tab:blue", edgecolor="k")
    return fig, ax


def scatter():
    fig, ax = new_axes()
    xs, ys, zs = np.random.default_rng(2).normal(size=(3, 10_000))
    ax.scatter(xs, ys, zs, c=zs, s=4)
    return fig, ax


def wireframe():
    fig, ax = new_axes()
    X, Y, Z = axes3d.get_test_data(0.05)
    ax.plot_wireframe(X, Y, Z, rstride=2, cstride=2)
    return fig, ax


def trisurf():
    fig, ax = new_axes()
    rng = np.random.default_rng(3)
    r, t = np.sqrt(rng.uniform(0.0, 1.0, 2000)), rng.uniform(0.0, 2 * np.pi, 2000)
    x, y = r * np.cos(t), r * np.sin(t)
    ax.plot_trisurf(x, y, np.sin(3 * x) * np.cos(3 * y), cmap="viridis")
    return fig, ax


def contourf():
    fig, ax = new_axes()
    X, Y, Z = axes3d.get_test_data(0.05)
    ax.contourf(X, Y, Z, cmap="coolwarm")
    return fig, ax


FIGURES = {
    "surface 30x30": surface(30),
    "surface 100x100": surface(100),
    "bar3d 4x4": bar3d,
    "voxels 12^3 sphere": voxels,
    "scatter 10,000": scatter,
    "wireframe": wireframe,
    "trisurf 2,000": trisurf,
    "contourf 3D": contourf,
}


def view(ax, i):
    ax.view_init(elev=15 + 7 * (i % 9), azim=-60 + 11 * i, roll=0)


def draw_once(fig, ax, i, with_korvex):
    """(whole draw, 3D core) in seconds of one draw at view number i."""
    view(ax, i)
    if with_korvex:
        korvex_mpl.install()
    try:
        with korvex_mpl.core_timer() as core:
            start = time.perf_counter()
            fig.canvas.draw()
            whole = time.perf_counter() - start
    finally:
        if with_korvex:
            korvex_mpl.uninstall()
    return whole, core.core


def compare(build, draws):
    """Minimum (whole, core) of Matplotlib and of korvex_mpl over `draws` alternating draws each."""
    fig, ax = build()
    for with_korvex in (False, True):  # first draws build caches on both sides
        draw_once(fig, ax, 0, with_korvex)
    samples = {False: [], True: []}
    for i in range(1, draws + 1):
        for with_korvex in (False, True):
            samples[with_korvex].append(draw_once(fig, ax, i, with_korvex))
    plt.close(fig)
    return [tuple(min(column) for column in zip(*samples[side])) for side in (False, True)]


def floor_ratio(draws):
    """The 400 x 400 surface with korvex_mpl: whole draw, and the draw with the polygon collection's work skipped.

    The two kinds of draw alternate (a shared machine's load drifts between two separate series): each floor draw
    is drawn at a new view with the paths and colours its preceding whole draw left.
    """
    fig, ax = surface(400)()
    cls = art3d.Poly3DCollection
    korvex_mpl.install()
    real = cls.__dict__["do_3d_projection"]
    last = {}

    def remember(self):
        last[self] = real(self)
        return last[self]

    def timed_draw(i, project):
        view(ax, i)
        cls.do_3d_projection = project
        start = time.perf_counter()
        fig.canvas.draw()
        return time.perf_counter() - start

    whole, floor = [], []
    try:
        timed_draw(0, remember)
        for i in range(1, draws + 1):
            whole.append(timed_draw(2 * i - 1, remember))
            floor.append(timed_draw(2 * i, lambda self: last[self]))
    finally:
        cls.do_3d_projection = real
        korvex_mpl.uninstall()
        plt.close(fig)
    return min(whole), min(floor)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--draws", type=int, default=DRAWS, help="draws per side and figure (default 5)")
    parser.add_argument("--only", nargs="*", default=None, help="names of figures (default: all), 'floor' too")
    args = parser.parse_args()
    names = args.only if args.only is not None else list(FIGURES) + ["floor"]
    print(f"Agg 640 x 480, min of {args.draws} draws per side, a new view each draw; ratio = Matplotlib / korvex_mpl")
    print(f"{'figure':20}{'whole mpl':>12}{'whole kvx':>12}{'ratio':>8}{'core mpl':>12}{'core kvx':>12}{'ratio':>8}")
    core_ratios = []
    for name in names:
        if name == "floor":
            continue
        (wm, cm), (wk, ck) = compare(FIGURES[name], args.draws)
        core_ratios.append(cm / ck)
        print(f"{name:20}{fmt(wm):>12}{fmt(wk):>12}{wm / wk:7.2f}x{fmt(cm):>12}{fmt(ck):>12}{cm / ck:7.2f}x", flush=True)
    if core_ratios:
        print(f"median core ratio {statistics.median(core_ratios):.2f}x, lowest {min(core_ratios):.2f}x")
    if "floor" in names:
        whole, floor = floor_ratio(args.draws)
        print(f"surface 400x400 with korvex_mpl: whole {fmt(whole).strip()}, floor {fmt(floor).strip()} "
              f"(polygon collection's 3D work skipped), whole / floor {whole / floor:.2f}x")


if __name__ == "__main__":
    main()
