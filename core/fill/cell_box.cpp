#include "fill/cell_box.h"

#include <algorithm>
#include <cmath>

namespace zarel {

namespace {

using geo::kPi;

// One box, or two when the longitude range runs east of 180.
CellBoxes split(double lo, double hi, double lat_lo, double lat_hi) {
  CellBoxes out;
  if (hi > 180) {
    out.box[0] = {lo, lat_lo, 180, lat_hi};
    out.box[1] = {-180, lat_lo, hi - 360, lat_hi};
    out.count = 2;
  } else {
    out.box[0] = {lo, lat_lo, hi, lat_hi};
    out.count = 1;
  }
  return out;
}

// The longitude range of a cell's points, taken east of 180 where that makes
// it narrower than 180 degrees (the cell straddles the meridian there).
CellBoxes seam(const double* lons, int n, double lat_lo, double lat_hi) {
  double lo = *std::min_element(lons, lons + n), hi = *std::max_element(lons, lons + n);
  if (hi - lo > 180) {
    double slo = INFINITY, shi = -INFINITY;
    for (int i = 0; i < n; ++i) {
      double v = lons[i] < 0 ? lons[i] + 360 : lons[i];
      slo = std::min(slo, v);
      shi = std::max(shi, v);
    }
    if (shi - slo <= 180) {
      lo = slo;
      hi = shi;
    } else {
      lo = -180;
      hi = 180;
    }
  }
  return split(lo, hi, lat_lo, lat_hi);
}

}  // namespace

Result<CellBounds> CellBounds::make(const Profile& profile) {
  CellBounds info;
  info.grid_ = profile.grid();
  const geo::Grid& g = info.grid_;
  for (uint32_t k = 0; k <= kMaxResolution; ++k) info.planes_[k] = geo::LevelPlane::make(g, k);
  double h = kPi / 4 * g.r_auth;
  for (int b = 1; b <= 4; ++b) {
    ZAREL_TRY(geo::LonLat c, geo::to_lonlat(g, g.ul[b].x + h, g.ul[b].y - h, true));
    info.equator_lon_[b - 1] = c.lon;
  }
  info.north_pole_ = {g.ul[0].x + h, g.ul[0].y - h};
  info.south_pole_ = {g.ul[5].x + h, g.ul[5].y - h};
  Path cap;
  cap.push(0);
  ZAREL_TRY(std::vector<geo::LonLat> edge, geo::boundary3(g, cap));
  info.cap_lat_ = INFINITY;
  for (const geo::LonLat& p : edge) info.cap_lat_ = std::min(info.cap_lat_, p.lat);
  return info;
}

Result<CellBoxes> CellBounds::cell_bbox(const Path& path, geo::LatitudeMemo* memo) const {
  ZAREL_ASSERT(path.base() < 6);
  geo::GridCell c = geo::cell_position(grid_, path);
  uint32_t level = path.level();
  return cell_bbox(path.base(), level <= kMaxResolution ? planes_[level] : geo::LevelPlane::make(grid_, level), c.row,
                   c.col, memo);
}

Result<CellBoxes> CellBounds::cell_bbox(uint32_t b, const geo::LevelPlane& plane, uint64_t row, uint64_t col,
                                      geo::LatitudeMemo* memo) const {
  if (plane.level == 0) {
    if (b == 0) return split(-180, 180, cap_lat_, 90);
    if (b == 5) return split(-180, 180, -90, -cap_lat_);
    double c = equator_lon_[b - 1];
    double lo = c - 45, hi = c + 45;
    if (lo < -180) {
      lo += 360;
      hi += 360;
    }
    return split(lo, hi, -cap_lat_, cap_lat_);
  }
  geo::XY ul = plane.ul(grid_, b, row, col);
  return b == 0 || b == 5 ? polar_bbox(b == 0, ul, plane.width, memo) : equatorial_bbox(ul, plane.width, memo);
}

Result<CellBoxes> CellBounds::equatorial_bbox(geo::XY ul, double w, geo::LatitudeMemo* memo) const {
  // Longitude follows x and latitude follows y, so the extremes lie on the
  // corners; the unrearranged inverse is the one the cell boundaries use.
  ZAREL_TRY(geo::LonLat nw, corner(ul.x, ul.y, false, memo));
  ZAREL_TRY(geo::LonLat e, corner(ul.x + w, ul.y, false, memo));
  ZAREL_TRY(geo::LonLat s, corner(ul.x, ul.y - w, false, memo));
  double lons[2] = {nw.lon, e.lon};
  return seam(lons, 2, std::min(nw.lat, s.lat), std::max(nw.lat, s.lat));
}

Result<CellBoxes> CellBounds::polar_bbox(bool north, geo::XY ul, double s, geo::LatitudeMemo* memo) const {
  geo::XY pole = north ? north_pole_ : south_pole_;
  if (ul.x < pole.x && pole.x < ul.x + s && ul.y - s < pole.y && pole.y < ul.y)
    return north ? split(-180, 180, cap_lat_, 90) : split(-180, 180, -90, -cap_lat_);
  const geo::XY corners[4] = {{ul.x, ul.y}, {ul.x + s, ul.y}, {ul.x + s, ul.y - s}, {ul.x, ul.y - s}};
  double lons[4], lat_lo = INFINITY, lat_hi = -INFINITY;
  for (int i = 0; i < 4; ++i) {
    ZAREL_TRY(geo::LonLat c, corner(corners[i].x, corners[i].y, true, memo));
    lons[i] = c.lon;
    lat_lo = std::min(lat_lo, c.lat);
    lat_hi = std::max(lat_hi, c.lat);
  }
  // Latitude peaks at the square's point nearest the pole (in the L-infinity
  // sense, which clamping also gives); no wider, or every polar cell near a
  // polygon edge at high latitude would be split down to the resolution.
  geo::XY q{std::min(std::max(pole.x, ul.x), ul.x + s), std::min(std::max(pole.y, ul.y - s), ul.y)};
  ZAREL_TRY(geo::LonLat near, corner(q.x, q.y, true, memo));
  if (north) return seam(lons, 4, lat_lo, near.lat);
  return seam(lons, 4, near.lat, lat_hi);
}

}  // namespace zarel
