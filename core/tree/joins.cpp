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

KeyLocator KeyLocator::make(const Index& index, uint64_t budget) {
  KeyLocator loc;
  loc.h_ = kRhealpix;
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
  if (trees.empty()) return loc;
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
  return loc;
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
