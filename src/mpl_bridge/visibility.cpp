// korvex_mpl._native's binding of the exact visibility order (visibility/visibility.hpp), for the exact occlusion
// mode of a 3D axes.
//
// visibility_order() takes a scene already projected (screen x, y and depth of every polygon vertex, segment end
// and marker centre, as plain arrays the Python side gathered from the artists) and returns its fragments back to
// front. fragment_runs() cuts that sequence into runs of one drawing group each and builds what a run draws: the
// Path objects of a collection run (whole polygons closed as Matplotlib closes them, the fill of each fragment,
// the stroke of a fragment's original outline only, segments chained into polylines), a polyline with NaN breaks
// for a Line2D, or the marker indices for a marker collection. Everything per fragment is done here; the Python
// side works per run.
//
// Everything here needs the interpreter lock; the core runs on the pool while the calling thread holds it, and
// its workers touch no Python object.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mpl_bridge/functions.hpp"
#include "mpl_bridge/paths.hpp"
#include "parallel/parallel_for.hpp"
#include "py_common/argparse.hpp"
#include "py_common/errors.hpp"
#include "py_common/numpy_api.hpp"
#include "visibility/visibility.hpp"

namespace korvex::mpl {
namespace {

namespace np = py::numpy;
using py::PyRef;

// ---- Arguments ----

// A C-contiguous, native-order 1-D or 2-D array of one element type: `rows` rows of `cols` elements (cols 1 for
// 1-D arrays).
template <class T>
struct Table {
  const T* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 1;
};

template <class T>
Table<T> table(PyObject* object, const char* name, np::Type type, const char* type_name, Py_ssize_t cols) {
  const std::string shape = cols == 0 ? "(n,)" : "(n, " + std::to_string(cols) + ")";
  auto fail = [&]() -> Table<T> {
    throw py::PyError{PyExc_TypeError, std::string(name) + " must be a C-contiguous " + type_name +
                                           " array of shape " + shape};
  };
  if (!np::is_array(object)) return fail();
  const np::ArrayView v = np::view(object);
  if (v.type != type || !v.native || !v.c_contiguous || !v.aligned) return fail();
  if (cols == 0 ? v.ndim != 1 : (v.ndim != 2 || v.shape[1] != cols)) return fail();
  Table<T> t;
  t.data = reinterpret_cast<const T*>(v.data);
  t.rows = static_cast<std::size_t>(v.shape[0]);
  t.cols = cols == 0 ? 1 : static_cast<std::size_t>(cols);
  return t;
}

Table<double> floats(PyObject* object, const char* name, Py_ssize_t cols) {
  return table<double>(object, name, np::Type::float64, "float64", cols);
}

Table<std::int64_t> ints(PyObject* object, const char* name) {
  return table<std::int64_t>(object, name, np::Type::int64, "int64", 0);
}

double number(PyObject* object, const char* name) {
  if (!PyFloat_Check(object) && !PyLong_Check(object)) {
    throw py::PyError{PyExc_TypeError, std::string(name) + " must be a real number"};
  }
  const double v = PyFloat_AsDouble(object);
  if (v == -1.0 && PyErr_Occurred() != nullptr) py::throw_fetched();
  return v;
}

std::vector<std::int64_t> iota(std::size_t n) {
  std::vector<std::int64_t> ids(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = static_cast<std::int64_t>(i);
  return ids;
}

PyRef new_intp(std::size_t n, Py_ssize_t** data) { return np::new_intp_array(static_cast<Py_ssize_t>(n), data); }

// ---- visibility_order ----

constexpr py::Signature kOrderSig{
    nullptr,
    "visibility_order",
    {"polygons", "offsets", "depths", "segments", "markers", "marker_radius", "cap_factor"},
    7,
    7};

PyObject* visibility_order_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const py::ParsedArgs a = py::parse_fastcall(kOrderSig, args, nargs, kwnames);
  np::ensure_api();
  const Table<double> polygons = floats(a[0], "polygons", 3);
  const Table<std::int64_t> offsets = ints(a[1], "offsets");
  const Table<double> depths = floats(a[2], "depths", 0);
  const Table<double> segments = floats(a[3], "segments", 6);
  const Table<double> markers = floats(a[4], "markers", 3);
  visibility::Options options;
  options.marker_radius = number(a[5], "marker_radius");
  options.cap_factor = number(a[6], "cap_factor");

  const std::size_t count = offsets.rows == 0 ? 0 : offsets.rows - 1;
  for (std::size_t i = 0; i < offsets.rows; ++i) {
    const std::int64_t o = offsets.data[i];
    const bool ok = i == 0 ? o == 0 : (o >= offsets.data[i - 1] && static_cast<std::uint64_t>(o) <= polygons.rows);
    if (!ok) {
      throw py::PyError{PyExc_ValueError, "offsets must start at 0 and rise to at most the number of vertices"};
    }
  }
  if (depths.rows != count) {
    throw py::PyError{PyExc_ValueError, "depths must hold one depth per polygon (len(offsets) - 1)"};
  }

  const std::vector<std::int64_t> polygon_ids = iota(count);
  const std::vector<std::int64_t> segment_ids = iota(segments.rows);
  const std::vector<std::int64_t> marker_ids = iota(markers.rows);
  const visibility::Scene scene{{polygons.data, 3 * polygons.rows}, {offsets.data, offsets.rows},
                                polygon_ids,                        {depths.data, depths.rows},
                                {segments.data, 6 * segments.rows}, segment_ids,
                                {markers.data, 3 * markers.rows},   marker_ids};
  // One workspace and result per thread, reused by later draws (the core calls back into nothing, so a call
  // cannot begin on this thread while another is using them).
  thread_local visibility::Workspace workspace;
  thread_local visibility::Result r;
  visibility::order(scene, options, parallel::current_pool(), workspace, r);

  // Item numbers over the whole scene: polygons, then segments, then markers.
  const std::size_t base[3] = {0, count, count + segments.rows};
  const std::size_t fragments = r.fragments.size();
  const std::size_t vertices = r.original.size();
  unsigned char* kind = nullptr;
  Py_ssize_t* item = nullptr;
  bool* whole = nullptr;
  Py_ssize_t* starts = nullptr;
  double* xy = nullptr;
  unsigned char* original = nullptr;
  PyRef kinds = np::new_uint8_array(static_cast<Py_ssize_t>(fragments), &kind);
  PyRef items = new_intp(fragments, &item);
  PyRef wholes = np::new_bool_array(static_cast<Py_ssize_t>(fragments), &whole);
  PyRef start_array = new_intp(fragments + 1, &starts);
  const Py_ssize_t xy_shape[2] = {static_cast<Py_ssize_t>(vertices), 2};
  PyRef xy_array = np::new_float64_array(2, xy_shape, &xy);
  PyRef originals = np::new_uint8_array(static_cast<Py_ssize_t>(vertices), &original);
  for (std::size_t f = 0; f < fragments; ++f) {
    const visibility::Fragment& fr = r.fragments[f];
    kind[f] = static_cast<unsigned char>(fr.kind);
    item[f] = static_cast<Py_ssize_t>(base[static_cast<int>(fr.kind)] + fr.source);
    whole[f] = fr.whole;
    starts[f] = static_cast<Py_ssize_t>(fr.first);
  }
  starts[fragments] = static_cast<Py_ssize_t>(vertices);
  std::copy(r.xy.begin(), r.xy.end(), xy);
  std::copy(r.original.begin(), r.original.end(), original);
  PyRef stats = py::check(Py_BuildValue("{s:O,s:n,s:n,s:n,s:n}", "capped", r.capped ? Py_True : Py_False, "cuts",
                                        static_cast<Py_ssize_t>(r.cuts), "pieces",
                                        static_cast<Py_ssize_t>(r.pieces), "unplaced",
                                        static_cast<Py_ssize_t>(r.unplaced), "forced",
                                        static_cast<Py_ssize_t>(r.forced)));
  return py::check(PyTuple_Pack(7, kinds.get(), items.get(), wholes.get(), start_array.get(), xy_array.get(),
                                originals.get(), stats.get()))
      .release();
}

// ---- fragment_runs ----

// What a drawing group draws with; the values of group_kinds.
enum class GroupKind : unsigned char { Collection = 0, Polyline = 1, Markers = 2 };

// What a path of a collection run is; the values of a run's roles.
// A seam pad is a fragment's cut edges, for the caller to stroke in the face colour: antialiased fragments of one
// polygon that meet along a cut leave a seam where each covers the edge pixels partly.
enum class Role : unsigned char { Whole = 0, FragmentFill = 1, FragmentOutline = 2, Stroke = 3, SeamPad = 4 };

// Matplotlib's objects, looked up on first need and kept for the life of the process.
struct PathKit {
  PyTypeObject* type;
  PyObject* empty_tuple;
  PyObject* one;
  std::uint8_t moveto, lineto, closepoly;
  // Attribute names in the order Path._fast_from_codes_and_verts sets them.
  PyObject* names[6];
};

const PathKit& path_kit() {
  static const PathKit kit = [] {
    PathKit k{};
    PyRef module = py::check(PyImport_ImportModule("matplotlib.path"));
    PyRef type = py::check(PyObject_GetAttrString(module.get(), "Path"));
    if (!PyType_Check(type.get())) throw py::PyError{PyExc_TypeError, "matplotlib.path.Path must be a class"};
    auto code = [&](const char* name) {
      PyRef value = py::check(PyObject_GetAttrString(type.get(), name));
      const long c = PyLong_AsLong(value.get());
      if (c == -1 && PyErr_Occurred() != nullptr) py::throw_fetched();
      return static_cast<std::uint8_t>(c);
    };
    k.moveto = code("MOVETO");
    k.lineto = code("LINETO");
    k.closepoly = code("CLOSEPOLY");
    k.type = reinterpret_cast<PyTypeObject*>(type.release());
    k.empty_tuple = py::check(PyTuple_New(0)).release();
    k.one = py::check(PyLong_FromLong(1)).release();
    const char* names[6] = {"_vertices", "_codes", "_readonly", "_should_simplify", "_simplify_threshold",
                            "_interpolation_steps"};
    for (int i = 0; i < 6; ++i) {
      k.names[i] = PyUnicode_InternFromString(names[i]);
      if (k.names[i] == nullptr) py::throw_fetched();
    }
    return k;
  }();
  return kit;
}

// Paths of one call: vertex arrays are views into one buffer per run; codes arrays are shared by every path of
// the same shape. Fragment paths are small, so, as Matplotlib decides for paths under 128 vertices or with
// CLOSEPOLY, they are never simplified.
class PathMaker {
 public:
  PathMaker() : kit_(path_kit()) {
    PyRef matplotlib = py::check(PyImport_ImportModule("matplotlib"));
    PyRef rc = py::check(PyObject_GetAttrString(matplotlib.get(), "rcParams"));
    PyRef key = py::check(PyUnicode_FromString("path.simplify_threshold"));
    threshold_ = py::check(PyObject_GetItem(rc.get(), key.get()));
  }

