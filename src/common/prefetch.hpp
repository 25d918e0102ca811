// Asking for a cache line ahead of its use, where the compiler offers it (a hint; nothing else changes).
#pragma once

namespace korvex {

inline void prefetch(const void* p) noexcept {
#if defined(__GNUC__)
  __builtin_prefetch(p);
#else
  (void)p;
#endif
}

}  // namespace korvex
