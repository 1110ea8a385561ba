// Batch points: the grid operations over NumPy arrays of points and cells,
// one element at a time (cells of points, nuclei, boundaries, neighbours),
// read in place, computed without the interpreter lock on the calling thread
// or a worker pool, and handed back to NumPy without a copy.
#pragma once

#include "module.h"

namespace zarel::py {

PyObject* fn_cells_from_lonlat(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cells_to_lonlat(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cell_boundaries(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cell_neighbours(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char cells_from_lonlat_doc[];
extern const char cells_to_lonlat_doc[];
extern const char cell_boundaries_doc[];
extern const char cell_neighbours_doc[];

}  // namespace zarel::py
