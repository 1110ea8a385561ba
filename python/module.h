// The module frame every binding runs in: the module state, the way a core
// error becomes ValueError, the guard that turns panics into the internal
// failure, and the release of the interpreter lock around core work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/cancel.h"
#include "base/error.h"

namespace zarel {
class FillSetup;
}

namespace zarel::py {

// The fill setups made so far, one per distinct profile, the oldest replaced
// first: a few profiles at once is what programs use. The interpreter lock
// guards the slots.
struct FillSetups {
  std::array<std::shared_ptr<const FillSetup>, 8> kept;
  size_t next = 0;
};

struct ModuleState {
  PyTypeObject* profile_type;
  PyTypeObject* tree_type;
  PyTypeObject* index_type;
  PyTypeObject* buffer_type;  // owner of a batch result's memory, read by NumPy in place
  PyObject* internal_error;  // derived from BaseException only
  FillSetups* fill_setups;   // made with the module, freed with it
};

ModuleState* state_of_module(PyObject* module);
ModuleState* state_of_type(PyTypeObject* type);
inline ModuleState* state_of_self(PyObject* self) { return state_of_type(Py_TYPE(self)); }
inline ModuleState* state_of_class(PyObject* cls) { return state_of_type(reinterpret_cast<PyTypeObject*>(cls)); }

// Raises the core error as ValueError; returns nullptr for `return raise(e);`.
// A cancelled call keeps the exception that stopped it (KeyboardInterrupt if none).
PyObject* raise(const Error& e);

// The check of a Cancel for core work started on this thread: whether a signal
// handler has raised (Ctrl-C raises KeyboardInterrupt), the exception then
// staying set. It takes the interpreter lock for the moment it needs it, so it
// serves work run with or without the lock; off the main thread it never stops.
bool signal_raised();

// Progress of core work on this thread, for the package's bars. While a hook
// is set (`_progress_hook`), signal_raised() also calls it, with the count
// `progress_count` points at (None when nothing counts); a hook that raises
// stops the work as Ctrl-C does, its exception staying set.
extern thread_local const std::atomic<uint64_t>* progress_count;
PyObject* fn_progress_hook(PyObject* module, PyObject* hook);
extern const char progress_hook_doc[];

// Runs a binding body, converting core panics into the internal-failure
// exception and allocation failures into MemoryError; the body's failure value
// (nullptr, or -1 for the slots answering a number) is returned then. Every
// entry point that may allocate runs inside one: an exception that reached
// the interpreter's own frames would end the process.
template <class F>
auto guarded(ModuleState* st, F&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const Panic& p) {
    PyErr_SetString(st->internal_error, p.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(st->internal_error, e.what());
  }
  if constexpr (std::is_pointer_v<decltype(body())>) return nullptr;
  else return -1;
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

// Runs `work(cancel)` with the interpreter lock released and Ctrl-C polled
// through `cancel`; its answer, or none (the stopping exception raised) once stopped.
template <class F>
auto stoppable(F&& work) -> std::optional<decltype(work(std::declval<const Cancel&>()))> {
  Cancel cancel(signal_raised);
  std::optional<decltype(work(cancel))> out;
  without_gil([&] { out.emplace(work(cancel)); });
  if (!cancel.stopped()) return out;
  raise(cancelled());
  return std::nullopt;
}

// A new instance of a heap type made from its PyType_Spec, uninitialised past the header.
template <class T>
T* alloc_object(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return reinterpret_cast<T*>(alloc(type, 0));
}

}  // namespace zarel::py
