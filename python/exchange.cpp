#include "exchange.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "binder.h"
#include "exchange/display.h"
#include "tree/tree_raster.h"
#include "tree_type.h"
#include "exchange/zone_data.h"

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

namespace {

// The document with its data list made straight from the covered bytes, a list
// slot a value: a JSON value a sub-zone would cost several times the list.
PyObject* with_values(PyObject* doc, const std::string& field, const std::vector<uint8_t>& covered) {
  if (!doc) return nullptr;
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(covered.size()));
  PyObject* one = PyLong_FromLong(1);
  PyObject* key = str_of(field);
  PyObject* values = PyDict_GetItemString(doc, "values");
  PyObject* entries = values && key ? PyDict_GetItem(values, key) : nullptr;
  PyObject* entry = entries ? PyList_GetItem(entries, 0) : nullptr;
  bool ok = list && one && entry;
  for (size_t i = 0; ok && i < covered.size(); ++i) {
    PyObject* v = covered[i] ? one : Py_None;
    Py_INCREF(v);
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), v);
  }
  ok = ok && PyDict_SetItemString(entry, "data", list) == 0;
  Py_XDECREF(list);
  Py_XDECREF(one);
  Py_XDECREF(key);
  if (ok) return doc;
  Py_DECREF(doc);
  ZAREL_ASSERT(PyErr_Occurred());
  return nullptr;
}

// A from_dggs_json document: its data lists read apart into a byte a value
// where every value is None, a bool, an int of 64 bits or a finite float, and
// the rest (with empty lists in their place) through the JSON road. Any other
// list goes that road whole, so its errors read as they always did.
struct DggsDoc {
  Json doc;
  ApartValues apart;
};

bool read_kinds(PyObject* list, ValueKinds& out) {
  Py_ssize_t n = PyList_Size(list);
  out.kinds.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* v = PyList_GetItem(list, i);
    uint8_t& kind = out.kinds[static_cast<size_t>(i)];
    if (v == Py_None) {
      kind = ValueKinds::kNull;
    } else if (v == Py_True || v == Py_False) {
      kind = ValueKinds::kOther;
      if (out.first_other.empty()) out.first_other = v == Py_True ? "true" : "false";
    } else if (PyLong_CheckExact(v)) {
      int overflow = 0;
      long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
      if (overflow) return false;
      kind = x != 0 ? ValueKinds::kNonzero : ValueKinds::kZero;
    } else if (PyFloat_CheckExact(v)) {
      double x = PyFloat_AsDouble(v);
      if (!std::isfinite(x)) return false;
      kind = x != 0 ? ValueKinds::kNonzero : ValueKinds::kZero;
    } else {
      return false;
    }
  }
  return true;
}

// The field's entries with their data lists read apart where they can be;
// a new reference, or nullptr with the exception set.
PyObject* entries_apart(PyObject* entries, const std::string& field, ApartValues& apart) {
  Py_ssize_t n = PyList_Size(entries);
  PyObject* out = PyList_New(n);
  for (Py_ssize_t i = 0; out && i < n; ++i) {
    PyObject* e = PyList_GetItem(entries, i);
    PyObject* data = PyDict_CheckExact(e) ? PyDict_GetItemString(e, "data") : nullptr;
    ValueKinds kinds;
    PyObject* item = nullptr;
    if (data && PyList_CheckExact(data) && read_kinds(data, kinds)) {
      PyObject* empty = PyList_New(0);
      item = empty ? PyDict_Copy(e) : nullptr;
      if (item && PyDict_SetItemString(item, "data", empty) < 0) Py_CLEAR(item);
      Py_XDECREF(empty);
      if (item) apart[{field, static_cast<size_t>(i)}] = std::move(kinds);
    } else {
      item = e;
      Py_INCREF(item);
    }
    if (!item) Py_CLEAR(out);
    else PyList_SetItem(out, i, item);
  }
  return out;
}

// The document with its readable data lists emptied; a new reference. Only
// plain dicts with text keys are looked into, so the JSON road sees the same
// keys, in the same places, as it would in the whole document.
PyObject* without_data(PyObject* doc, ApartValues& apart) {
  PyObject* values = PyDict_CheckExact(doc) ? PyDict_GetItemString(doc, "values") : nullptr;
  if (!values || !PyDict_CheckExact(values)) {
    Py_INCREF(doc);
    return doc;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *entries;
  while (PyDict_Next(values, &pos, &key, &entries))
    if (!PyUnicode_CheckExact(key)) {
      Py_INCREF(doc);
      return doc;
    }
  PyObject* slim = PyDict_New();
  pos = 0;
  while (slim && PyDict_Next(values, &pos, &key, &entries)) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (!name) PyErr_Clear();
    PyObject* item = name && PyList_CheckExact(entries) ? entries_apart(entries, std::string(name, size), apart)
                                                        : (Py_INCREF(entries), entries);
    if (!item || PyDict_SetItem(slim, key, item) < 0) Py_CLEAR(slim);
    Py_XDECREF(item);
  }
  PyObject* out = slim ? PyDict_Copy(doc) : nullptr;
  if (out && PyDict_SetItemString(out, "values", slim) < 0) Py_CLEAR(out);
  Py_XDECREF(slim);
  return out;
}

bool convert(ModuleState*, PyObject* o, const char*, DggsDoc& out) {
  PyObject* slim = without_data(o, out.apart);
  if (!slim) return false;
  bool ok = to_json(slim, out.doc);
  Py_DECREF(slim);
  return ok;
}

}  // namespace

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
                auto z = zone_data(t.tree, t.profile, zone, field);
                if (!z) return raise(z.error());
                return with_values(from_json(std::move(z->doc)), field, z->covered);
              });
}

const char from_dggs_json_doc[] =
    "from_dggs_json(doc, field=None, depth=None, nonzero=False, profile=None)\n--\n\n"
    "The coverage a DGGS-JSON document describes: the sub-zones of its zone at one depth whose\n"
    "value in `field` is present (not null; also not zero if `nonzero`). `field` and `depth`\n"
    "may be omitted when the document has only one.";

PyObject* tree_from_dggs_json(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  DggsDoc doc;
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
                return new_tree(st, from_dggs_json(doc.doc, profile, name, depth.value, nonzero.value, doc.apart),
                                profile);
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
    "closed through its pole. Properties `cid`, `suid`, `level`; feature `id` the cid as a string.\n"
    "Refused (ValueError) for `n` above 65536 on a polar cell, and above 2**26 points in all.";

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
