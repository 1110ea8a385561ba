// The coverage index: coverage trees registered under text keys, asked by a
// query tree which keys meet it, how (equal, within, contains, overlaps) and
// how much, and how many keys touch each cell of a level.
//
// Trees are stored once per distinct root, as copies that share the registered
// trees' branches, so keys with equal coverage cost one stored tree and every
// answer is worked per distinct root, then spread over its keys. All stored
// trees share one hierarchy, depth and hasher; the first tree fixes them.
//
// An Index is a plain value with no synchronisation of its own: its owner lets
// one writer or many readers at a time use it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/cancel.h"
#include "base/error.h"
#include "profile/hash_context.h"
#include "tree/tree.h"

namespace zarel {

// How an indexed tree (the item) meets a query tree.
enum class Relation : uint8_t { Disjoint = 0, Equal = 1, Within = 2, Contains = 3, Overlaps = 4 };

// "disjoint", "equal", "within", "contains", "overlaps".
std::string_view relation_name(Relation relation);

struct Hit {
  std::string key;
  Hash root{};
  double fraction_of_query = 0;
  double fraction_of_item = 0;
  uint64_t shared_cells = 0;
  Relation relation = Relation::Disjoint;
};

// Consecutive cells [first, end) of one level, each touched by `keys` keys.
struct KeyCountRun {
  uint64_t first, end, keys;
};

// The most cells one attention answer lists (the bound of Tree::leaves): a
// fine level under coarse full cells names more cells than any map can hold.
inline constexpr uint64_t kMaxAttentionCells = kMaxLeaves;

class Index {
 public:
  // Registers `key` under `tree`'s root, replacing the key's previous root
  // (the key keeps its place in keys()). Changes nothing when the tree's
  // hierarchy, depth or hasher differ from the stored trees'.
  Status add(std::string key, const Tree& tree);

  // Forgets `key`, then drops every stored tree no key names any more; false
  // (and nothing changed) when the key is not registered.
  bool remove(std::string_view key);

  // The tree registered under `key`, or nullptr.
  const Tree* tree(std::string_view key) const;

  // Every key in the order it was first registered.
  std::vector<std::string> keys() const;

  // The keys whose trees share a leaf with `query`, by shared fraction of the
  // query descending, ties in ascending key order. A query of another
  // hierarchy, depth or hasher fails unless the index is empty.
  Result<std::vector<Hit>> query(const Tree& query) const;

  // Every key with its root, ascending by key.
  std::vector<std::pair<std::string, Hash>> roots() const;

  // Every stored tree, ascending by root, with the trees no key names any
  // more: with roots() it is the index's whole content, for saving it.
  std::vector<const Tree*> stored_trees() const;

  // For every cell at `level` under a covered leaf of some key's tree, the
  // number of such keys: ascending, disjoint runs of cells with their counts,
  // never more than kMaxAttentionCells cells in all.
  Result<std::vector<KeyCountRun>> attention(uint32_t level, const Cancel& cancel = never_cancelled()) const;

  size_t len() const { return keys_.size(); }
  size_t distinct_roots() const { return trees_.size(); }

 private:
  struct RootHash {
    size_t operator()(const Hash& h) const;
  };
  static constexpr uint64_t kUncounted = UINT64_MAX;
  struct Stored {
    Tree tree;
    uint64_t keys = 0;  // keys registered under this root now
    // The tree's leaf count, the item side of every fraction: counted by the
    // first query the tree meets, so registering stays one root computation.
    // Readers may race to store it; they store the same value.
    mutable std::atomic<uint64_t> leaves{kUncounted};
  };

  struct Named {
    Hash root;
    uint64_t order;  // when the key was first registered, for keys()
  };

  // A tree stays stored when its last key moves to another root, until the
  // next remove drops it.
  std::unordered_map<Hash, Stored, RootHash> trees_;
  // Keys in byte order: std::string compares as unsigned bytes.
  std::map<std::string, Named, std::less<>> keys_;
  uint64_t next_order_ = 0;
  // Roots whose last key moved to another root: remove's candidates for dropping.
  std::vector<Hash> unnamed_;
};

}  // namespace zarel
