"""Every method, on success and on each of its error paths, called ITERATIONS times in a row: the reference counts
of its arguments, the memory tracemalloc traces (NumPy registers its array buffers there), the native heap and the
resident set of the process must stay flat. Run alone with `pytest -m leak -rP`, which also shows the figures.

Bounds hold for the whole run: at 100,000 calls, a leak of one byte per call exceeds the traced bound, and a leak
of one native block per call (at least 32 bytes on the heap) exceeds the heap and resident bounds.
"""
import contextlib
import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

from conftest import C, P

pytestmark = pytest.mark.leak

ITERATIONS = int(os.environ.get("KORVEX_LEAK_ITERATIONS", "100000"))
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")  # its allocator keeps freed memory in quarantine
TRACED_BOUND = 64 * 1024
HEAP_BOUND = 256 * 1024
RESIDENT_BOUND = 2 * 1024 * 1024
PAGE = os.sysconf("SC_PAGE_SIZE")


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


LIBC = ctypes.CDLL(None)
LIBC.mallinfo2.restype = MallInfo2


def heap_in_use():
    info = LIBC.mallinfo2()
    return info.uordblks + info.hblkhd


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


TRI = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0]])
XS = np.linspace(-1.0, 1.0, 8)
BIG = np.linspace(-1.0, 1.0, 1001)  # the pool's per-point loop
M = P.persp_transformation(-1.0, 1.0, 2.0)
COLOURS = np.full((3, 4), 0.5)
BAD_POLYGON = np.zeros((3, 2))


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


class Reenter:
    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 1.0


def collection(n=3):
    return C([TRI + i for i in range(n)], facecolors=COLOURS[:1], edgecolors=COLOURS)


c, pool_c, bad_c = collection(), collection(101), C([TRI, BAD_POLYGON])
try:
    P.proj_transform(XS, XS[:1], XS, M)
except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException only
    PANIC = type(e)

ASPECT = [1.0, 2.0, 3.0]
HUGE = np.broadcast_to(np.zeros((1, 3)), (2**40, 3))

