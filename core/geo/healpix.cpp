#include "geo/healpix.h"

#include <algorithm>
#include <cmath>

#include "geo/ellipsoid.h"

namespace zarel::geo {

namespace {
constexpr double kTol = 1e-10;
}

bool healpix_sphere_lon_into(double x, double y, double* lon) {
  double ay = std::fabs(y);
  if (!(std::fabs(x) < kPi + kTol && ay < kPi / 2 + kTol)) return false;
  if (ay <= kPi / 4) {
    *lon = x;
    return true;
  }
  // Between two polar triangles.
  double j0 = std::clamp(std::trunc(2 * x / kPi + 2), 0.0, 3.0);
  double x0 = j0 * kPi / 2 - 3 * kPi / 4;
  if (ay >= kPi / 4 + kTol && ay + std::fabs(x - x0) >= kPi / 2 + kTol) return false;
  if (ay < kPi / 2) {
    double j = std::clamp(std::floor(2 * x / kPi + 2), 0.0, 3.0);
    double xc = j * kPi / 2 - 3 * kPi / 4;
    double tau = 2 - 4 * ay / kPi;
    *lon = std::clamp(xc + (x - xc) / tau, -kPi, kPi);
  } else {
    *lon = -kPi;
  }
  return true;
}

Result<double> healpix_sphere_lon(double x, double y) {
  double lon;
  if (!healpix_sphere_lon_into(x, y, &lon)) return off_image(x, y);
  return lon;
}

double healpix_sphere_lat(double y) {
  double ay = std::fabs(y);
  if (ay <= kPi / 4) return pasin(8 * y / kThreePi);
  if (ay < kPi / 2) {
    double tau = 2 - 4 * ay / kPi;
    return std::copysign(1.0, y) * pasin(1 - tau * tau / 3);
  }
  return std::copysign(1.0, y) * (kPi / 2);
}

Result<LonLat> healpix_sphere_inverse(double x, double y) {
  ZAREL_TRY(double lon, healpix_sphere_lon(x, y));
  return LonLat{lon, healpix_sphere_lat(y)};
}

}  // namespace zarel::geo