  // A closed polygon path over n vertices at `vertices` (n + 1 rows, the last repeating the first).
  PyRef closed(PyRef vertices, std::size_t n) { return make(std::move(vertices), closed_codes(n)); }
  // An open path: one polyline (no codes), or several (MOVETO at each of `starts`).
  PyRef open(PyRef vertices, std::size_t rows, const std::size_t* starts, std::size_t count) {
    if (count <= 1) return make(std::move(vertices), PyRef::borrow(Py_None));
    unsigned char* code = nullptr;
    PyRef codes = np::new_uint8_array(static_cast<Py_ssize_t>(rows), &code);
    std::fill(code, code + rows, kit_.lineto);
    for (std::size_t k = 0; k < count; ++k) code[starts[k]] = kit_.moveto;
    return make(std::move(vertices), std::move(codes));
  }

 private:
  PyRef closed_codes(std::size_t n) {
    auto found = codes_.find(n);
    if (found != codes_.end()) return PyRef::borrow(found->second.get());
    unsigned char* code = nullptr;
    PyRef codes = np::new_uint8_array(static_cast<Py_ssize_t>(n + 1), &code);
    code[0] = kit_.moveto;
    std::fill(code + 1, code + n, kit_.lineto);
    code[n] = kit_.closepoly;
    PyRef out = PyRef::borrow(codes.get());
    codes_.emplace(n, std::move(codes));
    return out;
  }

  PyRef make(PyRef vertices, PyRef codes) {
    PyRef path = py::check(kit_.type->tp_new(kit_.type, kit_.empty_tuple, nullptr));
    PyRef dict = py::check(PyDict_New());
    PyObject* values[6] = {vertices.get(), codes.get(), Py_False, Py_False, threshold_.get(), kit_.one};
    for (int k = 0; k < 6; ++k) {
      if (PyDict_SetItem(dict.get(), kit_.names[k], values[k]) < 0) py::throw_fetched();
    }
    if (PyObject_GenericSetDict(path.get(), dict.get(), nullptr) < 0) py::throw_fetched();
    return path;
  }

