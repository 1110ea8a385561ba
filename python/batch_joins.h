// Point-in-area joins over cell arrays: Tree.contains_cells and Index.locate,
// run without the interpreter lock on the pool for large inputs.
#pragma once

#include <optional>

#include "arrays.h"
#include "tree/index.h"
#include "module.h"
#include "parallel/pool.h"

namespace zarel::py {

// run_each over the cells of a batch, stopping on Ctrl-C: false with the
// exception set when the pool cannot be built, the call is interrupted or an
// element fails, the lowest failing element named as "cell {i}: {error}".
template <class F>
bool run_cells_polled(size_t n, uint64_t nthreads, F&& element) {
  Cancel cancel(signal_raised);
  return run_batch(
      nthreads, "cell",
      [&](Runner& run) {
        return run(0, n, [&](size_t i) -> Status {
          if (i % 4096 == 0 && cancel.stop()) return cancelled();
          return element(i);
        });
      },
      &cancel);
}

// False with the exception set when `nthreads` is beyond a private pool's bound.
bool threads_ready(size_t n, uint64_t nthreads);

extern const char contains_cells_doc[];
PyObject* tree_contains_cells(PyObject* self, PyObject* args, PyObject* kwargs);

extern const char locate_doc[];
// Index.locate's body, run while the caller holds the index for reading.
PyObject* index_locate(ModuleState* st, const Index& index, PyObject* args, PyObject* kwargs);

}  // namespace zarel::py
