// Batch cells: suids, levels, parents, children and disks of NumPy arrays of
// cids, computed without the interpreter lock like every batch function, the
// listings ragged as (cells, offsets).
#pragma once

#include "module.h"

namespace zarel::py {

PyObject* fn_cids_to_suids(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_suids_to_cids(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cell_levels(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cell_parents(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cell_children(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_grid_disk(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char cids_to_suids_doc[];
extern const char suids_to_cids_doc[];
extern const char cell_levels_doc[];
extern const char cell_parents_doc[];
extern const char cell_children_doc[];
extern const char grid_disk_doc[];

}  // namespace zarel::py
