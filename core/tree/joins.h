// Point-in-area joins: which trees hold cells given at any level. A cell finer
// than a tree's depth is held when its ancestor at the depth is covered, that
// is when the cell lies inside the coverage; a cell at or above the depth is
// held when it is wholly covered, as Tree::covers answers.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <vector>

#include "tree/index.h"
#include "tree/tree.h"

namespace zarel {

// Whether `tree` holds `cid`, a valid cid of the tree's hierarchy at `level`.
bool holds(const Tree& tree, uint64_t cid, uint32_t level);

// The levels of cids by one hierarchy, found by comparisons alone: the valid
// cids of level L are exactly [a^(L+1), (a+b)a^L), and these ranges rise with L.
class CidLevels {
 public:
  explicit CidLevels(const Hierarchy& h);
  // The level of `cid`, or -1 when it is not a valid cid (Hierarchy::check says why).
  int level(uint64_t cid) const {
    auto at = std::upper_bound(first_.begin(), first_.end(), cid);
    if (at == first_.begin()) return -1;
    auto level = static_cast<size_t>(at - first_.begin() - 1);
    return cid < end_[level] ? static_cast<int>(level) : -1;
  }

 private:
  std::vector<uint64_t> first_, end_;
};

// Which keys of an index hold a cell. Keys are numbered by their place in
// Index::keys(); each distinct tree is walked once per cell, and only the
// trees with something under the cell's coarse ancestor are walked at all.
//
// A directory lists, for every cell of the levels 0..m, the trees not empty
// there with their nodes; m is the deepest level (at most the trees' depth)
// whose directory stays within a budget, so a cell costs one lookup and a
// walk of the levels below m in the trees that reach it.
class KeyLocator {
 public:
  // `budget` bounds the directory's entries (beyond the coarsest levels,
  // which are always listed). The index must outlive the locator unchanged.
  static KeyLocator make(const Index& index, uint64_t budget);
  // One tree under one key, for the batch form of holds().
  static KeyLocator make(const Tree& tree, uint64_t budget);

  // The hierarchy the cids are read against: the trees', or the default
  // (rHEALPix) one for an empty index.
  const Hierarchy& hierarchy() const { return h_; }

  // Writes the places of the keys holding `cid` (valid, at `level`),
  // ascending, to `out`, which has room for them.
  void fill(uint64_t cid, uint32_t level, int64_t* out) const;

  // The keys holding each cid of a block: for cid i its number of key places
  // `counts[i]`, and `tree[i]` the one tree holding it, or kNoTree when none
  // does, or kTrees when several do (fill() then lists them). The cells of a
  // block are walked together, a level at a time, so that the memory reads
  // of many walks overlap. `levels` are the cids' levels.
  static constexpr uint32_t kNoTree = UINT32_MAX, kTrees = UINT32_MAX - 1;
  struct Scratch;
  void block(const uint64_t* cids, const uint8_t* levels, size_t n, Scratch& scratch, uint64_t* counts,
             uint32_t* tree) const;
  // The key places, ascending, of a tree as block() names it.
  const std::vector<int64_t>& keys_of(uint32_t tree) const { return key_positions_[tree]; }

  // Room for block(), kept per thread between blocks.
  struct Scratch {
    struct Walk {
      uint32_t item, tree;
      const Node* node;
    };
    std::vector<uint32_t> cell;
    std::vector<uint16_t> digits;  // apertures reach 4096
    std::vector<Walk> walks;
  };

 private:
  struct Entry {
    uint32_t tree;
    const Node* node;
  };
  // Calls hit(t) for every tree index t that holds `cid`, ascending.
  template <class F>
  void each(uint64_t cid, uint32_t level, F&& hit) const;
  void build(std::span<const Tree* const> trees, uint64_t budget);

  Hierarchy h_;
  uint32_t depth_ = 0, top_ = 0;  // the trees' depth; the directory's deepest level m
  std::vector<uint64_t> powers_;  // a^i for i = 0..deepest
  // Per level l <= top_: entries grouped by cell, cell i (in cid order from the
  // first cell of the level) at entries_[l][first_[l][i] .. first_[l][i + 1]).
  std::vector<std::vector<uint32_t>> first_;
  std::vector<std::vector<Entry>> entries_;
  std::vector<std::vector<int64_t>> key_positions_;  // per distinct tree, ascending
};

template <class F>
void KeyLocator::each(uint64_t cid, uint32_t level, F&& hit) const {
  if (entries_.empty()) return;
  uint32_t a = h_.a;
  if (level <= top_) {
    // At or above the directory's deepest level: held where the node is Full.
    uint64_t cell = cid - powers_[level + 1];
    const std::vector<Entry>& e = entries_[level];
    for (uint32_t i = first_[level][cell]; i < first_[level][cell + 1]; ++i)
      if (e[i].node->is_full()) hit(e[i].tree);
    return;
  }
  // The cell's ancestor at the depth (itself when not finer), then its digits
  // below the directory, coarsest first.
  uint32_t last = level < depth_ ? level : depth_;
  uint64_t x = cid / powers_[level - last];
  uint64_t cell = x / powers_[last - top_] - powers_[top_ + 1];
  const std::vector<Entry>& e = entries_[top_];
  for (uint32_t i = first_[top_][cell]; i < first_[top_][cell + 1]; ++i) {
    const Node* node = e[i].node;
    for (uint32_t l = top_ + 1; l <= last && node->is_branch(); ++l)
      node = &node->child(static_cast<uint32_t>(x / powers_[last - l] % a));
    if (node->is_full()) hit(e[i].tree);
  }
}

}  // namespace zarel
