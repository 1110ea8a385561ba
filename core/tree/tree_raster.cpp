#include "tree/tree_raster.h"

#include <cstring>
#include <string>

#include "zone/zone.h"

namespace zarel {

namespace {

constexpr uint64_t kMaxRasterBytes = uint64_t{1} << 30;

// n = side^depth, after checking that n * n * n_base bytes stay within the limit.
Result<uint64_t> mask_side(const Hierarchy& h, uint32_t depth) {
  ZAREL_CHECK(block_side(h));
  ZAREL_TRY(uint64_t n, base_cell_rows(h, depth));
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
  } else if (node.is_branch()) {
    for (uint32_t d = 0; d < side * side; ++d)
      fill(node.child(d), height - 1, row * side + d / side, col * side + d % side, side, pow, block, n);
  }
}

bool all_zero(const uint8_t* p, uint64_t k) {
  uint8_t any = 0;
  for (uint64_t j = 0; j < k; ++j) any |= p[j];  // no early exit, so it vectorizes
  return any == 0;
}

bool none_zero(const uint8_t* p, uint64_t k) { return std::memchr(p, 0, k) == nullptr; }

// The node of the k x k block (k = side^height) at block position (row, col)
// of an n-wide mask. A uniform block is settled by scanning its rows, which
// stops at the first row that breaks it; only mixed blocks are split, so a
// sparse mask costs about one scan of its bytes rather than a call per leaf.
Node mask_node(const uint8_t* mask, uint64_t n, uint64_t side, const uint64_t* pow, uint32_t height, uint64_t row,
               uint64_t col, const HashContext& ctx) {
  uint64_t k = pow[height];
  const uint8_t* top = mask + row * k * n + col * k;
  bool covered = top[0] != 0, uniform = true;
  for (uint64_t i = 0; uniform && i < k; ++i) uniform = covered ? none_zero(top + i * n, k) : all_zero(top + i * n, k);
  if (uniform) return covered ? Node::full() : Node::empty();
  auto a = static_cast<uint32_t>(side * side);
  ChildBuffer children(a);
  for (uint32_t d = 0; d < a; ++d)
    children[d] = mask_node(mask, n, side, pow, height - 1, row * side + d / side, col * side + d % side, ctx);
  return make_branch(children.span(), height, ctx);
}

std::vector<uint64_t> side_powers(uint64_t side, uint32_t depth) {
  std::vector<uint64_t> pow(depth + 1, 1);
  for (uint32_t h = 1; h <= depth; ++h) pow[h] = pow[h - 1] * side;
  return pow;
}

}  // namespace

Result<std::vector<uint8_t>> raster(const Tree& tree) {
  ZAREL_TRY(uint64_t n, mask_side(tree.hierarchy, tree.depth));
  uint64_t s = *block_side(tree.hierarchy);
  // The size check keeps every side^h of the tree small.
  std::vector<uint64_t> pow = side_powers(s, tree.depth);
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
  ZAREL_TRY(HashContextRef ctx, profile.ctx(depth));
  return from_raster(profile.hierarchy(), depth, data, std::move(ctx));
}

Result<Tree> from_raster(Hierarchy h, uint32_t depth, std::span<const uint8_t> data, HashContextRef ctx) {
  ZAREL_TRY(uint64_t n, checked_mask(h, depth, data.size()));
  ZAREL_TRY(Tree tree, Tree::empty(h, depth, std::move(ctx)));
  uint64_t s = *block_side(h);
  std::vector<uint64_t> pow = side_powers(s, depth);
  for (uint32_t b = 0; b < h.b; ++b)
    tree.bases[b] = mask_node(data.data() + b * n * n, n, s, pow.data(), depth, 0, 0, *tree.ctx);
  return tree;
}

}  // namespace zarel
