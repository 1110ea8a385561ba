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
