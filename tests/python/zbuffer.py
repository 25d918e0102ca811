"""A depth-buffer reference for 3D scenes drawn by Matplotlib, and the scenes the visibility order is held to.

Every scene is drawn flat: one colour per object, no antialiasing, no edges, no shading. Its 3D items are kept
beside the figure (polygons, line strokes and markers, in data coordinates). The reference projects them through
the axes' matrix with NumPy alone, finds the nearest item at every pixel centre (quads and larger polygons are
triangulated; a line is a band of its width whose depth follows the segment; a marker is a disc at the depth of
its centre), and compares that with what Agg painted. Pixels within one pixel of a change of colour in the
reference are left out: there the rasteriser's coverage rule, snapping and triangulation decide, not the order.

The bench (bench/bench_occlusion.py) imports this module too.
"""
from __future__ import annotations

import dataclasses
from typing import Callable, Optional

import numpy as np

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402

DPI = 100
SIZE = 4.0  # inches: 400 x 400 pixels

# Flat colours: multiples of 51/255 survive Agg's conversion to 8 bits exactly.
_LEVELS = np.array([0, 51, 102, 153, 204])
PALETTE = np.array([(r, g, b) for r in _LEVELS for g in _LEVELS for b in _LEVELS][1:], dtype=np.uint8)
_PALETTE_ORDER = np.random.default_rng(7).permutation(len(PALETTE))
BACKGROUND = -1
UNKNOWN = -2


def color(label: int) -> tuple[float, float, float]:
    """The flat colour of an object label, as Matplotlib takes it."""
    return tuple(PALETTE[_PALETTE_ORDER[label]] / 255.0)


@dataclasses.dataclass
class Scene:
    fig: object
    ax: object
    polygons: list = dataclasses.field(default_factory=list)  # (label, (n, 3) vertices)
    lines: list = dataclasses.field(default_factory=list)     # (label, (n, 3) polyline, width in pixels)
    markers: list = dataclasses.field(default_factory=list)   # (label, (n, 3) centres, radius in pixels)

    @property
    def polygon_count(self) -> int:
        return len(self.polygons)


def _new_axes(view: tuple[float, float], limits=((-1, 1), (-1, 1), (-1, 1))) -> Scene:
    fig = plt.figure(figsize=(SIZE, SIZE), dpi=DPI)
    ax = fig.add_axes((0, 0, 1, 1), projection="3d")
    ax.set_axis_off()
    ax.set(xlim=limits[0], ylim=limits[1], zlim=limits[2])
    ax.view_init(*view)
    return Scene(fig, ax)


def _flat(**extra):
    return dict(shade=False, antialiased=False, linewidth=0, edgecolor="none", **extra)


def _surface(scene: Scene, label: int, X, Y, Z, alpha: float = 1.0) -> None:
    """plot_surface of a grid, one quad per cell, in one flat colour."""
    scene.ax.plot_surface(X, Y, Z, rstride=1, cstride=1, color=color(label), alpha=alpha, **_flat())
    for i in range(X.shape[0] - 1):
        for j in range(X.shape[1] - 1):
            quad = [(X[a, b], Y[a, b], Z[a, b]) for a, b in ((i, j), (i + 1, j), (i + 1, j + 1), (i, j + 1))]
            scene.polygons.append((label, np.array(quad, dtype=float)))


def _polygons(scene: Scene, labels: list[int], polys: list[np.ndarray]) -> None:
    from mpl_toolkits.mplot3d.art3d import Poly3DCollection

    collection = Poly3DCollection(polys, facecolors=[color(k) for k in labels], antialiased=False, linewidth=0,
                                  edgecolor="none")
    scene.ax.add_collection3d(collection)
    scene.polygons.extend((k, np.asarray(p, dtype=float)) for k, p in zip(labels, polys))


