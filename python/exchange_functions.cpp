#include "exchange_functions.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "binder.h"
#include "exchange/display.h"
#include "tree_type.h"

namespace zarel::py {

namespace {

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

}  // namespace

bool convert(ModuleState*, PyObject* o, const char*, DggsDoc& out) {
  PyObject* slim = without_data(o, out.apart);
  if (!slim) return false;
  bool ok = to_json(slim, out.doc);
  Py_DECREF(slim);
  return ok;
}

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

PyObject* display_geojson(const std::vector<uint64_t>& cids, const Profile& profile, uint64_t n) {
  auto text = cells_geojson(cids, profile, n);
  if (!text) return raise(text.error());
  return from_json_text(*text);
}

const char cells_geojson_doc[] =
    "cells_geojson(cids, profile=None, n=3)\n--\n\n"
    "A GeoJSON FeatureCollection of cell polygons for display: counter-clockwise rings, `n` points\n"
    "per edge on polar cells (equatorial cells are their four corners), rings that cross the\n"
    "antimeridian shifted east of 180 degrees so tile maps draw them whole, and each polar cap\n"
    "closed through its pole. Properties `cid`, `suid`, `level`; feature `id` the cid as a string.\n"
    "Refused (ValueError) for `n` above 65536, and above 2**26 points in all.";

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
                return display_geojson(cids, profile, n);
              });
}

const char enclosing_zone_doc[] =
    "enclosing_zone(tree)\n--\n\n"
    "The deepest cell that holds every covered leaf of `tree`, or None when the tree is empty or\n"
    "spans several base cells: the zone whose `to_dggs_json` carries the whole tree.";

PyObject* fn_enclosing_zone(PyObject* module, PyObject* args, PyObject* kwargs) {
  const TreeObject* tree;
  return call(state_of_module(module), args, kwargs, "enclosing_zone", {{"tree", tree}}, [&]() -> PyObject* {
    auto zone = enclosing_zone(tree->tree);
    if (!zone) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*zone);
  });
}

const char dggs_json_zones_doc[] =
    "dggs_json_zones(tree, level, field=\"coverage\")\n--\n\n"
    "One DGGS-JSON document (as `Tree.to_dggs_json` writes it) for each zone of `level` that the\n"
    "tree meets, in ascending cid order; reading them back with `Tree.from_dggs_json` and taking\n"
    "the union gives the tree. At most 65536 documents and 2**30 values in all.";

PyObject* fn_dggs_json_zones(PyObject* module, PyObject* args, PyObject* kwargs) {
  const TreeObject* tree;
  uint32_t level;
  std::string field = "coverage";
  return call(state_of_module(module), args, kwargs, "dggs_json_zones",
              {{"tree", tree}, {"level", level}, optional("field", field)}, [&]() -> PyObject* {
                auto docs = to_dggs_json_zones(tree->tree, tree->profile, level, field);
                if (!docs) return raise(docs.error());
                return from_json(std::move(*docs));
              });
}

}  // namespace zarel::py
