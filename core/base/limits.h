// The bounds that calls taking sizes from outside check against, in one place,
// so each is stated once and every road refuses with the same rule.
#pragma once

#include <cstdint>

namespace zarel {

// The finest resolution a fill accepts.
inline constexpr uint32_t kMaxResolution = 15;

// Cells that one call listing cells (disks, children) gives at most: 1 GiB of cids.
inline constexpr uint64_t kMaxGridCells = uint64_t{1} << 27;

// Points per edge of a polar cell's polygon at most: longer rings draw no
// differently, and the bound keeps one cell's ring from growing without limit.
// Equatorial cells never read `n`, so they pass whatever it is.
inline constexpr uint64_t kMaxDisplayEdgePoints = 65536;

}  // namespace zarel
