// Reading the IEEE exception flags that a stretch of arithmetic raised.
//
// NumPy reports the flags its operations raise (as warnings, or errors under np.errstate); code that reproduces a
// NumPy computation reads the same flags to know when NumPy would have spoken. A FlagWindow clears the calling
// thread's flags, raised() reads what the arithmetic since then raised, and the destructor restores the flags
// the thread had before, so the window is invisible to code around it. The flags are per thread: work done on
// other threads needs a window of its own there.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KORVEX_FP_FLAGS_X86 1
#else
#include <cfenv>
#define KORVEX_FP_FLAGS_X86 0
#endif

namespace korvex {

// IEEE exceptions, as bits.
enum FpRaised : unsigned { kInvalid = 1, kDivideByZero = 2, kOverflow = 4, kUnderflow = 8 };

class FlagWindow {
 public:
  FlagWindow() noexcept {
#if KORVEX_FP_FLAGS_X86
    saved_ = _mm_getcsr();
    _mm_setcsr(saved_ & ~0x3Fu);
#else
    std::fegetexceptflag(&saved_, FE_ALL_EXCEPT);
    std::feclearexcept(FE_ALL_EXCEPT);
#endif
    // Keeps the compiler from moving the arithmetic (which feeds stores) out of the window.
    asm volatile("" ::: "memory");
  }
  ~FlagWindow() {
    asm volatile("" ::: "memory");
#if KORVEX_FP_FLAGS_X86
    _mm_setcsr(saved_);
#else
    std::fesetexceptflag(&saved_, FE_ALL_EXCEPT);
#endif
  }
  FlagWindow(const FlagWindow&) = delete;
  FlagWindow& operator=(const FlagWindow&) = delete;

  // FpRaised bits of the invalid, divide-by-zero, overflow and underflow flags raised so far in the window.
  unsigned raised() const noexcept {
    asm volatile("" ::: "memory");
#if KORVEX_FP_FLAGS_X86
    const unsigned csr = _mm_getcsr();  // MXCSR: IE bit 0, ZE bit 2, OE bit 3, UE bit 4
    return ((csr & 0x01u) ? kInvalid : 0u) | ((csr & 0x04u) ? kDivideByZero : 0u) |
           ((csr & 0x08u) ? kOverflow : 0u) | ((csr & 0x10u) ? kUnderflow : 0u);
#else
    const int f = std::fetestexcept(FE_ALL_EXCEPT);
    return ((f & FE_INVALID) ? kInvalid : 0u) | ((f & FE_DIVBYZERO) ? kDivideByZero : 0u) |
           ((f & FE_OVERFLOW) ? kOverflow : 0u) | ((f & FE_UNDERFLOW) ? kUnderflow : 0u);
#endif
  }

 private:
#if KORVEX_FP_FLAGS_X86
  unsigned saved_ = 0;
#else
  std::fexcept_t saved_{};
#endif
};

}  // namespace korvex
