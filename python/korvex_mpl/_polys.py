"""korvex in place of ``art3d.Poly3DCollection.do_3d_projection`` and of art3d's shading functions.

``Poly3DCollection.do_3d_projection`` becomes one native method of the class, and ``art3d._generate_normals`` and
``art3d._shade_colors`` (which ``Poly3DCollection.__init__`` calls for ``shade=True``) native functions, all in
``korvex_mpl._native``. Each reads what Matplotlib's code reads, at every call, and hands the call to Matplotlib's
own code for the cases it does not reproduce exactly (the README lists them).
"""
from __future__ import annotations

from typing import Any, Callable

from . import _native


def replacements(art3d: Any) -> list[tuple[Any, str, Callable[[Any], Any]]]:
    cls = art3d.Poly3DCollection
    zsort = cls._zsort_functions
    _native.keep_art3d_originals({
        "do_3d_projection": cls.__dict__["do_3d_projection"],
        "_generate_normals": art3d.__dict__["_generate_normals"],
        "_shade_colors": art3d.__dict__["_shade_colors"],
        "average": zsort["average"],
        "min": zsort["min"],
        "max": zsort["max"],
    })
    method = _native.poly3d_method(cls)
    return [
        (cls, "do_3d_projection", lambda original: method),
        (art3d, "_generate_normals", lambda original: _native._generate_normals),
        (art3d, "_shade_colors", lambda original: _native._shade_colors),
    ]
