// art3d.Poly3DCollection on the native core: do_3d_projection as one native method, and art3d's
// _generate_normals and _shade_colors as native functions.
//
// do_3d_projection reads the artist's state at every call, as Matplotlib's method does (its 3D polygons `_faces`
// and `_invalid_vertices`, the axes' matrix and scales, colours, codes, settings), so whatever Matplotlib would
// draw, this draws. It follows Matplotlib's steps: the colour mapping first (Matplotlib's own code), then the
// projection, masking, depth and order (poly3d/mpl_polys.hpp; NumPy's own argsort where depths tie exactly), the
// 2D paths (PolyCollection.set_verts' fast path, built here; the other paths through PolyCollection's own
// setters), the sorted colours and Matplotlib's return value. It hands the call to Matplotlib's method, after the colour mapping (which that method repeats,
// to the same effect) and before changing anything else, for what it does not reproduce: a custom z-sort
// function, non-linear axis scales, unusual attribute types, and draws where NumPy would warn.
//
// Closed paths are made as Matplotlib's fast path makes them (Path._fast_from_codes_and_verts over the rows of
// one padded vertex array sharing one codes array), without a Python frame per path. A draw makes new Path
// objects, vertex arrays and list, so nothing handed out by an earlier draw changes; only when no one else can
// reach the previous draw's paths are they refilled instead (reusable_buffer).
//
// Everything here needs the interpreter lock. The core runs with the lock held; its workers touch no Python
// object.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/assert.hpp"
#include "mpl_bridge/functions.hpp"
#include "mpl_bridge/paths.hpp"
#include "poly3d/mpl_polys.hpp"
#include "py_common/argparse.hpp"
#include "py_common/cfunction.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"

namespace korvex::mpl {
namespace {

namespace np = py::numpy;
using py::PyRef;
using poly3d::ZSortMode;
using poly3d::mpl::FaceProjection;
using poly3d::mpl::FaceProjectionInput;

// ---- Names and objects looked up once ----

// Interned attribute names, created on first use and kept for the life of the process.
struct Names {
  PyObject* faces;
  PyObject* invalid_vertices;
  PyObject* axlim_clip;
  PyObject* zsortfunc;
  PyObject* codes3d;
  PyObject* closed;
  PyObject* sort_zpos;
  PyObject* a;
  PyObject* update_scalarmappable;
  PyObject* face_is_mapped;
  PyObject* edge_is_mapped;
  PyObject* facecolors;
  PyObject* edgecolors;
  PyObject* facecolor3d;
  PyObject* edgecolor3d;
  PyObject* facecolors2d;
  PyObject* edgecolors2d;
  PyObject* axes;
  PyObject* m;
  PyObject* xaxis;
  PyObject* yaxis;
  PyObject* zaxis;
  PyObject* scale;
  PyObject* xy_viewlim;
  PyObject* zz_viewlim;
  PyObject* xmin;
  PyObject* xmax;
  PyObject* ymin;
  PyObject* ymax;
  PyObject* stale;
  PyObject* paths;
  PyObject* vertices;
  PyObject* codes;
  PyObject* readonly;
  PyObject* should_simplify;
  PyObject* simplify_threshold;
  PyObject* interpolation_steps;
  PyObject* set_verts;
  PyObject* set_verts_and_codes;
  PyObject* repeat;
  PyObject* direction;
};

PyObject* intern(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) py::throw_fetched();
  return name;
}

const Names& names() {
  static const Names n = [] {
    return Names{intern("_faces"),       intern("_invalid_vertices"),
                 intern("_axlim_clip"),  intern("_zsortfunc"),
                 intern("_codes3d"),     intern("_closed"),
                 intern("_sort_zpos"),   intern("_A"),
                 intern("update_scalarmappable"), intern("_face_is_mapped"),
                 intern("_edge_is_mapped"), intern("_facecolors"),
                 intern("_edgecolors"),  intern("_facecolor3d"),
                 intern("_edgecolor3d"), intern("_facecolors2d"),
                 intern("_edgecolors2d"), intern("axes"),
                 intern("M"),            intern("xaxis"),
                 intern("yaxis"),        intern("zaxis"),
                 intern("_scale"),       intern("xy_viewLim"),
                 intern("zz_viewLim"),   intern("xmin"),
                 intern("xmax"),         intern("ymin"),
                 intern("ymax"),         intern("stale"),
                 intern("_paths"),       intern("_vertices"),
                 intern("_codes"),       intern("_readonly"),
                 intern("_should_simplify"), intern("_simplify_threshold"),
                 intern("_interpolation_steps"), intern("set_verts"),
                 intern("set_verts_and_codes"), intern("repeat"),
                 intern("direction")};
  }();
  return n;
}

PyRef import_attr(const char* module, const char* attr) {
  PyRef m = py::check(PyImport_ImportModule(module));
  return py::check(PyObject_GetAttrString(m.get(), attr));
}

// Matplotlib's and NumPy's objects the bridge compares with or calls; looked up on first need (Matplotlib is
// imported by then: install() ran) and kept for the life of the process.
struct Imports {
  PyObject* path_type;         // matplotlib.path.Path
  PyObject* poly_collection;   // matplotlib.collections.PolyCollection
  PyObject* linear_scale;      // matplotlib.scale.LinearScale
  PyObject* rc_params;         // matplotlib.rcParams (a dict subclass)
  PyObject* numpy_false;       // numpy.False_
  PyObject* numpy_array;       // numpy.array
  PyObject* masked;            // numpy.ma.masked
  PyObject* masked_array;      // numpy.ma.MaskedArray
  PyObject* colors;            // matplotlib.colors
  PyObject* proj3d;            // mpl_toolkits.mplot3d.proj3d
  PyObject* empty_tuple;
  PyObject* one;               // the int 1
  PyObject* zero;              // the int 0
  unsigned char moveto, lineto, closepoly;
};

unsigned char code_of(PyObject* path_type, const char* name) {
  PyRef value = py::check(PyObject_GetAttrString(path_type, name));
  const long code = PyLong_AsLong(value.get());
  if (code == -1 && PyErr_Occurred() != nullptr) py::throw_fetched();
  return static_cast<unsigned char>(code);
}

const Imports& imports() {
  static const Imports i = [] {
    Imports r{};
    r.path_type = import_attr("matplotlib.path", "Path").release();
    r.poly_collection = import_attr("matplotlib.collections", "PolyCollection").release();
    r.linear_scale = import_attr("matplotlib.scale", "LinearScale").release();
    r.rc_params = import_attr("matplotlib", "rcParams").release();
    r.numpy_false = import_attr("numpy", "False_").release();
    r.numpy_array = import_attr("numpy", "array").release();
    r.masked = import_attr("numpy.ma", "masked").release();
    r.masked_array = import_attr("numpy.ma", "MaskedArray").release();
    r.colors = py::check(PyImport_ImportModule("matplotlib.colors")).release();
    r.proj3d = py::check(PyImport_ImportModule("mpl_toolkits.mplot3d.proj3d")).release();
    r.empty_tuple = py::check(PyTuple_New(0)).release();
    r.one = py::check(PyLong_FromLong(1)).release();
    r.zero = py::check(PyLong_FromLong(0)).release();
    if (!PyType_Check(r.path_type) || !PyType_Check(r.masked_array)) {
      throw py::PyError{PyExc_TypeError, "matplotlib.path.Path and numpy.ma.MaskedArray must be classes"};
    }
    r.moveto = code_of(r.path_type, "MOVETO");
    r.lineto = code_of(r.path_type, "LINETO");
    r.closepoly = code_of(r.path_type, "CLOSEPOLY");
    return r;
  }();
  return i;
}

// ---- Matplotlib's own functions, for the calls handed back ----

struct Originals {
  PyObject* do_3d_projection = nullptr;
  PyObject* generate_normals = nullptr;
  PyObject* shade_colors = nullptr;
  // Poly3DCollection._zsort_functions' values, by mode.
  std::array<PyObject*, 3> zsort{};
};
Originals originals;

// Calls handed to Matplotlib so far, by function: do_3d_projection, _generate_normals, _shade_colors.
std::array<unsigned long long, 3> handed_back{};
constexpr std::array<const char*, 3> kHandedBackNames = {"do_3d_projection", "_generate_normals", "_shade_colors"};

PyObject* kept(PyObject* function, const char* name) {
  if (function == nullptr) {
    throw py::PyError{PyExc_RuntimeError, std::string("Matplotlib's art3d ") + name +
                                              " is not known: install() gives it"};
  }
  return function;
}

// Calls `function` with `first` prepended to a vectorcall's arguments. New reference.
PyRef call_with(PyObject* function, PyObject* first, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  std::vector<PyObject*> all(static_cast<std::size_t>(total) + 1);
  all[0] = first;
  std::copy(args, args + total, all.begin() + 1);
  return py::check(PyObject_Vectorcall(function, all.data(), static_cast<std::size_t>(nargs) + 1, kwnames));
}

// ---- Small helpers ----

PyRef get(PyObject* object, PyObject* name) { return py::check(PyObject_GetAttr(object, name)); }

void set(PyObject* object, PyObject* name, PyObject* value) {
  if (PyObject_SetAttr(object, name, value) < 0) py::throw_fetched();
}

bool truth(PyObject* object) {
  const int t = PyObject_IsTrue(object);
  if (t < 0) py::throw_fetched();
  return t != 0;
}

double float_of(PyObject* object) {
  const double v = PyFloat_AsDouble(object);
  if (v == -1.0 && PyErr_Occurred() != nullptr) py::throw_fetched();
  return v;
}

// A float64 array view of a 2-D array (rows x cols at byte strides), or nothing.
struct Rows {
  PyObject* object = nullptr;
  const char* data = nullptr;
  Py_ssize_t rows = 0;
  Py_ssize_t cols = 0;
  Py_ssize_t row_stride = 0;
  Py_ssize_t col_stride = 0;
  bool ok = false;

