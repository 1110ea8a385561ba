// Trees and cells leaving for other software and coming back: tree rasters
// (NumPy byte masks), DGGS-JSON zone data, and display GeoJSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "lib.h"

namespace zarel::py {

// Methods of Tree, for its method table.
PyObject* tree_raster(PyObject* self, PyObject*);
PyObject* tree_from_raster(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* tree_to_dggs_json(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tree_from_dggs_json(PyObject* cls, PyObject* args, PyObject* kwargs);
PyObject* tree_geojson(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* tree_geo_interface(PyObject* self, void*);
extern const char raster_doc[], from_raster_doc[], to_dggs_json_doc[], from_dggs_json_doc[], geojson_doc[];

// `doc` (a zone_data document read into Python, taken over) with its data list
// made straight from the covered bytes, a list slot a value: a JSON value a
// sub-zone would cost several times the list.
PyObject* with_values(PyObject* doc, const std::string& field, const std::vector<uint8_t>& covered);

PyObject* fn_cells_geojson(PyObject* module, PyObject* args, PyObject* kwargs);
extern const char cells_geojson_doc[];

}  // namespace zarel::py
