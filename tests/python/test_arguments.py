"""Argument parsing and conversion: every message compared whole."""
import mmap
import tempfile

import numpy as np
import pytest

from conftest import C, P, raises

XS = np.array([0.5, 1.0])
M = np.eye(4)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: P.ortho_transformation(1, 2, 3),
         "PyProjection.ortho_transformation() takes 2 positional arguments but 3 were given"),
        (lambda: P.world_transformation(0, 1, 0, 1, 0, 1, None, 5),
         "PyProjection.world_transformation() takes from 6 to 7 positional arguments but 8 were given"),
        (lambda: C([]).do_3d_projection(M, M),
         "PyPoly3DCollection.do_3d_projection() takes 1 positional arguments but 2 were given"),
        (lambda: C([], None, None, None),
         "PyPoly3DCollection.__new__() takes from 1 to 3 positional arguments but 4 were given"),
        (lambda: P.persp_transformation(1.0),
         "PyProjection.persp_transformation() missing 2 required positional arguments: 'zback' and 'focal_length'"),
        (lambda: P.proj_transform(),
         "PyProjection.proj_transform() missing 4 required positional arguments: 'xs', 'ys', 'zs', and 'matrix'"),
        (lambda: P.ortho_transformation(zback=1.0),
         "PyProjection.ortho_transformation() missing 1 required positional argument: 'zfront'"),
        (lambda: C([]).do_3d_projection(),
         "PyPoly3DCollection.do_3d_projection() missing 1 required positional argument: 'matrix'"),
        (lambda: C(),
         "PyPoly3DCollection.__new__() missing 1 required positional argument: 'vertices'"),
        (lambda: C([]).set_zsort(mode="min"),
         "PyPoly3DCollection.set_zsort() got an unexpected keyword argument 'mode'"),
        (lambda: P.proj_transform(XS, XS, XS, M, xs=XS),
         "PyProjection.proj_transform() got multiple values for argument 'xs'"),
        (lambda: P.proj_transform(foo=1),
         "PyProjection.proj_transform() got an unexpected keyword argument 'foo'"),
        (lambda: C([], facecolors=None, vertices=[]),
         "PyPoly3DCollection.__new__() got multiple values for argument 'vertices'"),
        (lambda: C([], colours=None),
         "PyPoly3DCollection.__new__() got an unexpected keyword argument 'colours'"),
        (lambda: C([]).shade_colors(1, z=2, y=3, x=4),
         "PyPoly3DCollection.shade_colors() got multiple values for argument 'x'"),
    ],
)
def test_parser_messages(call, message):
    with raises(TypeError, message):
        call()


def test_keywords_for_every_parameter():
    assert np.array_equal(P.ortho_transformation(zback=2.0, zfront=1.0), P.ortho_transformation(1.0, 2.0))
    a = P.proj_transform(matrix=M, zs=XS, ys=XS, xs=XS)
    b = P.proj_transform(XS, XS, XS, M)
    assert all(np.array_equal(u, v) for u, v in zip(a, b))
    c = C(edgecolors=np.ones((1, 4)), vertices=[np.eye(3)])
    assert c.get_sorted_edgecolors().shape == (1, 4)


@pytest.mark.parametrize("name", ["get_sorted_segments_2d", "get_sorted_facecolors", "get_sorted_edgecolors"])
def test_noargs_methods_refuse_arguments(name):
    with raises(TypeError, f"PyPoly3DCollection.{name}() takes no arguments (1 given)"):
        getattr(C([]), name)(1)