  double at(Py_ssize_t r, Py_ssize_t c) const noexcept {
    double v;
    std::memcpy(&v, data + r * row_stride + c * col_stride, sizeof v);
    return v;
  }
};

Rows float64_rows(PyObject* object) {
  Rows r;
  if (!np::is_exact_array(object)) return r;
  const np::ArrayView v = np::view(object);
  if (v.ndim != 2 || v.type != np::Type::float64 || !v.native) return r;
  r = Rows{object, v.data, v.shape[0], v.shape[1], v.strides[0], v.strides[1], true};
  return r;
}

// ---- The draw ----

// What one draw reads from the artist. Borrowed objects are owned by the PyRefs beside them.
struct Artist {
  PyRef faces;      // float64, aligned, native order (the artist's own array or a cast copy)
  PyRef invalid;    // the artist's _invalid_vertices when it is an array
  PyRef codes3d;
  PyRef sort_zpos;
  PyRef axes;
  PyRef matrix;
  bool closed = true;
  bool has_codes = false;
  FaceProjectionInput input;
};

ZSortMode zsort_mode(PyObject* function, bool& known) {
  for (std::size_t k = 0; k < originals.zsort.size(); ++k) {
    if (function == originals.zsort[k]) {
      known = true;
      return static_cast<ZSortMode>(k);
    }
  }
  known = false;
  return ZSortMode::Average;
}

bool linear(PyObject* axes, PyObject* axis_name) {
  PyRef axis = get(axes, axis_name);
  PyRef scale = get(axis.get(), names().scale);
  return reinterpret_cast<PyObject*>(Py_TYPE(scale.get())) == imports().linear_scale;
}

double limit(PyObject* bbox, PyObject* name) {
  PyRef value = get(bbox, name);
  return float_of(value.get());
}

// Reads the artist's state; false when the draw is left to Matplotlib.
bool read_artist(PyObject* self, Artist& a) {
  const Names& n = names();
  PyRef faces = get(self, n.faces);
  if (!np::is_exact_array(faces.get())) return false;
  np::ArrayView fv = np::view(faces.get());
  if (fv.ndim != 3 || fv.shape[2] != 3 || fv.type == np::Type::other) return false;
  const Py_ssize_t faces_n = fv.shape[0], verts = fv.shape[1];
  if (faces_n < 1 || verts < 1) return false;  // Matplotlib's other ways for empty collections

  const bool float64 = fv.type == np::Type::float64;
  if (!float64 || !fv.native || !fv.aligned) {
    faces = np::as_float64(faces.get());  // NumPy's cast, as np.dot casts
    fv = np::view(faces.get());
  }
  a.faces = std::move(faces);
  a.input.faces = poly3d::mpl::FaceGrid{fv.data, static_cast<std::size_t>(faces_n), static_cast<std::size_t>(verts),
                                        fv.strides[0], fv.strides[1], fv.strides[2]};

  PyRef invalid = get(self, n.invalid_vertices);
  if (invalid.get() != Py_False) {
    if (!np::is_exact_array(invalid.get())) return false;
    const np::ArrayView iv = np::view(invalid.get());
    if (iv.ndim != 2 || iv.type != np::Type::boolean || iv.shape[0] != faces_n || iv.shape[1] != verts) return false;
    a.input.invalid = poly3d::mpl::VertexFlags{iv.data, iv.strides[0], iv.strides[1]};
    a.invalid = std::move(invalid);
  }

  bool known = false;
  PyRef zsortfunc = get(self, n.zsortfunc);
  a.input.zsort = zsort_mode(zsortfunc.get(), known);
  if (!known) return false;

  a.axes = get(self, n.axes);
  a.matrix = get(a.axes.get(), n.m);
  const Rows m = float64_rows(a.matrix.get());
  if (!m.ok || m.rows != 4 || m.cols != 4) return false;
  for (Py_ssize_t r = 0; r < 4; ++r) {
    for (Py_ssize_t c = 0; c < 4; ++c) a.input.matrix[static_cast<std::size_t>(4 * r + c)] = m.at(r, c);
  }
  if (!linear(a.axes.get(), n.xaxis) || !linear(a.axes.get(), n.yaxis) || !linear(a.axes.get(), n.zaxis)) {
    return false;
  }

  PyRef clip = get(self, n.axlim_clip);
  a.input.clip = truth(clip.get());
  if (a.input.clip) {
    // The view limits are compared in the polygons' own type where NumPy 1's value-based casting rounds them.
    if (!float64) return false;
    PyRef xy = get(a.axes.get(), n.xy_viewlim);
    PyRef zz = get(a.axes.get(), n.zz_viewlim);
    a.input.box = poly3d::mpl::ViewBox{limit(xy.get(), n.xmin), limit(xy.get(), n.xmax), limit(xy.get(), n.ymin),
                                       limit(xy.get(), n.ymax), limit(zz.get(), n.xmin), limit(zz.get(), n.xmax)};
  }

  a.codes3d = get(self, n.codes3d);
  if (a.codes3d.get() != Py_None) {
    const Py_ssize_t count = PyObject_Length(a.codes3d.get());
    if (count < 0) py::throw_fetched();
    if (count > 0 && count != faces_n) return false;
    a.has_codes = count > 0;
  }
  PyRef closed = get(self, n.closed);
  a.closed = truth(closed.get());
  a.sort_zpos = get(self, n.sort_zpos);
  return true;
}

// Matplotlib's colour step: map the colours now, since they are reordered below.
void map_colors(PyObject* self) {
  const Names& n = names();
  PyRef mapped = get(self, n.a);
  if (mapped.get() == Py_None) return;
  py::check(PyObject_CallMethodNoArgs(self, n.update_scalarmappable));
  PyRef face = get(self, n.face_is_mapped);
  if (truth(face.get())) {
    PyRef colors = get(self, n.facecolors);
    set(self, n.facecolor3d, colors.get());
  }
  PyRef edge = get(self, n.edge_is_mapped);
  if (truth(edge.get())) {
    PyRef colors = get(self, n.edgecolors);
    set(self, n.edgecolor3d, colors.get());
  }
}

// The projection of one draw: a per-thread object whose buffers later draws reuse, or a fresh one when a draw
// runs inside another on the same thread.
class ProjectionLease {
 public:
  ProjectionLease() {
    if (!busy_) {
      busy_ = true;
      held_ = true;
      projection_ = &cached();
    } else {
      own_ = std::make_unique<FaceProjection>();
      projection_ = own_.get();
    }
  }
  ~ProjectionLease() {
    if (held_) busy_ = false;
  }
  ProjectionLease(const ProjectionLease&) = delete;
  ProjectionLease& operator=(const ProjectionLease&) = delete;
  FaceProjection& operator*() const noexcept { return *projection_; }
  FaceProjection* operator->() const noexcept { return projection_; }

