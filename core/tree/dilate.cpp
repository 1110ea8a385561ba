#include "tree/dilate.h"

#include <algorithm>
#include <array>
#include <string>

#include "tree/joins.h"
#include "zone/disk.h"
#include "zone/zone.h"

namespace zarel {

namespace {

std::string str(uint64_t v) { return std::to_string(v); }

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
  uint64_t rows_at(uint32_t level) const { return zarel::base_cell_rows(h_, level).value(); }
  uint64_t cid(const Position& p) const { return cell_at_unchecked(h_, side_, p.base, p.level, p.row, p.col); }

  // The side `d` of the covered cell `p`.
  bool side(const Position& p, Direction d) {
    Position across = step_unchecked(p, d, rows_at(p.level), ns_, ss_);
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
    uint64_t leaf_span = rows_at(tree_.depth);
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

Result<Tree> dilate(const Tree& tree, const Profile& profile, uint32_t k, bool corners, const Cancel& cancel) {
  ZAREL_CHECK(profile.validate());
  ZAREL_CHECK(profile.check_layout());
  ZAREL_TRY(uint64_t s, block_side(tree.hierarchy));
  if (k == 0 || tree.is_empty()) return tree;
  std::vector<uint64_t> cells = tree.cells();
  BoundaryWalk walk(tree, profile, s);
  Poll poll(cancel, 64);
  for (uint64_t c : cells) {
    if (poll()) return cancelled();
    if (!walk.cell(c)) return too_many(k, tree.depth);
  }
  const Hierarchy& h = tree.hierarchy;
  uint64_t span = zarel::base_cell_rows(h, tree.depth).value();
  // The covered leaves next to the boundary are marked first, so the walk
  // outward never turns back into the tree.
  CellMarks marks;
  marks.reset(h, s, tree.depth, span);
  for (uint64_t c : walk.in) marks.mark(position_at(h, s, c, tree.depth));
  uint64_t covered = marks.count();
  std::vector<Position> layer, next;
  for (uint64_t c : walk.out)
    if (Position p = position_at(h, s, c, tree.depth); marks.mark(p)) layer.push_back(p);
  // At level 0 base cells meet only along edges.
  corners = corners && span >= 2;
  Layer g{h, s, span, tree.depth, profile.north_square, profile.south_square};
  std::array<uint64_t, 4> diagonal{};
  if (corners) {
    // An uncovered leaf touching a covered one only at a corner, with no
    // covered leaf beside it, has both leaves between them uncovered: the
    // covered one is on the boundary walked, so its corners find it.
    for (uint64_t c : walk.in) {
      if (poll()) return cancelled();
      for (uint32_t i = 0, n = corner_cells(g, g.position(c), c, diagonal); i < n; ++i)
        if (!holds(tree, diagonal[i], tree.depth))
          if (Position p = g.position(diagonal[i]); marks.mark(p)) layer.push_back(p);
      if (marks.count() - covered > kMaxDilationLeaves) return too_many(k, tree.depth);
    }
  }
  for (uint32_t j = 1; j < k && !layer.empty() && marks.count() - covered <= kMaxDilationLeaves; ++j) {
    next.clear();
    for (const Position& q : layer) {
      if (poll()) return cancelled();
      for (uint32_t d = 0; d < 4; ++d) {
        Position n = step_unchecked(q, static_cast<Direction>(d), span, profile.north_square, profile.south_square);
        if (marks.mark(n)) next.push_back(n);
      }
      if (!corners) continue;
      // Covered leaves off the boundary are met only across a corner of the
      // first layer; they are the tree's own and the walk turns back there.
      for (uint32_t i = 0, n = corner_cells(g, q, g.cid(q), diagonal); i < n; ++i)
        if (j > 1 || !holds(tree, diagonal[i], tree.depth))
          if (Position p = g.position(diagonal[i]); marks.mark(p)) next.push_back(p);
    }
    std::swap(layer, next);
  }
  if (marks.count() - covered > kMaxDilationLeaves) return too_many(k, tree.depth);
  std::vector<uint64_t> grown(marks.count());
  marks.list(grown.data());
  grown.insert(grown.end(), cells.begin(), cells.end());
  return Tree::from_cells(grown, tree.depth, tree.hierarchy, tree.ctx, cancel);
}

}  // namespace zarel
