// Tree.outline: a coverage's boundary as shapely polygons, and the outline
// form of Tree.geojson.
#pragma once

#include <string>

#include "module.h"
#include "tree_type.h"

namespace zarel::py {

PyObject* tree_outline(PyObject* self, PyObject* args, PyObject* kwargs);
extern const char outline_doc[];
// The FeatureCollection of the tree's outline, as JSON text, or nullptr with
// the error raised.
PyObject* outline_geojson(const TreeObject& t, uint64_t n);

}  // namespace zarel::py
