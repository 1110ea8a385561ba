// The set habits of the Python `Tree`: inclusion and disjointness as methods
// and as the ordering operators, and the covered area.
#pragma once

#include "module.h"

namespace zarel::py {

// `<`, `<=`, `>`, `>=` between two trees (NotImplemented for anything else).
PyObject* tree_order(PyObject* self, PyObject* other, int op);

extern const char issubset_doc[], issuperset_doc[], isdisjoint_doc[], area_m2_doc[];
PyObject* tree_issubset(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tree_issuperset(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tree_isdisjoint(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tree_area_m2(PyObject* self, PyObject*);

}  // namespace zarel::py
