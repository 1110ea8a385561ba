// Polygons from Python: one GeoJSON polygon filled (`polyfill`,
// `fingerprint_polygon`, and `Tree.from_geojson` through `with_polygon`) or a
// batch of them as flat NumPy arrays (`_cover_polygons`), every fill made with
// the profile's setup kept in the module state.
#pragma once

#include <memory>
#include <string>

#include "binder.h"
#include "convert.h"
#include "module.h"
#include "fill/polyfill.h"

namespace zarel::py {

// The fill setup of a profile, made once per distinct profile and kept in the
// module state for later calls. REQUIRES: the interpreter lock is held.
std::shared_ptr<const FillSetup> fill_setup(ModuleState* st, const Profile& profile);

// A geometry object (shapely, geopandas) is not a document; the package's
// `front_end` reads its `__geo_interface__`, which a note on the refusal names.
void name_front_end(PyObject* geojson, const char* front_end);

// The document is converted after every other argument, then read; the body
// runs with the polygon on success and returns nullptr with the exception set otherwise.
template <class Body>
PyObject* with_polygon(PyObject* geojson, const char* front_end, Body&& body) {
  Json doc;
  ReleaseJson release(doc);
  if (!to_json(geojson, doc)) {
    name_front_end(geojson, front_end);
    return nullptr;
  }
  auto polygons = geometry_from_geojson(doc);
  release_json(doc);  // the work needs only the polygons
  if (!polygons) return raise(polygons.error());
  return body(*polygons);
}

// Binds (geojson, resolution, profile=None, *, mode='nucleus'), reads the
// polygon and answers body(polygons, resolution, profile, mode, cancel); once
// Ctrl-C has stopped the body its answer is dropped for the stopping exception.
template <class Body>
PyObject* call_on_polygon(ModuleState* st, PyObject* args, PyObject* kwargs, const char* function,
                          const char* front_end, Body body) {
  PyObject* geojson;
  uint32_t resolution;
  Profile profile;
  Mode mode = Mode::Nucleus;
  return call(st, args, kwargs, function,
              {{"geojson", geojson}, {"resolution", resolution}, optional("profile", profile), keyword_only("mode", mode)}, [&] {
                return with_polygon(geojson, front_end, [&](const MultiPolygon& polygons) -> PyObject* {
                  Cancel cancel(signal_raised);
                  PyObject* out = body(polygons, resolution, profile, mode, cancel);
                  if (!cancel.stopped()) return out;
                  Py_XDECREF(out);
                  return raise(cancelled());
                });
              });
}

PyObject* fn_polyfill(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_fingerprint_polygon(PyObject* module, PyObject* args, PyObject* kwargs);
PyObject* fn_cover_polygons(PyObject* module, PyObject* args, PyObject* kwargs);

extern const char polyfill_doc[];
extern const char fingerprint_polygon_doc[];
extern const char cover_polygons_doc[];

}  // namespace zarel::py
