// The `_zarel` module: its state, its initialisation, and the one table that
// registers the module functions in their documented order.
#include "module.h"

#include <cstring>

#include "arrays.h"
#include "base/limits.h"
#include "batch_cells.h"
#include "batch_points.h"
#include "binder.h"
#include "cell_functions.h"
#include "convert.h"
#include "exchange_functions.h"
#include "grid_steps.h"
#include "index_type.h"
#include "polygon_functions.h"
#include "profile_type.h"
#include "tree_type.h"
#include "verify_functions.h"

namespace zarel::py {

ModuleState* state_of_module(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

ModuleState* state_of_type(PyTypeObject* type) { return static_cast<ModuleState*>(PyType_GetModuleState(type)); }

PyObject* raise(const Error& e) {
  if (e.kind == Error::Kind::Cancelled) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  PyErr_SetString(PyExc_ValueError, e.display().c_str());
  return nullptr;
}

thread_local const std::atomic<uint64_t>* progress_count = nullptr;

namespace {
thread_local PyObject* progress_hook = nullptr;  // a strong reference

// Calls the hook with the lock held; unset meanwhile, so zarel calls the hook makes do not call it again.
bool hook_raised() {
  PyObject* hook = progress_hook;
  if (!hook) return false;
  progress_hook = nullptr;
  PyObject* done = progress_count ? PyLong_FromUnsignedLongLong(progress_count->load(std::memory_order_relaxed))
                                  : Py_NewRef(Py_None);
  PyObject* r = done ? PyObject_CallFunctionObjArgs(hook, done, nullptr) : nullptr;
  Py_XDECREF(done);
  Py_XDECREF(r);
  if (!progress_hook) progress_hook = hook;
  else Py_DECREF(hook);
  return r == nullptr;
}
}  // namespace

bool signal_raised() {
  PyGILState_STATE held = PyGILState_Ensure();
  bool raised = PyErr_CheckSignals() != 0 || hook_raised();
  PyGILState_Release(held);
  return raised;
}

const char progress_hook_doc[] =
    "_progress_hook(hook)\n--\n\n"
    "Sets (None clears) the calling thread's progress hook and gives the one it replaces: while core work\n"
    "started on this thread runs, the hook is called every 10 ms or so on this thread, with the number of\n"
    "rows a polygon batch has done (None for other work); an exception it raises ends the work with it.";

PyObject* fn_progress_hook(PyObject*, PyObject* hook) {
  if (hook != Py_None && !PyCallable_Check(hook)) {
    PyErr_Format(PyExc_TypeError, "hook must be callable or None, not %s", type_name(hook).c_str());
    return nullptr;
  }
  PyObject* old = progress_hook;
  progress_hook = hook == Py_None ? nullptr : Py_NewRef(hook);
  return old ? old : Py_NewRef(Py_None);
}

namespace {

// Registered in this order; functions defined elsewhere take their place here as they are built.
PyMethodDef module_functions[] = {
    def("polyfill", fn_polyfill, polyfill_doc),
    def("fingerprint_polygon", fn_fingerprint_polygon, fingerprint_polygon_doc),
    def("verify_opening", fn_verify_opening, verify_opening_doc),
    def("verify_setop", fn_verify_setop, verify_setop_doc),
    def("cell_area_m2", fn_cell_area_m2, cell_area_m2_doc),
    def("cells_geojson", fn_cells_geojson, cells_geojson_doc),
    def("suid_to_cid", fn_suid_to_cid, suid_to_cid_doc),
    def("cid_to_suid", fn_cid_to_suid, cid_to_suid_doc),
    def("position", fn_position, position_doc),
    def("cell_at", fn_cell_at, cell_at_doc),
    def("subzone_index", fn_subzone_index, subzone_index_doc),
    def("subzone_at", fn_subzone_at, subzone_at_doc),
    def("subzones", fn_subzones, subzones_doc),
    def("neighbours", fn_neighbours, neighbours_doc),
    def("halo_index", fn_halo_index, halo_index_doc),
    def("_cells_from_lonlat", fn_cells_from_lonlat, cells_from_lonlat_doc),
    def("_cells_to_lonlat", fn_cells_to_lonlat, cells_to_lonlat_doc),
    def("_cell_boundaries", fn_cell_boundaries, cell_boundaries_doc),
    def("_cell_neighbours", fn_cell_neighbours, cell_neighbours_doc),
    def("_cover_polygons", fn_cover_polygons, cover_polygons_doc),
    {"_progress_hook", fn_progress_hook, METH_O, progress_hook_doc},
    def("raster_index", fn_raster_index, raster_index_doc),
    def("raster_cells", fn_raster_cells, raster_cells_doc),
    def("_cids_to_suids", fn_cids_to_suids, cids_to_suids_doc),
    def("_suids_to_cids", fn_suids_to_cids, suids_to_cids_doc),
    def("_cell_levels", fn_cell_levels, cell_levels_doc),
    def("_cell_parents", fn_cell_parents, cell_parents_doc),
    def("_cell_children", fn_cell_children, cell_children_doc),
    def("_grid_disk", fn_grid_disk, grid_disk_doc),
    def("_grid_ring", fn_grid_ring, grid_ring_doc),
    def("_grid_distance", fn_grid_distance, grid_distance_doc),
    def("_cells_valid", fn_cells_valid, cells_valid_doc),
    def("enclosing_zone", fn_enclosing_zone, enclosing_zone_doc),
    def("dggs_json_zones", fn_dggs_json_zones, dggs_json_zones_doc),
    kEndOfTable,
};

int add_type(PyObject* module, PyType_Spec* type_spec, PyTypeObject*& slot) {
  PyObject* t = PyType_FromModuleAndSpec(module, type_spec, nullptr);
  if (!t) return -1;
  slot = reinterpret_cast<PyTypeObject*>(t);
  // PyModule_AddObjectRef keeps the state's reference separate from the module's.
  return PyModule_AddObjectRef(module, strrchr(type_spec->name, '.') + 1, t);
}

int add_profile(PyObject* module, const char* name, const Profile& p) {
  PyObject* o = new_profile(state_of_module(module), p);
  if (!o || PyModule_AddObject(module, name, o) < 0) {
    Py_XDECREF(o);
    return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  ModuleState* st = state_of_module(module);
  st->internal_error = PyErr_NewExceptionWithDoc(
      "zarel._zarel.InternalError",
      "A broken internal invariant; derived from BaseException so that `except Exception` does not hide it.",
      PyExc_BaseException, nullptr);
  if (!st->internal_error) return -1;
  st->fill_setups = new (std::nothrow) FillSetups();
  if (!st->fill_setups) {
    PyErr_NoMemory();
    return -1;
  }
  if (add_type(module, &profile_spec, st->profile_type) < 0) return -1;
  if (add_type(module, &tree_spec, st->tree_type) < 0) return -1;
  if (add_type(module, &index_spec, st->index_type) < 0) return -1;
  if (!(st->buffer_type = new_buffer_type(module))) return -1;
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  if (add_profile(module, "OGC_RHEALPIX", Profile::ogc()) < 0) return -1;
  if (add_profile(module, "ZAREL_1", Profile::zarel_1()) < 0) return -1;
  if (PyModule_AddIntConstant(module, "MAX_RESOLUTION", kMaxResolution) < 0) return -1;
  // Defined by the build from pyproject.toml, where the version is written once.
  if (PyModule_AddStringConstant(module, "__version__", ZAREL_VERSION) < 0) return -1;
  // Exposed last, after the documented names, so callers can catch it by name.
  if (PyModule_AddObjectRef(module, "InternalError", st->internal_error) < 0) return -1;
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = state_of_module(module);
  Py_VISIT(st->profile_type);
  Py_VISIT(st->tree_type);
  Py_VISIT(st->index_type);
  Py_VISIT(st->buffer_type);
  Py_VISIT(st->internal_error);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* st = state_of_module(module);
  Py_CLEAR(st->profile_type);
  Py_CLEAR(st->tree_type);
  Py_CLEAR(st->index_type);
  Py_CLEAR(st->buffer_type);
  Py_CLEAR(st->internal_error);
  return 0;
}

void module_free(void* module) {
  module_clear(static_cast<PyObject*>(module));
  ModuleState* st = state_of_module(static_cast<PyObject*>(module));
  delete st->fill_setups;
  st->fill_setups = nullptr;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_zarel", "", sizeof(ModuleState), nullptr, module_slots,
    module_traverse,       module_clear, module_free,
};

}  // namespace

}  // namespace zarel::py

PyMODINIT_FUNC PyInit__zarel() { return PyModuleDef_Init(&zarel::py::module_def); }
