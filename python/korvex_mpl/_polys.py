"""korvex in place of the depth-sorted projection and the shading of ``art3d.Poly3DCollection``.

Drawing. Each artist keeps a cache, rebuilt when its 3D polygons change (``set_verts`` and
``set_verts_and_codes`` replace ``_faces``): flat float64 copies of its vertex coordinates, and, for up to
``COLLECTION_LIMIT`` polygons, a korvex ``PyPoly3DCollection`` holding them. Every draw projects all vertices in
one korvex call. The collection then orders the polygons by depth; since it hands back the outlines in drawing
order but not the order itself, the adapter recovers the order by matching those outlines against the unsorted
projection (bit for bit, both come from the same per-point rule) to reorder the colours and path codes. Past the
limit the one-array-per-polygon results cost more than the sort itself, so the adapter applies korvex's ordering
rule to the flat projection directly: the same depth arithmetic and the same stable descending order, so both
ways give identical drawings (the tests check it).

Matplotlib's own code still draws whatever korvex cannot reproduce exactly: masked or ragged polygons and
non-finite vertices (Matplotlib masks them), ``axlim_clip``, non-linear axis scales, a custom z-sort function,
and points of homogeneous weight 0.
"""
from __future__ import annotations

import functools
import weakref
from typing import Any, Callable, Optional

import numpy as np

from korvex import PyPoly3DCollection, PyProjection

from . import _project

COLLECTION_LIMIT = 10_000

_F64 = np.float64
_DEGENERATE_NORMAL = 1e-10  # korvex shades a polygon whose normal is this short or shorter as facing +z


class _Cache:
    """What one artist's draws share while its polygons stay the same object."""

    __slots__ = ("faces", "finite", "xs", "ys", "zs", "collection", "zsort", "vertices", "pad", "gathered", "paths",
                 "template")

    def __init__(self, faces: np.ndarray) -> None:
        coords = np.asarray(faces, dtype=_F64)
        self.faces = faces
        self.finite = bool(np.isfinite(coords).all())
        self.xs, self.ys, self.zs = (np.ascontiguousarray(coords[..., i]).reshape(-1) for i in range(3))
        self.collection: Optional[PyPoly3DCollection] = None
        self.zsort: Optional[str] = None
        self.vertices = np.empty(len(self.xs), dtype=np.complex128)  # projected (x, y) of one draw
        self.pad: Optional[np.ndarray] = None
        self.gathered: Optional[np.ndarray] = None
        self.paths: list[Any] = []
        self.template: Optional[tuple[Any, ...]] = None

    def korvex_collection(self) -> PyPoly3DCollection:
        if self.collection is None:
            n = len(self.faces)
            coords = np.stack((self.xs, self.ys, self.zs), axis=-1).reshape(n, -1, 3)
            self.collection = PyPoly3DCollection(list(coords))
            self.zsort = "average"
        return self.collection


# Kept beside the artists rather than in them, so that pickling or copying an artist never meets korvex objects.
_caches: "weakref.WeakKeyDictionary[Any, _Cache]" = weakref.WeakKeyDictionary()


def _cache_for(artist: Any) -> _Cache:
    cache = _caches.get(artist)
    if cache is None or cache.faces is not artist._faces:
        cache = _caches[artist] = _Cache(artist._faces)
    return cache


def depths(tz: np.ndarray, zsort: str) -> np.ndarray:
    """Per-polygon depth of an (n, N) array of projected z, with korvex's arithmetic (its summation order)."""
    n, nv = tz.shape
    if zsort == "min":
        return tz.min(axis=1)
    if zsort == "max":
        return tz.max(axis=1)
    total = np.zeros(n)
    blocks = nv // 8
    if blocks:
        lanes = np.zeros((n, 8))
        for b in range(blocks):
            lanes += tz[:, 8 * b:8 * b + 8]
        for j in range(4):
            total += lanes[:, j] + lanes[:, j + 4]
    for j in range(8 * blocks, nv):
        total += tz[:, j]
    return total / nv


def descending_order(d: np.ndarray) -> np.ndarray:
    """korvex's drawing order for the depths ``d``: descending, ties (+0.0 and -0.0 included) in ascending index.

    NumPy's stable sort is several times slower than its default one, so this sorts with the default and then
    puts each run of equal depths back in ascending index with one sort of (run, index) keys.
    """
    n = len(d)
    order = np.argsort(-d)
    s = d[order]
    ties = s[1:] == s[:-1]
    if ties.any():
        run = np.concatenate(([0], np.cumsum(~ties)))
        order = np.sort(run * n + order) % n
    return order


