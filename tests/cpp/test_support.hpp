// Helpers shared by the unit tests of the core.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "common/fault.hpp"
#include "proj3d/matrix.hpp"

namespace korvex::testing {

inline constexpr double kInf = std::numeric_limits<double>::infinity();
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr proj3d::Matrix4 kIdentity = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};

// Bit-for-bit equality; any two NaNs match (a NaN's payload may follow operand order, which the compiler is free
// to swap in a commutative operation).
inline ::testing::AssertionResult same_bits(double expected, double actual) {
  if ((std::isnan(expected) && std::isnan(actual)) ||
      std::bit_cast<std::uint64_t>(expected) == std::bit_cast<std::uint64_t>(actual)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "expected " << expected << ", got " << actual;
}

// The message of the internal fault that `call` throws, or "no fault".
template <class F>
std::string fault_of(F&& call) {
  try {
    call();
  } catch (const InternalFault& f) {
    return f.message();
  }
  return "no fault";
}

}  // namespace korvex::testing
