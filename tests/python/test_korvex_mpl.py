"""Installing and removing korvex_mpl."""
import re

import pytest

mpl = pytest.importorskip("matplotlib")
if tuple(int(v) for v in mpl.__version__.split(".")[:2]) < (3, 11):
    pytest.skip("needs Matplotlib 3.11", allow_module_level=True)

from matplotlib.collections import PolyCollection  # noqa: E402
from mpl_toolkits.mplot3d import art3d, axes3d, proj3d  # noqa: E402

import korvex_mpl  # noqa: E402

PATCHED = [
    (proj3d, "world_transformation"), (proj3d, "_persp_transformation"), (proj3d, "_ortho_transformation"),
    (proj3d, "proj_transform"), (proj3d, "_proj_transform_vec"), (proj3d, "_proj_transform_vec_clip"),
    (proj3d, "inv_transform"), (proj3d, "_scale_proj_transform_vectors"),
    (art3d.Poly3DCollection, "__init__"), (art3d.Poly3DCollection, "do_3d_projection"),
]


def snapshot():
    return [owner.__dict__[name] for owner, name in PATCHED]


def test_install_replaces_and_uninstall_restores_exactly():
    before = snapshot()
    with korvex_mpl.enabled():
        assert korvex_mpl.installed()
        during = snapshot()
        assert all(a is not b for a, b in zip(before, during))
        korvex_mpl.install()  # a second install changes nothing
        assert snapshot() == during
        with korvex_mpl.enabled():  # nested: leaves korvex installed
            pass
        assert snapshot() == during
    assert not korvex_mpl.installed()
    assert all(a is b for a, b in zip(before, snapshot()))
    korvex_mpl.uninstall()  # harmless when not installed
    assert all(a is b for a, b in zip(before, snapshot()))


def test_core_timer_restores_what_it_wraps():
    wrapped = [(proj3d, "proj_transform"), (PolyCollection, "set_verts"), (axes3d.Axes3D, "get_proj")]
    before = [owner.__dict__[name] for owner, name in wrapped]
    with korvex_mpl.core_timer() as times:
        assert all(owner.__dict__[name] is not b for (owner, name), b in zip(wrapped, before))
        proj3d.proj_transform([0.0], [0.0], [1.0], proj3d._ortho_transformation(-1.0, 1.0))
    assert times.core > 0 and times.paths == 0
    assert [owner.__dict__[name] for owner, name in wrapped] == before


def test_older_matplotlib_is_refused(monkeypatch):
    monkeypatch.setattr(mpl, "__version__", "3.10.8")
    message = "korvex_mpl needs Matplotlib 3.11 or newer; this process has Matplotlib 3.10.8"
    with pytest.raises(RuntimeError, match="^" + re.escape(message) + "$"):
        korvex_mpl.install()
    assert not korvex_mpl.installed()
