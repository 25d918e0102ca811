#include "py_common/numpy_api.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>
#include <numpy/arrayscalars.h>
#include <numpy/ufuncobject.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "common/fault.hpp"
#include "py_common/errors.hpp"

namespace korvex::py::numpy {
namespace {

// Slots of the C API table that the module uses; they have the same meaning in NumPy 1.26 and 2.x.
constexpr int kArrayTypeSlot = 2;
constexpr int kGenericScalarTypeSlot = 10;
constexpr int kDoubleScalarTypeSlot = 31;
constexpr int kDescrFromScalarSlot = 57;
constexpr int kScalarAsCtypeSlot = 62;
constexpr int kTransposeSlot = 123;
constexpr int kNewshapeSlot = 135;
constexpr int kViewSlot = 137;
constexpr int kDescrFromTypeSlot = 45;
constexpr int kNewFromDescrSlot = 94;
constexpr int kSetBaseObjectSlot = 282;
constexpr int kFromAnySlot = 69;
constexpr int kEquivTypesSlot = 182;
constexpr int kArgSortSlot = 130;

using DescrFromTypeFn = PyArray_Descr* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*, const npy_intp*, void*,
                                     int, PyObject*);
using EquivTypesFn = unsigned char (*)(PyArray_Descr*, PyArray_Descr*);

// Set once under the interpreter lock; the capsule it comes from is kept alive with it.
void** api = nullptr;

PyTypeObject* array_type() { return static_cast<PyTypeObject*>(api[kArrayTypeSlot]); }

PyArray_Descr* descr_from_type(int type_number) {
  PyArray_Descr* descr = reinterpret_cast<DescrFromTypeFn>(api[kDescrFromTypeSlot])(type_number);
  if (descr == nullptr) throw_fetched();
  return descr;  // new reference
}

PyArrayObject_fields* fields(PyObject* array) { return reinterpret_cast<PyArrayObject_fields*>(array); }

// NumPy's core extension module: numpy._core since NumPy 2, numpy.core before (both names import without a
// warning in their own version; the other one warns or does not exist).
const char* core_module_name() {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) return nullptr;
  PyObject* version = PyObject_GetAttrString(numpy, "__version__");
  Py_DECREF(numpy);
  if (version == nullptr) return nullptr;
  const char* text = PyUnicode_Check(version) ? PyUnicode_AsUTF8(version) : nullptr;
  const long major = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  Py_DECREF(version);
  return major >= 2 ? "numpy._core._multiarray_umath" : "numpy.core._multiarray_umath";
}

}  // namespace

void ensure_api() {
  if (api != nullptr) return;
  const char* name = core_module_name();
  PyObject* module = name != nullptr ? PyImport_ImportModule(name) : nullptr;
  if (module == nullptr) {
    PyErr_Clear();
    throw InternalFault("Failed to import NumPy module");
  }
  PyObject* capsule = PyObject_GetAttrString(module, "_ARRAY_API");
  Py_DECREF(module);
  void* table = capsule != nullptr ? PyCapsule_GetPointer(capsule, nullptr) : nullptr;
  if (table == nullptr) {
    Py_XDECREF(capsule);
    PyErr_Clear();
    throw InternalFault("Failed to get NumPy API capsule");
  }
  // The capsule reference is kept for the life of the process, so the table stays valid.
  api = static_cast<void**>(table);
}

bool is_exact_array(PyObject* object) {
  ensure_api();
  return Py_TYPE(object) == array_type();
}

bool is_array(PyObject* object) {
  ensure_api();
  PyTypeObject* type = Py_TYPE(object);
  return type == array_type() || PyType_IsSubtype(type, array_type());
}

namespace {

// The type number and byte order sit at the same place of the descriptor in NumPy 1.26 and 2.x.
Type element_type(const PyArray_Descr* descr) {
  switch (descr->type_num) {
    case NPY_BOOL: return Type::boolean;
    case NPY_HALF: return Type::float16;
    case NPY_FLOAT: return Type::float32;
    case NPY_DOUBLE: return Type::float64;
    case NPY_BYTE: case NPY_SHORT: case NPY_INT: case NPY_LONG: case NPY_LONGLONG:
    case NPY_UBYTE: case NPY_USHORT: case NPY_UINT: case NPY_ULONG: case NPY_ULONGLONG:
      break;
    default: return Type::other;
  }
  // C integer types by their width: NumPy names the same widths differently per platform.
  const bool is_signed = descr->kind == 'i';
  switch (descr->type_num) {
    case NPY_BYTE: case NPY_UBYTE: return is_signed ? Type::int8 : Type::uint8;
    case NPY_SHORT: case NPY_USHORT: return is_signed ? Type::int16 : Type::uint16;
    case NPY_INT: case NPY_UINT: return sizeof(int) == 4 ? (is_signed ? Type::int32 : Type::uint32) : Type::other;
    case NPY_LONG: case NPY_ULONG:
      return sizeof(long) == 8 ? (is_signed ? Type::int64 : Type::uint64)
                               : (is_signed ? Type::int32 : Type::uint32);
    default: return sizeof(long long) == 8 ? (is_signed ? Type::int64 : Type::uint64) : Type::other;
  }
}

}  // namespace

