#include "display.h"

#include <charconv>
#include <cmath>

#include "geo/grid.h"
#include "hierarchy.h"

namespace zarel {

namespace {

// Shortest text that reads back as the same double, always as a float
// ("50.0", not "50"); null for a non-finite value.
void put_number(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  char buf[64];
  auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  out.append(buf, end);
  if (std::string_view(buf, end - buf).find_first_of(".e") == std::string_view::npos) out += ".0";
}

uint64_t polygon_points(const geo::Grid& grid, const Path& path, uint64_t n) {
  bool polar = path.base() == 0 || path.base() == 5;
  uint64_t ring = polar && n > 2 ? 4 * (n - 1) + 1 : 5;
  // A cell holding a pole closes through it with four more points.
  return geo::shape(grid, path) == 1 ? ring + 4 : ring;
}

}  // namespace

Result<std::string> cells_geojson(std::span<const uint64_t> cids, const Profile& profile, uint64_t n) {
  ZAREL_CHECK(profile.validate());
  if (profile.n_base != 6)
    return invalid("the rHEALPix layout has 6 base cells, the profile has " + std::to_string(profile.n_base));
  if (n > kMaxDisplayEdgePoints)
    return invalid("n " + std::to_string(n) + " is above the maximum " + std::to_string(kMaxDisplayEdgePoints) +
                   " points per edge");
  Hierarchy h = profile.hierarchy();
  geo::Grid grid = profile.grid();
  // Every cid is checked and the points counted before any text is written.
  uint64_t points = 0;
  for (uint64_t cid : cids) {
    ZAREL_TRY(Path path, h.path(cid));
    points += polygon_points(grid, path, n);
    if (points > kMaxDisplayPoints)
      return invalid("the GeoJSON would hold more than the maximum " + std::to_string(kMaxDisplayPoints) + " points");
  }
  std::string out;
  out.reserve(points * 40 + cids.size() * 160 + 64);
  out += "{\"features\":[";
  auto m = static_cast<uint32_t>(n);
  for (size_t i = 0; i < cids.size(); ++i) {
    Path path = *h.path(cids[i]);
    ZAREL_TRY(std::vector<geo::LonLat> ring, geo::cell_polygon(grid, path, m));
    if (i) out += ',';
    out += "{\"geometry\":{\"coordinates\":[[";
    for (size_t k = 0; k < ring.size(); ++k) {
      out += k ? ",[" : "[";
      put_number(out, ring[k].lon);
      out += ',';
      put_number(out, ring[k].lat);
      out += ']';
    }
    std::string cid = std::to_string(cids[i]);
    out += "]],\"type\":\"Polygon\"},\"id\":\"" + cid + "\",\"properties\":{\"cid\":" + cid +
           ",\"level\":" + std::to_string(path.level()) + ",\"suid\":";
    // Suids name cells of the (9, 6) hierarchy only.
    if (h == kRhealpix) {
      out += '"';
      out += path_to_suid(path);
      out += '"';
    } else {
      out += "null";
    }
    out += "},\"type\":\"Feature\"}";
  }
  out += "],\"type\":\"FeatureCollection\"}";
  return out;
}

}  // namespace zarel