  const PathKit& kit_;
  PyRef threshold_;  // rcParams['path.simplify_threshold'], as every new Path gets it
  std::unordered_map<std::size_t, PyRef> codes_;
};

// The sequence visibility_order() returned, checked.
struct Fragments {
  const unsigned char* kind;
  const std::int64_t* item;
  const bool* whole;
  const std::int64_t* starts;
  const double* xy;
  const unsigned char* original;
  std::size_t count;
  std::size_t vertices;
};

Fragments read_fragments(PyObject* object) {
  if (!PyTuple_Check(object) || PyTuple_GET_SIZE(object) < 6) {
    throw py::PyError{PyExc_TypeError, "fragments must be the tuple visibility_order() returns"};
  }
  const auto kinds = table<unsigned char>(PyTuple_GET_ITEM(object, 0), "fragment kinds", np::Type::uint8, "uint8", 0);
  const auto items = ints(PyTuple_GET_ITEM(object, 1), "fragment items");
  const auto wholes = table<bool>(PyTuple_GET_ITEM(object, 2), "fragment flags", np::Type::boolean, "bool", 0);
  const auto starts = ints(PyTuple_GET_ITEM(object, 3), "fragment starts");
  const Table<double> xy = floats(PyTuple_GET_ITEM(object, 4), "fragment vertices", 2);
  const auto original =
      table<unsigned char>(PyTuple_GET_ITEM(object, 5), "fragment edges", np::Type::uint8, "uint8", 0);
  const std::size_t n = kinds.rows;
  bool ok = items.rows == n && wholes.rows == n && starts.rows == n + 1 && original.rows == xy.rows &&
            starts.data[0] == 0 && static_cast<std::uint64_t>(starts.data[n]) == xy.rows;
  for (std::size_t f = 0; ok && f < n; ++f) {
    ok = kinds.data[f] <= 2 && starts.data[f + 1] >= starts.data[f] + 1 && items.data[f] >= 0;
  }
  if (!ok) throw py::PyError{PyExc_ValueError, "fragments are not consistent"};
  return {kinds.data, items.data, wholes.data, starts.data, xy.data, original.data, n, xy.rows};
}

// What `strokes` says of a group's strokes (and markers): they paint their edge colour and nothing else (no dash
// gaps of another colour, path effects or filters); they lie in one plane (their order where they meet is a tie:
// any is as right as another).
enum StrokeFlags : unsigned char { kPlainPaint = 1, kOnePlane = 2 };

// The drawing values of every item (its artist's face and edge colour, line width and antialiasing), per group
// whether its fills are hatched and its StrokeFlags, and the width of a seam pad (points).
struct Style {
  Table<double> face;
  Table<double> edge;
  Table<double> widths;
  Table<double> antialiased;
  Table<unsigned char> hatched;
  Table<unsigned char> strokes;
  double pad_width = 0.0;
  // A segment no longer than this across x or across y (projected units) may be level or upright on screen,
  // which the renderer's snapping looks for.
  double level = 0.0;
};

// A vector kept per thread from one call to the next, so that its memory stays mapped and warm from one draw to
// the next; taken for the length of one call (a nested call would take an empty one).
template <class T>
class Reused {
 public:
  explicit Reused(std::vector<T>& slot) : slot_(slot), v_(std::exchange(slot, {})) { v_.clear(); }
  ~Reused() {
    if (v_.capacity() > slot_.capacity()) slot_ = std::move(v_);
  }
  Reused(const Reused&) = delete;
  Reused& operator=(const Reused&) = delete;
  std::vector<T>& operator*() noexcept { return v_; }

 private:
  std::vector<T>& slot_;
  std::vector<T> v_;
};

class RunBuilder {
 public:
  // `known` is a list of Path objects and `known_index` the one of each item (-1: none), for whole polygons
  // whose path the artist already made as it would be made here.
  RunBuilder(const Fragments& f, const Table<std::int64_t>& groups, const Table<unsigned char>& kinds,
             const Table<std::int64_t>& chains, PyObject* known, const Table<std::int64_t>& known_index,
             const Table<double>& margins, const Style& style)
      : f_(f),
        groups_(groups),
        kinds_(kinds),
        chains_(chains),
        known_(known),
        known_index_(known_index),
        margins_(margins),
        style_(style) {}

  // Runs of one group each. A fragment joins the latest run of its group when everything painted since then
  // either shares no pixel with it (see touch()) or is paint of its colour (see same_paint()): painting it
  // earlier then leaves the same pixels, and the run count, which costs a renderer call each, drops. Within its
  // run, a segment goes next to the segments of its line that it meets, by the same rule, so that they are drawn
  // as one polyline, with joins, as the line's artist draws them (see place()).
  PyRef build() {
    std::vector<Run> runs;
    next_.assign(f_.count, kNone);
    prev_.assign(f_.count, kNone);
    for (std::size_t f = 0; f < f_.count; ++f) {
      const std::int64_t group = group_of(f);
      std::size_t target = runs.size();
      std::size_t tested = 0;
      for (std::size_t r = runs.size(); r-- > 0;) {
        if (runs[r].group == group) {
          target = r;
          break;
        }
        bool apart = true;
        for (std::size_t other = runs[r].head; other != kNone; other = next_[other]) {
          if (++tested > kLookBack || (touch(f, other) && !same_paint(f, other))) {
            apart = false;
            break;
          }
        }
        if (!apart) break;
      }
      if (target == runs.size()) {
        runs.push_back({group, f, f, f_.kind[f] == static_cast<unsigned char>(visibility::Kind::Segment)});
        if (static_cast<GroupKind>(kinds_.data[group]) != GroupKind::Polyline) place(runs.back(), target, f, true);
        continue;
      }
      Run& run = runs[target];
      run.uniform = run.uniform && same_paint(f, run.head);
      if (run.uniform || in_item_order(group)) {
        link_after(run, run.tail, f);  // put in the lines' order when the run is made
        if (run.uniform) note(target, f);
      } else {
        place(run, target, f, false);
      }
    }
    PyRef list = py::check(PyList_New(static_cast<Py_ssize_t>(runs.size())));
    std::vector<std::size_t> fragments;
    for (std::size_t r = 0; r < runs.size(); ++r) {
      fragments.clear();
      for (std::size_t g = runs[r].head; g != kNone; g = next_[g]) fragments.push_back(g);
      if (runs[r].uniform || in_item_order(runs[r].group)) {
        // A line's run is one path, strokes of one paint leave the same pixels in any order, and strokes in one
        // plane are tied where they meet: in the order of their items, a line's segments follow one another and
        // join as its artist joins them.
        std::stable_sort(fragments.begin(), fragments.end(),
                         [this](std::size_t a, std::size_t b) { return f_.item[a] < f_.item[b]; });
      }
      PyRef run = make_run(runs[r].group, fragments);
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), run.release());
    }
    return list;
  }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  // How many fragments a fragment is tested against on its way back to a run of its group.
  static constexpr std::size_t kLookBack = 512;
  // How many fragments a segment may pass on its way to the segments of its line, in a run not all of one paint.
  static constexpr std::size_t kChainLookBack = 64;

