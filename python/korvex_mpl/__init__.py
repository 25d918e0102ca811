"""Run Matplotlib's 3D toolkit on korvex.

``install()`` makes every 3D axes of Matplotlib 3.11 or newer in this process use korvex for its view
matrices, its point projections (plain, clipped, inverse) and the depth-sorted projection and shading of its
polygon collections. ``uninstall()`` puts Matplotlib's own functions back, and ``enabled()`` does both around a
block::

    import korvex_mpl

    with korvex_mpl.enabled():
        fig.canvas.draw()

Where korvex and Matplotlib differ on purpose, the adapter bridges the difference so that plots come out as
Matplotlib draws them; the cases it hands back to Matplotlib's own code are listed in the README.
"""
from __future__ import annotations

import contextlib
import re
from typing import Any, Callable, Iterator

from . import _native, _polys, _project
from ._timing import CoreTimes, core_timer

__all__ = ["CoreTimes", "core_timer", "enabled", "install", "installed", "uninstall"]

MIN_MATPLOTLIB = (3, 11)

# The proj3d functions that korvex_mpl._native stands in for.
_PROJ3D_NAMES = ("world_transformation", "_persp_transformation", "_ortho_transformation", "proj_transform",
                 "_proj_transform_vec", "_proj_transform_vec_clip", "inv_transform", "_scale_proj_transform_vectors")

# (owner, attribute name) -> Matplotlib's own object, filled by install() and emptied by uninstall().
_saved: dict[tuple[Any, str], Any] = {}


def _check_matplotlib() -> None:
    import matplotlib

    match = re.match(r"(\d+)\.(\d+)", matplotlib.__version__)
    found = (int(match.group(1)), int(match.group(2))) if match else (0, 0)
    if found < MIN_MATPLOTLIB:
        raise RuntimeError(
            f"korvex_mpl needs Matplotlib {MIN_MATPLOTLIB[0]}.{MIN_MATPLOTLIB[1]} or newer; "
            f"this process has Matplotlib {matplotlib.__version__}"
        )


def _replacements() -> list[tuple[Any, str, Callable[[Any], Any]]]:
    """(owner, attribute, factory) triples; each factory gets Matplotlib's object and returns the replacement."""
    from mpl_toolkits.mplot3d import art3d, axes3d, proj3d

    return _project.replacements(proj3d, axes3d.Axes3D) + _polys.replacements(art3d)


def install() -> None:
    """Route the numerical core of every 3D axes in this process through korvex. Calling it twice is harmless."""
    _check_matplotlib()
    if _saved:
        return
    from mpl_toolkits.mplot3d import proj3d

    _native.keep_originals({name: proj3d.__dict__[name] for name in _PROJ3D_NAMES})
    for owner, name, factory in _replacements():
        original = owner.__dict__[name]
        _saved[(owner, name)] = original
        setattr(owner, name, factory(original))


def uninstall() -> None:
    """Put back exactly the functions and methods that install() replaced."""
    for (owner, name), original in _saved.items():
        setattr(owner, name, original)
    _saved.clear()


def installed() -> bool:
    """Whether install() is in effect."""
    return bool(_saved)


@contextlib.contextmanager
def enabled() -> Iterator[None]:
    """Install korvex for the duration of a block; leaves things as they were (installed or not) afterwards."""
    was_installed = installed()
    install()
    try:
        yield
    finally:
        if not was_installed:
            uninstall()
