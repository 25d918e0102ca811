// What art3d's point and line collections compute around the projection of their points, as Matplotlib computes
// it with NumPy: the masks of points that a linear axis cannot show or that lie outside the view limits, the
// depth-shading scale of Path3DCollection, and the reductions that pick a collection's depth.
#pragma once

#include <cstddef>

namespace korvex::proj3d::mpl {

// The view limits of _viewlim_mask: Bbox.xmin and xmax (np.min and np.max of the interval, NaN if either end
// is) of xy_viewLim's x and y intervals and of zz_viewLim's x interval.
struct ViewLimits {
  double xmin, xmax, ymin, ymax, zmin, zmax;

  // From the two intervals' ends, in any order.
  static ViewLimits from_intervals(const double x[2], const double y[2], const double z[2]) noexcept;
};

// hidden[i] |= the point is outside the limits (xs < xmin, xs > xmax, ...; NaN compares false).
void hide_outside(const double* x, const double* y, const double* z, std::size_t n, const ViewLimits& limits,
                  bool* hidden) noexcept;

// hidden[i] |= some coordinate is NaN or infinite (LinearScale.val_in_range is np.isfinite).
void hide_non_finite(const double* x, const double* y, const double* z, std::size_t n, bool* hidden) noexcept;

// art3d._get_data_scale over the visible points: sqrt(ptp_x ** 2 + ptp_y ** 2 + ptp_z ** 2) with NumPy's scalar
// power (libm's pow), ptp being max - min. Needs at least one visible point. Returns the IEEE exceptions raised
// (a visible NaN counts as invalid: NumPy's max and min would propagate it).
unsigned data_scale(const double* x, const double* y, const double* z, const bool* visible, std::size_t n,
                    double& scale) noexcept;

// The smallest of the visible values (all values when `visible` is null) as np.minimum.reduce gives it. False
// when the answer depends on more than the values' order: a NaN occurs (NumPy returns one of them, payload and
// sign included), or the smallest is a zero and both +0.0 and -0.0 occur (the reduction's order picks one).
// Needs n > 0 (and a visible value).
bool min_value(const double* values, const bool* visible, std::size_t n, double& result) noexcept;

}  // namespace korvex::proj3d::mpl
