// The Python `Tree` class: an immutable canonical coverage tree with the
// profile it was made with, and every method of it: construction from cells,
// polygons, rasters and DGGS-JSON; set operations, proofs and openings;
// dilation; the Python protocols; rasters, DGGS-JSON and GeoJSON out.
#pragma once

#include "module.h"
#include "profile/profile.h"
#include "tree/tree.h"

namespace zarel::py {

struct TreeObject {
  PyObject_HEAD
  Tree tree;
  Profile profile;
};

extern PyType_Spec tree_spec;

PyObject* new_tree(ModuleState* st, Tree tree, const Profile& p);
// The built tree as a Python Tree, or its core error raised.
PyObject* new_tree(ModuleState* st, Result<Tree> built, const Profile& p);

}  // namespace zarel::py
