// The outline of a coverage: the boundary of the union of its canonical cells'
// display polygons, found from the cells themselves. The polygons tile
// (exchange/tiling), so an edge two covered cells share appears in both, once
// each way, and cancels; the edges left over are the boundary, chained into
// rings. No polygon is intersected with another, so the corners stay exact.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/cancel.h"
#include "base/error.h"
#include "geo/grid.h"
#include "profile/profile.h"

namespace zarel {

// Polygons in the GeoJSON manner: part p is the rings parts[p] .. parts[p + 1]
// (its shell, counter-clockwise, then its holes, clockwise); ring r is the
// closed run points[rings[r] .. rings[r + 1]].
struct Outline {
  std::vector<geo::LonLat> points;
  std::vector<uint64_t> rings{0};
  std::vector<uint64_t> parts{0};
};

// The outline of the cells (canonical cells of one coverage: disjoint, any
// levels), `n` points per piece of a curved polar edge as in their polygons.
// Polls `cancel` between cells.
Result<Outline> outline(const Profile& profile, std::span<const uint64_t> cells, uint32_t n, const Cancel& cancel);

// A FeatureCollection of one feature whose geometry is the outline (a Polygon
// for one part, else a MultiPolygon) and whose properties are the JSON object
// text `properties`. Refused above kMaxDisplayPoints points.
Result<std::string> outline_feature_collection(const Outline& outline, std::string_view properties);

}  // namespace zarel
