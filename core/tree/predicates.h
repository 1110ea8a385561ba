// Set predicates on coverage trees: inclusion and disjointness, decided on the
// compressed trees. Shared or equal-hashed subtrees settle at once, as do
// empty and full nodes, so the cost follows where the trees differ, not their
// size.
#pragma once

#include "base/error.h"
#include "tree/tree.h"

namespace zarel {

// Whether every leaf of `a` is a leaf of `b`. Fails as the set operations do
// on trees of another hierarchy, depth or hasher.
Result<bool> is_subset(const Tree& a, const Tree& b);
// Whether `a` and `b` share no leaf; fails as is_subset does.
Result<bool> is_disjoint(const Tree& a, const Tree& b);

}  // namespace zarel
