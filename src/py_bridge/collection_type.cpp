// PyPoly3DCollection: the Python face of a polygon collection.
//
// An instance holds the native collection state followed by the borrow flag: 0 when no method runs on the
// instance, -1 while a modifying method runs, n > 0 while n getters run. The interpreter lock orders every access
// to the flag, so a taken flag can only be met through re-entry on the same thread (an argument's __float__
// calling back into the instance).
//
// The class's __new__ can be replaced from Python (it is a heap type), and object.__new__ then makes instances
// whose memory is zero-filled and whose state was never built. `built` tells them apart: methods refuse such an
// instance and the destructor leaves its state alone.
#include <Python.h>

#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/prefetch.hpp"
#include "py_common/argparse.hpp"
#include "poly3d/collection.hpp"
#include "py_bridge/convert.hpp"
#include "py_common/errors.hpp"
#include "py_bridge/types.hpp"

namespace korvex::py {
namespace {

using poly3d::Poly3DCollection;
using poly3d::RgbaColor;

constexpr const char* kClass = "PyPoly3DCollection";
constexpr const char* kTypeName = "builtins.PyPoly3DCollection";

constexpr Signature kNewSig{kClass, "__new__", {"vertices", "facecolors", "edgecolors"}, 3, 1};
constexpr Signature kProjectSig{kClass, "do_3d_projection", {"matrix"}, 1, 1};
constexpr Signature kZsortSig{kClass, "set_zsort", {"zsort"}, 1, 1};
constexpr Signature kZposSig{kClass, "set_sort_zpos", {"zpos"}, 1, 1};
constexpr Signature kShadeSig{kClass, "shade_colors", {"x", "y", "z"}, 3, 3};

struct CollectionObject {
  PyObject_HEAD
  alignas(Poly3DCollection) unsigned char storage[sizeof(Poly3DCollection)];
  bool built;  // the state in `storage` exists; false in the zero-filled memory of a bypassed constructor
  Py_ssize_t borrow_flag;

  Poly3DCollection& state() noexcept { return *std::launder(reinterpret_cast<Poly3DCollection*>(storage)); }
};

// Holds the instance for one method call; released on every path.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(CollectionObject* object) : object_(object) {
    if (object_->borrow_flag != 0) throw PyError{PyExc_RuntimeError, "Already borrowed"};
    object_->borrow_flag = -1;
  }
  ~ExclusiveBorrow() { object_->borrow_flag = 0; }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  CollectionObject* object_;
};

class SharedBorrow {
 public:
  explicit SharedBorrow(CollectionObject* object) : object_(object) {
    if (object_->borrow_flag == -1) throw PyError{PyExc_RuntimeError, "Already mutably borrowed"};
    ++object_->borrow_flag;
  }
  ~SharedBorrow() { --object_->borrow_flag; }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  CollectionObject* object_;
};

// `self` as an instance whose state was built; `method` names the method for the message.
CollectionObject* checked_self(PyObject* self, const char* method) {
  PyObject* type = require_collection_type();
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(type))) {
    throw_conversion_error(self, "PyPoly3DCollection");
  }
  auto* object = reinterpret_cast<CollectionObject*>(self);
  if (!object->built) {
    throw PyError{PyExc_TypeError, std::string(kClass) + "." + method + "() called on an uninitialized object: " +
                                       kClass + ".__new__() was not called"};
  }
  return object;
}

// ---- construction ---------------------------------------------------------------------------------------------

// A 2-D float64 array given to the constructor; anything else is refused under its own type name. The first call
// of the process imports NumPy, which runs Python code; the array is described after that.
numpy::ArrayView constructor_array(PyObject* object) {
  if (!numpy::is_array(object) || numpy::view(object).ndim != 2 || !numpy::has_float64_dtype(object)) {
    throw_conversion_error(object, "PyArray<T, D>");
  }
  return numpy::view(object);
}