def _outline_keys(bits: np.ndarray) -> np.ndarray:
    """A 64-bit hash of each row of raw coordinate bits."""
    key = np.full(len(bits), 0x9E3779B97F4A7C15, dtype=np.uint64)
    for j in range(bits.shape[1]):
        key ^= bits[:, j]
        key *= np.uint64(0xBF58476D1CE4E5B9)
        key ^= key >> np.uint64(29)
    return key


def match_order(sorted_2d: np.ndarray, unsorted_2d: np.ndarray, tz: np.ndarray, zsort: str) -> Optional[np.ndarray]:
    """The permutation that takes the unsorted outlines (n, 2N) to the sorted ones, or None if there is none.

    Polygons with identical outlines are told apart by korvex's own rule (deeper first, then ascending index).
    """
    sorted_bits, unsorted_bits = sorted_2d.view(np.uint64), unsorted_2d.view(np.uint64)
    ks, ku = _outline_keys(sorted_bits), _outline_keys(unsorted_bits)
    by_s, by_u = np.argsort(ks, kind="stable"), np.argsort(ku, kind="stable")
    ku_sorted = ku[by_u]
    if not np.array_equal(ks[by_s], ku_sorted):
        return None
    order = np.empty(len(ks), dtype=np.intp)
    order[by_s] = by_u
    same = ku_sorted[1:] == ku_sorted[:-1]
    if same.any():
        d = depths(tz, zsort)
        starts = np.flatnonzero(np.diff(np.concatenate(([False], same, [False])).astype(np.int8)) == 1)
        ends = np.flatnonzero(np.diff(np.concatenate(([False], same, [False])).astype(np.int8)) == -1) + 1
        for start, end in zip(starts, ends):
            members = by_u[start:end]  # ascending polygon index
            order[by_s[start:end]] = members[descending_order(d[members])]
    if not np.array_equal(sorted_bits, unsorted_bits[order]):
        return None
    return order


def _nan_first(order: np.ndarray, nan: np.ndarray) -> np.ndarray:
    """Matplotlib's place for polygons of NaN depth: first, in descending index (its order is an argsort reversed)."""
    if not nan.any():
        return order
    return np.concatenate((np.flatnonzero(nan)[::-1], order[~nan[order]]))


def _collection_order(cache: _Cache, m: np.ndarray, zsort: str, tx: np.ndarray, ty: np.ndarray,
                      tz: np.ndarray) -> Optional[np.ndarray]:
    """The drawing order of korvex's collection for matrix ``m``, read back from its sorted outlines."""
    collection = cache.korvex_collection()
    if cache.zsort != zsort:
        collection.set_zsort(zsort)
        cache.zsort = zsort
    collection.do_3d_projection(m)
    n = len(tz)
    sorted_2d = np.concatenate(collection.get_sorted_segments_2d()).reshape(n, -1)
    return match_order(sorted_2d, np.stack((tx, ty), axis=-1).reshape(n, -1), tz, zsort)


def set_closed_paths(artist: Any, cache: _Cache, tx: np.ndarray, ty: np.ndarray, face_order: np.ndarray) -> None:
    """``PolyCollection.set_verts(faces_2d, closed=True)`` for the projected vertices taken in ``face_order``.

    The polygons keep their vertex count between draws, so the closed outlines are written into one buffer that
    the Path objects of the first draw view; later draws create no Path (a change of the path settings does).
    """
    from matplotlib.path import Path

    n, nv = len(face_order), len(tx) // len(face_order)
    template = Path(np.zeros((nv + 1, 2)), closed=True)
    settings = (template.should_simplify, template.simplify_threshold, template._interpolation_steps)
    if cache.pad is None or cache.template != settings:
        pad = np.empty((n, nv + 1, 2))
        make = Path._fast_from_codes_and_verts
        cache.paths = [make(xy, template.codes, internals_from=template) for xy in pad]
        cache.pad, cache.template = pad, settings
    assert cache.pad is not None
    # (x, y) pairs as complex numbers: one gather moves a whole vertex.
    vertices = cache.vertices
    vertices.real, vertices.imag = tx, ty
    pad = cache.pad.view(np.complex128).reshape(n, nv + 1)
    # Gathering into a contiguous buffer and then copying into the strided rows is faster than gathering into
    # the strided rows directly.
    if cache.gathered is None or cache.gathered.shape != (n, nv):
        cache.gathered = np.empty((n, nv), dtype=np.complex128)
    np.take(vertices.reshape(n, nv), face_order, axis=0, out=cache.gathered, mode="clip")
    pad[:, :nv] = cache.gathered
    pad[:, nv] = pad[:, 0]
    artist._paths = list(cache.paths)
    artist.stale = True