def _box(origin, u, v, w) -> list[np.ndarray]:
    """The six faces of the parallelepiped origin + a u + b v + c w, (a, b, c) in [0, 1]^3."""
    o, u, v, w = (np.asarray(x, dtype=float) for x in (origin, u, v, w))
    corner = {(a, b, c): o + a * u + b * v + c * w for a in (0, 1) for b in (0, 1) for c in (0, 1)}
    faces = []
    for axis in range(3):
        for side in (0, 1):
            ring = [(0, 0), (1, 0), (1, 1), (0, 1)]
            keys = []
            for p, q in ring:
                key = [0, 0, 0]
                key[axis] = side
                key[(axis + 1) % 3], key[(axis + 2) % 3] = p, q
                keys.append(tuple(key))
            faces.append(np.array([corner[k] for k in keys]))
    return faces


def planes(view, alpha: float = 1.0) -> Scene:
    """Two planes crossing at right angles, z = 0.2 y and x = 0.3, each a plot_surface of 19 x 19 quads."""
    s = _new_axes(view)
    u, v = np.meshgrid(np.linspace(-1, 1, 20), np.linspace(-1, 1, 20))
    _surface(s, 0, u, v, 0.2 * v, alpha)
    _surface(s, 1, np.full_like(u, 0.3), u, v, alpha)
    return s


def sphere_plane(view) -> Scene:
    """A unit sphere (24 x 24 quads) pierced by the tilted plane z = 0.3 x - 0.2 y + 0.1."""
    s = _new_axes(view, limits=((-1.3, 1.3),) * 3)
    t, p = np.meshgrid(np.linspace(0, np.pi, 25), np.linspace(0, 2 * np.pi, 25))
    _surface(s, 0, np.sin(t) * np.cos(p), np.sin(t) * np.sin(p), np.cos(t))
    x, y = np.meshgrid(np.linspace(-1.3, 1.3, 16), np.linspace(-1.3, 1.3, 16))
    _surface(s, 1, x, y, 0.3 * x - 0.2 * y + 0.1)
    return s


def saddles(view) -> Scene:
    """Two saddles through each other: z = (x^2 - y^2) / 2 and z = x y - 0.1, 20 x 20 quads each."""
    s = _new_axes(view)
    x, y = np.meshgrid(np.linspace(-1, 1, 21), np.linspace(-1, 1, 21))
    _surface(s, 0, x, y, (x * x - y * y) / 2)
    _surface(s, 1, x, y, x * y - 0.1)
    return s


def cyclic_bars(view) -> Scene:
    """Three slanted bars along the sides of a triangle, each above the next where they cross: a cycle."""
    s = _new_axes(view)
    polys, labels = [], []
    corners = [np.array([np.cos(a), np.sin(a)]) * 0.8 for a in np.pi / 2 + 2 * np.pi * np.arange(3) / 3]
    for k in range(3):
        a, b = corners[k], corners[(k + 1) % 3]
        d = (b - a) / np.linalg.norm(b - a)
        n = np.array([-d[1], d[0]])
        start, end = a - 0.45 * (b - a), b + 0.45 * (b - a)
        origin = np.array([*(start - 0.1 * n), -0.5])
        along = np.array([*(end - start), 1.0])
        across = np.array([*(0.2 * n), 0.0])
        up = np.array([0.0, 0.0, 0.12])
        for face in _box(origin, along, across, up):
            polys.append(face)
            labels.append(k)
    _polygons(s, labels, polys)
    return s


def bar_chart(view) -> Scene:
    """A 4 x 4 bar3d chart, one colour per bar."""
    s = _new_axes(view, limits=((0, 4), (0, 4), (0, 4)))
    x, y = np.meshgrid(np.arange(4.0), np.arange(4.0))
    x, y = x.ravel() + 0.1, y.ravel() + 0.1
    heights = 1.0 + (np.arange(16) * 7 % 11) / 3.5
    s.ax.bar3d(x, y, 0.0, 0.8, 0.8, heights, color=[color(k) for k in range(16)], **_flat())
    for k in range(16):
        for face in _box((x[k], y[k], 0.0), (0.8, 0, 0), (0, 0.8, 0), (0, 0, heights[k])):
            s.polygons.append((k, face))
    return s


