// The Python `Index` class: a coverage index owned by its Python object, used
// by one writer or many readers at a time.
#pragma once

#include <optional>

#include "tree/index.h"
#include "module.h"

namespace zarel::py {

struct IndexObject {
  PyObject_HEAD
  Index index;
  // The profile of the first tree registered, which fixed the index's hierarchy,
  // depth and hash: the stored trees are handed back out with it.
  std::optional<Profile> profile;
  // -1 while a call holds the index exclusively, else the number of calls reading it.
  int64_t borrows;
};

extern PyType_Spec index_spec;

}  // namespace zarel::py
