// The canonical coverage tree: cells of one hierarchy refined to leaves at a
// fixed depth, uniform subtrees compressed into one node, hashed bottom-up.
// Branches are immutable and shared (atomic reference counts) between trees
// and threads; every operation that changes a coverage makes a new tree.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "base/cancel.h"
#include "base/error.h"
#include "base/limits.h"
#include "profile/hash_context.h"
#include "cells/hierarchy.h"
#include "profile/profile.h"

namespace zarel {

struct Branch;

// A node is one word: Empty, Full, an owning reference to a shared Branch, or,
// for apertures up to WordNodeHashes::kMaxAperture, a partly covered node small
// enough to spell out in the word, which owns nothing: a leaf mask (height 1,
// bit k set when leaf child k is covered) or a twig (height 2, one leaf-mask
// child and every other child Empty). Copies share the branch (atomic count);
// a branch is freed with its last node.
class Node {
 public:
  enum class Kind : uint8_t { Empty, Full, Branch };

  Node() = default;
  Node(const Node& o) noexcept : bits_(o.bits_) {
    if (is_shared()) retain();
  }
  Node(Node&& o) noexcept : bits_(o.bits_) { o.bits_ = kEmpty; }
  Node& operator=(Node o) noexcept {
    std::swap(bits_, o.bits_);
    return *this;
  }
  ~Node() {
    if (is_shared()) release();
  }

  static Node empty() { return {}; }
  static Node full() { return Node(kFull); }
  // Takes over the one reference a freshly made branch holds.
  static Node adopt(Branch* b) { return Node(reinterpret_cast<uintptr_t>(b)); }
  static Node leaf_mask(uint32_t mask) { return Node(uintptr_t{mask} << 2 | kMaskTag); }
  static Node twig(uint32_t digit, uint32_t mask) {
    return Node((uintptr_t{digit} << WordNodeHashes::kMaxAperture | mask) << 2 | kTwigTag);
  }

  // Branch stands for every partly covered node, stored or leaf mask.
  Kind kind() const { return bits_ == kEmpty ? Kind::Empty : bits_ == kFull ? Kind::Full : Kind::Branch; }
  bool is_empty() const { return bits_ == kEmpty; }
  bool is_full() const { return bits_ == kFull; }
  bool is_branch() const { return bits_ > kFull; }
  bool is_leaf_mask() const { return (bits_ & 3) == kMaskTag; }
  bool is_twig() const { return (bits_ & 3) == kTwigTag; }
  // The leaf mask of a leaf-mask node or of a twig's one child.
  uint32_t leaf_bits() const { return static_cast<uint32_t>(bits_ >> 2) & ((1u << WordNodeHashes::kMaxAperture) - 1); }
  // The digit of a twig's one child.
  uint32_t twig_digit() const { return static_cast<uint32_t>(bits_ >> (2 + WordNodeHashes::kMaxAperture)); }
  // The same node: the very same branch, or the same uniform or leaf-mask word.
  bool same(const Node& o) const { return bits_ == o.bits_; }
  // The shared branch, or nullptr for Empty, Full and a leaf mask.
  const Branch* branch() const { return is_shared() ? reinterpret_cast<const Branch*>(bits_) : nullptr; }
  // Child k of a partly covered node; an Empty or Full node stands for itself as each child.
  const Node& child(uint32_t k) const;

 private:
  static constexpr uintptr_t kEmpty = 0, kFull = 1, kMaskTag = 2, kTwigTag = 3;
  explicit Node(uintptr_t bits) : bits_(bits) {}
  // Branches are at least 8-aligned, so their low two bits are clear.
  bool is_shared() const { return bits_ > kFull && (bits_ & 3) == 0; }
  void retain() const;
  void release() const;
  uintptr_t bits_ = kEmpty;
};

inline const Node kEmptyNode = Node::empty(), kFullNode = Node::full();
// Every leaf-mask node, for a twig to hand out its child by reference.
inline const auto kLeafMaskNodes = [] {
  std::array<Node, size_t{1} << WordNodeHashes::kMaxAperture> nodes;
  for (uint32_t m = 0; m < nodes.size(); ++m) nodes[m] = Node::leaf_mask(m);
  return nodes;
}();

// Set bits of a 16-bit mask; std::popcount becomes a library call on the
// baseline x86-64 the wheels target.
constexpr uint32_t count_bits(uint32_t x) {
  x = x - ((x >> 1) & 0x5555);
  x = (x & 0x3333) + ((x >> 2) & 0x3333);
  x = (x + (x >> 4)) & 0x0f0f;
  return (x + (x >> 8)) & 0x1f;
}
static_assert(count_bits(0xffff) == 16 && count_bits(0x1ff) == 9 && count_bits(0x8001) == 2);

// Immutable once made. For apertures up to 16 a branch stores only its partly
// covered children, in digit order, right after it; the two masks say which
// children are partly (`partial`) and wholly (`full`) covered. Wider apertures
// store all `aperture` children, marked by partial = 0xffff and full = aperture
// (partial and full never share a bit otherwise).
struct Branch {
  static constexpr uint32_t kMaxSparseAperture = 16;
  mutable std::atomic<uint32_t> refs;
  uint16_t partial, full;
  Hash hash;

