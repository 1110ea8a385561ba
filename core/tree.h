// The canonical coverage tree: cells of one hierarchy refined to leaves at a
// fixed depth, uniform subtrees compressed into one node, hashed bottom-up.
// Branches are immutable and shared (atomic reference counts) between trees
// and threads; every operation that changes a coverage makes a new tree.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "error.h"
#include "hash.h"
#include "hierarchy.h"
#include "profile.h"

namespace zarel {

struct Branch;

struct Node {
  enum class Kind : uint8_t { Empty, Full, Branch };
  Kind kind = Kind::Empty;
  std::shared_ptr<const zarel::Branch> branch;  // set exactly for Kind::Branch

  static Node empty() { return {}; }
  static Node full() { return {Kind::Full, nullptr}; }
  bool is_empty() const { return kind == Kind::Empty; }
  bool is_full() const { return kind == Kind::Full; }
  bool is_branch() const { return kind == Kind::Branch; }
  // Child k of a branch; an Empty or Full node stands for itself as each child.
  const Node& child(uint32_t k) const;
};

struct Branch {
  std::vector<Node> children;  // `aperture` entries in child-digit order
  Hash hash;
};

// The only way to make an interior node of height >= 1: collapses all-Empty
// and all-Full children before hashing anything.
Node make_branch(std::vector<Node> children, uint32_t height, const Ctx& ctx);
const Hash& node_hash(const Node& node, uint32_t height, const Ctx& ctx);

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
  static Result<Tree> from_cells(std::span<const uint64_t> cids, uint32_t depth, Hierarchy hierarchy, CtxRef ctx);

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

// Sorts the ranges and merges overlapping and touching ones in place.
void merge_ranges(std::vector<LeafRange>& ranges);
// The node for leaves [lo, hi) at `height` from merged ranges; splits in
// parallel where 4096 or more ranges overlap the node.
Node build(uint64_t lo, uint64_t hi, uint32_t height, std::span<const LeafRange> ranges, uint32_t a, const Ctx& ctx);

}  // namespace zarel
