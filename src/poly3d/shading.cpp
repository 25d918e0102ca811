// Shading of the stored colours by a light direction.
#include <array>
#include <cmath>
#include <vector>

#include "poly3d/collection.hpp"
#include "common/fault.hpp"

namespace korvex::poly3d {

namespace {

using Vec3 = std::array<double, 3>;

constexpr Vec3 kFallbackNormal = {0.0, 0.0, 1.0};
constexpr double kDegenerateLength = 1e-10;

// Unit normal from the vertices at rows 0, N/3 and 2N/3. Fewer than three vertices, a cross product of length
// 1e-10 or less, or a NaN length give the fallback (0, 0, 1).
Vec3 polygon_normal(const PolygonRef& p) {
  const std::size_t n = p.rows;
  if (n < 3) return kFallbackNormal;
  if (p.cols < 3) index_out_of_bounds(2, p.cols);
  const double* a = p.data;
  const double* b = p.data + (n / 3) * p.cols;
  const double* c = p.data + ((2 * n) / 3) * p.cols;
  const double ux = a[0] - b[0], uy = a[1] - b[1], uz = a[2] - b[2];
  const double wx = b[0] - c[0], wy = b[1] - c[1], wz = b[2] - c[2];
  const double kx = uy * wz - uz * wy;
  const double ky = uz * wx - ux * wz;
  const double kz = ux * wy - uy * wx;
  const double len = std::sqrt((kx * kx + ky * ky) + kz * kz);
  if (!(len > kDegenerateLength)) return kFallbackNormal;
  return Vec3{kx / len, ky / len, kz / len};
}

void scale_rgb(RgbaColor& color, double f) noexcept {
  color[0] *= f;
  color[1] *= f;
  color[2] *= f;  // alpha stays
}

}  // namespace

void Poly3DCollection::shade_colors(double x, double y, double z) {
  const std::size_t n = polygons_.size();
  if (n == 0) return;
  // No test for a zero direction: 0/0 gives NaN factors, as IEEE arithmetic says.
  const double length = std::sqrt((x * x + y * y) + z * z);
  const double lx = x / length;
  const double ly = y / length;
  const double lz = z / length;

  // Every normal exists before the first colour changes, so a polygon that faults leaves all colours untouched.
  std::vector<Vec3> normals(n);
  for (std::size_t i = 0; i < n; ++i) normals[i] = polygon_normal(polygons_[i]);

  // Colours past the polygons belong to none and are left alone; an edge colour is shaded only together with
  // the face colour of the same index.
  const std::size_t faces = facecolors_.size() < n ? facecolors_.size() : n;
  const std::size_t edges = edgecolors_.size();
  for (std::size_t i = 0; i < faces; ++i) {
    const Vec3& k = normals[i];
    const double d = (k[0] * lx + k[1] * ly) + k[2] * lz;
    const double f = ((d + 1.0) * 0.7) * 0.5 + 0.3;
    scale_rgb(facecolors_[i], f);
    if (i < edges) scale_rgb(edgecolors_[i], f);
  }
}

}  // namespace korvex::poly3d
