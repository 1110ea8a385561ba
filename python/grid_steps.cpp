#include "grid_steps.h"

#include <tbb/enumerable_thread_specific.h>

#include <atomic>
#include <string>
#include <vector>

#include "arrays.h"
#include "batch_joins.h"
#include "binder.h"
#include "base/limits.h"
#include "zone/disk.h"
#include "tree/joins.h"
#include "zone/distance.h"

namespace zarel::py {

namespace {

std::string str(uint64_t v) { return std::to_string(v); }

}  // namespace

const char grid_ring_doc[] =
    "_grid_ring(cids, k, profile=None, nthreads=0)\n--\n\n"
    "Every cell at exactly `k` edge steps from each cell, across the folded base-cell edges,\n"
    "ascending, as `(cells, offsets)`: cell i's ring is `cells[offsets[i]:offsets[i + 1]]`.\n"
    "At most 2**27 cells in all, and as many passed on the walks near base-cell edges.";

PyObject* fn_grid_ring(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  uint32_t k;
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_grid_ring",
              {{"cids", cids}, {"k", k}, optional("profile", profile), optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    auto made = Disks::make(profile, k, true);
    if (!made) return raise(made.error());
    Hierarchy h = profile.hierarchy();
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    tbb::enumerable_thread_specific<Disks> rings(*made);
    std::vector<int64_t> offsets(n + 1, 0);
    std::vector<uint8_t> levels(n);
    std::atomic<uint64_t> total{0};
    if (!run_cells_polled(n, nthreads, [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t level, h.check(c[i]));
          levels[i] = static_cast<uint8_t>(level);
          if (total.load(std::memory_order_relaxed) > kMaxGridCells) return ok();
          uint64_t count = rings.local().count(c[i], level, kMaxGridCells);
          offsets[i + 1] = static_cast<int64_t>(count);
          total.fetch_add(count, std::memory_order_relaxed);
          return ok();
        }))
      return nullptr;
    if (total.load() > kMaxGridCells)
      return raise(invalid("the rings would hold (or their walks pass) more than the maximum " + str(kMaxGridCells) +
                           " cells"));
    for (size_t i = 0; i < n; ++i) offsets[i + 1] += offsets[i];
    std::vector<uint64_t> cells(static_cast<size_t>(offsets[n]));
    if (!run_cells_polled(n, nthreads, [&](size_t i) -> Status {
          rings.local().fill(c[i], levels[i], cells.data() + offsets[i]);
          return ok();
        }))
      return nullptr;
    return array_pair(st, std::move(cells), std::move(offsets));
  });
}

const char grid_distance_doc[] =
    "_grid_distance(a, b, profile=None, nthreads=0)\n--\n\n"
    "The fewest edge steps from `a[i]` to `b[i]`, across the folded base-cell edges, as int64.\n"
    "Both cells of a pair must be at one level; a pair at two levels fails with its index named.";

PyObject* fn_grid_distance(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg a("uint64"), b("uint64");
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_grid_distance",
              {{"a", a}, {"b", b}, optional("profile", profile), optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!cid_batch_ready(profile, a, nthreads) || !cid_batch_ready(profile, b, nthreads)) return nullptr;
    size_t n = a.size();
    if (b.size() != n) return raise(invalid(str(n) + " cells in a but " + str(b.size()) + " in b"));
    Hierarchy h = profile.hierarchy();
    const uint64_t *x = a.data<uint64_t>(), *y = b.data<uint64_t>();
    std::vector<uint8_t> levels(n);
    std::atomic<uint64_t> seen{0};  // a bit per level met
    if (!run_cells_polled(n, nthreads, [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t la, h.check(x[i]));
          ZAREL_TRY(uint32_t lb, h.check(y[i]));
          if (la != lb)
            return invalid("cids " + str(x[i]) + " and " + str(y[i]) + " are at levels " + str(la) + " and " +
                           str(lb) + "; a distance joins cells of one level");
          levels[i] = static_cast<uint8_t>(la);
          seen.fetch_or(uint64_t{1} << la, std::memory_order_relaxed);
          return ok();
        }))
      return nullptr;
    std::optional<Result<Distances>> made;
    without_gil([&] { made.emplace(Distances::make(profile, seen.load())); });
    if (!*made) return raise(made->error());
    const Distances& d = **made;
    std::vector<int64_t> out(n);
    if (!run_cells_polled(n, nthreads, [&](size_t i) -> Status {
          out[i] = static_cast<int64_t>(d.between(x[i], y[i], levels[i]));
          return ok();
        }))
      return nullptr;
    return to_ndarray(st, std::move(out));
  });
}

const char cells_valid_doc[] =
    "_cells_valid(cids, profile=None, nthreads=0)\n--\n\n"
    "Whether each value is a cid of the profile's hierarchy, as a NumPy bool array.";

PyObject* fn_cells_valid(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_cells_valid", {{"cids", cids}, optional("profile", profile), optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    // Levels by comparisons alone, so that a batch of bad values allocates no messages.
    CidLevels levels(profile.hierarchy());
    const uint64_t* c = cids.data<uint64_t>();
    std::vector<uint8_t> out(cids.size());
    if (!run_cells_polled(cids.size(), nthreads, [&](size_t i) -> Status {
          out[i] = levels.level(c[i]) >= 0;
          return ok();
        }))
      return nullptr;
    return to_ndarray(st, std::move(out), "bool");
  });
}

}  // namespace zarel::py
