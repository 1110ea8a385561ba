// Union, intersection and difference of coverage trees, worked on the
// compressed trees by comparing node hashes, and the maximal subtrees where two
// trees differ.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "base/cancel.h"
#include "base/error.h"
#include "profile/hash_context.h"
#include "tree/tree.h"

namespace zarel {

enum class SetOp : uint8_t { Union = 0, Intersect = 1, Difference = 2 };

// "union", "intersect", "difference".
std::string_view op_name(SetOp op);
std::optional<SetOp> op_from_name(std::string_view name);

// Same hierarchy, depth and hasher: the precondition of every two-tree operation.
Status compatible(const Tree& a, const Tree& b);

// The result hash when it follows from the two input hashes at `height` alone;
// nothing when the operation must descend.
std::optional<Hash> rule(SetOp op, const Hash& ha, const Hash& hb, uint32_t height, const HashContext& ctx);

// The canonical result of `op` on two nodes of one height; returns an input
// node itself (its branch shared) wherever the rule picks that input's hash.
// Once `poll` answers true the result is unspecified.
Node combine_nodes(const Node& a, const Node& b, SetOp op, uint32_t height, const HashContext& ctx, Poll& poll);
// The result carries the first tree's context, hierarchy and depth. The walks
// below poll `cancel` and return cancelled() once it answers true.
Result<Tree> combine(const Tree& a, const Tree& b, SetOp op, const Cancel& cancel = never_cancelled());

struct Divergence {
  Hash hash_a, hash_b;
  uint64_t cid;
};
// Maximal differing subtrees, depth first, base by base.
Result<std::vector<Divergence>> divergence(const Tree& a, const Tree& b, const Cancel& cancel = never_cancelled());

}  // namespace zarel
