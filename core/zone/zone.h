// Zone navigation on integers alone: where a cell sits in its base cell (row 0
// at the top), the cell at a position, scanline sub-zones, and the four edge
// neighbours across the folded edges of the six-cell rHEALPix layout.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "base/error.h"
#include "cells/hierarchy.h"
#include "profile/profile.h"

namespace zarel {

struct Position {
  uint32_t base = 0;
  uint32_t level = 0;
  uint64_t row = 0;
  uint64_t col = 0;

  friend bool operator==(const Position&, const Position&) = default;
};

// Children along one edge of a cell's block: the exact square root of the aperture.
Result<uint64_t> block_side(const Hierarchy& h);
// side^level, the rows (and columns) of one base cell at `level`.
Result<uint64_t> base_cell_rows(const Hierarchy& h, uint32_t level);

Result<Position> position(const Hierarchy& h, uint64_t cid);
Result<uint64_t> cell_at(const Hierarchy& h, uint32_t base, uint32_t level, uint64_t row, uint64_t col);
// cell_at without its checks, for hot loops that have made them once: `side`
// is block_side(h), `level` within the deepest, base and position in range.
uint64_t cell_at_unchecked(const Hierarchy& h, uint64_t side, uint32_t base, uint32_t level, uint64_t row,
                           uint64_t col);

// Sub-zones of `ancestor` at relative `depth`, numbered row by row (scanline).
Result<uint64_t> subzone_at(const Hierarchy& h, uint64_t ancestor, uint32_t depth, uint64_t index);
Result<std::vector<uint64_t>> subzones(const Hierarchy& h, uint64_t ancestor, uint32_t depth);
Result<uint64_t> subzone_index(const Hierarchy& h, uint64_t ancestor, uint64_t cid);

enum Direction : uint32_t { kUp, kRight, kDown, kLeft };
// Edge neighbours in the order up, right, down, left.
Result<std::array<uint64_t, 4>> neighbours(const Profile& profile, uint64_t cid);
// The position one step from `p` towards `d` at the same level, across the
// folded base-cell edges: neighbours without its checks, for hot loops that
// have validated the profile's layout. `span` is base_cell_rows(h, p.level), `ns` and `ss`
// the polar square positions.
Position step_unchecked(const Position& p, Direction d, uint64_t span, uint32_t ns, uint32_t ss);

// Rasters of a whole level: n_base stacked n x n blocks (n = base_cell_rows(h, level)),
// base-major then row-major, at most 2^30 entries.
Result<std::vector<uint64_t>> raster_cells(const Hierarchy& h, uint32_t level);
// The flat raster index of each cid; all at the level of the first.
Result<std::vector<int64_t>> raster_index(const Hierarchy& h, std::span<const uint64_t> cids);
// A gather index padding each base-cell raster with `width` cells borrowed
// across the folded edges; -1 beyond a base cell's corners.
Result<std::vector<int64_t>> halo_index(const Profile& profile, uint32_t level, uint32_t width);

}  // namespace zarel