std::size_t checked_count(const numpy::ArrayView& array) {
  const auto rows = static_cast<std::size_t>(array.shape[0]);
  const auto cols = static_cast<std::size_t>(array.shape[1]);
  if (cols != 0 && rows > (static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double)) / cols) throw std::bad_alloc();
  return rows * cols;
}

double element(const numpy::ArrayView& array, std::size_t r, std::size_t c) {
  double value;
  std::memcpy(&value,
              array.data + static_cast<Py_ssize_t>(r) * array.strides[0] +
                  static_cast<Py_ssize_t>(c) * array.strides[1],
              sizeof(double));
  return value;
}

// Copies an array of any strides into row-major storage, rows outer and columns inner.
void copy_rows(const numpy::ArrayView& array, double* out) {
  const auto rows = static_cast<std::size_t>(array.shape[0]);
  const auto cols = static_cast<std::size_t>(array.shape[1]);
  if (array.c_contiguous) {
    if (rows * cols != 0) std::memcpy(out, array.data, rows * cols * sizeof(double));
    return;
  }
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) out[r * cols + c] = element(array, r, c);
  }
}

// New references to the items of a list, taken with no Python code running in between.
std::vector<PyRef> list_items(PyObject* list) {
  const Py_ssize_t n = PyList_GET_SIZE(list);
  std::vector<PyRef> items;
  items.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) items.push_back(PyRef::borrow(PyList_GET_ITEM(list, i)));
  return items;
}

poly3d::PolygonSet read_polygons(PyObject* vertices) {
  if (!PyList_Check(vertices)) throw_conversion_error(vertices, "PyList");
  // The checks can run Python code (the first NumPy use imports NumPy through builtins.__import__), which may
  // change the list and drop its items: the arrays are read from a snapshot that owns them.
  const std::vector<PyRef> items = list_items(vertices);
  // First every element is checked and measured, so the flat buffer is allocated once. Only the first check can
  // run Python code, and it does so before any array is described.
  std::vector<numpy::ArrayView> arrays;
  arrays.reserve(items.size());
  std::size_t total = 0;
  for (const PyRef& item : items) {
    arrays.push_back(constructor_array(item.get()));
    const std::size_t count = checked_count(arrays.back());
    if (count > static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double) - total) throw std::bad_alloc();
    total += count;
  }
  poly3d::PolygonSet polygons;
  polygons.reserve(arrays.size(), total);
  for (const numpy::ArrayView& array : arrays) {
    double* out = polygons.add(static_cast<std::size_t>(array.shape[0]), static_cast<std::size_t>(array.shape[1]));
    copy_rows(array, out);
  }
  return polygons;
}

// One colour per row: component k is element (r, k) below the column count and 1.0 above it; columns past the
// fourth are ignored. Omitted or None gives the single colour opaque black.
std::vector<RgbaColor> read_colors(PyObject* object) {
  if (object == nullptr || object == Py_None) return {RgbaColor{0.0, 0.0, 0.0, 1.0}};
  const numpy::ArrayView array = constructor_array(object);
  const auto rows = static_cast<std::size_t>(array.shape[0]);
  const auto cols = static_cast<std::size_t>(array.shape[1]);
  std::vector<RgbaColor> colors(rows, RgbaColor{1.0, 1.0, 1.0, 1.0});
  const std::size_t used = cols < 4 ? cols : 4;
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t k = 0; k < used; ++k) colors[r][k] = element(array, r, k);
  }
  return colors;
}

