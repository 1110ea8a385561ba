// The ellipsoid of a profile and the conversion between geodetic and authalic
// latitude, so that the grid is equal-area on the ellipsoid. Radians inside.
#pragma once

#include <array>
#include <cstdint>

namespace zarel::geo {

// sin, asin and ln that give the same bits on every platform (SLEEF's pure-C
// scalar code, no FMA); sqrt is IEEE and needs no replacement.
double psin(double x);
double pasin(double x);
double plog(double x);
// psin(2 lat), psin(4 lat), ..., psin(12 lat), bit for bit, computed `lanes` at
// a time (1, 2 or 4; 0 takes the widest the processor offers, checked once).
std::array<double, 6> psin_multiples(double lat, int lanes = 0);

struct Ellipsoid {
  double a = 0;       // semi-major axis, metres
  double f = 0;       // flattening
  double e = 0;       // first eccentricity
  double r_auth = 0;  // authalic radius, metres

  static Ellipsoid from_profile(uint64_t a_um, uint64_t inv_f_nano);
};

// Forward: geodetic to authalic; inverse: authalic to geodetic. Flattenings
// up to 1/150 take the sixth-order series both ways; stronger ones the closed
// form forward and its exact inversion back.
double auth_lat(bool inverse, double lat, double e);

// auth_lat for one eccentricity, bit for bit, with the choice of road and the
// series coefficients found once (a grid keeps one) rather than per point.
struct AuthLat {
  enum class Road : uint8_t { Identity, Series, ClosedForm };
  double e = 0;
  Road road = Road::Identity;
  std::array<double, 6> forward{}, inverse{};

  static AuthLat make(double e);
  double operator()(bool inverse, double lat) const;
};
// Series coefficients C1..C6 in the third flattening n.
std::array<double, 6> auth_lat_coefficients(bool inverse, double n);

}  // namespace zarel::geo
