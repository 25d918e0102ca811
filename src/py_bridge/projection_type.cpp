// PyProjection: a class without instances whose static methods build view matrices and project point sets.
#include <Python.h>

#include <cstring>
#include <vector>

#include "py_common/argparse.hpp"
#include "py_bridge/convert.hpp"
#include "py_common/errors.hpp"
#include "proj3d/matrix.hpp"
#include "proj3d/projection.hpp"
#include "py_bridge/types.hpp"

namespace korvex::py {
namespace {

constexpr const char* kClass = "PyProjection";

constexpr Signature kWorldSig{kClass, "world_transformation",
                             {"xmin", "xmax", "ymin", "ymax", "zmin", "zmax", "pb_aspect"}, 7, 6};
constexpr Signature kPerspSig{kClass, "persp_transformation", {"zfront", "zback", "focal_length"}, 3, 3};
constexpr Signature kOrthoSig{kClass, "ortho_transformation", {"zfront", "zback"}, 2, 2};
constexpr Signature kProjSig{kClass, "proj_transform", {"xs", "ys", "zs", "matrix"}, 4, 4};
constexpr Signature kClipSig{kClass, "proj_transform_clip", {"xs", "ys", "zs", "matrix", "focal_length"}, 5, 5};
constexpr Signature kInvSig{kClass, "inv_transform", {"xs", "ys", "zs", "matrix"}, 4, 4};

double float_arg(const ParsedArgs& args, const Signature& sig, std::size_t i) {
  return convert_arg(sig.names[i], [&] { return to_double(args[i]); });
}

PyRef matrix_result(const proj3d::Matrix4& m) {
  double* data = nullptr;
  PyRef array = new_matrix(4, 4, &data);
  std::memcpy(data, m.data(), sizeof(double) * 16);
  return array;
}

PyObject* world_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const ParsedArgs parsed = parse_fastcall(kWorldSig, args, nargs, kwnames);
    double v[6];
    for (std::size_t i = 0; i < 6; ++i) v[i] = float_arg(parsed, kWorldSig, i);
    std::vector<double> aspect;
    convert_arg("pb_aspect", [&] { return to_float_list(parsed[6], aspect); });
    const proj3d::Matrix4 m =
        proj3d::world_transformation(v[0], v[1], v[2], v[3], v[4], v[5], aspect.data(), aspect.size());
    return matrix_result(m).release();
  });
}

PyObject* persp_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const ParsedArgs parsed = parse_fastcall(kPerspSig, args, nargs, kwnames);
    const double zfront = float_arg(parsed, kPerspSig, 0);
    const double zback = float_arg(parsed, kPerspSig, 1);
    const double focal_length = float_arg(parsed, kPerspSig, 2);
    return matrix_result(proj3d::persp_transformation(zfront, zback, focal_length)).release();
  });
}

PyObject* ortho_transformation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const ParsedArgs parsed = parse_fastcall(kOrthoSig, args, nargs, kwnames);
    const double zfront = float_arg(parsed, kOrthoSig, 0);
    const double zback = float_arg(parsed, kOrthoSig, 1);
    return matrix_result(proj3d::ortho_transformation(zfront, zback)).release();
  });
}

// The four array arguments shared by the point methods, converted in order, then read contiguously in order.
struct PointArgs {
  numpy::ArrayView xs_array, ys_array, zs_array, matrix_array;

  PointArgs(const ParsedArgs& parsed, const Signature& sig)
      : xs_array(convert_arg(sig.names[0], [&] { return to_float64_array(parsed[0], 1); })),
        ys_array(convert_arg(sig.names[1], [&] { return to_float64_array(parsed[1], 1); })),
        zs_array(convert_arg(sig.names[2], [&] { return to_float64_array(parsed[2], 1); })),
        matrix_array(convert_arg(sig.names[3], [&] { return to_float64_array(parsed[3], 2); })) {}
};

// Contiguous data of the four arrays; the contiguity errors come in argument order.
struct PointData {
  ContiguousVector xs, ys, zs;
  MatrixArg matrix;

  explicit PointData(const PointArgs& a) : xs(a.xs_array), ys(a.ys_array), zs(a.zs_array), matrix(a.matrix_array) {}

