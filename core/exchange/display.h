// Display GeoJSON: a FeatureCollection with one Polygon feature per cell for
// drawing on maps, built from the cells' display polygons (counter-clockwise,
// shifted east of 180 degrees where they cross the antimeridian, polar caps
// closed through the pole).
//
// The collection is written straight to compact JSON text, keys in ascending
// order, rather than built as a JSON value first: the text is the only thing
// that grows with the output, a few dozen bytes a point.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/cancel.h"
#include "base/error.h"
#include "base/limits.h"
#include "profile/profile.h"

namespace zarel {

// Features in input order, duplicates repeated; `n` points per edge on polar
// cells (equatorial cells are their four corners). Fails for `n` beyond its
// bound (check_edge_points), then on the first invalid cid, before any text is
// written. Polls `cancel` while the polygons and the text are made.
Result<std::string> cells_geojson(std::span<const uint64_t> cids, const Profile& profile, uint64_t n,
                                  const Cancel& cancel = never_cancelled());

// Shortest text that reads back as the same double, always as a float
// ("50.0", not "50"); null for a non-finite value.
void put_number(std::string& out, double v);

}  // namespace zarel
