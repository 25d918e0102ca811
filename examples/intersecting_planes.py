"""Matplotlib's gallery scene "intersecting planes", drawn whole: three planes through the middle of a 3D array,
each one plot_surface, with no cutting into quadrants by hand.

Matplotlib sorts each plane as a whole and paints one over the others; korvex_mpl's exact occlusion paints what
is in front. Writes intersecting_planes_matplotlib.png and intersecting_planes_korvex.png into the directory given
(default: the current one); the README's pictures are `python examples/intersecting_planes.py docs`.
"""
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import korvex_mpl  # noqa: E402


def plane(ax, array, fixed, cmap):
    """The plane of `array` through its middle along axis `fixed` (0, 1 or 2), coloured by the array's values."""
    n = array.shape
    index = [slice(None)] * 3
    index[fixed] = n[fixed] // 2
    values = array[tuple(index)]
    u, v = np.mgrid[0:values.shape[0], 0:values.shape[1]]
    coords = [u, v]
    coords.insert(fixed, np.full_like(u, n[fixed] // 2))
    colors = plt.get_cmap(cmap)((values - array.min()) / (array.max() - array.min()))
    ax.plot_surface(*coords, rstride=1, cstride=1, facecolors=colors, shade=False)


def figure(title):
    nx, ny, nz = 70, 100, 50
    r_square = (np.mgrid[-1:1:1j * nx, -1:1:1j * ny, -1:1:1j * nz] ** 2).sum(0)
    fig = plt.figure(figsize=(4, 4), dpi=100)
    ax = fig.add_subplot(projection="3d")
    ax.set_box_aspect(r_square.shape)
    for fixed in range(3):
        plane(ax, r_square, fixed, "viridis_r")
    ax.set_title(title)
    return fig


if __name__ == "__main__":
    out = Path(sys.argv[1] if len(sys.argv) > 1 else ".")
    figure("Matplotlib").savefig(out / "intersecting_planes_matplotlib.png")
    with korvex_mpl.enabled(occlusion="exact"):
        figure('korvex_mpl, occlusion="exact"').savefig(out / "intersecting_planes_korvex.png")
    print(f"wrote {out / 'intersecting_planes_matplotlib.png'} and {out / 'intersecting_planes_korvex.png'}")