def _can_draw(artist: Any, zsort_names: dict[Any, str]) -> bool:
    faces = getattr(artist, "_faces", None)
    invalid = getattr(artist, "_invalid_vertices", True)
    return (
        isinstance(faces, np.ndarray)
        and not isinstance(faces, np.ma.MaskedArray)
        and faces.ndim == 3
        and faces.shape[0] > 0
        and faces.shape[1] > 0
        and faces.shape[2] == 3
        and np.issubdtype(faces.dtype, np.number)
        and not np.iscomplexobj(faces)
        and (invalid is False or not np.any(invalid))
        and not artist._axlim_clip
        and artist._zsortfunc in zsort_names
        and _project.linear_axes(artist.axes)
    )


def do_3d_projection(original: Callable[[Any], Any], zsort_names: dict[Any, str]) -> Callable[[Any], Any]:
    from matplotlib.collections import PolyCollection
    from mpl_toolkits.mplot3d import proj3d

    @functools.wraps(original)
    def do_3d_projection(self):
        if not _can_draw(self, zsort_names):
            return original(self)
        cache = _cache_for(self)
        m = _project._matrix(self.axes.M)
        if not cache.finite or m is None:
            return original(self)
        tx, ty, tz = PyProjection.proj_transform(cache.xs, cache.ys, cache.zs, m)
        if _project.has_zero_weight(tx, ty, tz):
            return original(self)

        n, nv = self._faces.shape[:2]
        zsort = zsort_names[self._zsortfunc]
        tz_faces = tz.reshape(n, nv)
        with np.errstate(invalid="ignore"):
            if n <= COLLECTION_LIMIT:
                face_order = _collection_order(cache, m, zsort, tx, ty, tz_faces)
                if face_order is None:
                    return original(self)
                nan = np.isnan(tz_faces.sum(axis=1)) if zsort == "average" else np.isnan(tz_faces).any(axis=1)
            else:
                d = depths(tz_faces, zsort)
                face_order, nan = descending_order(d), np.isnan(d)
        face_order = _nan_first(face_order, nan)

        if self._A is not None:
            # As Matplotlib does: map the colours now, since they are reordered below.
            self.update_scalarmappable()
            if self._face_is_mapped:
                self._facecolor3d = self._facecolors
            if self._edge_is_mapped:
                self._edgecolor3d = self._edgecolors
        cface = self._facecolor3d
        cedge = self._edgecolor3d
        if len(cface) != n:
            cface = cface.repeat(n, axis=0)
        if len(cedge) != n:
            cedge = cface if len(cedge) == 0 else cedge.repeat(n, axis=0)

        codes3d = self._codes3d
        if self._closed and (codes3d is None or len(codes3d) == 0):
            set_closed_paths(self, cache, tx, ty, face_order)
        else:
            faces_2d = np.stack((tx, ty), axis=-1).reshape(n, nv, 2)[face_order]
            if codes3d is not None and len(codes3d) > 0:
                PolyCollection.set_verts_and_codes(self, faces_2d, [codes3d[idx] for idx in face_order])
            else:
                PolyCollection.set_verts(self, faces_2d, self._closed)

        self._facecolors2d = np.take(cface, face_order, axis=0) if len(cface) > 0 else cface
        if len(self._edgecolor3d) == len(cface) and len(cedge) > 0:
            self._edgecolors2d = np.take(cedge, face_order, axis=0)
        else:
            self._edgecolors2d = self._edgecolor3d

        # Matplotlib's value, not korvex's smallest polygon depth: the sort position projected, else the
        # smallest projected z of any vertex.
        if self._sort_zpos is not None:
            zvec = np.array([[0], [0], [self._sort_zpos], [1]])
            return proj3d._proj_transform_vec(zvec, self.axes.M)[2][0]
        return np.min(tz)

    return do_3d_projection