 private:
  static FaceProjection& cached() {
    thread_local FaceProjection projection;
    return projection;
  }
  static thread_local bool busy_;
  bool held_ = false;
  std::unique_ptr<FaceProjection> own_;
  FaceProjection* projection_ = nullptr;
};
thread_local bool ProjectionLease::busy_ = false;

// Path._update_values' should_simplify for a closed template of `count` vertices: Python's `and` chain, whose
// value is its first false operand (or NumPy's False from np.all(codes <= LINETO), CLOSEPOLY being above it).
PyRef closed_should_simplify(PyObject* threshold, PyObject* simplify, std::size_t count) {
  PyRef positive = py::check(PyObject_RichCompare(threshold, imports().zero, Py_GT));
  if (!truth(positive.get())) return positive;
  if (!truth(simplify)) return PyRef::borrow(simplify);
  if (count < 128) return PyRef::borrow(Py_False);
  return PyRef::borrow(imports().numpy_false);
}

PyObject* rc_value(const char* key) {
  PyObject* value = PyDict_GetItemString(imports().rc_params, key);  // borrowed; RcParams stores in its dict
  if (value == nullptr) throw py::PyError{PyExc_KeyError, key};
  return value;
}

// What Matplotlib's fast path gives every closed Path of one draw besides its vertices.
struct PathSettings {
  PyRef codes;          // the shared codes array
  const unsigned char* code = nullptr;
  PyObject* threshold;  // rcParams['path.simplify_threshold'] (borrowed from `keep`)
  PyRef keep;
  PyRef should_simplify;
  std::size_t rows = 0;  // vertices per path: the face's and the closing one
};

// The attributes of a closed Path in the order Path._fast_from_codes_and_verts sets them; the vertices first.
constexpr std::size_t kPathAttributes = 6;

std::array<PyObject*, kPathAttributes> attribute_names() {
  const Names& n = names();
  return {n.vertices, n.codes, n.readonly, n.should_simplify, n.simplify_threshold, n.interpolation_steps};
}

std::array<PyObject*, kPathAttributes> attribute_values(const PathSettings& s, PyObject* vertices) {
  return {vertices, s.codes.get(), Py_False, s.should_simplify.get(), s.threshold, imports().one};
}

PathSettings path_settings(std::size_t rows) {
  const Imports& im = imports();
  PathSettings s;
  s.rows = rows;
  unsigned char* code = nullptr;
  s.codes = np::new_uint8_array(static_cast<Py_ssize_t>(rows), &code);
  code[0] = im.moveto;
  std::fill(code + 1, code + rows - 1, im.lineto);
  code[rows - 1] = im.closepoly;
  s.code = code;
  s.keep = PyRef::borrow(rc_value("path.simplify_threshold"));
  s.threshold = s.keep.get();
  s.should_simplify = closed_should_simplify(s.threshold, rc_value("path.simplify"), rows);
  return s;
}

// The vertex buffers of closed paths made here, by address: a hint that a collection's paths may be refilled, so
// that paths made elsewhere (by Matplotlib's own method, say) are not inspected at all (inspecting one makes its
// attribute dict). Addresses of freed buffers stay until the set is full and emptied; a stale one only costs an
// inspection, which then fails or succeeds on its own merits. Written and read under the interpreter lock.
constexpr std::size_t kBufferHints = 1 << 14;
std::unordered_set<const double*> buffers_made_here;

void remember_buffer(const double* buffer) {
  if (buffers_made_here.size() >= kBufferHints) buffers_made_here.clear();
  buffers_made_here.insert(buffer);
}

bool made_here(const double* buffer) { return buffers_made_here.count(buffer) != 0; }

#if !defined(Py_GIL_DISABLED)
// Whether `object` has weak references (a weakref could hand it out later without holding it now).
bool weakly_referenced(PyObject* object) {
  const Py_ssize_t offset = Py_TYPE(object)->tp_weaklistoffset;
  if (offset == 0) return false;
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(object) + offset) != nullptr;
}

