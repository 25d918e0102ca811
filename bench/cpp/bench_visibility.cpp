// The exact visibility order of two intersecting 100 x 100 surfaces (19,602 quads) against the plain depth sort
// of the same polygons, both on the process-wide pool, in one run.
//
//   make bench-visibility          (bench_visibility [rounds], 30 by default)
//
// Plain: the collection's projection (every vertex through the view, average depth, descending order), which is
// what a plain draw costs. Exact: the same projection of the vertices, the average depths as fallback depths,
// then the visibility order (cutting and all).
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "parallel/parallel_for.hpp"
#include "parallel/thread_pool.hpp"
#include "poly3d/collection.hpp"
#include "proj3d/projection.hpp"
#include "visibility/visibility.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// A digest of the whole result (every fragment's fields, vertices and flags, bit for bit), so that runs of two
// builds or pool sizes can be compared at a glance: a change of speed must not change it.
std::uint64_t digest(const korvex::visibility::Result& r) {
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a over 64-bit words
  auto mix = [&h](std::uint64_t v) {
    h ^= v;
    h *= 1099511628211ull;
  };
  for (const auto& f : r.fragments) {
    mix((std::uint64_t{static_cast<std::uint8_t>(f.kind)} << 8) | (f.whole ? 1 : 0));
    mix(f.source);
    mix(static_cast<std::uint64_t>(f.id));
    mix((std::uint64_t{f.first} << 32) | f.count);
  }
  for (const double v : r.xy) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    mix(bits);
  }
  for (const std::uint8_t v : r.original) mix(v);
  return h;
}

double ms_of(const std::function<void()>& f) {
  const auto t0 = Clock::now();
  f();
  return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

// The least time of each job over `repeats` rounds, the jobs taking turns within a round so that all of them
// meet the same load of a shared machine.
std::vector<double> best_ms(int repeats, const std::vector<std::function<void()>>& jobs) {
  std::vector<double> best(jobs.size(), 1e300);
  for (int k = 0; k < repeats; ++k) {
    for (std::size_t j = 0; j < jobs.size(); ++j) best[j] = std::min(best[j], ms_of(jobs[j]));
  }
  return best;
}

// A perspective view: (x, y) on screen, depth -1 / distance, so a larger depth is farther.
korvex::proj3d::Matrix4 view(double azim, double elev) {
  const double a = azim * M_PI / 180, e = elev * M_PI / 180, f = 2.0, dist = 10.0;
  const double d[3] = {std::cos(e) * std::cos(a), std::cos(e) * std::sin(a), std::sin(e)};
  const double r[3] = {-std::sin(a), std::cos(a), 0.0};
  const double u[3] = {-std::sin(e) * std::cos(a), -std::sin(e) * std::sin(a), std::cos(e)};
  return {f * r[0], f * r[1], f * r[2], 0.0, f * u[0], f * u[1], f * u[2], 0.0,
          0.0,      0.0,      0.0,      -1.0, -d[0],   -d[1],    -d[2],    dist};
}

}  // namespace

int main(int argc, char** argv) {
  const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;  // rounds per view
  constexpr int n = 100;  // points per side; (n - 1)^2 quads per surface
  std::vector<double> xs, ys, zs;
  korvex::poly3d::PolygonSet set;
  set.reserve(2 * (n - 1) * (n - 1), 2 * (n - 1) * (n - 1) * 12);
  auto grid = [](int i) { return -3.0 + 6.0 * i / (n - 1); };
  for (int s = 0; s < 2; ++s) {
    auto height = [s](double x, double y) {
      return s == 0 ? std::sin(std::hypot(x, y)) : 0.25 * x + 0.4 * std::cos(0.8 * y);
    };
    for (int i = 0; i + 1 < n; ++i) {
      for (int j = 0; j + 1 < n; ++j) {
        const int ci[4] = {i, i + 1, i + 1, i}, cj[4] = {j, j, j + 1, j + 1};
        double* out = set.add(4, 3);
        for (int k = 0; k < 4; ++k) {
          const double x = grid(ci[k]), y = grid(cj[k]), z = height(x, y);
          out[3 * k] = x;
          out[3 * k + 1] = y;
          out[3 * k + 2] = z;
          xs.push_back(x);
          ys.push_back(y);
          zs.push_back(z);
        }
      }
    }
  }
  const std::size_t quads = set.size();
  korvex::poly3d::Poly3DCollection plain(std::move(set), {}, {});

  std::printf("two intersecting %d x %d surfaces: %zu quads, pool of %zu threads\n", n, n, quads,
              korvex::parallel::current_num_threads());
  std::printf("%-14s %10s %10s %10s %9s %10s %16s\n", "view", "plain ms", "exact ms", "order ms", "ratio", "fragments",
              "digest");
  const std::array<std::array<double, 2>, 3> views = {{{-60, 30}, {30, 15}, {120, 60}}};
  for (const auto& v : views) {
    const auto m = view(v[0], v[1]);
    const auto mv = korvex::proj3d::view_of(m);

    std::vector<double> tx(xs.size()), ty(xs.size()), tz(xs.size()), xyz(3 * xs.size()), depths(quads);
    std::vector<std::int64_t> offsets(quads + 1), ids(quads);
    for (std::size_t q = 0; q <= quads; ++q) offsets[q] = static_cast<std::int64_t>(4 * q);
    for (std::size_t q = 0; q < quads; ++q) ids[q] = static_cast<std::int64_t>(q);
    korvex::visibility::Workspace workspace;  // kept between draws, as the collection keeps its buffers
    korvex::visibility::Result result;
    auto& pool = korvex::parallel::current_pool();
    auto project = [&] {
      korvex::proj3d::Projection::proj_transform_vec({xs.data(), xs.size(), ys.data(), ys.size(), zs.data(), zs.size()},
                                                     mv, {tx.data(), ty.data(), tz.data()});
      korvex::parallel::parallel_for(quads, 1024, [&](std::size_t q) {
        double sum = 0.0;
        for (std::size_t k = 4 * q; k < 4 * q + 4; ++k) {
          xyz[3 * k] = tx[k];
          xyz[3 * k + 1] = ty[k];
          xyz[3 * k + 2] = tz[k];
          sum += tz[k];
        }
        depths[q] = sum / 4.0;
      });
    };
    const korvex::visibility::Scene scene{xyz, offsets, ids, depths, {}, {}, {}, {}};
    const std::vector<double> best =
        best_ms(repeats, {[&] { plain.do_3d_projection(mv); },
                          [&] {
                            project();
                            korvex::visibility::order(scene, {}, pool, workspace, result);
                          },
                          [&] { korvex::visibility::order(scene, {}, pool, workspace, result); }});
    const double plain_ms = best[0], exact_ms = best[1], order_ms = best[2];
    std::printf("(%4.0f, %3.0f)    %10.2f %10.2f %10.2f %8.2fx %10zu %016llx%s\n", v[0], v[1], plain_ms, exact_ms,
                order_ms, exact_ms / plain_ms, result.fragments.size(),
                static_cast<unsigned long long>(digest(result)), result.capped ? " (capped)" : "");
  }
  return 0;
}
