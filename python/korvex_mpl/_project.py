"""korvex in place of the matrices and point projections of ``mpl_toolkits.mplot3d.proj3d``.

Each replacement hands the case back to Matplotlib's own function when korvex cannot reproduce it exactly:
masked arrays (Matplotlib carries their masks through), shapes other than the ones Matplotlib itself uses, and
points whose homogeneous weight is 0 (Matplotlib divides by it and gets infinities or NaN, korvex leaves such a
point at the origin).
"""
from __future__ import annotations

import functools
import weakref
from typing import Any, Callable, Optional

import numpy as np

from korvex import PyProjection

from . import _native

_F64 = np.float64


def _matrix(M: Any) -> Optional[np.ndarray]:
    m = np.asarray(M)
    if m.shape != (4, 4) or not np.issubdtype(m.dtype, np.number) or np.iscomplexobj(m):
        return None
    return np.ascontiguousarray(m, dtype=_F64)


def _flat_points(xs: Any, ys: Any, zs: Any) -> Optional[tuple[tuple[int, ...], list[np.ndarray]]]:
    """The common shape and flat contiguous float64 copies of three coordinate arrays, or None."""
    if np.ma.isMA(xs) or np.ma.isMA(ys) or np.ma.isMA(zs):
        return None
    arrays = [np.asarray(a) for a in (xs, ys, zs)]
    shape = arrays[0].shape
    for a in arrays:
        if a.shape != shape or not np.issubdtype(a.dtype, np.number) or np.iscomplexobj(a):
            return None
    return shape, [np.ascontiguousarray(a.reshape(-1), dtype=_F64) for a in arrays]


def has_zero_weight(tx: np.ndarray, ty: np.ndarray, tz: np.ndarray) -> bool:
    """Whether some point came out as (0, 0, 0), the mark korvex leaves on a point of weight 0."""
    zero = tz == 0
    return bool(zero.any()) and bool(np.any(zero & (tx == 0) & (ty == 0)))


def _shaped(arrays: tuple[np.ndarray, ...], shape: tuple[int, ...]) -> tuple[Any, ...]:
    if shape == ():
        return tuple(a[0] for a in arrays)
    return tuple(a.reshape(shape) for a in arrays)


def world_transformation(original: Callable[..., np.ndarray]) -> Callable[..., np.ndarray]:
    @functools.wraps(original)
    def world_transformation(xmin, xmax, ymin, ymax, zmin, zmax, pb_aspect=None):
        # korvex ignores an aspect of any length but 3 where Matplotlib fails to unpack it: let Matplotlib say so.
        if pb_aspect is not None and np.shape(pb_aspect) != (3,):
            return original(xmin, xmax, ymin, ymax, zmin, zmax, pb_aspect)
        if pb_aspect is not None:
            pb_aspect = [float(a) for a in np.asarray(pb_aspect, dtype=_F64)]
        return PyProjection.world_transformation(xmin, xmax, ymin, ymax, zmin, zmax, pb_aspect)

    return world_transformation


def persp_transformation(original: Callable[..., np.ndarray]) -> Callable[..., np.ndarray]:
    @functools.wraps(original)
    def _persp_transformation(zfront, zback, focal_length):
        return PyProjection.persp_transformation(zfront, zback, focal_length)

    return _persp_transformation


def ortho_transformation(original: Callable[..., np.ndarray]) -> Callable[..., np.ndarray]:
    @functools.wraps(original)
    def _ortho_transformation(zfront, zback):
        return PyProjection.ortho_transformation(zfront, zback)

    return _ortho_transformation


