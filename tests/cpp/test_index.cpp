// The coverage index against a brute-force catalogue of leaf sets, its
// failure rules, and the bound on attention at fine levels.
#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "check.h"
#include "index.h"
#include "tree.h"

using namespace zarel;

namespace {

Tree tree(const std::vector<uint64_t>& cids, uint32_t depth) { return *Tree::from_cells(cids, depth, Profile::ogc()); }

std::vector<uint64_t> random_cells(std::mt19937_64& rng, uint32_t depth, size_t n) {
  std::vector<uint64_t> out;
  for (size_t i = 0; i < n; ++i) {
    uint64_t cid = 9 + rng() % 6;
    for (uint32_t l = rng() % (depth + 1); l > 0; --l) cid = cid * 9 + rng() % 9;
    out.push_back(cid);
  }
  return out;
}

std::set<uint64_t> leaf_set(const Tree& t) {
  auto v = *t.leaves();
  return {v.begin(), v.end()};
}

// Queries and attention of random catalogues, each answer recomputed from
// leaf sets: relation, counts, fractions, order with ties.
void matches_leaf_model() {
  std::mt19937_64 rng(11);
  for (int round = 0; round < 60; ++round) {
    uint32_t depth = 1 + round % 3;
    Index index;
    std::map<std::string, std::set<uint64_t>> model;
    std::vector<Tree> pool;
    for (int i = 0; i < 6; ++i) pool.push_back(tree(random_cells(rng, depth, rng() % 8), depth));
    for (int i = 0; i < 12; ++i) {
      // Few trees under many keys, so keys share roots and some keys move.
      std::string key(1, static_cast<char>('a' + rng() % 9));
      const Tree& t = pool[rng() % pool.size()];
      CHECK(index.add(key, t).ok());
      model[key] = leaf_set(t);
    }
    CHECK_EQ(index.len(), model.size());
    Tree q = round % 7 == 0 ? pool[0] : tree(random_cells(rng, depth, 1 + rng() % 6), depth);
    auto ql = leaf_set(q);
    struct Row {
      std::string key;
      uint64_t shared;
      double fq, fi;
      Relation relation;
    };
    std::vector<Row> want;
    for (const auto& [key, item] : model) {
      uint64_t shared = 0;
      for (uint64_t c : item) shared += ql.count(c);
      if (shared == 0) continue;
      bool item_only = item.size() > shared, query_only = ql.size() > shared;
      Relation r = !item_only && !query_only ? Relation::Equal
                   : !item_only             ? Relation::Within
                   : !query_only            ? Relation::Contains
                                            : Relation::Overlaps;
      want.push_back({key, shared, double(shared) / double(ql.size()), double(shared) / double(item.size()), r});
    }
    std::stable_sort(want.begin(), want.end(), [](const Row& x, const Row& y) { return x.fq > y.fq; });
    auto got = index.query(q);
    CHECK(got.ok() && got->size() == want.size());
    for (size_t i = 0; got.ok() && i < std::min(got->size(), want.size()); ++i) {
      const Hit& h = (*got)[i];
      CHECK(h.key == want[i].key && h.shared_cells == want[i].shared && h.relation == want[i].relation);
      CHECK(h.fraction_of_query == want[i].fq && h.fraction_of_item == want[i].fi);
    }
    for (uint32_t level = 0; level <= depth; ++level) {
      std::map<uint64_t, uint64_t> counts;
      for (const auto& [key, item] : model) {
        std::set<uint64_t> touched;
        for (uint64_t leaf : item) {
          uint64_t c = leaf;
          for (uint32_t l = depth; l > level; --l) c /= 9;
          touched.insert(c);
        }
        for (uint64_t c : touched) ++counts[c];
      }
      auto runs = index.attention(level);
      CHECK(runs.ok());
      std::map<uint64_t, uint64_t> seen;
      for (const TouchedRun& r : *runs)
        for (uint64_t c = r.first; c < r.end; ++c) seen[c] = r.keys;
      CHECK(seen == counts);
    }
  }
}

void registration_rules() {
  Tree t = tree({9, 100}, 2), u = tree({983}, 2);
  Index index;
  CHECK(index.add("a", t).ok() && index.add("b", t).ok());
  CHECK(index.len() == 2 && index.distinct_roots() == 1);
  CHECK(index.add("a", u).ok());
  CHECK(index.len() == 2 && index.distinct_roots() == 2);
  auto roots = index.roots();
  CHECK(roots.size() == 2 && roots[0].first == "a" && roots[0].second == u.root() && roots[1].second == t.root());
  // A tree of another depth changes nothing.
  CHECK_ERR(index.add("c", tree({9}, 3)), "every tree in an index must share the hierarchy, depth and hash");
  CHECK_ERR(index.add("a", tree({9}, 3)), "every tree in an index must share the hierarchy, depth and hash");
  CHECK(index.len() == 2 && index.distinct_roots() == 2 && index.roots()[0].second == u.root());
  CHECK_ERR(index.query(tree({9}, 3)), "depth mismatch: 2 vs 3; depth is part of a root's identity");
  CHECK_ERR(index.attention(3), "attention level 3 is deeper than the trees (2)");
  // The tree "a" left behind is still stored but names no key.
  auto hits = *index.query(tree({9}, 2));
  CHECK(hits.size() == 1 && hits[0].key == "b" && hits[0].relation == Relation::Contains);
  CHECK(index.query(tree({}, 2))->empty());
  // An empty index answers anything.
  Index none;
  CHECK(none.query(tree({9}, 7))->empty() && none.attention(40)->empty());
  CHECK(relation_name(Relation::Overlaps) == "overlaps" && relation_name(Relation::Disjoint) == "disjoint");
}

// A full base cell of a depth-18 tree touches 9^L cells at level L: listed as
// one run while within the bound, refused past it, whatever the number of keys.
void attention_bound() {
  Index index;
  Tree whole = tree({9}, 18);
  for (int i = 0; i < 1000; ++i) CHECK(index.add(std::to_string(i), whole).ok());
  auto fine = index.attention(8);
  CHECK(fine.ok() && fine->size() == 1 && (*fine)[0].keys == 1000 && (*fine)[0].end - (*fine)[0].first == 43046721);
  CHECK_ERR(index.attention(9), "attention at level 9 names 387420489 cells, more than the 67108864 it lists");
  CHECK_ERR(index.attention(18), "attention at level 18 names 150094635296999121 cells, more than the 67108864 it lists");
}

}  // namespace

int main() {
  matches_leaf_model();
  registration_rules();
  attention_bound();
  return zarel_test::finish();
}
