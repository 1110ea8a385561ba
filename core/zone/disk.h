// Cells within k edge steps: the disk around a cell, found by walking the
// neighbour graph across the folded base-cell edges.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/error.h"
#include "base/limits.h"
#include "profile/profile.h"
#include "zone/zone.h"

namespace zarel {

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

// The grid facts a breadth-first walk at one level needs, taken once.
struct Layer {
  Hierarchy h;
  uint64_t side, span;
  uint32_t level, ns, ss;

  Position position(uint64_t cid) const;
  uint64_t cid(const Position& p) const;
};

// The cells sharing a corner but no edge with `p` (whose cid is `self`):
// those next to two of its edge neighbours, three where three base cells meet
// at the corner and four elsewhere; returns how many it wrote to `out`.
// REQUIRES: g.span >= 2 (at level 0 the base cell opposite would pass for one).
uint32_t corner_cells(const Layer& g, const Position& p, uint64_t self, std::array<uint64_t, 4>& out);

// One breadth-first layer: the neighbours of `ring` that lie neither in `ring`
// nor in `prev`, ascending; with `corners`, the cells sharing only a corner
// count as neighbours too. A neighbour of a cell at distance j from the
// sources is at distance j - 1, j or j + 1, so those two layers are all the
// memory the walk needs.
// REQUIRES: `prev` and `ring` sorted.
void next_layer(const Layer& g, const std::vector<uint64_t>& prev, const std::vector<uint64_t>& ring,
                std::vector<uint64_t>& next, bool corners = false);

}  // namespace zarel
