// Grid steps over cell arrays: rings at k steps, the steps between two cells,
// and which cids are valid.
#pragma once

#include "module.h"

namespace zarel::py {

extern const char grid_ring_doc[];
PyObject* fn_grid_ring(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char grid_distance_doc[];
PyObject* fn_grid_distance(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cells_valid_doc[];
PyObject* fn_cells_valid(PyObject* module, PyObject* args, PyObject* kwargs);

}  // namespace zarel::py