# (id, function, positional arguments, keyword arguments, exception of the path or None)
CASES = [
    ("world", P.world_transformation, (0.0, 1.0, 0.0, 2.0, 0.0, 3.0, ASPECT), {}, None),
    ("world-aspect-str", P.world_transformation, (0.0, 1.0, 0.0, 2.0, 0.0, 3.0, "abc"), {}, TypeError),
    ("world-aspect-int", P.world_transformation, (0.0, 1.0, 0.0, 2.0, 0.0, 3.0, 3), {}, TypeError),
    ("world-aspect-item", P.world_transformation, (0.0, 1.0, 0.0, 2.0, 0.0, 3.0, [1.0, "x"]), {}, TypeError),
    ("world-float-none", P.world_transformation, (None, 1.0, 0.0, 2.0, 0.0, 3.0), {}, TypeError),
    ("world-float-raises", P.world_transformation, (FloatRaises(), 1.0, 0.0, 2.0, 0.0, 3.0), {}, ValueError),
    ("persp", P.persp_transformation, (-1.0, 1.0, 2.0), {}, None),
    ("persp-missing", P.persp_transformation, (1.0,), {}, TypeError),
    ("ortho", P.ortho_transformation, (), {"zfront": -1.0, "zback": 1.0}, None),
    ("ortho-too-many", P.ortho_transformation, (1.0, 2.0, 3.0), {}, TypeError),
    ("ortho-twice", P.ortho_transformation, (1.0,), {"zfront": 2.0}, TypeError),
    ("ortho-unknown", P.ortho_transformation, (1.0, 2.0), {"far": 1.0}, TypeError),
    ("proj", P.proj_transform, (XS, XS, XS, M), {}, None),
    ("proj-pool", P.proj_transform, (BIG, BIG, BIG, M), {}, None),
    ("proj-list", P.proj_transform, ([1.0], XS, XS, M), {}, TypeError),
    ("proj-ndim", P.proj_transform, (XS, XS, XS, XS), {}, TypeError),
    ("proj-dtype", P.proj_transform, (XS, XS, XS.astype(np.float32), M), {}, TypeError),
    ("proj-strided", P.proj_transform, (XS, XS[::2], XS, M), {}, TypeError),
    ("proj-short", P.proj_transform, (XS, XS[:3], XS, M), {}, PANIC),
    ("proj-pool-short", P.proj_transform, (BIG, BIG, BIG[:999], M), {}, PANIC),
    ("clip", P.proj_transform_clip, (XS, XS, XS, M, 1.0), {}, None),
    ("clip-focal", P.proj_transform_clip, (XS, XS, XS, M, "a"), {}, TypeError),
    ("clip-small-matrix", P.proj_transform_clip, (XS, XS, XS, M[:3], 1.0), {}, PANIC),
    ("inv", P.inv_transform, (XS, XS, XS, M), {}, None),
    ("inv-small-matrix", P.inv_transform, (XS[:0], XS[:0], XS[:0], M[:3]), {}, PANIC),
    ("new", C, ([TRI, TRI],), {"facecolors": COLOURS, "edgecolors": COLOURS[::-1]}, None),
    ("new-tuple", C, ((TRI,),), {}, TypeError),
    ("new-element", C, ([TRI, TRI.astype(np.int64)],), {}, TypeError),
    ("new-colours", C, ([TRI],), {"edgecolors": COLOURS[0]}, TypeError),
    ("new-too-many", C, ([TRI], None, None, None), {}, TypeError),
    ("new-huge", C, ([TRI, HUGE],), {}, MemoryError),
    ("project", c.do_3d_projection, (M,), {}, None),
    ("project-pool", pool_c.do_3d_projection, (M,), {}, None),
    ("project-list", c.do_3d_projection, ([[1.0]],), {}, TypeError),
    ("project-strided", c.do_3d_projection, (np.eye(8)[::2, ::2],), {}, TypeError),
    ("project-fault", bad_c.do_3d_projection, (M,), {}, PANIC),
    ("segments", c.get_sorted_segments_2d, (), {}, None),
    ("facecolors", c.get_sorted_facecolors, (), {}, None),
    ("edgecolors", c.get_sorted_edgecolors, (), {}, None),
    ("segments-refused", c.shade_colors, (Reenter(c.get_sorted_segments_2d), 0.0, 1.0), {}, RuntimeError),
    ("facecolors-refused", c.set_sort_zpos, (Reenter(c.get_sorted_facecolors),), {}, RuntimeError),
    ("edgecolors-refused", c.set_sort_zpos, (Reenter(c.get_sorted_edgecolors),), {}, RuntimeError),
    ("zsort", c.set_zsort, ("min",), {}, None),
    ("zsort-name", c.set_zsort, ("MIN",), {}, ValueError),
    ("zsort-int", c.set_zsort, (3,), {}, TypeError),
    ("zsort-surrogate", c.set_zsort, ("m\udc80",), {}, UnicodeEncodeError),
    ("zpos", c.set_sort_zpos, (2.5,), {}, None),
    ("zpos-str", c.set_sort_zpos, ("a",), {}, TypeError),
    ("zpos-raises", c.set_sort_zpos, (FloatRaises(),), {}, ValueError),
    ("zpos-refused", c.set_sort_zpos, (Reenter(lambda: c.set_zsort("max")),), {}, RuntimeError),
    ("shade", c.shade_colors, (0.0, 0.0, 1.0), {}, None),  # the triangles face the light: factor 1.0
    ("shade-list", c.shade_colors, (0.0, 0.0, [1.0]), {}, TypeError),
    ("shade-fault", bad_c.shade_colors, (0.0, 0.0, 1.0), {}, PANIC),
]


@pytest.mark.parametrize("function, args, kwargs, exc", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_repeated_calls_stay_flat(function, args, kwargs, exc):
    if exc is MemoryError and SANITIZED:
        pytest.skip("the sanitizer's allocator reports an unsatisfiable allocation and aborts")
    catch = exc or ()

    def run(times):
        for _ in range(times):
            try:
                function(*args, **kwargs)
            except catch:
                pass

    with pytest.raises(exc) if exc else contextlib.nullcontext():
        function(*args, **kwargs)
    given = [*args, *kwargs.values()]
    items = [item for a in given if isinstance(a, (list, tuple)) for item in a]
    watched = [o for o in [*given, *items, function, getattr(function, "__self__", None)] if o is not None]
    tracemalloc.start()
    try:
        run(max(ITERATIONS // 50, 100))  # warm-up: caches and free lists reach their steady size
        gc.collect()
        refs = [sys.getrefcount(o) for o in watched]
        traced, heap, rss = tracemalloc.get_traced_memory()[0], heap_in_use(), resident()
        run(ITERATIONS)
        gc.collect()
        traced = tracemalloc.get_traced_memory()[0] - traced
        heap, rss = heap_in_use() - heap, resident() - rss
    finally:
        tracemalloc.stop()
    print(f"{ITERATIONS} calls: traced {traced:+d} B, heap {heap:+d} B, resident {rss:+d} B")
    assert [sys.getrefcount(o) for o in watched] == refs
    assert traced < TRACED_BOUND
    if not SANITIZED:
        assert heap < HEAP_BOUND
        assert rss < RESIDENT_BOUND

