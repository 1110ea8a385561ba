// Cells within k edge steps: the disk around a cell, found by walking the
// neighbour graph across the folded base-cell edges, and the marks such walks
// keep their cells in.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "base/error.h"
#include "base/limits.h"
#include "profile/profile.h"
#include "zone/zone.h"

namespace zarel {

// The position of a cid known to lie at `level`: its digits, finest first.
Position position_at(const Hierarchy& h, uint64_t side, uint64_t cid, uint32_t level);

// Cells of one level marked in tiles of t x t cells, each tile the
// descendants of one cell a few levels up: listing the tiles by that cell and
// each tile in cid order gives the marked cells ascending without a sort.
class CellMarks {
 public:
  void reset(const Hierarchy& h, uint64_t side, uint32_t level, uint64_t span);
  // Marks the cell at `p` (of the level reset for); true when it was unmarked.
  bool mark(const Position& p);
  uint64_t count() const { return count_; }
  // The marked cids, ascending, written to `out`, which holds count().
  void list(uint64_t* out) const;

 private:
  template <class Tile>
  bool mark_in(const Position& p, Tile tile);

  Hierarchy h_;
  uint64_t side_ = 0, span_ = 0, tile_ = 1, per_row_ = 0, words_ = 1;
  uint32_t level_ = 0, depth_ = 0;
  std::vector<uint32_t> order_;  // the row-major place in a tile of its i-th cell in cid order
  std::unordered_map<uint64_t, uint32_t> slot_of_;  // tile key -> slot
  std::vector<uint64_t> keys_, bits_;
  uint64_t last_key_ = UINT64_MAX;
  size_t last_slot_ = 0;
  uint64_t count_ = 0;
};

// The disks of one profile's grid at one radius. Keeps its scratch between
// calls, so a loop over many cells allocates only while the scratch grows;
// one per thread.
class Disks {
 public:
  // Fails for a profile that is invalid or not of the rHEALPix layout.
  static Result<Disks> make(const Profile& profile, uint32_t k);

  // The number of cells within k steps of `cid`, or `limit + 1` when there are
  // more than `limit` or there could be: a disk that 2k(k+1)+1 cells or the
  // whole level would not bound within `limit` is refused before any walk.
  // Once `cancel` answers true the answer is unspecified.
  // REQUIRES: `level` is the cid's level by the profile's hierarchy check.
  uint64_t count(uint64_t cid, uint32_t level, uint64_t limit, const Cancel& cancel = never_cancelled());
  // The cells within k steps of `cid`, ascending, written to `out`; left
  // unspecified once `cancel` answers true.
  // REQUIRES: count(cid, level, limit) gave n <= limit; `out` holds n.
  void fill(uint64_t cid, uint32_t level, uint64_t* out, const Cancel& cancel = never_cancelled());

 private:
  friend class Rings;  // a ring is the last layer of the walk
  Disks(const Profile& profile, uint32_t k, uint64_t side);
  // Whether the whole disk lies inside the cell's base cell, where it is a
  // plain diamond of 2k(k+1)+1 cells.
  bool inside(const Position& p) const;
  // The parts of the cids that the positions first, first + 1, ... (as many as
  // `out` holds) along one axis contribute: each base-side digit at level i from
  // the finest weighs `weight` * a^i.
  void parts(uint64_t first, uint64_t weight, std::vector<uint64_t>& out) const;
  // The disk of `p` into `marks_`, stopping past `limit` cells.
  void walk(const Position& p, uint64_t limit, const Cancel& cancel);

  Profile profile_;
  uint32_t k_;
  uint64_t side_;
  std::vector<uint64_t> spans_, powers_;  // side^level and a^level, to the deepest
  std::vector<uint64_t> prev_, ring_;
  std::vector<Position> layer_, next_;
  CellMarks marks_;
  std::optional<std::pair<uint64_t, uint32_t>> walked_;  // the cell whose whole disk marks_ holds
};

// The cells at exactly k edge steps from a cell (the cell itself for k = 0):
// the last layer of one disk walk, or the diamond's rim inside a base cell.
// One per thread, as Disks.
class Rings {
 public:
  static Result<Rings> make(const Profile& profile, uint32_t k);
  // As Disks::count, for the ring; `limit` bounds the disk walked.
  uint64_t count(uint64_t cid, uint32_t level, uint64_t limit, const Cancel& cancel = never_cancelled());
  // REQUIRES: count(cid, level, limit) gave n <= limit; `out` holds n.
  void fill(uint64_t cid, uint32_t level, uint64_t* out, const Cancel& cancel = never_cancelled());

 private:
  explicit Rings(Disks disks) : disks_(std::move(disks)) {}
  Disks disks_;
};

// The grid facts a step at one level needs, taken once.
struct Layer {
  Hierarchy h;
  uint64_t side, span;
  uint32_t level, ns, ss;

  Position position(uint64_t cid) const { return position_at(h, side, cid, level); }
  uint64_t cid(const Position& p) const { return cell_at_unchecked(h, side, p.base, level, p.row, p.col); }
};

// The cells sharing a corner but no edge with `p` (whose cid is `self`):
// those next to two of its edge neighbours, three where three base cells meet
// at the corner and four elsewhere; returns how many it wrote to `out`.
// REQUIRES: g.span >= 2 (at level 0 the base cell opposite would pass for one).
uint32_t corner_cells(const Layer& g, const Position& p, uint64_t self, std::array<uint64_t, 4>& out);

}  // namespace zarel
