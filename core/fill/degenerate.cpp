#include "fill/degenerate.h"

#include <cmath>
#include <optional>

#include "fill/edge_index.h"
#include "geo/orient2d.h"

namespace zarel {

namespace {

int sign(double v) { return (v > 0) - (v < 0); }

// `v` itself, or `edge` (of either sign) when within 4 ulps of it.
double onto_edge(double v, double edge) {
  double ulp = std::nextafter(edge, INFINITY) - edge;
  if (std::fabs(std::fabs(v) - edge) <= 4 * ulp) return std::copysign(edge, v);
  return v;
}

// Whether the ring turns back at `b`: a, b, c on one line and a, c on the same
// side of b. The signs of coordinate differences are exact.
bool turns_back(const Coord& a, const Coord& b, const Coord& c) {
  if (geo::orient2d(a.x, a.y, b.x, b.y, c.x, c.y) != 0) return false;
  int ax = sign(a.x - b.x), cx = sign(c.x - b.x), ay = sign(a.y - b.y), cy = sign(c.y - b.y);
  return (ax != 0 && ax == cx) || (ay != 0 && ay == cy);
}

// The ring's points with spikes and repeats taken out, closed again; empty
// when fewer than three points are left.
Ring reduced(const Ring& ring) {
  std::vector<Coord> kept;
  kept.reserve(ring.size());
  size_t n = ring.size() > 1 && ring.front() == ring.back() ? ring.size() - 1 : ring.size();
  // Each point is pushed once and a spike's tip popped once: linear overall.
  auto settle = [&] {
    for (;;) {
      size_t k = kept.size();
      if (k >= 2 && kept[k - 1] == kept[k - 2]) kept.pop_back();
      else if (k >= 3 && turns_back(kept[k - 3], kept[k - 2], kept[k - 1])) kept.erase(kept.end() - 2);
      else return;
    }
  };
  for (size_t i = 0; i < n; ++i) {
    kept.push_back({onto_edge(ring[i].x, 180), onto_edge(ring[i].y, 90)});
    settle();
  }
  // Around the closing point: the last points against the first ones.
  for (bool changed = true; changed && kept.size() >= 2;) {
    changed = false;
    size_t k = kept.size();
    if (kept[k - 1] == kept[0]) {
      kept.pop_back();
      changed = true;
    } else if (k >= 3 && turns_back(kept[k - 1], kept[0], kept[1])) {
      kept.erase(kept.begin());
      changed = true;
    } else if (k >= 3 && turns_back(kept[k - 2], kept[k - 1], kept[0])) {
      kept.pop_back();
      changed = true;
    }
  }
  if (kept.size() < 3) return {};
  kept.push_back(kept.front());
  return kept;
}

bool proper_crossing(const Coord& a, const Coord& b, const Coord& c, const Coord& d) {
  int o1 = sign(geo::orient2d(a.x, a.y, b.x, b.y, c.x, c.y)), o2 = sign(geo::orient2d(a.x, a.y, b.x, b.y, d.x, d.y));
  int o3 = sign(geo::orient2d(c.x, c.y, d.x, d.y, a.x, a.y)), o4 = sign(geo::orient2d(c.x, c.y, d.x, d.y, b.x, b.y));
  return o1 * o2 < 0 && o3 * o4 < 0;
}

// Where the vertices and edge midpoints of `ring` lie against `area`: whether
// one is strictly inside, and whether all are on its boundary.
struct Samples {
  bool some_inside = false, all_on_boundary = true;
};
Samples sample(const Ring& ring, const EdgeIndex& area) {
  Samples s;
  for (size_t i = 0; i + 1 < ring.size() && !s.some_inside; ++i) {
    const Coord &a = ring[i], &b = ring[i + 1];
    for (Coord p : {a, Coord{a.x / 2 + b.x / 2, a.y / 2 + b.y / 2}}) {
      Location where = area.locate(p.x, p.y);
      s.some_inside |= where == Location::Inside;
      s.all_on_boundary &= where == Location::OnBoundary;
    }
  }
  return s;
}

enum class HoleFate { Keep, Drop, EmptiesShell };

// A hole meets its shell's interior when a vertex or edge midpoint of either
// lies strictly inside the other or their edges cross; otherwise it lies
// outside the shell, or is the shell itself when each ring runs along the other.
HoleFate fate(const Ring& hole, const Ring& shell, const EdgeIndex& shell_area) {
  Samples in_shell = sample(hole, shell_area);
  if (in_shell.some_inside) return HoleFate::Keep;
  EdgeIndex hole_area = EdgeIndex::build({Polygon(hole, {})});
  Samples in_hole = sample(shell, hole_area);
  if (in_hole.some_inside) return HoleFate::Keep;
  if (in_shell.all_on_boundary && in_hole.all_on_boundary) return HoleFate::EmptiesShell;
  for (size_t i = 0; i + 1 < hole.size(); ++i)
    for (size_t j = 0; j + 1 < shell.size(); ++j)
      if (proper_crossing(hole[i], hole[i + 1], shell[j], shell[j + 1])) return HoleFate::Keep;
  return HoleFate::Drop;
}

}  // namespace

MultiPolygon without_degenerate_parts(const MultiPolygon& polygons) {
  MultiPolygon out;
  out.reserve(polygons.size());
  for (const Polygon& polygon : polygons) {
    Ring shell = reduced(polygon.exterior());
    if (shell.empty()) continue;
    std::vector<Ring> holes;
    std::optional<EdgeIndex> shell_area;
    bool empty = false;
    for (const Ring& h : polygon.holes()) {
      Ring hole = reduced(h);
      if (hole.empty()) continue;
      if (!shell_area) shell_area.emplace(EdgeIndex::build({Polygon(shell, {})}));
      HoleFate f = fate(hole, shell, *shell_area);
      if (f == HoleFate::Keep) holes.push_back(std::move(hole));
      empty |= f == HoleFate::EmptiesShell;
    }
    if (!empty) out.emplace_back(std::move(shell), std::move(holes));
  }
  return out;
}

}  // namespace zarel
