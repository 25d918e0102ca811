"""The module object, its two classes and the boundary that reports failures."""
import inspect
import pathlib
import re

import numpy as np
import pytest

import korvex
from conftest import C, P, raises, run_python


def project_version():
    """The version in pyproject.toml, the one place it is written."""
    text = (pathlib.Path(__file__).parents[2] / "pyproject.toml").read_text()
    return re.search(r'^version = "([^"]+)"$', text, re.MULTILINE).group(1)


def test_module_attributes():
    assert korvex.__version__ == project_version()
    assert korvex.__all__ == ["__version__", "PyProjection", "PyPoly3DCollection"]
    assert not hasattr(korvex, "PanicException")


@pytest.mark.parametrize(
    "cls, name, doc",
    [
        (P, "PyProjection", "Python version of ProjectionMatrix and Projection functionality"),
        (C, "PyPoly3DCollection", "Python wrapper for Poly3DCollection"),
    ],
)
def test_class_shape(cls, name, doc):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__doc__ == doc
    assert cls.__text_signature__ is None
    assert cls.__bases__ == (object,)
    assert not cls.__flags__ & (1 << 10)  # not a base type
    assert not cls.__flags__ & (1 << 14)  # not tracked by the cyclic collector
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})


PROJECTION_METHODS = [
    ("world_transformation", "(xmin, xmax, ymin, ymax, zmin, zmax, pb_aspect=...)",
     "Create world transformation matrix"),
    ("persp_transformation", "(zfront, zback, focal_length)", "Create perspective projection matrix"),
    ("ortho_transformation", "(zfront, zback)", "Create orthographic projection matrix"),
    ("proj_transform", "(xs, ys, zs, matrix)", "Perform projection transformation"),
    ("proj_transform_clip", "(xs, ys, zs, matrix, focal_length)", "Projection transformation with clipping"),
    ("inv_transform", "(xs, ys, zs, matrix)", "Inverse projection transformation"),
]
COLLECTION_METHODS = [
    ("do_3d_projection", "($self, matrix)", "Perform 3D projection for the collection"),
    ("get_sorted_segments_2d", "($self)", "Get the sorted segments in 2D projection space"),
    ("get_sorted_facecolors", "($self)", "Get sorted face colors"),
    ("get_sorted_edgecolors", "($self)", "Get sorted edge colors"),
    ("set_zsort", "($self, zsort)", "Set Z-sort method"),
    ("set_sort_zpos", "($self, zpos)", "Set the position used for Z-sorting"),
    ("shade_colors", "($self, x, y, z)", "Shade colors based on light direction"),
]


@pytest.mark.parametrize("cls, table", [(P, PROJECTION_METHODS), (C, COLLECTION_METHODS)])
def test_method_tables_in_order(cls, table):
    names = [name for name, _, _ in table]
    assert [k for k in cls.__dict__ if not k.startswith("__")] == names
    for name, signature, doc in table:
        method = getattr(cls, name)
        assert method.__text_signature__ == signature
        assert method.__doc__ == doc
        if cls is P:
            assert isinstance(cls.__dict__[name], staticmethod)


def test_signatures_are_introspectable():
    params = inspect.signature(P.proj_transform_clip).parameters
    assert list(params) == ["xs", "ys", "zs", "matrix", "focal_length"]
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params.values())


@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {}), ((), {"x": 1})])
def test_projection_has_no_constructor(args, kwargs):
    with raises(TypeError, "No constructor defined"):
        P(*args, **kwargs)


def test_import_does_not_touch_numpy_api():
    proc = run_python(
        """
        import sys
        import korvex
        assert "numpy" not in sys.modules, "import alone must not import NumPy"
        korvex.PyProjection.ortho_transformation(1.0, 2.0)
        assert "numpy" in sys.modules
        """
    )
    assert proc.returncode == 0, proc.stderr


def test_second_initialisation_fails_and_first_module_keeps_working():
    proc = run_python(
        """
        import sys
        import numpy as np
        import korvex
        first = korvex
        del sys.modules["korvex"]
        try:
            import korvex
        except ImportError as e:
            assert "once per interpreter process" in str(e), e
        else:
            raise AssertionError("second import succeeded")
        m = first.PyProjection.ortho_transformation(1.0, 2.0)
        assert m.shape == (4, 4)
        c = first.PyPoly3DCollection([np.zeros((3, 3))])
        assert c.get_sorted_facecolors().shape == (1, 4)
        print("ok")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def panic():
    """Triggers an internal fault: ys shorter than xs."""
    P.proj_transform(np.zeros(2), np.zeros(1), np.zeros(2), np.eye(4))


def test_panic_exception_is_base_exception_only():
    try:
        try:
            panic()
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException was caught by 'except Exception'")
    except BaseException as e:  # noqa: BLE001
        caught = e
    cls = type(caught)
    assert cls.__name__ == "PanicException"
    assert cls.__module__ != "korvex"
    assert cls.__bases__ == (BaseException,)
    assert "index out of bounds" in str(caught)
    assert caught.args == (str(caught),)
    assert cls.__doc__.endswith(
        "\n\nLike SystemExit, this exception is derived from BaseException so that\n"
        "it will typically propagate all the way through the stack and cause the\n"
        "Python interpreter to exit.\n"
    )
    # The class is created once: a second fault has the same class.
    with pytest.raises(cls):
        panic()


def test_panic_from_python_code_is_resumed(capfd):
    class Evil:
        def __float__(self):
            panic()

    c = C([np.zeros((3, 3))])
    with pytest.raises(BaseException) as info:
        c.set_sort_zpos(Evil())
    assert type(info.value).__name__ == "PanicException"
    msg = str(info.value)
    assert msg.startswith("index out of bounds") or msg == "Unwrapped panic from Python code"
    err = capfd.readouterr().err
    assert "resuming an internal fault" in err
    assert "PanicException" in err
    # The collection is released and usable again.
    c.set_sort_zpos(1.0)
    assert c.do_3d_projection(np.eye(4)) == 1.0