// An exact ndarray without weak references, referenced exactly `holders` times.
bool private_array(PyObject* array, Py_ssize_t holders) {
  return np::is_exact_array(array) && Py_REFCNT(array) == holders && !np::ownership(array).weakly_referenced;
}

// Whether the vertex buffer under `path` (a Path) is one of the recent ones made here; reads the attribute without
// making the instance dict.
bool first_path_made_here(PyObject* path) {
  PyObject* vertices = PyObject_GetAttr(path, names().vertices);
  if (vertices == nullptr) {
    PyErr_Clear();
    return false;
  }
  const PyRef held = PyRef::steal(vertices);
  if (!np::is_exact_array(vertices)) return false;
  const PyObject* base = np::ownership(vertices).base;
  return base != nullptr && np::is_exact_array(const_cast<PyObject*>(base)) &&
         made_here(reinterpret_cast<const double*>(np::view(const_cast<PyObject*>(base)).data));
}

// The paths of the previous draw, when no one but this artist can reach any part of them: the list, every Path,
// its attribute dict, its vertex array, the one buffer they view and the shared codes array are referenced only
// by each other, none has weak references, and all hold exactly what a new closed path of this draw would
// hold. Then writing this draw's outlines into the buffer is indistinguishable from making new paths (nothing
// handed out before can change, since nothing was kept); returns the buffer, else null. A borrowed reference.
double* reusable_buffer(PyObject* list, const PathSettings& settings, std::size_t faces) {
  if (!PyList_CheckExact(list) || Py_REFCNT(list) != 2 || PyList_GET_SIZE(list) != static_cast<Py_ssize_t>(faces)) {
    return nullptr;  // two: the artist's attribute and the caller's
  }
  PyObject* path_type = imports().path_type;
  const auto keys = attribute_names();
  const auto expected = attribute_values(settings, nullptr);  // entries 2 on; 0 and 1 are checked apart
  PyObject* buffer = nullptr;
  PyObject* codes = nullptr;
  double* data = nullptr;
  const std::size_t row_values = 2 * settings.rows;
  for (std::size_t s = 0; s < faces; ++s) {
    PyObject* path = PyList_GET_ITEM(list, static_cast<Py_ssize_t>(s));
    if (reinterpret_cast<PyObject*>(Py_TYPE(path)) != path_type || Py_REFCNT(path) != 1 || weakly_referenced(path)) {
      return nullptr;
    }
    if (s == 0 && !first_path_made_here(path)) return nullptr;
    PyObject* got = PyObject_GenericGetDict(path, nullptr);
    if (got == nullptr) py::throw_fetched();
    const PyRef owned_dict = PyRef::steal(got);
    PyObject* dict = owned_dict.get();
    if (!PyDict_CheckExact(dict) || Py_REFCNT(dict) != 2 ||
        PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(kPathAttributes)) {
      return nullptr;  // two: the path's and ours
    }
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    PyObject* vertices = nullptr;
    for (std::size_t k = 0; PyDict_Next(dict, &pos, &key, &value); ++k) {
      if (key != keys[k]) return nullptr;
      if (k == 0) {
        vertices = value;
        continue;
      }
      if (k == 1) {
        if (s == 0) codes = value;
        if (value != codes) return nullptr;
        continue;
      }
      if (value != expected[k]) return nullptr;
    }
    if (vertices == nullptr || !private_array(vertices, 1)) return nullptr;
    const np::ArrayView v = np::view(vertices);
    const np::Ownership o = np::ownership(vertices);
    if (s == 0) {
      buffer = o.base;
      if (buffer == nullptr || !private_array(buffer, static_cast<Py_ssize_t>(faces))) return nullptr;
      const np::ArrayView b = np::view(buffer);
      const np::Ownership bo = np::ownership(buffer);
      if (!bo.owns_data || !bo.writeable || b.type != np::Type::float64 || !b.native || !b.c_contiguous ||
          b.ndim != 3 || b.shape[0] != static_cast<Py_ssize_t>(faces) ||
          b.shape[1] != static_cast<Py_ssize_t>(settings.rows) || b.shape[2] != 2) {
        return nullptr;
      }
      data = reinterpret_cast<double*>(const_cast<char*>(b.data));
    }
    if (o.base != buffer || !o.writeable || v.type != np::Type::float64 || v.ndim != 2 ||
        v.shape[0] != static_cast<Py_ssize_t>(settings.rows) || v.shape[1] != 2 || v.strides[0] != 16 ||
        v.strides[1] != 8 || v.data != reinterpret_cast<const char*>(data + row_values * s)) {
      return nullptr;
    }
  }
  // The codes: held by the paths only, and the very codes of this draw.
  if (codes == nullptr || !private_array(codes, static_cast<Py_ssize_t>(faces))) return nullptr;
  const np::ArrayView c = np::view(codes);
  if (c.type != np::Type::uint8 || c.ndim != 1 || c.shape[0] != static_cast<Py_ssize_t>(settings.rows) ||
      !c.c_contiguous || std::memcmp(c.data, settings.code, settings.rows) != 0) {
    return nullptr;
  }
  return data;
}
#endif