  proj3d::PointsView points() const {
    return proj3d::PointsView{xs.data(), xs.size(), ys.data(), ys.size(), zs.data(), zs.size()};
  }
};

// Three new result vectors of n points each, and the view of their data that the projection writes into.
struct PointResults {
  PyRef xs, ys, zs;
  proj3d::PointsOut out;

  explicit PointResults(std::size_t n) {
    xs = new_vector(n, &out.xs);
    ys = new_vector(n, &out.ys);
    zs = new_vector(n, &out.zs);
  }
};

PyObject* proj_transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const ParsedArgs parsed = parse_fastcall(kProjSig, args, nargs, kwnames);
    const PointArgs arrays(parsed, kProjSig);
    const PointData data(arrays);
    PointResults results(data.xs.size());
    proj3d::Projection::proj_transform_vec(data.points(), data.matrix.view(), results.out);
    return new_tuple({&results.xs, &results.ys, &results.zs}).release();
  });
}

PyObject* proj_transform_clip(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const ParsedArgs parsed = parse_fastcall(kClipSig, args, nargs, kwnames);
    PointArgs arrays(parsed, kClipSig);
    const double focal_length = float_arg(parsed, kClipSig, 4);
    // Converting focal_length may run Python code (__float__) that reshapes or reallocates the arrays converted
    // before it: they are described and checked afresh, so that nothing is read through stale pointers.
    arrays = PointArgs(parsed, kClipSig);
    const PointData data(arrays);
    PointResults results(data.xs.size());
    bool* mask_data = nullptr;
    PyRef mask = numpy::new_bool_array(static_cast<Py_ssize_t>(data.xs.size()), &mask_data);
    proj3d::proj_transform_clip(data.points(), data.matrix.view(), focal_length, results.out, mask_data);
    return new_tuple({&results.xs, &results.ys, &results.zs, &mask}).release();
  });
}

PyObject* inv_transform(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    const ParsedArgs parsed = parse_fastcall(kInvSig, args, nargs, kwnames);
    const PointArgs arrays(parsed, kInvSig);
    const PointData data(arrays);
    PointResults results(data.xs.size());
    proj3d::inv_transform(data.points(), data.matrix.view(), results.out);
    return new_tuple({&results.xs, &results.ys, &results.zs}).release();
  });
}

PyObject* refuse_construction(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined");
  return nullptr;
}

void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr int kStaticFast = METH_FASTCALL | METH_KEYWORDS | METH_STATIC;

PyMethodDef methods[] = {
    {"world_transformation", as_cfunction<world_transformation>(), kStaticFast,
     "world_transformation(xmin, xmax, ymin, ymax, zmin, zmax, pb_aspect=...)\n--\n\n"
     "Create world transformation matrix"},
    {"persp_transformation", as_cfunction<persp_transformation>(), kStaticFast,
     "persp_transformation(zfront, zback, focal_length)\n--\n\nCreate perspective projection matrix"},
    {"ortho_transformation", as_cfunction<ortho_transformation>(), kStaticFast,
     "ortho_transformation(zfront, zback)\n--\n\nCreate orthographic projection matrix"},
    {"proj_transform", as_cfunction<proj_transform>(), kStaticFast,
     "proj_transform(xs, ys, zs, matrix)\n--\n\nPerform projection transformation"},
    {"proj_transform_clip", as_cfunction<proj_transform_clip>(), kStaticFast,
     "proj_transform_clip(xs, ys, zs, matrix, focal_length)\n--\n\nProjection transformation with clipping"},
    {"inv_transform", as_cfunction<inv_transform>(), kStaticFast,
     "inv_transform(xs, ys, zs, matrix)\n--\n\nInverse projection transformation"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* type_object = nullptr;

}  // namespace

PyObject* projection_type() {
  if (type_object != nullptr) return type_object;
  static char doc[] = "Python version of ProjectionMatrix and Projection functionality";
  type_object = make_class("builtins.PyProjection", static_cast<int>(sizeof(PyObject)), doc, dealloc, methods,
                           refuse_construction);
  return type_object;
}

}  // namespace korvex::py
