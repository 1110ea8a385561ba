#include "tree_bytes.h"

#include <optional>

#include "binder.h"
#include "exchange/tree_bytes.h"
#include "tree_type.h"

namespace zarel::py {

bool convert(ModuleState*, PyObject* o, const char* name, BytesLike& out) {
  if (PyObject_GetBuffer(o, &out.view, PyBUF_C_CONTIGUOUS) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%s'", type_name(o).c_str());
    return add_note(name);
  }
  out.held = true;
  return true;
}

PyObject* bytes_of(const std::vector<uint8_t>& data) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size()));
}

const char to_bytes_doc[] =
    "to_bytes($self)\n--\n\n"
    "The tree's compact binary form: its profile, depth and shape (docs/tree-format.md).\n"
    "`Tree.from_bytes` reads it back; equal trees give equal bytes.";

PyObject* tree_to_bytes(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&] {
    const auto& t = *reinterpret_cast<TreeObject*>(self);
    return bytes_of(zarel::tree_to_bytes(t.tree, t.profile));
  });
}

const char from_bytes_doc[] =
    "from_bytes(data)\n--\n\n"
    "The tree whose `to_bytes()` is `data` (any bytes-like object), with its profile. Safe for untrusted\n"
    "input: a damaged or non-canonical form raises ValueError naming the offset of the bad byte, and the\n"
    "root is recomputed from the cells.";

PyObject* tree_from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  BytesLike data;
  return call(st, args, kwargs, "from_bytes", {{"data", data}}, [&]() -> PyObject* {
    auto read = stoppable([&](const Cancel& cancel) { return zarel::tree_from_bytes(data.bytes(), cancel); });
    if (!read) return nullptr;
    if (!*read) return raise(read->error());
    return new_tree(st, std::move((*read)->tree), (*read)->profile);
  });
}

}  // namespace zarel::py
