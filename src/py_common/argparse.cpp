#include "py_common/argparse.hpp"

#include <string>

#include "py_common/errors.hpp"

namespace korvex::py {
namespace {

std::string full_name(const Signature& sig) {
  if (sig.class_name == nullptr) return std::string(sig.method_name) + "()";
  return std::string(sig.class_name) + "." + sig.method_name + "()";
}

[[noreturn]] void fail(std::string message) { throw PyError{PyExc_TypeError, std::move(message)}; }

[[noreturn]] void too_many_positional(const Signature& sig, std::size_t given) {
  std::string message = full_name(sig) + " takes ";
  if (sig.required == sig.count) {
    message += std::to_string(sig.count);
  } else {
    message += "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  fail(std::move(message));
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::array<const char*, kMaxParams>& names, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (count > 2) text += ",";
      text += (i + 1 == count) ? " and " : " ";
    }
    text += "'";
    text += names[i];
    text += "'";
  }
  return text;
}

void check_missing(const Signature& sig, const ParsedArgs& parsed, std::size_t positional) {
  if (positional >= sig.required) return;
  std::array<const char*, kMaxParams> missing{};
  std::size_t count = 0;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (parsed.slots[i] == nullptr) missing[count++] = sig.names[i];
  }
  if (count == 0) return;
  fail(full_name(sig) + " missing " + std::to_string(count) + " required positional " +
       (count == 1 ? "argument" : "arguments") + ": " + name_list(missing, count));
}

// Places one keyword argument; `key` must be a str (the interpreter guarantees it for keyword names).
void place_keyword(const Signature& sig, ParsedArgs& parsed, PyObject* key, PyObject* value) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(key, &size);
  if (text == nullptr) throw_fetched();
  const std::string_view keyword(text, static_cast<std::size_t>(size));
  for (std::size_t i = 0; i < sig.count; ++i) {
    if (keyword == sig.names[i]) {
      if (parsed.slots[i] != nullptr) {
        fail(full_name(sig) + " got multiple values for argument '" + sig.names[i] + "'");
      }
      parsed.slots[i] = value;
      return;
    }
  }
  fail(full_name(sig) + " got an unexpected keyword argument '" + std::string(keyword) + "'");
}

}  // namespace

ParsedArgs parse_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ParsedArgs parsed;
  const auto positional = static_cast<std::size_t>(nargs);
  if (positional > sig.count) too_many_positional(sig, positional);
  for (std::size_t i = 0; i < positional; ++i) parsed.slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      place_keyword(sig, parsed, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]);
    }
  }
  check_missing(sig, parsed, positional);
  return parsed;
}

bool match_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    ParsedArgs& parsed) noexcept {
  parsed = ParsedArgs{};
  const auto positional = static_cast<std::size_t>(nargs);
  if (positional > sig.count) return false;
  for (std::size_t i = 0; i < positional; ++i) parsed.slots[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
      Py_ssize_t size = 0;
      const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(kwnames, k), &size);
      if (text == nullptr) {
        PyErr_Clear();
        return false;
      }
      const std::string_view keyword(text, static_cast<std::size_t>(size));
      std::size_t i = 0;
      while (i < sig.count && keyword != sig.names[i]) ++i;
      if (i == sig.count || parsed.slots[i] != nullptr) return false;
      parsed.slots[i] = args[nargs + k];
    }
  }
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (parsed.slots[i] == nullptr) return false;
  }
  return true;
}

ParsedArgs parse_tuple_dict(const Signature& sig, PyObject* args, PyObject* kwargs) {
  ParsedArgs parsed;
  const auto positional = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (positional > sig.count) too_many_positional(sig, positional);
  for (std::size_t i = 0; i < positional; ++i) parsed.slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) fail(full_name(sig) + " keywords must be strings");
      place_keyword(sig, parsed, key, value);
    }
  }
  check_missing(sig, parsed, positional);
  return parsed;
}

}  // namespace korvex::py
