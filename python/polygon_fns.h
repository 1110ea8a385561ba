// The polygon fill from Python: `polyfill`, `fingerprint_polygon` and
// `Tree.from_geojson`. Each has its docstring beside it; lib.cpp and the Tree
// method table register them.
#pragma once

#include <memory>

#include "lib.h"
#include "fill/polyfill.h"

namespace zarel::py {

// The fill setup of a profile, made once per distinct profile and kept for
// later calls. REQUIRES: the interpreter lock is held.
std::shared_ptr<const FillSetup> fill_setup(const Profile& profile);

PyObject* fn_polyfill(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_fingerprint_polygon(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* tree_from_geojson(PyObject* cls, PyObject* args, PyObject* kwargs);

extern const char polyfill_doc[];
extern const char fingerprint_polygon_doc[];
extern const char from_geojson_doc[];

}  // namespace zarel::py
