#include "tree/index.h"


#include <algorithm>
#include <array>
#include <cstring>

#include "tree/setops.h"

namespace zarel {

std::string_view relation_name(Relation relation) {
  switch (relation) {
    case Relation::Disjoint: return "disjoint";
    case Relation::Equal: return "equal";
    case Relation::Within: return "within";
    case Relation::Contains: return "contains";
    case Relation::Overlaps: return "overlaps";
  }
  return "";
}

size_t Index::RootHash::operator()(const Hash& h) const {
  // Roots are SHA-256 digests: any eight of their bytes are already uniform.
  size_t v;
  std::memcpy(&v, h.data(), sizeof v);
  return v;
}

namespace {

// a^h for every height of a tree; depths stay below kMaxPath.
using Powers = std::array<uint64_t, kMaxPath>;

Powers powers(uint32_t a, uint32_t depth) {
  Powers p{};
  p[0] = 1;
  for (uint32_t h = 1; h <= depth; ++h) p[h] = p[h - 1] * a;
  return p;
}

// A stored branch counts its wholly covered children from its mask and visits
// only its partly covered ones; a partly covered node has height >= 1, so
// pow[1] is the aperture there.
uint64_t leaves_below(const Node& node, uint32_t height, const Powers& pow) {
  if (node.is_full()) return pow[height];
  if (!node.is_branch()) return 0;
  if (node.is_leaf_mask() || node.is_twig()) return count_bits(node.leaf_bits());
  const Branch* b = node.branch();
  uint64_t n = b->dense() ? 0 : count_bits(b->full) * pow[height - 1];
  for (uint32_t i = 0; i < b->stored(); ++i) n += leaves_below(b->kids()[i], height - 1, pow);
  return n;
}

// The leaf count of the intersection of two nodes, without building it: the
// relation and both fractions follow from this count and the two leaf counts,
// so a query makes no new branch and hashes nothing.
uint64_t shared_leaves(const Node& a, const Node& b, uint32_t height, const Powers& pow) {
  if (a.is_empty() || b.is_empty()) return 0;
  if (a.is_full()) return leaves_below(b, height, pow);
  if (b.is_full()) return leaves_below(a, height, pow);
  if (a.same(b)) return leaves_below(a, height, pow);
  if (a.is_leaf_mask() && b.is_leaf_mask()) return count_bits(a.leaf_bits() & b.leaf_bits());
  const Branch *x = a.branch(), *y = b.branch();
  if (x && y && x->hash == y->hash) return leaves_below(a, height, pow);
  ZAREL_ASSERT(height >= 1);
  // Only the children non-empty on both sides can share a leaf; the masks
  // cover apertures up to 16, wider ones visit every child.
  uint32_t both = 0xffff;
  if (x && !x->dense()) both &= x->partial | x->full;
  if (y && !y->dense()) both &= y->partial | y->full;
  uint64_t n = 0;
  for (uint32_t k = 0; k < pow[1]; ++k)
    if (k >= 16 || both >> k & 1) n += shared_leaves(a.child(k), b.child(k), height - 1, pow);
  return n;
}

uint64_t leaf_total(const Tree& t, const Powers& pow) {
  uint64_t n = 0;
  for (const Node& b : t.bases) n += leaves_below(b, t.depth, pow);
  return n;
}

// Appends the cells at `level` under covered leaves of `node` as ascending runs,
// joining a run to the previous one where they touch.
void touched_runs(const Node& node, uint64_t cid, uint32_t node_level, uint32_t level, uint32_t a, const Powers& pow,
                  std::vector<std::pair<uint64_t, uint64_t>>& out, Poll& poll) {
  if (node.is_empty() || poll()) return;
  uint64_t first = cid, end = cid + 1;
  if (node_level < level) {
    if (node.is_branch()) {
      for (uint32_t k = 0; k < a; ++k)
        touched_runs(node.child(k), cid * a + k, node_level + 1, level, a, pow, out, poll);
      return;
    }
    uint64_t s = pow[level - node_level];
    first = cid * s;
    end = (cid + 1) * s;
  }
  if (!out.empty() && out.back().second == first) out.back().second = end;
  else out.emplace_back(first, end);
}

}  // namespace

Status Index::add(std::string key, const Tree& tree) {
  if (!trees_.empty()) {
    const Tree& t = trees_.begin()->second.tree;
    if (!(t.hierarchy == tree.hierarchy) || t.depth != tree.depth || t.ctx->hasher.id() != tree.ctx->hasher.id())
      return invalid("every tree in an index must share the hierarchy, depth and hash");
  }
  Hash root = tree.root();
  auto [at, fresh] = trees_.try_emplace(root);
  if (fresh) at->second.tree = tree;
  ++at->second.keys;
  auto [slot, added] = keys_.try_emplace(std::move(key), Named{root, next_order_});
  if (added) {
    ++next_order_;
  } else {
    if (--trees_.at(slot->second.root).keys == 0) unnamed_.push_back(slot->second.root);
    slot->second.root = root;
  }
  return ok();
}

bool Index::remove(std::string_view key) {
  auto slot = keys_.find(key);
  if (slot == keys_.end()) return false;
  unnamed_.push_back(slot->second.root);
  --trees_.at(slot->second.root).keys;
  keys_.erase(slot);
  // A candidate may have been named again since, or be listed twice.
  for (const Hash& root : unnamed_)
    if (auto t = trees_.find(root); t != trees_.end() && t->second.keys == 0) trees_.erase(t);
  unnamed_.clear();
  return true;
}

const Tree* Index::tree(std::string_view key) const {
  auto slot = keys_.find(key);
  return slot == keys_.end() ? nullptr : &trees_.at(slot->second.root).tree;
}

std::vector<std::string> Index::keys() const {
  std::vector<std::pair<uint64_t, const std::string*>> by_order;
  by_order.reserve(keys_.size());
  for (const auto& [key, named] : keys_) by_order.emplace_back(named.order, &key);
  std::sort(by_order.begin(), by_order.end());
  std::vector<std::string> out;
  out.reserve(by_order.size());
  for (const auto& entry : by_order) out.push_back(*entry.second);
  return out;
}

Result<std::vector<Hit>> Index::query(const Tree& q) const {
  std::vector<Hit> hits;
  if (trees_.empty()) return hits;
  ZAREL_CHECK(compatible(trees_.begin()->second.tree, q));
  Powers pow = powers(q.hierarchy.a, q.depth);
  uint64_t nq = leaf_total(q, pow);
  struct Met {
    uint64_t shared, leaves;
    Relation relation;
  };
  std::unordered_map<Hash, Met, RootHash> met;
  for (const auto& [root, stored] : trees_) {
    // A tree no key refers to any more can produce no row.
    if (stored.keys == 0) continue;
    uint64_t shared = 0;
    for (size_t b = 0; b < q.bases.size(); ++b) shared += shared_leaves(stored.tree.bases[b], q.bases[b], q.depth, pow);
    if (shared == 0) continue;
    uint64_t ni = stored.leaves.load(std::memory_order_relaxed);
    if (ni == kUncounted) {
      ni = leaf_total(stored.tree, pow);
      stored.leaves.store(ni, std::memory_order_relaxed);
    }
    // Each side has leaves outside the other exactly when it holds more than they share.
    bool item_only = ni > shared, query_only = nq > shared;
    Relation r = item_only ? (query_only ? Relation::Overlaps : Relation::Contains)
                           : (query_only ? Relation::Within : Relation::Equal);
    met.emplace(root, Met{shared, ni, r});
  }
  if (met.empty()) return hits;
  for (const auto& [key, named] : keys_) {
    const Hash& root = named.root;
    auto m = met.find(root);
    if (m == met.end()) continue;
    const Met& v = m->second;
    hits.push_back(Hit{key, root, static_cast<double>(v.shared) / static_cast<double>(nq),
                       static_cast<double>(v.shared) / static_cast<double>(v.leaves), v.shared, v.relation});
  }
  // Stable over ascending keys, so ties stay in key order.
  std::stable_sort(hits.begin(), hits.end(),
                   [](const Hit& x, const Hit& y) { return x.fraction_of_query > y.fraction_of_query; });
  return hits;
}

std::vector<std::pair<std::string, Hash>> Index::roots() const {
  std::vector<std::pair<std::string, Hash>> out;
  out.reserve(keys_.size());
  for (const auto& [key, named] : keys_) out.emplace_back(key, named.root);
  return out;
}

std::vector<const Tree*> Index::stored_trees() const {
  std::vector<std::pair<Hash, const Tree*>> by_root;
  by_root.reserve(trees_.size());
  for (const auto& [root, stored] : trees_) by_root.emplace_back(root, &stored.tree);
  std::sort(by_root.begin(), by_root.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<const Tree*> out;
  out.reserve(by_root.size());
  for (const auto& entry : by_root) out.push_back(entry.second);
  return out;
}

Result<std::vector<KeyCountRun>> Index::attention(uint32_t level, const Cancel& cancel) const {
  std::vector<KeyCountRun> out;
  if (trees_.empty()) return out;
  const Tree& any = trees_.begin()->second.tree;
  if (level > any.depth)
    return invalid("attention level " + std::to_string(level) + " is deeper than the trees (" +
                   std::to_string(any.depth) + ")");
  // Each distinct tree is walked once into runs; a run's start adds the tree's
  // key count and its end takes it away, so one sweep over the sorted bounds
  // gives every cell's count, and the answer stays as long as the union of the
  // runs however many keys share them.
  Powers pow = powers(any.hierarchy.a, level);
  uint32_t a = any.hierarchy.a;
  struct Bound {
    uint64_t at;
    int64_t delta;
  };
  std::vector<Bound> bounds;
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  // Each tree's bounds come out ascending; `starts` marks where each begins.
  std::vector<size_t> starts;
  Poll poll(cancel);
  for (const auto& [root, stored] : trees_) {
    if (stored.keys == 0) continue;
    runs.clear();
    for (uint32_t b = 0; b < stored.tree.bases.size(); ++b)
      touched_runs(stored.tree.bases[b], uint64_t{a} + b, 0, level, a, pow, runs, poll);
    if (cancel.stopped()) return cancelled();
    auto k = static_cast<int64_t>(stored.keys);
    starts.push_back(bounds.size());
    for (auto [first, end] : runs) {
      bounds.push_back({first, k});
      bounds.push_back({end, -k});
    }
  }
  // Merged pairwise in rounds, each merge linear, with a poll between merges.
  auto earlier = [](const Bound& x, const Bound& y) { return x.at < y.at; };
  while (starts.size() > 1) {
    std::vector<size_t> merged;
    for (size_t i = 0; i < starts.size(); i += 2) {
      merged.push_back(starts[i]);
      if (i + 1 == starts.size()) break;
      size_t end = i + 2 < starts.size() ? starts[i + 2] : bounds.size();
      std::inplace_merge(bounds.begin() + static_cast<ptrdiff_t>(starts[i]),
                         bounds.begin() + static_cast<ptrdiff_t>(starts[i + 1]),
                         bounds.begin() + static_cast<ptrdiff_t>(end), earlier);
      if (cancel.stop()) return cancelled();
    }
    starts = std::move(merged);
  }
  uint64_t cells = 0;
  int64_t count = 0;
  for (size_t i = 0; i < bounds.size();) {
    uint64_t at = bounds[i].at;
    for (; i < bounds.size() && bounds[i].at == at; ++i) count += bounds[i].delta;
    if (count == 0 || i == bounds.size()) continue;
    uint64_t next = bounds[i].at;
    out.push_back({at, next, static_cast<uint64_t>(count)});
    cells += next - at;
  }
  if (cells > kMaxAttentionCells)
    return invalid("attention at level " + std::to_string(level) + " names " + std::to_string(cells) +
                   " cells, more than the " + std::to_string(kMaxAttentionCells) + " it lists");
  return out;
}

}  // namespace zarel