// New closed paths over the rows of `pad`, as Path._fast_from_codes_and_verts makes them. The cyclic garbage
// collector is paused meanwhile: the objects are acyclic, and a collection at every few hundred new objects
// would walk everything alive each time.
PyRef new_closed_paths(PyObject* pad, double* buffer, const PathSettings& settings, std::size_t faces) {
  PyTypeObject* path_type = reinterpret_cast<PyTypeObject*>(imports().path_type);
  const auto keys = attribute_names();
  const Py_ssize_t row_shape[2] = {static_cast<Py_ssize_t>(settings.rows), 2};
  PyRef list = py::check(PyList_New(static_cast<Py_ssize_t>(faces)));
  const CollectorPause pause;
  // Each path's instance dict is a copy of one template (a copy clones the template's table in one go), made up
  // front so that later draws can inspect it without making one.
  PyRef layout = py::check(PyDict_New());
  const auto values = attribute_values(settings, Py_None);
  for (std::size_t k = 0; k < kPathAttributes; ++k) {
    if (PyDict_SetItem(layout.get(), keys[k], values[k]) < 0) py::throw_fetched();
  }
  for (std::size_t s = 0; s < faces; ++s) {
    PyRef vertices = np::float64_view(pad, buffer + 2 * settings.rows * s, 2, row_shape);
    PyRef path = py::check(path_type->tp_new(path_type, imports().empty_tuple, nullptr));
    PyRef dict = py::check(PyDict_Copy(layout.get()));
    if (PyDict_SetItem(dict.get(), keys[0], vertices.get()) < 0 ||
        PyObject_GenericSetDict(path.get(), dict.get(), nullptr) < 0) {
      py::throw_fetched();
    }
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(s), path.release());
  }
  remember_buffer(buffer);
  return list;
}

// PolyCollection.set_verts(faces_2d, closed=True)'s fast path: one (n, nv + 1, 2) array of the closed outlines in
// drawing order, and a Path over each row sharing one codes array and the template's settings.
void set_closed_paths(PyObject* self, const FaceProjection& p) {
  const Names& n = names();
  set(self, n.stale, Py_True);
  const std::size_t faces = p.faces();
  const PathSettings settings = path_settings(p.verts() + 1);
#if !defined(Py_GIL_DISABLED)
  PyObject* previous = PyObject_GetAttr(self, n.paths);
  if (previous == nullptr) {
    PyErr_Clear();  // nothing to refill; Matplotlib assigns the attribute anew
  } else {
    const PyRef held = PyRef::steal(previous);
    if (double* buffer = reusable_buffer(previous, settings, faces)) {
      p.write_closed(buffer);
      return;
    }
  }
#endif
  double* buffer = nullptr;
  const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(faces), static_cast<Py_ssize_t>(settings.rows), 2};
  PyRef pad = np::new_float64_array(3, shape, &buffer);
  p.write_closed(buffer);
  PyRef list = new_closed_paths(pad.get(), buffer, settings, faces);
  set(self, n.paths, list.get());
}

// The outlines in drawing order as one (n, nv, 2) array, masked vertices NaN.
PyRef open_outlines(const FaceProjection& p) {
  double* buffer = nullptr;
  const Py_ssize_t shape[3] = {static_cast<Py_ssize_t>(p.faces()), static_cast<Py_ssize_t>(p.verts()), 2};
  PyRef array = np::new_float64_array(3, shape, &buffer);
  p.write_open(buffer);
  return array;
}

// The other two ways of Matplotlib's method, through PolyCollection's own setters: codes (masked vertices left
// out of each outline), or open paths.
void set_other_paths(PyObject* self, const Artist& a, const FaceProjection& p) {
  const Names& n = names();
  const std::size_t faces = p.faces();
  PyRef outlines;
  if (a.has_codes && p.needs_masking()) {
    outlines = py::check(PyList_New(static_cast<Py_ssize_t>(faces)));
    std::vector<double> scratch(2 * p.verts());
    for (std::size_t s = 0; s < faces; ++s) {
      const std::size_t count = p.write_valid(s, scratch.data());
      double* data = nullptr;
      const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(count), 2};
      PyRef face = np::new_float64_array(2, shape, &data);
      std::copy(scratch.data(), scratch.data() + 2 * count, data);
      PyList_SET_ITEM(outlines.get(), static_cast<Py_ssize_t>(s), face.release());
    }
  } else {
    outlines = open_outlines(p);
  }
  if (a.has_codes) {
    PyRef codes = py::check(PyList_New(static_cast<Py_ssize_t>(faces)));
    for (std::size_t s = 0; s < faces; ++s) {
      PyObject* item = PySequence_GetItem(a.codes3d.get(), static_cast<Py_ssize_t>(p.order()[s]));
      if (item == nullptr) py::throw_fetched();
      PyList_SET_ITEM(codes.get(), static_cast<Py_ssize_t>(s), item);
    }
    PyRef setter = get(imports().poly_collection, n.set_verts_and_codes);
    py::check(PyObject_CallFunctionObjArgs(setter.get(), self, outlines.get(), codes.get(), nullptr));
  } else {
    PyRef setter = get(imports().poly_collection, n.set_verts);
    py::check(PyObject_CallFunctionObjArgs(setter.get(), self, outlines.get(), a.closed ? Py_True : Py_False,
                                           nullptr));
  }
}

// colors.repeat(n, axis=0). New reference.
PyRef repeat_rows(PyObject* colors, std::size_t n) {
  PyRef method = get(colors, names().repeat);
  PyRef count = py::check(PyLong_FromSize_t(n));
  PyRef kwnames = py::check(Py_BuildValue("(s)", "axis"));
  PyObject* args[] = {count.get(), imports().zero};
  return py::check(PyObject_Vectorcall(method.get(), args, 1, kwnames.get()));
}

// Matplotlib's `colors[face_order]` after repeating a list that does not hold n rows. New reference.
PyRef sorted_colors(PyObject* colors, std::size_t count, const FaceProjection& p, PyObject* order_array) {
  const std::size_t n = p.faces();
  const Rows src = float64_rows(colors);
  if (src.ok) {
    double* data = nullptr;
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), src.cols};
    PyRef out = np::new_float64_array(2, shape, &data);
    p.gather_rows(src.data, count, static_cast<std::size_t>(src.cols), src.row_stride, src.col_stride, data);
    return out;
  }
  // Anything else exactly as Matplotlib's expressions compute it.
  PyRef rep = count == n ? PyRef::borrow(colors) : repeat_rows(colors, n);
  return py::check(PyObject_GetItem(rep.get(), order_array));
}

