"""Run Matplotlib's 3D toolkit on korvex.

``install()`` makes every 3D axes of Matplotlib 3.11 or newer in this process use korvex for its view
matrices, its point projections (plain, clipped, inverse) and the depth-sorted projection and shading of its
polygon collections. ``uninstall()`` puts Matplotlib's own functions back, and ``enabled()`` does both around a
block::

    import korvex_mpl

    with korvex_mpl.enabled():
        fig.canvas.draw()

All three may be called from any thread: each takes effect completely or not at all. The cases the adapter hands
back to Matplotlib's own code are listed in the README.

``occlusion="exact"`` (for ``install()`` and ``enabled()``) makes 3D axes draw their polygons, lines and markers
in one exact visibility order, splitting polygons where they intersect or overlap cyclically, instead of
Matplotlib's depth sort of whole polygons and whole artists; the default, ``"sort"``, draws Matplotlib's pictures.
``set_occlusion(ax, mode)`` gives one axes a mode of its own.
"""
from __future__ import annotations

import contextlib
import re
import threading
from typing import Any, Callable, Iterator, Optional

from . import _art, _native, _occlusion, _polys, _project
from ._timing import CoreTimes, core_timer

__all__ = ["CoreTimes", "core_timer", "enabled", "get_occlusion", "install", "installed", "set_occlusion",
           "uninstall"]

MIN_MATPLOTLIB = (3, 11)

# Guards _saved and _blocks; reentrant so that enabled() can call install() and uninstall() while holding it.
_lock = threading.RLock()
# (owner, attribute name) -> Matplotlib's own object, filled by install() and emptied by uninstall().
_saved: dict[tuple[Any, str], Any] = {}
# enabled() blocks running in any thread, and whether korvex_mpl was installed before the first of them began.
_blocks = 0
_installed_before_blocks = False


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

    return (_project.replacements(proj3d) + _polys.replacements(art3d) + _art.replacements(axes3d, art3d)
            + _occlusion.replacements(axes3d))


def _restore(patches: list[tuple[Any, str, Any]]) -> None:
    """Sets each (owner, name) back to its object, in reverse order."""
    for owner, name, value in reversed(patches):
        setattr(owner, name, value)


def install(*, occlusion: str = "sort") -> None:
    """Route the numerical core of every 3D axes in this process through korvex. Calling it twice is harmless;
    the occlusion mode ("sort" or "exact") of the latest call holds for every 3D axes without a mode of its own.

    On any failure nothing stays patched, the mode stays as it was, and the error propagates.
    """
    mode = _occlusion.check_mode(occlusion)
    with _lock:
        _check_matplotlib()
        if _saved:
            _occlusion.set_global_mode(mode)
            return
        from mpl_toolkits.mplot3d import proj3d

        table = _replacements()
        _native.keep_originals(_project.originals(proj3d))
        done: list[tuple[Any, str, Any]] = []
        try:
            for owner, name, factory in table:
                original = owner.__dict__[name]
                replacement = factory(original)
                setattr(owner, name, replacement)
                done.append((owner, name, original))
        except BaseException:
            _restore(done)
            raise
        _saved.update(((owner, name), original) for owner, name, original in done)
        _occlusion.set_global_mode(mode)


def uninstall() -> None:
    """Put back exactly the functions and methods that install() replaced (the occlusion mode goes back to "sort").

    On a failure the replacements stay in place (as after install()) and the error propagates.
    """
    with _lock:
        patches = [(owner, name, owner.__dict__[name], original) for (owner, name), original in _saved.items()]
        done: list[tuple[Any, str, Any]] = []
        try:
            for owner, name, current, original in patches:
                setattr(owner, name, original)
                done.append((owner, name, current))
        except BaseException:
            _restore(done)
            raise
        _saved.clear()
        _occlusion.set_global_mode("sort")


def installed() -> bool:
    """Whether install() is in effect."""
    return bool(_saved)


@contextlib.contextmanager
def enabled(*, occlusion: str = "sort") -> Iterator[None]:
    """Install korvex for the duration of a block, in the given occlusion mode; leaves things as they were
    (installed or not, and the mode) afterwards.

    Blocks may overlap, also across threads: korvex_mpl stays installed until the last of them ends. The mode is
    the process's: a block sets it when it begins and puts back the one it found when it ends.
    """
    global _blocks, _installed_before_blocks
    mode = _occlusion.check_mode(occlusion)
    with _lock:
        if _blocks == 0:
            _installed_before_blocks = installed()
        previous = _occlusion.global_mode()
        install(occlusion=mode)
        _blocks += 1
    try:
        yield
    finally:
        with _lock:
            _blocks -= 1
            _occlusion.set_global_mode(previous)
            if _blocks == 0 and not _installed_before_blocks:
                uninstall()


def set_occlusion(ax: Any, occlusion: Optional[str]) -> None:
    """Give one 3D axes its own occlusion mode ("sort" or "exact"), or None to follow install()'s again.

    The mode takes effect while korvex_mpl is installed.
    """
    from mpl_toolkits.mplot3d.axes3d import Axes3D

    if not isinstance(ax, Axes3D):
        raise TypeError(f"set_occlusion() needs a 3D axes, not {type(ax).__name__}")
    _occlusion.set_axes_mode(ax, _occlusion.check_mode(occlusion, allow_none=True))
    ax.stale = True


def get_occlusion(ax: Any = None) -> str:
    """The occlusion mode an axes draws in (its own, else the process's), or the process's when ax is None."""
    return _occlusion.global_mode() if ax is None else _occlusion.mode_of(ax)
