// libFuzzer target: the GeoJSON polygon reader and the coverage descent on
// arbitrary bytes. Whatever the document (any shape, huge and tiny numbers,
// deep nesting, empty rings), reading and filling must return without a crash,
// a sanitizer report or a hang; its list, tree and fingerprint forms must agree,
// and the whole-cell modes must hold the nucleus fill between them.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "base/json.h"
#include "fill/polyfill.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks a coarse resolution, so a fill stays quick whatever the polygon.
  uint32_t resolution = data[0] % 3;
  auto doc = zarel::parse_json(std::string_view(reinterpret_cast<const char*>(data + 1), size - 1));
  if (!doc) return 0;
  auto polygons = zarel::geometry_from_geojson(*doc);
  if (!polygons) return 0;
  zarel::Profile profile = zarel::Profile::ogc();
  auto cells = zarel::polyfill(*polygons, resolution, profile);
  auto tree = zarel::cover(*polygons, resolution, profile, *profile.ctx(resolution));
  if (!cells || !tree) std::abort();
  auto leaves = tree->leaves();
  if (!leaves || *leaves != *cells) std::abort();
  auto root = zarel::fingerprint_geojson(*doc, resolution, profile);
  if (!root || *root != tree->root()) std::abort();
  // The modes' order is held only for latitudes on the Earth and coordinates
  // zero or within 10^+-100: rings past a pole, or mixing 1e300 with
  // subnormals, still break it.
  auto modest = [](double v) { return v == 0 || (std::fabs(v) >= 1e-100 && std::fabs(v) <= 1e100); };
  for (const zarel::Polygon& p : *polygons) {
    for (const zarel::Coord& c : p.exterior())
      if (!modest(c.x) || !modest(c.y) || std::fabs(c.y) > 90) return 0;
    for (const zarel::Ring& r : p.holes())
      for (const zarel::Coord& c : r)
        if (!modest(c.x) || !modest(c.y) || std::fabs(c.y) > 90) return 0;
  }
  // Lists are ascending, so inclusion is std::includes.
  const zarel::Cancel& never = zarel::never_cancelled();
  auto inside = zarel::polyfill(*polygons, resolution, profile, never, zarel::Mode::Inside);
  auto overlap = zarel::polyfill(*polygons, resolution, profile, never, zarel::Mode::Overlap);
  if (!inside || !overlap) std::abort();
  if (!std::includes(cells->begin(), cells->end(), inside->begin(), inside->end()) ||
      !std::includes(overlap->begin(), overlap->end(), cells->begin(), cells->end()))
    std::abort();
  return 0;
}
