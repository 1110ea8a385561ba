// The module functions over one cell or level: cell identifiers, zone
// navigation, neighbours, areas and rasters. Each has its docstring beside it;
// module.cpp registers them.
#pragma once

#include "module.h"

namespace zarel::py {

PyObject* fn_cell_area_m2(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_suid_to_cid(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cid_to_suid(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_position(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cell_at(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_subzone_index(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_subzone_at(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_subzones(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_neighbours(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_halo_index(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_raster_index(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_raster_cells(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char cell_area_m2_doc[];
extern const char suid_to_cid_doc[];
extern const char cid_to_suid_doc[];
extern const char position_doc[];
extern const char cell_at_doc[];
extern const char subzone_index_doc[];
extern const char subzone_at_doc[];
extern const char subzones_doc[];
extern const char neighbours_doc[];
extern const char halo_index_doc[];
extern const char raster_index_doc[];
extern const char raster_cells_doc[];

}  // namespace zarel::py
