#include "batch_cells.h"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "arrays.h"
#include "binder.h"
#include "parallel/pool.h"
#include "zone/disk.h"
#include "zone/zone.h"

namespace zarel::py {

namespace {

std::string str(uint64_t v) { return std::to_string(v); }

// Turns counts (offsets[i + 1]) into offsets; false when the total passes kMaxGridCells.
bool accumulate(std::vector<int64_t>& offsets) {
  for (size_t i = 1; i < offsets.size(); ++i) {
    offsets[i] += offsets[i - 1];
    if (static_cast<uint64_t>(offsets[i]) > kMaxGridCells) return false;
  }
  return true;
}

// Binds (cids, level, profile=None, nthreads=0), refuses a level past the
// deepest and a batch not ready, then answers body(st, hierarchy, cids, n, level, nthreads).
template <class Body>
PyObject* call_at_level(PyObject* module, PyObject* args, PyObject* kwargs, const char* function, Body body) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  uint32_t level;
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, function,
              {{"cids", cids}, {"level", level}, optional("profile", profile), optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    Hierarchy h = profile.hierarchy();
    if (level > h.deepest())
      return raise(invalid("level " + str(level) + " is deeper than the deepest level, " + str(h.deepest())));
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    return body(st, h, cids.data<uint64_t>(), cids.size(), level, nthreads);
  });
}

// A suid of `width` code points, trailing NULs dropped as NumPy drops them.
// Code points past ASCII are written as UTF-8, so the suid reader names their
// first byte; only such suids, and ones too long to be valid, leave the stack.
Result<uint64_t> read_suid(const uint32_t* points, size_t width) {
  while (width > 0 && points[width - 1] == 0) --width;
  char buf[32];
  if (width <= sizeof buf && std::all_of(points, points + width, [](uint32_t c) { return c < 0x80; })) {
    std::copy(points, points + width, buf);
    return suid_to_cid(std::string_view(buf, width));
  }
  std::string s;
  for (size_t i = 0; i < width; ++i) {
    uint32_t c = points[i];
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return suid_to_cid(s);
}

}  // namespace

// ------------------------------------------------------------ suids

const char cids_to_suids_doc[] =
    "_cids_to_suids(cids, nthreads=0)\n--\n\n"
    "The suid of each cid (rHEALPix digits), as a NumPy array of `str`.";

PyObject* fn_cids_to_suids(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_cids_to_suids", {{"cids", cids}, optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!cid_batch_ready(Profile::ogc(), cids, nthreads)) return nullptr;
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    std::vector<uint8_t> levels(n);
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t level, kRhealpix.check(c[i]));
          levels[i] = static_cast<uint8_t>(level);
          return ok();
        }))
      return nullptr;
    // One fixed width for all, the longest suid's: NumPy's own layout of a str array.
    size_t width = 1 + (n ? *std::max_element(levels.begin(), levels.end()) : 0);
    Unfilled<uint32_t> points(n * width);
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          uint64_t cid = c[i];
          uint32_t* at = &points[i * width];
          std::fill(at + levels[i] + 1, at + width, 0);
          for (uint32_t k = levels[i]; k > 0; --k, cid /= 9) at[k] = '0' + static_cast<uint32_t>(cid % 9);
          at[0] = static_cast<uint32_t>(kSuidLetters[cid - 9]);
          return ok();
        }))
      return nullptr;
    std::string dtype = "<U" + str(width);
    return to_ndarray(st, std::move(points), dtype.c_str());
  });
}

const char suids_to_cids_doc[] =
    "_suids_to_cids(suids, nthreads=0)\n--\n\n"
    "The cid of each suid in a NumPy array of `str`, as `uint64`.";

PyObject* fn_suids_to_cids(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg suids("U");
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_suids_to_cids", {{"suids", suids}, optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!cid_batch_ready(Profile::ogc(), suids, nthreads)) return nullptr;
    const uint32_t* points = suids.data<uint32_t>();
    size_t n = suids.size(), width = suids.itemsize() / 4;
    std::vector<uint64_t> out(n);
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(out[i], read_suid(points + i * width, width));
          return ok();
        }))
      return nullptr;
    return to_ndarray(st, std::move(out));
  });
}

// ------------------------------------------------------------ hierarchy

const char cell_levels_doc[] =
    "_cell_levels(cids, profile=None, nthreads=0)\n--\n\nThe level of each cell, as `uint8`.";

PyObject* fn_cell_levels(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_cell_levels",
              {{"cids", cids}, optional("profile", profile), optional("nthreads", nthreads)}, [&]() -> PyObject* {
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    Hierarchy h = profile.hierarchy();
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    // A level never passes 62 (two digits of a >= 2 and the rest in 64 bits).
    std::vector<uint8_t> out(n);
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t level, h.check(c[i]));
          out[i] = static_cast<uint8_t>(level);
          return ok();
        }))
      return nullptr;
    return to_ndarray(st, std::move(out));
  });
}

