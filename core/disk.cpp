#include "disk.h"

#include <algorithm>
#include <array>
#include <string>

#include "tree/joins.h"

namespace zarel {

namespace {

std::string str(uint64_t v) { return std::to_string(v); }

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

// The grid facts a walk at one level needs, taken once.
struct Layer {
  Hierarchy h;
  uint64_t side, span;
  uint32_t level, ns, ss;

  Position position(uint64_t cid) const { return position_at(h, side, cid, level); }
  uint64_t cid(const Position& p) const { return cell_at_unchecked(h, side, p.base, level, p.row, p.col); }
};

bool contains(const std::vector<uint64_t>& sorted, uint64_t v) {
  return std::binary_search(sorted.begin(), sorted.end(), v);
}

// The cells sharing a corner but no edge with `p` (whose cid is `self`):
// those next to two of its edge neighbours, three where three base cells meet
// at the corner and four elsewhere. REQUIRES: g.span >= 2 (at level 0 the
// base cell opposite would pass for one).
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
  for (size_t i = 0; i + 1 < near.size(); ++i) {
    uint64_t c = near[i];
    if (c != near[i + 1] || (i > 0 && near[i - 1] == c)) continue;
    if (c != self && std::find(edge.begin(), edge.end(), c) == edge.end() && n < 4) out[n++] = c;
  }
  return n;
}

// One breadth-first layer: the neighbours of `ring` that lie neither in `ring`
// nor in `prev`, ascending; with `corners`, the cells sharing only a corner
// count as neighbours too. A neighbour of a cell at distance j from the
// sources is at distance j - 1, j or j + 1, so those two layers are all the
// memory the walk needs.
void next_layer(const Layer& g, const std::vector<uint64_t>& prev, const std::vector<uint64_t>& ring,
                std::vector<uint64_t>& next, bool corners = false) {
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

}  // namespace

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
  // A walk that ran out of cells before k steps has nothing at k.
  if (steps_ < k_ && ring_.empty()) steps_ = k_;
}

uint64_t Disks::count(uint64_t cid, uint32_t level, uint64_t limit) {
  Position p = position_at(profile_.hierarchy(), side_, cid, level);
  if (inside(p)) return std::min(ring_only_ ? std::max<uint64_t>(4 * uint64_t{k_}, 1) : 2 * uint64_t{k_} * (k_ + 1) + 1,
                                 limit + 1);
  // The disk holds at least a triangle of its own base cell, toward the
  // farther corner: a walk that could not stay within the limit is not begun.
  uint64_t r = std::min<uint64_t>(k_, (spans_[level] - 1) / 2);
  if ((r + 1) * (r + 2) / 2 > limit) return limit + 1;
  walk(p, limit);
  if (all_.size() > limit) return limit + 1;
  return ring_only_ ? ring_.size() : all_.size();
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
    end = ring_only_ ? std::copy(ring_.begin(), ring_.end(), out) : std::copy(all_.begin(), all_.end(), out);
  }
  std::sort(out, end);
}

namespace {

void sort_unique(std::vector<uint64_t>& v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
}

// Finds the first layer of a dilation: every uncovered leaf next to a covered
// one (`out`), and the covered leaves next to them (`in`), by walking the
// sides of the canonical cells down only where the cell across is partly covered.
class BoundaryWalk {
 public:
  BoundaryWalk(const Tree& tree, const Profile& profile, uint64_t side)
      : tree_(tree), h_(tree.hierarchy), side_(side), ns_(profile.north_square), ss_(profile.south_square) {}

  // False once more than the dilation's limit of leaves were found.
  bool cell(uint64_t cid) {
    Position p = position(h_, cid).value();
    for (uint32_t d = 0; d < 4; ++d)
      if (!side(p, static_cast<Direction>(d))) return false;
    return true;
  }

  std::vector<uint64_t> in, out;

 private:
  uint64_t span(uint32_t level) const { return zarel::span(h_, level).value(); }
  uint64_t cid(const Position& p) const { return cell_at_unchecked(h_, side_, p.base, p.level, p.row, p.col); }

  // The side `d` of the covered cell `p`.
  bool side(const Position& p, Direction d) {
    Position across = step_unchecked(p, d, span(p.level), ns_, ss_);
    Node node = tree_.node_at(cid(across)).value().node;
    if (node.is_full()) return true;
    if (p.level == tree_.depth) return add(p, across);
    if (node.is_empty()) return all_leaves(p, d);
    // Partly covered across: the children of `p` along this side, one level down.
    for (uint64_t i = 0; i < side_; ++i)
      if (!side(along(p, d, i, side_), d)) return false;
    return true;
  }

