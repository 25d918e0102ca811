// The one C++ exception type for internal faults of the native core.
//
// Every condition that a well-formed call cannot reach (a failed invariant, an index out of range, a pool that
// could not be created) is thrown as an InternalFault. The Python boundary turns it into PanicException with the
// same message; nothing in the core catches it except the parallel loop, which carries it across threads.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <utility>

namespace korvex {

class InternalFault : public std::exception {
 public:
  explicit InternalFault(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Throws the fault of an index read past the end of a sequence of `len` items.
[[noreturn]] inline void index_out_of_bounds(std::size_t index, std::size_t len) {
  throw InternalFault("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
                      std::to_string(index));
}

}  // namespace korvex
