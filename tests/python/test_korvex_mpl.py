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
    (art3d.Poly3DCollection, "do_3d_projection"), (art3d, "_generate_normals"), (art3d, "_shade_colors"),
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


def test_overlapping_installs_from_threads_leave_one_consistent_state(monkeypatch):
    import sys
    import threading

    monkeypatch.setattr(sys, "getswitchinterval", sys.getswitchinterval)
    sys.setswitchinterval(1e-6)  # switch threads as often as possible, inside install() too
    before = snapshot()
    mixed = []
    barrier = threading.Barrier(6)

    def worker(i):
        barrier.wait()
        for k in range(100):
            if (i + k) % 3 == 0:
                korvex_mpl.install()
            elif (i + k) % 3 == 1:
                korvex_mpl.uninstall()
            else:
                with korvex_mpl.enabled():
                    pass
            with korvex_mpl._lock:
                state = [a is b for a, b in zip(before, snapshot())]
                if len(set(state)) != 1 or all(state) == korvex_mpl.installed():
                    mixed.append(state)

    try:
        threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(0.005)
    assert not mixed
    korvex_mpl.uninstall()
    assert all(a is b for a, b in zip(before, snapshot()))


def test_enabled_blocks_overlapping_across_threads():
    import threading

    inside, leave = threading.Event(), threading.Event()

    def other():
        with korvex_mpl.enabled():
            inside.set()
            leave.wait(10)

    t = threading.Thread(target=other)
    t.start()
    inside.wait(10)
    with korvex_mpl.enabled():
        pass
    assert korvex_mpl.installed()  # the other thread's block still runs
    leave.set()
    t.join()
    assert not korvex_mpl.installed()


class Owner:
    """An object whose attribute can be made to refuse assignment."""

    refuse = False
    value = "original"

    def __setattr__(self, name, value):
        if type(self).refuse:
            raise RuntimeError("refused")
        object.__setattr__(self, name, value)


def test_install_and_uninstall_are_all_or_nothing(monkeypatch):
    before = snapshot()
    owner = Owner()
    object.__setattr__(owner, "value", "original")
    real = korvex_mpl._replacements

    def failing_factory(original):
        raise ValueError("factory failed")

    monkeypatch.setattr(korvex_mpl, "_replacements", lambda: real() + [(owner, "value", failing_factory)])
    with pytest.raises(ValueError, match="^factory failed$"):
        korvex_mpl.install()
    assert snapshot() == before and not korvex_mpl.installed()

    monkeypatch.setattr(korvex_mpl, "_replacements", lambda: real() + [(owner, "value", lambda original: "patched")])
    korvex_mpl.install()
    during = snapshot()
    monkeypatch.setattr(Owner, "refuse", True)
    with pytest.raises(RuntimeError, match="^refused$"):
        korvex_mpl.uninstall()  # the owner refuses after the others were restored: they are patched again
    assert snapshot() == during and korvex_mpl.installed() and owner.value == "patched"
    monkeypatch.setattr(Owner, "refuse", False)
    korvex_mpl.uninstall()
    assert snapshot() == before and owner.value == "original"


# Every private name of Matplotlib (and of NumPy's masked arrays) that korvex_mpl reads, calls or replaces. A
# Matplotlib release that renames one fails here, in one place.
PRIVATE = {
    "mpl_toolkits.mplot3d.proj3d": ["_persp_transformation", "_ortho_transformation", "_proj_transform_vec",
                                    "_proj_transform_vec_clip", "_scale_proj_transform_vectors",
                                    "_scale_proj_transform", "_scale_proj_transform_clip"],
    "mpl_toolkits.mplot3d.art3d": ["_generate_normals", "_shade_colors", "_scale_invalid_mask", "_viewlim_mask",
                                   "_get_data_scale"],
    "mpl_toolkits.mplot3d.art3d.Poly3DCollection": [
        "_zsort_functions", "_faces", "_invalid_vertices", "_axlim_clip", "_zsortfunc", "_A", "_face_is_mapped",
        "_edge_is_mapped", "_facecolor3d", "_edgecolor3d", "_facecolors", "_edgecolors", "_codes3d", "_closed",
        "_facecolors2d", "_edgecolors2d", "_sort_zpos", "_paths", "_antialiaseds", "_linewidths", "_linestyles",
        "_joinstyle", "_capstyle", "_hatch_linewidth", "_gapcolor", "_set_gc_clip"],
    "mpl_toolkits.mplot3d.art3d.Line3DCollection": ["_segments3d", "_axlim_clip", "_paths"],
    "mpl_toolkits.mplot3d.art3d.Line3D": ["_verts3d", "_marker", "_markersize", "_markeredgewidth", "_linestyle",
                                          "_linewidth", "_antialiased", "_path", "_alpha", "_color", "_dash_pattern",
                                          "_dashjoinstyle", "_dashcapstyle", "_solidjoinstyle", "_solidcapstyle",
                                          "_set_gc_clip"],
    "mpl_toolkits.mplot3d.art3d.Path3DCollection": [
        "_offsets3d", "_axlim_clip", "_sizes3d", "_linewidths3d", "_sizes", "_linewidths", "_offsets",
        "_offset_zordered", "_z_markers_idx", "_vzs", "_data_scale"],
    "mpl_toolkits.mplot3d.art3d.Patch3DCollection": ["_offsets3d", "_axlim_clip", "_offsets", "_vzs"],
    "mpl_toolkits.mplot3d.art3d.Collection3D": ["_3dverts_codes", "_axlim_clip", "_paths"],
    "mpl_toolkits.mplot3d.art3d.PathPatch3D": ["_segment3d", "_code3d", "_axlim_clip", "_path2d",
                                               "_draw_paths_with_artist_properties", "_hatch", "_edgecolor",
                                               "_linewidth", "_antialiased", "_dash_pattern"],
    "mpl_toolkits.mplot3d.axes3d.Axes3D": ["_children", "_axis_map", "_box_aspect", "_vertical_axis", "_dist",
                                           "_focal_length", "_view_u", "_view_v", "_view_w"],
    "matplotlib.cbook": ["_setattr_cm"],
    "matplotlib.transforms.Bbox": ["_points", "_invalid"],
    "matplotlib.path.Path": ["_fast_from_codes_and_verts", "_update_values", "_vertices", "_codes", "_readonly",
                             "_should_simplify", "_simplify_threshold", "_interpolation_steps"],
    "matplotlib.axis.Axis": ["_scale"],
    "numpy.ma.MaskedArray": ["_mask", "_sharedmask", "_baseclass"],
}