  // Every leaf along side `d` of `p`, the cell across being empty.
  bool all_leaves(const Position& p, Direction d) {
    uint64_t m = 1;
    for (uint32_t l = p.level; l < tree_.depth; ++l) m *= side_;
    // These leaves outside are distinct, so a side longer than the limit is refused unwalked.
    if (m > kMaxDilationLeaves) return false;
    uint64_t leaf_span = span(tree_.depth);
    for (uint64_t i = 0; i < m; ++i) {
      Position leaf = along(p, d, i, m);
      leaf.level = tree_.depth;
      if (!add(leaf, step_unchecked(leaf, d, leaf_span, ns_, ss_))) return false;
    }
    return true;
  }

  // Cell i of the m x m block below `p` that lies along side `d`, at the level
  // where the block has m cells a side (`level` set by the caller for leaves).
  static Position along(const Position& p, Direction d, uint64_t i, uint64_t m) {
    uint64_t r0 = p.row * m, c0 = p.col * m;
    Position q{p.base, p.level + 1, 0, 0};
    switch (d) {
      case kUp: q.row = r0, q.col = c0 + i; break;
      case kRight: q.row = r0 + i, q.col = c0 + m - 1; break;
      case kDown: q.row = r0 + m - 1, q.col = c0 + i; break;
      case kLeft: q.row = r0 + i, q.col = c0; break;
    }
    return q;
  }

  // A leaf outside borders up to four inside, so the lists are compacted as
  // they fill rather than left to hold every repetition.
  bool add(const Position& leaf, const Position& outside) {
    in.push_back(cid(leaf));
    out.push_back(cid(outside));
    if (out.size() < 2 * kMaxDilationLeaves) return true;
    sort_unique(in);
    sort_unique(out);
    return out.size() <= kMaxDilationLeaves;
  }

  const Tree& tree_;
  Hierarchy h_;
  uint64_t side_;
  uint32_t ns_, ss_;
};

Error too_many(uint32_t k, uint32_t depth) {
  return invalid("dilating by " + str(k) + " adds more than " + str(kMaxDilationLeaves) + " leaves at depth " +
                 str(depth));
}

}  // namespace

Result<Tree> dilate(const Tree& tree, const Profile& profile, uint32_t k, bool corners) {
  ZAREL_CHECK(profile.validate());
  ZAREL_CHECK(profile.check_layout());
  ZAREL_TRY(uint64_t s, side(tree.hierarchy));
  if (k == 0 || tree.is_empty()) return tree;
  std::vector<uint64_t> cells = tree.cells();
  BoundaryWalk walk(tree, profile, s);
  for (uint64_t c : cells)
    if (!walk.cell(c)) return too_many(k, tree.depth);
  Layer g{tree.hierarchy, s, zarel::span(tree.hierarchy, tree.depth).value(), tree.depth, profile.north_square,
          profile.south_square};
  std::vector<uint64_t> prev = std::move(walk.in), ring = std::move(walk.out), next;
  sort_unique(prev);
  sort_unique(ring);
  // At level 0 base cells meet only along edges.
  corners = corners && g.span >= 2;
  if (corners) {
    // An uncovered leaf touching a covered one only at a corner, with no
    // covered leaf beside it, has both leaves between them uncovered: the
    // covered one is on the boundary walked, so its corners find it.
    std::array<uint64_t, 4> diagonal{};
    for (uint64_t c : prev) {
      for (uint32_t i = 0, n = corner_cells(g, g.position(c), c, diagonal); i < n; ++i)
        if (!holds(tree, diagonal[i], tree.depth)) ring.push_back(diagonal[i]);
      if (ring.size() > 2 * kMaxDilationLeaves) sort_unique(ring);
      if (ring.size() > kMaxDilationLeaves) return too_many(k, tree.depth);
    }
    sort_unique(ring);
  }
  std::vector<uint64_t> added = ring;
  for (uint32_t j = 1; j < k && !ring.empty() && added.size() <= kMaxDilationLeaves; ++j) {
    next_layer(g, prev, ring, next, corners);
    // The covered leaves known are the boundary's; one met first across a
    // corner of the first layer is dropped here.
    if (corners && j == 1) std::erase_if(next, [&](uint64_t c) { return holds(tree, c, tree.depth); });
    added.insert(added.end(), next.begin(), next.end());
    std::swap(prev, ring);
    std::swap(ring, next);
  }
  if (added.size() > kMaxDilationLeaves) return too_many(k, tree.depth);
  added.insert(added.end(), cells.begin(), cells.end());
  return Tree::from_cells(added, tree.depth, tree.hierarchy, tree.ctx);
}

}  // namespace zarel
