// The bounds that calls taking sizes from outside check against, in one place,
// so each is stated once and every road refuses with the same rule.
#pragma once

#include <cstdint>
#include <string>

#include "base/error.h"

namespace zarel {

// The finest resolution a fill accepts.
inline constexpr uint32_t kMaxResolution = 15;

// Cells that one call listing cells (disks, children) gives at most: 1 GiB of cids.
inline constexpr uint64_t kMaxGridCells = uint64_t{1} << 27;

// Leaves materialised by Tree::leaves at most: 2^26 leaves are 512 MiB as u64 and
// about 2.5 GiB as a Python list, which a 64-bit machine honours; a full depth-18
// tree (about 9e17 leaves) is refused before anything is allocated.
inline constexpr uint64_t kMaxLeaves = uint64_t{1} << 26;

// Points of one GeoJSON collection at most (about 2.5 GiB of text).
inline constexpr uint64_t kMaxDisplayPoints = uint64_t{1} << 26;

// Total boundary points of one batch call: 16 GiB of coordinates.
inline constexpr uint64_t kMaxBoundaryPoints = uint64_t{1} << 30;

// A private pool has this many threads at most: beyond it a caller's nthreads
// is a mistake, and honouring it would only cost memory.
inline constexpr uint64_t kMaxThreads = 1024;

// Points per edge of a polar cell's polygon at most: longer rings draw no
// differently, and the bound keeps one cell's ring from growing without limit.
// Every call taking `n` refuses it above the bound, whatever its cells: only
// polar cells read `n`, but whether it is allowed does not depend on them.
inline constexpr uint64_t kMaxDisplayEdgePoints = 65536;

inline Status check_edge_points(uint64_t n) {
  if (n <= kMaxDisplayEdgePoints) return ok();
  return invalid("n " + std::to_string(n) + " is above the maximum " + std::to_string(kMaxDisplayEdgePoints) +
                 " points per edge");
}

}  // namespace zarel
