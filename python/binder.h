// The binder: how every exported function and method takes its arguments.
// A binding names its parameters, each bound to a local that receives the
// converted argument, and then calls into the core:
//
//   // cell_functions.h: the entry point and its docstring, for the table in module.cpp
//   PyObject* fn_cell_at(PyObject* module, PyObject* args, PyObject* kwargs);
//   extern const char cell_at_doc[];
//
//   // cell_functions.cpp
//   const char cell_at_doc[] =
//       "cell_at(base, level, row, col, profile=None)\n--\n\nThe cid at `(row, col)` ...";
//   PyObject* fn_cell_at(PyObject* module, PyObject* args, PyObject* kwargs) {
//     uint32_t base, level;
//     uint64_t row, col;
//     Profile profile;  // an omitted optional argument leaves its local as initialised
//     return call(state_of_module(module), args, kwargs, "cell_at",
//                 {{"base", base}, {"level", level}, {"row", row}, {"col", col}, optional("profile", profile)},
//                 [&] { return answer(cell_at(profile.hierarchy(), base, level, row, col)); });
//   }
//
//   // module.cpp, module_functions[], at its place in the registration order
//   def("cell_at", fn_cell_at, cell_at_doc),
//
// A method is the same with `state_of_self(self)` (or `state_of_class(cls)`
// for a class method) and a `def(...)` line in its type's method table; give
// METH_CLASS as def's last argument for a class method. Methods without
// parameters take `(PyObject* self, PyObject*)` and `def` registers them as
// METH_NOARGS. The local's C++ type picks the converter (convert.h): add a
// `convert` overload to accept a new kind of argument.
//
// `call` binds positional and keyword arguments by name (the interpreter's own
// TypeErrors for a missing, unexpected or doubled argument), converts them in
// parameter order, stopping at the first failure, and runs the body inside
// `guarded`, so core panics and allocation failures become exceptions. A JSON
// document argument is released (release_json) before the call returns, so
// its local dies without allocating however large it was.
#pragma once

#include <initializer_list>
#include <type_traits>

#include "convert.h"

namespace zarel::py {

class Param {
 public:
  template <class T>
  Param(const char* name, T& out, bool required = true, bool keyword_only = false)
      : name_(name), out_(&out), required_(required), keyword_only_(keyword_only), convert_([](ModuleState* st, PyObject* o, const char* n, void* p) {
          return convert(st, o, n, *static_cast<T*>(p));
        }) {
    if constexpr (std::is_same_v<T, Json>) release_ = [](void* p) noexcept { release_json(*static_cast<Json*>(p)); };
  }

  const char* name() const { return name_; }
  bool required() const { return required_; }
  bool keyword_only() const { return keyword_only_; }
  bool bind(ModuleState* st, PyObject* o) const { return convert_(st, o, name_, out_); }
  void release() const noexcept {
    if (release_) release_(out_);
  }

 private:
  const char* name_;
  void* out_;
  bool required_;
  bool keyword_only_;
  bool (*convert_)(ModuleState*, PyObject*, const char*, void*);
  void (*release_)(void*) noexcept = nullptr;
};

// A parameter that may be omitted; its local keeps its initial value then.
template <class T>
Param optional(const char* name, T& out) {
  return Param(name, out, false);
}

// An optional parameter that can only be given by keyword; keyword-only
// parameters come last.
template <class T>
Param keyword_only(const char* name, T& out) {
  return Param(name, out, false, true);
}

// Binds and converts `args` and `kwargs` into the parameters' locals; false
// with the exception set. Required parameters come first; at most 12.
bool bind_arguments(ModuleState* st, PyObject* args, PyObject* kwargs, const char* function,
                    std::initializer_list<Param> params);

template <class Body>
PyObject* call(ModuleState* st, PyObject* args, PyObject* kwargs, const char* function,
               std::initializer_list<Param> params, Body&& body) {
  PyObject* result = guarded(st, [&]() -> PyObject* {
    if (!bind_arguments(st, args, kwargs, function, params)) return nullptr;
    return body();
  });
  for (const Param& p : params) p.release();
  return result;
}

// Results that map onto one Python value: the value, or the core error raised.
inline PyObject* to_python(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* to_python(bool v) { return PyBool_FromLong(v); }
inline PyObject* to_python(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_python(const std::string& v) { return str_of(v); }
inline PyObject* to_python(const std::vector<uint64_t>& v) { return list_of_u64(v); }

template <class T>
PyObject* answer(const Result<T>& r) {
  if (!r) return raise(r.error());
  return to_python(*r);
}

// Method-table entries: with parameters (bound by `call`) or without.
PyMethodDef def(const char* name, PyCFunctionWithKeywords fn, const char* doc, int flags = 0);
PyMethodDef def(const char* name, PyCFunction fn, const char* doc, int flags = 0);
constexpr PyMethodDef kEndOfTable = {nullptr, nullptr, 0, nullptr};

}  // namespace zarel::py
