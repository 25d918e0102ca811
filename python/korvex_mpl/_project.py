"""korvex_mpl._native in place of the matrices and point projections of ``mpl_toolkits.mplot3d.proj3d``.

Each of the eight functions is replaced by a builtin function of ``korvex_mpl._native`` itself, so a call from
Matplotlib goes straight to native code. The native functions decide in C which calls they do not reproduce
exactly and hand those to Matplotlib's own functions (given to them by ``install()``); the README lists the cases.
"""
from __future__ import annotations

from typing import Any, Callable, Optional

import numpy as np

from . import _native

_F64 = np.float64

# The proj3d functions that korvex_mpl._native stands in for, under the same names.
PROJ3D_NAMES = ("world_transformation", "_persp_transformation", "_ortho_transformation", "proj_transform",
                "_proj_transform_vec", "_proj_transform_vec_clip", "inv_transform", "_scale_proj_transform_vectors")


def _matrix(M: Any) -> Optional[np.ndarray]:
    m = np.asarray(M)
    if m.shape != (4, 4) or not np.issubdtype(m.dtype, np.number) or np.iscomplexobj(m):
        return None
    return np.ascontiguousarray(m, dtype=_F64)


def has_zero_weight(tx: np.ndarray, ty: np.ndarray, tz: np.ndarray) -> bool:
    """Whether some point came out as (0, 0, 0), the mark korvex leaves on a point of weight 0."""
    zero = tz == 0
    return bool(zero.any()) and bool(np.any(zero & (tx == 0) & (ty == 0)))


def linear_axes(axes: Any) -> bool:
    """Whether all three axes of a 3D axes have linear scales, so that data and scaled coordinates coincide."""
    return all(axis.get_scale() == "linear" for axis in (axes.xaxis, axes.yaxis, axes.zaxis))


def originals(proj3d: Any) -> dict[str, Callable[..., Any]]:
    """Matplotlib's functions that the native ones hand calls back to."""
    return {name: proj3d.__dict__[name] for name in PROJ3D_NAMES}


def replacements(proj3d: Any) -> list[tuple[Any, str, Callable[[Any], Any]]]:
    return [(proj3d, name, lambda original, name=name: getattr(_native, name)) for name in PROJ3D_NAMES]
