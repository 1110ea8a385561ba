// A tree's neighbourhood and its zones: Tree.dilate, the zone enclosing a
// tree, and one DGGS-JSON document per zone a tree meets.
#pragma once

#include "lib.h"

namespace zarel::py {

PyObject* tree_dilate(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* fn_enclosing_zone(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_dggs_json_zones(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char dilate_doc[];
extern const char enclosing_zone_doc[];
extern const char dggs_json_zones_doc[];

}  // namespace zarel::py
