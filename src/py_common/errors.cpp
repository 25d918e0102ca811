#include "py_common/errors.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>

namespace korvex::py {
namespace {

constexpr const char* kPanicName = "korvex_runtime.PanicException";
constexpr const char* kPanicDoc =
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.\n";
constexpr const char* kGenericFault = "an internal fault happened in native code";

// Written and read only under the interpreter lock.
PyObject* panic_type = nullptr;

[[noreturn]] void uncaught_panic() noexcept {
  std::fputs("uncaught panic at ffi boundary\n", stderr);
  std::fflush(stderr);
  std::abort();
}

void set_message(PyObject* type, const std::string& message) noexcept {
  PyObject* text = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return;  // MemoryError is pending instead
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

}  // namespace

PyObject* panic_exception_type() noexcept {
  if (panic_type == nullptr) {
    panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    if (panic_type == nullptr) {
      PyErr_Print();
      std::fputs("Failed to initialize new exception type.\n", stderr);
      uncaught_panic();
    }
  }
  return panic_type;
}

void set_panic(const std::string& message) noexcept {
  PyObject* type = panic_exception_type();
  set_message(type, message.empty() ? std::string(kGenericFault) : message);
}

void throw_fetched() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) {
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    throw PyError{PyExc_SystemError, "attempted to fetch exception but none was set"};
  }
  if (type == panic_exception_type()) {
    // A fault of native code (ours or another module's) came back through Python code: report it, then carry on
    // as a fault of this call.
    std::string message = "Unwrapped panic from Python code";
    if (value != nullptr && PyUnicode_CheckExact(value)) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(value, &size);
      if (text != nullptr) {
        message.assign(text, static_cast<std::size_t>(size));
      } else {
        PyErr_Clear();
      }
    }
    std::fputs("--- korvex: resuming an internal fault after fetching a PanicException from Python. ---\n"
               "Python stack trace below:\n",
               stderr);
    PyErr_Restore(type, value, traceback);
    PyErr_PrintEx(0);
    throw InternalFault(std::move(message));
  }
  PyErr_Restore(type, value, traceback);
  throw PyErrorSet{};
}

void api_call_failed() {
  if (PyErr_Occurred() != nullptr) PyErr_Print();
  throw InternalFault("Python API call failed");
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
    }
  } catch (const PyError& error) {
    set_message(error.type, error.message);
  } catch (const InternalFault& fault) {
    set_panic(fault.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container was asked for more elements than it can ever hold: a size that cannot be allocated.
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    set_panic(error.what());
  } catch (...) {
    set_panic(kGenericFault);
  }
}

}  // namespace korvex::py
