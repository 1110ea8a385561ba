#include "exchange/outline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <unordered_map>

#include "exchange/display.h"
#include "exchange/tiling.h"

namespace zarel {

namespace {

using geo::LonLat;

struct PointKey {
  uint64_t lon, lat;
  friend bool operator==(const PointKey&, const PointKey&) = default;
};

struct PointHash {
  size_t operator()(const PointKey& k) const {
    uint64_t h = k.lon * 0x9e3779b97f4a7c15ULL ^ (k.lat + 0x632be59bd9b4e019ULL + (k.lon << 6) + (k.lon >> 2));
    return static_cast<size_t>(h ^ (h >> 29));
  }
};

// Points named by their bits: the tiling makes a shared point the same doubles.
class Points {
 public:
  void reserve(size_t n) { ids_.reserve(n); }
  uint32_t id(const LonLat& p) {
    PointKey k{};
    std::memcpy(&k.lon, &p.lon, 8);
    std::memcpy(&k.lat, &p.lat, 8);
    auto [it, added] = ids_.try_emplace(k, static_cast<uint32_t>(all.size()));
    if (added) all.push_back(p);
    return it->second;
  }
  std::vector<LonLat> all;

 private:
  std::unordered_map<PointKey, uint32_t, PointHash> ids_;
};

struct Segment {
  uint32_t from, to, count;
};

double ring_area(const std::vector<LonLat>& pts, const std::vector<uint32_t>& ring) {
  double sum = 0;
  for (size_t i = 0; i + 1 < ring.size(); ++i) {
    const LonLat &a = pts[ring[i]], &b = pts[ring[i + 1]];
    sum += (a.lon - b.lon) * (a.lat + b.lat);
  }
  return sum / 2;
}

bool inside(const std::vector<LonLat>& pts, const std::vector<uint32_t>& ring, double x, double y) {
  bool in = false;
  for (size_t i = 0; i + 1 < ring.size(); ++i) {
    const LonLat &a = pts[ring[i]], &b = pts[ring[i + 1]];
    if ((a.lat > y) != (b.lat > y) && x < a.lon + (y - a.lat) / (b.lat - a.lat) * (b.lon - a.lon)) in = !in;
  }
  return in;
}

}  // namespace

Result<Outline> outline(const Profile& profile, std::span<const uint64_t> cells, uint32_t n, const Cancel& cancel) {
  ZAREL_TRY(Tiling tiling, Tiling::of(profile, cells, false));
  Points points;
  std::vector<Segment> segments;
  std::unordered_map<uint64_t, uint32_t> segment_of;
  auto key = [](uint32_t a, uint32_t b) { return uint64_t{a} << 32 | b; };
  // About eight points a cell, each shared by about two.
  points.reserve(cells.size() * 5);
  segment_of.reserve(cells.size() * 10);
  for (uint64_t cid : cells) {
    if (cancel.stop()) return cancelled();
    ZAREL_TRY(Path path, tiling.hierarchy().path(cid));
    ZAREL_TRY(std::vector<LonLat> poly, tiling.polygon(path, n));
    uint32_t prev = points.id(poly[0]);
    for (size_t i = 1; i < poly.size(); ++i) {
      uint32_t at = points.id(poly[i]);
      if (at == prev) continue;
      // An edge met the other way round lies between two covered cells.
      if (auto back = segment_of.find(key(at, prev)); back != segment_of.end() && segments[back->second].count) {
        --segments[back->second].count;
      } else if (auto same = segment_of.find(key(prev, at)); same != segment_of.end()) {
        ++segments[same->second].count;
      } else {
        segment_of.emplace(key(prev, at), static_cast<uint32_t>(segments.size()));
        segments.push_back({prev, at, 1});
      }
      prev = at;
    }
  }
  segment_of.clear();
  const std::vector<LonLat>& pts = points.all;
  // The boundary's segments leaving each point, in the order they were met.
  std::vector<uint32_t> first(pts.size() + 1, 0), leaving;
  for (const Segment& s : segments) first[s.from + 1] += s.count;
  for (size_t i = 0; i < pts.size(); ++i) first[i + 1] += first[i];
  leaving.resize(first.back());
  std::vector<uint32_t> fill(first.begin(), first.end() - 1);
  for (uint32_t i = 0; i < segments.size(); ++i)
    for (uint32_t c = 0; c < segments[i].count; ++c) leaving[fill[segments[i].from]++] = i;
  std::vector<bool> used(leaving.size(), false);

  // Chain the segments into rings. Where rings touch at a point, the walk
  // takes the sharpest left turn, so that each ring keeps to its own side and
  // none crosses itself.
  std::vector<std::vector<uint32_t>> rings;
  for (uint32_t start = 0; start < leaving.size(); ++start) {
    if (used[start]) continue;
    if (cancel.stop()) return cancelled();
    used[start] = true;
    uint32_t origin = segments[leaving[start]].from;
    std::vector<uint32_t> ring{origin};
    uint32_t from = origin, at = segments[leaving[start]].to;
    while (true) {
      ring.push_back(at);
      double back = std::atan2(pts[from].lat - pts[at].lat, pts[from].lon - pts[at].lon);
      uint32_t best = UINT32_MAX;
      double best_turn = 0;
      for (uint32_t k = first[at]; k < first[at + 1]; ++k) {
        if (used[k] && !(k == start && at == origin)) continue;
        const LonLat& to = pts[segments[leaving[k]].to];
        double turn = back - std::atan2(to.lat - pts[at].lat, to.lon - pts[at].lon);
        if (turn <= 0) turn += 2 * geo::kPi;
        if (best == UINT32_MAX || turn < best_turn) best = k, best_turn = turn;
      }
      // Every point has as many boundary segments leaving as arriving.
      ZAREL_ASSERT(best != UINT32_MAX);
      if (best == start) break;
      used[best] = true;
      from = at;
      at = segments[leaving[best]].to;
    }
    rings.push_back(std::move(ring));
  }

  // Shells run counter-clockwise, holes clockwise; a hole belongs to the
  // smallest shell around it.
  std::vector<double> area(rings.size());
  std::vector<uint32_t> shells;
  for (uint32_t r = 0; r < rings.size(); ++r) {
    area[r] = ring_area(pts, rings[r]);
    if (area[r] > 0) shells.push_back(r);
  }
  struct Bounds {
    double lo_x, lo_y, hi_x, hi_y;
  };
  std::vector<Bounds> bounds(rings.size());
  for (uint32_t r = 0; r < rings.size(); ++r) {
    Bounds b{INFINITY, INFINITY, -INFINITY, -INFINITY};
    for (uint32_t p : rings[r]) {
      b.lo_x = std::min(b.lo_x, pts[p].lon), b.hi_x = std::max(b.hi_x, pts[p].lon);
      b.lo_y = std::min(b.lo_y, pts[p].lat), b.hi_y = std::max(b.hi_y, pts[p].lat);
    }
    bounds[r] = b;
  }
  std::vector<std::vector<uint32_t>> holes(rings.size());
  for (uint32_t r = 0; r < rings.size(); ++r) {
    if (area[r] >= 0) continue;
    // The middle of a hole's segment lies on no shell: shells and holes share points only.
    const LonLat &a = pts[rings[r][0]], &b = pts[rings[r][1]];
    double x = (a.lon + b.lon) / 2, y = (a.lat + b.lat) / 2;
    uint32_t owner = UINT32_MAX;
    for (uint32_t s : shells) {
      const Bounds& sb = bounds[s];
      if (x < sb.lo_x || x > sb.hi_x || y < sb.lo_y || y > sb.hi_y) continue;
      if ((owner == UINT32_MAX || area[s] < area[owner]) && inside(pts, rings[s], x, y)) owner = s;
    }
    ZAREL_ASSERT(owner != UINT32_MAX);
    holes[owner].push_back(r);
  }
  Outline out;
  auto put = [&](uint32_t r) {
    for (uint32_t p : rings[r]) out.points.push_back(pts[p]);
    out.rings.push_back(out.points.size());
  };
  for (uint32_t s : shells) {
    put(s);
    for (uint32_t h : holes[s]) put(h);
    out.parts.push_back(out.rings.size() - 1);
  }
  return out;
}

Result<std::string> outline_feature_collection(const Outline& outline, std::string_view properties) {
  if (outline.points.size() > kMaxDisplayPoints)
    return invalid("the GeoJSON would hold more than the maximum " + std::to_string(kMaxDisplayPoints) + " points");
  size_t parts = outline.parts.size() - 1;
  bool one = parts == 1;
  std::string out;
  out.reserve(outline.points.size() * 40 + properties.size() + 128);
  out += "{\"features\":[{\"geometry\":{\"coordinates\":[";
  for (size_t p = 0; p < parts; ++p) {
    if (p) out += ',';
    if (!one) out += '[';
    for (uint64_t r = outline.parts[p]; r < outline.parts[p + 1]; ++r) {
      if (r > outline.parts[p]) out += ',';
      out += '[';
      for (uint64_t k = outline.rings[r]; k < outline.rings[r + 1]; ++k) {
        out += k > outline.rings[r] ? ",[" : "[";
        put_number(out, outline.points[k].lon);
        out += ',';
        put_number(out, outline.points[k].lat);
        out += ']';
      }
      out += ']';
    }
    if (!one) out += ']';
  }
  out += "],\"type\":\"";
  out += one ? "Polygon" : "MultiPolygon";
  out += "\"},\"properties\":";
  out += properties;
  out += ",\"type\":\"Feature\"}],\"type\":\"FeatureCollection\"}";
  return out;
}

}  // namespace zarel
