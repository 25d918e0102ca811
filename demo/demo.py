"""Draw a real 3D scene through korvex, save it, then time 36 rotated frames with and without korvex; then draw a
scene of interlocking shapes with Matplotlib's depth sort and with korvex_mpl's exact occlusion, side by side.

Run from the repository root (``make demo``): writes demo.png and demo_occlusion.png there.
"""
import statistics
import sys
import time

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib import colors  # noqa: E402

import korvex_mpl  # noqa: E402

GRID = 300
FRAMES = 36


def scene():
    """A shaded, colour-mapped 300 x 300 surface, a helix above it and a scatter of points."""
    x = np.linspace(-3.0, 3.0, GRID)
    X, Y = np.meshgrid(x, x)
    R = np.hypot(X, Y)
    Z = np.sin(2.0 * R) * np.exp(-0.3 * R) + 0.2 * np.cos(1.5 * X)
    fig = plt.figure(figsize=(6.4, 5.6), dpi=100)
    ax = fig.add_subplot(projection="3d")
    face = plt.get_cmap("viridis")(colors.Normalize(Z.min(), Z.max())(Z))
    ax.plot_surface(X, Y, Z, facecolors=face, shade=True, rcount=GRID, ccount=GRID, linewidth=0, antialiased=False)
    t = np.linspace(0.0, 6.0 * np.pi, 600)
    ax.plot(2.5 * np.cos(t), 2.5 * np.sin(t), 1.2 + t / (6.0 * np.pi), color="crimson", linewidth=2)
    rng = np.random.default_rng(7)
    ax.scatter(rng.uniform(-3, 3, 200), rng.uniform(-3, 3, 200), rng.uniform(1.3, 2.2, 200), c="k", s=8)
    ax.set_title("korvex: a 300 x 300 surface, a helix and a scatter")
    ax.view_init(elev=28, azim=-60)
    return fig, ax


def torus(ax, centre, axis, color, major=1.0, minor=0.3, n=(48, 20)):
    """A torus around `centre` whose ring lies in the plane through it with normal axis 0 (x) or 1 (y)."""
    u, v = np.meshgrid(np.linspace(0, 2 * np.pi, n[0] + 1), np.linspace(0, 2 * np.pi, n[1] + 1))
    ring = [(major + minor * np.cos(v)) * np.cos(u), (major + minor * np.cos(v)) * np.sin(u), minor * np.sin(v)]
    x, y, z = (ring[0], ring[2], ring[1]) if axis == 1 else (ring[2], ring[0], ring[1]) if axis == 0 else ring
    ax.plot_surface(x + centre[0], y + centre[1], z + centre[2], color=color, shade=True, linewidth=0)


def occlusion_scene(ax):
    """Two linked tori cut by a tilted plane, a helix threading the other ring, and points around them."""
    torus(ax, (-0.5, 0.0, 0.0), 2, "tab:orange")
    torus(ax, (0.5, 0.0, 0.0), 1, "tab:blue")
    x, y = np.meshgrid(np.linspace(-2, 2, 24), np.linspace(-1.6, 1.6, 20))
    ax.plot_surface(x, y, 0.25 * x - 0.15 * y - 0.1, color="lightgrey", alpha=0.8, linewidth=0)
    t = np.linspace(-1.8, 1.8, 400)
    ax.plot(0.5 + 0.15 * np.cos(12 * t), t, 0.15 * np.sin(12 * t), color="crimson", linewidth=1.5)
    rng = np.random.default_rng(3)
    ax.scatter(*rng.uniform(-1.8, 1.8, (3, 120)), c="k", s=6, depthshade=False)
    ax.set(xlim=(-2, 2), ylim=(-2, 2), zlim=(-2, 2))
    ax.view_init(elev=24, azim=-58)