def scatter_sphere(view) -> Scene:
    """Markers inside, in front of and behind a sphere."""
    s = _new_axes(view, limits=((-1.5, 1.5),) * 3)
    t, p = np.meshgrid(np.linspace(0, np.pi, 21), np.linspace(0, 2 * np.pi, 21))
    _surface(s, 0, np.sin(t) * np.cos(p), np.sin(t) * np.sin(p), np.cos(t))
    rng = np.random.default_rng(3)
    points = rng.uniform(-1.4, 1.4, (160, 3))
    size = 40.0  # points squared: a disc sqrt(size) points across
    s.ax.scatter(*points.T, s=size, color=color(1), depthshade=False, linewidths=0, edgecolors="none",
                 antialiased=False)
    s.markers.append((1, points, np.sqrt(size) / 2 * DPI / 72))
    return s


def line_surface(view) -> Scene:
    """A wavy line through a plane, crossing it six times."""
    s = _new_axes(view)
    x, y = np.meshgrid(np.linspace(-1, 1, 12), np.linspace(-1, 1, 12))
    _surface(s, 0, x, y, 0.25 * x + 0.1 * y)
    t = np.linspace(-0.95, 0.95, 120)
    line = np.column_stack([t, 0.4 * np.sin(2 * t), 0.6 * np.sin(3 * np.pi * t)])
    width = 4.0  # pixels
    s.ax.plot(*line.T, color=color(1), linewidth=width * 72 / DPI, antialiased=False, solid_capstyle="butt")
    s.lines.append((1, line, width))
    return s


def patches(view) -> Scene:
    """A disc (a circle patch made 3D, its outline curves) pierced by a bump, and a square patch standing across
    both."""
    from matplotlib.patches import Circle, Rectangle
    from mpl_toolkits.mplot3d import art3d

    s = _new_axes(view)
    x, y = np.meshgrid(np.linspace(-1, 1, 16), np.linspace(-1, 1, 16))
    _surface(s, 0, x, y, 0.9 * np.exp(-3 * (x ** 2 + y ** 2)) - 0.3)
    disc = Circle((0, 0), 0.8, color=color(1), antialiased=False, linewidth=0)
    s.ax.add_patch(disc)
    art3d.pathpatch_2d_to_3d(disc, z=0.1, zdir="z")
    t = np.linspace(0, 2 * np.pi, 400, endpoint=False)
    s.polygons.append((1, np.column_stack([0.8 * np.cos(t), 0.8 * np.sin(t), np.full_like(t, 0.1)])))
    square = Rectangle((-0.6, -0.5), 1.2, 1.0, color=color(2), antialiased=False, linewidth=0)
    s.ax.add_patch(square)
    art3d.patch_2d_to_3d(square, z=0.2, zdir="x")  # the patch's x, y are the data's y, z
    s.polygons.append((2, np.array([(0.2, -0.6, -0.5), (0.2, 0.6, -0.5), (0.2, 0.6, 0.5), (0.2, -0.6, 0.5)])))
    return s


# name -> (builder, views as (elev, azim)).
SCENES: dict[str, tuple[Callable[[tuple], Scene], list[tuple[float, float]]]] = {
    "planes": (planes, [(30, -60), (15, 20), (-25, 140), (50, 200)]),
    "sphere_plane": (sphere_plane, [(30, -60), (5, 30), (-40, 100), (70, 250)]),
    "saddles": (saddles, [(30, -60), (10, 45), (-30, 160), (60, 10)]),
    "cyclic_bars": (cyclic_bars, [(90, -90), (75, 10), (60, 130), (80, 250)]),
    "bar_chart": (bar_chart, [(30, -60), (60, 30), (45, 210), (20, 40)]),
    "scatter_sphere": (scatter_sphere, [(30, -60), (0, 0), (-50, 120)]),
    "line_surface": (line_surface, [(30, -60), (10, 60), (25, 30), (-30, 110)]),
    "patches": (patches, [(30, -60), (10, 20), (-35, 150), (60, 240)]),
}


