// proj3d's matrix builders with Python's arithmetic on Python numbers, shared by the builders themselves
// (matrices.cpp) and by Axes3D.get_proj (view.cpp), which calls them with the axes' limits and camera distance.
#pragma once

#include <Python.h>

namespace korvex::mpl {

// A Python number as Python computes with it: an exact int, or a double (float and np.float64 alike).
struct Num {
  bool is_int;
  long long i;
  double f;

  double value() const noexcept { return is_int ? static_cast<double>(i) : f; }
};

inline Num integer(long long i) noexcept { return {true, i, 0.0}; }
inline Num real(double f) noexcept { return {false, 0, f}; }

// Reads an int (bool included) within 2**53 in magnitude, or a float (np.float64 included). False otherwise.
bool read_num(PyObject* object, Num& n);

// The entries of world_transformation(*limits, pb_aspect=aspect) (aspect: three numbers, or null for None),
// _persp_transformation(zfront, zback, e) and _ortho_transformation(zfront, zback), row-major. Each returns false
// where Matplotlib's arithmetic would raise, warn (an IEEE exception) or leave the exact integer range.
bool world_entries(const Num (&limits)[6], const Num* aspect, Num (&m)[16]);
bool persp_entries(Num zfront, Num zback, Num e, Num (&m)[16]);
bool ortho_entries(Num zfront, Num zback, Num (&m)[16]);

}  // namespace korvex::mpl
