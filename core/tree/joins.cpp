#include "tree/joins.h"

#include <algorithm>
#include <unordered_map>

namespace zarel {

namespace {

// Cells of one directory level at most: a dense table of 4 MiB.
constexpr uint64_t kMaxDirectoryCells = uint64_t{1} << 20;

}  // namespace

bool holds(const Tree& tree, uint64_t cid, uint32_t level) {
  const Hierarchy& h = tree.hierarchy;
  uint32_t last = std::min(level, tree.depth);
  uint64_t x = cid / pow_u64(h.a, level - last);
  // Digits of x, coarsest first, from the place value of the first.
  uint64_t place = pow_u64(h.a, last);
  const Node* node = &tree.bases[x / place - h.a];
  for (uint32_t l = 1; l <= last && node->is_branch(); ++l) {
    place /= h.a;
    node = &node->child(static_cast<uint32_t>(x / place % h.a));
  }
  return node->is_full();
}

CidLevels::CidLevels(const Hierarchy& h) {
  for (uint32_t level = 0; level <= h.deepest(); ++level) {
    uint64_t p = pow_u64(h.a, level);
    first_.push_back(p * h.a);
    end_.push_back(p * (uint64_t{h.a} + h.b));
  }
}

KeyLocator KeyLocator::make(const Tree& tree, uint64_t budget) {
  KeyLocator loc;
  loc.key_positions_.push_back({0});
  const Tree* trees[] = {&tree};
  loc.build(trees, budget);
  return loc;
}

KeyLocator KeyLocator::make(const Index& index, uint64_t budget) {
  KeyLocator loc;
  std::vector<std::string> keys = index.keys();
  std::vector<const Tree*> trees;
  std::unordered_map<const Tree*, uint32_t> number;
  for (size_t p = 0; p < keys.size(); ++p) {
    const Tree* t = index.tree(keys[p]);
    auto [at, fresh] = number.try_emplace(t, static_cast<uint32_t>(trees.size()));
    if (fresh) {
      trees.push_back(t);
      loc.key_positions_.emplace_back();
    }
    loc.key_positions_[at->second].push_back(static_cast<int64_t>(p));
  }
  loc.build(trees, budget);
  return loc;
}

void KeyLocator::build(std::span<const Tree* const> trees, uint64_t budget) {
  KeyLocator& loc = *this;
  loc.h_ = kRhealpix;
  if (trees.empty()) return;
  const Hierarchy& h = loc.h_ = trees[0]->hierarchy;
  loc.depth_ = trees[0]->depth;
  for (uint32_t i = 0; i <= h.deepest() + 1; ++i) loc.powers_.push_back(pow_u64(h.a, i));

  // Level 0: every base node that is not empty, cell by cell, tree by tree.
  std::vector<uint32_t> first{0};
  std::vector<Entry> entries;
  for (uint32_t b = 0; b < h.b; ++b) {
    for (uint32_t t = 0; t < trees.size(); ++t)
      if (!trees[t]->bases[b].is_empty()) entries.push_back({t, &trees[t]->bases[b]});
    first.push_back(static_cast<uint32_t>(entries.size()));
  }
  for (uint32_t l = 0;; ++l) {
    uint64_t next_cells = uint64_t{h.b} * loc.powers_[l + 1], next_entries = 0;
    for (const Entry& e : entries)
      for (uint32_t k = 0; k < h.a; ++k) next_entries += !e.node->child(k).is_empty();
    bool deeper = l < loc.depth_ && next_cells <= kMaxDirectoryCells && next_entries <= budget;
    loc.first_.push_back(std::move(first));
    loc.entries_.push_back(std::move(entries));
    if (!deeper) break;
    loc.top_ = l + 1;
    // Children in cid order: cell by cell, then digit by digit, trees in order.
    const std::vector<uint32_t>& up_first = loc.first_.back();
    const std::vector<Entry>& up = loc.entries_.back();
    first.assign(1, 0);
    entries.clear();
    entries.reserve(next_entries);
    for (size_t cell = 0; cell + 1 < up_first.size(); ++cell)
      for (uint32_t k = 0; k < h.a; ++k) {
        for (uint32_t i = up_first[cell]; i < up_first[cell + 1]; ++i)
          if (const Node& c = up[i].node->child(k); !c.is_empty()) entries.push_back({up[i].tree, &c});
        first.push_back(static_cast<uint32_t>(entries.size()));
      }
  }
}

namespace {

// Asks for the cache line of a stored branch (its masks and first children)
// ahead of the read.
void prefetch(const Node* node) {
  if (const Branch* b = node->branch()) __builtin_prefetch(b);
}

}  // namespace

void KeyLocator::block(const uint64_t* cids, const uint8_t* levels, size_t n, Scratch& s, uint64_t* counts,
                       uint32_t* tree) const {
  auto hit = [&](uint32_t i, uint32_t t) {
    counts[i] += key_positions_[t].size();
    tree[i] = tree[i] == kNoTree ? t : kTrees;
  };
  std::fill(counts, counts + n, 0);
  std::fill(tree, tree + n, kNoTree);
  if (entries_.empty()) return;
  uint32_t below = depth_ - top_;  // digits a walk reads below the directory
  s.cell.resize(n);
  s.digits.resize(n * below);
  s.walks.clear();
  // The directory cell of each cid and its digits below it, coarsest first;
  // cells at or above the directory's deepest level are answered there.
  with_constant<9>(h_.a, [&](auto a) {
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t level = levels[i];
      if (level <= top_) {
        each(cids[i], level, [&](uint32_t t) { hit(i, t); });
        s.cell[i] = UINT32_MAX;
        continue;
      }
      uint32_t last = std::min(level, depth_);
      uint64_t x = cids[i] / powers_[level - last];
      uint16_t* d = s.digits.data() + i * below;  // no element to refer to when below == 0
      for (uint32_t k = last - top_; k > 0; --k, x /= a) d[k - 1] = static_cast<uint16_t>(x % a);
      for (uint32_t k = last - top_; k < below; ++k) d[k] = UINT16_MAX;
      s.cell[i] = static_cast<uint32_t>(x - powers_[top_ + 1]);
      __builtin_prefetch(first_[top_].data() + s.cell[i]);
    }
  });
  const std::vector<uint32_t>& first = first_[top_];
  const std::vector<Entry>& e = entries_[top_];
  for (uint32_t i = 0; i < n; ++i)
    if (s.cell[i] != UINT32_MAX) __builtin_prefetch(e.data() + first[s.cell[i]]);  // past the end when the cell has none
  for (uint32_t i = 0; i < n; ++i) {
    if (s.cell[i] == UINT32_MAX) continue;
    for (uint32_t j = first[s.cell[i]]; j < first[s.cell[i] + 1]; ++j) {
      s.walks.push_back({i, e[j].tree, e[j].node});
      prefetch(e[j].node);
    }
  }
  // A level at a time over every walk: each step's read was asked for a round before.
  for (uint32_t k = 0; k < below; ++k)
    for (Scratch::Walk& w : s.walks) {
      uint16_t d = s.digits[w.item * below + k];
      if (d == UINT16_MAX || !w.node->is_branch()) continue;
      w.node = &w.node->child(d);
      prefetch(w.node);
    }
  for (const Scratch::Walk& w : s.walks)
    if (w.node->is_full()) hit(w.item, w.tree);
}

void KeyLocator::fill(uint64_t cid, uint32_t level, int64_t* out) const {
  int64_t* end = out;
  uint32_t trees = 0;
  each(cid, level, [&](uint32_t t) {
    end = std::copy(key_positions_[t].begin(), key_positions_[t].end(), end);
    ++trees;
  });
  // One tree's keys are ascending already; several trees' interleave.
  if (trees > 1) std::sort(out, end);
}

}  // namespace zarel
