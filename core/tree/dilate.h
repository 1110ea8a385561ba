// A tree grown by k edge steps at its depth, found from its boundary alone.
#pragma once

#include <cstdint>

#include "base/error.h"
#include "profile/profile.h"
#include "tree/tree.h"

namespace zarel {

// Leaves a dilation may add at most; its walk holds a few copies of them.
inline constexpr uint64_t kMaxDilationLeaves = uint64_t{1} << 25;

// Every leaf within k edge steps of a covered leaf of `tree` (at its depth),
// the tree's own leaves included; with `corners`, a step may also cross a
// corner (the eight cells around a cell), so coverages meeting at a point grow
// into each other. Only the boundary is walked: a canonical cell whose
// neighbours are covered costs one lookup per side. `profile` is the tree's own.
Result<Tree> dilate(const Tree& tree, const Profile& profile, uint32_t k, bool corners = false);

}  // namespace zarel
