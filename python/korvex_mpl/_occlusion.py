"""Exact occlusion: a 3D axes drawing its polygons, lines and markers in one visibility order.

In the "exact" mode ``Axes3D.draw`` takes the artists that make up the 3D scene (its Poly3DCollections, 3D contour
sets, 3D patches, Line3DCollections, Line3Ds and scatter markers) out of Matplotlib's per-artist depth sort and
draws them as one scene in their place. Each artist is projected as Matplotlib projects it (its own
``do_3d_projection`` runs, so its state after the draw is what Matplotlib leaves), the scene's polygons, segments
and markers are ordered back to front by korvex's visibility core (splitting a polygon only where it intersects
another or where a cycle of overlaps needs it, a segment where it pierces a polygon), and the fragments are drawn
in that order through the renderer, in runs that can share one renderer call:

- polygons and collection segments of artists with the same drawing state (clip, hatch, snap, styles) go through
  one ``draw_path_collection``: whole polygons with the paths their artist made, the fragments of a split polygon
  filled and stroked along the polygon's own outline only, their cuts padded in the face colour;
- a 3D patch (``Patch3D``, ``PathPatch3D``) goes through its own drawing, whole as its own path, its fragments as
  those of a polygon;
- a Line3D's segments go through ``Line2D.draw`` with its data set to the run's pieces;
- markers (of a scatter or of a Line3D) go through their artist's own draw, restricted to the run's markers, each
  placed by the depth of its centre.

Vector output stays vector: every run is paths.
"""
from __future__ import annotations

import functools
import warnings
import weakref
from typing import Any, Callable, Optional

import numpy as np

from . import _native

MODES = ("sort", "exact")
# Fragments may add at most this factor times the item count; past it the rest goes in the plain order.
CAP_FACTOR = 8.0

_global_mode = "sort"
_axes_modes: "weakref.WeakKeyDictionary[Any, str]" = weakref.WeakKeyDictionary()

# What the last exact draw of an axes did: counts for the bench and the tests.
_last_stats: "weakref.WeakKeyDictionary[Any, dict]" = weakref.WeakKeyDictionary()

_COLLECTION, _POLYLINE, _MARKERS = 0, 1, 2
_ARTISTS = object()  # collection_group(): the artist's own hatch
_WHOLE, _FILL, _OUTLINE, _STROKE, _PAD = 0, 1, 2, 3, 4
# Antialiased fragments of one polygon leave a seam where they meet: each covers the pixels of the shared edge
# partly, and what is behind shows through (55/255 on a flat colour over white). An opaque fragment's cut edges
# are padded with a stroke of its face colour this wide (pixels), which covers the seam to within 2/255 at any
# angle. Translucent fragments are left as they are: a pad would darken the seam as much as it now lightens it
# (16/255 at alpha 0.5), and filling them without antialiasing covers some edge pixels twice (64/255 darker),
# as it does between the cells of a translucent surface in Matplotlib.
PAD_PIXELS = 1.5
_NONE = np.zeros(4)
_NO_TRANSFORMS = np.zeros((0, 3, 3))


def check_mode(occlusion: Any, allow_none: bool = False) -> Optional[str]:
    if allow_none and occlusion is None:
        return None
    if isinstance(occlusion, str) and occlusion in MODES:
        return occlusion
    allowed = "'sort', 'exact' or None" if allow_none else "'sort' or 'exact'"
    raise ValueError(f"occlusion must be {allowed}, not {occlusion!r}")


def set_global_mode(mode: str) -> str:
    """Sets the mode of every 3D axes without one of its own; returns the previous one."""
    global _global_mode
    previous, _global_mode = _global_mode, mode
    return previous


def global_mode() -> str:
    return _global_mode


def set_axes_mode(ax: Any, mode: Optional[str]) -> None:
    if mode is None:
        _axes_modes.pop(ax, None)
    else:
        _axes_modes[ax] = mode


def mode_of(ax: Any) -> str:
    return _axes_modes.get(ax, _global_mode)


def last_stats(ax: Any) -> Optional[dict]:
    return _last_stats.get(ax)


# ---- Gathering the scene ----

class _Items:
    """The scene's items of one kind (polygons, segments or markers), with their per-item drawing values."""

    def __init__(self) -> None:
        self.parts: list = []

    def add(self, **arrays) -> None:
        self.parts.append(arrays)

    def column(self, name: str, empty: np.ndarray) -> np.ndarray:
        """One value per item; zeros for the parts that do not give it."""
        return _concatenated([self], name, empty)


def _concatenated(kinds: list, name: str, empty: np.ndarray) -> np.ndarray:
    """One value per item of every part of `kinds` (in their order), as one C-contiguous array of `empty`'s type
    (a part's own array when there is one part); zeros for the parts that do not give it."""
    arrays = [p[name] if name in p else np.zeros((len(p["group"]), *empty.shape[1:]), dtype=empty.dtype)
              for items in kinds for p in items.parts]
    if len(arrays) == 1:
        return np.ascontiguousarray(arrays[0], dtype=empty.dtype)
    return np.concatenate(arrays).astype(empty.dtype, copy=False) if arrays else empty


class _Group:
    """Artists drawn by one renderer call per run: their drawing kind, a representative and how it draws."""

    def __init__(self, kind: int, artist: Any, draw: Callable, hatch: Any = None) -> None:
        self.kind, self.artist, self.draw = kind, artist, draw
        # The hatch a collection group fills with: its artist's, or one level's of a contour set.
        self.hatch = hatch
        # What its runs are drawn with that stays the same through a draw, made once per draw: a collection's or
        # a line's transform, frozen; a scatter's colours.
        self.frozen: Any = None


class _Scene:
    def __init__(self, ax: Any) -> None:
        self.ax = ax
        self.polygons, self.segments, self.markers = _Items(), _Items(), _Items()
        self.groups: list[_Group] = []
        self.by_key: dict = {}
        self.chains = 0
        # Per collection group, the plane all its segments lie in as (data axis, value), or None: not one plane, or
        # polygons too.
        self.planes: dict = {}
        self.paths: list = []  # paths the artists made themselves, for fragment_runs
        self.marker_radius = 0.0  # pixels
        self.restore: list[Callable[[], None]] = []

    def collection_group(self, artist: Any, hatch: Any = _ARTISTS) -> int:
        """The group of a collection's items, filled with the artist's own hatch or with `hatch`."""
        hatch = artist.get_hatch() if hatch is _ARTISTS else hatch
        key = _drawing_key(artist, hatch)
        if key is None or key not in self.by_key:
            self.groups.append(_Group(_COLLECTION, artist, _draw_collection_run, hatch))
            if key is not None:
                self.by_key[key] = len(self.groups) - 1
            return len(self.groups) - 1
        return self.by_key[key]

    def note_plane(self, group: int, plane: Optional[tuple]) -> None:
        """Notes that items in `plane` (see _plane_of(); None: polygons, or no one plane) joined the group."""
        self.planes[group] = plane if self.planes.get(group, plane) == plane else None

    def new_group(self, kind: int, artist: Any, draw: Callable) -> int:
        self.groups.append(_Group(kind, artist, draw))
        return len(self.groups) - 1

    def new_chains(self, n: int) -> np.ndarray:
        first, self.chains = self.chains, self.chains + n
        return np.arange(first, first + n, dtype=np.int64)