bool scalar_value(PyObject* object, Type& type, unsigned char (&storage)[16]) {
  ensure_api();
  if (!PyObject_TypeCheck(object, static_cast<PyTypeObject*>(api[kGenericScalarTypeSlot]))) return false;
  using DescrFromScalarFn = PyArray_Descr* (*)(PyObject*);
  PyArray_Descr* descr = reinterpret_cast<DescrFromScalarFn>(api[kDescrFromScalarSlot])(object);
  if (descr == nullptr) throw_fetched();
  type = descr->byteorder == '>' ? Type::other : element_type(descr);
  Py_DECREF(descr);
  if (type == Type::other) return false;
  reinterpret_cast<void (*)(PyObject*, void*)>(api[kScalarAsCtypeSlot])(object, storage);
  return true;
}

ArrayView view(PyObject* array) {
  PyArrayObject_fields* f = fields(array);
  ArrayView v;
  v.object = array;
  v.type = element_type(f->descr);
  v.native = f->descr->byteorder != '>';
  v.data = f->data;
  v.ndim = f->nd;
  v.shape = f->dimensions;
  v.strides = f->strides;
  v.c_contiguous = (f->flags & NPY_ARRAY_C_CONTIGUOUS) != 0;
  v.f_contiguous = (f->flags & NPY_ARRAY_F_CONTIGUOUS) != 0;
  v.aligned = (f->flags & NPY_ARRAY_ALIGNED) != 0;
  return v;
}

bool has_float64_dtype(PyObject* array) {
  ensure_api();
  PyArray_Descr* own = fields(array)->descr;
  PyArray_Descr* float64 = descr_from_type(NPY_DOUBLE);
  const bool equal = own == float64 || reinterpret_cast<EquivTypesFn>(api[kEquivTypesSlot])(own, float64) != 0;
  Py_DECREF(float64);
  return equal;
}

PyRef dtype_str(PyObject* array) {
  // Held while str() runs Python code, which could give the array another dtype and drop this one.
  const PyRef descr = PyRef::borrow(reinterpret_cast<PyObject*>(fields(array)->descr));
  return check(PyObject_Str(descr.get()));
}

PyRef float64_str() {
  ensure_api();
  PyRef descr = PyRef::steal(reinterpret_cast<PyObject*>(descr_from_type(NPY_DOUBLE)));
  return check(PyObject_Str(descr.get()));
}

namespace {

PyRef new_array(int type_number, int ndim, const Py_ssize_t* shape, void** data) {
  ensure_api();
  PyArray_Descr* descr = reinterpret_cast<DescrFromTypeFn>(api[kDescrFromTypeSlot])(type_number);
  if (descr == nullptr) api_call_failed();
  // The descriptor reference is stolen by the constructor, also when it fails.
  PyObject* array = reinterpret_cast<NewFromDescrFn>(api[kNewFromDescrSlot])(array_type(), descr, ndim, shape,
                                                                            nullptr, nullptr, 0, nullptr);
  if (array == nullptr) api_call_failed();
  *data = fields(array)->data;
  return PyRef::steal(array);
}

}  // namespace

PyRef new_float64_array(int ndim, const Py_ssize_t* shape, double** data) {
  void* buffer = nullptr;
  PyRef array = new_array(NPY_DOUBLE, ndim, shape, &buffer);
  *data = static_cast<double*>(buffer);
  return array;
}

PyRef new_float64_scalar(double value) {
  ensure_api();
  auto* type = static_cast<PyTypeObject*>(api[kDoubleScalarTypeSlot]);
  PyObject* scalar = type->tp_alloc(type, 0);
  if (scalar == nullptr) api_call_failed();
  reinterpret_cast<PyDoubleScalarObject*>(scalar)->obval = value;
  return PyRef::steal(scalar);
}

