// The rHEALPix projection of the unit sphere: HEALPix with the four polar
// triangles of each hemisphere turned about the pole into one square that
// sits on equatorial square ns + 1 (north) or ss + 1 (south).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "base/error.h"
#include "geo/ellipsoid.h"
#include "geo/healpix.h"

namespace zarel::geo {

// Which polar triangle a point belongs to; `polar` false in the equatorial band.
struct Triangle {
  bool polar = false;
  uint32_t c = 0;
  bool north = false;
};

// Geodetic latitudes (radians) of the inverse by the HEALPix y they come
// from: in the equatorial band the nuclei and corners of one row of cells
// share it, and in a polar square those of one row or column, as the square
// is turned. One fill keeps one and asks each y once while it stays in its
// slot; what it gives is what the inverse computes, bit for bit.
class LatitudeMemo {
 public:
  template <class Compute>
  double get(double y, Compute&& compute) {
    uint64_t bits;
    std::memcpy(&bits, &y, sizeof bits);
    Slot& s = slots_[(bits * 0x9e3779b97f4a7c15u) >> (64 - kBits)];
    if (!s.used || s.bits != bits) s = {bits, compute(), true};
    return s.lat;
  }

 private:
  static constexpr int kBits = 7;
  struct Slot {
    uint64_t bits = 0;
    double lat = 0;
    bool used = false;
  };
  std::array<Slot, size_t{1} << kBits> slots_{};
};

// `lon` relative to lon_0 and wrapped into [-pi, pi), `lat` geodetic; radians.
XY rhealpix_ellipsoid(uint32_t ns, uint32_t ss, bool rearrange, double lon, double lat, const AuthLat& auth);
XY rhealpix_ellipsoid(uint32_t ns, uint32_t ss, bool rearrange, double lon, double lat, double e);
// (lon relative to lon_0, geodetic lat) in radians, or OffImage carrying (x, y).
Result<LonLat> rhealpix_ellipsoid_inverse(uint32_t ns, uint32_t ss, bool rearrange, double x, double y,
                                          const AuthLat& auth, LatitudeMemo* memo = nullptr);
Result<LonLat> rhealpix_ellipsoid_inverse(uint32_t ns, uint32_t ss, bool rearrange, double x, double y, double e);
// The same inverse without building an error, for hot loops: false where it gives OffImage.
bool rhealpix_ellipsoid_inverse_into(uint32_t ns, uint32_t ss, bool rearrange, double x, double y,
                                     const AuthLat& auth, LatitudeMemo* memo, LonLat* out);
// `inverse` classifies points of the rHEALPix image, otherwise of the HEALPix image.
Triangle triangle(uint32_t ns, uint32_t ss, bool inverse, double x, double y);

}  // namespace zarel::geo
