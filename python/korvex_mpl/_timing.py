"""Time spent in the 3D numerical core of Matplotlib's drawing, with or without korvex installed."""
from __future__ import annotations

import contextlib
import dataclasses
import functools
import time
from typing import Any, Callable, Iterator


@dataclasses.dataclass
class CoreTimes:
    """Seconds accumulated while a ``core_timer()`` block ran."""

    core: float = 0.0  # view matrices, point projections and the 3D collections' do_3d_projection
    paths: float = 0.0  # the part of ``core`` spent turning sorted 2D outlines into Path objects

    @property
    def numeric(self) -> float:
        """``core`` without the Path building, which is 2D work that korvex does not take over."""
        return self.core - self.paths


def _targets() -> list[tuple[Any, str, str]]:
    from matplotlib.collections import PolyCollection
    from mpl_toolkits.mplot3d import art3d, axes3d, proj3d

    targets = [(axes3d.Axes3D, "get_proj", "core")]
    for name in ("proj_transform", "_proj_transform_vec", "_proj_transform_vec_clip", "inv_transform",
                 "_scale_proj_transform_vectors"):
        targets.append((proj3d, name, "core"))
    for cls in vars(art3d).values():
        if isinstance(cls, type) and "do_3d_projection" in cls.__dict__:
            targets.append((cls, "do_3d_projection", "core"))
    targets += [(PolyCollection, "set_verts", "paths"), (PolyCollection, "set_verts_and_codes", "paths")]
    return targets


@contextlib.contextmanager
def core_timer() -> Iterator[CoreTimes]:
    """Accumulate the time of the 3D core over a block (install or uninstall korvex_mpl outside the block)."""
    times = CoreTimes()
    depth = {"core": 0, "paths": 0}

    def timed(fn: Callable[..., Any], kind: str) -> Callable[..., Any]:
        @functools.wraps(fn)
        def wrapper(*args: Any, **kwargs: Any) -> Any:
            # Only the outermost call of each kind counts; paths count only inside the core.
            if depth[kind] or (kind == "paths" and not depth["core"]):
                return fn(*args, **kwargs)
            depth[kind] += 1
            start = time.perf_counter()
            try:
                return fn(*args, **kwargs)
            finally:
                setattr(times, kind, getattr(times, kind) + time.perf_counter() - start)
                depth[kind] -= 1

        return wrapper

    saved = []
    for owner, name, kind in _targets():
        original = owner.__dict__[name]
        saved.append((owner, name, original))
        setattr(owner, name, timed(original, kind))
    try:
        yield times
    finally:
        for owner, name, original in reversed(saved):
            setattr(owner, name, original)
