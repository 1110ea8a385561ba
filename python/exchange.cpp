#include "exchange.h"

#include <algorithm>
#include <optional>
#include <string>

#include "binder.h"
#include "display.h"
#include "tree_raster.h"
#include "tree_type.h"
#include "zone_data.h"

namespace zarel::py {

// A `bytes` object, read in place: the argument tuple keeps it alive for the call.
struct ByteString {
  std::span<const uint8_t> bytes;
};

bool convert(ModuleState*, PyObject* o, const char* name, ByteString& out) {
  if (!PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'bytes'", type_name(o).c_str());
    return add_note(name);
  }
  out.bytes = {reinterpret_cast<const uint8_t*>(PyBytes_AsString(o)), static_cast<size_t>(PyBytes_Size(o))};
  return true;
}

// A value that may also be None.
template <class T>
struct OrNone {
  std::optional<T> value;
};

template <class T>
bool convert(ModuleState* st, PyObject* o, const char* name, OrNone<T>& out) {
  if (o == Py_None) {
    out.value.reset();
    return true;
  }
  T v;
  if (!convert(st, o, name, v)) return false;
  out.value = std::move(v);
  return true;
}

// A flag: any object, by its truth value.
struct Flag {
  bool value = false;
};

bool convert(ModuleState*, PyObject* o, const char* name, Flag& out) {
  int v = PyObject_IsTrue(o);
  if (v < 0) return add_note(name);
  out.value = v;
  return true;
}

namespace {

const TreeObject& tree_of(PyObject* self) { return *reinterpret_cast<TreeObject*>(self); }

// Display GeoJSON arrives as text; `json` makes the Python objects.
PyObject* loads(const Result<std::string>& text) {
  if (!text) return raise(text.error());
  PyObject* json = PyImport_ImportModule("json");
  if (!json) return nullptr;
  PyObject* r = PyObject_CallMethod(json, "loads", "s#", text->data(), static_cast<Py_ssize_t>(text->size()));
  Py_DECREF(json);
  return r;
}

}  // namespace

const char raster_doc[] =
    "raster($self)\n--\n\n"
    "The covered leaves as six base-cell rasters at `depth`, `uint8`, shape `(6, n, n)` with `n = 3**depth`,\n"
    "base-major then scanline: `numpy.frombuffer(t.raster(), numpy.uint8)`.";

PyObject* tree_raster(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&]() -> PyObject* {
    auto mask = raster(tree_of(self).tree);
    if (!mask) return raise(mask.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mask->data()),
                                     static_cast<Py_ssize_t>(mask->size()));
  });
}

const char from_raster_doc[] =
    "from_raster(data, depth, profile=None)\n--\n\n"
    "The canonical tree of a raster laid out as `raster` returns it (any nonzero byte is covered), e.g.\n"
    "`Tree.from_raster(mask.astype(numpy.uint8).tobytes(), depth)`.";

PyObject* tree_from_raster(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  ByteString data;
  uint32_t depth;
  Profile profile;
  return call(st, args, kwargs, "from_raster", {{"data", data}, {"depth", depth}, optional("profile", profile)},
              [&]() -> PyObject* {
                return new_tree(st, from_raster(profile, depth, data.bytes), profile);
              });
}

const char to_dggs_json_doc[] =
    "to_dggs_json($self, zone, field=\"coverage\")\n--\n\n"
    "OGC API - DGGS zone data (DGGS-JSON) for the sub-zones of `zone` at the tree's depth, in\n"
    "the DGGRS's sub-zone order: 1 where covered, null elsewhere. The profile must be a\n"
    "registered DGGRS (the default is).";

PyObject* tree_to_dggs_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  uint64_t zone;
  std::string field = "coverage";
  return call(state_of_self(self), args, kwargs, "to_dggs_json", {{"zone", zone}, optional("field", field)},
              [&]() -> PyObject* {
                const TreeObject& t = tree_of(self);
                auto doc = to_dggs_json(t.tree, t.profile, zone, field);
                if (!doc) return raise(doc.error());
                return from_json(std::move(*doc));
              });
}

const char from_dggs_json_doc[] =
    "from_dggs_json(doc, field=None, depth=None, nonzero=False, profile=None)\n--\n\n"
    "The coverage a DGGS-JSON document describes: the sub-zones of its zone at one depth whose\n"
    "value in `field` is present (not null; also not zero if `nonzero`). `field` and `depth`\n"
    "may be omitted when the document has only one.";

PyObject* tree_from_dggs_json(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  Json doc;
  OrNone<std::string> field;
  OrNone<uint32_t> depth;
  Flag nonzero;
  Profile profile;
  return call(st, args, kwargs, "from_dggs_json",
              {{"doc", doc}, optional("field", field), optional("depth", depth), optional("nonzero", nonzero),
               optional("profile", profile)},
              [&]() -> PyObject* {
                std::optional<std::string_view> name;
                if (field.value) name = *field.value;
                return new_tree(st, from_dggs_json(doc, profile, name, depth.value, nonzero.value), profile);
              });
}

const char geojson_doc[] = "geojson($self, n=3)\n--\n\nGeoJSON of the canonical cells (see `cells_geojson`).";

PyObject* tree_geojson(PyObject* self, PyObject* args, PyObject* kwargs) {
  uint64_t n = 3;
  return call(state_of_self(self), args, kwargs, "geojson", {optional("n", n)}, [&] {
    const TreeObject& t = tree_of(self);
    return loads(cells_geojson(t.tree.cells(), t.profile, n));
  });
}

// The geo interface: the display FeatureCollection at the default density, so
// geopandas, shapely and folium read a tree as they read any feature source.
PyObject* tree_geo_interface(PyObject* self, void*) {
  return guarded(state_of_self(self), [&] {
    const TreeObject& t = tree_of(self);
    return loads(cells_geojson(t.tree.cells(), t.profile, 3));
  });
}

const char cells_geojson_doc[] =
    "cells_geojson(cids, profile=None, n=3)\n--\n\n"
    "A GeoJSON FeatureCollection of cell polygons for display: counter-clockwise rings, `n` points\n"
    "per edge on polar cells (equatorial cells are their four corners), rings that cross the\n"
    "antimeridian shifted east of 180 degrees so tile maps draw them whole, and each polar cap\n"
    "closed through its pole. Properties `cid`, `suid`, `level`; feature `id` the cid as a string.";

PyObject* fn_cells_geojson(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  PyObject* sequence;
  Profile profile;
  uint64_t n = 3;
  return call(st, args, kwargs, "cells_geojson", {{"cids", sequence}, optional("profile", profile), optional("n", n)},
              [&]() -> PyObject* {
                // Every cell takes at least five points, so a longer sequence (a range
                // can claim any length) is refused before its items are read.
                Py_ssize_t length = PyUnicode_Check(sequence) ? -1 : PySequence_Size(sequence);
                if (length < 0) PyErr_Clear();
                if (static_cast<uint64_t>(std::max<Py_ssize_t>(length, 0)) > kMaxDisplayPoints / 5)
                  return raise(invalid("the GeoJSON would hold more than the maximum " +
                                       std::to_string(kMaxDisplayPoints) + " points"));
                CidSequence cids;
                if (!convert(st, sequence, "cids", cids)) return nullptr;
                return loads(cells_geojson(cids, profile, n));
              });
}

}  // namespace zarel::py
