#include "py_bridge/convert.hpp"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "py_common/errors.hpp"

namespace korvex::py {
namespace {

std::string type_qualname(PyObject* object) {
  // The type is held while the lookup runs: a metaclass's __getattribute__ could reassign the object's __class__.
  const PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(object)));
  PyObject* name = PyObject_GetAttrString(type.get(), "__qualname__");
  std::string text = "<failed to extract type name>";
  if (name != nullptr && PyUnicode_Check(name)) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size)) text.assign(utf8, static_cast<std::size_t>(size));
  }
  Py_XDECREF(name);
  PyErr_Clear();
  return text;
}

std::string utf8_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (text == nullptr) throw_fetched();
  return std::string(text, static_cast<std::size_t>(size));
}

[[noreturn]] void not_contiguous() { throw PyError{PyExc_TypeError, "The given array is not contiguous"}; }

// Element count of a shape, refusing sizes that cannot be allocated.
std::size_t element_count(std::size_t rows, std::size_t cols) {
  if (cols != 0 && rows > (static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double)) / cols) throw std::bad_alloc();
  return rows * cols;
}

}  // namespace

void throw_conversion_error(PyObject* object, const char* target) {
  throw PyError{PyExc_TypeError,
                "'" + type_qualname(object) + "' object cannot be converted to '" + std::string(target) + "'"};
}

void prefix_argument_error(const char* name) {
  const std::string prefix = std::string("argument '") + name + "': ";
  try {
    throw;
  } catch (const PyError& error) {
    if (error.type != PyExc_TypeError) throw;
    throw PyError{PyExc_TypeError, prefix + error.message};
  } catch (const PyErrorSet&) {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type != PyExc_TypeError) {
      PyErr_Restore(type, value, traceback);
      throw;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type);
    PyRef original = PyRef::steal(value);
    PyRef owned_traceback = PyRef::steal(traceback);
    PyRef text = check(PyObject_Str(original.get()));
    PyRef message = check(PyUnicode_FromFormat("%s%U", prefix.c_str(), text.get()));
    PyRef replacement = check(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    // The replacement takes the original's cause (normally none); the original itself is dropped.
    PyException_SetCause(replacement.get(), PyException_GetCause(original.get()));
    PyErr_SetObject(PyExc_TypeError, replacement.get());
    throw PyErrorSet{};
  }
}

double to_double(PyObject* object) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw_fetched();
  return value;
}

bool to_float_list(PyObject* object, std::vector<double>& values) {
  values.clear();
  if (object == nullptr || object == Py_None) return false;
  const int is_str = PyObject_IsInstance(object, reinterpret_cast<PyObject*>(&PyUnicode_Type));
  if (is_str < 0) PyErr_Clear();
  if (is_str > 0) throw PyError{PyExc_TypeError, "Can't extract `str` to `Vec`"};
  if (!PySequence_Check(object)) throw_conversion_error(object, "Sequence");
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    values.reserve(static_cast<std::size_t>(hint));
  }
  PyRef iterator = check(PyObject_GetIter(object));
  while (PyObject* raw = PyIter_Next(iterator.get())) {
    PyRef item = PyRef::steal(raw);
    values.push_back(to_double(item.get()));
  }
  if (PyErr_Occurred() != nullptr) throw_fetched();
  return true;
}

std::string_view to_utf8(PyObject* object) {
  if (!PyType_HasFeature(Py_TYPE(object), Py_TPFLAGS_UNICODE_SUBCLASS)) throw_conversion_error(object, "PyString");
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) throw_fetched();
  return std::string_view(text, static_cast<std::size_t>(size));
}

numpy::ArrayView to_float64_array(PyObject* object, int ndim) {
  // The first array check of the process imports NumPy, which runs Python code: the array is described after
  // the checks.
  if (!numpy::is_array(object)) throw_conversion_error(object, "PyArray<T, D>");
  const int found = numpy::view(object).ndim;
  if (found != ndim) {
    throw PyError{PyExc_TypeError,
                  "dimensionality mismatch:\n from=" + std::to_string(found) + ", to=" + std::to_string(ndim)};
  }
  if (!numpy::has_float64_dtype(object)) {
    PyRef from = numpy::dtype_str(object);
    PyRef to = numpy::float64_str();
    throw PyError{PyExc_TypeError, "type mismatch:\n from=" + utf8_of(from.get()) + ", to=" + utf8_of(to.get())};
  }
  return numpy::view(object);
}

ContiguousVector::ContiguousVector(const numpy::ArrayView& array) : size_(static_cast<std::size_t>(array.shape[0])) {
  if (!array.c_contiguous && !array.f_contiguous) not_contiguous();
  if (array.aligned || size_ == 0) {
    data_ = reinterpret_cast<const double*>(array.data);
  } else {
    copy_.resize(size_);
    std::memcpy(copy_.data(), array.data, size_ * sizeof(double));
    data_ = copy_.data();
  }
}

MatrixArg::MatrixArg(const numpy::ArrayView& array) {
  const auto rows = static_cast<std::size_t>(array.shape[0]);
  const auto cols = static_cast<std::size_t>(array.shape[1]);
  view_.rows = rows;
  view_.cols = cols;
  if (array.c_contiguous && (array.aligned || rows * cols == 0)) {
    view_.data = reinterpret_cast<const double*>(array.data);
    return;
  }
  if (!array.c_contiguous && !array.f_contiguous) not_contiguous();
  // Column-major (or unaligned) storage: gather element (r, c) from its byte offset, row after row.
  copy_.resize(element_count(rows, cols));
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < cols; ++c) {
      std::memcpy(&copy_[r * cols + c],
                  array.data + static_cast<Py_ssize_t>(r) * array.strides[0] +
                      static_cast<Py_ssize_t>(c) * array.strides[1],
                  sizeof(double));
    }
  }
  view_.data = copy_.data();
}

PyRef new_vector(std::size_t length, double** data) {
  const auto shape = static_cast<Py_ssize_t>(length);
  return numpy::new_float64_array(1, &shape, data);
}

PyRef new_matrix(std::size_t rows, std::size_t cols, double** data) {
  const Py_ssize_t shape[2] = {static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(cols)};
  return numpy::new_float64_array(2, shape, data);
}

PyRef new_tuple(std::initializer_list<PyRef*> items) {
  PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (tuple == nullptr) api_call_failed();
  Py_ssize_t i = 0;
  for (PyRef* item : items) PyTuple_SET_ITEM(tuple, i++, item->release());
  return PyRef::steal(tuple);
}

}  // namespace korvex::py
