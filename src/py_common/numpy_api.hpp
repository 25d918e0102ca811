// The few things the module needs from NumPy, behind plain functions.
//
// The NumPy C API table is looked up once, at the first array operation of the process (never at import), from
// NumPy's own core extension module for the NumPy at hand, and kept until the process ends. Only numpy_api.cpp
// includes NumPy's headers. Every function here needs the interpreter lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "py_common/py_ref.hpp"

namespace korvex::py::numpy {

// Looks the API table up if that has not happened yet. Throws InternalFault "Failed to import NumPy module" or
// "Failed to get NumPy API capsule".
void ensure_api();

// The object is a NumPy array (exact type or subclass).
bool is_array(PyObject* object);

// The element types the native code reads; everything else (complex, long double, object, strings, dates, user
// types) is `other`.
enum class Type : unsigned char {
  boolean, int8, uint8, int16, uint16, int32, uint32, int64, uint64, float16, float32, float64, other,
};

// Plain description of an array argument; `object` is borrowed from the caller's argument.
struct ArrayView {
  PyObject* object = nullptr;
  Type type = Type::other;
  bool native = true;  // elements in the machine's byte order
  const char* data = nullptr;
  int ndim = 0;
  const Py_ssize_t* shape = nullptr;
  const Py_ssize_t* strides = nullptr;  // bytes
  bool c_contiguous = false;
  bool f_contiguous = false;
  bool aligned = false;
};

// The object is an array of exactly NumPy's array type (no subclass).
bool is_exact_array(PyObject* object);

// A NumPy scalar (an instance of np.generic) of a type the native code reads: its type, and its value's bytes
// copied into `storage`. False for anything else.
bool scalar_value(PyObject* object, Type& type, unsigned char (&storage)[16]);

// The view of an object known to be an array (is_array).
ArrayView view(PyObject* array);

// The array's dtype is float64 (the very descriptor, or one NumPy deems equivalent).
bool has_float64_dtype(PyObject* array);

// str() of the array's dtype and of float64, for messages.
PyRef dtype_str(PyObject* array);
PyRef float64_str();

// New, owned, writable, C-ordered arrays of uninitialised data; `data` receives the buffer. A failure prints
// NumPy's error and raises the internal fault "Python API call failed".
PyRef new_float64_array(int ndim, const Py_ssize_t* shape, double** data);
PyRef new_bool_array(Py_ssize_t length, bool** data);
PyRef new_int64_array(int ndim, const Py_ssize_t* shape, std::int64_t** data);

// A new np.float64 scalar.
PyRef new_float64_scalar(double value);

// The transpose of an array, a view (new reference; throws on failure).
PyRef transpose(PyObject* array);

// array.view(subtype): a view of the same data as an instance of an array subclass (runs its
// __array_finalize__). New reference; throws.
PyRef view_as(PyObject* array, PyTypeObject* subtype);

// array.reshape(shape) in C order: a view where NumPy can make one, else a copy (new reference; throws).
PyRef reshape(PyObject* array, int ndim, const Py_ssize_t* shape);

// ---- Used by the polygon collection bridge ----

// A C-ordered, writable float64 view of `data`, which lies inside `base`'s buffer; the view keeps `base` alive.
PyRef float64_view(PyObject* base, double* data, int ndim, const Py_ssize_t* shape);

// New, owned, C-ordered arrays of uninitialised uint8 / intp data (NumPy's uint8 and intp).
PyRef new_uint8_array(Py_ssize_t length, unsigned char** data);
PyRef new_intp_array(Py_ssize_t length, Py_ssize_t** data);

// The array itself when its dtype is float64 (new reference), else a float64 copy cast as NumPy casts (the
// caller admits only real dtypes). Throws on failure.
PyRef as_float64(PyObject* array);

// Who else may see an array's memory: its base object (borrowed, may be null), whether it owns its buffer, can
// be written, and has weak references.
struct Ownership {
  PyObject* base = nullptr;
  bool owns_data = false;
  bool writeable = false;
  bool weakly_referenced = false;
};
Ownership ownership(PyObject* array);

// Many small result arrays at the cost of one allocation. An ArrayBlock allocates one block up front and hands
// it out slot after slot, each slot the data of one float64 array that new_matrix() makes. The arrays are what
// new_float64_array always makes: C-ordered, writable, owning their data, each in memory of its own; NumPy frees
// that data through the memory handler recorded in each array (named "korvex_block"), and the block goes back to
// the system when its last array is freed; a resize of an array later moves it into memory of its own. Creating
// and freeing an array thus costs no allocator call, which for tens of thousands of arrays of a few dozen bytes is
// most of the cost.
//
// Slots may be filled before their arrays exist (slot_data), in one tight copy loop. Nothing here touches NumPy's
// handler for other arrays, so Python code that runs meanwhile (a collector callback) is not affected by it.
// Only the interpreter thread that made it may use it.
class ArrayBlock {
 public:
  // Room for arrays whose data sizes in bytes, each rounded up by room_for(), add up to `room`.
  explicit ArrayBlock(std::size_t room);
  ~ArrayBlock();
  ArrayBlock(const ArrayBlock&) = delete;
  ArrayBlock& operator=(const ArrayBlock&) = delete;

  // What one array of `bytes` data bytes takes of the block (0 when no block could hold it).
  static std::size_t room_for(std::size_t bytes) noexcept;

  // Where the data of the array in the slot that begins `offset` bytes into the block (the room_for() sum of the
  // arrays before it) is.
  double* slot_data(std::size_t offset) const noexcept { return reinterpret_cast<double*>(slots_ + offset); }

  // A (rows, cols) float64 array in the next slot, whose data is left as it is there. Throws the internal fault
  // "index out of bounds" when the slot does not fit in the room left.
  PyRef new_matrix(std::size_t rows, std::size_t cols);

 private:
  void* block_;
  char* slots_;   // the data of the first slot
  std::size_t room_;
  std::size_t used_ = 0;
};


// ---- Used by the Axes3D and art3d methods ----

// NumPy's own inner loop of a one-argument ufunc for float64 -> float64 (its legacy loop table entry, which the
// ufunc runs for float64 operands of any size, a scalar included). Callable without the interpreter lock.
struct UnaryLoop {
  void (*function)(char** args, const Py_ssize_t* dimensions, const Py_ssize_t* steps, void* data) = nullptr;
  void* data = nullptr;

  explicit operator bool() const noexcept { return function != nullptr; }
  // The loop over one value.
  double operator()(double x) const noexcept;
};

// The float64 loop of numpy.<name> (a ufunc of one input and one output); empty if NumPy has none in its table.
// Throws if numpy.<name> cannot be looked up or is not a ufunc.
UnaryLoop float64_loop(const char* name);

// The indices that sort a 1-D array, as array.argsort() (kind=None: NumPy's default sort) gives them; new
// reference, throws on failure.
PyRef argsort(PyObject* array);

// A new, owned, C-ordered array of uninitialised bool data of any shape.
PyRef new_bool_array(int ndim, const Py_ssize_t* shape, bool** data);

// A view of `ndim`/`shape`/`strides` (bytes) at `data` inside `base`'s buffer, of base's dtype, writable as
// base is, keeping base alive. New reference; throws.
PyRef view_of(PyObject* base, const char* data, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides);

}  // namespace korvex::py::numpy
