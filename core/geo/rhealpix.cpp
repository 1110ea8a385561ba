#include "geo/rhealpix.h"

#include <algorithm>
#include <cmath>

#include "geo/ellipsoid.h"

namespace zarel::geo {

namespace {

constexpr double kEps = 1e-15;

// asin(2/3): the authalic latitude where the polar triangles begin.
const double kPhi0 = pasin(2.0 / 3);

// k counter-clockwise quarter-turns (y up) of an offset from a pole.
XY turn(double dx, double dy, uint32_t k) {
  switch (k & 3) {
    case 0: return {dx, dy};
    case 1: return {-dy, dx};
    case 2: return {-dx, -dy};
    default: return {dy, -dx};
  }
}

uint32_t quarter_of(double x) { return x < -kPi / 2 ? 0 : x < 0 ? 1 : x < kPi / 2 ? 2 : 3; }

uint32_t mod4(int64_t v) { return static_cast<uint32_t>(((v % 4) + 4) % 4); }

double square_centre_x(uint32_t q) { return q * kPi / 2 - 3 * kPi / 4; }

}  // namespace

XY rhealpix_ellipsoid(uint32_t ns, uint32_t ss, bool rearrange, double lon, double lat, double e) {
  return rhealpix_ellipsoid(ns, ss, rearrange, lon, lat, AuthLat::make(e));
}

XY rhealpix_ellipsoid(uint32_t ns, uint32_t ss, bool rearrange, double lon, double lat, const AuthLat& auth) {
  double beta = auth(false, lat);
  double x, y;
  if (std::fabs(beta) > kPhi0) {
    double sigma = std::sqrt(3 * (1 - std::fabs(psin(beta))));
    double j = std::clamp(std::floor(2 * lon / kPi + 2), 0.0, 3.0);
    double lonc = j * kPi / 2 - 3 * kPi / 4;
    x = lonc + sigma * (lon - lonc);
    y = std::copysign(1.0, beta) * kPi / 4 * (2 - sigma);
  } else {
    x = lon;
    y = kThreePiOver8 * psin(beta);
  }
  if (rearrange && (y > kPi / 4 || y < -kPi / 4)) {
    bool north = y > kPi / 4;
    uint32_t c = quarter_of(x);
    double dx = x - square_centre_x(c);
    double dy = y - (north ? kPi / 2 : -kPi / 2);
    uint32_t k = north ? mod4(int64_t{c} - ns) : mod4(int64_t{ss} - c);
    XY t = turn(dx, dy, k);
    x = square_centre_x(north ? ns : ss) + t.x;
    y = (north ? kPi / 2 : -kPi / 2) + t.y;
  }
  return {x, y};
}

Triangle triangle(uint32_t ns, uint32_t ss, bool inverse, double x, double y) {
  if (!inverse) {
    if (y > kPi / 4 || y < -kPi / 4) return {true, quarter_of(x), y > kPi / 4};
    return {};
  }
  if (y > kPi / 4) {
    double dx = x - square_centre_x(ns);
    double a = kPi / 2 + dx, b = kPi / 2 - dx;
    uint32_t c;
    if (y < a - kEps && y >= b - kEps) c = ns + 1;       // right wedge
    else if (y >= a - kEps && y > b + kEps) c = ns + 2;  // top wedge
    else if (y > a + kEps && y <= b + kEps) c = ns + 3;  // left wedge
    else c = ns;                                         // bottom wedge
    return {true, c % 4, true};
  }
  if (y < -kPi / 4) {
    double dx = x - square_centre_x(ss);
    double a = dx - kPi / 2, b = -kPi / 2 - dx;
    uint32_t c;
    if (y <= a + kEps && y > b + kEps) c = ss + 1;       // right wedge
    else if (y < a - kEps && y <= b + kEps) c = ss + 2;  // bottom wedge
    else if (y >= a - kEps && y < b - kEps) c = ss + 3;  // left wedge
    else c = ss;                                         // top wedge
    return {true, c % 4, false};
  }
  return {};
}

Result<LonLat> rhealpix_ellipsoid_inverse(uint32_t ns, uint32_t ss, bool rearrange, double x, double y, double e) {
  return rhealpix_ellipsoid_inverse(ns, ss, rearrange, x, y, AuthLat::make(e));
}

Result<LonLat> rhealpix_ellipsoid_inverse(uint32_t ns, uint32_t ss, bool rearrange, double x, double y,
                                          const AuthLat& auth, LatitudeMemo* memo) {
  LonLat out;
  if (!rhealpix_ellipsoid_inverse_into(ns, ss, rearrange, x, y, auth, memo, &out)) return off_image(x, y);
  return out;
}

bool rhealpix_ellipsoid_inverse_into(uint32_t ns, uint32_t ss, bool rearrange, double x, double y,
                                     const AuthLat& auth, LatitudeMemo* memo, LonLat* out) {
  double ay = std::fabs(y);
  if (ay >= kPi / 4 + kEps) {
    uint32_t q = y > 0 ? ns : ss;
    bool on = ay < 3 * kPi / 4 + kEps && q * kPi / 2 - kPi - kEps < x && x < (q + 1) * kPi / 2 - kPi + kEps;
    if (!on) return false;
  } else if (!(std::fabs(x) < kPi + kEps)) {
    return false;
  }
  double hx = x, hy = y;
  if (rearrange) {
    Triangle t = triangle(ns, ss, true, x, y);
    if (t.polar) {
      uint32_t q = t.north ? ns : ss;
      uint32_t k = t.north ? mod4(int64_t{ns} - t.c) : mod4(int64_t{t.c} - ss);
      double pole = t.north ? kPi / 2 : -kPi / 2;
      XY d = turn(x - square_centre_x(q), y - pole, k);
      hx = square_centre_x(t.c) + d.x;
      hy = std::copysign(1.0, y) * (kPi / 2) + d.y;
    }
  }
  if (!healpix_sphere_lon_into(hx, hy, &out->lon)) return false;
  auto lat = [&] { return auth(true, healpix_sphere_lat(hy)); };
  out->lat = memo ? memo->get(hy, lat) : lat();
  return true;
}

}  // namespace zarel::geo