// Matplotlib's colour reordering: _facecolors2d and _edgecolors2d.
void set_sorted_colors(PyObject* self, const FaceProjection& p) {
  const Names& n = names();
  const std::size_t faces = p.faces();
  PyRef cface = get(self, n.facecolor3d);
  PyRef cedge = get(self, n.edgecolor3d);
  const Py_ssize_t kf_signed = PyObject_Length(cface.get());
  const Py_ssize_t ke_signed = PyObject_Length(cedge.get());
  if (kf_signed < 0 || ke_signed < 0) py::throw_fetched();
  const std::size_t kf = static_cast<std::size_t>(kf_signed), ke = static_cast<std::size_t>(ke_signed);
  // Lengths of the repeated lists; without edge colours the repeated face list stands for them.
  const std::size_t face_rep = kf == faces ? faces : kf * faces;
  const std::size_t edge_rep = ke == faces ? faces : (ke == 0 ? face_rep : ke * faces);

  PyRef order_array;
  auto order = [&]() -> PyObject* {
    if (!order_array) {
      Py_ssize_t* data = nullptr;
      order_array = np::new_intp_array(static_cast<Py_ssize_t>(faces), &data);
      for (std::size_t s = 0; s < faces; ++s) data[s] = static_cast<Py_ssize_t>(p.order()[s]);
    }
    return order_array.get();
  };

  // An empty face list stays as Matplotlib leaves it: repeated, so a new empty array.
  PyRef face2d = face_rep > 0 ? sorted_colors(cface.get(), kf, p, order()) : repeat_rows(cface.get(), faces);
  set(self, n.facecolors2d, face2d.get());
  // ke == face_rep > 0 implies edge colours of their own (ke > 0).
  PyRef edge2d = ke == face_rep && edge_rep > 0 ? sorted_colors(cedge.get(), ke, p, order())
                                               : PyRef::borrow(cedge.get());
  set(self, n.edgecolors2d, edge2d.get());
}

// Matplotlib's order where faces tie exactly in depth: np.argsort(face_z)[::-1] leaves such ties wherever NumPy's
// default sort puts them, which is no fixed direction where that sort is not stable (AVX-512's is not, even for
// a few dozen values). The order then comes from that very sort, of the same depths (Matplotlib sorts
// `face_z.data` when faces are masked: the masked reductions' data, which depths() holds too).
void follow_numpy_ties(FaceProjection& p) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(p.faces());
  double* data = nullptr;
  PyRef depths = np::new_float64_array(1, &n, &data);
  std::copy(p.depths().begin(), p.depths().end(), data);
  PyRef ascending = np::argsort(depths.get());
  const np::ArrayView v = np::view(ascending.get());
  KORVEX_ASSERT(v.type == np::Type::int64 && v.ndim == 1 && v.shape[0] == n && v.c_contiguous,
                "argsort gives a contiguous intp index per face");
  p.use_ascending_order(reinterpret_cast<const std::ptrdiff_t*>(v.data));
}

// Matplotlib's return value. New reference.
PyRef projection_value(const Artist& a, const FaceProjection& p) {
  const Imports& im = imports();
  if (a.sort_zpos.get() != Py_None) {
    // np.array([[0], [0], [zpos], [1]]) through proj3d._proj_transform_vec (whatever it currently is), [2][0].
    PyRef rows = py::check(Py_BuildValue("[[O][O][O][O]]", im.zero, im.zero, a.sort_zpos.get(), im.one));
    PyRef zvec = py::check(PyObject_CallOneArg(im.numpy_array, rows.get()));
    PyRef transform = py::check(PyObject_GetAttrString(im.proj3d, "_proj_transform_vec"));
    PyRef result = py::check(PyObject_CallFunctionObjArgs(transform.get(), zvec.get(), a.matrix.get(), nullptr));
    PyRef row = py::check(PySequence_GetItem(result.get(), 2));
    return py::check(PySequence_GetItem(row.get(), 0));
  }
  if (p.needs_masking() && !p.any_valid()) return PyRef::borrow(im.masked);
  return np::new_float64_scalar(p.min_z());
}

// What the exact occlusion mode takes from a draw besides what Matplotlib's method leaves: every face's
// projected vertices (x, y, z) and depth in the artist's own face order, and each face's position among the
// closed paths the draw gave the artist. Filled only for closed faces without codes and without a masked vertex;
// otherwise left empty.
struct SceneFaces {
  PyRef xyz;       // (faces x verts, 3) float64
  PyRef depths;    // (faces,) float64
  PyRef position;  // (faces,) int64: face i is the artist's path position[i]
};

void fill_scene_faces(const FaceProjection& p, SceneFaces& scene) {
  const std::size_t faces = p.faces(), verts = p.verts();
  double* xyz = nullptr;
  double* depth = nullptr;
  Py_ssize_t* position = nullptr;
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(faces * verts), 3};
  const Py_ssize_t count = static_cast<Py_ssize_t>(faces);
  PyRef xyz_array = np::new_float64_array(2, shape, &xyz);
  PyRef depth_array = np::new_float64_array(1, &count, &depth);
  PyRef position_array = np::new_intp_array(count, &position);
  const double* xy = p.xy().data();
  const double* z = p.z().data();
  for (std::size_t k = 0; k < faces * verts; ++k) {
    xyz[3 * k] = xy[2 * k];
    xyz[3 * k + 1] = xy[2 * k + 1];
    xyz[3 * k + 2] = z[k];
  }
  std::copy(p.depths().begin(), p.depths().end(), depth);
  for (std::size_t s = 0; s < faces; ++s) position[p.order()[s]] = static_cast<Py_ssize_t>(s);
  scene = {std::move(xyz_array), std::move(depth_array), std::move(position_array)};
}

// The draw; with `scene`, also what the exact occlusion mode takes from it. New reference.
PyRef project(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, SceneFaces* scene) {
  PyObject* original = kept(originals.do_3d_projection, "Poly3DCollection.do_3d_projection");
  auto hand_back = [&] {
    ++handed_back[0];
    return call_with(original, self, args, nargs, kwnames);
  };
  if (nargs != 0 || kwnames != nullptr) return hand_back();
  np::ensure_api();
  map_colors(self);
  Artist a;
  bool readable = false;
  try {
    readable = read_artist(self, a);
  } catch (const py::PyErrorSet&) {
    PyErr_Clear();  // an attribute Matplotlib's method will raise about itself
  }
  if (!readable) return hand_back();
  a.input.keep_z = scene != nullptr;
  ProjectionLease projection;
  projection->run(a.input);
  if (projection->numpy_warns()) return hand_back();
  if (projection->has_ties()) follow_numpy_ties(*projection);
  const bool closed = a.closed && !a.has_codes;
  if (closed) {
    set_closed_paths(self, *projection);
  } else {
    set_other_paths(self, a, *projection);
  }
  set_sorted_colors(self, *projection);
  PyRef value = projection_value(a, *projection);
  if (scene != nullptr && closed && !projection->needs_masking()) fill_scene_faces(*projection, *scene);
  return value;
}

