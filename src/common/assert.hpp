// KORVEX_ASSERT(cond, message): checks an invariant that a comment states (which thread may call, sizes,
// offsets). Active when KORVEX_CHECKED is defined (the C++ tests and the sanitizer builds); compiled out of the
// release wheel, where the condition is not even evaluated.
//
// A failed check is a bug in korvex, never a consequence of bad input: it prints the condition and its place and
// aborts, so a sanitizer or a debugger stops right there instead of running on with broken state.
#pragma once

#if defined(KORVEX_CHECKED)
#include <cstdio>
#include <cstdlib>

namespace korvex {
[[noreturn]] inline void assertion_failed(const char* condition, const char* message, const char* file,
                                          int line) noexcept {
  std::fprintf(stderr, "%s:%d: korvex invariant violated: %s (%s)\n", file, line, message, condition);
  std::fflush(stderr);
  std::abort();
}
}  // namespace korvex

#define KORVEX_ASSERT(cond, message) \
  ((cond) ? static_cast<void>(0) : ::korvex::assertion_failed(#cond, message, __FILE__, __LINE__))
#else
#define KORVEX_ASSERT(cond, message) static_cast<void>(0)
#endif