PyObject* collection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guard([&] {
    const ParsedArgs parsed = parse_tuple_dict(kNewSig, args, kwargs);
    // The keyword values are borrowed from a dict that Python code run by the conversions could change.
    const PyRef vertices = PyRef::borrow(parsed[0]);
    const PyRef face = PyRef::borrow(parsed[1]);
    const PyRef edge = PyRef::borrow(parsed[2]);
    poly3d::PolygonSet polygons = read_polygons(vertices.get());
    std::vector<RgbaColor> facecolors = read_colors(face.get());
    std::vector<RgbaColor> edgecolors = read_colors(edge.get());
    Poly3DCollection state(std::move(polygons), std::move(facecolors), std::move(edgecolors));

    allocfunc alloc = type->tp_alloc != nullptr ? type->tp_alloc : PyType_GenericAlloc;
    PyObject* self = alloc(type, 0);
    if (self == nullptr) throw_fetched();
    auto* object = reinterpret_cast<CollectionObject*>(self);
    new (object->storage) Poly3DCollection(std::move(state));
    object->built = true;
    object->borrow_flag = 0;
    return self;
  });
}

void collection_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<CollectionObject*>(self);
  if (object->built) guard_unraisable(self, [&] { object->state().~Poly3DCollection(); });
  type->tp_free(self);
  Py_DECREF(type);
}

// ---- methods --------------------------------------------------------------------------------------------------

PyObject* do_3d_projection(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    CollectionObject* object = checked_self(self, "do_3d_projection");
    ExclusiveBorrow borrow(object);
    const ParsedArgs parsed = parse_fastcall(kProjectSig, args, nargs, kwnames);
    const numpy::ArrayView array = convert_arg("matrix", [&] { return to_float64_array(parsed[0], 2); });
    const MatrixArg matrix(array);
    const double result = object->state().do_3d_projection(matrix.view());
    return check(PyFloat_FromDouble(result)).release();
  });
}

PyObject* get_sorted_segments_2d(PyObject* self, PyObject*) {
  return guard([&] {
    CollectionObject* object = checked_self(self, "get_sorted_segments_2d");
    SharedBorrow borrow(object);
    const Poly3DCollection& state = object->state();
    const std::vector<std::size_t>& order = state.sort_order();
    const std::size_t n = order.size();
    PyObject* raw = PyList_New(static_cast<Py_ssize_t>(n));
    if (raw == nullptr) api_call_failed();
    PyRef list = PyRef::steal(raw);
    if (n == 0) return list.release();
    // The order is a permutation of the segments, so the room they need is summed in segment order.
    const std::size_t count = state.segment_count();
    std::size_t room = 0;
    for (std::size_t k = 0; k < count; ++k) room += numpy::ArrayBlock::room_for(state.segment(k).rows * 16);
    numpy::ArrayBlock block(room);
    // The outlines go into the block's slots first, in a loop of plain copies: drawing order jumps about the
    // outline store, and without calls in between the processor overlaps those reads.
    constexpr std::size_t kAhead = 16;
    std::size_t offset = 0;
    for (std::size_t p = 0; p < n; ++p) {
      if (p + kAhead < n && order[p + kAhead] < count) prefetch(state.segment(order[p + kAhead]).xy);
      const std::size_t k = order[p];
      if (k >= count) index_out_of_bounds(k, count);
      const poly3d::SegmentRef segment = state.segment(k);
      const std::size_t need = numpy::ArrayBlock::room_for(segment.rows * 16);
      if (need > room - offset) index_out_of_bounds(offset + need, room);  // only if the order repeated a segment
      double* slot = block.slot_data(offset);
      for (std::size_t r = 0; r < segment.rows; ++r) std::memcpy(slot + 2 * r, segment.xy + 2 * r, 16);
      offset += need;
    }
    for (std::size_t p = 0; p < n; ++p) {
      PyRef array = block.new_matrix(state.segment(order[p]).rows, 2);  // an (rows, 2) array of doubles
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(p), array.release());
    }
    return list.release();
  });
}

PyObject* colors_array(const std::vector<RgbaColor>& colors) {
  double* data = nullptr;
  PyRef array = new_matrix(colors.size(), 4, &data);
  if (!colors.empty()) std::memcpy(data, colors.data(), colors.size() * sizeof(RgbaColor));
  return array.release();
}

PyObject* get_sorted_facecolors(PyObject* self, PyObject*) {
  return guard([&] {
    CollectionObject* object = checked_self(self, "get_sorted_facecolors");
    SharedBorrow borrow(object);
    return colors_array(object->state().facecolors());
  });
}