PyRef transpose(PyObject* array) {
  using TransposeFn = PyObject* (*)(PyArrayObject*, PyArray_Dims*);
  return check(reinterpret_cast<TransposeFn>(api[kTransposeSlot])(reinterpret_cast<PyArrayObject*>(array), nullptr));
}

PyRef view_as(PyObject* array, PyTypeObject* subtype) {
  using ViewFn = PyObject* (*)(PyArrayObject*, PyArray_Descr*, PyTypeObject*);
  return check(reinterpret_cast<ViewFn>(api[kViewSlot])(reinterpret_cast<PyArrayObject*>(array), nullptr, subtype));
}

PyRef reshape(PyObject* array, int ndim, const Py_ssize_t* shape) {
  using NewshapeFn = PyObject* (*)(PyArrayObject*, PyArray_Dims*, NPY_ORDER);
  PyArray_Dims dims{const_cast<npy_intp*>(shape), ndim};
  return check(reinterpret_cast<NewshapeFn>(api[kNewshapeSlot])(reinterpret_cast<PyArrayObject*>(array), &dims,
                                                                 NPY_CORDER));
}

PyRef new_int64_array(int ndim, const Py_ssize_t* shape, std::int64_t** data) {
  void* buffer = nullptr;
  PyRef array = new_array(NPY_INT64, ndim, shape, &buffer);
  *data = static_cast<std::int64_t*>(buffer);
  return array;
}

// ---- the block handler ----------------------------------------------------------------------------------------
//
// Every buffer the handler gives out is preceded by a 16-byte header naming the block it lives in (null for a
// buffer of its own, allocated with malloc) and its size, so that free and realloc know what to do with any
// pointer, whichever thread (holding the interpreter lock) drops the last reference to its array.

namespace {

// While its ArrayBlock lives, `live` holds kArmed less the buffers freed so far, and the buffers handed out are
// counted in `handed_out` without atomics (only the owning thread hands out); when the ArrayBlock ends, the count
// of buffers handed out replaces kArmed. From then on `live` is the number of buffers not yet freed, and the last
// free releases the block.
struct Block {
  std::atomic<std::size_t> live;
  std::size_t handed_out;
};

constexpr std::size_t kArmed = std::size_t{1} << 62;

struct alignas(16) BufferHeader {
  Block* block;
  std::size_t size;
};
static_assert(sizeof(BufferHeader) == 16, "buffers stay 16-byte aligned");

constexpr std::size_t kBlockHeader = (sizeof(Block) + 15) / 16 * 16;

void release(Block* block) noexcept {
  if (block->live.fetch_sub(1, std::memory_order_acq_rel) == 1) std::free(block);
}

void* own_buffer(std::size_t size, bool zeroed) noexcept {
  if (size > SIZE_MAX - sizeof(BufferHeader)) return nullptr;
  void* raw = zeroed ? std::calloc(1, sizeof(BufferHeader) + size) : std::malloc(sizeof(BufferHeader) + size);
  if (raw == nullptr) return nullptr;
  auto* header = static_cast<BufferHeader*>(raw);
  header->block = nullptr;
  header->size = size;
  return header + 1;
}

BufferHeader* header_of(void* buffer) noexcept { return static_cast<BufferHeader*>(buffer) - 1; }

void* block_malloc(void*, std::size_t size) noexcept { return own_buffer(size, false); }

void* block_calloc(void*, std::size_t count, std::size_t size) noexcept {
  if (size != 0 && count > SIZE_MAX / size) return nullptr;
  return own_buffer(count * size, true);
}

void block_free(void*, void* buffer, std::size_t) noexcept {
  if (buffer == nullptr) return;
  BufferHeader* header = header_of(buffer);
  if (header->block == nullptr) {
    std::free(header);
  } else {
    release(header->block);
  }
}

void* block_realloc(void*, void* buffer, std::size_t size) noexcept {
  if (buffer == nullptr) return own_buffer(size, false);
  BufferHeader* header = header_of(buffer);
  if (header->block == nullptr) {
    if (size > SIZE_MAX - sizeof(BufferHeader)) return nullptr;
    void* raw = std::realloc(header, sizeof(BufferHeader) + size);
    if (raw == nullptr) return nullptr;
    static_cast<BufferHeader*>(raw)->size = size;
    return static_cast<BufferHeader*>(raw) + 1;
  }
  // Out of the block: into a buffer of its own, and the block loses one user.
  void* moved = own_buffer(size, false);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, buffer, std::min(size, header->size));
  release(header->block);
  return moved;
}

