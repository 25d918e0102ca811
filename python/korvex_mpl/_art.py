"""korvex_mpl._native in place of ``Axes3D.get_proj`` and of the ``do_3d_projection`` of art3d's point, line and
converted 2D collections and of its patches.

Each becomes a native method of its class (a method descriptor of ``korvex_mpl._native``), so Matplotlib's call
goes straight to native code. The methods decide in C which calls they do not reproduce exactly and hand those to
Matplotlib's own methods (given to them by ``install()``); the README lists the cases.
"""
from __future__ import annotations

from typing import Any, Callable

from . import _native


def _targets(axes3d: Any, art3d: Any) -> dict[str, tuple[Any, str]]:
    """{key: (class, attribute)} of every replaced method."""
    return {
        "Axes3D.get_proj": (axes3d.Axes3D, "get_proj"),
        "Path3DCollection.do_3d_projection": (art3d.Path3DCollection, "do_3d_projection"),
        "Patch3DCollection.do_3d_projection": (art3d.Patch3DCollection, "do_3d_projection"),
        "Line3DCollection.do_3d_projection": (art3d.Line3DCollection, "do_3d_projection"),
        "Collection3D.do_3d_projection": (art3d.Collection3D, "do_3d_projection"),
        "Patch3D.do_3d_projection": (art3d.Patch3D, "do_3d_projection"),
        "PathPatch3D.do_3d_projection": (art3d.PathPatch3D, "do_3d_projection"),
    }


def replacements(axes3d: Any, art3d: Any) -> list[tuple[Any, str, Callable[[Any], Any]]]:
    targets = _targets(axes3d, art3d)
    _native.keep_method_originals({key: cls.__dict__[name] for key, (cls, name) in targets.items()})
    return [(cls, name, lambda original, key=key, cls=cls: _native.method(key, cls))
            for key, (cls, name) in targets.items()]