const char cell_parents_doc[] =
    "_cell_parents(cids, level, profile=None, nthreads=0)\n--\n\n"
    "The ancestor at `level` of each cell (the cell itself at its own level), as `uint64`.";

PyObject* fn_cell_parents(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_at_level(module, args, kwargs, "_cell_parents",
                       [](ModuleState* st, const Hierarchy& h, const uint64_t* c, size_t n, uint32_t level,
                          uint64_t nthreads) -> PyObject* {
    std::vector<uint64_t> out(n);
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t own, h.check(c[i]));
          if (own < level)
            return invalid("cid " + str(c[i]) + " is at level " + str(own) + ", coarser than " + str(level));
          out[i] = c[i] / pow_u64(h.a, own - level);
          return ok();
        }))
      return nullptr;
    return to_ndarray(st, std::move(out));
  });
}

const char cell_children_doc[] =
    "_cell_children(cids, level, profile=None, nthreads=0)\n--\n\n"
    "The descendants at `level` of each cell, ascending, as `(cells, offsets)`: cell i's are\n"
    "`cells[offsets[i]:offsets[i + 1]]`. At most 2**27 cells in all.";

PyObject* fn_cell_children(PyObject* module, PyObject* args, PyObject* kwargs) {
  return call_at_level(module, args, kwargs, "_cell_children",
                       [](ModuleState* st, const Hierarchy& h, const uint64_t* c, size_t n, uint32_t level,
                          uint64_t nthreads) -> PyObject* {
    std::vector<int64_t> offsets(n + 1, 0);
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t own, h.check(c[i]));
          if (own > level)
            return invalid("cid " + str(c[i]) + " is at level " + str(own) + ", finer than " + str(level));
          // Clamped, so that the running total cannot wrap before it is checked.
          offsets[i + 1] = static_cast<int64_t>(std::min(pow_u64(h.a, level - own), kMaxGridCells + 1));
          return ok();
        }))
      return nullptr;
    if (!accumulate(offsets))
      return raise(invalid("the children would hold more than the maximum " + str(kMaxGridCells) + " cells"));
    Unfilled<uint64_t> cells(static_cast<size_t>(offsets[n]));
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          uint64_t first = c[i] * static_cast<uint64_t>(offsets[i + 1] - offsets[i]);
          for (int64_t j = offsets[i]; j < offsets[i + 1]; ++j) cells[static_cast<size_t>(j)] = first++;
          return ok();
        }))
      return nullptr;
    return array_pair(st, std::move(cells), std::move(offsets));
  });
}

// ------------------------------------------------------------ disks

const char grid_disk_doc[] =
    "_grid_disk(cids, k, profile=None, nthreads=0)\n--\n\n"
    "Every cell within `k` edge steps of each cell (itself included), across the folded base-cell\n"
    "edges, ascending, as `(cells, offsets)`: cell i's disk is `cells[offsets[i]:offsets[i + 1]]`.\n"
    "At most 2**27 cells in all; a disk that could hold more (2k(k+1)+1 cells, or the whole level\n"
    "when fewer) is refused before its walk.";

PyObject* fn_grid_disk(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  uint32_t k;
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_grid_disk",
              {{"cids", cids}, {"k", k}, optional("profile", profile), optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    auto made = Disks::make(profile, k);
    if (!made) return raise(made.error());
    Hierarchy h = profile.hierarchy();
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    // Every cid is checked, also once the running total has passed the bound
    // and the walks have stopped, so the failure reported is the lowest bad
    // cid whatever the disks' sizes and the threads' timing.
    tbb::enumerable_thread_specific<Disks> disks(*made);
    std::vector<int64_t> offsets(n + 1, 0);
    std::vector<uint8_t> levels(n);
    std::atomic<uint64_t> total{0};
    Cancel cancel(signal_raised);
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(uint32_t level, h.check(c[i]));
          levels[i] = static_cast<uint8_t>(level);
          if (total.load(std::memory_order_relaxed) > kMaxGridCells) return ok();
          uint64_t count = disks.local().count(c[i], level, kMaxGridCells, cancel);
          offsets[i + 1] = static_cast<int64_t>(count);
          total.fetch_add(count, std::memory_order_relaxed);
          return ok();
        }, &cancel))
      return nullptr;
    if (total.load() > kMaxGridCells || !accumulate(offsets))
      return raise(invalid("the disks would hold more than the maximum " + str(kMaxGridCells) + " cells"));
    Unfilled<uint64_t> cells(static_cast<size_t>(offsets[n]));
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          disks.local().fill(c[i], levels[i], cells.data() + offsets[i], cancel);
          return ok();
        }, &cancel))
      return nullptr;
    return array_pair(st, std::move(cells), std::move(offsets));
  });
}

}  // namespace zarel::py
