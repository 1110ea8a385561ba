#include "polygon.h"

#include <utility>

namespace zarel {

namespace {

void close(Ring& ring) {
  if (!ring.empty() && !(ring.back() == ring.front())) ring.push_back(ring.front());
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
