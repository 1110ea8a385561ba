#include "exchange/display.h"

#include <charconv>
#include <cmath>

#include "exchange/tiling.h"
#include "geo/grid.h"
#include "cells/hierarchy.h"

namespace zarel {

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

Result<std::string> cells_geojson(std::span<const uint64_t> cids, const Profile& profile, uint64_t n,
                                  const Cancel& cancel) {
  ZAREL_TRY(Tiling tiling, Tiling::of(profile, cids));
  ZAREL_CHECK(check_edge_points(n));
  const Hierarchy& h = tiling.hierarchy();
  auto m = static_cast<uint32_t>(n);
  // Every cid is checked and every polygon made before any text is written.
  uint64_t points = 0;
  std::vector<std::vector<geo::LonLat>> rings;
  rings.reserve(cids.size());
  Poll poll(cancel, 64);
  for (uint64_t cid : cids) {
    if (poll()) return cancelled();
    ZAREL_TRY(Path path, h.path(cid));
    ZAREL_CHECK(geo::check_path(tiling.grid(), path));
    if (points + tiling.ring_size(path, m) > kMaxDisplayPoints)
      return invalid("the GeoJSON would hold more than the maximum " + std::to_string(kMaxDisplayPoints) + " points");
    ZAREL_TRY(std::vector<geo::LonLat> ring, tiling.polygon(path, m));
    points += ring.size();
    if (points > kMaxDisplayPoints)
      return invalid("the GeoJSON would hold more than the maximum " + std::to_string(kMaxDisplayPoints) + " points");
    rings.push_back(std::move(ring));
  }
  std::string out;
  out.reserve(points * 40 + cids.size() * 160 + 64);
  out += "{\"features\":[";
  for (size_t i = 0; i < cids.size(); ++i) {
    if (poll()) return cancelled();
    Path path = *h.path(cids[i]);
    const std::vector<geo::LonLat>& ring = rings[i];
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
