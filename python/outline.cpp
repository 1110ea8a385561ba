#include "outline.h"

#include <optional>

#include "arrays.h"
#include "binder.h"
#include "convert.h"
#include "base/limits.h"
#include "exchange/display.h"
#include "exchange/outline.h"

namespace zarel::py {

namespace {

// The outline with the interpreter lock released; nullptr with the error raised.
std::optional<Outline> outline_of(const TreeObject& t, uint64_t n) {
  if (Status s = check_edge_points(n); !s) {
    raise(std::move(s).error());
    return std::nullopt;
  }
  std::vector<uint64_t> cells = t.tree.cells();
  std::optional<Result<Outline>> made;
  Cancel cancel(signal_raised);
  without_gil([&] { made.emplace(outline(t.profile, cells, static_cast<uint32_t>(n), cancel)); });
  if (cancel.stopped()) {
    raise(cancelled());
    return std::nullopt;
  }
  if (!*made) {
    raise(std::move(*made).error());
    return std::nullopt;
  }
  return std::move(**made);
}

}  // namespace

const char outline_doc[] =
    "outline($self, n=3)\n--\n\n"
    "The coverage's boundary as a shapely Polygon or MultiPolygon in longitude/latitude degrees:\n"
    "the union of its canonical cells' display polygons (as `geojson` draws them, `n` points per\n"
    "piece of a curved polar edge), found by walking the edges between covered and uncovered\n"
    "cells, so its corners are the cells' own. Shells run counter-clockwise, holes clockwise; an\n"
    "empty tree gives an empty MultiPolygon. Needs shapely (the `zarel[shapely]` extra).";

PyObject* tree_outline(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_self(self);
  uint64_t n = 3;
  return call(st, args, kwargs, "outline", {optional("n", n)}, [&]() -> PyObject* {
    // Asked for first: a missing shapely is reported before any work.
    PyObject* helper = PyImport_ImportModule("zarel._outline");
    if (!helper) return nullptr;
    PyObject* make = PyObject_GetAttrString(helper, "_shapes");
    Py_DECREF(helper);
    if (!make) return nullptr;
    PyObject* shapely = PyObject_CallNoArgs(make);
    if (!shapely) {
      Py_DECREF(make);
      return nullptr;
    }
    Py_DECREF(shapely);
    auto made = outline_of(*reinterpret_cast<TreeObject*>(self), n);
    if (!made) {
      Py_DECREF(make);
      return nullptr;
    }
    std::vector<double> xy;
    xy.reserve(2 * made->points.size());
    for (const geo::LonLat& p : made->points) {
      xy.push_back(p.lon);
      xy.push_back(p.lat);
    }
    auto to_i64 = [](const std::vector<uint64_t>& v) { return std::vector<int64_t>(v.begin(), v.end()); };
    Py_ssize_t count = static_cast<Py_ssize_t>(made->points.size());
    PyObject* a = reshaped(to_ndarray(st, std::move(xy)), count, 2);
    PyObject* b = a ? to_ndarray(st, to_i64(made->rings)) : nullptr;
    PyObject* c = b ? to_ndarray(st, to_i64(made->parts)) : nullptr;
    PyObject* out = c ? PyObject_CallFunctionObjArgs(make, a, b, c, nullptr) : nullptr;
    Py_XDECREF(a);
    Py_XDECREF(b);
    Py_XDECREF(c);
    Py_DECREF(make);
    return out;
  });
}

PyObject* outline_geojson(const TreeObject& t, uint64_t n) {
  auto made = outline_of(t, n);
  if (!made) return nullptr;
  std::string props = "{\"depth\":" + std::to_string(t.tree.depth) + ",\"root\":\"" + t.tree.root_hex() + "\"}";
  auto text = outline_feature_collection(*made, props);
  if (!text) return raise(std::move(text).error());
  return from_json_text(*text);
}

}  // namespace zarel::py