  // Whether a run of the group is drawn in the order of its items: a line's (one path), or one of strokes in one
  // plane.
  bool in_item_order(std::int64_t group) const {
    return static_cast<GroupKind>(kinds_.data[group]) == GroupKind::Polyline ||
           (style_.strokes.data[group] & kOnePlane) != 0;
  }

  // A run: its group and its fragments, in painting order, linked from head to tail by next_ and prev_;
  // `uniform` while they are all strokes of one colour.
  struct Run {
    std::int64_t group;
    std::size_t head, tail;
    bool uniform;
  };

  void link_after(Run& run, std::size_t at, std::size_t f) {
    prev_[f] = at;
    next_[f] = next_[at];
    if (next_[at] != kNone) prev_[next_[at]] = f;
    next_[at] = f;
    if (run.tail == at) run.tail = f;
  }
  void link_before(Run& run, std::size_t at, std::size_t f) {
    next_[f] = at;
    prev_[f] = prev_[at];
    if (prev_[at] != kNone) next_[prev_[at]] = f;
    prev_[at] = f;
    if (run.head == at) run.head = f;
  }

  // Puts fragment f (not yet linked, unless `alone`: a new run of f only) into `run` (run number r). A segment
  // goes right after the segment of its chain that ends where f starts, when that is in the run and every
  // fragment after it is apart from f or of its paint (see same_paint()); else right before the segment of its
  // chain that starts where f ends (a line whose far end comes first), when that is in the run and every
  // fragment after the polyline it begins is so; else, and anything else, at the end. Those segments are
  // fragments of the items before and after f's (a line's segments are consecutive items), the latest made of
  // each.
  void place(Run& run, std::size_t r, std::size_t f, bool alone) {
    const bool segment = f_.kind[f] == static_cast<unsigned char>(visibility::Kind::Segment);
    if (alone || !segment) {
      if (!alone) link_after(run, run.tail, f);
      if (segment) note(r, f);
      return;
    }
    const auto item = static_cast<std::size_t>(f_.item[f]);
    // Whether f may pass every fragment from `from` to the run's end.
    auto may_pass = [&](std::size_t from) {
      if (run.uniform) return true;  // f is of the run's paint too
      std::size_t passed = 0;
      for (std::size_t g = from; g != kNone; g = next_[g]) {
        if (++passed > kChainLookBack || (!same_paint(f, g) && touch(f, g))) return false;
      }
      return true;
    };
    const std::size_t p = item > 0 && item - 1 < latest_.size() ? latest_[item - 1] : kNone;
    const std::size_t n = item + 1 < latest_.size() ? latest_[item + 1] : kNone;
    if (p != kNone && run_of_[p] == r && continues(f, p) && may_pass(next_[p])) {
      link_after(run, p, f);
    } else if (n != kNone && run_of_[n] == r && continues(n, f)) {
      // Past the polyline that n begins (drawn as one path with f, whatever their order).
      std::size_t end = n;
      while (next_[end] != kNone && continues(next_[end], end)) end = next_[end];
      if (may_pass(next_[end])) {
        link_before(run, n, f);
      } else {
        link_after(run, run.tail, f);
      }
    } else {
      link_after(run, run.tail, f);
    }
    note(r, f);
  }
  // Segment fragment f is the latest of its item, in run r.
  void note(std::size_t r, std::size_t f) {
    if (latest_.empty()) {
      latest_.assign(chains_.rows, kNone);
      run_of_.assign(f_.count, kNone);
    }
    const auto item = static_cast<std::size_t>(f_.item[f]);
    if (item < latest_.size()) latest_[item] = f;
    run_of_[f] = r;
  }

  struct Box {
    double x0, x1, y0, y1;
  };
  static bool overlap(const Box& a, const Box& b) noexcept {
    return !(a.x1 < b.x0 || b.x1 < a.x0 || a.y1 < b.y0 || b.y1 < a.y0);
  }
  // Whether fragments f and g may share a pixel: their boxes grown by their margins overlap, and, for two
  // segments, they come closer than their margins together (a stroke paints within its margin of its segment).
  bool touch(std::size_t f, std::size_t g) {
    if (!overlap(box(f), box(g))) return false;
    const auto segment = static_cast<unsigned char>(visibility::Kind::Segment);
    if (f_.kind[f] != segment || f_.kind[g] != segment) return true;
    const double* a = vertex(f_.starts[f]);
    const double* b = vertex(f_.starts[f] + 1);
    const double* c = vertex(f_.starts[g]);
    const double* d = vertex(f_.starts[g] + 1);
    const double reach = margins_.data[f_.item[f]] + margins_.data[f_.item[g]];
    return !(segment_distance(a, b, c, d) > reach);  // NaN: touching
  }
  // The least distance between segments ab and cd.
  static double segment_distance(const double* a, const double* b, const double* c, const double* d) noexcept {
    auto cross = [](const double* o, const double* p, const double* q) {
      return (p[0] - o[0]) * (q[1] - o[1]) - (p[1] - o[1]) * (q[0] - o[0]);
    };
    const double d1 = cross(a, b, c), d2 = cross(a, b, d), d3 = cross(c, d, a), d4 = cross(c, d, b);
    if (((d1 > 0 && d2 < 0) || (d1 < 0 && d2 > 0)) && ((d3 > 0 && d4 < 0) || (d3 < 0 && d4 > 0))) return 0.0;
    auto to_segment = [](const double* p, const double* u, const double* v) {
      const double ex = v[0] - u[0], ey = v[1] - u[1], len2 = ex * ex + ey * ey;
      double t = len2 > 0.0 ? ((p[0] - u[0]) * ex + (p[1] - u[1]) * ey) / len2 : 0.0;
      t = std::clamp(t, 0.0, 1.0);
      return std::hypot(p[0] - (u[0] + t * ex), p[1] - (u[1] + t * ey));
    };
    return std::min({to_segment(a, c, d), to_segment(b, c, d), to_segment(c, a, b), to_segment(d, a, b)});
  }
  // Every fragment's box, made on first need (a scene of one group never needs them).
  const Box& box(std::size_t f) {
    if (boxes_.empty()) {
      boxes_.resize(f_.count);
      for (std::size_t k = 0; k < f_.count; ++k) boxes_[k] = box_of(k);
    }
    return boxes_[f];
  }
  // A fragment's screen box grown by its item's margin. NaN vertices make it overlap everything.
  Box box_of(std::size_t f) const {
    const auto item = static_cast<std::uint64_t>(f_.item[f]);
    if (item >= margins_.rows) throw py::PyError{PyExc_ValueError, "margins must hold one margin per item"};
    const double m = margins_.data[item];
    Box b{std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
          std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity()};
    bool finite = m == m;
    for (std::int64_t k = f_.starts[f]; k < f_.starts[f + 1]; ++k) {
      const double* p = vertex(k);
      finite = finite && std::isfinite(p[0]) && std::isfinite(p[1]);
      b = {std::min(b.x0, p[0]), std::max(b.x1, p[0]), std::min(b.y0, p[1]), std::max(b.y1, p[1])};
    }
    if (!finite) {
      const double inf = std::numeric_limits<double>::infinity();
      return {-inf, inf, -inf, inf};
    }
    return {b.x0 - m, b.x1 + m, b.y0 - m, b.y1 + m};
  }

