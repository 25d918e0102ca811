"""End to end: a 400 x 400 plot_surface drawn by Matplotlib's Agg backend, with and without korvex_mpl.

Prints, side by side from the same run, the median over several draws of
- the 3D core: view matrices, point projections and the 3D collections' do_3d_projection (outermost calls),
- the same without building the 2D Path objects of the sorted polygons (2D work korvex does not take over;
  korvex_mpl reuses them between draws where Matplotlib makes new ones),
- the whole fig.canvas.draw().
"""
import statistics
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from _timing import fmt  # noqa: E402

import korvex_mpl  # noqa: E402

GRID = 400
DRAWS = 5


def figure():
    x = np.linspace(-3.0, 3.0, GRID)
    X, Y = np.meshgrid(x, x)
    Z = np.sin(X) * np.cos(Y) + 0.1 * X
    fig = plt.figure(figsize=(6.4, 4.8), dpi=100)
    ax = fig.add_subplot(projection="3d")
    ax.plot_surface(X, Y, Z, cmap="viridis", rcount=GRID, ccount=GRID)
    return fig, ax


def measure(fig, ax, with_korvex):
    samples = []
    for i in range(DRAWS + 1):
        ax.view_init(elev=30, azim=-60 + 7 * i)
        if with_korvex:
            korvex_mpl.install()
        try:
            with korvex_mpl.core_timer() as core:
                start = time.perf_counter()
                fig.canvas.draw()
                whole = time.perf_counter() - start
        finally:
            korvex_mpl.uninstall()
        if i:  # the first draw builds caches on both sides
            samples.append((core.core, core.numeric, whole))
    return [statistics.median(column) for column in zip(*samples)]


def main():
    fig_m, ax_m = figure()
    fig_k, ax_k = figure()
    mpl = measure(fig_m, ax_m, with_korvex=False)
    kvx = measure(fig_k, ax_k, with_korvex=True)
    print(f"plot_surface {GRID} x {GRID} ({(GRID - 1) ** 2} polygons), Agg, median of {DRAWS} draws")
    print(f"{'':28}{'Matplotlib':>13}{'korvex_mpl':>13}{'ratio':>9}")
    for label, a, b in zip(("3D core", "3D core without Path build", "whole draw"), mpl, kvx):
        print(f"{label:28}{fmt(a):>13}{fmt(b):>13}{a / b:8.1f}x")


if __name__ == "__main__":
    main()
