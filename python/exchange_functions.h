// Trees and cells leaving for other software and coming back: DGGS-JSON zone
// data (the zone enclosing a tree, one document per zone a tree meets) and
// display GeoJSON. The Tree methods that write and read these documents
// (tree_type.cpp) take them through here.
#pragma once

#include <string>
#include <vector>

#include "convert.h"
#include "module.h"
#include "exchange/zone_data.h"

namespace zarel::py {

// A from_dggs_json document: its data lists read apart into a byte a value
// where every value is None, a bool, an int of 64 bits or a finite float, and
// the rest (with empty lists in their place) through the JSON road. Any other
// list goes that road whole, so its errors read as they always did.
struct DggsDoc {
  Json doc;
  ApartValues apart;
};
bool convert(ModuleState*, PyObject* o, const char* name, DggsDoc& out);

// The document with its data list made straight from the covered bytes, a list
// slot a value: a JSON value a sub-zone would cost several times the list.
// Takes the reference to `doc`.
PyObject* with_values(PyObject* doc, const std::string& field, const std::vector<uint8_t>& covered);

// The display FeatureCollection of `cids` (cells_geojson) as Python objects.
PyObject* display_geojson(const std::vector<uint64_t>& cids, const Profile& profile, uint64_t n);

PyObject* fn_cells_geojson(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_enclosing_zone(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_dggs_json_zones(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char cells_geojson_doc[];
extern const char enclosing_zone_doc[];
extern const char dggs_json_zones_doc[];

}  // namespace zarel::py
