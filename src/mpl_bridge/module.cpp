// korvex_mpl._native: Matplotlib's mplot3d functions with Matplotlib's semantics, on korvex's core. The module's
// single exported symbol is PyInit__native.
#include <Python.h>

#include "mpl_bridge/fallback.hpp"
#include "mpl_bridge/functions.hpp"
#include "mpl_bridge/methods.hpp"
#include "py_common/cfunction.hpp"
#include "py_common/errors.hpp"

namespace korvex::mpl {
namespace {

// The functions keep proj3d's names, so that tracebacks and reprs read as Matplotlib's.
PyMethodDef methods[] = {
    {"world_transformation", py::as_cfunction<world_transformation>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d.world_transformation with Matplotlib's semantics."},
    {"_persp_transformation", py::as_cfunction<persp_transformation>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d._persp_transformation with Matplotlib's semantics."},
    {"_ortho_transformation", py::as_cfunction<ortho_transformation>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d._ortho_transformation with Matplotlib's semantics."},
    {"proj_transform", py::as_cfunction<proj_transform>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d.proj_transform with Matplotlib's semantics."},
    {"_proj_transform_vec", py::as_cfunction<proj_transform_vec>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d._proj_transform_vec with Matplotlib's semantics."},
    {"_proj_transform_vec_clip", py::as_cfunction<proj_transform_vec_clip>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d._proj_transform_vec_clip with Matplotlib's semantics."},
    {"inv_transform", py::as_cfunction<inv_transform>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d.inv_transform with Matplotlib's semantics."},
    {"_scale_proj_transform_vectors", py::as_cfunction<scale_proj_transform_vectors>(), METH_FASTCALL | METH_KEYWORDS,
     "proj3d._scale_proj_transform_vectors with Matplotlib's semantics."},
    {"keep_originals", keep_originals, METH_O,
     "keep_originals(functions: dict) -> None\n\nMatplotlib's own proj3d functions by name, for the calls handed "
     "back to them."},
    {"fallback_counts", fallback_counts, METH_NOARGS,
     "fallback_counts() -> dict[str, int]\n\nCalls handed to Matplotlib's own function so far, by function name."},
    {"_generate_normals", py::as_cfunction<art3d_generate_normals>(), METH_FASTCALL | METH_KEYWORDS,
     "art3d._generate_normals with Matplotlib's semantics."},
    {"_shade_colors", py::as_cfunction<art3d_shade_colors>(), METH_FASTCALL | METH_KEYWORDS,
     "art3d._shade_colors with Matplotlib's semantics."},
    {"keep_art3d_originals", keep_art3d_originals, METH_O,
     "keep_art3d_originals(functions: dict) -> None\n\nMatplotlib's do_3d_projection, _generate_normals, "
     "_shade_colors and the z-sort functions average, min and max, for the calls handed back and to recognise."},
    {"poly3d_method", poly3d_method, METH_O,
     "poly3d_method(cls) -> method descriptor\n\nThe native do_3d_projection as a method of cls."},
    {"poly3d_scene_projection", poly3d_scene_projection, METH_O,
     "poly3d_scene_projection(collection) -> tuple\n\nThe collection's do_3d_projection, returning (value, xyz, "
     "depths, position) for the exact occlusion mode (three Nones where it takes its own way)."},
    {"visibility_order", py::as_cfunction<visibility_order>(), METH_FASTCALL | METH_KEYWORDS,
     "visibility_order(polygons, offsets, depths, segments, markers, marker_radius, cap_factor) -> tuple\n\n"
     "The fragments of a projected scene back to front: (kinds, items, whole, starts, xy, original, stats)."},
    {"fragment_runs", py::as_cfunction<fragment_runs>(), METH_FASTCALL | METH_KEYWORDS,
     "fragment_runs(fragments, groups, group_kinds, chains, paths, path_index, margins, style) -> list\n\n"
     "Runs of one drawing group: (group, items, roles, (paths, face, edge, widths, antialiased) | polyline | None) "
     "each."},
    {"keep_method_originals", keep_method_originals, METH_O,
     "keep_method_originals(methods: dict) -> None\n\nMatplotlib's own Axes3D and art3d methods by key "
     "('Axes3D.get_proj', 'Path3DCollection.do_3d_projection', ...), for the calls handed back to them."},
    {"method", py::as_cfunction<method>(), METH_FASTCALL,
     "method(key: str, cls: type) -> method descriptor\n\nThe native method of that key as a method of cls."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "korvex_mpl._native",
    "Matplotlib's mplot3d numerical functions in native code, private to korvex_mpl.",
    0,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace korvex::mpl

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return korvex::py::guard([] {
    PyObject* module = PyModule_Create(&korvex::mpl::module_def);
    if (module == nullptr) korvex::py::throw_fetched();
    return module;
  });
}
