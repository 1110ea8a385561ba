// Trees as byte masks over all their leaves: one byte per leaf cell (1 covered,
// 0 not) in the layout of zone rasters, n_base stacked n x n blocks with
// n = side^depth, base-major then scanline from the top-left; and the canonical
// tree of such a mask. Both directions refuse a mask of more than 2^30 bytes
// before allocating anything.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/error.h"
#include "profile/profile.h"
#include "tree/tree.h"

namespace zarel {

Result<std::vector<uint8_t>> raster(const Tree& tree);

// Any non-zero byte is a covered leaf. The size checks run before the
// profile's hashing context is made, so no depth past the limit costs anything.
Result<Tree> from_raster(const Profile& profile, uint32_t depth, std::span<const uint8_t> data);
// As above with the context already made for `depth`.
Result<Tree> from_raster(Hierarchy h, uint32_t depth, std::span<const uint8_t> data, HashContextRef ctx);

// The canonical node of a square block of leaves `height` levels below it.
// (row, col) is the node's position among the nodes of its level in the block,
// so the block's own root is at (0, 0); child digit k sits at
// (row * side + k / side, col * side + k % side), and `leaf(row, col)` tells
// whether the leaf there is covered. Uniform blocks collapse bottom-up.
// REQUIRES: side * side == ctx.hierarchy.a, height within ctx's ladders.
template <class Leaf>
Node block_node(const Leaf& leaf, uint64_t side, uint32_t height, uint64_t row, uint64_t col, const HashContext& ctx) {
  if (height == 0) return leaf(row, col) ? Node::full() : Node::empty();
  auto n = static_cast<uint32_t>(side * side);
  ChildBuffer children(n);
  for (uint32_t k = 0; k < n; ++k)
    children[k] = block_node(leaf, side, height - 1, row * side + k / side, col * side + k % side, ctx);
  return make_branch(children.span(), height, ctx);
}

}  // namespace zarel