PyDataMem_Handler block_handler = {
    "korvex_block", 1, {nullptr, block_malloc, block_calloc, block_realloc, block_free}};

// The capsule recorded in every array whose data is in a block; one per process, never freed, so the handler
// outlives every array.
PyObject* block_handler_capsule() {
  static PyObject* capsule = nullptr;
  if (capsule == nullptr) {
    capsule = PyCapsule_New(&block_handler, "mem_handler", nullptr);
    if (capsule == nullptr) api_call_failed();
  }
  return capsule;
}

}  // namespace

std::size_t ArrayBlock::room_for(std::size_t bytes) noexcept {
  if (bytes > SIZE_MAX / 2) return 0;
  return sizeof(BufferHeader) + (std::max<std::size_t>(bytes, 16) + 15) / 16 * 16;
}

ArrayBlock::ArrayBlock(std::size_t room) : room_(room) {
  ensure_api();
  block_handler_capsule();
  if (room > SIZE_MAX - kBlockHeader) throw std::bad_alloc();
  void* raw = std::malloc(kBlockHeader + room);
  if (raw == nullptr) throw std::bad_alloc();
  block_ = new (raw) Block{{kArmed}, 0};
  slots_ = static_cast<char*>(raw) + kBlockHeader + sizeof(BufferHeader);
}

ArrayBlock::~ArrayBlock() {
  auto* block = static_cast<Block*>(block_);
  if (block->live.fetch_sub(kArmed - block->handed_out, std::memory_order_acq_rel) == kArmed - block->handed_out) {
    std::free(block);  // every buffer handed out is already freed (or none was)
  }
}

PyRef ArrayBlock::new_matrix(std::size_t rows, std::size_t cols) {
  const std::size_t bytes = (cols != 0 && rows > SIZE_MAX / 8 / cols) ? SIZE_MAX : rows * cols * 8;
  const std::size_t need = room_for(bytes);
  if (need == 0 || need > room_ - used_) index_out_of_bounds(used_ + need, room_);
  double* data = slot_data(used_);
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
  PyArray_Descr* descr = descr_from_type(NPY_DOUBLE);  // stolen, also on failure
  PyObject* raw = reinterpret_cast<NewFromDescrFn>(api[kNewFromDescrSlot])(array_type(), descr, 2, shape, nullptr,
                                                                          data, NPY_ARRAY_CARRAY, nullptr);
  if (raw == nullptr) api_call_failed();
  // The array takes the slot: it owns its data, freed through the block's handler.
  auto* header = header_of(data);
  header->block = static_cast<Block*>(block_);
  header->size = bytes;
  ++static_cast<Block*>(block_)->handed_out;
  used_ += need;
  PyArrayObject_fields* f = reinterpret_cast<PyArrayObject_fields*>(raw);
  f->flags |= NPY_ARRAY_OWNDATA;
  PyObject* capsule = block_handler_capsule();
  Py_INCREF(capsule);
  f->mem_handler = capsule;
  return PyRef::steal(raw);
}

PyRef new_bool_array(Py_ssize_t length, bool** data) {
  static_assert(sizeof(bool) == sizeof(npy_bool), "NumPy's bool must be one byte");
  void* buffer = nullptr;
  PyRef array = new_array(NPY_BOOL, 1, &length, &buffer);
  *data = static_cast<bool*>(buffer);
  return array;
}

// ---- Used by the polygon collection bridge ----

namespace {

// A new view (or null, with NumPy's error set) that keeps `base` alive as its base object.
PyRef with_base(PyObject* view, PyObject* base) {
  if (view == nullptr) throw_fetched();
  PyRef owned = PyRef::steal(view);
  Py_INCREF(base);  // stolen by SetBaseObject, also when it fails
  using SetBaseFn = int (*)(PyArrayObject*, PyObject*);
  if (reinterpret_cast<SetBaseFn>(api[kSetBaseObjectSlot])(reinterpret_cast<PyArrayObject*>(view), base) < 0) {
    throw_fetched();
  }
  return owned;
}

}  // namespace

PyRef float64_view(PyObject* base, double* data, int ndim, const Py_ssize_t* shape) {
  ensure_api();
  PyArray_Descr* descr = descr_from_type(NPY_DOUBLE);
  PyObject* view = reinterpret_cast<NewFromDescrFn>(api[kNewFromDescrSlot])(
      array_type(), descr, ndim, shape, nullptr, data, NPY_ARRAY_CARRAY, nullptr);
  return with_base(view, base);
}

