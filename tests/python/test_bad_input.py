"""Every parameter of every method and of the constructor, given each kind of wrong object.

The expected outcome is derived from the parameter's kind alone (float, float list, str, 1-D or 2-D float64 array
read contiguously, list of polygons, 2-D float64 array read through its strides); the float protocol is asked of
`math.copysign`, which converts its argument exactly as the module does. Every failure must leave the collection
as it was, and unsatisfiable allocations must end in MemoryError with the process still healthy.
`pytest -q tests/python/test_bad_input.py` reports how many inputs were tried (collected) and handled (passed).
"""
import math
import os

import numpy as np
import pytest

from conftest import C, P, run_python

SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
TRI = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.5], [0.0, 1.0, 1.0]])
XS = np.array([0.1, 0.2, 0.3, 0.4])
M = P.persp_transformation(-1.0, 1.0, 2.0) @ P.world_transformation(-1, 1, -1, 1, -1, 1)

try:
    P.proj_transform(XS, XS[:1], XS, M)
except BaseException as e:  # noqa: BLE001 - PanicException derives from BaseException only
    PANIC = type(e)

# Parameter kinds: how each one converts (and, for arrays, how it is read).
FLOAT, FLOAT_LIST, STR, ARRAY1, ARRAY2, POLYGONS, STRIDED = "float", "list", "str", "1-D", "2-D", "polygons", "strided"
AXES = ("xmin", "xmax", "ymin", "ymax", "zmin", "zmax")
POINTS = [("xs", ARRAY1, XS), ("ys", ARRAY1, XS), ("zs", ARRAY1, XS), ("matrix", ARRAY2, M)]

# method -> [(parameter, kind, good value)]; "vertices[0]" stands for the first polygon of the vertices list.
METHODS = {
    "world_transformation": [(n, FLOAT, float(i)) for i, n in enumerate(AXES)] + [("pb_aspect", FLOAT_LIST, None)],
    "persp_transformation": [("zfront", FLOAT, -1.0), ("zback", FLOAT, 1.0), ("focal_length", FLOAT, 2.0)],
    "ortho_transformation": [("zfront", FLOAT, -1.0), ("zback", FLOAT, 1.0)],
    "proj_transform": POINTS,
    "proj_transform_clip": POINTS + [("focal_length", FLOAT, 1.0)],
    "inv_transform": POINTS,
    "__new__": [("vertices", POLYGONS, [TRI, TRI]), ("vertices[0]", STRIDED, TRI), ("facecolors", STRIDED, None),
                ("edgecolors", STRIDED, None)],
    "do_3d_projection": [("matrix", ARRAY2, M)],
    "set_zsort": [("zsort", STR, "max")],
    "set_sort_zpos": [("zpos", FLOAT, 1.0)],
    "shade_colors": [("x", FLOAT, 0.0), ("y", FLOAT, 0.0), ("z", FLOAT, 1.0)],
}
EXCLUSIVE = {"do_3d_projection", "set_zsort", "set_sort_zpos", "shade_colors"}


class FloatRaises:
    def __float__(self):
        raise ValueError("no float here")


class Reenter:
    """A number whose conversion calls back into the collection under test."""

    def __init__(self, refusal):
        self.refusal = refusal  # what the inner call meets while an exclusive method holds the collection
        self.collection = None

    def __float__(self):
        if self.refusal == "Already mutably borrowed":
            self.collection.get_sorted_facecolors()
        else:
            self.collection.do_3d_projection(M)  # the projection the collection already holds
        return 1.0


def array(shape, dtype=np.float64, writeable=True):
    a = np.full(shape, 0.5, dtype=dtype)
    a.flags.writeable = writeable
    return a


def shape_of(kind):
    return {ARRAY1: (4,), ARRAY2: (4, 4), STRIDED: (3, 4)}.get(kind, (3,))


# name -> factory of the value for a parameter of the given kind
VALUES = {
    "None": lambda k: None,
    "str": lambda k: "abc",
    "int": lambda k: 7,
    "float": lambda k: 2.5,
    "bool": lambda k: True,
    "list": lambda k: [1.0, 2.0, 3.0, 4.0],
    "tuple": lambda k: (1.0, 2.0, 3.0, 4.0),
    "dict": lambda k: {"x": 1.0},
    "float32": lambda k: array(shape_of(k), np.float32),
    "int64": lambda k: array(shape_of(k), np.int64),
    "complex": lambda k: array(shape_of(k), np.complex128),
    "object": lambda k: array(shape_of(k), object),
    "0-d": lambda k: np.array(0.5),
    "3-d": lambda k: array((2, 2, 2)),
    "strided": lambda k: array(tuple(2 * s for s in shape_of(k)))[(slice(None, None, 2),) * len(shape_of(k))],
    "reversed": lambda k: array(shape_of(k))[::-1],
    "empty": lambda k: array((0,) + shape_of(k)[1:]),
    "read-only": lambda k: array(shape_of(k), writeable=False),
    "float raises": lambda k: FloatRaises(),
    "re-enters shared": lambda k: Reenter("Already mutably borrowed"),
    "re-enters exclusive": lambda k: Reenter("Already borrowed"),
}


