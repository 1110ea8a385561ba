#include "fill/polygon.h"

#include <charconv>
#include <cmath>
#include <string>
#include <utility>

namespace zarel {

namespace {

void close(Ring& ring) {
  if (!ring.empty() && !(ring.back() == ring.front())) ring.push_back(ring.front());
}

// The shortest text that reads back to `v`, fixed or scientific, whichever is shorter (1e+300, not 301 digits).
std::string written(double v) {
  if (!std::isfinite(v)) return shortest(v);
  char buf[32];
  auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

Status check_point(double x, double y) {
  if (!std::isfinite(x) || !std::isfinite(y))
    return invalid("(" + written(x) + ", " + written(y) + ") is not finite");
  if (std::fabs(x) > kLonLimit)
    return invalid("longitude " + written(x) +
                   " is outside [-180, 180]; bring 0..360 longitudes into range and split polygons that cross "
                   "the antimeridian");
  if (std::fabs(y) > kLatLimit) return invalid("latitude " + written(y) + " is outside [-90, 90]");
  return ok();
}

// [offsets[k], offsets[k + 1]) as a checked range into an array of `limit` items.
Result<std::pair<size_t, size_t>> span_at(std::span<const int64_t> offsets, size_t k, size_t limit,
                                           const char* what) {
  int64_t lo = offsets[k], hi = offsets[k + 1];
  if (lo < 0 || hi < lo || static_cast<uint64_t>(hi) > limit)
    return invalid(std::string(what) + " offsets " + std::to_string(lo) + ".." + std::to_string(hi) +
                   " are not a range within the " + std::to_string(limit) + " " + what + "s");
  return std::pair<size_t, size_t>(static_cast<size_t>(lo), static_cast<size_t>(hi));
}

}  // namespace

Polygon::Polygon(Ring exterior, std::vector<Ring> holes) : exterior_(std::move(exterior)), holes_(std::move(holes)) {
  close(exterior_);
  for (Ring& h : holes_) close(h);
}

Result<Ring> ring_from_json(const Json& value) {
  if (!value.is_array()) return invalid("ring must be an array");
  Ring ring;
  ring.reserve(value.size() + 1);
  for (const Json& pos : value) {
    if (!pos.is_array() || pos.size() < 2) return invalid("position must be [lon, lat]");
    const Json &lon = pos[0], &lat = pos[1];
    if (!lon.is_number() || !lat.is_number()) return invalid("position must be numeric");
    // Integers become the nearest double; the JSON reader admits no NaN or infinity.
    ring.push_back({lon.get<double>(), lat.get<double>()});
  }
  return ring;
}

Result<Polygon> polygon_from_json(const Json& value) {
  if (!value.is_array()) return invalid("polygon must be an array of rings");
  if (value.empty()) return invalid("polygon has no rings");
  ZAREL_TRY(Ring exterior, ring_from_json(value[0]));
  std::vector<Ring> holes;
  holes.reserve(value.size() - 1);
  for (size_t k = 1; k < value.size(); ++k) {
    ZAREL_TRY(Ring hole, ring_from_json(value[k]));
    holes.push_back(std::move(hole));
  }
  return Polygon(std::move(exterior), std::move(holes));
}

Result<MultiPolygon> geometry_from_arrays(const PolygonArrays& a, size_t i) {
  // Offsets arrays hold one more entry than the items they delimit.
  size_t n_polygons = a.parts.empty() ? 0 : a.parts.size() - 1;
  size_t n_rings = a.rings.empty() ? 0 : a.rings.size() - 1;
  ZAREL_TRY(auto polygons, span_at(a.geometries, i, n_polygons, "polygon"));
  MultiPolygon out;
  out.reserve(polygons.second - polygons.first);
  for (size_t p = polygons.first; p < polygons.second; ++p) {
    ZAREL_TRY(auto rings, span_at(a.parts, p, n_rings, "ring"));
    // A polygon without rings is an empty one: it covers nothing.
    if (rings.first == rings.second) continue;
    std::vector<Ring> all;
    all.reserve(rings.second - rings.first);
    for (size_t k = rings.first; k < rings.second; ++k) {
      ZAREL_TRY(auto points, span_at(a.rings, k, a.xy.size() / 2, "point"));
      Ring ring;
      ring.reserve(points.second - points.first + 1);
      for (size_t j = points.first; j < points.second; ++j) {
        double x = a.xy[2 * j], y = a.xy[2 * j + 1];
        if (auto s = check_point(x, y); !s)
          return invalid("polygon " + std::to_string(p - polygons.first) + ", ring " +
                         std::to_string(k - rings.first) + ", point " + std::to_string(j - points.first) + ": " +
                         s.error().display());
        ring.push_back({x, y});
      }
      all.push_back(std::move(ring));
    }
    Ring exterior = std::move(all.front());
    all.erase(all.begin());
    out.emplace_back(std::move(exterior), std::move(all));
  }
  return out;
}

Result<MultiPolygon> geometry_from_geojson(const Json& value) {
  const Json* v = &value;
  for (;;) {
    const Json* type = member(*v, "type");
    std::string t = type && type->is_string() ? type->get<std::string>() : std::string();
    if (t == "Feature") {
      const Json* geometry = member(*v, "geometry");
      if (!geometry) return invalid("feature without geometry");
      // A geometry that is not an object (null) has no type: unsupported below.
      v = geometry;
      if (v->is_object()) continue;
      t.clear();
    }
    if (t == "Polygon") {
      const Json* coords = member(*v, "coordinates");
      if (!coords) return invalid("missing coordinates");
      ZAREL_TRY(Polygon p, polygon_from_json(*coords));
      MultiPolygon out;
      out.push_back(std::move(p));
      return out;
    }
    if (t == "MultiPolygon") {
      const Json* coords = member(*v, "coordinates");
      if (!coords || !coords->is_array()) return invalid("missing coordinates");
      MultiPolygon out;
      out.reserve(coords->size());
      for (const Json& c : *coords) {
        ZAREL_TRY(Polygon p, polygon_from_json(c));
        out.push_back(std::move(p));
      }
      return out;
    }
    return invalid("unsupported GeoJSON type " + quote(t) + "; need Polygon or MultiPolygon");
  }
}

}  // namespace zarel