PyObject* do_3d_projection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&]() -> PyObject* { return project(self, args, nargs, kwnames, nullptr).release(); });
}

PyMethodDef do_3d_projection_def = {"do_3d_projection", py::as_cfunction<do_3d_projection>(),
                                    METH_FASTCALL | METH_KEYWORDS, "Perform the 3D projection for this object."};

// ---- Shading ----

// BLAS's dot order for (normals / norms) @ direction: one normal goes to its dot routine, several to its
// matrix-vector routine (read off NumPy's results on x86-64 with FMA, like proj3d's row sums).
poly3d::mpl::DotRule dot_rule(std::size_t normals) {
  return normals == 1 ? poly3d::mpl::DotRule::Fused012 : poly3d::mpl::DotRule::Fused102;
}

// One coordinate of a polygon array.
template <class T>
T element(const char* data, Py_ssize_t offset) {
  T v;
  std::memcpy(&v, data + offset, sizeof v);
  return v;
}

// The normal of one polygon of m rows (an array of float64 or int64 at the given byte strides), with
// _generate_normals' arithmetic: v1 = p[0] - p[m/3] and v2 = p[m/3] - p[2m/3] in the array's own type (int64
// wraps around; a list's rows are then stored as float64), then np.cross in float64. False when left to
// Matplotlib: non-finite vertices (NumPy warns on their differences) or an overflow.
bool normal_of(const np::ArrayView& v, const char* data, Py_ssize_t m, Py_ssize_t row_stride, Py_ssize_t col_stride,
               double* out) {
  const Py_ssize_t rows[3] = {0, m / 3, 2 * m / 3};
  double e[2][3];
  for (int k = 0; k < 2; ++k) {
    for (int c = 0; c < 3; ++c) {
      const Py_ssize_t a = rows[k] * row_stride + c * col_stride, b = rows[k + 1] * row_stride + c * col_stride;
      if (v.type == np::Type::int64) {
        const auto x = static_cast<std::uint64_t>(element<std::int64_t>(data, a));
        const auto y = static_cast<std::uint64_t>(element<std::int64_t>(data, b));
        e[k][c] = static_cast<double>(static_cast<std::int64_t>(x - y));
      } else {
        const double x = element<double>(data, a), y = element<double>(data, b);
        e[k][c] = x - y;
        if (!std::isfinite(x) || !std::isfinite(y) || !std::isfinite(e[k][c])) return false;
      }
    }
  }
  bool warns = false;
  const std::array<double, 3> normal = poly3d::mpl::cross(e[0], e[1], warns);
  std::copy(normal.begin(), normal.end(), out);
  return !warns;
}

// art3d._generate_normals: an (n, M, 3) float64 array, or a list or tuple of (M_i, 3) float64 or int64 arrays
// (whose edge vectors Matplotlib stores as float64 before the cross product). Null (nothing pending) when the
// call is left to Matplotlib: other types (an int array gives int normals there), masked arrays, non-finite
// vertices or an overflow.
PyRef native_normals(PyObject* polygons) {
  auto result = [](std::size_t n, double** data) {
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(n), 3};
    return np::new_float64_array(2, shape, data);
  };
  if (np::is_exact_array(polygons)) {
    const np::ArrayView v = np::view(polygons);
    if (v.ndim != 3 || v.shape[2] != 3 || v.shape[1] < 1 || v.type != np::Type::float64 || !v.native) return {};
    double* out = nullptr;
    PyRef normals = result(static_cast<std::size_t>(v.shape[0]), &out);
    for (Py_ssize_t i = 0; i < v.shape[0]; ++i) {
      if (!normal_of(v, v.data + i * v.strides[0], v.shape[1], v.strides[1], v.strides[2], out + 3 * i)) return {};
    }
    return normals;
  }
  if (!PyList_CheckExact(polygons) && !PyTuple_CheckExact(polygons)) return {};
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(polygons);
  PyObject** items = PySequence_Fast_ITEMS(polygons);
  double* out = nullptr;
  PyRef normals = result(static_cast<std::size_t>(n), &out);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!np::is_exact_array(items[i])) return {};
    const np::ArrayView v = np::view(items[i]);
    if (v.ndim != 2 || v.shape[1] != 3 || v.shape[0] < 1 || !v.native ||
        (v.type != np::Type::float64 && v.type != np::Type::int64)) {
      return {};
    }
    if (!normal_of(v, v.data, v.shape[0], v.strides[0], v.strides[1], out + 3 * i)) return {};
  }
  return normals;
}

constexpr py::Signature kNormalsSig{nullptr, "_generate_normals", {"polygons"}, 1, 1};
constexpr py::Signature kShadeSig{nullptr, "_shade_colors", {"color", "normals", "lightsource"}, 3, 2};

PyObject* generate_normals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&]() -> PyObject* {
    PyObject* original = kept(originals.generate_normals, "_generate_normals");
    py::ParsedArgs parsed;
    if (py::match_fastcall(kNormalsSig, args, nargs, kwnames, parsed)) {
      np::ensure_api();
      PyRef normals = native_normals(parsed[0]);
      if (normals) return normals.release();
    }
    ++handed_back[1];
    return py::check(PyObject_Vectorcall(original, args, static_cast<std::size_t>(nargs), kwnames)).release();
  });
}

