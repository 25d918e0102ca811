// Matching positional and keyword arguments to parameter names, with CPython-style messages.
//
// Each method has one Signature next to its method table: the class and method names for messages (no class for
// a module-level function), the ordered parameter names and how many leading ones are required. Every parameter is
// positional-or-keyword; no method takes *args or **kwargs.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string_view>

namespace korvex::py {

inline constexpr std::size_t kMaxParams = 8;

struct Signature {
  const char* class_name;  // null for a module-level function
  const char* method_name;
  std::array<const char*, kMaxParams> names;
  std::size_t count;     // number of parameters
  std::size_t required;  // leading parameters that must be given
};

// Parameter slots after parsing: borrowed references, null where an optional parameter was not given.
struct ParsedArgs {
  std::array<PyObject*, kMaxParams> slots{};
  PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
  // An optional argument is absent when not given or given as None.
  bool absent(std::size_t i) const noexcept { return slots[i] == nullptr || slots[i] == Py_None; }
};

// The vectorcall convention: nargs positional arguments, then the values of the keywords named in kwnames.
ParsedArgs parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// As parse_fastcall, but reports a mismatch by returning false (nothing pending) instead of raising: for callers
// that hand such calls to another implementation, which then raises its own error.
bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    ParsedArgs& parsed) noexcept;

// The tp_new convention: a positional tuple and a keyword dict (or null), iterated in its order.
ParsedArgs parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs);

}  // namespace korvex::py
