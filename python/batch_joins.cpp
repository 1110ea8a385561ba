#include "batch_joins.h"

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "binder.h"
#include "disk.h"
#include "tree/joins.h"
#include "tree_type.h"

namespace zarel::py {

namespace {

std::string str(uint64_t v) { return std::to_string(v); }

// The directory a locate call builds: a few entries per cid asked, within
// 32 MiB, so a small call never pays for a large one.
uint64_t directory_budget(size_t n) { return std::clamp<uint64_t>(4 * uint64_t{n}, 4096, uint64_t{1} << 21); }

}  // namespace

bool threads_ready(size_t n, uint64_t nthreads) {
  if (builds_pool(n, nthreads) && nthreads > kMaxThreads) {
    nthreads_too_many(nthreads);
    return false;
  }
  return true;
}

const char contains_cells_doc[] =
    "contains_cells($self, cids, nthreads=0)\n--\n\n"
    "Whether the tree holds each cid, as a NumPy bool array: `in` over many cells at once. A cell\n"
    "finer than `depth` is held when it lies inside the coverage; one at or above `depth` when it is\n"
    "wholly covered, as `covers` answers. `cids` is any iterable of cids (a uint64 array is read in\n"
    "one step); a cid that is not one fails with its index named.";

PyObject* tree_contains_cells(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_self(self);
  std::vector<uint64_t> cids;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "contains_cells", {{"cids", cids}, optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!threads_ready(cids.size(), nthreads)) return nullptr;
    const Tree& t = reinterpret_cast<TreeObject*>(self)->tree;
    std::vector<uint8_t> out(cids.size());
    if (!run_batch(cids.size(), nthreads, [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t level, t.hierarchy.check(cids[i]));
          out[i] = holds(t, cids[i], level);
          return ok();
        }))
      return nullptr;
    return to_ndarray(st, std::move(out), "bool");
  });
}

const char locate_doc[] =
    "locate($self, cids, nthreads=0)\n--\n\n"
    "Which keys hold each cid, as a ragged pair `(hits, offsets)` of int64 arrays: the keys holding\n"
    "cid i are at the places `hits[offsets[i]:offsets[i + 1]]` of `keys()`, ascending. A cell\n"
    "finer than the trees' depth is held where it lies inside a coverage; one at or above it where\n"
    "it is wholly covered, as `Tree.covers` answers. `cids` is any iterable of cids (a uint64 array\n"
    "is read in one step); a cid that is not one fails with its index named. At most 2**27 hits.";

PyObject* index_locate(ModuleState* st, const Index& index, PyObject* args, PyObject* kwargs) {
  std::vector<uint64_t> cids;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "locate", {{"cids", cids}, optional("nthreads", nthreads)}, [&]() -> PyObject* {
    size_t n = cids.size();
    if (!threads_ready(n, nthreads)) return nullptr;
    std::optional<KeyLocator> found;
    without_gil([&] { found.emplace(KeyLocator::make(index, directory_budget(n))); });
    const KeyLocator& loc = *found;
    const Hierarchy& h = loc.hierarchy();
    // Every cid is checked, also once the total has passed the bound, so the
    // failure reported is the lowest bad cid whatever the threads' timing.
    std::vector<int64_t> offsets(n + 1, 0);
    std::vector<uint8_t> levels(n);
    std::atomic<uint64_t> total{0};
    if (!run_batch(n, nthreads, [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t level, h.check(cids[i]));
          levels[i] = static_cast<uint8_t>(level);
          if (total.load(std::memory_order_relaxed) > kMaxGridCells) return ok();
          uint64_t count = loc.count(cids[i], level);
          offsets[i + 1] = static_cast<int64_t>(count);
          total.fetch_add(count, std::memory_order_relaxed);
          return ok();
        }))
      return nullptr;
    if (total.load() > kMaxGridCells)
      return raise(invalid("the hits would hold more than the maximum " + str(kMaxGridCells)));
    for (size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
    std::vector<int64_t> hits(static_cast<size_t>(offsets[n]));
    if (!run_batch(n, nthreads, [&](size_t i) -> Status {
          if (offsets[i + 1] > offsets[i]) loc.fill(cids[i], levels[i], hits.data() + offsets[i]);
          return ok();
        }))
      return nullptr;
    PyObject* a = to_ndarray(st, std::move(hits));
    PyObject* b = a ? to_ndarray(st, std::move(offsets)) : nullptr;
    PyObject* pair = b ? PyTuple_Pack(2, a, b) : nullptr;
    Py_XDECREF(a);
    Py_XDECREF(b);
    return pair;
  });
}

}  // namespace zarel::py
