#include "tree/setops.h"

#include <algorithm>

namespace zarel {

std::string_view op_name(SetOp op) {
  switch (op) {
    case SetOp::Union: return "union";
    case SetOp::Intersect: return "intersect";
    case SetOp::Difference: return "difference";
  }
  return "";
}

std::optional<SetOp> op_from_name(std::string_view name) {
  if (name == "union") return SetOp::Union;
  if (name == "intersect") return SetOp::Intersect;
  if (name == "difference") return SetOp::Difference;
  return std::nullopt;
}

Status compatible(const Tree& a, const Tree& b) {
  if (!(a.hierarchy == b.hierarchy))
    return invalid("topology mismatch: " + a.hierarchy.debug() + " vs " + b.hierarchy.debug());
  if (a.depth != b.depth)
    return invalid("depth mismatch: " + std::to_string(a.depth) + " vs " + std::to_string(b.depth) +
                   "; depth is part of a root's identity");
  if (a.ctx->hasher.id() != b.ctx->hasher.id()) return invalid("hash mismatch");
  return ok();
}

std::optional<Hash> rule(SetOp op, const Hash& ha, const Hash& hb, uint32_t height, const HashContext& ctx) {
  // A hash past the ladders cannot be read as empty or full; callers keep height <= reach.
  ZAREL_ASSERT(height <= ctx.ladders.reach());
  const Hash& E = ctx.ladders.empty[height];
  const Hash& F = ctx.ladders.full[height];
  switch (op) {
    case SetOp::Union:
      if (ha == hb) return ha;
      if (ha == F || hb == F) return F;
      if (ha == E) return hb;
      if (hb == E) return ha;
      return std::nullopt;
    case SetOp::Intersect:
      if (ha == hb) return ha;
      if (ha == E || hb == E) return E;
      if (ha == F) return hb;
      if (hb == F) return ha;
      return std::nullopt;
    case SetOp::Difference:
      if (ha == hb) return E;
      if (ha == E) return E;
      if (hb == F) return E;
      if (hb == E) return ha;
      return std::nullopt;
  }
  return std::nullopt;
}

Node combine_nodes(const Node& a, const Node& b, SetOp op, uint32_t height, const HashContext& ctx, Poll& poll) {
  const Hash& ha = node_hash(a, height, ctx);
  const Hash& hb = node_hash(b, height, ctx);
  if (auto r = rule(op, ha, hb, height, ctx)) {
    if (*r == ctx.ladders.empty[height]) return Node::empty();
    if (*r == ctx.ladders.full[height]) return Node::full();
    return *r == ha ? a : b;
  }
  // Undecided only where b (and for union and intersect also a) is a branch, so
  // height >= 1 for canonical inputs.
  ZAREL_ASSERT(height >= 1);
  if (poll()) return Node::empty();
  uint32_t n = ctx.hierarchy.a;
  ChildBuffer children(n);
  for (uint32_t k = 0; k < n; ++k) children[k] = combine_nodes(a.child(k), b.child(k), op, height - 1, ctx, poll);
  return make_branch(children.span(), height, ctx);
}

Result<Tree> combine(const Tree& a, const Tree& b, SetOp op, const Cancel& cancel) {
  ZAREL_CHECK(compatible(a, b));
  Tree out = a;
  Poll poll(cancel);
  for (size_t i = 0; i < a.bases.size(); ++i)
    out.bases[i] = combine_nodes(a.bases[i], b.bases[i], op, a.depth, *a.ctx, poll);
  if (cancel.stopped()) return cancelled();
  return out;
}

namespace {

void walk(const Node& na, const Node& nb, uint32_t h, uint64_t cid, const HashContext& ctx, std::vector<Divergence>& out,
          Poll& poll) {
  if (poll()) return;
  const Hash& ha = node_hash(na, h, ctx);
  const Hash& hb = node_hash(nb, h, ctx);
  if (ha == hb) return;
  if (h == 0 || !na.is_branch() || !nb.is_branch()) {
    out.push_back({ha, hb, cid});
    return;
  }
  for (uint32_t k = 0; k < ctx.hierarchy.a; ++k) walk(na.child(k), nb.child(k), h - 1, cid * ctx.hierarchy.a + k, ctx, out, poll);
}

}  // namespace

Result<std::vector<Divergence>> divergence(const Tree& a, const Tree& b, const Cancel& cancel) {
  ZAREL_CHECK(compatible(a, b));
  std::vector<Divergence> out;
  Poll poll(cancel);
  for (uint32_t i = 0; i < a.bases.size(); ++i)
    walk(a.bases[i], b.bases[i], a.depth, uint64_t{a.hierarchy.a} + i, *a.ctx, out, poll);
  if (cancel.stopped()) return cancelled();
  return out;
}

}  // namespace zarel