def occlusion_pictures():
    """demo_occlusion.png: the same scene sorted as Matplotlib sorts it and drawn in exact occlusion."""
    with korvex_mpl.enabled():
        fig = plt.figure(figsize=(10, 5), dpi=100)
        for k, mode in enumerate(("sort", "exact")):
            ax = fig.add_subplot(1, 2, k + 1, projection="3d")
            occlusion_scene(ax)
            korvex_mpl.set_occlusion(ax, mode)
            ax.set_title("Matplotlib's depth sort" if mode == "sort" else 'korvex_mpl, occlusion="exact"')
        fig.savefig("demo_occlusion.png")
        times = {}
        for ax in fig.axes:
            others = [a for a in fig.axes if a is not ax]
            for a in others:
                a.set_visible(False)
            fig.canvas.draw()
            start = time.perf_counter()
            for _ in range(3):
                fig.canvas.draw()
            times[korvex_mpl.get_occlusion(ax)] = (time.perf_counter() - start) / 3
            for a in others:
                a.set_visible(True)
    print(f"wrote demo_occlusion.png (left: Matplotlib's sort, right: exact occlusion); one draw of the scene: "
          f"sort {times['sort'] * 1e3:.1f} ms, exact {times['exact'] * 1e3:.1f} ms")


def draw(fig):
    """One timed draw: (3D core seconds, whole draw seconds, RGBA pixels)."""
    with korvex_mpl.core_timer() as core:
        start = time.perf_counter()
        fig.canvas.draw()
        whole = time.perf_counter() - start
    return core, whole, np.asarray(fig.canvas.buffer_rgba()).astype(np.int16)


def main():
    # The scene is built twice, so each copy's shading at creation is done by its own side.
    fig_m, ax_m = scene()
    with korvex_mpl.enabled():
        fig_k, ax_k = scene()
        fig_k.savefig("demo.png")
    print("wrote demo.png (drawn through korvex)")

    print(f"\n{FRAMES} frames of the scene rotating; times per frame in ms, 'core' = view matrices, point "
          "projections and the 3D collections' depth-sorted projection")
    print(f"{'frame':>5} {'azim':>6} | {'core mpl':>9} {'core kvx':>9} {'ratio':>6} | "
          f"{'draw mpl':>9} {'draw kvx':>9} {'ratio':>6} | {'max px diff':>11}")
    rows = []
    for frame in range(FRAMES):
        azim = -60.0 + 10.0 * frame
        ax_m.view_init(elev=28, azim=azim)
        ax_k.view_init(elev=28, azim=azim)
        core_m, whole_m, pixels_m = draw(fig_m)
        with korvex_mpl.enabled():
            core_k, whole_k, pixels_k = draw(fig_k)
        diff = int(np.abs(pixels_m - pixels_k).max())
        rows.append((core_m, core_k, whole_m, whole_k, diff))
        print(f"{frame:5d} {azim:6.0f} | {core_m.core * 1e3:9.1f} {core_k.core * 1e3:9.1f} "
              f"{core_m.core / core_k.core:5.1f}x | {whole_m * 1e3:9.1f} {whole_k * 1e3:9.1f} "
              f"{whole_m / whole_k:5.1f}x | {diff:11d}")

    def median(values):
        return statistics.median(values) * 1e3

    core_m = median([r[0].core for r in rows])
    core_k = median([r[1].core for r in rows])
    num_m = median([r[0].numeric for r in rows])
    num_k = median([r[1].numeric for r in rows])
    whole_m = median([r[2] for r in rows])
    whole_k = median([r[3] for r in rows])
    print(f"\nmedian per frame         {'Matplotlib':>11} {'korvex':>9} {'ratio':>7}")
    print(f"3D core                  {core_m:9.1f}ms {core_k:7.1f}ms {core_m / core_k:6.1f}x")
    print(f"  without Path building  {num_m:9.1f}ms {num_k:7.1f}ms {num_m / num_k:6.1f}x")
    print(f"whole draw               {whole_m:9.1f}ms {whole_k:7.1f}ms {whole_m / whole_k:6.1f}x")
    print(f"largest pixel difference over all frames: {max(r[4] for r in rows)} (of 255)\n")
    occlusion_pictures()
    return 0


if __name__ == "__main__":
    sys.exit(main())
