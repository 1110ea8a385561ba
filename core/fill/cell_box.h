// Longitude/latitude boxes that enclose grid cells, for pruning the polygon
// fill: a cell whose box misses the polygon holds no nucleus inside it, and a
// cell whose box lies inside the polygon holds only nuclei inside it.
//
// Equatorial cells are exact boxes: there longitude depends on planar x alone
// and latitude on planar y alone. In a polar square latitude falls with the
// L-infinity distance from the pole and longitude turns monotonically around
// it, so a polar cell's latitude runs from its farthest corner to its point
// nearest the pole, and its longitudes from corner to corner, unless it holds
// the pole. A box that would cross the +-180 meridian is returned as two.
#pragma once

#include <array>
#include <cstdint>

#include "fill/edge_index.h"
#include "base/error.h"
#include "base/limits.h"
#include "geo/grid.h"
#include "cells/hierarchy.h"
#include "profile/profile.h"

namespace zarel {

// One box, or two for a cell across the +-180 meridian.
struct CellBoxes {
  std::array<Box, 2> box;
  uint32_t count = 0;
};

// The grid, its per-level planes and the polar cap facts a fill needs to
// bound any cell by longitude/latitude boxes; made once per profile.
class CellBounds {
 public:
  // REQUIRES: a validated profile with six base cells.
  static Result<CellBounds> make(const Profile& profile);

  // REQUIRES: path.base() < 6. Boxes of neighbouring cells share latitudes
  // through `memo` (see geo::to_lonlat).
  Result<CellBoxes> cell_bbox(const Path& path, geo::LatitudeMemo* memo = nullptr) const;
  // The same for the cell at (row, col) of `base` at plane.level, for a
  // walk that carries positions instead of paths.
  Result<CellBoxes> cell_bbox(uint32_t base, const geo::LevelPlane& plane, uint64_t row, uint64_t col,
                              geo::LatitudeMemo* memo = nullptr) const;

  const geo::Grid& grid() const { return grid_; }
  // The plane facts of `level`, found once per grid. REQUIRES: level <= kMaxResolution.
  const geo::LevelPlane& plane(uint32_t level) const { return planes_[level]; }
  // Lowest latitude of the north polar cap's boundary, degrees.
  double cap_lat() const { return cap_lat_; }
  // Longitudes (degrees, in [-180, 180)) of the centres of equatorial base cells 1..4.
  const std::array<double, 4>& equator_lon() const { return equator_lon_; }

 private:
  Result<CellBoxes> polar_bbox(bool north, geo::XY ul, double s, geo::LatitudeMemo* memo) const;
  Result<CellBoxes> equatorial_bbox(geo::XY ul, double w, geo::LatitudeMemo* memo) const;
  // A corner of a box through the inverse (rearranged or not); the error is to_lonlat's.
  Result<geo::LonLat> corner(double x, double y, bool rearrange, geo::LatitudeMemo* memo) const {
    geo::LonLat p;
    if (geo::to_lonlat_into(grid_, x, y, rearrange, memo, &p)) return p;
    return geo::to_lonlat(grid_, x, y, rearrange);
  }

  geo::Grid grid_;
  std::array<geo::LevelPlane, kMaxResolution + 1> planes_{};
  std::array<double, 4> equator_lon_{};
  geo::XY north_pole_, south_pole_;  // planar metres
  double cap_lat_ = 0;
};

}  // namespace zarel
