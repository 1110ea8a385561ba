#include "tree/predicates.h"

#include "tree/setops.h"

namespace zarel {

namespace {

// Two partly covered nodes of one height cover the same leaves: canonical
// nodes are equal exactly when they are the same word or their hashes agree.
bool same_cover(const Node& a, const Node& b) {
  if (a.same(b)) return true;
  const Branch *x = a.branch(), *y = b.branch();
  return x && y && x->hash == y->hash;
}

// The children of a partly covered node as masks: bit k of `partial` set when
// child k is partly covered, of `full` when it is wholly covered. False for
// a dense branch, whose children are read one by one.
struct Kids {
  uint32_t partial = 0, full = 0;
};
bool kids_of(const Node& n, Kids& out) {
  if (n.is_leaf_mask()) {
    out = {0, n.leaf_bits()};
    return true;
  }
  if (n.is_twig()) {
    out = {1u << n.twig_digit(), 0};
    return true;
  }
  const Branch* b = n.branch();
  if (b->dense()) return false;
  out = {b->partial, b->full};
  return true;
}

bool subset(const Node& a, const Node& b, uint32_t aperture) {
  if (a.is_empty() || b.is_full()) return true;
  if (b.is_empty() || a.is_full()) return false;
  if (same_cover(a, b)) return true;
  Kids x, y;
  if (kids_of(a, x) && kids_of(b, y)) {
    if ((x.full & ~y.full) != 0 || (x.partial & ~(y.partial | y.full)) != 0) return false;
    for (uint32_t both = x.partial & y.partial; both != 0; both &= both - 1) {
      uint32_t k = static_cast<uint32_t>(count_bits((both & -both) - 1));
      if (!subset(a.child(k), b.child(k), aperture)) return false;
    }
    return true;
  }
  for (uint32_t k = 0; k < aperture; ++k)
    if (!subset(a.child(k), b.child(k), aperture)) return false;
  return true;
}

bool disjoint(const Node& a, const Node& b, uint32_t aperture) {
  if (a.is_empty() || b.is_empty()) return true;
  if (a.is_full() || b.is_full() || same_cover(a, b)) return false;
  Kids x, y;
  if (kids_of(a, x) && kids_of(b, y)) {
    if ((x.full & (y.full | y.partial)) != 0 || (x.partial & y.full) != 0) return false;
    for (uint32_t both = x.partial & y.partial; both != 0; both &= both - 1) {
      uint32_t k = static_cast<uint32_t>(count_bits((both & -both) - 1));
      if (!disjoint(a.child(k), b.child(k), aperture)) return false;
    }
    return true;
  }
  for (uint32_t k = 0; k < aperture; ++k)
    if (!disjoint(a.child(k), b.child(k), aperture)) return false;
  return true;
}

}  // namespace

Result<bool> is_subset(const Tree& a, const Tree& b) {
  ZAREL_CHECK(compatible(a, b));
  for (size_t i = 0; i < a.bases.size(); ++i)
    if (!subset(a.bases[i], b.bases[i], a.hierarchy.a)) return false;
  return true;
}

Result<bool> is_disjoint(const Tree& a, const Tree& b) {
  ZAREL_CHECK(compatible(a, b));
  for (size_t i = 0; i < a.bases.size(); ++i)
    if (!disjoint(a.bases[i], b.bases[i], a.hierarchy.a)) return false;
  return true;
}

}  // namespace zarel