  bool dense() const { return (partial & full) != 0; }
  uint32_t stored() const { return dense() ? full : count_bits(partial); }
  const Node* kids() const { return reinterpret_cast<const Node*>(this + 1); }
  const Node& child(uint32_t k) const {
    if (dense()) {
      ZAREL_ASSERT(k < full);
      return kids()[k];
    }
    uint32_t bit = 1u << k;
    if (partial & bit) return kids()[count_bits(partial & (bit - 1))];
    return (full & bit) ? kFullNode : kEmptyNode;
  }
};
static_assert(sizeof(Branch) == 40 && alignof(Branch) <= alignof(Node));

inline const Node& Node::child(uint32_t k) const {
  if (is_leaf_mask()) return (bits_ >> (2 + k) & 1) ? kFullNode : kEmptyNode;
  if (is_twig()) return k == twig_digit() ? kLeafMaskNodes[leaf_bits()] : kEmptyNode;
  if (const Branch* b = branch()) return b->child(k);
  return *this;
}

// The only way to make an interior node of height >= 1: collapses all-Empty
// and all-Full children before hashing anything.
// Moves the children out of `children`.
Node make_branch(std::span<Node> children, uint32_t height, const HashContext& ctx);
inline Node make_branch(std::vector<Node>&& children, uint32_t height, const HashContext& ctx) {
  return make_branch(std::span<Node>(children), height, ctx);
}
const Hash& node_hash(const Node& node, uint32_t height, const HashContext& ctx);

// Room for one node's children: on the stack for the usual apertures, on the
// heap beyond them, so building a node allocates nothing but its branch. Only
// the n slots in use are made (zeroing all the inline ones cost more than the
// split itself in a tree build).
class ChildBuffer {
 public:
  explicit ChildBuffer(uint32_t n) : n_(n) {
    if (n > kInline) heap_.resize(n);
    else std::uninitialized_value_construct_n(inline_nodes(), n);
  }
  ~ChildBuffer() {
    if (n_ <= kInline) std::destroy_n(inline_nodes(), n_);
  }
  ChildBuffer(const ChildBuffer&) = delete;
  ChildBuffer& operator=(const ChildBuffer&) = delete;
  Node& operator[](uint32_t k) { return data()[k]; }
  std::span<Node> span() { return {data(), n_}; }

 private:
  static constexpr uint32_t kInline = 16;
  Node* inline_nodes() { return std::launder(reinterpret_cast<Node*>(inline_)); }
  Node* data() { return n_ > kInline ? heap_.data() : inline_nodes(); }
  uint32_t n_;
  alignas(Node) unsigned char inline_[kInline * sizeof(Node)];
  std::vector<Node> heap_;
};

// Half-open range of leaf cids at the tree's depth.
struct LeafRange {
  uint64_t start, end;
};

class Tree {
 public:
  std::vector<Node> bases;
  HashContextRef ctx;
  Hierarchy hierarchy;
  uint32_t depth = 0;

  static Result<Tree> empty(Hierarchy hierarchy, uint32_t depth, HashContextRef ctx);
  static Result<Tree> from_cells(std::span<const uint64_t> cids, uint32_t depth, const Profile& profile);
  // from_cells after its context step; the polygon fill builds through it too.
  // Polls `cancel` while it works and returns cancelled() once it answers true.
  static Result<Tree> from_cells(std::span<const uint64_t> cids, uint32_t depth, Hierarchy hierarchy, HashContextRef ctx,
                                 const Cancel& cancel = never_cancelled());

  std::vector<Hash> base_hashes() const;
  Hash root() const;
  std::string root_hex() const { return hex(root()); }
  bool is_empty() const;
  uint64_t leaf_count() const;
  // Canonical cells: one cid per Full node, ascending.
  std::vector<uint64_t> cells() const;
  // Every covered leaf, ascending; refused when there are more than kMaxLeaves.
  Result<std::vector<uint64_t>> leaves() const;
  // How many leaves leaves() gives, or its refusal.
  Result<uint64_t> leaves_size() const;
  // The leaves of leaves() written into `out`, which holds exactly leaves_size() values.
  void leaves_into(std::span<uint64_t> out) const;

  struct NodeAt {
    Node node;
    uint32_t height;
    bool reached;
  };
  Result<NodeAt> node_at(uint64_t cid) const;
  Result<bool> covers(uint64_t cid) const;

  // "Tree(H(9,6), D=3, root=...)"
  std::string debug() const;
  friend bool operator==(const Tree& a, const Tree& b);
};

// Sorts the ranges and merges overlapping and touching ones in place; stops
// early, leaving them unspecified, once `cancel` answers true.
void merge_ranges(std::vector<LeafRange>& ranges, const Cancel& cancel = never_cancelled());
// The node for leaves [lo, hi) at `height` from merged ranges; splits in
// parallel where 4096 or more ranges overlap the node. Once `cancel` answers
// true the node returned is meaningless.
Node node_of_ranges(uint64_t lo, uint64_t hi, uint32_t height, std::span<const LeafRange> ranges, uint32_t a,
                    const HashContext& ctx, const Cancel& cancel = never_cancelled());

// The root of the tree that node_of_ranges() would make from merged ranges at
// `depth`, hashed straight from them and the ladders: no node is made, a uniform
// subtree costs a ladder lookup and a node of leaves a word-node lookup, as in
// the tree. Hashes in parallel where 4096 or more ranges overlap a node.
// REQUIRES: ctx's ladders reach `depth` and ctx.hierarchy == h. Once `cancel`
// answers true the hash returned is meaningless.
Hash root_of_ranges(std::span<const LeafRange> ranges, uint32_t depth, Hierarchy h, const HashContext& ctx,
                    const Cancel& cancel = never_cancelled());
// Tree::from_cells(cids, depth, h, ctx).root(), with its checks and messages,
// through root_of_ranges; `scratch` holds the ranges (kept for reuse by the
// caller, so a loop of small fills allocates nothing once it has grown).
Result<Hash> root_of_cells(std::span<const uint64_t> cids, uint32_t depth, Hierarchy h, const HashContextRef& ctx,
                           std::vector<LeafRange>& scratch, const Cancel& cancel = never_cancelled());

}  // namespace zarel