  std::int64_t group_of(std::size_t fragment) const {
    const auto item = static_cast<std::uint64_t>(f_.item[fragment]);
    if (item >= groups_.rows) throw py::PyError{PyExc_ValueError, "groups must hold one group per item"};
    const std::int64_t g = groups_.data[item];
    if (g < 0 || static_cast<std::uint64_t>(g) >= kinds_.rows || kinds_.data[g] > 2) {
      throw py::PyError{PyExc_ValueError, "every group must be an index into group_kinds, of a known kind"};
    }
    return g;
  }
  std::int64_t chain_of(std::size_t fragment) const {
    const auto item = static_cast<std::uint64_t>(f_.item[fragment]);
    if (item >= chains_.rows) throw py::PyError{PyExc_ValueError, "chains must hold one chain per item"};
    return chains_.data[item];
  }
  // The artist's own path for a whole polygon, or null.
  PyObject* known_path(std::size_t fragment) const {
    const auto item = static_cast<std::uint64_t>(f_.item[fragment]);
    if (item >= known_index_.rows) throw py::PyError{PyExc_ValueError, "path_index must hold one index per item"};
    const std::int64_t k = known_index_.data[item];
    if (k < 0) return nullptr;
    if (k >= PyList_GET_SIZE(known_)) throw py::PyError{PyExc_ValueError, "path_index must index into paths"};
    return PyList_GET_ITEM(known_, k);
  }
  const double* vertex(std::int64_t k) const { return f_.xy + 2 * k; }
  // Whether segment fragment f continues fragment p: a segment of the same chain that ends where f starts.
  bool continues(std::size_t f, std::size_t p) const {
    return f_.kind[p] == f_.kind[f] && chain_of(p) == chain_of(f) && same(f_.starts[p + 1] - 1, f_.starts[f]);
  }
  bool same(std::int64_t a, std::int64_t b) const {
    return vertex(a)[0] == vertex(b)[0] && vertex(a)[1] == vertex(b)[1];
  }

  PyRef make_run(std::int64_t group, const std::vector<std::size_t>& fragments) {
    const auto kind = static_cast<GroupKind>(kinds_.data[group]);
    PyRef group_object = py::check(PyLong_FromLongLong(group));
    if (kind == GroupKind::Markers) {
      Py_ssize_t* item = nullptr;
      PyRef items = new_intp(fragments.size(), &item);
      for (std::size_t k = 0; k < fragments.size(); ++k) item[k] = static_cast<Py_ssize_t>(f_.item[fragments[k]]);
      return py::check(PyTuple_Pack(4, group_object.get(), items.get(), Py_None, Py_None));
    }
    if (kind == GroupKind::Polyline) return polyline_run(group_object.get(), fragments);
    return collection_run(group, group_object.get(), fragments);
  }