def conversion_error(value, target):
    return TypeError, f"'{type(value).__qualname__}' object cannot be converted to '{target}'"


def float_outcome(value):
    try:
        math.copysign(value, 1.0)
    except Exception as e:  # noqa: BLE001 - whatever the float protocol raises
        return type(e), str(e)
    return None


def expected(method, name, kind, value):
    """(exception class, message) that the module defines for this argument, or None for success."""
    outcome = None
    if kind == FLOAT:
        if isinstance(value, Reenter) and method in EXCLUSIVE:
            return RuntimeError, value.refusal
        outcome = float_outcome(value)
    elif kind == FLOAT_LIST and value is not None:
        if isinstance(value, str):
            outcome = TypeError, "Can't extract `str` to `Vec`"
        elif isinstance(value, dict) or not hasattr(type(value), "__getitem__"):
            outcome = conversion_error(value, "Sequence")
        else:
            try:
                outcome = next(filter(None, map(float_outcome, value)), None)
            except TypeError as e:  # not iterable after all
                outcome = TypeError, str(e)
    elif kind == STR:
        outcome = (ValueError, f"Invalid zsort method: {value}") if isinstance(value, str) else conversion_error(
            value, "PyString")
    elif kind in (ARRAY1, ARRAY2):
        ndim = 1 if kind == ARRAY1 else 2
        if not isinstance(value, np.ndarray):
            outcome = conversion_error(value, "PyArray<T, D>")
        elif value.ndim != ndim:
            outcome = TypeError, f"dimensionality mismatch:\n from={value.ndim}, to={ndim}"
        elif value.dtype != np.float64:
            outcome = TypeError, f"type mismatch:\n from={value.dtype}, to=float64"
        elif not (value.flags.c_contiguous or value.flags.f_contiguous):
            return TypeError, "The given array is not contiguous"  # raised after conversion: no prefix
        else:
            points = len(value) if name == "xs" else len(XS)
            short = name in ("ys", "zs") and len(value) < points
            small = name == "matrix" and min(value.shape) < 4 and (points or method == "inv_transform")
            if short or small:
                return PANIC, "index out of bounds"
    elif kind == POLYGONS:
        if not isinstance(value, list):
            return conversion_error(value, "PyList")
        return conversion_error(value[0], "PyArray<T, D>")  # the only list given holds numbers
    elif kind == STRIDED:
        ok = isinstance(value, np.ndarray) and value.ndim == 2 and value.dtype == np.float64
        return None if ok or (value is None and name != "vertices[0]") else conversion_error(value, "PyArray<T, D>")
    if outcome is None or method == "__new__" or outcome[0] is not TypeError:
        return outcome
    return TypeError, f"argument '{name}': {outcome[1]}"


def snapshot(c):
    segments = [s.tobytes() for s in c.get_sorted_segments_2d()]
    colours = c.get_sorted_facecolors().tobytes() + c.get_sorted_edgecolors().tobytes()
    return segments, colours, np.float64(c.do_3d_projection(M)).tobytes()


CASES = [(method, name, kind, value) for method, params in METHODS.items() for name, kind, _ in params
         for value in VALUES]


