"""korvex_mpl._native's functions, native and handed back, measured as test_leaks measures korvex's methods."""
import numpy as np
import pytest

mpl = pytest.importorskip("matplotlib")
if tuple(int(v) for v in mpl.__version__.split(".")[:2]) < (3, 11):
    pytest.skip("needs Matplotlib 3.11", allow_module_level=True)
mpl.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import test_leaks  # noqa: E402
from mpl_toolkits.mplot3d import art3d, axes3d, proj3d  # noqa: E402

from korvex_mpl import _art, _native, _project  # noqa: E402

pytestmark = pytest.mark.leak

_native.keep_originals(_project.originals(proj3d))
M = np.random.default_rng(3).normal(size=(4, 4))
ZERO = np.vstack([M[:3], [0.0, 0.0, 1.0, 0.0]])
XS = np.linspace(0.5, 1.0, 8)
VEC = proj3d._vec_pad_ones(XS, XS, XS)
MASKED = proj3d._vec_pad_ones(np.ma.masked_array(XS, XS > 0.7), XS, XS)
AXES = plt.figure().add_subplot(projection="3d")
AXES.M = M
VECS = np.ones((5, 4, 3))

# The native methods, on small artists of a drawn figure (one axes with log scales, whose get_proj is handed back).
_native.keep_method_originals({key: cls.__dict__[name] for key, (cls, name) in _art._targets(axes3d, art3d).items()})
METHOD = {key: _native.method(key, cls) for key, (cls, _) in _art._targets(axes3d, art3d).items()}
SCENE = plt.figure().add_subplot(projection="3d")
SCATTER = SCENE.scatter(XS, XS[::-1], XS, s=XS * 10, c=XS)
CONTOURS = SCENE.contourf(*np.meshgrid(XS[:4], XS[:4]), np.outer(XS[:4], XS[:4]))
SCENE.figure.canvas.draw()
LOG = plt.figure().add_subplot(projection="3d")
LOG.set_xscale("log")

CASES = [
    ("proj", _native.proj_transform, (XS, XS, XS, M), None),
    ("proj-scalars", _native.proj_transform, (0.5, np.float32(1), 2, M), None),
    ("proj-lists", _native.proj_transform, ([0.5, 1.0], (1, 2), XS[:2], M), None),
    ("proj-zero-weight", _native.proj_transform, (XS, XS, XS * 0, ZERO), RuntimeWarning),
    ("proj-masked", _native.proj_transform, (np.ma.masked_array(XS, XS > 0.7), XS, XS, M), np.ma.MaskError),
    ("proj-missing", _native.proj_transform, (XS, XS, XS), TypeError),
    ("vec", _native._proj_transform_vec, (VEC, M), None),
    ("clip", _native._proj_transform_vec_clip, (VEC, M, 1.0), None),
    ("clip-masked", _native._proj_transform_vec_clip, (MASKED, M, 1.0), None),
    ("inv", _native.inv_transform, (XS, XS, XS, M), None),
    ("scale", _native._scale_proj_transform_vectors, (VECS, AXES), None),
    ("world", _native.world_transformation, (0.0, 1.0, 0.0, 2.0, 0.0, 3.0, np.array([1.0, 2.0, 3.0])), None),
    ("world-zero", _native.world_transformation, (1.0, 1.0, 0.0, 2.0, 0.0, 3.0), ZeroDivisionError),
    ("persp", _native._persp_transformation, (-1.0, 1.0, 2.0), None),
    ("get_proj", METHOD["Axes3D.get_proj"], (SCENE,), None),
    ("get_proj-log", METHOD["Axes3D.get_proj"], (LOG,), None),
    ("scatter", METHOD["Path3DCollection.do_3d_projection"], (SCATTER,), None),
    ("grid", METHOD["Line3DCollection.do_3d_projection"], (SCENE.xaxis.gridlines,), None),
    ("contourf", METHOD["Collection3D.do_3d_projection"], (CONTOURS,), None),
]


@pytest.mark.parametrize("function, args, exc", [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_repeated_calls_stay_flat(function, args, exc, monkeypatch):
    if exc is not None or args[0] is LOG:
        # Handed to Matplotlib's Python code, which takes 10 to 100 times longer: fewer calls, which still show a
        # leaked object (at least 16 bytes per call) and any reference count that moves.
        monkeypatch.setattr(test_leaks, "ITERATIONS", max(test_leaks.ITERATIONS // 10, 100))
    test_leaks.test_repeated_calls_stay_flat(function, args, {}, exc)