PyRef new_uint8_array(Py_ssize_t length, unsigned char** data) {
  void* buffer = nullptr;
  PyRef array = new_array(NPY_UBYTE, 1, &length, &buffer);
  *data = static_cast<unsigned char*>(buffer);
  return array;
}

PyRef new_intp_array(Py_ssize_t length, Py_ssize_t** data) {
  static_assert(sizeof(npy_intp) == sizeof(Py_ssize_t), "intp is the size of Py_ssize_t");
  void* buffer = nullptr;
  PyRef array = new_array(NPY_INTP, 1, &length, &buffer);
  *data = static_cast<Py_ssize_t*>(buffer);
  return array;
}

PyRef as_float64(PyObject* array) {
  ensure_api();
  PyArray_Descr* descr = descr_from_type(NPY_DOUBLE);  // stolen
  using FromAnyFn = PyObject* (*)(PyObject*, PyArray_Descr*, int, int, int, PyObject*);
  return check(reinterpret_cast<FromAnyFn>(api[kFromAnySlot])(array, descr, 0, 0,
                                                                NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
}

Ownership ownership(PyObject* array) {
  const PyArrayObject_fields* f = fields(array);
  return Ownership{f->base, (f->flags & NPY_ARRAY_OWNDATA) != 0, (f->flags & NPY_ARRAY_WRITEABLE) != 0,
                   f->weakreflist != nullptr};
}

// ---- Used by the Axes3D and art3d methods ----

PyRef new_bool_array(int ndim, const Py_ssize_t* shape, bool** data) {
  void* buffer = nullptr;
  PyRef array = new_array(NPY_BOOL, ndim, shape, &buffer);
  *data = static_cast<bool*>(buffer);
  return array;
}

PyRef argsort(PyObject* array) {
  ensure_api();
  using ArgSortFn = PyObject* (*)(PyArrayObject*, int, NPY_SORTKIND);
  return check(reinterpret_cast<ArgSortFn>(api[kArgSortSlot])(reinterpret_cast<PyArrayObject*>(array), -1,
                                                               NPY_QUICKSORT));
}

PyRef view_of(PyObject* base, const char* data, int ndim, const Py_ssize_t* shape, const Py_ssize_t* strides) {
  ensure_api();
  PyArrayObject_fields* f = fields(base);
  Py_INCREF(f->descr);  // stolen by the constructor
  const int writable = f->flags & NPY_ARRAY_WRITEABLE;
  PyObject* view = reinterpret_cast<NewFromDescrFn>(api[kNewFromDescrSlot])(
      array_type(), f->descr, ndim, shape, strides, const_cast<char*>(data), writable, nullptr);
  return with_base(view, base);
}

double UnaryLoop::operator()(double x) const noexcept {
  double out = 0.0;
  char* args[2] = {reinterpret_cast<char*>(&x), reinterpret_cast<char*>(&out)};
  const Py_ssize_t dimensions[1] = {1};
  const Py_ssize_t steps[2] = {sizeof(double), sizeof(double)};
  function(args, dimensions, steps, data);
  return out;
}

UnaryLoop float64_loop(const char* name) {
  PyRef numpy = check(PyImport_ImportModule("numpy"));
  PyRef ufunc = check(PyObject_GetAttrString(numpy.get(), name));
  PyRef ufunc_type = check(PyObject_GetAttrString(numpy.get(), "ufunc"));
  if (Py_TYPE(ufunc.get()) != reinterpret_cast<PyTypeObject*>(ufunc_type.get())) {
    throw PyError{PyExc_TypeError, std::string("numpy.") + name + " is not a ufunc"};
  }
  // The object stays alive as an attribute of the numpy module, and its loop table with it.
  const auto* u = reinterpret_cast<const PyUFuncObject*>(ufunc.get());
  UnaryLoop loop;
  if (u->nin != 1 || u->nout != 1 || u->functions == nullptr) return loop;
  for (int i = 0; i < u->ntypes; ++i) {
    if (u->types[2 * i] == NPY_DOUBLE && u->types[2 * i + 1] == NPY_DOUBLE) {
      loop.function = reinterpret_cast<decltype(loop.function)>(u->functions[i]);
      loop.data = u->data != nullptr ? u->data[i] : nullptr;
      break;
    }
  }
  return loop;
}

}  // namespace korvex::py::numpy
