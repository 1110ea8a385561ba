// Cells within k edge steps: the disk around a cell, found by walking the
// neighbour graph across the folded base-cell edges, and a tree grown by k
// steps at its depth, found from its boundary alone.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "error.h"
#include "profile.h"
#include "tree.h"
#include "zone.h"

namespace zarel {

// Cells that one call listing cells (disks, children) gives at most: 1 GiB of cids.
inline constexpr uint64_t kMaxGridCells = uint64_t{1} << 27;
// Leaves a dilation may add at most; its walk holds a few copies of them.
inline constexpr uint64_t kMaxDilationLeaves = uint64_t{1} << 25;

// The disks of one profile's grid at one radius, or their rings: the cells at
// exactly k steps. Keeps its scratch between
// calls, so a loop over many cells allocates only while the scratch grows;
// one per thread.
class Disks {
 public:
  // Fails for a profile that is invalid or not of the rHEALPix layout.
  static Result<Disks> make(const Profile& profile, uint32_t k, bool ring = false);

  // The number of cells within k steps of `cid` (at exactly k for a ring), or
  // `limit + 1` when the walk passes more than `limit` (it stops there).
  // REQUIRES: `level` is the cid's level by the profile's hierarchy check.
  uint64_t count(uint64_t cid, uint32_t level, uint64_t limit);
  // The cells within (at exactly) k steps of `cid`, ascending, written to `out`.
  // REQUIRES: count(cid, level, limit) gave n <= limit; `out` holds n.
  void fill(uint64_t cid, uint32_t level, uint64_t* out);

 private:
  Disks(const Profile& profile, uint32_t k, uint64_t side, bool ring);
  // Whether the whole disk lies inside the cell's base cell, where it is a
  // plain diamond of 2k(k+1)+1 cells.
  bool inside(const Position& p) const;
  // The parts of the cids that the positions first, first + 1, ... (as many as
  // `out` holds) along one axis contribute: each base-side digit at level i from
  // the finest weighs `weight` * a^i.
  void parts(uint64_t first, uint64_t weight, std::vector<uint64_t>& out) const;
  // Breadth-first layers into `all_`, at most `limit + 1` cells; the last
  // layer reached stays in `ring_`, `steps_` steps out.
  void walk(const Position& p, uint64_t limit);

  Profile profile_;
  uint32_t k_, steps_ = 0;
  bool ring_only_;
  uint64_t side_;
  std::vector<uint64_t> spans_, powers_;  // side^level and a^level, to the deepest
  std::vector<uint64_t> all_, prev_, ring_, next_;
};

// Every leaf within k edge steps of a covered leaf of `tree` (at its depth),
// the tree's own leaves included; with `corners`, a step may also cross a
// corner (king moves), so coverages meeting at a point grow into each other.
// Only the boundary is walked: a canonical cell whose neighbours are covered
// costs one lookup per side. `profile` is the tree's own.
Result<Tree> dilate(const Tree& tree, const Profile& profile, uint32_t k, bool corners = false);

}  // namespace zarel