def proj_transform(original: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(original)
    def proj_transform(xs, ys, zs, M):
        points, m = _flat_points(xs, ys, zs), _matrix(M)
        if points is None or m is None:
            return original(xs, ys, zs, M)
        shape, flat = points
        out = PyProjection.proj_transform(*flat, m)
        if has_zero_weight(*out):
            return original(xs, ys, zs, M)
        return _shaped(out, shape)

    return proj_transform


def _vec_rows(vec: Any) -> Optional[list[np.ndarray]]:
    """Rows x, y, z of a homogeneous 4 x N array whose last row is all ones, or None."""
    if np.ma.isMA(vec) or any(np.ma.isMA(row) for row in vec):
        return None
    v = np.asarray(vec)
    if v.ndim != 2 or v.shape[0] != 4 or not np.issubdtype(v.dtype, np.number) or np.iscomplexobj(v):
        return None
    if not np.all(v[3] == 1):
        return None
    return [np.ascontiguousarray(v[i], dtype=_F64) for i in range(3)]


def proj_transform_vec(original: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(original)
    def _proj_transform_vec(vec, M):
        rows, m = _vec_rows(vec), _matrix(M)
        if rows is None or m is None:
            return original(vec, M)
        out = PyProjection.proj_transform(*rows, m)
        if has_zero_weight(*out):
            return original(vec, M)
        return out

    return _proj_transform_vec


def proj_transform_vec_clip(original: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(original)
    def _proj_transform_vec_clip(vec, M, focal_length):
        rows, m = _vec_rows(vec), _matrix(M)
        if rows is None or m is None:
            return original(vec, M, focal_length)
        txs, tys, tzs, tis = PyProjection.proj_transform_clip(*rows, m, focal_length)
        if has_zero_weight(txs, tys, tzs):
            return original(vec, M, focal_length)
        hidden = ~tis
        return (np.ma.masked_array(txs, hidden), np.ma.masked_array(tys, hidden),
                np.ma.masked_array(tzs, hidden), tis)

    return _proj_transform_vec_clip


# id(inverse matrix) -> (weak reference to it, the forward matrix it was computed from). Axes3D.draw computes
# ``invM = inv(M)``; remembering M lets inv_transform hand korvex the forward matrix it expects instead of
# inverting the inverse back.
_forward_of: dict[int, tuple[weakref.ref, np.ndarray]] = {}


def remember_inverse(inverse: np.ndarray, forward: np.ndarray) -> None:
    key = id(inverse)
    try:
        ref = weakref.ref(inverse, lambda _ref, key=key: _forward_of.pop(key, None))
    except TypeError:
        return
    _forward_of[key] = (ref, np.array(forward, dtype=_F64))


def forward_matrix(inverse: np.ndarray) -> Optional[np.ndarray]:
    entry = _forward_of.get(id(inverse))
    if entry is not None and entry[0]() is inverse:
        return entry[1]
    return None


def inv_transform(original: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(original)
    def inv_transform(xs, ys, zs, invM):
        points, inverse = _flat_points(xs, ys, zs), _matrix(invM)
        if points is None or inverse is None or len(points[0]) > 1:
            return original(xs, ys, zs, invM)
        forward = forward_matrix(invM)
        if forward is None:
            forward = np.ascontiguousarray(np.linalg.inv(inverse))
        out = PyProjection.inv_transform(*points[1], forward)
        # Matplotlib leaves a point of weight 0 undivided where korvex sets it to the origin.
        if has_zero_weight(*out):
            return original(xs, ys, zs, invM)
        return out

    return inv_transform


def linear_axes(axes: Any) -> bool:
    """Whether all three axes of a 3D axes have linear scales, so that data and scaled coordinates coincide."""
    return all(axis.get_scale() == "linear" for axis in (axes.xaxis, axes.yaxis, axes.zaxis))


def scale_proj_transform_vectors(original: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(original)
    def _scale_proj_transform_vectors(vecs, axes):
        m = _matrix(axes.M)
        if np.ma.isMA(vecs) or m is None or not linear_axes(axes):
            return original(vecs, axes)
        v = np.asarray(vecs)
        if v.ndim < 1 or v.shape[-1] != 3 or not np.issubdtype(v.dtype, np.number) or np.iscomplexobj(v):
            return original(vecs, axes)
        flat = v.reshape(-1, 3)
        out = PyProjection.proj_transform(*(np.ascontiguousarray(flat[:, i], dtype=_F64) for i in range(3)), m)
        if has_zero_weight(*out):
            return original(vecs, axes)
        return np.stack(out, axis=-1).reshape(v.shape)

    return _scale_proj_transform_vectors


def axes_draw(original: Callable[..., Any]) -> Callable[..., Any]:
    @functools.wraps(original)
    def draw(self, renderer):
        result = original(self, renderer)
        if self.M is not None and self.invM is not None:
            remember_inverse(self.invM, self.M)
        return result

    return draw


def replacements(proj3d: Any, axes3d_class: type) -> list[tuple[Any, str, Callable[[Any], Any]]]:
    return [
        (proj3d, "world_transformation", lambda original: _native.world_transformation),
        (proj3d, "_persp_transformation", lambda original: _native._persp_transformation),
        (proj3d, "_ortho_transformation", lambda original: _native._ortho_transformation),
        (proj3d, "proj_transform", proj_transform),
        (proj3d, "_proj_transform_vec", proj_transform_vec),
        (proj3d, "_proj_transform_vec_clip", proj_transform_vec_clip),
        (proj3d, "inv_transform", inv_transform),
        (proj3d, "_scale_proj_transform_vectors", scale_proj_transform_vectors),
        (axes3d_class, "draw", axes_draw),
    ]
