// Geometry where Python cannot reach: authalic latitude round trips, the
// projection's fixed points and planar domain, the planar point lookup at
// base-cell edges. Nuclei, areas and rings are checked against oracles in Python.
#include <cmath>
#include <random>

#include "check.h"
#include "geo/ellipsoid.h"
#include "geo/grid.h"
#include "geo/rhealpix.h"
#include "profile/profile.h"
#include "zone/zone.h"

using namespace zarel;
using namespace zarel::geo;

namespace {

bool near(double a, double b, double tol) { return std::fabs(a - b) <= tol; }

double ulps_apart(double a, double b) {
  return std::fabs(a - b) / std::fabs(std::nextafter(a, INFINITY) - a);
}

void authalic() {
  Grid g = Profile::ogc().grid();
  CHECK(near(auth_lat(false, kPi / 2, g.e), kPi / 2, 1e-15));
  CHECK(near(auth_lat(true, -kPi / 2, g.e), -kPi / 2, 1e-15));
  CHECK_EQ(auth_lat(false, 0.7, 0), 0.7);
  CHECK_EQ(auth_lat(true, 0.7, 0), 0.7);
  double worst = 0;
  for (int i = -900; i <= 900; ++i) {
    double lat = i * kPi / 1800 * 0.999;
    worst = std::max(worst, ulps_apart(lat, auth_lat(true, auth_lat(false, lat, g.e), g.e)));
  }
  CHECK(worst <= 1);
}

void projection() {
  double e = Profile::ogc().grid().e;
  // The authalic latitude asin(2/3) is still equatorial: y = 3pi/8 * 2/3.
  XY edge = rhealpix_ellipsoid(0, 0, true, 0.1, pasin(2.0 / 3), 0);
  CHECK(near(edge.y, kPi / 4, 1e-15) && edge.x == 0.1);
  // Just outside the north square's left edge fails; on it maps.
  CHECK(!rhealpix_ellipsoid_inverse(0, 0, true, -kPi - 1e-12, kPi / 2, e).ok());
  CHECK(rhealpix_ellipsoid_inverse(0, 0, true, -kPi, kPi / 2 + 0.1, e).ok());
  CHECK_ERR(rhealpix_ellipsoid_inverse(0, 0, true, 1.5, -2, e),
            "(1.50000000000000000000,-2.00000000000000000000) is not a point in the image of the projection");
  auto pole = rhealpix_ellipsoid_inverse(0, 0, true, -3 * kPi / 4, kPi / 2, e);
  CHECK(pole.ok() && pole->lon == -kPi && pole->lat == kPi / 2);
  // The right half of the north square comes back in the quarter east of its own.
  auto right = rhealpix_ellipsoid_inverse(0, 0, true, -kPi / 2 - 0.01, kPi / 2, e);
  CHECK(right.ok() && right->lon >= -kPi / 2 && right->lon < 0);
  // Forward then inverse returns the point everywhere, with every square placement.
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> ulon(-kPi, kPi), uz(-1, 1);
  double worst = 0;
  for (uint32_t ns = 0; ns < 4; ++ns)
    for (uint32_t ss = 0; ss < 4; ++ss)
      for (int i = 0; i < 2000; ++i) {
        double lon = ulon(rng), lat = std::asin(uz(rng));
        XY p = rhealpix_ellipsoid(ns, ss, true, lon, lat, e);
        auto q = rhealpix_ellipsoid_inverse(ns, ss, true, p.x, p.y, e);
        CHECK(q.ok());
        if (!q) continue;
        double dl = std::fabs(std::remainder(q->lon - lon, 2 * kPi)) * std::cos(lat);
        worst = std::max({worst, dl, std::fabs(q->lat - lat)});
      }
  CHECK(worst < 1e-12);
}

void point_lookup() {
  Grid g = Profile::ogc().grid(), g2 = Profile{.north_square = 2}.grid();
  double q = kPi * g.r_auth / 4, q3 = 3 * kPi * g.r_auth / 4;  // half a base cell's side, and three times it
  constexpr int64_t any = -1;
  const int64_t n15 = pow_u64(3, 15), n16 = pow_u64(3, 16);
  struct Case { const Grid* grid; uint32_t level; double x, y; uint32_t base; int64_t row, col; };
  const Case cases[] = {
      {&g, 3, -2 * q, 0, 2, any, 0},
      {&g, 1, -2 * q + 1, -q, 2, 2, any},
      {&g, 15, -2 * q + 1, -q, 2, n15 - 1, any},
      {&g, 16, -2 * q + 1, -q, 2, n16 - 2, any},
      {&g2, 2, q, 2 * q, 0, any, any},
      // The outer edges of the polar squares are closed: west, east and the far edge.
      {&g2, 2, 0, 2 * q, 0, 4, 0}, {&g2, 2, 2 * q, 2 * q, 0, 4, 8}, {&g2, 2, q, q3, 0, 0, 4},
      {&g, 2, -4 * q, 2 * q, 0, 4, 0}, {&g, 2, -2 * q, 2 * q, 0, 4, 8}, {&g, 2, -3 * q, q3, 0, 0, 4},
      {&g, 2, -4 * q, -q3, 5, 8, 0},
      // The edge shared with an equatorial square stays with the equatorial square.
      {&g, 2, -q3, q, 1, 0, any},
  };
  for (const Case& c : cases) {
    auto got = cell_from_planar(*c.grid, c.level, c.x, c.y);
    bool ok = got && got->base == c.base && (c.row == any || got->row == static_cast<uint64_t>(c.row)) &&
              (c.col == any || got->col == static_cast<uint64_t>(c.col));
    zarel_test::record(ok, __FILE__, __LINE__, "lookup of case " + std::to_string(&c - cases));
  }
}

// Paths no valid grid cell has; the six-base-cell refusals are checked from Python.
void layouts_and_paths() {
  Path last = *Hierarchy{9, 7}.path(9 + 6);
  Grid g = Profile::ogc().grid();
  CHECK_ERR(boundary3(g, last), "base 6 out of range [0, 6)");
  CHECK_ERR(cell_ring(g, Path{}, 3), "empty path");
}

// Strong flattening: the inverse lands on the latitude whose forward image is
// nearest, to the last bit, and the poles and the equator map to themselves.
void strong_flattening() {
  for (uint64_t inv_f_nano : {3000000000ull, 20000000000ull, 149000000000ull}) {
    double e = Profile{.inv_f_nano = inv_f_nano}.grid().e;
    std::mt19937_64 rng(inv_f_nano);
    std::uniform_real_distribution<double> beta(-kPi / 2, kPi / 2);
    for (int i = 0; i < 2000; ++i) {
      double b = beta(rng), lat = auth_lat(true, b, e);
      double up = auth_lat(false, std::nextafter(lat, 10.0), e), down = auth_lat(false, std::nextafter(lat, -10.0), e);
      double back = auth_lat(false, lat, e);
      CHECK(std::fabs(back - b) <= std::fabs(up - b) && std::fabs(back - b) <= std::fabs(down - b));
    }
    CHECK_EQ(auth_lat(true, kPi / 2, e), kPi / 2);
    CHECK_EQ(auth_lat(true, -kPi / 2, e), -kPi / 2);
    CHECK_EQ(auth_lat(true, 0, e), 0.0);
  }
}

}  // namespace

int main() {
  layouts_and_paths();
  strong_flattening();
  authalic();
  projection();
  point_lookup();
  return zarel_test::finish();
}