def _resolve(dotted):
    import importlib

    parts = dotted.split(".")
    for cut in range(len(parts), 0, -1):
        try:
            obj = importlib.import_module(".".join(parts[:cut]))
        except ImportError:
            continue
        for part in parts[cut:]:
            obj = getattr(obj, part)
        return obj
    raise ImportError(dotted)


def test_every_private_name_the_adapter_touches_exists():
    import numpy as np

    import matplotlib.pyplot as plt

    from matplotlib.collections import PatchCollection
    from matplotlib.patches import Circle

    ax = plt.figure().add_subplot(projection="3d")
    drawn = ax.add_collection3d(art3d.Poly3DCollection([np.eye(3)]))
    points = ax.scatter([0.0, 1.0], [0.0, 1.0], [0.0, 1.0])
    patches = ax.add_collection3d(PatchCollection([Circle((0, 0), 1)], offsets=[(0, 0)], offset_transform=ax.transData))
    contours = ax.contourf(*np.meshgrid([0.0, 1.0], [0.0, 1.0]), np.eye(2))
    patch = ax.add_patch(mpl.patches.PathPatch(mpl.path.Path([(0, 0), (1, 0), (0, 1)])))
    art3d.pathpatch_2d_to_3d(patch)
    ax.figure.canvas.draw()  # the 2D colours and the projected state exist once drawn
    plt.close(ax.figure)
    instances = {
        art3d.Poly3DCollection: drawn,
        art3d.Line3DCollection: ax.xaxis.gridlines,
        art3d.Line3D: ax.plot([0], [0], [0])[0],
        art3d.Path3DCollection: points,
        art3d.Patch3DCollection: patches,
        art3d.Collection3D: contours,
        art3d.PathPatch3D: patch,
        mpl.transforms.Bbox: ax.xy_viewLim,
        type(ax): ax,
        np.ma.MaskedArray: np.ma.masked_array([1.0], [True]),
        mpl.path.Path: mpl.path.Path(np.zeros((2, 2))),
        mpl.axis.Axis: ax.xaxis,
    }
    missing = []
    for owner, names in PRIVATE.items():
        obj = _resolve(owner)
        obj = instances.get(obj, obj)
        missing += [f"{owner}.{name}" for name in names if not hasattr(obj, name)]
    assert not missing


def test_the_list_of_private_names_is_complete():
    import pathlib

    import korvex_mpl._art
    import korvex_mpl._occlusion
    import korvex_mpl._polys
    import korvex_mpl._project
    import korvex_mpl._timing

    modules = (korvex_mpl, korvex_mpl._art, korvex_mpl._polys, korvex_mpl._project, korvex_mpl._timing,
               korvex_mpl._occlusion)
    own = {name for module in modules for name in vars(module)} | {"_art", "_native", "_polys", "_project", "_timing",
                                                                   "_occlusion"}
    sources = [p.read_text() for p in pathlib.Path(korvex_mpl.__file__).parent.glob("*.py")]
    native = pathlib.Path(__file__).resolve().parents[2] / "src" / "mpl_bridge"
    sources += [p.read_text() for p in native.glob("*.cpp")]
    used = set()
    for text in sources:
        used |= set(re.findall(r"\.(_[A-Za-z]\w*)", text)) | set(re.findall(r"[\"'](_[A-Za-z]\w*)[\"']", text))
    listed = {name for names in PRIVATE.values() for name in names}
    assert used - own - listed == set()
