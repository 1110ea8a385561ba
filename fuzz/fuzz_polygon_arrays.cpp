// libFuzzer target: the flat coordinate-array reader and the fill behind it.
// The bytes are cut into four arrays (offsets that run backwards or past their
// arrays, rings of any length, non-finite coordinates): reading every geometry
// must return a polygon or an error without a crash, a sanitizer report or a
// read outside the arrays, every point it returns lies on the Earth, and what
// it reads fills alike as cells and as a tree.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fill/polyfill.h"

namespace {

template <class T>
std::vector<T> take(const uint8_t*& data, size_t& size, size_t count) {
  count = std::min(count, size / sizeof(T));
  std::vector<T> out(count);
  if (count) std::memcpy(out.data(), data, count * sizeof(T));
  data += count * sizeof(T);
  size -= count * sizeof(T);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  // Small counts and small offsets, so that offsets often land in range.
  size_t n_geometries = data[0] % 8, n_parts = data[1] % 8, n_rings = data[2] % 16;
  uint32_t resolution = data[3] % 3;
  data += 4;
  size -= 4;
  auto geometries = take<uint8_t>(data, size, n_geometries);
  auto parts = take<uint8_t>(data, size, n_parts);
  auto rings = take<uint8_t>(data, size, n_rings);
  auto xy = take<double>(data, size, size / sizeof(double));
  auto widen = [](const std::vector<uint8_t>& v) { return std::vector<int64_t>(v.begin(), v.end()); };
  std::vector<int64_t> g = widen(geometries), p = widen(parts), r = widen(rings);
  // Signed offsets too: a byte above 200 stands for a negative one.
  for (auto* v : {&g, &p, &r})
    for (int64_t& o : *v)
      if (o > 200) o = 200 - o;
  // Raw doubles mostly lie far off the Earth, which the reader refuses; folding
  // the large ones back keeps the fill behind it busy.
  for (double& v : xy)
    if (std::isfinite(v) && std::fabs(v) > 1000) v = std::fmod(v, 200.0);
  zarel::PolygonArrays arrays{xy, r, p, g};
  zarel::Profile profile = zarel::Profile::ogc();
  zarel::FillSetup setup(profile);
  for (size_t i = 0; i < arrays.size(); ++i) {
    auto polygons = zarel::geometry_from_arrays(arrays, i);
    if (!polygons) continue;
    for (const zarel::Polygon& polygon : *polygons)
      for (size_t k = 0; k <= polygon.holes().size(); ++k)
        for (const zarel::Coord& c : k == 0 ? polygon.exterior() : polygon.holes()[k - 1])
          if (!(std::fabs(c.x) <= zarel::kLonLimit && std::fabs(c.y) <= zarel::kLatLimit)) std::abort();
    auto cells = zarel::polyfill(*polygons, resolution, setup);
    auto tree = zarel::cover(*polygons, resolution, setup, *setup.ctx(resolution));
    if (!cells || !tree) std::abort();
    auto leaves = tree->leaves();
    if (!leaves || *leaves != *cells) std::abort();
  }
  return 0;
}