def _polygon_list(verts: Any) -> list[np.ndarray]:
    if isinstance(verts, np.ndarray) and not isinstance(verts, np.ma.MaskedArray):
        return list(np.asarray(verts, dtype=_F64))
    return [np.asarray(p, dtype=_F64) for p in verts]


def shading_factors(polygons: list[np.ndarray], normals: np.ndarray, lightsource: Any) -> Optional[np.ndarray]:
    """Matplotlib's per-polygon shading factor, with korvex finding the normals and their angle to the light.

    None where Matplotlib leaves colours unshaded (no polygon has a usable normal) or korvex cannot take the
    polygons. korvex's factor is ``0.3 + 0.7 * (d + 1) / 2`` for the cosine ``d``; Matplotlib's passes ``d``
    through two ``Normalize`` objects, whose lower bound is 0.3 rounded through float16, so the adapter takes
    ``d`` back from korvex's factor and maps it as Matplotlib does.
    """
    from matplotlib import colors as mcolors

    if lightsource is None:
        lightsource = mcolors.LightSource(azdeg=225, altdeg=19.4712)  # Matplotlib's default
    direction = lightsource.direction
    normals = np.asarray(normals, dtype=_F64)
    n = len(polygons)
    if normals.shape != (n, 3) or any(p.ndim != 2 or p.shape[1] < 3 for p in polygons):
        return None
    with np.errstate(invalid="ignore", divide="ignore"):
        shade = (normals / np.linalg.norm(normals, axis=1, keepdims=True)) @ direction
    valid = ~np.isnan(shade)
    if not valid.any():
        return None
    probe = PyPoly3DCollection(polygons, np.ones((1, 4)))
    probe.shade_colors(*(float(c) for c in direction))
    cosine = (probe.get_sorted_facecolors()[:, 0] - 0.3) / 0.35 - 1.0
    # Where the two disagree on what a degenerate normal is, Matplotlib's rule wins: it normalises any non-zero
    # normal, and gives a polygon whose normal is zero or NaN the shade 0.
    k = normals
    length = np.sqrt((k[:, 0] * k[:, 0] + k[:, 1] * k[:, 1]) + k[:, 2] * k[:, 2])
    redo = ~valid | ~(length > _DEGENERATE_NORMAL)
    cosine[redo] = np.where(valid, shade, 0.0)[redo]
    return np.asarray(mcolors.Normalize(0.3, 1).inverse(mcolors.Normalize(-1, 1)(cosine)))


def shade_colors(color: Any, factors: np.ndarray) -> Optional[np.ndarray]:
    """``color`` (one colour or one per polygon) with red, green and blue scaled by the factors."""
    from matplotlib import colors as mcolors

    rgba = mcolors.to_rgba_array(color)
    if len(rgba) not in (1, len(factors)):
        return None
    shaded = factors[:, np.newaxis] * rgba
    shaded[:, 3] = rgba[:, 3]
    return shaded


def poly3d_init(original: Callable[..., None]) -> Callable[..., None]:
    from mpl_toolkits.mplot3d import art3d

    @functools.wraps(original)
    def __init__(self, verts, *args, zsort="average", shade=False, lightsource=None, axlim_clip=False, **kwargs):
        facecolors, edgecolors = kwargs.get("facecolors"), kwargs.get("edgecolors")
        if shade and (facecolors is not None or edgecolors is not None):
            factors = shading_factors(_polygon_list(verts), art3d._generate_normals(verts), lightsource)
            shaded = {}
            for key, color in (("facecolors", facecolors), ("edgecolors", edgecolors)):
                if color is not None and factors is not None:
                    shaded[key] = shade_colors(color, factors)
            if factors is not None and all(value is not None for value in shaded.values()):
                kwargs.update(shaded)
                shade = False
        original(self, verts, *args, zsort=zsort, shade=shade, lightsource=lightsource,
                 axlim_clip=axlim_clip, **kwargs)

    return __init__


def replacements(art3d: Any) -> list[tuple[Any, str, Callable[[Any], Any]]]:
    cls = art3d.Poly3DCollection
    zsort_names = {func: name for name, func in cls._zsort_functions.items()}
    return [
        (cls, "__init__", poly3d_init),
        (cls, "do_3d_projection", lambda original: do_3d_projection(original, zsort_names)),
    ]
