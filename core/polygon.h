// Polygons read from GeoJSON: a Polygon, a MultiPolygon, or a Feature holding
// one. Coordinates are kept exactly as written, in degrees of longitude and
// latitude: no reprojection, no wrapping, no orientation or validity fix-up.
#pragma once

#include <vector>

#include "error.h"
#include "json.h"

namespace zarel {

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

}  // namespace zarel