def _drawing_key(artist: Any, hatch: Any) -> Optional[tuple]:
    """What makes two collections' paths drawable in one renderer call (filled with `hatch`); None when the artist
    draws alone."""
    if (artist.get_path_effects() or artist.get_agg_filter() is not None or artist.get_rasterized()
            or artist.get_sketch_params() is not None or getattr(artist, "_gapcolor", None) is not None
            or artist.get_clip_path() is not None or len(artist._linestyles) != 1):
        return None
    box = artist.get_clip_box() if artist.get_clip_on() else None
    offset, dashes = artist._linestyles[0]
    return (id(artist.get_transform()), None if box is None else tuple(box.bounds), artist.get_snap(),
            hatch, artist._hatch_linewidth, artist._joinstyle, artist._capstyle,
            offset, None if dashes is None else tuple(dashes), artist.get_gid(), artist.get_url())


def _per_item(values: Any, n: int, width: Optional[int] = None) -> np.ndarray:
    """A per-artist property given once or per item, as one row per item (cycled as the renderer cycles)."""
    a = np.asarray(values, dtype=float) if width is None else np.asarray(values, dtype=float).reshape(-1, width)
    if len(a) == 0:
        return np.zeros((n,) if width is None else (n, width))
    if len(a) == n:
        return a
    if len(a) == 1:
        return np.repeat(a, n, axis=0)
    return a[np.arange(n) % len(a)]


def _linear(ax: Any) -> bool:
    from matplotlib.scale import LinearScale

    return all(type(axis._scale) is LinearScale for axis in (ax.xaxis, ax.yaxis, ax.zaxis))


def _polygon_values(scene: _Scene, c: Any, n: int) -> tuple[int, dict]:
    """A Poly3DCollection's drawing group and per-face drawing values, in the artist's own face order."""
    # Matplotlib's colours in the artist's own order (do_3d_projection sorts copies of them).
    cface = c._facecolor3d
    if len(cface) != n:
        cface = cface.repeat(n, axis=0)
    edge3d = c._edgecolor3d
    values = dict(face=_per_item(cface, n, 4) if len(cface) else np.zeros((n, 4)),
                  edge=np.zeros((n, 4)) if len(edge3d) == 0 else _per_item(edge3d, n, 4),
                  lw=_per_item(c._linewidths, n), aa=_per_item(c._antialiaseds, n))
    if c.get_hatch():
        values["hatch"] = _per_item(c.get_hatchcolor(), n, 4)
    group = scene.collection_group(c)
    scene.note_plane(group, None)
    return group, values


