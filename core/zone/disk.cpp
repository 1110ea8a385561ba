#include "zone/disk.h"

#include <algorithm>

namespace zarel {

namespace {

// The position of a cid known to lie at `level`: its digits, finest first.
Position position_at(const Hierarchy& h, uint64_t side, uint64_t cid, uint32_t level) {
  Position p{0, level, 0, 0};
  uint64_t weight = 1;
  with_constant<9>(h.a, [&](auto a) {
    with_constant<3>(side, [&](auto s) {
      for (uint32_t i = 0; i < level; ++i) {
        uint64_t d = cid % a;
        cid /= a;
        p.row += d / s * weight;
        p.col += d % s * weight;
        weight *= s;
      }
    });
  });
  p.base = static_cast<uint32_t>(cid - h.a);
  return p;
}

bool contains(const std::vector<uint64_t>& sorted, uint64_t v) {
  return std::binary_search(sorted.begin(), sorted.end(), v);
}

}  // namespace

Position Layer::position(uint64_t cid) const { return position_at(h, side, cid, level); }
uint64_t Layer::cid(const Position& p) const { return cell_at_unchecked(h, side, p.base, level, p.row, p.col); }

uint32_t corner_cells(const Layer& g, const Position& p, uint64_t self, std::array<uint64_t, 4>& out) {
  std::array<uint64_t, 4> edge{};
  std::array<uint64_t, 16> near{};
  for (uint32_t d = 0; d < 4; ++d) {
    Position q = step_unchecked(p, static_cast<Direction>(d), g.span, g.ns, g.ss);
    edge[d] = g.cid(q);
    for (uint32_t e = 0; e < 4; ++e)
      near[d * 4 + e] = g.cid(step_unchecked(q, static_cast<Direction>(e), g.span, g.ns, g.ss));
  }
  std::sort(near.begin(), near.end());
  uint32_t n = 0;
  // The first of each run of two or more: a cell next to two edge neighbours.
  for (size_t i = 0; i + 1 < near.size(); ++i) {
    uint64_t c = near[i];
    if (c != near[i + 1] || (i > 0 && near[i - 1] == c)) continue;
    if (c != self && std::find(edge.begin(), edge.end(), c) == edge.end() && n < 4) out[n++] = c;
  }
  return n;
}

void next_layer(const Layer& g, const std::vector<uint64_t>& prev, const std::vector<uint64_t>& ring,
                std::vector<uint64_t>& next, bool corners) {
  next.clear();
  auto consider = [&](uint64_t n) {
    if (!contains(ring, n) && !contains(prev, n)) next.push_back(n);
  };
  std::array<uint64_t, 4> diagonal{};
  for (uint64_t c : ring) {
    Position p = g.position(c);
    for (uint32_t d = 0; d < 4; ++d) consider(g.cid(step_unchecked(p, static_cast<Direction>(d), g.span, g.ns, g.ss)));
    if (corners)
      for (uint32_t i = 0, n = corner_cells(g, p, c, diagonal); i < n; ++i) consider(diagonal[i]);
  }
  std::sort(next.begin(), next.end());
  next.erase(std::unique(next.begin(), next.end()), next.end());
}

Result<Disks> Disks::make(const Profile& profile, uint32_t k, bool ring) {
  ZAREL_CHECK(profile.validate());
  ZAREL_CHECK(profile.check_layout());
  ZAREL_TRY(uint64_t s, side(profile.hierarchy()));
  return Disks(profile, k, s, ring);
}

Disks::Disks(const Profile& profile, uint32_t k, uint64_t side, bool ring)
    : profile_(profile), k_(k), ring_only_(ring), side_(side) {
  Hierarchy h = profile.hierarchy();
  for (uint32_t level = 0; level <= h.deepest(); ++level) {
    spans_.push_back(span(h, level).value());
    powers_.push_back(pow_u64(h.a, level));
  }
}

void Disks::parts(uint64_t first, uint64_t weight, std::vector<uint64_t>& out) const {
  uint64_t v = first, part = 0;
  for (uint32_t i = 0; v > 0; ++i, v /= side_) part += v % side_ * weight * powers_[i];
  out[0] = part;
  // Counting up by one: trailing digits side - 1 roll over to 0, the next digit grows by one.
  for (size_t i = 1; i < out.size(); ++i) {
    uint64_t x = first + i - 1, rolled = 0;
    uint32_t j = 0;
    for (; x % side_ == side_ - 1; ++j, x /= side_) rolled += (side_ - 1) * powers_[j];
    out[i] = out[i - 1] + weight * (powers_[j] - rolled);
  }
}

bool Disks::inside(const Position& p) const {
  uint64_t span = spans_[p.level];
  return uint64_t{k_} * 2 < span && p.row >= k_ && p.col >= k_ && p.row + k_ < span && p.col + k_ < span;
}

void Disks::walk(const Position& p, uint64_t limit) {
  Layer g{profile_.hierarchy(), side_, spans_[p.level], p.level, profile_.north_square, profile_.south_square};
  prev_.clear();
  ring_.assign(1, g.cid(p));
  all_ = ring_;
  for (steps_ = 0; steps_ < k_ && !ring_.empty() && all_.size() <= limit; ++steps_) {
    next_layer(g, prev_, ring_, next_);
    all_.insert(all_.end(), next_.begin(), next_.end());
    std::swap(prev_, ring_);
    std::swap(ring_, next_);
  }
}

uint64_t Disks::count(uint64_t cid, uint32_t level, uint64_t limit) {
  Position p = position_at(profile_.hierarchy(), side_, cid, level);
  if (inside(p))
    return std::min(ring_only_ ? std::max<uint64_t>(4 * uint64_t{k_}, 1) : 2 * uint64_t{k_} * (k_ + 1) + 1,
                    limit + 1);
  // The disk holds at least a triangle of its own base cell, toward the
  // farther corner: a walk that could not stay within the limit is not begun.
  uint64_t r = std::min<uint64_t>(k_, (spans_[level] - 1) / 2);
  if ((r + 1) * (r + 2) / 2 > limit) return limit + 1;
  walk(p, limit);
  if (all_.size() > limit) return limit + 1;
  // A walk that ran out of cells before k steps has nothing at k.
  if (!ring_only_) return all_.size();
  return steps_ == k_ ? ring_.size() : 0;
}

void Disks::fill(uint64_t cid, uint32_t level, uint64_t* out) {
  Hierarchy h = profile_.hierarchy();
  Position p = position_at(h, side_, cid, level);
  uint64_t* end = out;
  if (inside(p)) {
    // A cid is its base's prefix plus a part from the row and a part from the
    // column (digit side * r + c at each level), so each cell is one addition.
    uint64_t prefix = (uint64_t{h.a} + p.base) * powers_[level];
    uint64_t n = 2 * uint64_t{k_} + 1;
    prev_.resize(n);
    ring_.resize(n);
    parts(p.row - k_, side_, prev_);
    parts(p.col - k_, 1, ring_);
    for (uint64_t i = 0; i < n; ++i) {
      uint64_t w = k_ - (i < k_ ? k_ - i : i - k_);
      // A ring keeps the two ends of each row of the diamond (one at its tips).
      uint64_t stride = ring_only_ ? std::max<uint64_t>(2 * w, 1) : 1;
      for (uint64_t j = k_ - w; j <= k_ + w; j += stride) *end++ = prefix + prev_[i] + ring_[j];
    }
  } else {
    walk(p, UINT64_MAX);
    if (!ring_only_) end = std::copy(all_.begin(), all_.end(), out);
    else if (steps_ == k_) end = std::copy(ring_.begin(), ring_.end(), out);
  }
  std::sort(out, end);
}

}  // namespace zarel
