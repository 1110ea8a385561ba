#include "binder.h"

#include <string>

namespace zarel::py {

namespace {

constexpr size_t kMaxParams = 12;

}  // namespace

bool bind_arguments(ModuleState* st, PyObject* args, PyObject* kwargs, const char* function,
                    std::initializer_list<Param> params) {
  ZAREL_ASSERT(params.size() <= kMaxParams);
  // The interpreter's own parser does the binding, so its TypeErrors are the
  // ones every Python function raises; the format is "OO|O:name".
  std::string format;
  const char* names[kMaxParams + 1] = {};
  bool optional_seen = false, keyword_seen = false;
  size_t i = 0;
  for (const Param& p : params) {
    ZAREL_ASSERT(!(optional_seen && p.required()) && !(keyword_seen && !p.keyword_only()));
    if (!p.required() && !optional_seen) {
      format += '|';
      optional_seen = true;
    }
    if (p.keyword_only() && !keyword_seen) {
      format += '$';
      keyword_seen = true;
    }
    format += 'O';
    names[i++] = p.name();
  }
  format += ':';
  format += function;
  PyObject* o[kMaxParams] = {};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(names), &o[0], &o[1], &o[2],
                                   &o[3], &o[4], &o[5], &o[6], &o[7], &o[8], &o[9], &o[10], &o[11]))
    return false;
  i = 0;
  for (const Param& p : params) {
    if (o[i] && !p.bind(st, o[i])) return false;
    ++i;
  }
  return true;
}

PyMethodDef def(const char* name, PyCFunctionWithKeywords fn, const char* doc, int flags) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn)), METH_VARARGS | METH_KEYWORDS | flags,
          doc};
}

PyMethodDef def(const char* name, PyCFunction fn, const char* doc, int flags) {
  return {name, fn, METH_NOARGS | flags, doc};
}

}  // namespace zarel::py
