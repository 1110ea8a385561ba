#include "tree/tree.h"

#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/scalable_allocator.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <array>
#include <cstring>
#include <memory>
#include <utility>

namespace zarel {

namespace {
// Nodes whose leaf range overlaps this many merged ranges build their children in parallel.
constexpr size_t kParallelRanges = 4096;
// Loops over ranges or cids poll for cancellation once per this many (well under a millisecond).
constexpr size_t kPollEvery = size_t{1} << 16;
// Inputs of this many cids are checked on the pool, a part of kPollEvery at a time.
constexpr size_t kParallelCids = 4 * kPollEvery;

// Branches come from the scalable allocator: its size classes fit a branch of
// a few children exactly, where malloc rounds 48 bytes up to 64. Sanitized
// builds use new, which AddressSanitizer watches.
#ifndef ZAREL_SANITIZE
void* allocate_branch(uint32_t stored) {
  void* p = scalable_malloc(sizeof(Branch) + stored * sizeof(Node));
  if (!p) throw std::bad_alloc();
  return p;
}
void free_branch(const Branch* b) { scalable_free(const_cast<Branch*>(b)); }
#else
void* allocate_branch(uint32_t stored) { return ::operator new(sizeof(Branch) + stored * sizeof(Node)); }
void free_branch(const Branch* b) { ::operator delete(const_cast<Branch*>(b)); }
#endif

// A node's hash message, on the stack for the usual apertures: the children's
// hashes are written into it in place and hashed in one pass.
class NodeMessage {
 public:
  explicit NodeMessage(uint32_t a) : a_(a) {
    if (a > kInline) heap_.resize(padded_length(Sha256Tagged::node_length(a)));
  }
  void set(uint32_t k, const Hash& h) { std::memcpy(data() + 1 + size_t{k} * sizeof(Hash), h.data(), sizeof(Hash)); }
  Hash hash() { return Sha256Tagged::node_message(data(), a_); }

