#include "long_results.h"

#include <algorithm>

#include "convert.h"
#include "exchange/display.h"
#include "exchange/zone_data.h"
#include "exchange_functions.h"

namespace zarel::py {

namespace {

// Features read back per json.loads: a few milliseconds of work.

PyObject* interrupted() {
  if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  return nullptr;
}

PyObject* step_object(const Step& step, Poll& poll) {
  if (poll()) return interrupted();
  PyObject* d = Py_BuildValue("{ssssss}", "a", hex(step.a).c_str(), "b", hex(step.b).c_str(), "c",
                              hex(step.c).c_str());
  if (!d || !step.children) return d;
  PyObject* kids = PyList_New(static_cast<Py_ssize_t>(step.children->size()));
  for (size_t k = 0; kids && k < step.children->size(); ++k) {
    PyObject* kid = step_object((*step.children)[k], poll);
    if (!kid) Py_CLEAR(kids);
    else PyList_SetItem(kids, static_cast<Py_ssize_t>(k), kid);
  }
  if (!kids || PyDict_SetItemString(d, "children", kids) < 0) Py_CLEAR(d);
  Py_XDECREF(kids);
  return d;
}

}  // namespace

PyObject* proof_object(const SetOpProof& proof, const Cancel& cancel) {
  Poll poll(cancel, 256);
  PyObject* steps = PyList_New(static_cast<Py_ssize_t>(proof.steps.size()));
  for (size_t i = 0; steps && i < proof.steps.size(); ++i) {
    PyObject* s = step_object(proof.steps[i], poll);
    if (!s) Py_CLEAR(steps);
    else PyList_SetItem(steps, static_cast<Py_ssize_t>(i), s);
  }
  if (!steps) return nullptr;
  std::string op(op_name(proof.op));
  return Py_BuildValue("{sIsIsIsssssssssssNsK}", "A", proof.A, "B", proof.B, "D", proof.D, "hash", proof.hash.c_str(),
                       "op", op.c_str(), "root_a", hex(proof.root_a).c_str(), "root_b", hex(proof.root_b).c_str(),
                       "root_c", hex(proof.root_c).c_str(), "steps", steps, "v", 1ULL);
}

PyObject* display_geojson(std::span<const uint64_t> cids, const Profile& profile, uint64_t n) {
  // One text for all the cells: they are drawn together so that neighbours
  // share their edges point for point.
  Cancel cancel(signal_raised);
  auto text = cells_geojson(cids, profile, n, cancel);
  if (!text) return raise(text.error());
  if (cancel.stop()) return interrupted();
  PyObject* json = PyImport_ImportModule("json");
  if (!json) return nullptr;
  PyObject* doc = PyObject_CallMethod(json, "loads", "s#", text->data(), static_cast<Py_ssize_t>(text->size()));
  Py_DECREF(json);
  return doc;
}

PyObject* zone_documents(const Tree& tree, const Profile& profile, uint32_t level, const std::string& field,
                         const Cancel& cancel) {
  auto zones = document_zones(tree, profile, level);
  if (!zones) return raise(zones.error());
  PyObject* docs = PyList_New(static_cast<Py_ssize_t>(zones->size()));
  for (size_t i = 0; docs && i < zones->size(); ++i) {
    auto z = zone_data(tree, profile, (*zones)[i], field);
    PyObject* doc = z ? with_values(from_json(std::move(z->doc)), field, z->covered) : raise(z.error());
    if (!doc || cancel.stop()) {
      Py_XDECREF(doc);
      Py_CLEAR(docs);
    } else {
      PyList_SetItem(docs, static_cast<Py_ssize_t>(i), doc);
    }
  }
  if (!docs) return PyErr_Occurred() ? nullptr : interrupted();
  return docs;
}

}  // namespace zarel::py
