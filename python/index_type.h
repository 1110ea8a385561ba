// The Python `Index` class: a coverage index owned by its Python object, used
// by one writer or many readers at a time.
#pragma once

#include "index.h"
#include "lib.h"

namespace zarel::py {

struct IndexObject {
  PyObject_HEAD
  Index index;
  // -1 while a call holds the index exclusively, else the number of calls reading it.
  int64_t borrows;
};

extern PyType_Spec index_spec;

}  // namespace zarel::py