// The light direction: the default light's (computed once by Matplotlib) or the given one's.
bool light_direction(PyObject* lightsource, double (&d)[3]) {
  static double default_direction[3];
  static bool have_default = false;
  if (lightsource == nullptr || lightsource == Py_None) {
    if (!have_default) {
      PyRef type = py::check(PyObject_GetAttrString(imports().colors, "LightSource"));
      PyRef kwargs = py::check(Py_BuildValue("{s:i,s:d}", "azdeg", 225, "altdeg", 19.4712));
      PyRef light = py::check(PyObject_Call(type.get(), imports().empty_tuple, kwargs.get()));
      if (!light_direction(light.get(), default_direction)) return false;
      have_default = true;
    }
    std::copy(default_direction, default_direction + 3, d);
    return true;
  }
  PyRef direction = get(lightsource, names().direction);
  if (!np::is_exact_array(direction.get())) return false;
  const np::ArrayView v = np::view(direction.get());
  if (v.ndim != 1 || v.shape[0] != 3 || v.type != np::Type::float64 || !v.native) return false;
  for (int c = 0; c < 3; ++c) std::memcpy(&d[c], v.data + c * v.strides[0], sizeof(double));
  return true;
}

// art3d._shade_colors with the normals as a float64 (n, 3) array. Null (nothing pending) when left to Matplotlib.
PyRef native_shade(PyObject* color, PyObject* normals_object, PyObject* lightsource) {
  const Rows normals = float64_rows(normals_object);
  if (!normals.ok || normals.cols != 3) return {};
  double direction[3];
  if (!light_direction(lightsource, direction)) return {};
  const std::size_t n = static_cast<std::size_t>(normals.rows);
  std::vector<double> k(3 * n), factors(n);
  for (std::size_t i = 0; i < n; ++i) {
    for (int c = 0; c < 3; ++c) k[3 * i + c] = normals.at(static_cast<Py_ssize_t>(i), c);
  }
  // No number among the dot products: Matplotlib returns the colours unchanged (its own code says how).
  if (!poly3d::mpl::shade_factors(k.data(), n, direction, dot_rule(n), factors.data())) return {};

  PyRef to_rgba = py::check(PyObject_GetAttrString(imports().colors, "to_rgba_array"));
  PyRef rgba = py::check(PyObject_CallOneArg(to_rgba.get(), color));
  const Rows c = float64_rows(rgba.get());
  if (!c.ok || c.cols != 4) return {};
  const std::size_t k_rows = static_cast<std::size_t>(c.rows);
  // Broadcasting (n, 1) * (k, 4), as NumPy would; anything else raises in Matplotlib's code.
  if (!(k_rows == n || k_rows == 1 || n == 1)) return {};
  const std::size_t rows = std::max(n, k_rows);
  double* out = nullptr;
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(rows), 4};
  PyRef shaded = np::new_float64_array(2, shape, &out);
  for (std::size_t r = 0; r < rows; ++r) {
    const double f = factors[n == 1 ? 0 : r];
    const Py_ssize_t src = static_cast<Py_ssize_t>(k_rows == 1 ? 0 : r);
    for (int ch = 0; ch < 3; ++ch) out[4 * r + ch] = f * c.at(src, ch);
    out[4 * r + 3] = c.at(src, 3);
  }
  // Matplotlib's result is a masked array (Normalize returns one) without a mask.
  return np::view_as(shaded.get(), reinterpret_cast<PyTypeObject*>(imports().masked_array));
}

PyObject* shade_colors(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&]() -> PyObject* {
    PyObject* original = kept(originals.shade_colors, "_shade_colors");
    py::ParsedArgs parsed;
    if (py::match_fastcall(kShadeSig, args, nargs, kwnames, parsed)) {
      np::ensure_api();
      PyRef shaded = native_shade(parsed[0], parsed[1], parsed[2]);
      if (shaded) return shaded.release();
    }
    ++handed_back[2];
    return py::check(PyObject_Vectorcall(original, args, static_cast<std::size_t>(nargs), kwnames)).release();
  });
}

}  // namespace

// ---- Module functions ----

void add_art3d_fallback_counts(PyObject* counts) {
  for (std::size_t i = 0; i < handed_back.size(); ++i) {
    PyRef value = py::check(PyLong_FromUnsignedLongLong(handed_back[i]));
    if (PyDict_SetItemString(counts, kHandedBackNames[i], value.get()) < 0) py::throw_fetched();
  }
}

PyObject* keep_art3d_originals(PyObject*, PyObject* mapping) {
  return py::guard([&]() -> PyObject* {
    if (!PyDict_Check(mapping)) throw py::PyError{PyExc_TypeError, "keep_art3d_originals() takes a dict"};
    const char* keys[] = {"do_3d_projection", "_generate_normals", "_shade_colors", "average", "min", "max"};
    std::array<PyObject*, 6> found{};
    for (std::size_t i = 0; i < found.size(); ++i) {
      found[i] = PyDict_GetItemString(mapping, keys[i]);
      if (found[i] == nullptr) {
        PyErr_SetString(PyExc_KeyError, keys[i]);
        throw py::PyErrorSet{};
      }
    }
    imports();  // Matplotlib is importable now; fail here rather than at the first draw
    PyObject** slots[] = {&originals.do_3d_projection, &originals.generate_normals, &originals.shade_colors,
                          &originals.zsort[0],         &originals.zsort[1],         &originals.zsort[2]};
    for (std::size_t i = 0; i < found.size(); ++i) {
      Py_INCREF(found[i]);
      Py_XSETREF(*slots[i], found[i]);
    }
    Py_RETURN_NONE;
  });
}

PyObject* poly3d_method(PyObject*, PyObject* cls) {
  return py::guard([&]() -> PyObject* {
    if (!PyType_Check(cls)) throw py::PyError{PyExc_TypeError, "poly3d_method() takes a class"};
    return py::check(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(cls), &do_3d_projection_def)).release();
  });
}

PyObject* poly3d_scene_projection(PyObject*, PyObject* collection) {
  return py::guard([&]() -> PyObject* {
    static PyObject* const name = intern("do_3d_projection");
    PyRef method = py::check(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(collection)), name));
    const bool native = Py_IS_TYPE(method.get(), &PyMethodDescr_Type) &&
                        reinterpret_cast<PyMethodDescrObject*>(method.get())->d_method == &do_3d_projection_def;
    SceneFaces scene;
    PyRef value = native ? project(collection, nullptr, 0, nullptr, &scene)
                         : py::check(PyObject_CallMethodNoArgs(collection, name));
    if (!scene.xyz) return py::check(PyTuple_Pack(4, value.get(), Py_None, Py_None, Py_None)).release();
    return py::check(PyTuple_Pack(4, value.get(), scene.xyz.get(), scene.depths.get(), scene.position.get()))
        .release();
  });
}

PyObject* art3d_generate_normals(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return generate_normals(module, args, nargs, kwnames);
}

PyObject* art3d_shade_colors(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return shade_colors(module, args, nargs, kwnames);
}

}  // namespace korvex::mpl
