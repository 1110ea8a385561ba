// Polygons read from GeoJSON: a Polygon, a MultiPolygon, or a Feature holding
// one. Coordinates are kept exactly as written, in degrees of longitude and
// latitude: no reprojection, no wrapping, no orientation or validity fix-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/error.h"
#include "base/json.h"

namespace zarel {

// The largest |longitude| and |latitude| the array road takes: values up to 4
// ulps beyond ±180 and ±90 are those edges written with a rounding error
// (-180.00000000000003), read as the edges; anything further out is refused.
inline constexpr double kLonLimit = 180.0 + 4 * 0x1p-45;  // 4 ulps of 180
inline constexpr double kLatLimit = 90.0 + 4 * 0x1p-46;   // 4 ulps of 90

// x = longitude, y = latitude, degrees; no range is imposed.
struct Coord {
  double x = 0, y = 0;
  friend bool operator==(const Coord&, const Coord&) = default;
};

using Ring = std::vector<Coord>;

// The constructor closes every non-empty ring (appends its first point when the
// last differs), so a stored ring's closing edge is its last pair of points.
class Polygon {
 public:
  Polygon(Ring exterior, std::vector<Ring> holes);

  const Ring& exterior() const { return exterior_; }
  const std::vector<Ring>& holes() const { return holes_; }

 private:
  Ring exterior_;
  std::vector<Ring> holes_;
};

// Polygon number = position here; ring number = 0 for the exterior, k for hole k.
using MultiPolygon = std::vector<Polygon>;

// An object of type "Polygon", "MultiPolygon" or "Feature" (through its geometry).
Result<MultiPolygon> geometry_from_geojson(const Json& value);
// The "coordinates" of one polygon: an array of rings, the exterior first.
Result<Polygon> polygon_from_json(const Json& value);
// One ring: an array of [lon, lat, ...] positions; may be empty.
Result<Ring> ring_from_json(const Json& value);

// Many geometries in flat arrays, the ragged layout of GeoArrow multipolygons:
// geometry i is polygons [geometries[i], geometries[i + 1]), polygon p is
// rings [parts[p], parts[p + 1]), ring k is points [rings[k], rings[k + 1]),
// point j is (xy[2j], xy[2j + 1]). Offsets need not start at 0 (a slice of a
// larger array); a geometry or polygon with nothing in it is empty.
struct PolygonArrays {
  std::span<const double> xy;
  std::span<const int64_t> rings, parts, geometries;

  size_t size() const { return geometries.empty() ? 0 : geometries.size() - 1; }
};

// Geometry i of the arrays, its rings closed as a document's are. Offsets
// that run backwards or past their array, and coordinates that are not finite
// or lie off the Earth (longitude outside [-180, 180], latitude outside
// [-90, 90], beyond a few ulps) are refused, naming the polygon, the ring and
// the point within it; nothing outside the arrays is read.
// REQUIRES: i < arrays.size().
Result<MultiPolygon> geometry_from_arrays(const PolygonArrays& arrays, size_t i);

}  // namespace zarel