  // The segments of a Line2D as one polyline: consecutive fragments that meet are joined, others are separated
  // by a NaN row (a break in Matplotlib's line).
  PyRef polyline_run(PyObject* group, const std::vector<std::size_t>& fragments) {
    std::vector<double> out;
    std::vector<Py_ssize_t> items;
    double last[2] = {std::numeric_limits<double>::quiet_NaN(), 0.0};
    for (const std::size_t f : fragments) {
      if (f_.kind[f] != static_cast<unsigned char>(visibility::Kind::Segment)) {
        throw py::PyError{PyExc_ValueError, "a polyline group holds segments only"};
      }
      const std::int64_t a = f_.starts[f], b = f_.starts[f + 1] - 1;
      const double* p = vertex(a);
      const double* q = vertex(b);
      items.push_back(static_cast<Py_ssize_t>(f_.item[f]));
      if (p[0] == last[0] && p[1] == last[1]) {
        out.insert(out.end(), {q[0], q[1]});
      } else if (q[0] == last[0] && q[1] == last[1]) {
        out.insert(out.end(), {p[0], p[1]});
      } else {
        if (!out.empty()) out.insert(out.end(), {std::nan(""), std::nan("")});
        out.insert(out.end(), {p[0], p[1], q[0], q[1]});
      }
      last[0] = out[out.size() - 2];
      last[1] = out[out.size() - 1];
    }
    double* data = nullptr;
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(out.size() / 2), 2};
    PyRef xy = np::new_float64_array(2, shape, &data);
    std::copy(out.begin(), out.end(), data);
    Py_ssize_t* item = nullptr;
    PyRef item_array = new_intp(items.size(), &item);
    std::copy(items.begin(), items.end(), item);
    return py::check(PyTuple_Pack(4, group, item_array.get(), Py_None, xy.get()));
  }

  // One path of a collection run, laid out before the paths are made.
  struct Planned {
    std::size_t row;   // first row in the buffer
    std::size_t rows;
    std::size_t n;     // vertices of a closed path
    std::uint32_t starts_at;    // subpath starts of an open path (relative): subpaths_[starts_at, + start_count)
    std::uint32_t start_count;
    Role role;
    Py_ssize_t item;
    PyObject* path = nullptr;  // the artist's own, borrowed from the list
  };

  // The edges of fragment polygon (vertices first .. first + n - 1) whose flag is `flag`, as one open path of
  // chains (each starting after an edge of the other kind), or the closed loop when every edge qualifies.
  void add_edges(std::vector<Planned>& plan, std::vector<double>& rows, std::int64_t first, std::size_t n,
                 unsigned char flag, Role role, Py_ssize_t item) {
    const unsigned char* flags = f_.original + first;
    auto is = [&](std::size_t k) { return (flags[k] != 0 ? 1 : 0) == flag; };
    std::size_t count = 0, begin_at = n;
    for (std::size_t k = 0; k < n; ++k) {
      if (!is(k)) continue;
      ++count;
      if (begin_at == n && !is((k + n - 1) % n)) begin_at = k;
    }
    if (count == 0) return;
    auto put = [&](std::size_t k) {
      const double* p = vertex(first + static_cast<std::int64_t>(k % n));
      rows.insert(rows.end(), {p[0], p[1]});
    };
    Planned edges{rows.size() / 2, 0, 0, static_cast<std::uint32_t>(subpaths_.size()), 0, role, item};
    auto start = [&](std::size_t at) {
      subpaths_.push_back(at);
      ++edges.start_count;
    };
    if (count == n) {
      for (std::size_t k = 0; k <= n; ++k) put(k);
      edges.rows = n + 1;
      start(0);
    } else {
      bool open = false;
      for (std::size_t step = 0; step < n; ++step) {
        const std::size_t k = (begin_at + step) % n;
        if (!is(k)) {
          open = false;
          continue;
        }
        if (!open) {
          start(edges.rows);
          put(k);
          ++edges.rows;
          open = true;
        }
        put(k + 1);
        ++edges.rows;
      }
    }
    plan.push_back(std::move(edges));
  }

  // A collection run: a list of paths with the item and role of each.
  PyRef collection_run(std::int64_t group_index, PyObject* group, const std::vector<std::size_t>& fragments) {
    const bool hatched = style_.hatched.data[group_index] != 0;
    // Lay out every path's rows in one buffer first, then make the views and paths.
    thread_local std::vector<Planned> plan_slot;
    thread_local std::vector<double> rows_slot;
    Reused<Planned> plan_lease(plan_slot);
    Reused<double> rows_lease(rows_slot);
    std::vector<Planned>& plan = *plan_lease;
    std::vector<double>& rows = *rows_lease;
    plan.reserve(fragments.size());
    subpaths_.clear();
    batch_of_ = std::numeric_limits<std::size_t>::max();
    auto put = [&](const double* p) { rows.insert(rows.end(), {p[0], p[1]}); };
    std::size_t previous = f_.count;  // the run's fragment before f
    for (const std::size_t f : fragments) {
      const std::size_t before = std::exchange(previous, f);
      const std::int64_t first = f_.starts[f], last = f_.starts[f + 1];
      const std::size_t n = static_cast<std::size_t>(last - first);
      const auto item = static_cast<Py_ssize_t>(f_.item[f]);
      const auto kind = static_cast<visibility::Kind>(f_.kind[f]);
      if (kind == visibility::Kind::Marker) {
        throw py::PyError{PyExc_ValueError, "a collection group holds polygons and segments only"};
      }
      if (kind == visibility::Kind::Segment) {
        stroke(plan, rows, f, before);
        continue;
      }
      if (n < 3) continue;  // nothing to fill
      if (f_.whole[f]) {
        if (PyObject* own = known_path(f)) {
          plan.push_back({0, 0, n, 0, 0, Role::Whole, item, own});
          continue;
        }
        plan.push_back({rows.size() / 2, n + 1, n, 0, 0, Role::Whole, item});
        for (std::int64_t k = first; k < last; ++k) put(vertex(k));
        put(vertex(first));
        continue;
      }
      plan.push_back({rows.size() / 2, n + 1, n, 0, 0, Role::FragmentFill, item});
      for (std::int64_t k = first; k < last; ++k) put(vertex(k));
      put(vertex(first));
      // The original edges, to stroke in the artist's edge colour, and the cut edges, to pad the seam with; each
      // only where it paints something (a path without fill or stroke changes no pixel).
      if (outlined(item)) add_edges(plan, rows, first, n, 1, Role::FragmentOutline, item);
      if (padded(item, hatched)) add_edges(plan, rows, first, n, 0, Role::SeamPad, item);
    }

    double* buffer = nullptr;
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(rows.size() / 2), 2};
    PyRef block = np::new_float64_array(2, shape, &buffer);
    std::copy(rows.begin(), rows.end(), buffer);
    PyRef paths = py::check(PyList_New(static_cast<Py_ssize_t>(plan.size())));
    Py_ssize_t* item = nullptr;
    unsigned char* role = nullptr;
    PyRef items = new_intp(plan.size(), &item);
    PyRef roles = np::new_uint8_array(static_cast<Py_ssize_t>(plan.size()), &role);
    // The paths are acyclic; pausing the cyclic collector spares it walking everything alive every few hundred
    // new objects.
    const CollectorPause pause;
    for (std::size_t p = 0; p < plan.size(); ++p) {
      const Planned& pl = plan[p];
      item[p] = pl.item;
      role[p] = static_cast<unsigned char>(pl.role);
      if (pl.path != nullptr) {
        Py_INCREF(pl.path);
        PyList_SET_ITEM(paths.get(), static_cast<Py_ssize_t>(p), pl.path);
        continue;
      }
      const Py_ssize_t view_shape[2] = {static_cast<Py_ssize_t>(pl.rows), 2};
      PyRef vertices = np::float64_view(block.get(), buffer + 2 * pl.row, 2, view_shape);
      PyRef path = pl.role == Role::Whole || pl.role == Role::FragmentFill
                       ? paths_.closed(std::move(vertices), pl.n)
                       : paths_.open(std::move(vertices), pl.rows, subpaths_.data() + pl.starts_at, pl.start_count);
      PyList_SET_ITEM(paths.get(), static_cast<Py_ssize_t>(p), path.release());
    }
    PyRef drawn = colors(plan, hatched, paths.get());
    return py::check(PyTuple_Pack(4, group, items.get(), roles.get(), drawn.get()));
  }

  // A segment fragment f of a collection run (`before`: the run's fragment before it) into the plan. It extends
  // the previous path when that ends with a stroke of the same chain ending where f starts (a polyline, as its
  // artist draws it). Else it may go into the previous path as a subpath of its own (one renderer path for many
  // strokes costs far less than a path each): where the previous path is a stroke of the same style, every
  // subpath of which is apart from f (boxes grown by the margins: no pixel painted by both), and neither f nor
  // any subpath is one the renderer's snapping would take alone (a path is snapped only when all its segments
  // are level or upright, so a batch with one that is not would move the pixels of one that is). Then the pixels
  // are those of separate paths. Else f starts a path.
  void stroke(std::vector<Planned>& plan, std::vector<double>& rows, std::size_t f, std::size_t before) {
    const std::int64_t first = f_.starts[f], last = f_.starts[f + 1];
    const auto item = static_cast<Py_ssize_t>(f_.item[f]);
    const double* a = vertex(first);
    const double* b = vertex(last - 1);
    auto put = [&](const double* p) { rows.insert(rows.end(), {p[0], p[1]}); };
    const bool batch = !plan.empty() && batch_of_ == plan.size() - 1;  // subs_ holds plan.back()'s subpaths
    const bool joins = !plan.empty() && plan.back().role == Role::Stroke && before < f_.count && continues(f, before);
    if (joins && batch && subs_.size() > 1) {
      // The last subpath grows: it leaves the batch unless it stays apart from the others.
      const Box grown = join(subs_.back().box, box(f));
      bool apart = true;
      for (std::size_t k = 0; apart && k + 1 < subs_.size(); ++k) apart = !overlap(grown, subs_[k].box);
      if (!apart) {
        const Sub leaving = subs_.back();
        Planned& batch_path = plan.back();
        const std::size_t leaving_rows = batch_path.row + batch_path.rows - leaving.row;
        batch_path.rows -= leaving_rows;
        subpaths_.pop_back();
        if (--batch_path.start_count == 1) {  // one subpath left: a plain polyline
          subpaths_.pop_back();
          batch_path.start_count = 0;
        }
        plan.push_back({leaving.row, leaving_rows, 0, 0, 0, Role::Stroke, leaving.item});
        batch_of_ = plan.size() - 1;
        subs_.assign(1, leaving);
      }
    }
    if (joins) {
      put(b);
      ++plan.back().rows;
      if (batch_of_ == plan.size() - 1) subs_.back().box = join(subs_.back().box, box(f));
      return;
    }
    const bool unsnapped = std::abs(b[0] - a[0]) >= style_.level && std::abs(b[1] - a[1]) >= style_.level;
    if (batch && batchable_ && unsnapped && subs_.size() < kSubpaths && same_stroke(plan.back().item, item)) {
      bool apart = true;
      for (std::size_t k = 0; apart && k < subs_.size(); ++k) apart = !overlap(box(f), subs_[k].box);
      if (apart) {
        Planned& batch_path = plan.back();
        if (batch_path.start_count == 0) {
          batch_path.starts_at = static_cast<std::uint32_t>(subpaths_.size());
          batch_path.start_count = 1;
          subpaths_.push_back(0);
        }
        subpaths_.push_back(rows.size() / 2 - batch_path.row);
        ++batch_path.start_count;
        subs_.push_back({rows.size() / 2, item, box(f)});
        batch_path.rows += 2;
        put(a);
        put(b);
        return;
      }
    }
    plan.push_back({rows.size() / 2, 2, 0, 0, 0, Role::Stroke, item});
    batch_of_ = plan.size() - 1;
    batchable_ = unsnapped;
    subs_.assign(1, {rows.size() / 2, item, box(f)});
    put(a);
    put(b);
  }

  static Box join(const Box& a, const Box& b) noexcept {
    return {std::min(a.x0, b.x0), std::max(a.x1, b.x1), std::min(a.y0, b.y0), std::max(a.y1, b.y1)};
  }
  // Whether fragments f and g are strokes or markers of one colour (of groups whose strokes and markers paint
  // only their edge colour: kPlainPaint). Painted over each other in either order, they leave the same colour: paint of
  // colour c and coverage a takes a pixel p to p (1 - a) + c a, and two take it to
  // p (1 - a)(1 - b) + c (1 - (1 - a)(1 - b)) either way (to within the renderer's rounding of a step).
  bool same_paint(std::size_t f, std::size_t g) {
    const auto polygon = static_cast<unsigned char>(visibility::Kind::Polygon);
    if (f_.kind[f] == polygon || f_.kind[g] == polygon) return false;
    if ((style_.strokes.data[group_of(f)] & style_.strokes.data[group_of(g)] & kPlainPaint) == 0) return false;
    const double* ea = style_.edge.data + 4 * f_.item[f];
    const double* eb = style_.edge.data + 4 * f_.item[g];
    return ea[3] > 0.0 && std::equal(ea, ea + 4, eb);
  }
  // Whether strokes of items a and b are drawn alike: edge colour, width and antialiasing.
  bool same_stroke(Py_ssize_t a, Py_ssize_t b) const {
    const double* ea = style_.edge.data + 4 * a;
    const double* eb = style_.edge.data + 4 * b;
    return std::equal(ea, ea + 4, eb) && style_.widths.data[a] == style_.widths.data[b] &&
           style_.antialiased.data[a] == style_.antialiased.data[b];
  }

  // Whether a fragment of `item` strokes its original edges: its edge is visible and has a width.
  bool outlined(Py_ssize_t item) const {
    const double alpha = style_.edge.data[4 * item + 3], width = style_.widths.data[item];
    return !(alpha == 0.0) && width != 0.0;
  }
  // Whether a fragment of `item` pads its cut edges: only antialiased, opaque fragments get pads; a hatch would
  // show the pad as a gap in its lines.
  bool padded(Py_ssize_t item, bool hatched) const {
    return style_.face.data[4 * item + 3] == 1.0 && style_.antialiased.data[item] != 0.0 && !hatched;
  }

  // What draw_path_collection takes besides the paths, one row per path: face colours (none for outlines,
  // pads and strokes), edge colours (none for fragment fills, the face colour for pads), line widths (zero
  // where nothing is stroked, the pad width for pads) and antialiasing. A run without a stroke gets no edge
  // colours, one without a visible face no face colours. Returns (paths, face, edge, widths, antialiased).
  PyRef colors(const std::vector<Planned>& plan, bool hatched, PyObject* paths) const {
    const std::size_t m = plan.size();
    double* face = nullptr;
    double* edge = nullptr;
    double* width = nullptr;
    bool* aa = nullptr;
    const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(m), 4};
    PyRef face_array = np::new_float64_array(2, shape, &face);
    PyRef edge_array = np::new_float64_array(2, shape, &edge);
    const Py_ssize_t count = static_cast<Py_ssize_t>(m);
    PyRef width_array = np::new_float64_array(1, &count, &width);
    PyRef aa_array = np::new_bool_array(count, &aa);
    bool any_width = false, any_face = false;
    for (std::size_t p = 0; p < m; ++p) {
      const Py_ssize_t item = plan[p].item;
      const Role role = plan[p].role;
      const double* f = style_.face.data + 4 * item;
      const double* e = style_.edge.data + 4 * item;
      double* fo = face + 4 * p;
      double* eo = edge + 4 * p;
      aa[p] = style_.antialiased.data[item] != 0.0;
      double w = style_.widths.data[item];
      if (role == Role::FragmentFill) {
        std::fill(eo, eo + 4, 0.0);
      } else if (role == Role::SeamPad) {
        if (padded(item, hatched)) {
          std::copy(f, f + 4, eo);
        } else {
          std::fill(eo, eo + 4, 0.0);
        }
        w = style_.pad_width;
      } else {
        std::copy(e, e + 4, eo);
      }
      if (role == Role::FragmentOutline || role == Role::Stroke || role == Role::SeamPad) {
        std::fill(fo, fo + 4, 0.0);
      } else {
        std::copy(f, f + 4, fo);
      }
      if (role == Role::FragmentFill || eo[3] == 0.0) w = 0.0;
      width[p] = w;
      any_width = any_width || w != 0.0;
      any_face = any_face || fo[3] > 0.0;
    }
    const Py_ssize_t none[2] = {0, 4};
    double* unused = nullptr;
    if (!any_width) edge_array = np::new_float64_array(2, none, &unused);
    if (!any_face) face_array = np::new_float64_array(2, none, &unused);
    return py::check(
        PyTuple_Pack(5, paths, face_array.get(), edge_array.get(), width_array.get(), aa_array.get()));
  }

  const Fragments& f_;
  const Table<std::int64_t>& groups_;
  const Table<unsigned char>& kinds_;
  const Table<std::int64_t>& chains_;
  // The links of the runs' fragments (build()); per item its latest segment fragment, per fragment its run
  // (place(), made on first need).
  std::vector<std::size_t> next_, prev_, latest_, run_of_;
  PyObject* known_;
  const Table<std::int64_t>& known_index_;
  const Table<double>& margins_;
  const Style& style_;
  std::vector<Box> boxes_;  // made on the first test of two fragments' boxes
  std::vector<std::size_t> subpaths_;  // the subpath starts of a run's open paths
  // The strokes in one path (stroke()): the plan's entry they are in, where each begins in the rows, its item and
  // its box; and whether the entry may take more (no subpath is one snapping would take alone).
  struct Sub {
    std::size_t row;
    Py_ssize_t item;
    Box box;
  };
  static constexpr std::size_t kSubpaths = 64;  // at most, so that the boxes compared with stay few
  std::size_t batch_of_ = std::numeric_limits<std::size_t>::max();
  bool batchable_ = false;
  std::vector<Sub> subs_;
  PathMaker paths_;
};

