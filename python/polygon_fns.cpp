#include "polygon_fns.h"

#include <array>

#include "binder.h"
#include "tree_type.h"

namespace zarel::py {

std::shared_ptr<const FillSetup> fill_setup(const Profile& profile) {
  // A few profiles at once is what programs use; the lock guards the slots.
  static std::array<std::shared_ptr<const FillSetup>, 8> kept;
  static size_t next = 0;
  for (const auto& s : kept)
    if (s && s->profile() == profile) return s;
  auto made = std::make_shared<const FillSetup>(profile);
  kept[next++ % kept.size()] = made;
  return made;
}

namespace {

// A geometry object (shapely, geopandas) is not a document; the package's
// `front_end` reads its `__geo_interface__`, which a note on the refusal names.
void name_front_end(PyObject* geojson, const char* front_end) {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  bool geometry = PyObject_HasAttrString(geojson, "__geo_interface__");
  PyErr_Restore(type, value, tb);
  if (geometry) add_exception_note(std::string(front_end) + " reads objects with __geo_interface__, such as shapely's");
}

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

}  // namespace

const char polyfill_doc[] =
    "polyfill(geojson, resolution, profile=None, *, mode='nucleus')\n--\n\n"
    "Sorted depth-`resolution` cids whose nucleus the GeoJSON polygon contains.\n\n"
    "`geojson` is a Polygon, a MultiPolygon or a Feature holding one, with coordinates in degrees taken as\n"
    "written (no wrapping at 180, no orientation fix-up). A cell is in when the polygon strictly contains its\n"
    "nucleus. Refused (ValueError) above 2**26 cells: large areas belong in `Tree.from_geojson`.\n\n"
    "`mode` \"inside\" keeps the cells wholly inside the polygon instead, and \"overlap\" the cells whose\n"
    "interior meets the polygon's interior; polar cells off the pole are judged to within 1e-9 degrees,\n"
    "erring towards leaving out (\"inside\") or keeping (\"overlap\").";

PyObject* fn_polyfill(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* geojson;
  uint32_t resolution;
  Profile profile;
  Mode mode = Mode::Nucleus;
  return call(state_of_module(module), args, kwargs, "polyfill",
              {{"geojson", geojson}, {"resolution", resolution}, optional("profile", profile), keyword_only("mode", mode)}, [&] {
                return with_polygon(geojson, "zarel.polyfill", [&](const MultiPolygon& polygons) -> PyObject* {
                  Cancel cancel(signal_raised);
                  auto cells = polyfill(polygons, resolution, *fill_setup(profile), cancel, mode);
                  if (cancel.stopped()) return raise(cancelled());
                  return answer(cells);
                });
              });
}

const char fingerprint_polygon_doc[] =
    "fingerprint_polygon(geojson, resolution, profile=None, *, mode='nucleus')\n--\n\n"
    "Hex root of the canonical coverage of a GeoJSON polygon at `resolution`.\n\n"
    "Equal to `Tree.from_geojson(geojson, resolution, profile, mode=mode).root_hex`; equal coverages give\n"
    "equal fingerprints, whatever the vertex order or ring orientation. `mode` as in `polyfill`.";

PyObject* fn_fingerprint_polygon(PyObject* module, PyObject* args, PyObject* kwargs) {
  PyObject* geojson;
  uint32_t resolution;
  Profile profile;
  Mode mode = Mode::Nucleus;
  return call(state_of_module(module), args, kwargs, "fingerprint_polygon",
              {{"geojson", geojson}, {"resolution", resolution}, optional("profile", profile), keyword_only("mode", mode)}, [&] {
                return with_polygon(geojson, "zarel.fingerprint_polygon",
                                    [&](const MultiPolygon& polygons) -> PyObject* {
                  Cancel cancel(signal_raised);
                  auto root = fingerprint_polygon(polygons, resolution, *fill_setup(profile), cancel, mode);
                  if (cancel.stopped()) return raise(cancelled());
                  if (!root) return raise(root.error());
                  return to_python(hex(*root));
                });
              });
}

const char from_geojson_doc[] =
    "from_geojson(geojson, resolution, profile=None, *, mode='nucleus')\n--\n\n"
    "The canonical coverage of a GeoJSON Polygon/MultiPolygon at `resolution` (nucleus rule).\n\n"
    "Cells wholly inside the polygon are kept whole, so the cost follows the boundary, not the area.\n"
    "`mode` \"inside\" or \"overlap\" keeps whole cells instead, as in `polyfill`.";

PyObject* tree_from_geojson(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  PyObject* geojson;
  uint32_t resolution;
  Profile profile;
  Mode mode = Mode::Nucleus;
  return call(st, args, kwargs, "from_geojson",
              {{"geojson", geojson}, {"resolution", resolution}, optional("profile", profile), keyword_only("mode", mode)}, [&] {
                return with_polygon(geojson, "zarel.tree_from_geojson",
                                    [&](const MultiPolygon& polygons) -> PyObject* {
                  auto setup = fill_setup(profile);
                  auto ctx = setup->ctx(resolution);
                  if (!ctx) return raise(ctx.error());
                  Cancel cancel(signal_raised);
                  auto tree = cover(polygons, resolution, *setup, std::move(ctx).value(), cancel, mode);
                  if (cancel.stopped()) return raise(cancelled());
                  return new_tree(st, std::move(tree), profile);
                });
              });
}

}  // namespace zarel::py