# ---- The reference ----

def _project(ax, xyz: np.ndarray) -> np.ndarray:
    """Display pixel coordinates and depth (n, 3) of data points, through the axes' matrix, with NumPy."""
    xyz = np.asarray(xyz, dtype=float).reshape(-1, 3)
    h = np.column_stack([xyz, np.ones(len(xyz))]) @ np.asarray(ax.M, dtype=float).T
    p = h[:, :3] / h[:, 3:4]
    display = ax.transData.transform(p[:, :2])
    return np.column_stack([display, p[:, 2]])


class _Buffer:
    """Nearest depth and its label at every pixel centre (display coordinates, y up)."""

    def __init__(self, width: int, height: int):
        self.width, self.height = width, height
        self.depth = np.full((height, width), np.inf)
        self.label = np.full((height, width), BACKGROUND, dtype=np.int64)

    def _grid(self, xmin, xmax, ymin, ymax):
        i0, i1 = max(int(np.floor(xmin - 0.5)), 0), min(int(np.ceil(xmax - 0.5)), self.width - 1)
        j0, j1 = max(int(np.floor(ymin - 0.5)), 0), min(int(np.ceil(ymax - 0.5)), self.height - 1)
        if i1 < i0 or j1 < j0:
            return None
        cx, cy = np.meshgrid(np.arange(i0, i1 + 1) + 0.5, np.arange(j0, j1 + 1) + 0.5)
        return (slice(j0, j1 + 1), slice(i0, i1 + 1)), cx, cy

    def _write(self, where, inside, z, label):
        depth, lab = self.depth[where], self.label[where]
        nearer = inside & (z < depth)
        depth[nearer] = z[nearer]
        lab[nearer] = label

    def triangle(self, p: np.ndarray, label: int) -> None:
        (x0, y0, z0), (x1, y1, z1), (x2, y2, z2) = p
        area = (x1 - x0) * (y2 - y0) - (x2 - x0) * (y1 - y0)
        if not np.isfinite(area) or abs(area) < 1e-12:
            return
        grid = self._grid(min(x0, x1, x2), max(x0, x1, x2), min(y0, y1, y2), max(y0, y1, y2))
        if grid is None:
            return
        where, cx, cy = grid
        # Barycentric coordinates; depth after the perspective divide is affine on screen.
        b1 = ((cx - x0) * (y2 - y0) - (x2 - x0) * (cy - y0)) / area
        b2 = ((x1 - x0) * (cy - y0) - (cx - x0) * (y1 - y0)) / area
        b0 = 1 - b1 - b2
        inside = (b0 >= 0) & (b1 >= 0) & (b2 >= 0)
        self._write(where, inside, b0 * z0 + b1 * z1 + b2 * z2, label)

    def band(self, a: np.ndarray, b: np.ndarray, half_width: float, label: int) -> None:
        d = b[:2] - a[:2]
        length2 = float(d @ d)
        grid = self._grid(min(a[0], b[0]) - half_width, max(a[0], b[0]) + half_width,
                          min(a[1], b[1]) - half_width, max(a[1], b[1]) + half_width)
        if grid is None or length2 == 0:
            return
        where, cx, cy = grid
        t = np.clip(((cx - a[0]) * d[0] + (cy - a[1]) * d[1]) / length2, 0, 1)
        dist2 = (cx - a[0] - t * d[0]) ** 2 + (cy - a[1] - t * d[1]) ** 2
        self._write(where, dist2 <= half_width ** 2, a[2] + t * (b[2] - a[2]), label)

    def disc(self, c: np.ndarray, radius: float, label: int) -> None:
        grid = self._grid(c[0] - radius, c[0] + radius, c[1] - radius, c[1] + radius)
        if grid is None:
            return
        where, cx, cy = grid
        inside = (cx - c[0]) ** 2 + (cy - c[1]) ** 2 <= radius ** 2
        self._write(where, inside, np.full(cx.shape, c[2]), label)