@pytest.mark.parametrize("method, name, kind, value", CASES, ids=[f"{m}-{n}-{v}" for m, n, _, v in CASES])
def test_bad_input(method, name, kind, value):
    c = C([TRI, TRI * 2.0, TRI + 1.0], facecolors=np.ones((3, 4)) / 2, edgecolors=np.ones((1, 4)))
    c.set_sort_zpos(0.25)
    c.do_3d_projection(M)
    before = snapshot(c)
    arg = VALUES[value](kind)
    if isinstance(arg, Reenter):
        arg.collection = c
    kwargs = {n: good for n, _, good in METHODS[method] if n != "vertices[0]"}
    kwargs.update({"vertices": [arg, TRI]} if name == "vertices[0]" else {name: arg})
    target = C if method == "__new__" else getattr(c if method in EXCLUSIVE else P, method)
    want = expected(method, name, kind, arg)
    if want is None:
        target(**kwargs)
    else:
        with pytest.raises(BaseException) as info:
            target(**kwargs)
        assert type(info.value) is want[0], info.value
        assert str(info.value) == want[1] or (want[0] is PANIC and str(info.value).startswith(want[1]))
    if want is not None or method not in EXCLUSIVE:
        assert snapshot(c) == before


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator reports an unsatisfiable allocation and aborts")
@pytest.mark.parametrize("name, columns", [("vertices", 3), ("facecolors", 4), ("edgecolors", 4)])
def test_unsatisfiable_allocation_is_memory_error(name, columns):
    huge = np.broadcast_to(np.zeros((1, columns)), (2**40, columns))  # no machine holds a copy of it
    kwargs = {"vertices": [TRI, huge]} if name == "vertices" else {"vertices": [TRI], name: huge}
    for _ in range(3):
        with pytest.raises(MemoryError):
            C(**kwargs)
    # The process is healthy: allocation, the pool and the interpreter all still work.
    c = C([TRI] * 150)
    assert c.do_3d_projection(M) == C([TRI]).do_3d_projection(M)
    assert len(c.get_sorted_segments_2d()) == 150
    assert P.proj_transform(np.ones(5000), np.ones(5000), np.ones(5000), M)[0].shape == (5000,)


@pytest.mark.parametrize(
    "name, value",
    [
        ("facecolors", np.broadcast_to(np.zeros((1, 1)), (2**58, 1))),
        ("edgecolors", np.broadcast_to(np.zeros((1, 3)), (2**58, 3))),
        ("vertices", np.broadcast_to(np.zeros((1, 1)), (2**59, 1))),  # twice: more values than a buffer holds
        ("pb_aspect", range(2**61)),
    ],
)
def test_sizes_beyond_any_allocation_are_memory_errors(name, value):
    # Sizes past what a container can ever hold fail before anything is allocated (so under the sanitizer too).
    for _ in range(2):
        with pytest.raises(MemoryError):
            if name == "pb_aspect":
                P.world_transformation(0, 1, 0, 1, 0, 1, pb_aspect=value)
            else:
                C(**({"vertices": [TRI, value, value]} if name == "vertices" else {"vertices": [TRI], name: value}))
    assert C([TRI], facecolors=np.ones((2, 4))).get_sorted_facecolors().shape == (2, 4)


@pytest.mark.parametrize("change", ["L.clear()", "L[:] = [None] * 9", "del L[0]"])
def test_constructor_arguments_changed_by_the_numpy_import(change):
    # The first NumPy use of the process imports NumPy through builtins.__import__, which user code may replace:
    # what the list held when the call began is what the collection copies.
    proc = run_python(
        f"""
        import builtins
        import numpy as np
        import korvex

        L = [np.ones((3, 3)), np.zeros((4, 3))]
        real = builtins.__import__

        def hook(name, *args, **kwargs):
            if name == "numpy":
                {change}
            return real(name, *args, **kwargs)

        builtins.__import__ = hook
        c = korvex.PyPoly3DCollection(L, np.full((2, 4), 0.5))
        builtins.__import__ = real
        c.do_3d_projection(np.eye(4))
        print([s.tolist() for s in c.get_sorted_segments_2d()], c.get_sorted_facecolors().tolist())
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == str([[[1.0, 1.0]] * 3, [[0.0, 0.0]] * 4]) + " " + str([[0.5] * 4] * 2)


@pytest.mark.parametrize("change", ["resize matrix", "resize xs", "reshape xs"])
def test_focal_length_conversion_changing_the_arrays(change):
    # Python code run by a conversion may reallocate or reshape arrays converted before: they are read as they
    # are afterwards, never through what was seen of them before.
    xs, ys, m = np.linspace(-1.0, 1.0, 4).copy(), np.linspace(1.0, 2.0, 5000), M.copy()

    class Focal:
        def __float__(self):
            if change == "resize matrix":
                m.resize((64, 64), refcheck=False)
            elif change == "resize xs":
                xs.resize(3000, refcheck=False)
            else:
                xs.shape = (2, 2)
            return 1.0

    if change == "reshape xs":
        with pytest.raises(TypeError, match="^argument 'xs': dimensionality mismatch:\n from=2, to=1$"):
            P.proj_transform_clip(xs, ys, ys, m, Focal())
        return
    got = P.proj_transform_clip(xs, ys, ys, m, Focal())
    for a, b in zip(got, P.proj_transform_clip(xs, ys, ys, m, 1.0)):
        np.testing.assert_array_equal(a, b)