 private:
  static constexpr uint32_t kInline = 64;
  uint8_t* data() { return a_ > kInline ? heap_.data() : inline_; }
  uint32_t a_;
  uint8_t inline_[padded_length(1 + kInline * sizeof(Hash))];
  std::vector<uint8_t> heap_;
};

}  // namespace

void Node::retain() const { branch()->refs.fetch_add(1, std::memory_order_relaxed); }

void Node::release() const {
  const Branch* b = branch();
  if (b->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  std::destroy_n(b->kids(), b->stored());
  b->~Branch();
  free_branch(b);
}

const Hash& node_hash(const Node& node, uint32_t height, const HashContext& ctx) {
  if (const Branch* b = node.branch()) return b->hash;
  if (node.is_leaf_mask()) return ctx.word_nodes.leaf(node.leaf_bits());
  if (node.is_twig()) return ctx.word_nodes.twig(node.twig_digit(), node.leaf_bits());
  const auto& ladder = node.is_full() ? ctx.ladders.full : ctx.ladders.empty;
  ZAREL_ASSERT(height < ladder.size());
  return ladder[height];
}

Node make_branch(std::span<Node> children, uint32_t height, const HashContext& ctx) {
  ZAREL_ASSERT(height >= 1);
  auto a = static_cast<uint32_t>(children.size());
  // One pass over the children for what decides the node's form: a tree build
  // makes a node per partly covered cell, so this runs millions of times.
  uint32_t empties = 0, fulls = 0, partial = 0, full = 0;
  for (uint32_t k = 0; k < a; ++k) {
    bool e = children[k].is_empty(), f = children[k].is_full();
    empties += e;
    fulls += f;
    if (k < Branch::kMaxSparseAperture) {
      partial |= uint32_t{!e && !f} << k;
      full |= uint32_t{f} << k;
    }
  }
  if (empties == a) return Node::empty();
  if (fulls == a) return Node::full();
  if (a <= WordNodeHashes::kMaxAperture && height <= 2) {
    if (height == 1) return Node::leaf_mask(full);
    if (empties == a - 1 && partial != 0) {
      uint32_t digit = static_cast<uint32_t>(__builtin_ctz(partial));
      if (children[digit].is_leaf_mask()) return Node::twig(digit, children[digit].leaf_bits());
    }
  }
  NodeMessage message(a);
  const Hash &empty_hash = ctx.ladders.empty[height - 1], &full_hash = ctx.ladders.full[height - 1];
  for (uint32_t k = 0; k < a; ++k) {
    const Node& c = children[k];
    message.set(k, c.is_empty() ? empty_hash : c.is_full() ? full_hash : node_hash(c, height - 1, ctx));
  }
  bool dense = a > Branch::kMaxSparseAperture;
  if (dense) partial = 0xffff, full = a;
  auto* b = new (allocate_branch(dense ? a : count_bits(partial)))
      Branch{{1}, static_cast<uint16_t>(partial), static_cast<uint16_t>(full), message.hash()};
  auto* slot = const_cast<Node*>(b->kids());
  for (uint32_t k = 0; k < a; ++k)
    if (dense || children[k].is_branch()) new (slot++) Node(std::move(children[k]));
  return Node::adopt(b);
}

namespace {

// The checks every tree of this shape passes, in the order Tree::empty makes them.
Status check_shape(Hierarchy hierarchy, uint32_t depth, const HashContext& ctx) {
  if (!(ctx.hierarchy == hierarchy)) return invalid("hashing context does not match the hierarchy");
  if (ctx.ladders.reach() < depth)
    return invalid("context ladders reach depth " + std::to_string(ctx.ladders.reach()) + ", tree needs " +
                   std::to_string(depth));
  if (uint32_t max = hierarchy.deepest(); depth > max)
    return invalid("depth " + std::to_string(depth) + " is deeper than the deepest level, " + std::to_string(max));
  return ok();
}

}  // namespace

Result<Tree> Tree::empty(Hierarchy hierarchy, uint32_t depth, HashContextRef ctx) {
  ZAREL_CHECK(check_shape(hierarchy, depth, *ctx));
  Tree t;
  t.bases.assign(hierarchy.b, Node::empty());
  t.ctx = std::move(ctx);
  t.hierarchy = hierarchy;
  t.depth = depth;
  return t;
}

namespace {

// Least-significant-digit radix sort by start, bytewise, skipping the bytes that
// every start shares (most of them: leaf cids of one depth span a few dozen bits).
// Ranges with equal starts may come out in any order; merging makes them one.
void sort_by_start(std::vector<LeafRange>& ranges, const Cancel& cancel) {
  constexpr size_t kSmall = 1024;  // below this a comparison sort is quicker
  auto by_start = [](const LeafRange& x, const LeafRange& y) { return x.start < y.start; };
  if (std::is_sorted(ranges.begin(), ranges.end(), by_start)) return;
  if (ranges.size() < kSmall) {
    std::sort(ranges.begin(), ranges.end(), by_start);
    return;
  }
  std::vector<std::array<size_t, 256>> counts(8);
  for (const LeafRange& r : ranges)
    for (int d = 0; d < 8; ++d) ++counts[d][(r.start >> (8 * d)) & 0xff];
  std::vector<LeafRange> scratch(ranges.size());
  for (int d = 0; d < 8; ++d) {
    auto& c = counts[d];
    if (c[(ranges[0].start >> (8 * d)) & 0xff] == ranges.size()) continue;
    size_t sum = 0;
    for (size_t& v : c) sum += std::exchange(v, sum);
    for (size_t i = 0; i < ranges.size(); ++i) {
      if (i % kPollEvery == 0 && cancel.stop()) return;
      const LeafRange& r = ranges[i];
      scratch[c[(r.start >> (8 * d)) & 0xff]++] = r;
    }
    ranges.swap(scratch);
  }
}

}  // namespace

void merge_ranges(std::vector<LeafRange>& ranges, const Cancel& cancel) {
  sort_by_start(ranges, cancel);
  if (cancel.stop()) return;
  size_t out = 0;
  for (const LeafRange& r : ranges) {
    if (out > 0 && r.start <= ranges[out - 1].end) {
      ranges[out - 1].end = std::max(ranges[out - 1].end, r.end);
    } else {
      ranges[out++] = r;
    }
  }
  ranges.resize(out);
}

namespace {

// The ranges of `overlap` that meet child i of [lo, hi) (children `step`
// leaves wide), for i ascending: ranges before the previous child's last one
// end before the next child starts, so each split is one binary search.
class ChildRanges {
 public:
  ChildRanges(uint64_t lo, uint64_t step, std::span<const LeafRange> overlap)
      : lo_(lo), step_(step), overlap_(overlap) {}
  std::span<const LeafRange> operator()(uint32_t i) {
    uint64_t clo = lo_ + i * step_, chi = clo + step_;
    while (first_ < overlap_.size() && overlap_[first_].end <= clo) ++first_;
    auto last = std::partition_point(overlap_.begin() + first_, overlap_.end(),
                                     [chi](const LeafRange& r) { return r.start < chi; });
    size_t n = static_cast<size_t>(last - overlap_.begin()) - first_;
    auto p = overlap_.subspan(first_, n);
    if (n > 1) first_ += n - 1;
    return p;
  }

 private:
  uint64_t lo_, step_;
  std::span<const LeafRange> overlap_;
  size_t first_ = 0;
};

// The covered leaves of [lo, lo + a) as a mask, bit k for leaf lo + k.
uint32_t leaf_mask(uint64_t lo, uint32_t a, std::span<const LeafRange> overlap) {
  uint32_t mask = 0;
  for (const LeafRange& r : overlap) {
    uint64_t from = std::max(r.start, lo), to = std::min(r.end, lo + a);
    for (uint64_t k = from; k < to; ++k) mask |= 1u << (k - lo);
  }
  return mask;
}

// The node for [lo, hi) when `overlap` holds exactly the merged ranges that meet it.
Node build_overlapping(uint64_t lo, uint64_t hi, uint32_t height, std::span<const LeafRange> overlap, uint32_t a,
                       const HashContext& ctx, const Cancel& cancel) {
  if (overlap.empty()) return Node::empty();
  // Merged ranges are disjoint and non-adjacent, so a covered [lo, hi) is covered by one range.
  if (overlap.front().start <= lo && overlap.front().end >= hi) return Node::full();
  // A node meeting one range is a few dozen nodes of work: only wider ones poll.
  if (overlap.size() > 1 && cancel.stop()) return Node::empty();
  ZAREL_ASSERT(height >= 1);
  // A node of leaves is a word made straight from the ranges (neither uniform: see above).
  if (height == 1 && a <= WordNodeHashes::kMaxAperture) return Node::leaf_mask(leaf_mask(lo, a, overlap));
  uint64_t step = (hi - lo) / a;
  ChildBuffer children(a);
  // Each child gets the ranges that meet it; a range crossing a child boundary goes to both.
  ChildRanges part(lo, step, overlap);
  if (overlap.size() == 1) {
    // Deep in a tree most nodes meet one range: its children are a run found by division.
    const LeafRange& r = overlap.front();
    uint32_t first = r.start <= lo ? 0 : static_cast<uint32_t>((r.start - lo) / step);
    uint32_t last = r.end >= hi ? a - 1 : static_cast<uint32_t>((r.end - 1 - lo) / step);
    for (uint32_t i = first; i <= last; ++i)
      children[i] = build_overlapping(lo + i * step, lo + (i + 1) * step, height - 1, overlap, a, ctx, cancel);
  } else if (overlap.size() < kParallelRanges) {
    for (uint32_t i = 0; i < a; ++i)
      if (auto p = part(i); !p.empty())
        children[i] = build_overlapping(lo + i * step, lo + (i + 1) * step, height - 1, p, a, ctx, cancel);
  } else {
    std::vector<std::span<const LeafRange>> parts(a);
    for (uint32_t i = 0; i < a; ++i) parts[i] = part(i);
    tbb::parallel_for(uint32_t{0}, a, [&](uint32_t i) {
      if (!parts[i].empty())
        children[i] = build_overlapping(lo + i * step, lo + (i + 1) * step, height - 1, parts[i], a, ctx, cancel);
    });
  }
  return make_branch(children.span(), height, ctx);
}

}  // namespace

Node node_of_ranges(uint64_t lo, uint64_t hi, uint32_t height, std::span<const LeafRange> ranges, uint32_t a,
                    const HashContext& ctx, const Cancel& cancel) {
  auto first = std::upper_bound(ranges.begin(), ranges.end(), lo,
                                [](uint64_t v, const LeafRange& r) { return v < r.end; });
  auto last = std::lower_bound(first, ranges.end(), hi, [](const LeafRange& r, uint64_t v) { return r.start < v; });
  return build_overlapping(lo, hi, height, std::span<const LeafRange>(first, last), a, ctx, cancel);
}

namespace {

// The hash of the node for [lo, hi) at `height` when `overlap` holds exactly
// the merged ranges that meet it: what node_hash gives for build_overlapping's node.
Hash hash_overlapping(uint64_t lo, uint64_t hi, uint32_t height, std::span<const LeafRange> overlap, uint32_t a,
                      const HashContext& ctx, const Cancel& cancel) {
  if (overlap.empty()) return ctx.ladders.empty[height];
  if (overlap.front().start <= lo && overlap.front().end >= hi) return ctx.ladders.full[height];
  if (overlap.size() > 1 && cancel.stop()) return ctx.ladders.empty[height];
  ZAREL_ASSERT(height >= 1);
  bool words = a <= WordNodeHashes::kMaxAperture;
  if (words && height == 1) return ctx.word_nodes.leaf(leaf_mask(lo, a, overlap));
  uint64_t step = (hi - lo) / a;
  NodeMessage message(a);
  if (words && height == 2) {
    // A twig: one partly covered child of leaves, every other child Empty.
    uint32_t nonempty = 0, digit = 0, mask = 0;
    ChildRanges part(lo, step, overlap);
    for (uint32_t i = 0; i < a; ++i) {
      auto p = part(i);
      uint64_t clo = lo + i * step;
      if (p.empty()) {
        message.set(i, ctx.ladders.empty[1]);
      } else if (p.front().start <= clo && p.front().end >= clo + step) {
        message.set(i, ctx.ladders.full[1]);
        nonempty += 2;  // a Full child makes no twig
      } else {
        mask = leaf_mask(clo, a, p);
        message.set(i, ctx.word_nodes.leaf(mask));
        digit = i;
        nonempty += 1;
      }
    }
    if (nonempty == 1) return ctx.word_nodes.twig(digit, mask);
    return message.hash();
  }
  if (overlap.size() == 1) {
    // Deep in a tree most nodes meet one range: its children are a run found by division.
    const LeafRange& r = overlap.front();
    uint32_t first = r.start <= lo ? 0 : static_cast<uint32_t>((r.start - lo) / step);
    uint32_t last = r.end >= hi ? a - 1 : static_cast<uint32_t>((r.end - 1 - lo) / step);
    for (uint32_t i = 0; i < a; ++i)
      message.set(i, i < first || i > last
                         ? ctx.ladders.empty[height - 1]
                         : hash_overlapping(lo + i * step, lo + (i + 1) * step, height - 1, overlap, a, ctx, cancel));
  } else if (overlap.size() < kParallelRanges) {
    ChildRanges part(lo, step, overlap);
    for (uint32_t i = 0; i < a; ++i)
      message.set(i, hash_overlapping(lo + i * step, lo + (i + 1) * step, height - 1, part(i), a, ctx, cancel));
  } else {
    std::vector<std::span<const LeafRange>> parts(a);
    ChildRanges part(lo, step, overlap);
    for (uint32_t i = 0; i < a; ++i) parts[i] = part(i);
    tbb::parallel_for(uint32_t{0}, a, [&](uint32_t i) {
      message.set(i, hash_overlapping(lo + i * step, lo + (i + 1) * step, height - 1, parts[i], a, ctx, cancel));
    });
  }
  return message.hash();
}

}  // namespace

Hash root_of_ranges(std::span<const LeafRange> ranges, uint32_t depth, Hierarchy h, const HashContext& ctx,
                    const Cancel& cancel) {
  uint64_t base_span = pow_u64(h.a, depth);
  std::vector<Hash> bases(h.b);
  auto base = [&](uint32_t b) {
    uint64_t lo = (uint64_t{h.a} + b) * base_span, hi = lo + base_span;
    auto first = std::upper_bound(ranges.begin(), ranges.end(), lo,
                                  [](uint64_t v, const LeafRange& r) { return v < r.end; });
    auto last = std::lower_bound(first, ranges.end(), hi, [](const LeafRange& r, uint64_t v) { return r.start < v; });
    bases[b] = hash_overlapping(lo, hi, depth, std::span<const LeafRange>(first, last), h.a, ctx, cancel);
  };
  // A few thousand ranges hash in well under a millisecond: only more are worth the pool.
  if (ranges.size() < kParallelRanges) {
    for (uint32_t b = 0; b < h.b; ++b) base(b);
  } else {
    tbb::parallel_for(uint32_t{0}, h.b, base);
  }
  return ctx.hasher.root(bases);
}

namespace {

// The leaf ranges of `cids` at `depth`, merged, into `ranges` (cleared first).
Status cell_ranges(std::span<const uint64_t> cids, uint32_t depth, Hierarchy h, std::vector<LeafRange>& ranges,
                   const Cancel& cancel) {
  // Powers a^k for every level difference, so the per-cid work is a check and two multiplies.
  uint64_t scale[kMaxPath];
  for (uint32_t k = 0; k <= depth; ++k) scale[k] = pow_u64(h.a, k);
  // The cids of the leaf level are [a^(depth+1), (a+b) a^depth) when b <= a(a-1)
  // (as profiles require): most inputs are leaves, which this bounds check
  // accepts; others take the full check.
  uint64_t leaf_lo = 0, leaf_hi = 0;
  if (uint64_t{h.b} <= uint64_t{h.a} * (h.a - 1)) leaf_lo = scale[depth] * h.a, leaf_hi = scale[depth] * (uint64_t{h.a} + h.b);
  // The range of cids[i] into out[i]; false if it is no cid of this tree.
  auto range_of = [&](uint64_t cid, LeafRange& out) {
    if (cid >= leaf_lo && cid < leaf_hi) {
      out = {cid, cid + 1};
      return true;
    }
    auto level = h.check(cid, depth);
    if (!level) return false;
    uint64_t s = scale[depth - *level];
    out = {cid * s, (cid + 1) * s};
    return true;
  };
  size_t n = cids.size();
  ranges.resize(n);
  // The first cid refused, in input order, whichever part of the input met it first.
  size_t first_bad = n;
  if (n < kParallelCids) {
    for (size_t i = 0; i < n && first_bad == n; ++i) {
      if (i % kPollEvery == 0 && cancel.stop()) return cancelled();
      if (!range_of(cids[i], ranges[i])) first_bad = i;
    }
  } else {
    std::atomic<size_t> bad{n};
    tbb::parallel_for(size_t{0}, (n + kPollEvery - 1) / kPollEvery, [&](size_t part) {
      if (cancel.stop()) return;
      size_t end = std::min(n, (part + 1) * kPollEvery);
      for (size_t i = part * kPollEvery; i < end; ++i) {
        if (range_of(cids[i], ranges[i])) continue;
        size_t seen = bad.load(std::memory_order_relaxed);
        while (i < seen && !bad.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
        }
        return;
      }
    });
    if (cancel.stop()) return cancelled();
    first_bad = bad.load();
  }
  if (first_bad < n) return std::move(h.check(cids[first_bad], depth)).error();
  merge_ranges(ranges, cancel);
  if (cancel.stop()) return cancelled();
  return ok();
}

}  // namespace

Result<Hash> root_of_cells(std::span<const uint64_t> cids, uint32_t depth, Hierarchy h, const HashContextRef& ctx,
                           std::vector<LeafRange>& scratch, const Cancel& cancel) {
  ZAREL_CHECK(check_shape(h, depth, *ctx));
  ZAREL_CHECK(cell_ranges(cids, depth, h, scratch, cancel));
  Hash root = root_of_ranges(scratch, depth, h, *ctx, cancel);
  if (cancel.stop()) return cancelled();
  return root;
}

Result<Tree> Tree::from_cells(std::span<const uint64_t> cids, uint32_t depth, const Profile& profile) {
  ZAREL_TRY(HashContextRef ctx, profile.ctx(depth));
  return from_cells(cids, depth, profile.hierarchy(), std::move(ctx));
}

Result<Tree> Tree::from_cells(std::span<const uint64_t> cids, uint32_t depth, Hierarchy h, HashContextRef ctx,
                              const Cancel& cancel) {
  ZAREL_TRY(Tree tree, empty(h, depth, std::move(ctx)));
  std::vector<LeafRange> ranges;
  ZAREL_CHECK(cell_ranges(cids, depth, h, ranges, cancel));
  const HashContext& c = *tree.ctx;
  uint64_t base_span = pow_u64(h.a, depth);
  tbb::parallel_for(uint32_t{0}, h.b, [&](uint32_t b) {
    uint64_t lo = (uint64_t{h.a} + b) * base_span;
    tree.bases[b] = node_of_ranges(lo, lo + base_span, depth, ranges, h.a, c, cancel);
  });
  if (cancel.stop()) return cancelled();
  return tree;
}

std::vector<Hash> Tree::base_hashes() const {
  std::vector<Hash> out;
  out.reserve(bases.size());
  for (const Node& n : bases) out.push_back(node_hash(n, depth, *ctx));
  return out;
}

Hash Tree::root() const { return ctx->hasher.root(base_hashes()); }

bool Tree::is_empty() const {
  return std::all_of(bases.begin(), bases.end(), [](const Node& n) { return n.is_empty(); });
}

namespace {

template <class Visit>
void walk_full(const Node& node, uint64_t cid, uint32_t level, uint32_t a, Visit& visit) {
  if (node.is_full()) {
    visit(cid, level);
  } else if (node.is_branch()) {
    for (uint32_t k = 0; k < a; ++k) walk_full(node.child(k), cid * a + k, level + 1, a, visit);
  }
}

}  // namespace

uint64_t Tree::leaf_count() const {
  uint64_t n = 0;
  auto add = [&](uint64_t, uint32_t level) { n += pow_u64(hierarchy.a, depth - level); };
  for (uint32_t b = 0; b < bases.size(); ++b) walk_full(bases[b], uint64_t{hierarchy.a} + b, 0, hierarchy.a, add);
  return n;
}

std::vector<uint64_t> Tree::cells() const {
  std::vector<uint64_t> out;
  auto add = [&](uint64_t cid, uint32_t) { out.push_back(cid); };
  for (uint32_t b = 0; b < bases.size(); ++b) walk_full(bases[b], uint64_t{hierarchy.a} + b, 0, hierarchy.a, add);
  std::sort(out.begin(), out.end());
  return out;
}

Result<uint64_t> Tree::leaves_size() const {
  uint64_t n = leaf_count();
  if (n > kMaxLeaves)
    return invalid("the tree has " + std::to_string(n) + " covered leaves, more than the " +
                   std::to_string(kMaxLeaves) + " that leaves() materialises; use cells()");
  return n;
}

void Tree::leaves_into(std::span<uint64_t> out) const {
  // Leaf ranges of distinct canonical cells are disjoint, so sorting them by
  // start and expanding each gives the leaves globally ascending.
  std::vector<LeafRange> ranges;
  uint64_t n = 0;
  auto add = [&](uint64_t cid, uint32_t level) {
    uint64_t s = pow_u64(hierarchy.a, depth - level);
    ranges.push_back({cid * s, (cid + 1) * s});
    n += s;
  };
  for (uint32_t b = 0; b < bases.size(); ++b) walk_full(bases[b], uint64_t{hierarchy.a} + b, 0, hierarchy.a, add);
  ZAREL_ASSERT(n == out.size());
  std::sort(ranges.begin(), ranges.end(), [](const LeafRange& x, const LeafRange& y) { return x.start < y.start; });
  uint64_t* o = out.data();
  for (const LeafRange& r : ranges)
    for (uint64_t c = r.start; c < r.end; ++c) *o++ = c;
}

Result<std::vector<uint64_t>> Tree::leaves() const {
  ZAREL_TRY(uint64_t n, leaves_size());
  std::vector<uint64_t> out(n);
  leaves_into(out);
  return out;
}

Result<Tree::NodeAt> Tree::node_at(uint64_t cid) const {
  ZAREL_CHECK(hierarchy.check(cid, depth));
  ZAREL_TRY(Path p, hierarchy.path(cid));
  const Node* node = &bases[p.base()];
  uint32_t height = depth;
  for (uint32_t d : p.digits()) {
    if (!node->is_branch()) return NodeAt{*node, height, false};
    node = &node->child(d);
    --height;
  }
  return NodeAt{*node, height, true};
}

Result<bool> Tree::covers(uint64_t cid) const {
  ZAREL_TRY(NodeAt at, node_at(cid));
  return at.node.is_full();
}

std::string Tree::debug() const {
  return "Tree(H(" + std::to_string(hierarchy.a) + "," + std::to_string(hierarchy.b) + "), D=" + std::to_string(depth) +
         ", root=" + root_hex() + ")";
}

bool operator==(const Tree& x, const Tree& y) {
  return x.hierarchy == y.hierarchy && x.depth == y.depth && x.root() == y.root();
}

}  // namespace zarel
