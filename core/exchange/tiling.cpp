#include "exchange/tiling.h"

#include <algorithm>

#include "zone/zone.h"

namespace zarel {

Result<Tiling> Tiling::of(const Profile& profile, std::span<const uint64_t> cids, bool rim_points) {
  Tiling t;
  t.rim_points_ = rim_points;
  ZAREL_TRY(t.grid_, profile.geometry());
  t.h_ = profile.hierarchy();
  t.side_ = t.grid_.side;
  uint32_t lo = UINT32_MAX, hi = 0;
  for (uint64_t cid : cids) {
    auto level = t.h_.check(cid);
    if (!level) continue;
    lo = std::min(lo, *level);
    hi = std::max(hi, *level);
    auto path = t.h_.path(cid);
    if (path && geo::cell_kind(t.grid_, *path) == geo::CellKind::HoldsPole) t.caps_ = true;
    if (path && geo::is_polar(*path)) t.polar_ = true;
  }
  if (t.caps_) {
    t.drawn_.assign(cids.begin(), cids.end());
    std::sort(t.drawn_.begin(), t.drawn_.end());
  }
  if (lo > hi || (lo == hi && !(rim_points && t.polar_))) return t;
  t.finest_ = hi;
  t.mixed_ = lo < hi;
  t.ranges_.reserve(cids.size());
  for (uint64_t cid : cids) {
    auto level = t.h_.check(cid);
    if (!level) continue;
    uint64_t scale = pow_u64(t.h_.a, hi - *level);
    t.ranges_.emplace_back(cid * scale, (cid + 1) * scale);
  }
  std::sort(t.ranges_.begin(), t.ranges_.end());
  size_t out = 0;
  for (const auto& r : t.ranges_) {
    if (out && r.first <= t.ranges_[out - 1].second) t.ranges_[out - 1].second = std::max(t.ranges_[out - 1].second, r.second);
    else t.ranges_[out++] = r;
  }
  t.ranges_.resize(out);
  return t;
}

Tiling::Held Tiling::held(uint64_t cid, uint32_t level) const {
  uint64_t scale = pow_u64(h_.a, finest_ - level);
  uint64_t lo = cid * scale, hi = (cid + 1) * scale;
  auto it = std::lower_bound(ranges_.begin(), ranges_.end(), lo,
                             [](const std::pair<uint64_t, uint64_t>& r, uint64_t v) { return r.second <= v; });
  if (it == ranges_.end() || it->first >= hi) return Held::None;
  return it->first <= lo && it->second >= hi ? Held::Whole : Held::Part;
}

geo::Vertex Tiling::child_along(const geo::Vertex& cell, geo::Edge e, uint32_t k) const {
  uint32_t s = side_;
  uint64_t r = 0, c = 0;
  switch (e) {
    case geo::Edge::kTop: r = 0, c = k; break;
    case geo::Edge::kRight: r = k, c = s - 1; break;
    case geo::Edge::kBottom: r = s - 1, c = s - 1 - k; break;
    case geo::Edge::kLeft: r = s - 1 - k, c = 0; break;
  }
  return {cell.base, cell.level + 1, cell.row * s + r, cell.col * s + c};
}

Tiling::Held Tiling::across(const geo::Vertex& cell, geo::Edge e) const {
  if (ranges_.empty() || cell.level > finest_) return Held::None;
  uint64_t span = pow_u64(side_, cell.level);
  Position next = step_unchecked({cell.base, cell.level, cell.row, cell.col}, static_cast<Direction>(e), span,
                                 grid_.north_square, grid_.south_square);
  return held(cell_at_unchecked(h_, side_, next.base, cell.level, next.row, next.col), cell.level);
}

bool Tiling::touched(const geo::Vertex& cell, geo::Edge e) const {
  Held h = across(cell, e);
  if (h != Held::Part) return h == Held::Whole;
  for (uint32_t k = 0; k < side_; ++k)
    if (touched(child_along(cell, e, k), e)) return true;
  return false;
}

bool Tiling::cap_across(const geo::Vertex& cell, geo::Edge e) const {
  if (!caps_) return false;
  uint64_t span = pow_u64(side_, cell.level);
  Position next = step_unchecked({cell.base, cell.level, cell.row, cell.col}, static_cast<Direction>(e), span,
                                 grid_.north_square, grid_.south_square);
  if (next.base != 0 && next.base != 5) return false;
  // The cells holding a pole are the polar base cell and, for an odd side, its
  // centre child, the centre child's, and so on.
  uint64_t cid = cell_at_unchecked(h_, side_, next.base, cell.level, next.row, next.col);
  uint32_t centre = side_ % 2 ? (h_.a - 1) / 2 : h_.a;
  for (uint32_t k = 0; k <= cell.level; ++k) {
    uint64_t ancestor = cid / pow_u64(h_.a, cell.level - k);
    if (k > 0 && ancestor % h_.a != centre) return false;
    if (std::binary_search(drawn_.begin(), drawn_.end(), ancestor)) return true;
  }
  return false;
}

Status Tiling::walk(const geo::Vertex& cell, geo::Edge e, uint32_t m, bool cap, std::vector<geo::LonLat>& ring,
                    std::vector<uint8_t>& cut) const {
  // Finer drawn cells along this edge: walk it as the edges of the children
  // along it. A neighbour drawn only away from the edge leaves it whole.
  if (mixed_ && across(cell, e) == Held::Part && touched(cell, e)) {
    for (uint32_t k = 0; k < side_; ++k) ZAREL_CHECK(walk(child_along(cell, e, k), e, m, cap, ring, cut));
    return ok();
  }
  ZAREL_CHECK(geo::append_edge(grid_, cell, e, m, ring, rim_points_, rim_shared(cell, e, m)));
  cut.resize(ring.size(), cap || cap_across(cell, e));
  return ok();
}

uint64_t Tiling::count(const geo::Vertex& cell, geo::Edge e, uint32_t m) const {
  if (mixed_ && across(cell, e) == Held::Part && touched(cell, e)) {
    uint64_t sum = 0;
    for (uint32_t k = 0; k < side_; ++k) sum += count(child_along(cell, e, k), e, m);
    return sum;
  }
  bool polar = cell.base == 0 || cell.base == 5;
  if (rim_shared(cell, e, m)) return m - 1;
  return m > 2 && polar && (rim_points_ || geo::is_curved(grid_, cell, e)) ? m - 1 : 1;
}

bool Tiling::rim_shared(const geo::Vertex& cell, geo::Edge e, uint32_t m) const {
  if (!rim_points_ || m <= 2 || !polar_ || cell.base == 0 || cell.base == 5) return false;
  bool rim = (e == geo::Edge::kTop && cell.row == 0) ||
             (e == geo::Edge::kBottom && cell.row + 1 == pow_u64(side_, cell.level));
  return rim && across(cell, e) == Held::Whole;
}

uint64_t Tiling::ring_size(const Path& path, uint32_t n) const {
  uint32_t m = n > 2 ? n : 2;
  geo::GridCell c = geo::cell_position(grid_, path);
  geo::Vertex cell{c.base, path.level(), c.row, c.col};
  uint64_t points = 1;
  for (int e = 0; e < 4; ++e) points += count(cell, static_cast<geo::Edge>(e), m);
  return points;
}

Result<std::vector<geo::LonLat>> Tiling::ring(const Path& path, uint32_t n, size_t& pole_at,
                                              std::vector<uint8_t>& cut) const {
  ZAREL_CHECK(geo::check_path(grid_, path));
  uint32_t m = n < 2 ? 2 : n;
  geo::GridCell c = geo::cell_position(grid_, path);
  geo::Vertex cell{c.base, path.level(), c.row, c.col};
  int pole = geo::pole_corner(grid_, path);
  std::vector<geo::LonLat> ring;
  ring.reserve(4 * (m - 1) + 1);
  pole_at = 0;
  cut.clear();
  bool cap = geo::cell_kind(grid_, path) == geo::CellKind::HoldsPole;
  for (int e = 0; e < 4; ++e) {
    if (e == pole) pole_at = ring.size();
    ZAREL_CHECK(walk(cell, static_cast<geo::Edge>(e), m, cap, ring, cut));
  }
  ring.push_back(ring.front());
  return ring;
}

Result<std::vector<geo::LonLat>> Tiling::polygon(const Path& path, uint32_t n) const {
  size_t pole_at = 0;
  std::vector<uint8_t> cut;
  ZAREL_TRY(std::vector<geo::LonLat> ring, this->ring(path, n > 2 ? n : 2, pole_at, cut));
  // A pole corner's extra point comes before the cuts' flags would line up;
  // such cells hold no cap's rim.
  if (geo::pole_corner(grid_, path) >= 0) cut.clear();
  return geo::display_polygon(grid_, path, std::move(ring), pole_at, cut);
}

}  // namespace zarel