def test_unbound_method_checks_self():
    # The interpreter's method descriptor refuses a foreign self before the module runs.
    with raises(TypeError, "descriptor 'do_3d_projection' for 'builtins.PyPoly3DCollection' objects doesn't "
                "apply to a 'int' object"):
        C.do_3d_projection(5, M)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: P.proj_transform([1.0], XS, XS, M),
         "argument 'xs': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: P.proj_transform(XS, (1.0,), XS, M),
         "argument 'ys': 'tuple' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: P.proj_transform(XS, XS, None, M),
         "argument 'zs': 'NoneType' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: P.proj_transform(np.ones((2, 2)), XS, XS, M),
         "argument 'xs': dimensionality mismatch:\n from=2, to=1"),
        (lambda: P.inv_transform(XS, XS, XS, np.ones(4)),
         "argument 'matrix': dimensionality mismatch:\n from=1, to=2"),
        (lambda: P.proj_transform(XS, XS, XS, np.eye(4, dtype=np.int64)),
         "argument 'matrix': type mismatch:\n from=int64, to=float64"),
        (lambda: P.proj_transform(XS.astype(np.float32), XS, XS, M),
         "argument 'xs': type mismatch:\n from=float32, to=float64"),
        (lambda: P.proj_transform(XS, XS.astype(">f8"), XS, M),
         "argument 'ys': type mismatch:\n from=>f8, to=float64"),
        (lambda: P.proj_transform_clip(XS, XS, XS, M, "a"),
         "argument 'focal_length': must be real number, not str"),
        (lambda: C([]).do_3d_projection(np.float64(1.0)),
         "argument 'matrix': 'float64' object cannot be converted to 'PyArray<T, D>'"),
        (lambda: P.world_transformation(0, 1, 0, 1, 0, 1, pb_aspect="abc"),
         "argument 'pb_aspect': Can't extract `str` to `Vec`"),
        (lambda: P.world_transformation(0, 1, 0, 1, 0, 1, pb_aspect=3),
         "argument 'pb_aspect': 'int' object cannot be converted to 'Sequence'"),
        (lambda: P.world_transformation(0, 1, 0, 1, 0, 1, pb_aspect={1: 2}),
         "argument 'pb_aspect': 'dict' object cannot be converted to 'Sequence'"),
        (lambda: P.world_transformation(0, 1, 0, 1, 0, 1, pb_aspect=[1.0] * 10 + ["x"]),
         "argument 'pb_aspect': must be real number, not str"),
        (lambda: P.world_transformation(0, None, 0, 1, 0, 1),
         "argument 'xmax': must be real number, not NoneType"),
        (lambda: C([]).set_zsort(3), "argument 'zsort': 'int' object cannot be converted to 'PyString'"),
        (lambda: C([]).set_zsort(b"min"), "argument 'zsort': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: C([]).set_sort_zpos("a"), "argument 'zpos': must be real number, not str"),
        (lambda: C([]).shade_colors(1, 2, [3]), "argument 'z': must be real number, not list"),
    ],
)
def test_conversion_errors_carry_the_argument_prefix(call, message):
    with raises(TypeError, message) as info:
        call()
    assert type(info.value) is TypeError
    assert info.value.__cause__ is None


@pytest.mark.parametrize(
    "call",
    [
        lambda: P.proj_transform(XS[::-1], XS, XS, M),
        lambda: P.proj_transform(XS, XS, np.arange(8.0)[::2], M),
        lambda: P.proj_transform_clip(XS, XS, XS, np.ones((4, 6))[:, :4], 1.0),
        lambda: P.inv_transform(XS, XS[::-1], XS, M),
        lambda: C([]).do_3d_projection(np.ones((6, 6))[::2, ::2]),
    ],
)
def test_non_contiguous_arrays_have_no_prefix(call):
    with raises(TypeError, "The given array is not contiguous"):
        call()


def test_conversion_order_is_parameter_order():
    # A conversion error of an earlier parameter wins over a contiguity problem of any array.
    with raises(TypeError, "argument 'matrix': 'list' object cannot be converted to 'PyArray<T, D>'"):
        P.proj_transform(XS[::-1], XS, XS, [[1.0]])
    with raises(TypeError, "argument 'focal_length': must be real number, not NoneType"):
        P.proj_transform_clip(XS[::-1], XS, XS, M, None)


class Qualified:
    class Inner:
        pass


def test_conversion_error_uses_type_qualname():
    with raises(TypeError, "argument 'xs': 'Qualified.Inner' object cannot be converted to 'PyArray<T, D>'"):
        P.proj_transform(Qualified.Inner(), XS, XS, M)


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


def test_non_type_errors_pass_unprefixed():
    with raises(ValueError, "boom"):
        P.ortho_transformation(FloatRaises(ValueError("boom")), 1.0)
    with raises(UnicodeEncodeError, "'utf-8' codec can't encode character '\\udc80' in position 1: surrogates not allowed"):
        C([]).set_zsort("m\udc80")