constexpr py::Signature kRunsSig{
    nullptr,
    "fragment_runs",
    {"fragments", "groups", "group_kinds", "chains", "paths", "path_index", "margins", "style"},
    8,
    8};

PyObject* fragment_runs_impl(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const py::ParsedArgs a = py::parse_fastcall(kRunsSig, args, nargs, kwnames);
  np::ensure_api();
  const Fragments f = read_fragments(a[0]);
  const Table<std::int64_t> groups = ints(a[1], "groups");
  const auto kinds = table<unsigned char>(a[2], "group_kinds", np::Type::uint8, "uint8", 0);
  const Table<std::int64_t> chains = ints(a[3], "chains");
  if (!PyList_Check(a[4])) throw py::PyError{PyExc_TypeError, "paths must be a list"};
  const Table<std::int64_t> path_index = ints(a[5], "path_index");
  const Table<double> margins = floats(a[6], "margins", 0);
  if (!PyTuple_Check(a[7]) || PyTuple_GET_SIZE(a[7]) != 8) {
    throw py::PyError{PyExc_TypeError,
                      "style must be a tuple (face, edge, widths, antialiased, hatched, strokes, pad_width, level)"};
  }
  Style style;
  style.face = floats(PyTuple_GET_ITEM(a[7], 0), "face", 4);
  style.edge = floats(PyTuple_GET_ITEM(a[7], 1), "edge", 4);
  style.widths = floats(PyTuple_GET_ITEM(a[7], 2), "widths", 0);
  style.antialiased = floats(PyTuple_GET_ITEM(a[7], 3), "antialiased", 0);
  style.hatched = table<unsigned char>(PyTuple_GET_ITEM(a[7], 4), "hatched", np::Type::uint8, "uint8", 0);
  style.strokes = table<unsigned char>(PyTuple_GET_ITEM(a[7], 5), "strokes", np::Type::uint8, "uint8", 0);
  style.pad_width = number(PyTuple_GET_ITEM(a[7], 6), "pad_width");
  style.level = number(PyTuple_GET_ITEM(a[7], 7), "level");
  const std::size_t items = groups.rows;
  if (margins.rows != items) throw py::PyError{PyExc_ValueError, "margins must hold one margin per item"};
  if (style.face.rows != items || style.edge.rows != items || style.widths.rows != items ||
      style.antialiased.rows != items) {
    throw py::PyError{PyExc_ValueError, "face, edge, widths and antialiased must hold one row per item"};
  }
  if (style.hatched.rows != kinds.rows || style.strokes.rows != kinds.rows) {
    throw py::PyError{PyExc_ValueError, "hatched and strokes must hold one flag per group"};
  }
  RunBuilder builder(f, groups, kinds, chains, a[4], path_index, margins, style);
  return builder.build().release();
}

}  // namespace

PyObject* visibility_order(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] { return visibility_order_impl(args, nargs, kwnames); });
}

PyObject* fragment_runs(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return py::guard([&] { return fragment_runs_impl(args, nargs, kwnames); });
}

}  // namespace korvex::mpl
