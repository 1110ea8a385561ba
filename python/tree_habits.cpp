#include "tree_habits.h"

#include "binder.h"
#include "geo/grid.h"
#include "tree/predicates.h"
#include "tree_type.h"

namespace zarel::py {

namespace {

const TreeObject& tree_of(PyObject* self) { return *reinterpret_cast<TreeObject*>(self); }

// Whether `a` lies within `b` (or, with `disjoint`, shares nothing with it),
// refused as the set operations refuse trees of two grids, depths or hashes.
PyObject* relate(const TreeObject& a, const TreeObject& b, bool disjoint) {
  if (auto alike = a.profile.places_cells_alike(b.profile); !alike) return raise(alike.error());
  Result<bool> r = disjoint ? is_disjoint(a.tree, b.tree) : is_subset(a.tree, b.tree);
  if (!r) return raise(r.error());
  return PyBool_FromLong(*r);
}

template <bool kSwap, bool kDisjoint>
PyObject* tree_relation(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
  const TreeObject* other;
  return call(state_of_self(self), args, kwargs, name, {{"other", other}}, [&]() -> PyObject* {
    return kSwap ? relate(*other, tree_of(self), kDisjoint) : relate(tree_of(self), *other, kDisjoint);
  });
}

}  // namespace

PyObject* tree_order(PyObject* self, PyObject* other, int op) {
  if (Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  return guarded(state_of_self(self), [&]() -> PyObject* {
    const TreeObject &a = tree_of(self), &b = tree_of(other);
    bool swap = op == Py_GT || op == Py_GE;
    const TreeObject &small = swap ? b : a, &large = swap ? a : b;
    PyObject* within = relate(small, large, false);
    if (within != Py_True || op == Py_LE || op == Py_GE) return within;
    // A proper subset: within and not equal, which the roots tell.
    Py_DECREF(within);
    return PyBool_FromLong(!(a.tree == b.tree));
  });
}

const char issubset_doc[] =
    "issubset($self, other)\n--\n\n"
    "Whether every leaf of this tree is in `other` (`self <= other`; `<` also asks that they differ).\n"
    "The work follows where the trees differ: shared or equal subtrees settle at once.";
const char issuperset_doc[] =
    "issuperset($self, other)\n--\n\nWhether every leaf of `other` is in this tree (`self >= other`).";
const char isdisjoint_doc[] = "isdisjoint($self, other)\n--\n\nWhether the trees share no leaf.";
const char area_m2_doc[] =
    "area_m2($self)\n--\n\nThe covered area in m\u00b2: the covered leaves times the (equal) area of a cell at `depth`.";

PyObject* tree_issubset(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_relation<false, false>(self, args, kwargs, "issubset");
}
PyObject* tree_issuperset(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_relation<true, false>(self, args, kwargs, "issuperset");
}
PyObject* tree_isdisjoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_relation<false, true>(self, args, kwargs, "isdisjoint");
}

PyObject* tree_area_m2(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&]() -> PyObject* {
    const TreeObject& t = tree_of(self);
    auto area = geo::cell_area(t.profile, t.tree.depth);
    if (!area) return raise(area.error());
    return PyFloat_FromDouble(static_cast<double>(t.tree.leaf_count()) * *area);
  });
}

}  // namespace zarel::py
