"""The polygon collections' share of the figure suite: Poly3DCollection.do_3d_projection alone, per draw.

    python bench/bench_mpl_polys.py [--draws N]

Draws each figure of bench_mpl_figures.py that holds polygon collections, alternately with and without
korvex_mpl (a new view per draw), and reports the minimum over the draws of the time spent in their
do_3d_projection (Matplotlib's colour mapping, which that method runs first, included), with the ratio
Matplotlib / korvex_mpl. Alternating, each korvex_mpl draw replaces the paths Matplotlib made the draw before; the
last columns are korvex_mpl's consecutive draws (as when a figure is rotated), which refill their own paths.

The suite's polygon figures have no faces of exactly equal depth. Two bar histograms with empty bins, whose faces
tie at every view (a few dozen to a hundred pairs), follow: where depths tie, korvex_mpl orders by NumPy's own
argsort, as Matplotlib does.
"""
import argparse
import time

from _timing import fmt
import numpy as np
from bench_mpl_figures import FIGURES, new_axes, plt, view
from mpl_toolkits.mplot3d import art3d

import korvex_mpl

POLYGON_FIGURES = ["surface 30x30", "surface 100x100", "bar3d 4x4", "voxels 12^3 sphere", "trisurf 2,000"]


def histogram(n):
    """bar3d of an n x n histogram of counts 0 to 3: empty bins and equal counts make faces of equal depth."""
    def build():
        fig, ax = new_axes()
        x, y = (a.ravel() for a in np.meshgrid(np.arange(n), np.arange(n)))
        counts = np.random.default_rng(0).integers(0, 4, x.size).astype(float)
        ax.bar3d(x, y, np.zeros_like(counts), 0.8, 0.8, counts, shade=True)
        return fig, ax

    return build


TIED_FIGURES = {"histogram 10x10": histogram(10), "histogram 30x30": histogram(30)}


def polygon_time(fig, ax, i, with_korvex):
    """Seconds spent in Poly3DCollection.do_3d_projection during one draw at view number i."""
    cls = art3d.Poly3DCollection
    if with_korvex:
        korvex_mpl.install()
    project = cls.__dict__["do_3d_projection"]
    spent = [0.0]

    def timed(self):
        start = time.perf_counter()
        try:
            return project(self)
        finally:
            spent[0] += time.perf_counter() - start

    cls.do_3d_projection = timed
    try:
        view(ax, i)
        fig.canvas.draw()
    finally:
        cls.do_3d_projection = project
        if with_korvex:
            korvex_mpl.uninstall()
    return spent[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--draws", type=int, default=5, help="draws per side and figure (default 5)")
    args = parser.parse_args()
    print(f"Poly3DCollection.do_3d_projection per draw, min of {args.draws}; ratio = Matplotlib / korvex_mpl")
    print(f"{'figure':20}{'Matplotlib':>12}{'korvex_mpl':>12}{'ratio':>8}{'consecutive':>13}{'ratio':>8}")
    for name, build in [*((name, FIGURES[name]) for name in POLYGON_FIGURES), *TIED_FIGURES.items()]:
        fig, ax = build()
        for with_korvex in (False, True):  # first draws build caches on both sides
            polygon_time(fig, ax, 0, with_korvex)
        best = {False: float("inf"), True: float("inf")}
        for i in range(1, args.draws + 1):
            for with_korvex in (False, True):
                best[with_korvex] = min(best[with_korvex], polygon_time(fig, ax, i, with_korvex))
        korvex_mpl.install()
        try:
            fig.canvas.draw()
            steady = min(polygon_time(fig, ax, i, False) for i in range(1, args.draws + 1))
        finally:
            korvex_mpl.uninstall()
        plt.close(fig)
        print(f"{name:20}{fmt(best[False]):>12}{fmt(best[True]):>12}{best[False] / best[True]:7.2f}x"
              f"{fmt(steady):>13}{best[False] / steady:7.2f}x", flush=True)


if __name__ == "__main__":
    main()
