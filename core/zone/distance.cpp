#include "zone/distance.h"

#include <algorithm>

namespace zarel {

namespace {

constexpr int64_t kSteps[4][2] = {{-1, 0}, {0, 1}, {1, 0}, {0, -1}};

int64_t gap(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo - v : v > hi ? v - hi : 0; }

}  // namespace

Result<Distances> Distances::make(const Profile& profile, uint64_t levels) {
  ZAREL_CHECK(profile.validate());
  ZAREL_CHECK(profile.check_layout());
  ZAREL_TRY(uint64_t s, block_side(profile.hierarchy()));
  Distances d(profile);
  Hierarchy h = profile.hierarchy();
  // Which base cell lies across each edge: where a step from the edge's middle
  // cell, one level down, arrives.
  for (uint32_t base = 0; base < h.b; ++base) {
    std::array<uint32_t, 4> across{};
    for (uint32_t dir = 0; dir < 4; ++dir) {
      Position p{base, 1, dir == kUp ? 0 : dir == kDown ? s - 1 : s / 2,
                 dir == kLeft ? 0 : dir == kRight ? s - 1 : s / 2};
      across[dir] = step_unchecked(p, static_cast<Direction>(dir), s, profile.north_square, profile.south_square).base;
    }
    d.faces_.push_back(across);
  }
  d.routes_.resize(h.deepest() + 1);
  for (uint32_t level = 1; level <= h.deepest() && level < 64; ++level)
    if (levels >> level & 1) d.routes_[level] = d.routes_at(level);
  return d;
}

Distances::Routes Distances::routes_at(uint32_t level) const {
  Hierarchy h = profile_.hierarchy();
  auto s = static_cast<int64_t>(base_cell_rows(h, level).value());
  auto apply = [](const Map& f, std::array<int64_t, 2> v) {
    return std::array<int64_t, 2>{f.m[0] * v[0] + f.m[1] * v[1] + f.t[0], f.m[2] * v[0] + f.m[3] * v[1] + f.t[1]};
  };
  auto turn = [](const Map& f, std::array<int64_t, 2> v) {
    return std::array<int64_t, 2>{f.m[0] * v[0] + f.m[1] * v[1], f.m[2] * v[0] + f.m[3] * v[1]};
  };
  // f after g: g's plane mapped through f.
  auto compose = [&](const Map& f, const Map& g) {
    Map out;
    out.m = {f.m[0] * g.m[0] + f.m[1] * g.m[2], f.m[0] * g.m[1] + f.m[1] * g.m[3], f.m[2] * g.m[0] + f.m[3] * g.m[2],
             f.m[2] * g.m[1] + f.m[3] * g.m[3]};
    out.t = apply(f, g.t);
    return out;
  };
  // The two ends of each edge of a base cell, in its own (row, col).
  auto ends = [&](uint32_t dir) {
    int64_t e = s - 1;
    switch (dir) {
      case kUp: return std::array<std::array<int64_t, 2>, 2>{{{0, 0}, {0, e}}};
      case kRight: return std::array<std::array<int64_t, 2>, 2>{{{0, e}, {e, e}}};
      case kDown: return std::array<std::array<int64_t, 2>, 2>{{{e, 0}, {e, e}}};
      default: return std::array<std::array<int64_t, 2>, 2>{{{0, 0}, {e, 0}}};
    }
  };
  // across[f][dir]: the base cell across edge `dir` of f, laid into f's plane
  // so that each step across the edge is one unit step. Found from where the
  // edge's first two cells step to: a quarter turn takes the second's offset
  // from the first to the same offset along the edge.
  std::vector<std::array<Map, 4>> across(h.b);
  const std::array<int64_t, 4> turns[4] = {{1, 0, 0, 1}, {0, -1, 1, 0}, {-1, 0, 0, -1}, {0, 1, -1, 0}};
  for (uint32_t f = 0; f < h.b; ++f)
    for (uint32_t dir = 0; dir < 4; ++dir) {
      auto [e0, e1] = ends(dir);
      std::array<int64_t, 2> along{e1[0] == e0[0] ? 0 : 1, e1[1] == e0[1] ? 0 : 1};
      std::array<int64_t, 2> second{e0[0] + along[0], e0[1] + along[1]};
      auto step = [&](std::array<int64_t, 2> v) {
        Position p = step_unchecked({f, level, static_cast<uint64_t>(v[0]), static_cast<uint64_t>(v[1])},
                                    static_cast<Direction>(dir), static_cast<uint64_t>(s), profile_.north_square,
                                    profile_.south_square);
        return std::array<int64_t, 2>{static_cast<int64_t>(p.row), static_cast<int64_t>(p.col)};
      };
      std::array<int64_t, 2> q0 = step(e0), q1 = step(second);
      std::array<int64_t, 2> dq{q1[0] - q0[0], q1[1] - q0[1]};
      Map m;
      for (const auto& t : turns) {
        m.m = t;
        std::array<int64_t, 2> v = turn(m, dq);
        if (v == along) break;
      }
      std::array<int64_t, 2> mq = turn(m, q0);
      m.t = {e0[0] + kSteps[dir][0] - mq[0], e0[1] + kSteps[dir][1] - mq[1]};
      across[f][dir] = m;
    }

  Routes routes(h.b * h.b);
  // Depth-first over sequences of distinct base cells from each start.
  struct Frame {
    uint32_t face;
    Map map;
  };
  for (uint32_t start = 0; start < h.b; ++start) {
    std::vector<Frame> path{{start, Map{}}};
    std::vector<Crossing> crossings;
    std::vector<bool> seen(h.b, false);
    seen[start] = true;
    auto visit = [&](auto& self) -> void {
      Frame at = path.back();  // a copy: the path grows below
      routes[start * h.b + at.face].push_back({crossings, at.map});
      for (uint32_t dir = 0; dir < 4; ++dir) {
        uint32_t next = faces_[at.face][dir];
        if (seen[next]) continue;
        auto [e0, e1] = ends(dir);
        std::array<int64_t, 2> p0 = apply(at.map, e0), p1 = apply(at.map, e1);
        Crossing c{{std::min(p0[0], p1[0]), std::min(p0[1], p1[1])},
                   {std::max(p0[0], p1[0]), std::max(p0[1], p1[1])},
                   turn(at.map, {kSteps[dir][0], kSteps[dir][1]})};
        Map map = compose(at.map, across[at.face][dir]);
        seen[next] = true;
        crossings.push_back(c);
        path.push_back({next, map});
        self(self);
        path.pop_back();
        crossings.pop_back();
        seen[next] = false;
      }
    };
    visit(visit);
  }
  return routes;
}

uint64_t Distances::between(uint64_t a, uint64_t b, uint32_t level) const {
  Hierarchy h = profile_.hierarchy();
  Position pa = position(h, a).value(), pb = position(h, b).value();
  if (level == 0) {
    if (pa.base == pb.base) return 0;
    const auto& f = faces_[pa.base];
    return std::find(f.begin(), f.end(), pb.base) != f.end() ? 1 : 2;
  }
  std::array<int64_t, 2> from{static_cast<int64_t>(pa.row), static_cast<int64_t>(pa.col)};
  std::array<int64_t, 2> to{static_cast<int64_t>(pb.row), static_cast<int64_t>(pb.col)};
  auto best = INT64_MAX;
  for (const Route& r : routes_[level][pa.base * h.b + pb.base]) {
    const Map& f = r.last;
    std::array<int64_t, 2> end{f.m[0] * to[0] + f.m[1] * to[1] + f.t[0], f.m[2] * to[0] + f.m[3] * to[1] + f.t[1]};
    auto total = static_cast<int64_t>(r.crossings.size());
    for (int axis = 0; axis < 2; ++axis) {
      // The walk's coordinate on this axis, less the steps across so far, must
      // lie in each crossing's range in turn: keep the cheapest set of places.
      int64_t lo = from[axis], hi = from[axis], shift = 0;
      for (const Crossing& c : r.crossings) {
        int64_t clo = c.lo[axis] - shift, chi = c.hi[axis] - shift;
        if (hi < clo) {
          total += clo - hi;
          lo = hi = clo;
        } else if (lo > chi) {
          total += lo - chi;
          lo = hi = chi;
        } else {
          lo = std::max(lo, clo);
          hi = std::min(hi, chi);
        }
        shift += c.step[axis];
      }
      total += gap(end[axis] - shift, lo, hi);
    }
    best = std::min(best, total);
  }
  return static_cast<uint64_t>(best);
}

}  // namespace zarel
