// The canonical coverage tree: cells of one hierarchy refined to leaves at a
// fixed depth, uniform subtrees compressed into one node, hashed bottom-up.
// Branches are immutable and shared (atomic reference counts) between trees
// and threads; every operation that changes a coverage makes a new tree.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "cancel.h"
#include "error.h"
#include "hash.h"
#include "hierarchy.h"
#include "profile.h"

namespace zarel {

struct Branch;

// A node is one word: Empty, Full, or an owning reference to a shared Branch.
// Copies share the branch (atomic count); a branch is freed with its last node.
class Node {
 public:
  enum class Kind : uint8_t { Empty, Full, Branch };

  Node() = default;
  Node(const Node& o) noexcept : bits_(o.bits_) {
    if (is_branch()) retain();
  }
  Node(Node&& o) noexcept : bits_(o.bits_) { o.bits_ = kEmpty; }
  Node& operator=(Node o) noexcept {
    std::swap(bits_, o.bits_);
    return *this;
  }
  ~Node() {
    if (is_branch()) release();
  }

  static Node empty() { return {}; }
  static Node full() { return Node(kFull); }
  // Takes over the one reference a freshly made branch holds.
  static Node adopt(Branch* b) { return Node(reinterpret_cast<uintptr_t>(b)); }

  Kind kind() const { return bits_ == kEmpty ? Kind::Empty : bits_ == kFull ? Kind::Full : Kind::Branch; }
  bool is_empty() const { return bits_ == kEmpty; }
  bool is_full() const { return bits_ == kFull; }
  bool is_branch() const { return bits_ > kFull; }
  // The shared branch, or nullptr for Empty and Full.
  const Branch* branch() const { return is_branch() ? reinterpret_cast<const Branch*>(bits_) : nullptr; }
  // Child k of a branch; an Empty or Full node stands for itself as each child.
  const Node& child(uint32_t k) const;

 private:
  static constexpr uintptr_t kEmpty = 0, kFull = 1;
  explicit Node(uintptr_t bits) : bits_(bits) {}
  void retain() const;
  void release() const;
  uintptr_t bits_ = kEmpty;
};

// Immutable once made; its children live in the same allocation, right after it.
struct Branch {
  mutable std::atomic<uint32_t> refs;
  uint32_t size;
  Hash hash;

  std::span<const Node> children() const { return {reinterpret_cast<const Node*>(this + 1), size}; }
};

// The only way to make an interior node of height >= 1: collapses all-Empty
// and all-Full children before hashing anything.
// Moves the children out of `children`.
Node make_branch(std::span<Node> children, uint32_t height, const Ctx& ctx);
inline Node make_branch(std::vector<Node>&& children, uint32_t height, const Ctx& ctx) {
  return make_branch(std::span<Node>(children), height, ctx);
}
const Hash& node_hash(const Node& node, uint32_t height, const Ctx& ctx);

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
  CtxRef ctx;
  Hierarchy hierarchy;
  uint32_t depth = 0;

  static Result<Tree> empty(Hierarchy hierarchy, uint32_t depth, CtxRef ctx);
  static Result<Tree> from_cells(std::span<const uint64_t> cids, uint32_t depth, const Profile& profile);
  // from_cells after its context step; the polygon fill builds through it too.
  // Polls `cancel` while it works and returns cancelled() once it answers true.
  static Result<Tree> from_cells(std::span<const uint64_t> cids, uint32_t depth, Hierarchy hierarchy, CtxRef ctx,
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

// Leaves materialised by Tree::leaves at most: 2^26 leaves are 512 MiB as u64 and
// about 2.5 GiB as a Python list, which a 64-bit machine honours; a full depth-18
// tree (about 9e17 leaves) is refused before anything is allocated.
inline constexpr uint64_t kMaxLeaves = uint64_t{1} << 26;

// Sorts the ranges and merges overlapping and touching ones in place; stops
// early, leaving them unspecified, once `cancel` answers true.
void merge_ranges(std::vector<LeafRange>& ranges, const Cancel& cancel = never_cancelled());
// The node for leaves [lo, hi) at `height` from merged ranges; splits in
// parallel where 4096 or more ranges overlap the node. Once `cancel` answers
// true the node returned is meaningless.
Node build(uint64_t lo, uint64_t hi, uint32_t height, std::span<const LeafRange> ranges, uint32_t a, const Ctx& ctx,
           const Cancel& cancel = never_cancelled());

}  // namespace zarel
