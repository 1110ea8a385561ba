// The rHEALPix projection of the unit sphere: HEALPix with the four polar
// triangles of each hemisphere turned about the pole into one square that
// sits on equatorial square ns + 1 (north) or ss + 1 (south).
#pragma once

#include <cstdint>

#include "base/error.h"
#include "geo/healpix.h"

namespace zarel::geo {

// Which polar triangle a point belongs to; `polar` false in the equatorial band.
struct Triangle {
  bool polar = false;
  uint32_t c = 0;
  bool north = false;
};

// `lon` relative to lon_0 and wrapped into [-pi, pi), `lat` geodetic; radians.
XY rhealpix_ellipsoid(uint32_t ns, uint32_t ss, bool rearrange, double lon, double lat, double e);
// (lon relative to lon_0, geodetic lat) in radians, or OffImage carrying (x, y).
Result<LonLat> rhealpix_ellipsoid_inverse(uint32_t ns, uint32_t ss, bool rearrange, double x, double y, double e);
// `inverse` classifies points of the rHEALPix image, otherwise of the HEALPix image.
Triangle triangle(uint32_t ns, uint32_t ss, bool inverse, double x, double y);

}  // namespace zarel::geo
