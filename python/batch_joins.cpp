#include "batch_joins.h"

#include <tbb/enumerable_thread_specific.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "binder.h"
#include "base/limits.h"
#include "zone/disk.h"
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

namespace {

// Cells walked together by one KeyLocator::block call.
constexpr size_t kBlock = 64;

// The checked levels of the cids, or false with the lowest bad cid raised.
bool read_levels(const Hierarchy& h, const std::vector<uint64_t>& cids, uint64_t nthreads,
                 std::vector<uint8_t>& levels) {
  CidLevels levels_of(h);
  levels.resize(cids.size());
  return run_cells_polled(cids.size(), nthreads, [&](size_t i) -> Status {
    int level = levels_of.level(cids[i]);
    if (level < 0) return h.check(cids[i]).error();
    levels[i] = static_cast<uint8_t>(level);
    return ok();
  });
}

// The keys holding each cid, block by block: per cid its number of key
// places and its one tree (or none, or several).
bool locate_blocks(const KeyLocator& loc, const std::vector<uint64_t>& cids, const std::vector<uint8_t>& levels,
                   uint64_t nthreads, std::vector<uint64_t>& counts, std::vector<uint32_t>& tree) {
  size_t n = cids.size();
  counts.resize(n);
  tree.resize(n);
  tbb::enumerable_thread_specific<KeyLocator::Scratch> scratch;
  // Element i starts a block when it is a multiple of the block size; the
  // others belong to its block, whichever thread meets them.
  return run_cells_polled(n, nthreads, [&](size_t i) -> Status {
    if (i % kBlock == 0) {
      size_t m = std::min(kBlock, n - i);
      loc.block(cids.data() + i, levels.data() + i, m, scratch.local(), counts.data() + i, tree.data() + i);
    }
    return ok();
  });
}

}  // namespace

PyObject* tree_contains_cells(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_self(self);
  std::vector<uint64_t> cids;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "contains_cells", {{"cids", cids}, optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    size_t n = cids.size();
    if (!threads_ready(n, nthreads)) return nullptr;
    const Tree& t = reinterpret_cast<TreeObject*>(self)->tree;
    std::vector<uint8_t> levels;
    if (!read_levels(t.hierarchy, cids, nthreads, levels)) return nullptr;
    std::optional<KeyLocator> found;
    without_gil([&] { found.emplace(KeyLocator::make(t, directory_budget(n))); });
    std::vector<uint64_t> counts;
    std::vector<uint32_t> tree;
    if (!locate_blocks(*found, cids, levels, nthreads, counts, tree)) return nullptr;
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = counts[i] != 0;
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
    std::vector<uint8_t> levels;
    if (!read_levels(loc.hierarchy(), cids, nthreads, levels)) return nullptr;
    std::vector<uint64_t> counts;
    std::vector<uint32_t> tree;
    if (!locate_blocks(loc, cids, levels, nthreads, counts, tree)) return nullptr;
    std::vector<int64_t> offsets(n + 1, 0);
    uint64_t total = 0;
    for (size_t i = 0; i < n; ++i) {
      total += counts[i];
      if (total > kMaxGridCells)
        return raise(invalid("the hits would hold more than the maximum " + str(kMaxGridCells)));
      offsets[i + 1] = static_cast<int64_t>(total);
    }
    std::vector<int64_t> hits(total);
    if (!run_cells_polled(n, nthreads, [&](size_t i) -> Status {
          int64_t* out = hits.data() + offsets[i];
          if (tree[i] == KeyLocator::kTrees) loc.fill(cids[i], levels[i], out);
          else if (tree[i] != KeyLocator::kNoTree) std::copy(loc.keys_of(tree[i]).begin(), loc.keys_of(tree[i]).end(), out);
          return ok();
        }))
      return nullptr;
    return array_pair(st, std::move(hits), std::move(offsets));
  });
}

}  // namespace zarel::py
