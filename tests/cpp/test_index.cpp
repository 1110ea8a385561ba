// The coverage index's registration and failure rules and the bound on
// attention at fine levels; the answers themselves are checked against a
// brute-force catalogue from Python.
#include "check.h"
#include "index.h"
#include "tree.h"

using namespace zarel;

namespace {

Tree tree(const std::vector<uint64_t>& cids, uint32_t depth) { return *Tree::from_cells(cids, depth, Profile::ogc()); }

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
  registration_rules();
  attention_bound();
  return zarel_test::finish();
}
