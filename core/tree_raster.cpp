#include "tree_raster.h"

#include <cstring>
#include <string>

#include "zone.h"

namespace zarel {

namespace {

constexpr uint64_t kMaxRasterBytes = uint64_t{1} << 30;

// n = side^depth, after checking that n * n * n_base bytes stay within the limit.
Result<uint64_t> mask_side(const Hierarchy& h, uint32_t depth) {
  ZAREL_CHECK(side(h));
  ZAREL_TRY(uint64_t n, span(h, depth));
  uint64_t bytes;
  if (__builtin_mul_overflow(n, n, &bytes) || __builtin_mul_overflow(bytes, uint64_t{h.b}, &bytes) ||
      bytes > kMaxRasterBytes)
    return invalid("a raster at level " + std::to_string(depth) + " is too large");
  return n;
}

// Sets the leaves of every Full node below `node` (at local `row`, `col` among
// the nodes `height` levels above the leaves) in an n-wide block.
void fill(const Node& node, uint32_t height, uint64_t row, uint64_t col, uint64_t side, const uint64_t* pow,
          uint8_t* block, uint64_t n) {
  if (node.is_full()) {
    uint64_t k = pow[height];
    for (uint64_t i = 0; i < k; ++i) std::memset(block + (row * k + i) * n + col * k, 1, k);
  } else if (const Branch* b = node.branch()) {
    auto kids = b->children();
    for (uint32_t d = 0; d < kids.size(); ++d)
      fill(kids[d], height - 1, row * side + d / side, col * side + d % side, side, pow, block, n);
  }
}

}  // namespace

Result<std::vector<uint8_t>> raster(const Tree& tree) {
  ZAREL_TRY(uint64_t n, mask_side(tree.hierarchy, tree.depth));
  uint64_t s = *side(tree.hierarchy);
  // side^h for every height; the size check keeps depth (and so h) small.
  std::vector<uint64_t> pow(tree.depth + 1, 1);
  for (uint32_t h = 1; h <= tree.depth; ++h) pow[h] = pow[h - 1] * s;
  std::vector<uint8_t> out(n * n * tree.hierarchy.b, 0);
  for (uint32_t b = 0; b < tree.bases.size(); ++b)
    fill(tree.bases[b], tree.depth, 0, 0, s, pow.data(), out.data() + b * n * n, n);
  return out;
}

namespace {

// The mask's side n, after the size and length checks.
Result<uint64_t> checked_mask(const Hierarchy& h, uint32_t depth, size_t size) {
  ZAREL_TRY(uint64_t n, mask_side(h, depth));
  if (uint64_t needed = n * n * h.b; size != needed)
    return invalid("raster has " + std::to_string(size) + " cells, depth " + std::to_string(depth) + " needs " +
                   std::to_string(needed));
  return n;
}

}  // namespace

Result<Tree> from_raster(const Profile& profile, uint32_t depth, std::span<const uint8_t> data) {
  ZAREL_CHECK(checked_mask(profile.hierarchy(), depth, data.size()));
  ZAREL_TRY(CtxRef ctx, profile.ctx(depth));
  return from_raster(profile.hierarchy(), depth, data, std::move(ctx));
}

Result<Tree> from_raster(Hierarchy h, uint32_t depth, std::span<const uint8_t> data, CtxRef ctx) {
  ZAREL_TRY(uint64_t n, checked_mask(h, depth, data.size()));
  ZAREL_TRY(Tree tree, Tree::empty(h, depth, std::move(ctx)));
  uint64_t s = *side(h);
  for (uint32_t b = 0; b < h.b; ++b) {
    const uint8_t* block = data.data() + b * n * n;
    auto leaf = [block, n](uint64_t row, uint64_t col) { return block[row * n + col] != 0; };
    tree.bases[b] = block_node(leaf, s, depth, 0, 0, *tree.ctx);
  }
  return tree;
}

}  // namespace zarel
