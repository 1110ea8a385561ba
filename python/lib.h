// The binding layer's shared pieces: module state, the Python objects that wrap
// core values, argument conversion with the "while processing" note, JSON
// crossing, and the guard that turns core errors and panics into exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "error.h"
#include "json.h"
#include "profile.h"
#include "tree.h"

namespace zarel::py {

struct ModuleState {
  PyTypeObject* profile_type;
  PyTypeObject* tree_type;
  PyTypeObject* buffer_type;  // owner of a batch result's memory, read by NumPy in place
  PyObject* internal_error;  // derived from BaseException only
};

ModuleState* state_of_module(PyObject* module);
ModuleState* state_of_type(PyTypeObject* type);

struct ProfileObject {
  PyObject_HEAD
  Profile profile;
};

struct TreeObject {
  PyObject_HEAD
  Tree tree;
  Profile profile;
};

// Raises the core error as ValueError; returns nullptr for `return raise(e);`.
PyObject* raise(const Error& e);

// Runs a binding body, converting core panics into the internal-failure
// exception and allocation failures into MemoryError.
template <class F>
PyObject* guarded(ModuleState* st, F&& body) {
  try {
    return body();
  } catch (const Panic& p) {
    PyErr_SetString(st->internal_error, p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(st->internal_error, e.what());
  }
  return nullptr;
}

// Runs `work` with the interpreter lock released; an exception thrown inside
// is carried across and rethrown once the lock is held again.
template <class F>
void without_gil(F&& work) {
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
  if (failure) std::rethrow_exception(failure);
}

// Argument conversion. Each returns false with a Python exception set that
// carries the note "while processing '{name}'".
bool add_note(const char* name);
bool to_u64(PyObject* o, const char* name, uint64_t& out);
bool to_u32(PyObject* o, const char* name, uint32_t& out);
bool to_u8(PyObject* o, const char* name, uint8_t& out);
bool to_i64(PyObject* o, const char* name, int64_t& out);
bool to_str(PyObject* o, const char* name, std::string& out);
// None (or nullptr for an omitted argument) gives Profile::ogc().
bool to_profile(ModuleState* st, PyObject* o, const char* name, Profile& out);
bool to_tree(ModuleState* st, PyObject* o, const char* name, const TreeObject*& out);
// Any iterable of unsigned 64-bit integers, in iteration order; a 1-D
// contiguous uint64 buffer (a NumPy array) is copied in one step.
bool to_cid_list(PyObject* o, const char* name, std::vector<uint64_t>& out);

// A Python object serialisable by `json` becomes a core JSON value.
bool to_json(PyObject* o, Json& out);
PyObject* from_json(const Json& value);

PyObject* new_profile(ModuleState* st, const Profile& p);
PyObject* new_tree(ModuleState* st, Tree tree, const Profile& p);
PyObject* list_of_u64(const std::vector<uint64_t>& values);

}  // namespace zarel::py