def _gather_polygons(scene: _Scene, c: Any, projected: tuple) -> None:
    """A Poly3DCollection's polygons, given what poly3d_scene_projection returned besides the method's value."""
    from mpl_toolkits.mplot3d import art3d, proj3d

    xyz, depths, position = projected
    if xyz is not None:
        # Closed faces without masked vertices, projected by the draw that made the artist's paths: each face is
        # whole as its own path.
        n = len(depths)
        group, values = _polygon_values(scene, c, n)
        path = position + len(scene.paths)
        scene.paths.extend(c._paths)
        scene.polygons.add(xyz=xyz, counts=np.full(n, len(xyz) // n, dtype=np.int64), depth=depths, path=path,
                           group=np.full(n, group, dtype=np.int64), chain=np.full(n, -1, dtype=np.int64), **values)
        return
    ax = scene.ax
    faces = c._faces
    if len(faces) == 0:
        return
    if _linear(ax):  # the scales' valid values are the finite ones (a finite sum: all are)
        # (The padding of ragged faces holds whatever was in memory: its sum may overflow, which says nothing.)
        with np.errstate(over="ignore", invalid="ignore"):
            finite = np.isfinite(faces.sum()) or np.isfinite(faces).all(axis=-1)
        mask = c._invalid_vertices | ~np.asarray(finite)
    else:
        mask = c._invalid_vertices | art3d._scale_invalid_mask(faces[..., 0], faces[..., 1], faces[..., 2], ax)
    if c._axlim_clip:
        mask = mask | art3d._viewlim_mask(faces[..., 0], faces[..., 1], faces[..., 2], ax)
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        pfaces = proj3d._scale_proj_transform_vectors(faces, ax)
    n, v = pfaces.shape[:2]
    valid = ~np.broadcast_to(mask, (n, v))
    pzs = pfaces[..., 2]
    depths = c._zsortfunc(np.ma.MaskedArray(pzs, mask=~valid) if not valid.all() else pzs, axis=-1)
    counts = valid.sum(axis=1)
    keep = counts > 0
    depths = np.asarray(np.ma.getdata(depths), dtype=float)
    group, values = _polygon_values(scene, c, n)
    if c._codes3d is not None and len(c._codes3d):
        # Paths with codes (polygons made from 2D paths): their rings, without the CLOSEPOLY vertices.
        for i in range(n):
            rings = _rings(c._codes3d[i], v)
            rings = None if rings is None else [r[valid[i, r]] for r in rings]
            if not rings or any(len(r) < 3 for r in rings):
                continue
            _add_regions(scene, pfaces[i], _region_layout(faces[i], rings), group,
                         {k: a[i:i + 1] for k, a in values.items()})
        return
    everything = valid.all()
    sel = slice(None) if everything else np.flatnonzero(keep)
    scene.polygons.add(
        xyz=pfaces.reshape(-1, 3) if everything else pfaces[valid & keep[:, None]],
        counts=counts[sel], depth=depths[sel], path=_own_paths(scene, c, pfaces, depths, valid)[sel],
        group=np.full(len(depths[sel]), group, dtype=np.int64), chain=np.full(len(depths[sel]), -1, dtype=np.int64),
        **{k: a[sel] for k, a in values.items()})


def _own_paths(scene: _Scene, c: Any, pfaces: np.ndarray, depths: np.ndarray, valid: np.ndarray) -> np.ndarray:
    """Where each polygon's closed path is among the paths do_3d_projection just gave the artist, as an index
    into the scene's list of known paths; -1 for none.

    Matplotlib's closed paths are views of the rows of one (n, vertices + 1, 2) array in drawing order,
    ``np.argsort(depths)[::-1]`` (korvex's too: it takes NumPy's argsort where depths tie). They are taken only
    when that array holds exactly this projection in that order, checked in one comparison."""
    n, nv = pfaces.shape[:2]
    paths = c._paths
    none = np.full(n, -1, dtype=np.int64)
    if not (c._closed and c._codes3d is None and valid.all() and isinstance(paths, list) and len(paths) == n):
        return none
    pad = paths[0].vertices.base
    if not (isinstance(pad, np.ndarray) and pad.shape == (n, nv + 1, 2)
            and all(paths[k].vertices.__array_interface__["data"] == pad[k].__array_interface__["data"]
                    for k in (0, n - 1))):
        return none
    order = np.argsort(depths)[::-1]
    if not np.array_equal(pad[:, :-1], pfaces[order, :, :2]):
        return none
    rank = np.empty(n, dtype=np.int64)
    rank[order] = np.arange(len(scene.paths), len(scene.paths) + n)
    scene.paths.extend(paths)
    return rank


def _gather_line_collection(scene: _Scene, lc: Any) -> bool:
    """A Line3DCollection's segments; False when it is left to Matplotlib (filled lines)."""
    from mpl_toolkits.mplot3d import art3d, proj3d

    if len(lc._facecolors) and np.any(np.asarray(lc._facecolors)[:, 3] > 0):
        return False
    lines = [np.ma.asarray(s, dtype=float) if np.ma.isMA(s) else np.asarray(s, dtype=float)
             for s in lc._segments3d]
    lines = [s for s in lines]
    if not lines:
        return True
    lengths = np.array([len(s) for s in lines])
    points = np.ma.concatenate(lines) if any(np.ma.isMA(s) for s in lines) else np.concatenate(lines)
    if points.size == 0:
        return True
    points = points.reshape(-1, 3)
    mask = np.ma.getmaskarray(points).any(axis=-1)
    raw = np.ma.getdata(points)
    mask = mask | art3d._scale_invalid_mask(raw[:, 0], raw[:, 1], raw[:, 2], scene.ax)
    if lc._axlim_clip:
        mask = mask | art3d._viewlim_mask(raw[:, 0], raw[:, 1], raw[:, 2], scene.ax)
    with np.errstate(invalid="ignore", divide="ignore"):
        xyz = np.asarray(proj3d._scale_proj_transform_vectors(raw, scene.ax), dtype=float)
    ok = ~mask & np.isfinite(xyz).all(axis=-1)
    line_of = np.repeat(np.arange(len(lines)), lengths)
    start = np.flatnonzero(ok[:-1] & ok[1:] & (line_of[:-1] == line_of[1:]))
    if len(start) == 0:
        return True
    segs = np.concatenate([xyz[start], xyz[start + 1]], axis=1)
    line = line_of[start]
    nl = len(lines)
    group = scene.collection_group(lc)
    scene.note_plane(group, _plane_of(raw[np.r_[start, start + 1]]))
    chains = scene.new_chains(nl)
    scene.segments.add(
        xyz=segs, group=np.full(len(segs), group, dtype=np.int64), chain=chains[line],
        face=np.zeros((len(segs), 4)), edge=_per_item(lc.get_edgecolor(), nl, 4)[line],
        lw=_per_item(lc._linewidths, nl)[line], aa=_per_item(lc._antialiaseds, nl)[line],
        path=np.full(len(segs), -1, dtype=np.int64))
    return True


def _rings(codes: Optional[np.ndarray], n: int) -> Optional[list]:
    """The vertex indices of each closed ring of a path (MOVETO ... [CLOSEPOLY]); None for curves."""
    from matplotlib.path import Path

    if codes is None:
        return [np.arange(n)] if n >= 3 else []  # a level with no region has an empty path
    codes = np.asarray(codes)
    if np.any((codes != Path.MOVETO) & (codes != Path.LINETO) & (codes != Path.CLOSEPOLY)):
        return None
    starts = np.flatnonzero(codes == Path.MOVETO)
    bounds = np.r_[starts, n]
    rings = []
    for a, b in zip(bounds[:-1], bounds[1:]):
        ring = np.arange(a, b)
        ring = ring[codes[ring] != Path.CLOSEPOLY]
        if len(ring) >= 3:
            rings.append(ring)
    return rings


def _signed_area(uv: np.ndarray) -> float:
    return 0.5 * float(np.sum(uv[:, 0] * np.roll(uv[:, 1], -1) - np.roll(uv[:, 0], -1) * uv[:, 1]))


def _crosses(p: np.ndarray, q: np.ndarray, a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Whether segment p-q properly crosses each segment a[i]-b[i] (touching at an end does not count)."""
    def turn(o, x, y):
        return (x[..., 0] - o[..., 0]) * (y[..., 1] - o[..., 1]) - (x[..., 1] - o[..., 1]) * (y[..., 0] - o[..., 0])

    d1, d2 = turn(a, b, p), turn(a, b, q)
    d3, d4 = turn(p, q, a), turn(p, q, b)
    return (d1 * d2 < 0) & (d3 * d4 < 0)


def _keyhole(outer: np.ndarray, holes: list, uv: np.ndarray) -> np.ndarray:
    """One ring through the outer boundary and its holes, each hole joined by a bridge walked both ways (a
    weakly simple polygon, which the visibility core triangulates like any other)."""
    ring = list(outer)
    pending = sorted(holes, key=lambda h: -uv[h, 0].max())
    for k, hole in enumerate(pending):
        m = int(hole[np.argmax(uv[hole, 0])])
        edges = [np.array(ring)] + [np.asarray(h) for h in pending[k:]]
        a = np.concatenate([uv[e] for e in edges])
        b = np.concatenate([uv[np.roll(e, -1)] for e in edges])
        positions = np.argsort(np.hypot(*(uv[ring] - uv[m]).T))
        at = int(positions[0])
        for pos in positions:
            v = ring[int(pos)]
            ends = (np.hypot(*(a - uv[v]).T) == 0) | (np.hypot(*(b - uv[v]).T) == 0)
            if not np.any(_crosses(uv[m], uv[v], a, b) & ~ends):
                at = int(pos)
                break
        start = int(np.flatnonzero(hole == m)[0])
        walk = list(np.roll(hole, -start)) + [m]
        ring = ring[:at + 1] + walk + ring[at:]
    return np.asarray(ring, dtype=np.int64)


def _region_layout(data: np.ndarray, rings: list) -> list:
    """A planar region made of rings (outer boundaries and holes, told apart by orientation, which the nonzero
    fill rule makes opposite) as one polygon per outer boundary, its holes joined by bridges: per polygon, its
    vertex indices (into `data`), those of its own rings as a path (each ring closed by its first point again),
    the path's codes, and its outer boundary's indices. It depends on the data points only, not on the view."""
    from matplotlib.path import Path

    if len(rings) == 1:  # one ring is its own outer boundary
        r = rings[0]
        return [(r, np.r_[r, r[:1]], np.array([Path.MOVETO] + [Path.LINETO] * (len(r) - 1) + [Path.CLOSEPOLY],
                                                dtype=np.uint8), r)]
    # The plane's coordinates: the two data axes along which the region varies most.
    uv = data[:, np.argsort(np.ptp(data, axis=0))[1:]]
    areas = np.array([_signed_area(uv[r]) for r in rings])
    outer_sign = np.sign(areas[np.argmax(np.abs(areas))])
    outers = [r for r, a in zip(rings, areas) if np.sign(a) == outer_sign]
    holes_of: list = [[] for _ in outers]
    for r, a in zip(rings, areas):
        if np.sign(a) == outer_sign or a == 0:
            continue
        for j, o in enumerate(outers):
            if Path(uv[o]).contains_point(uv[r[0]]):
                holes_of[j].append(r)
                break
    layout = []
    for o, holes in zip(outers, holes_of):
        own = [o] + holes
        layout.append((_keyhole(o, holes, uv) if holes else o,
                       np.concatenate([np.r_[r, r[:1]] for r in own]),
                       np.concatenate([[Path.MOVETO] + [Path.LINETO] * (len(r) - 1) + [Path.CLOSEPOLY]
                                       for r in own]).astype(np.uint8),
                       o))
    return layout


def _add_regions(scene: _Scene, xyz: np.ndarray, layout: list, group: int, values: dict) -> None:
    """The polygons of a region's layout (see _region_layout(); `xyz` is the projection of its data points),
    each drawn whole as its own rings, with their codes."""
    from matplotlib.path import Path

    for ring, path_index, codes, outer in layout:
        pts = xyz[ring]
        if not np.isfinite(pts).all():
            continue
        scene.paths.append(Path(xyz[path_index, :2], codes))
        scene.polygons.add(
            xyz=pts, counts=np.array([len(ring)]), depth=np.array([float(np.mean(xyz[outer, 2]))]),
            path=np.array([len(scene.paths) - 1]), group=np.array([group]), chain=np.array([-1]), **values)


class _ContourLayout:
    """What drawing a 3D contour set takes that depends on its data only, kept from draw to draw: the points of
    all its levels in one array, per level its rings, and once asked for, per level its filled regions (see
    _region_layout()) or the segments of its lines, all as indices into that array. Kept with a copy of the data
    it was made from, so that data changed in place is seen."""

    def __init__(self, source: list) -> None:
        self.source = source  # held, so that the list's identity stays its own
        self.vs = [np.array(vs, dtype=float).reshape(-1, 3) for vs, _ in source]
        self.codes = [None if codes is None else np.array(codes) for _, codes in source]
        self.rings = [_rings(codes, len(vs)) for vs, codes in zip(self.vs, self.codes)]
        self.curves = any(r is None for r in self.rings)
        sizes = [len(vs) for vs in self.vs]
        self.first = np.r_[0, np.cumsum(sizes)].astype(np.int64)
        self.points = np.concatenate(self.vs) if self.vs else np.zeros((0, 3))
        self.plane = _plane_of(self.points)
        self.regions: Optional[list] = None
        self.lines: Optional[list] = None

    def matches(self, source: list) -> bool:
        return (source is self.source and len(source) == len(self.vs)
                and all(np.array_equal(np.asarray(vs, dtype=float).reshape(-1, 3), mine, equal_nan=True)
                        and (codes is None if mine_codes is None
                             else codes is not None and np.array_equal(codes, mine_codes))
                        for (vs, codes), mine, mine_codes in zip(source, self.vs, self.codes)))

    def filled(self) -> list:
        """Per level, its regions' layout."""
        if self.regions is None:
            self.regions = [[tuple(a + first if a.dtype != np.uint8 else a for a in region)
                             for region in _region_layout(vs, rings)] if rings else []
                            for vs, rings, first in zip(self.vs, self.rings, self.first)]
        return self.regions

    def segments(self) -> list:
        """Per level, None for no rings, else its segments' start and end points and the ring of each."""
        if self.lines is None:
            self.lines = [None if not rings else
                          (np.concatenate([r[:-1] for r in rings]) + first,
                           np.concatenate([r[1:] for r in rings]) + first,
                           np.concatenate([np.full(len(r) - 1, j) for j, r in enumerate(rings)]))
                          for rings, first in zip(self.rings, self.first)]
        return self.lines


_contour_layouts: "weakref.WeakKeyDictionary[Any, _ContourLayout]" = weakref.WeakKeyDictionary()


def _plane_of(points: np.ndarray) -> Optional[tuple]:
    """(axis, value) when all the data points have that value on that axis (a contour set drawn on a wall of the
    axes), else None."""
    for axis in range(3):
        column = points[:, axis]
        if len(column) and np.isfinite(column[0]) and (column == column[0]).all():
            return axis, float(column[0])
    return None


def _contour_layout(c: Any) -> _ContourLayout:
    layout = _contour_layouts.get(c)
    if layout is None or not layout.matches(c._3dverts_codes):
        layout = _contour_layouts[c] = _ContourLayout(c._3dverts_codes)
    return layout


def _gather_contours(scene: _Scene, c: Any) -> bool:
    """A 3D contour set (Collection3D): filled regions as polygons (holes joined by bridges), each level with its
    hatch, lines as segments. False when it is left to Matplotlib (curves, hatched lines)."""
    from mpl_toolkits.mplot3d import art3d, proj3d

    layout = _contour_layout(c)
    if layout.curves:
        return False
    c.update_scalarmappable()
    face, edge = np.asarray(c.get_facecolor()), np.asarray(c.get_edgecolor())
    filled = len(face) > 0 and bool(np.any(face[:, 3] > 0))
    if not filled and c.get_hatch():
        return False
    n = len(layout.vs)
    face = _per_item(face, n, 4) if len(face) else np.zeros((n, 4))
    edge = _per_item(edge, n, 4) if len(edge) else np.zeros((n, 4))
    lw, aa = _per_item(c._linewidths, n), _per_item(c._antialiaseds, n)
    pts = layout.points
    if len(pts) == 0:
        return True
    # Every level's points at once (each point's projection is its own).
    mask = art3d._scale_invalid_mask(*pts.T, scene.ax)
    if c._axlim_clip:
        mask = mask | art3d._viewlim_mask(*pts.T, scene.ax)
    xs, ys, zs = proj3d._scale_proj_transform(pts[:, 0], pts[:, 1], pts[:, 2], scene.ax)
    xyz = np.column_stack([xs, ys, zs]).astype(float)
    xyz[mask] = np.nan
    if filled:
        # A set with hatches per level fills each level with its own, as ContourSet.draw does (and only then).
        hatches = list(getattr(c, "hatches", None) or [None])
        per_level = any(h is not None for h in hatches)
        hatch_color = np.asarray(c.get_hatchcolor(), dtype=float).reshape(-1, 4)[:1]
        for k, regions in enumerate(layout.filled()):
            if not regions:
                continue
            hatch = hatches[k % len(hatches)] if per_level else c.get_hatch()
            values = dict(face=face[k:k + 1], edge=edge[k:k + 1], lw=lw[k:k + 1], aa=aa[k:k + 1])
            if hatch:
                values["hatch"] = hatch_color
            group = scene.collection_group(c, hatch)
            scene.note_plane(group, None)
            _add_regions(scene, xyz, regions, group, values)
        return True
    group = scene.collection_group(c)
    scene.note_plane(group, layout.plane)
    for k, level in enumerate(layout.segments()):
        if level is None:
            continue
        starts, ends, ring_of = level
        ok = np.isfinite(xyz[starts]).all(1) & np.isfinite(xyz[ends]).all(1)
        if ok.any():
            chains = scene.new_chains(len(layout.rings[k]))
            m = int(ok.sum())
            scene.segments.add(
                xyz=np.concatenate([xyz[starts[ok]], xyz[ends[ok]]], axis=1),
                group=np.full(m, group, dtype=np.int64), chain=chains[ring_of[ok]], face=np.zeros((m, 4)),
                edge=np.repeat(edge[k:k + 1], m, axis=0), lw=np.full(m, lw[k]), aa=np.full(m, aa[k]),
                path=np.full(m, -1, dtype=np.int64))
    return True


def _line_projection(line: Any) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """Line3D.draw's projection: the 2D data Matplotlib gives the line, and the points' xyz and validity."""
    from mpl_toolkits.mplot3d import art3d, proj3d

    ax = line.axes
    scale_mask = art3d._scale_invalid_mask(*line._verts3d, ax)
    if line._axlim_clip:
        scale_mask |= art3d._viewlim_mask(*line._verts3d, ax)
    if np.any(scale_mask):
        mask = np.broadcast_to(scale_mask, (len(line._verts3d), *line._verts3d[0].shape))
        xs3d, ys3d, zs3d = np.ma.array(line._verts3d, dtype=float, mask=mask).filled(np.nan)
    else:
        xs3d, ys3d, zs3d = line._verts3d
    xs, ys, zs, _ = proj3d._scale_proj_transform_clip(xs3d, ys3d, zs3d, ax)
    xyz = np.column_stack([np.ma.filled(np.ma.asarray(a, dtype=float).ravel(), np.nan) for a in (xs, ys, zs)])
    return xs, ys, xyz, np.isfinite(xyz).all(axis=1)


def _gather_line(scene: _Scene, line: Any) -> bool:
    """A Line3D's segments and markers; False when it is left to Matplotlib."""
    from matplotlib import colors as mcolors

    if line.get_markevery() is not None or line.get_drawstyle() != "default":
        return False
    xs, ys, xyz, ok = _line_projection(line)
    scene.restore.append(functools.partial(line.set_data, xs, ys))
    if line.get_linestyle() != "None" and len(xyz) > 1:
        start = np.flatnonzero(ok[:-1] & ok[1:])
        if len(start):
            group = scene.new_group(_POLYLINE, line, _draw_line_run)
            values = _blank(len(start), line._linewidth)
            # The colour its stroke paints (the line draws itself; see _plain_strokes()).
            values["edge"] = np.tile(mcolors.to_rgba(line.get_color(), line.get_alpha()), (len(start), 1))
            scene.segments.add(
                xyz=np.concatenate([xyz[start], xyz[start + 1]], axis=1),
                group=np.full(len(start), group, dtype=np.int64),
                chain=np.full(len(start), scene.new_chains(1)[0]), **values)
    if line._marker and line._markersize > 0:
        at = np.flatnonzero(ok)
        if len(at):
            group = scene.new_group(_MARKERS, line, _draw_line_markers)
            reach = line._markersize / 2 + line._markeredgewidth
            values = _blank(len(at), reach)
            face = mcolors.to_rgba(line.get_markerfacecolor(), line._alpha)
            if face == mcolors.to_rgba(line.get_markeredgecolor(), line._alpha) and line.get_fillstyle() == "full":
                values["edge"] = np.tile(face, (len(at), 1))  # the one colour a marker paints
            scene.markers.add(xyz=xyz[at], index=at, group=np.full(len(at), group, dtype=np.int64),
                              chain=np.full(len(at), -1, dtype=np.int64), **values)
            scene.marker_radius = max(scene.marker_radius, reach * scene.ax.get_figure(root=True).dpi / 72.0)
    return True


def _gather_path_markers(scene: _Scene, pc: Any) -> None:
    offsets = np.ma.asarray(pc._offsets)
    vzs = np.ma.asarray(pc._vzs)
    if len(vzs) == 0:
        return
    xyz = np.column_stack([np.ma.filled(offsets[:, 0].astype(float), np.nan),
                           np.ma.filled(offsets[:, 1].astype(float), np.nan),
                           np.ma.filled(vzs.astype(float), np.nan)])
    at = np.flatnonzero(np.isfinite(xyz).all(axis=1))
    if len(at) == 0:
        return
    group = scene.new_group(_MARKERS, pc, _draw_path_markers)
    n = len(xyz)
    # A marker reaches half its size (the square root of its area in points squared) and its edge's width.
    reach = np.sqrt(_per_item(pc._sizes3d, n)) / 2 + _per_item(pc._linewidths3d, n)
    scene.markers.add(xyz=xyz[at], index=at, group=np.full(len(at), group, dtype=np.int64),
                      chain=np.full(len(at), -1, dtype=np.int64), **_blank(len(at), reach[at]))
    scene.marker_radius = max(scene.marker_radius, float(reach.max()) * scene.ax.get_figure(root=True).dpi / 72.0)
    idx, zordered, sizes2d, widths2d = pc._z_markers_idx, pc._offset_zordered, pc._sizes, pc._linewidths

    def restore() -> None:
        pc._z_markers_idx, pc._offset_zordered, pc._sizes, pc._linewidths = idx, zordered, sizes2d, widths2d

    scene.restore.append(restore)


def _gather_patch_markers(scene: _Scene, pc: Any) -> bool:
    """A Patch3DCollection whose patches each have an offset of their own, as markers; False when it is left to
    Matplotlib (patches placed by a single offset)."""
    offsets = np.ma.asarray(pc._offsets)
    paths = pc.get_paths()
    if len(offsets) != len(paths) or len(paths) == 0:
        return False
    vzs = np.ma.asarray(pc._vzs).ravel()
    xyz = np.column_stack([np.ma.filled(offsets[:, 0].astype(float), np.nan),
                           np.ma.filled(offsets[:, 1].astype(float), np.nan),
                           np.ma.filled(np.broadcast_to(vzs, len(offsets)).astype(float), np.nan)])
    at = np.flatnonzero(np.isfinite(xyz).all(axis=1))
    if len(at) == 0:
        return True
    group = scene.new_group(_MARKERS, pc, _draw_patch_markers)
    # A patch reaches as far from its offset as its path does from the origin once transformed (in points).
    transform = pc.get_transform().get_affine()
    origin = transform.transform((0.0, 0.0))
    dpi = scene.ax.get_figure(root=True).dpi
    extents = np.array([np.abs(transform.transform(p.vertices) - origin).max() if len(p.vertices) else 0.0
                        for p in paths]) * 72.0 / dpi
    reach = extents + _per_item(pc._linewidths, len(paths))
    scene.markers.add(xyz=xyz[at], index=at, group=np.full(len(at), group, dtype=np.int64),
                      chain=np.full(len(at), -1, dtype=np.int64), **_blank(len(at), reach[at]))
    scene.marker_radius = max(scene.marker_radius, float(reach.max()) * scene.ax.get_figure(root=True).dpi / 72.0)
    saved = (pc._offsets, pc._paths, pc._z_markers_idx, pc._linewidths)

    def restore() -> None:
        pc._offsets, pc._paths, pc._z_markers_idx, pc._linewidths = saved

    scene.restore.append(restore)
    return True


# A patch's curves are flattened for the order as if the patch were this many units across (the flattening keeps
# within about a unit of the curve).
_PATCH_STEPS = 2000.0


def _gather_patch(scene: _Scene, p: Any) -> bool:
    """A Patch3D (or PathPatch3D) as the polygons of its path's regions (holes joined by bridges, curves
    flattened in the patch's plane), drawn whole as Matplotlib draws the patch; False when it is left to
    Matplotlib (clipped to the view limits, not finite, curves off a plane of the axes, no area)."""
    from matplotlib.path import Path
    from matplotlib.transforms import Affine2D
    from mpl_toolkits.mplot3d import proj3d

    if getattr(p, "_axlim_clip", False):
        return False
    pts = np.asarray(p._segment3d, dtype=float).reshape(-1, 3)
    if len(pts) < 3 or not np.isfinite(pts).all():
        return False
    codes = getattr(p, "_code3d", None)
    rings = _rings(codes, len(pts))
    if rings is None:
        plane = _plane_of(pts)
        if plane is None:
            return False
        uv = [k for k in range(3) if k != plane[0]]
        size = float(np.ptp(pts[:, uv], axis=0).max())
        if not 0.0 < size < np.inf:
            return False
        scale = _PATCH_STEPS / size
        flat = [poly[:-1] / scale for poly in Path(pts[:, uv], codes).to_polygons(Affine2D().scale(scale))]
        flat = [poly for poly in flat if len(poly) >= 3]
        if not flat:
            return False
        pts = np.zeros((sum(map(len, flat)), 3))
        pts[:, plane[0]] = plane[1]
        pts[:, uv] = np.concatenate(flat)
        ends = np.cumsum([len(poly) for poly in flat])
        rings = [np.arange(end - len(poly), end) for poly, end in zip(flat, ends)]
    layout = _region_layout(pts, rings) if rings else []
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        xyz = np.asarray(proj3d._scale_proj_transform_vectors(pts, scene.ax), dtype=float)
    if not layout or not np.isfinite(xyz).all():
        return False
    group = scene.new_group(_COLLECTION, p, _draw_patch_run)
    scene.note_plane(group, None)
    values = dict(face=np.asarray(p.get_facecolor(), dtype=float).reshape(1, 4),
                  edge=np.asarray(p.get_edgecolor(), dtype=float).reshape(1, 4),
                  lw=np.array([float(p.get_linewidth())]), aa=np.array([float(bool(p.get_antialiased()))]))
    _add_regions(scene, xyz, layout, group, values)
    # A run that draws every region whole draws the patch as its own path instead, curves and all
    # (_draw_patch_run).
    scene.groups[group].frozen = (len(layout), p._path2d)
    return True


def _blank(n: int, reach: Any = 0.0) -> dict:
    """The drawing values of items their artist draws itself; `reach` (points) is how far its painting may go
    beyond the item's geometry, kept as its line width."""
    return dict(face=np.zeros((n, 4)), edge=np.zeros((n, 4)), lw=np.broadcast_to(reach, (n,)).astype(float),
                aa=np.zeros(n), path=np.full(n, -1, dtype=np.int64))


# ---- Drawing ----

_RunArtist: Any = None


def _as_artist(artist: Any, paint: Callable[[Any], None]) -> Any:
    """Something drawable that paints with `paint` under `artist`'s rasterization and filter settings (as
    Matplotlib's allow_rasterization applies them to an artist's own draw)."""
    global _RunArtist
    if _RunArtist is None:
        from matplotlib import artist as martist

        class _RunArtist:
            def __init__(self, artist: Any, paint: Callable[[Any], None]) -> None:
                self.artist, self.paint = artist, paint

            def get_rasterized(self) -> bool:
                return self.artist.get_rasterized()

            def get_agg_filter(self) -> Any:
                return self.artist.get_agg_filter()

            def get_figure(self, root: bool = False) -> Any:
                return self.artist.get_figure(root=root)

            @martist.allow_rasterization
            def draw(self, renderer: Any) -> None:
                self.paint(renderer)

    return _RunArtist(artist, paint)


def _draw_collection_run(renderer: Any, scene: _Scene, group: _Group, values: dict, items: np.ndarray,
                         roles: np.ndarray, drawn: tuple) -> None:
    _as_artist(group.artist, functools.partial(_paint_collection_run, scene=scene, group=group, values=values,
                                               items=items, roles=roles, drawn=drawn)).draw(renderer)


def _paint_collection_run(renderer: Any, scene: _Scene, group: _Group, values: dict, items: np.ndarray,
                          roles: np.ndarray, drawn: tuple) -> None:
    """A collection run through draw_path_collection: the paths and per-path colours fragment_runs made (fragment
    fills without edges, outlines and strokes without faces, seam pads in the face colour)."""
    from matplotlib import transforms

    c = group.artist
    paths, face, edge, lw, aa = drawn
    hatch = group.hatch
    hatchcolors = values["hatch"][items] if hatch else c.get_hatchcolor()
    renderer.open_group(c.__class__.__name__, c.get_gid())
    gc = renderer.new_gc()
    c._set_gc_clip(gc)
    gc.set_snap(c.get_snap())
    if c._joinstyle:
        gc.set_joinstyle(c._joinstyle)
    if c._capstyle:
        gc.set_capstyle(c._capstyle)
    if group.frozen is None:
        group.frozen = c.get_transform().frozen()
    transform = group.frozen
    offsets, offset_trf = np.zeros((1, 2)), transforms.IdentityTransform()
    # A hatch fills whatever path it is given: the strokes of outlines and segments go without it.
    blocks = [(0, len(paths))]
    if hatch:
        split = np.flatnonzero(np.diff((roles >= _OUTLINE).astype(np.int8))) + 1
        blocks = list(zip(np.r_[0, split], np.r_[split, len(paths)]))
    for lo, hi in blocks:
        hatched = bool(hatch) and roles[lo] < _OUTLINE
        gc.set_hatch(hatch if hatched else None)
        if hatched:
            gc.set_hatch_linewidth(c._hatch_linewidth)
        renderer.draw_path_collection(
            gc, transform, paths[lo:hi], _NO_TRANSFORMS, offsets, offset_trf, face[lo:hi], edge[lo:hi], lw[lo:hi],
            c._linestyles, aa[lo:hi], [c.get_url()], "screen",
            hatchcolors=hatchcolors[lo:hi] if hatch else hatchcolors)
    gc.restore()
    renderer.close_group(c.__class__.__name__)


def _draw_patch_run(renderer: Any, scene: _Scene, group: _Group, values: dict, items: np.ndarray,
                    roles: np.ndarray, drawn: tuple) -> None:
    """A run of a Patch3D's paths through the patch's own drawing (its graphics context, hatch, sketch and path
    effects, as Patch.draw): the patch whole as its own path, a fragment's fill without an edge, its outline and
    seam pads without a face or a hatch, with the colours and widths fragment_runs gave each path."""
    from matplotlib import cbook

    p = group.artist
    paths, face, edge, lw, aa = drawn
    transform = p.get_transform()
    affine = transform.get_affine()
    if group.frozen is not None and len(paths) == group.frozen[0] and bool(np.all(roles == _WHOLE)):
        paths = [group.frozen[1]]  # all the patch's regions (or its one), whole and in a row: the patch

    def paint(renderer: Any) -> None:
        for k, path in enumerate(paths):
            # (A run that strokes nothing has no edge colours, one that fills nothing no face colours.)
            stroke = roles[k] >= _OUTLINE
            rgb_face = None if stroke or not len(face) or not face[k][3] else tuple(face[k])
            with cbook._setattr_cm(p, _edgecolor=tuple(edge[k]) if len(edge) else (0.0, 0.0, 0.0, 0.0),
                                   _linewidth=float(lw[k]), _antialiased=bool(aa[k]),
                                   _hatch=None if stroke else p._hatch,
                                   _dash_pattern=(0, None) if roles[k] == _PAD else p._dash_pattern):
                p._draw_paths_with_artist_properties(
                    renderer, [(transform.transform_path_non_affine(path), affine, rgb_face)])

    _as_artist(p, paint).draw(renderer)


def _draw_line_run(renderer: Any, scene: _Scene, group: _Group, values: dict, items: np.ndarray,
                   roles: Any, xy: np.ndarray) -> None:
    from matplotlib import cbook
    from matplotlib.lines import Line2D
    from matplotlib.markers import MarkerStyle

    line = group.artist
    if _plain_line(line):
        _as_artist(line, functools.partial(_paint_line_run, group=group, xy=xy)).draw(renderer)
        return
    line.set_data(xy[:, 0], xy[:, 1])
    with cbook._setattr_cm(line, _marker=MarkerStyle("")):
        Line2D.draw(line, renderer)


def _plain_line(line: Any) -> bool:
    """Whether Line2D.draw of the line's stroke is only the path drawn with its gc (_paint_line_run): no path
    effects, sketch, gap colour or hidden stroke. A scene draws a line in many runs; setting its data and going
    through Line2D.draw for each costs several times the drawing."""
    return (line.get_visible() and not line.get_path_effects() and line.get_sketch_params() is None
            and not (line.is_dashed() and line.get_gapcolor() is not None)
            and line.get_linestyle() not in ("None", " ", ""))


def _plain_strokes(group: _Group) -> bool:
    """Whether the group's strokes and markers paint their edge colour and nothing else (those of one colour
    then leave the same pixels in any order; a marker's edge colour is the one colour it paints, else blank)."""
    from matplotlib.lines import Line2D

    a = group.artist
    if group.kind == _COLLECTION:
        return group.draw is not _draw_patch_run and _drawing_key(a, group.hatch) is not None
    plain = (not a.get_path_effects() and a.get_sketch_params() is None and a.get_agg_filter() is None
             and not a.get_rasterized())
    if group.kind == _POLYLINE:
        return plain and _plain_line(a)
    return plain and isinstance(a, Line2D)


def _paint_line_run(renderer: Any, group: _Group, xy: np.ndarray) -> None:
    """What Line2D.draw paints of a plain line (_plain_line) without markers, with the run's pieces as its data."""
    from matplotlib import colors as mcolors
    from matplotlib.path import Path
    from matplotlib.transforms import TransformedPath

    line = group.artist
    steps = line._path._interpolation_steps if line._path is not None else 1
    path = Path(np.asarray(xy, dtype=float), _interpolation_steps=steps)
    renderer.open_group("line2d", line.get_gid())
    transform = line.get_transform()
    if transform.is_affine:  # what TransformedPath gives: the path as it is, and the transform's affine part
        if group.frozen is None:
            group.frozen = transform.get_affine().frozen()
        tpath, frozen = path, group.frozen
    else:
        tpath, affine = TransformedPath(path, transform).get_transformed_path_and_affine()
        frozen = affine.frozen()
    if len(tpath.vertices):
        gc = renderer.new_gc()
        line._set_gc_clip(gc)
        gc.set_url(line.get_url())
        gc.set_antialiased(line._antialiased)
        gc.set_linewidth(line._linewidth)
        dashed = line.is_dashed()
        gc.set_joinstyle(line._dashjoinstyle if dashed else line._solidjoinstyle)
        gc.set_capstyle(line._dashcapstyle if dashed else line._solidcapstyle)
        gc.set_snap(line.get_snap())
        gc.set_foreground(mcolors.to_rgba(line._color, line._alpha), isRGBA=True)
        if line._linewidth > 0:
            gc.set_dashes(*line._dash_pattern)
        else:
            gc.set_dashes(0, None)
        renderer.draw_path(gc, tpath, frozen)
        gc.restore()
    renderer.close_group("line2d")


def _draw_line_markers(renderer: Any, scene: _Scene, group: _Group, values: dict, items: np.ndarray,
                       roles: Any, extra: Any) -> None:
    from matplotlib import cbook
    from matplotlib.lines import Line2D

    line = group.artist
    xy = values["xyz"][items - values["first_marker"], :2]
    line.set_data(xy[:, 0], xy[:, 1])
    with cbook._setattr_cm(line, _linestyle="None"):
        Line2D.draw(line, renderer)


def _draw_path_markers(renderer: Any, scene: _Scene, group: _Group, values: dict, items: np.ndarray,
                       roles: Any, extra: Any) -> None:
    pc = group.artist
    idx = values["index"][items - values["first_marker"]]
    if group.frozen is None:
        # The colours of all markers, in their own order, once per draw: depth shading takes every marker's
        # depth, whichever are drawn, so a run's are these rows (shading them per run costs more than drawing).
        pc._z_markers_idx = np.arange(len(pc._vzs))
        group.frozen = (type(pc).get_facecolor(pc), type(pc).get_edgecolor(pc))
    face, edge = group.frozen
    pc._z_markers_idx = idx
    pc._offset_zordered = np.ma.asarray(pc._offsets)[idx]
    if len(pc._sizes3d) > 1:
        pc._sizes = np.asarray(pc._sizes3d)[idx]
    if len(pc._linewidths3d) > 1:
        pc._linewidths = np.asarray(pc._linewidths3d)[idx]
    own = {name: pc.__dict__[name] for name in ("get_facecolor", "get_edgecolor") if name in pc.__dict__}
    pc.get_facecolor = lambda: face[idx] if len(face) > 1 else face
    pc.get_edgecolor = lambda: edge[idx] if len(edge) > 1 else edge
    try:
        type(pc).draw(pc, renderer)
    finally:
        del pc.get_facecolor, pc.get_edgecolor
        pc.__dict__.update(own)


def _draw_patch_markers(renderer: Any, scene: _Scene, group: _Group, values: dict, items: np.ndarray,
                        roles: Any, extra: Any) -> None:
    pc = group.artist
    idx = values["index"][items - values["first_marker"]]
    offsets, paths, widths = pc._offsets, pc._paths, pc._linewidths
    pc._offsets = np.ma.asarray(offsets)[idx]
    pc._paths = [paths[i] for i in idx]
    pc._z_markers_idx = idx
    if len(widths) > 1:
        pc._linewidths = np.asarray(widths)[idx % len(widths)]
    try:
        type(pc).draw(pc, renderer)
    finally:
        pc._offsets, pc._paths, pc._linewidths = offsets, paths, widths


class ExactScene:
    """Stands in an axes' child list for the artists it draws as one scene (made and dropped within one draw)."""

    def __init__(self, ax: Any, members: list, zorder: float) -> None:
        self.axes, self.members, self.zorder = ax, members, zorder

    def get_animated(self) -> bool:
        return False

    def get_visible(self) -> bool:
        return True

    def get_rasterized(self) -> bool:
        return False

    def get_agg_filter(self) -> None:
        return None

    def draw(self, renderer: Any) -> None:
        draw_scene(self.axes, self.members, renderer)


_MEMBER_TYPES: Optional[tuple] = None


def members_of(ax: Any) -> list:
    from mpl_toolkits.mplot3d import art3d

    global _MEMBER_TYPES
    if _MEMBER_TYPES is None:
        _MEMBER_TYPES = (art3d.Poly3DCollection, art3d.Line3DCollection, art3d.Line3D, art3d.Path3DCollection,
                         art3d.Patch3DCollection, art3d.Collection3D, art3d.Patch3D)
    return [a for a in ax._children if isinstance(a, _MEMBER_TYPES) and a.get_visible()]


def draw_scene(ax: Any, members: list, renderer: Any) -> None:
    from mpl_toolkits.mplot3d import art3d

    scene = _Scene(ax)
    left: list = []
    for a in members:
        if isinstance(a, art3d.Line3D):
            if not _gather_line(scene, a):
                left.append(a)
            continue
        if isinstance(a, art3d.Poly3DCollection):
            _gather_polygons(scene, a, _native.poly3d_scene_projection(a)[1:])
            continue
        a.do_3d_projection()
        if isinstance(a, art3d.Line3DCollection):
            if not _gather_line_collection(scene, a):
                left.append(a)
        elif isinstance(a, art3d.Collection3D):
            if not _gather_contours(scene, a):
                left.append(a)
        elif isinstance(a, art3d.Patch3DCollection):
            if not _gather_patch_markers(scene, a):
                left.append(a)
        elif isinstance(a, art3d.Patch3D):
            if not _gather_patch(scene, a):
                left.append(a)
        else:
            _gather_path_markers(scene, a)
    try:
        _draw_ordered(ax, scene, renderer)
    finally:
        for restore in scene.restore:
            restore()
    for a in left:
        a.draw(renderer)


def _one_paint(scene: _Scene) -> bool:
    """Whether every item of the scene (strokes and markers only) paints one and the same colour: in any order
    they leave the same pixels (see _plain_strokes()), so the scene needs no order."""
    if not all(_plain_strokes(g) for g in scene.groups):
        return False
    edge = _concatenated([scene.segments, scene.markers], "edge", np.zeros((0, 4)))
    return len(edge) > 0 and bool(edge[0, 3] > 0) and bool((edge == edge[0]).all())


def _whole_in_item_order(segments: np.ndarray, markers: np.ndarray) -> tuple:
    """visibility_order()'s value for segments and markers drawn whole in the order of the items."""
    ns, nm = len(segments), len(markers)
    xy = np.concatenate([segments[:, [0, 1, 3, 4]].reshape(-1, 2), markers[:, :2]])
    starts = np.r_[0, np.cumsum(np.r_[np.full(ns, 2), np.ones(nm, dtype=np.int64)])].astype(np.int64)
    stats = dict(capped=False, cuts=0, pieces=ns + nm, unplaced=0, forced=0)
    return (np.r_[np.full(ns, 1, dtype=np.uint8), np.full(nm, 2, dtype=np.uint8)], np.arange(ns + nm),
            np.ones(ns + nm, dtype=bool), starts, np.ascontiguousarray(xy), np.ones(len(xy), dtype=np.uint8), stats)


def _draw_ordered(ax: Any, scene: _Scene, renderer: Any) -> None:
    empty3 = np.zeros((0, 3))
    p, s, m = scene.polygons, scene.segments, scene.markers
    counts = p.column("counts", np.zeros(0, dtype=np.int64))
    offsets = np.zeros(len(counts) + 1, dtype=np.int64)
    np.cumsum(counts, out=offsets[1:])
    polygons = np.ascontiguousarray(p.column("xyz", empty3), dtype=float)
    depths = np.ascontiguousarray(p.column("depth", np.zeros(0)), dtype=float)
    segments = np.ascontiguousarray(s.column("xyz", np.zeros((0, 6))), dtype=float)
    markers = np.ascontiguousarray(m.column("xyz", empty3), dtype=float)
    # The marker radius in projected units: the pixels over the smaller of the data-to-pixel scales.
    scale = np.abs(np.diag(ax.transData.get_matrix())[:2])
    radius = scene.marker_radius / max(float(scale.min()), 1e-300)
    if len(depths) == 0 and _one_paint(scene):
        fragments = _whole_in_item_order(segments, markers)
    else:
        fragments = _native.visibility_order(polygons, offsets if len(counts) else np.zeros(0, dtype=np.int64),
                                             depths, segments, markers, radius, CAP_FACTOR)
    stats = dict(fragments[6], items=len(depths) + len(segments) + len(markers), polygons=len(depths),
                 fragments=len(fragments[0]))
    _last_stats[ax] = stats
    if stats["capped"]:
        warnings.warn("korvex_mpl: exact occlusion reached its limit of fragments "
                      f"({CAP_FACTOR:g} times the items of the axes); the rest of the scene is drawn in plain "
                      "depth order", RuntimeWarning, stacklevel=2)

    def column(name: str, width: Optional[int], dtype=float) -> np.ndarray:
        return _concatenated([p, s, m], name, np.zeros((0,) if width is None else (0, width), dtype=dtype))

    values = {name: column(name, width) for name, width in (("face", 4), ("edge", 4), ("lw", None), ("aa", None))}
    if any("hatch" in part for part in p.parts):
        values["hatch"] = column("hatch", 4)
    # Markers (the last items) by their own index.
    values["first_marker"] = len(depths) + len(segments)
    values["xyz"] = markers
    values["index"] = m.column("index", np.zeros(0, dtype=np.int64))
    # How far each item's painting reaches beyond its geometry, in projected units: half an edge and a seam pad
    # for polygons, a whole line width for strokes (their caps), a marker's own reach; a pixel more for
    # antialiasing.
    points = values["lw"] * ax.get_figure(root=True).dpi / 72.0
    reach = np.concatenate([points[:len(depths)] / 2 + PAD_PIXELS / 2, points[len(depths):]]) + 1.0
    margins = reach / max(float(scale.min()), 1e-300)
    groups = column("group", None, np.int64)
    chains = column("chain", None, np.int64)
    path_index = column("path", None, np.int64)
    kinds = np.array([g.kind for g in scene.groups], dtype=np.uint8)
    hatched = np.array([g.kind == _COLLECTION and bool(g.hatch) for g in scene.groups], dtype=np.uint8)
    strokes = np.array([(1 if _plain_strokes(g) else 0) | (2 if scene.planes.get(i) is not None else 0)
                        for i, g in enumerate(scene.groups)], dtype=np.uint8)
    pad_width = PAD_PIXELS * 72.0 / ax.get_figure(root=True).dpi
    # Strokes shorter than this across x or y may be level or upright to Agg's snapping (1e-4 pixels), with room.
    level = 1e-3 / max(float(scale.min()), 1e-300)
    for group, items, roles, extra in _native.fragment_runs(
            fragments, groups, kinds, chains, scene.paths, path_index, margins,
            (values["face"], values["edge"], values["lw"], values["aa"], hatched, strokes, pad_width, level)):
        g = scene.groups[group]
        g.draw(renderer, scene, g, values, items, roles, extra)


def replacements(axes3d: Any) -> list[tuple[Any, str, Callable[[Any], Any]]]:
    return [(axes3d.Axes3D, "draw", axes_draw)]


def axes_draw(original: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(original)
    def draw(self, renderer):
        if mode_of(self) != "exact" or not self.get_visible():
            return original(self, renderer)
        members = members_of(self)
        if not members:
            return original(self, renderer)
        if self.computed_zorder:
            zorder = max(axis.get_zorder() for axis in self._axis_map.values()) + 1
        else:
            zorder = min(a.zorder for a in members)
        children = self._children
        taken = set(map(id, members))
        self._children = [a for a in children if id(a) not in taken] + [ExactScene(self, members, zorder)]
        try:
            return original(self, renderer)
        finally:
            self._children = children

    return draw