def reference(scene: Scene, only: Optional[int] = None) -> np.ndarray:
    """The label of the nearest item at every pixel (image rows, top first), or BACKGROUND; with `only`, the
    depth of the nearest item of that label instead (inf where it has none)."""
    width, height = scene.fig.canvas.get_width_height()
    buf = _Buffer(width, height)
    ax = scene.ax
    if only is not None:
        scene = dataclasses.replace(scene, polygons=[p for p in scene.polygons if p[0] == only], lines=[],
                                    markers=[])
    for label, poly in scene.polygons:
        p = _project(ax, poly)
        for k in range(1, len(p) - 1):
            buf.triangle(p[[0, k, k + 1]], label)
    for label, line, width_px in scene.lines:
        p = _project(ax, line)
        for a, b in zip(p[:-1], p[1:]):
            buf.band(a, b, width_px / 2, label)
    for label, centres, radius in scene.markers:
        for c in _project(ax, centres):
            buf.disc(c, radius, label)
    # Only the axes' box is painted.
    box = ax.bbox
    cx, cy = np.meshgrid(np.arange(width) + 0.5, np.arange(height) + 0.5)
    outside = (cx < box.x0) | (cx > box.x1) | (cy < box.y0) | (cy > box.y1)
    buf.label[outside] = BACKGROUND
    buf.depth[outside] = np.inf
    return buf.depth[::-1] if only is not None else buf.label[::-1]


def rendered_labels(scene: Scene) -> np.ndarray:
    """Draws the figure and reads every pixel back as a label (BACKGROUND for white, UNKNOWN for other colours)."""
    scene.fig.canvas.draw()
    rgb = np.asarray(scene.fig.canvas.buffer_rgba())[..., :3]
    code = (rgb[..., 0].astype(np.int64) << 16) | (rgb[..., 1].astype(np.int64) << 8) | rgb[..., 2]
    table = {(int(r) << 16) | (int(g) << 8) | int(b): label
             for label, (r, g, b) in enumerate(PALETTE[_PALETTE_ORDER])}
    table[0xFFFFFF] = BACKGROUND
    keys = np.array(list(table), dtype=np.int64)
    values = np.array(list(table.values()), dtype=np.int64)
    order = np.argsort(keys)
    pos = np.clip(np.searchsorted(keys[order], code), 0, len(keys) - 1)
    hit = keys[order][pos] == code
    return np.where(hit, values[order][pos], UNKNOWN)


def _near_change(labels: np.ndarray, width: int = 1) -> np.ndarray:
    """Pixels within `width` pixels (in the square around them) of a different label."""
    padded = np.pad(labels, width, mode="edge")
    h, w = labels.shape
    near = np.zeros(labels.shape, dtype=bool)
    for dy in range(2 * width + 1):
        for dx in range(2 * width + 1):
            near |= padded[dy:dy + h, dx:dx + w] != labels
    return near


def wrong_fraction(scene: Scene) -> float:
    """Draws the scene and returns the fraction of covered pixels whose colour is not the nearest item's, leaving
    out pixels next to a change of colour in the reference or in the picture (the outlines of items and of wrong
    regions, where coverage rules decide). The reference uses the matrix the draw used."""
    painted = rendered_labels(scene)
    expected = reference(scene)
    edge = _near_change(expected) | _near_change(painted)
    covered = ((expected != BACKGROUND) | (painted != BACKGROUND)) & ~edge
    return float(np.count_nonzero((painted != expected) & covered)) / max(int(np.count_nonzero(covered)), 1)


def measure(name: str, view) -> tuple[float, Scene]:
    """The wrong fraction of one scene from one view (drawn with whatever is installed), and the scene."""
    build, _ = SCENES[name]
    scene = build(view)
    try:
        return wrong_fraction(scene), scene
    finally:
        plt.close(scene.fig)