PyObject* get_sorted_edgecolors(PyObject* self, PyObject*) {
  return guard([&] {
    CollectionObject* object = checked_self(self, "get_sorted_edgecolors");
    SharedBorrow borrow(object);
    return colors_array(object->state().edgecolors());
  });
}

PyObject* set_zsort(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    CollectionObject* object = checked_self(self, "set_zsort");
    ExclusiveBorrow borrow(object);
    const ParsedArgs parsed = parse_fastcall(kZsortSig, args, nargs, kwnames);
    const std::string_view text = convert_arg("zsort", [&] { return to_utf8(parsed[0]); });
    const std::optional<poly3d::ZSortMode> mode = poly3d::parse_zsort(text);
    if (!mode) throw PyError{PyExc_ValueError, "Invalid zsort method: " + std::string(text)};
    object->state().set_zsort(*mode);
    Py_RETURN_NONE;
  });
}

PyObject* set_sort_zpos(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    CollectionObject* object = checked_self(self, "set_sort_zpos");
    ExclusiveBorrow borrow(object);
    const ParsedArgs parsed = parse_fastcall(kZposSig, args, nargs, kwnames);
    const double zpos = convert_arg("zpos", [&] { return to_double(parsed[0]); });
    object->state().set_sort_zpos(zpos);
    Py_RETURN_NONE;
  });
}

PyObject* shade_colors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&] {
    CollectionObject* object = checked_self(self, "shade_colors");
    ExclusiveBorrow borrow(object);
    const ParsedArgs parsed = parse_fastcall(kShadeSig, args, nargs, kwnames);
    const double x = convert_arg("x", [&] { return to_double(parsed[0]); });
    const double y = convert_arg("y", [&] { return to_double(parsed[1]); });
    const double z = convert_arg("z", [&] { return to_double(parsed[2]); });
    object->state().shade_colors(x, y, z);
    Py_RETURN_NONE;
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"do_3d_projection", as_cfunction<do_3d_projection>(), kFast,
     "do_3d_projection($self, matrix)\n--\n\nPerform 3D projection for the collection"},
    {"get_sorted_segments_2d", as_cfunction<get_sorted_segments_2d>(), METH_NOARGS,
     "get_sorted_segments_2d($self)\n--\n\nGet the sorted segments in 2D projection space"},
    {"get_sorted_facecolors", as_cfunction<get_sorted_facecolors>(), METH_NOARGS,
     "get_sorted_facecolors($self)\n--\n\nGet sorted face colors"},
    {"get_sorted_edgecolors", as_cfunction<get_sorted_edgecolors>(), METH_NOARGS,
     "get_sorted_edgecolors($self)\n--\n\nGet sorted edge colors"},
    {"set_zsort", as_cfunction<set_zsort>(), kFast, "set_zsort($self, zsort)\n--\n\nSet Z-sort method"},
    {"set_sort_zpos", as_cfunction<set_sort_zpos>(), kFast,
     "set_sort_zpos($self, zpos)\n--\n\nSet the position used for Z-sorting"},
    {"shade_colors", as_cfunction<shade_colors>(), kFast,
     "shade_colors($self, x, y, z)\n--\n\nShade colors based on light direction"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* type_object = nullptr;

}  // namespace

PyObject* collection_type() {
  if (type_object != nullptr) return type_object;
  static char doc[] = "Python wrapper for Poly3DCollection";
  type_object = make_class(kTypeName, static_cast<int>(sizeof(CollectionObject)), doc, collection_dealloc, methods,
                           collection_new);
  return type_object;
}

PyObject* require_collection_type() {
  PyObject* type = collection_type();
  if (type == nullptr) {
    PyErr_PrintEx(0);
    throw InternalFault(std::string("failed to create type object for ") + kClass);
  }
  return type;
}

}  // namespace korvex::py
