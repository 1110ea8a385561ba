#include "exchange/display.h"

#include <charconv>
#include <cmath>

#include "geo/grid.h"
#include "cells/hierarchy.h"

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

}  // namespace

Result<std::string> cells_geojson(std::span<const uint64_t> cids, const Profile& profile, uint64_t n) {
  ZAREL_TRY(geo::Grid grid, profile.geometry());
  ZAREL_CHECK(check_edge_points(n));
  Hierarchy h = profile.hierarchy();
  auto m = static_cast<uint32_t>(n);
  // Every cid is checked and the points counted before any text is written.
  uint64_t points = 0;
  for (uint64_t cid : cids) {
    ZAREL_TRY(Path path, h.path(cid));
    points += geo::polygon_size(grid, path, m);
    if (points > kMaxDisplayPoints)
      return invalid("the GeoJSON would hold more than the maximum " + std::to_string(kMaxDisplayPoints) + " points");
  }
  std::string out;
  out.reserve(points * 40 + cids.size() * 160 + 64);
  out += "{\"features\":[";
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