def test_type_error_subclass_passes_unprefixed_and_cause_is_kept():
    class MyTypeError(TypeError):
        pass

    with raises(MyTypeError, "sub"):
        P.ortho_transformation(FloatRaises(MyTypeError("sub")), 1.0)

    cause = KeyError("root")
    err = TypeError("inner")
    err.__cause__ = cause
    with raises(TypeError, "argument 'zfront': inner") as info:
        P.ortho_transformation(FloatRaises(err), 1.0)
    assert info.value.__cause__ is cause
    assert info.value is not err


@pytest.mark.parametrize(
    "value, expected",
    [(2, 2.0), (True, 1.0), (np.float32(0.5), 0.5), (np.int64(-3), -3.0)],
)
def test_float_kind_accepts_numbers(value, expected):
    m = P.persp_transformation(1.0, 3.0, value)
    assert m[0, 0] == expected


def test_float_minus_one_is_a_value():
    assert P.persp_transformation(1.0, 3.0, -1.0)[0, 0] == -1.0


@pytest.mark.parametrize("aspect", [(2, 1, 1), [2.0, 1.0, 1.0], np.array([2.0, 1.0, 1.0]), range(2, -1, -1)])
def test_pb_aspect_sequences(aspect):
    m = P.world_transformation(0, 4, 0, 1, 0, 1, aspect)
    assert m[0, 0] == 1.0 / (4.0 / list(aspect)[0])


def test_array_subclass_and_memmap_accepted():
    class Sub(np.ndarray):
        pass

    with tempfile.TemporaryFile() as f:
        f.write(np.array([1.0, 2.0]).tobytes())
        f.flush()
        mm = np.memmap(f, dtype=np.float64, mode="r", shape=(2,))
        out = P.proj_transform(mm, XS.view(Sub), XS, M.view(Sub))
    assert np.array_equal(out[0], [1.0, 2.0])


def test_same_array_for_all_coordinates():
    out = P.proj_transform(XS, XS, XS, M)
    assert all(np.array_equal(o, XS) for o in out)


def test_fortran_ordered_matrix_reads_by_logical_index(rng):
    m = rng.normal(size=(4, 4))
    xs, ys, zs = rng.normal(size=(3, 50))
    for method in (P.proj_transform, P.inv_transform):
        a = method(xs, ys, zs, m)
        b = method(xs, ys, zs, np.asfortranarray(m))
        assert all(np.array_equal(u, v, equal_nan=True) for u, v in zip(a, b))
    a = P.proj_transform_clip(xs, ys, zs, m, 1.0)
    b = P.proj_transform_clip(xs, ys, zs, np.asfortranarray(m), 1.0)
    assert all(np.array_equal(u, v, equal_nan=True) for u, v in zip(a, b))
    c1 = C([np.stack([xs, ys, zs], axis=1)])
    c2 = C([np.stack([xs, ys, zs], axis=1)])
    assert c1.do_3d_projection(m) == c2.do_3d_projection(np.asfortranarray(m))


def test_unaligned_arrays_are_read_correctly(rng):
    raw = np.zeros(8 * 21 + 1, dtype=np.uint8)
    xs = np.frombuffer(raw.data, dtype=np.float64, count=21, offset=1)
    assert not xs.flags.aligned
    ref = np.arange(21.0)
    raw[1:] = np.frombuffer(ref.tobytes(), dtype=np.uint8)
    out = P.proj_transform(xs, ref, ref, M)
    assert np.array_equal(out[0], ref)


def test_results_own_their_data_and_are_fresh():
    out = P.proj_transform(XS, XS, XS, M) + P.proj_transform_clip(XS, XS, XS, M, 1.0)
    out += P.inv_transform(XS, XS, XS, M) + (P.ortho_transformation(1.0, 2.0),)
    c = C([np.eye(3)])
    c.do_3d_projection(M)
    out += tuple(c.get_sorted_segments_2d()) + (c.get_sorted_facecolors(), c.get_sorted_edgecolors())
    for a in out:
        assert a.flags.owndata and a.flags.writeable and a.flags.c_contiguous
        assert a.dtype in (np.float64, np.bool_)
        assert not np.shares_memory(a, XS)
    first = c.get_sorted_facecolors()
    first[:] = 7.0
    assert c.get_sorted_facecolors()[0, 0] == 0.0
    seg = c.get_sorted_segments_2d()[0]
    seg[:] = 9.0
    assert c.get_sorted_segments_2d()[0][0, 0] != 9.0
