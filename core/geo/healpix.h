// The plain HEALPix equal-area projection of the unit sphere, inverse only:
// the rHEALPix mappings rearrange its polar triangles around it.
#pragma once

#include "base/error.h"

namespace zarel::geo {

struct LonLat {
  double lon = 0, lat = 0;
};

struct XY {
  double x = 0, y = 0;
};

inline constexpr double kPi = 3.141592653589793;
inline constexpr double kThreePi = 9.42477796076938;
inline constexpr double kThreePiOver8 = 1.1780972450961724;

// (lon, authalic latitude) in radians, or OffImage carrying (x, y).
Result<LonLat> healpix_sphere_inverse(double x, double y);
// The same split in two: the latitude depends on y alone (so points of one
// row share it), and the longitude, with the image checks, is a few operations.
// healpix_sphere_lat(y) is the latitude healpix_sphere_inverse gives wherever it gives one.
Result<double> healpix_sphere_lon(double x, double y);
double healpix_sphere_lat(double y);
// healpix_sphere_lon without building an error: false where it gives OffImage.
bool healpix_sphere_lon_into(double x, double y, double* lon);

}  // namespace zarel::geo
