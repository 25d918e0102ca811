"""Matplotlib's 3D plotting core in native code: view matrices, point projection and depth-sorted polygons."""
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

_Float = SupportsFloat | SupportsIndex
_F64Array = npt.NDArray[np.float64]

__version__: str
__all__ = ["__version__", "PyProjection", "PyPoly3DCollection"]

@final
class PyProjection:
    """Python version of ProjectionMatrix and Projection functionality"""

    @staticmethod
    def world_transformation(
        xmin: _Float,
        xmax: _Float,
        ymin: _Float,
        ymax: _Float,
        zmin: _Float,
        zmax: _Float,
        pb_aspect: Sequence[_Float] | None = ...,
    ) -> _F64Array: ...
    @staticmethod
    def persp_transformation(zfront: _Float, zback: _Float, focal_length: _Float) -> _F64Array: ...
    @staticmethod
    def ortho_transformation(zfront: _Float, zback: _Float) -> _F64Array: ...
    @staticmethod
    def proj_transform(
        xs: _F64Array, ys: _F64Array, zs: _F64Array, matrix: _F64Array
    ) -> tuple[_F64Array, _F64Array, _F64Array]: ...
    @staticmethod
    def proj_transform_clip(
        xs: _F64Array, ys: _F64Array, zs: _F64Array, matrix: _F64Array, focal_length: _Float
    ) -> tuple[_F64Array, _F64Array, _F64Array, npt.NDArray[np.bool_]]: ...
    @staticmethod
    def inv_transform(
        xs: _F64Array, ys: _F64Array, zs: _F64Array, matrix: _F64Array
    ) -> tuple[_F64Array, _F64Array, _F64Array]: ...

@final
class PyPoly3DCollection:
    """Python wrapper for Poly3DCollection"""

    def __new__(
        cls,
        vertices: list[_F64Array],
        facecolors: _F64Array | None = None,
        edgecolors: _F64Array | None = None,
    ) -> PyPoly3DCollection: ...
    def do_3d_projection(self, matrix: _F64Array) -> float: ...
    def get_sorted_segments_2d(self) -> list[_F64Array]: ...
    def get_sorted_facecolors(self) -> _F64Array: ...
    def get_sorted_edgecolors(self) -> _F64Array: ...
    def set_zsort(self, zsort: str) -> None: ...
    def set_sort_zpos(self, zpos: _Float) -> None: ...
    def shade_colors(self, x: _Float, y: _Float, z: _Float) -> None: ...
