#include "vector.h"

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "arrays.h"
#include "binder.h"
#include "geo/grid.h"
#include "polygon_fns.h"
#include "parallel/pool.h"
#include "tree_type.h"
#include "zone/zone.h"

namespace zarel::py {

namespace {

// Polygons longer than this per edge are no display polygon; the bound keeps
// one cell's ring, and so the whole result, from growing without limit.
constexpr uint64_t kMaxEdgePoints = 65536;
// Total boundary points of one call: 16 GiB of coordinates.
constexpr uint64_t kMaxBoundaryPoints = uint64_t{1} << 30;

}  // namespace

// ------------------------------------------------------------ the four functions

const char cells_from_lonlat_doc[] =
    "_cells_from_lonlat(lon, lat, level, profile=None, nthreads=0)\n--\n\n"
    "The cell at `level` containing each `(lon[i], lat[i])`, degrees.";

PyObject* fn_cells_from_lonlat(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg lon("float64"), lat("float64");
  uint32_t level;
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_cells_from_lonlat",
              {{"lon", lon}, {"lat", lat}, {"level", level}, optional("profile", profile),
               optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (level > 15) return raise(invalid("level " + std::to_string(level) + " is above the maximum 15"));
    // Points find their cells among the six rHEALPix squares; any other layout would
    // name cells of a grid that was never drawn.
    if (auto s = profile.geometry(); !s) return raise(s.error());
    if (!lon.flat() || !lat.flat()) return not_contiguous();
    if (lon.size() != lat.size())
      return raise(invalid(std::to_string(lon.size()) + " longitudes but " + std::to_string(lat.size()) +
                           " latitudes"));
    if (builds_pool(lon.size(), nthreads) && nthreads > kMaxThreads) return nthreads_too_many(nthreads);
    geo::Grid grid = profile.grid();
    Hierarchy h = profile.hierarchy();
    const double* x = lon.data<double>();
    const double* y = lat.data<double>();
    size_t n = lon.size();
    std::vector<uint64_t> out(n);
    // The whole element, lookup then cid with every check, and its error.
    auto element = [&](size_t i) -> Status {
      auto cell = geo::cell_from_lonlat(grid, level, x[i], y[i]);
      if (!cell)
        return invalid("point " + std::to_string(i) + " (" + shortest(x[i]) + ", " + shortest(y[i]) +
                       ") is not on the grid");
      ZAREL_TRY(out[i], cell_at(h, cell->base, level, cell->row, cell->col));
      return ok();
    };
    // cell_at's checks that hold for every point are made once; the lookup keeps
    // row and column inside the base cell, so only the base is left per point.
    auto s = side(h);
    bool checked = s.ok() && *s == grid.side && level <= h.deepest() && span(h, level).ok();
    std::optional<ElementFailure> bad;
    Runner run{nthreads, {}};
    without_gil([&] {
      bad = run(0, n, [&](size_t i) -> Status {
        if (checked) {
          auto cell = geo::cell_from_lonlat(grid, level, x[i], y[i]);
          if (cell && cell->base < h.b) {
            out[i] = cell_at_unchecked(h, *s, cell->base, level, cell->row, cell->col);
            return ok();
          }
        }
        return element(i);
      });
    });
    if (!run.failure.empty()) return raise(invalid(run.failure));
    if (bad) return raise(bad->error);
    return to_ndarray(st, std::move(out));
  });
}

const char cells_to_lonlat_doc[] =
    "_cells_to_lonlat(cids, profile=None, nthreads=0)\n--\n\nThe nucleus of each cell, `(lon, lat)` degrees.";

PyObject* fn_cells_to_lonlat(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_cells_to_lonlat",
              {{"cids", cids}, optional("profile", profile), optional("nthreads", nthreads)}, [&]() -> PyObject* {
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    geo::Grid grid = profile.grid();
    Hierarchy h = profile.hierarchy();
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    std::vector<double> lon(n), lat(n);
    geo::CidNuclei nuclei(grid, h);
    std::optional<ElementFailure> bad;
    Runner run{nthreads, {}};
    without_gil([&] {
      bad = run(0, n, [&](size_t i) -> Status {
        ZAREL_TRY(geo::LonLat p, nuclei(c[i]));
        lon[i] = p.lon;
        lat[i] = p.lat;
        return ok();
      });
    });
    if (!run.failure.empty()) return raise(invalid(run.failure));
    if (bad) return element_error(*bad);
    PyObject* a = to_ndarray(st, std::move(lon));
    PyObject* b = a ? to_ndarray(st, std::move(lat)) : nullptr;
    PyObject* pair = b ? PyTuple_Pack(2, a, b) : nullptr;
    Py_XDECREF(a);
    Py_XDECREF(b);
    return pair;
  });
}

const char cell_boundaries_doc[] =
    "_cell_boundaries(cids, n=5, profile=None, nthreads=0)\n--\n\n"
    "Each cell's display polygon (`n` points per polar edge) as `(coords, offsets)`: cell i is\n"
    "`coords[offsets[i]:offsets[i + 1]]`, `(lon, lat)` degrees.";

PyObject* fn_cell_boundaries(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  uint64_t per_edge = 5;
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_cell_boundaries",
              {{"cids", cids}, optional("n", per_edge), optional("profile", profile), optional("nthreads", nthreads)},
              [&]() -> PyObject* {
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    if (per_edge > kMaxEdgePoints)
      return raise(invalid("n " + std::to_string(per_edge) + " is above the maximum " +
                           std::to_string(kMaxEdgePoints) + " points per edge"));
    geo::Grid grid = profile.grid();
    Hierarchy h = profile.hierarchy();
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    auto m = static_cast<uint32_t>(per_edge);
    // The polygon's length follows from the cell alone, so the offsets come
    // first and every worker then writes its cells in place.
    std::vector<int64_t> offsets(n + 1, 0);
    std::vector<double> coords;
    std::optional<ElementFailure> bad_path, bad;
    uint64_t total = 0;
    Runner run{nthreads, {}};
    without_gil([&] {
      bad_path = run(0, n, [&](size_t i) -> Status {
        ZAREL_TRY(auto path, h.path(c[i]));
        offsets[i + 1] = static_cast<int64_t>(geo::polygon_size(grid, path, m));
        return ok();
      });
      // Every length below the first bad path is known; the polygons there may
      // still hold an earlier failure.
      size_t good = bad_path ? bad_path->index : n;
      for (size_t i = 0; i < good; ++i) offsets[i + 1] += offsets[i];
      total = static_cast<uint64_t>(offsets[good]);
      if (total > kMaxBoundaryPoints) return;
      coords.resize(2 * total);
      bad = run(0, good, [&](size_t i) -> Status {
        ZAREL_TRY(auto poly, geo::cell_polygon(grid, *h.path(c[i]), m));
        ZAREL_ASSERT(static_cast<int64_t>(poly.size()) == offsets[i + 1] - offsets[i]);
        double* at = coords.data() + 2 * offsets[i];
        for (const geo::LonLat& p : poly) {
          *at++ = p.lon;
          *at++ = p.lat;
        }
        return ok();
      });
    });
    if (!run.failure.empty()) return raise(invalid(run.failure));
    if (bad) return element_error(*bad);
    if (bad_path) return element_error(*bad_path);
    if (total > kMaxBoundaryPoints)
      return raise(invalid("the boundaries would hold " + std::to_string(total) + " points, above the maximum " +
                           std::to_string(kMaxBoundaryPoints)));
    PyObject* a = reshaped(to_ndarray(st, std::move(coords)), static_cast<Py_ssize_t>(total), 2);
    PyObject* b = a ? to_ndarray(st, std::move(offsets)) : nullptr;
    PyObject* pair = b ? PyTuple_Pack(2, a, b) : nullptr;
    Py_XDECREF(a);
    Py_XDECREF(b);
    return pair;
  });
}

const char cell_neighbours_doc[] =
    "_cell_neighbours(cids, profile=None, nthreads=0)\n--\n\n"
    "The four edge neighbours of each cell, columns up, right, down, left.";

PyObject* fn_cell_neighbours(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg cids("uint64");
  Profile profile;
  uint64_t nthreads = 0;
  return call(st, args, kwargs, "_cell_neighbours",
              {{"cids", cids}, optional("profile", profile), optional("nthreads", nthreads)}, [&]() -> PyObject* {
    if (!cid_batch_ready(profile, cids, nthreads)) return nullptr;
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    std::vector<uint64_t> out(4 * n);
    std::optional<ElementFailure> bad;
    Runner run{nthreads, {}};
    without_gil([&] {
      bad = run(0, n, [&](size_t i) -> Status {
        ZAREL_TRY(auto nb, neighbours(profile, c[i]));
        std::memcpy(&out[4 * i], nb.data(), 4 * sizeof(uint64_t));
        return ok();
      });
    });
    if (!run.failure.empty()) return raise(invalid(run.failure));
    if (bad) return element_error(*bad);
    return reshaped(to_ndarray(st, std::move(out)), static_cast<Py_ssize_t>(n), 4);
  });
}

PyObject* u64_ndarray(ModuleState* st, std::vector<uint64_t>&& values) { return to_ndarray(st, std::move(values)); }

namespace {

// Work units of a fill, each about a microsecond on one core: a point, and a
// cell along a ring's box outline at the resolution. This many pay for
// waking the pool many times over.
constexpr double kPoolPays = 2000;

// Whether the rows' estimated work pays for the pool, however few they are.
// Offsets are only read within their arrays (the fill checks them); the count
// stops once it is reached.
bool fill_pays_for_pool(const PolygonArrays& a, uint32_t resolution) {
  double side = 90 / std::pow(3.0, resolution);  // degrees across a cell, near the equator
  double work = 0;
  size_t points = a.xy.size() / 2;
  for (size_t k = 0; k + 1 < a.rings.size() && work < kPoolPays; ++k) {
    int64_t from = a.rings[k], to = a.rings[k + 1];
    if (from < 0 || to <= from || static_cast<uint64_t>(to) > points) continue;
    double x0 = INFINITY, x1 = -INFINITY, y0 = INFINITY, y1 = -INFINITY;
    for (int64_t j = from; j < to; ++j) {
      x0 = std::min(x0, a.xy[2 * j]), x1 = std::max(x1, a.xy[2 * j]);
      y0 = std::min(y0, a.xy[2 * j + 1]), y1 = std::max(y1, a.xy[2 * j + 1]);
    }
    double outline = 2 * ((x1 - x0) + (y1 - y0)) / side;
    work += static_cast<double>(to - from) + (outline < kPoolPays ? outline : kPoolPays);
  }
  return work >= kPoolPays;
}

}  // namespace

const char cover_polygons_doc[] =
    "_cover_polygons(xy, rings, parts, geometries, resolution, form, profile=None, nthreads=0, *, mode='nucleus')\n--\n\n"
    "The coverage of each geometry of flat arrays at `resolution`, by the containment `mode`.\n\n"
    "`xy` float64 holds (lon, lat) pairs; `rings`, `parts` and `geometries` are int64 offsets: geometry i\n"
    "is polygons [geometries[i], geometries[i + 1]), polygon p rings [parts[p], parts[p + 1]), ring k\n"
    "points [rings[k], rings[k + 1]). `form` \"roots\" gives uint8 of shape (N, 32), \"cells\" the pair\n"
    "(cids uint64, offsets int64 of N + 1), \"trees\" a list of Tree.";

PyObject* fn_cover_polygons(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  ArrayArg xy("float64"), rings("int64"), parts("int64"), geometries("int64");
  uint32_t resolution;
  std::string form;
  Profile profile;
  uint64_t nthreads = 0;
  Mode mode = Mode::Nucleus;
  return call(st, args, kwargs, "_cover_polygons",
              {{"xy", xy}, {"rings", rings}, {"parts", parts}, {"geometries", geometries},
               {"resolution", resolution}, {"form", form}, optional("profile", profile),
               optional("nthreads", nthreads), keyword_only("mode", mode)},
              [&]() -> PyObject* {
    enum class Form { Roots, Cells, Trees };
    Form f;
    if (form == "roots") f = Form::Roots;
    else if (form == "cells") f = Form::Cells;
    else if (form == "trees") f = Form::Trees;
    else return raise(invalid("form " + quote(form) + " is not \"roots\", \"cells\" or \"trees\""));
    auto setup = fill_setup(profile);
    // The checks every geometry would make, made once: resolution, profile, context.
    if (auto none = cover_nodes({}, resolution, *setup); !none) return raise(none.error());
    CtxRef ctx;
    if (f != Form::Cells) {
      auto c = setup->ctx(resolution);
      if (!c) return raise(c.error());
      ctx = std::move(c).value();
    }
    if (!xy.flat() || !rings.flat() || !parts.flat() || !geometries.flat()) return not_contiguous();
    if (xy.size() % 2 != 0)
      return raise(invalid("xy holds " + std::to_string(xy.size()) + " values, not (lon, lat) pairs"));
    if (geometries.size() == 0) return raise(invalid("geometries holds no offsets; N geometries need N + 1"));
    PolygonArrays arrays{{xy.data<double>(), xy.size()},
                         {rings.data<int64_t>(), rings.size()},
                         {parts.data<int64_t>(), parts.size()},
                         {geometries.data<int64_t>(), geometries.size()}};
    size_t n = arrays.size();
    // Rows of polygons go to the pool by their work, one row at a time.
    Runner run{nthreads, {}, fill_pays_for_pool(arrays, resolution) ? 2 : kSerialBelow, 1};
    if (n >= run.serial_below && nthreads >= 2 && nthreads > kMaxThreads) return nthreads_too_many(nthreads);
    Hierarchy h = profile.hierarchy();
    // Per geometry: its covering list (cells), root (roots) or tree (trees).
    std::vector<std::vector<uint64_t>> nodes(f == Form::Cells ? n : 0);
    std::vector<uint8_t> roots(f == Form::Roots ? 32 * n : 0);
    std::vector<std::optional<Tree>> trees(f == Form::Trees ? n : 0);
    Cancel cancel(signal_raised);
    auto element = [&](size_t i) -> Status {
      ZAREL_TRY(MultiPolygon polygons, geometry_from_arrays(arrays, i));
      ZAREL_TRY(std::vector<uint64_t> list, cover_nodes(polygons, resolution, *setup, cancel, mode,
                                                        f == Form::Cells ? kMaxLeaves : UINT64_MAX));
      if (f == Form::Cells) {
        nodes[i] = std::move(list);
        return ok();
      }
      if (f == Form::Roots) {
        // Each worker keeps its range buffer from row to row.
        thread_local std::vector<LeafRange> ranges;
        ZAREL_TRY(Hash root, root_of_cells(list, resolution, h, ctx, ranges, cancel));
        std::memcpy(&roots[32 * i], root.data(), 32);
        return ok();
      }
      ZAREL_TRY(Tree tree, Tree::from_cells(list, resolution, h, ctx, cancel));
      trees[i] = std::move(tree);
      return ok();
    };
    std::optional<ElementFailure> bad;
    uint64_t total = 0;
    std::vector<int64_t> offsets(f == Form::Cells ? n + 1 : 0, 0);
    std::vector<uint64_t> cids;
    without_gil([&] {
      bad = run(0, n, element);
      if (bad || f != Form::Cells) return;
      for (size_t i = 0; i < n; ++i) {
        total += leaf_total(nodes[i], resolution, h);
        offsets[i + 1] = static_cast<int64_t>(std::min(total, kMaxLeaves + 1));
      }
      if (total > kMaxLeaves) return;
      cids.resize(total);
      (void)run(0, n, [&](size_t i) -> Status {
        expand_leaves(nodes[i], resolution, h, cids.data() + offsets[i]);
        return ok();
      });
    });
    if (!run.failure.empty()) return raise(invalid(run.failure));
    if (cancel.stopped()) return raise(cancelled());
    if (bad) return raise(invalid("geometry " + std::to_string(bad->index) + ": " + bad->error.display()));
    if (f == Form::Roots) return reshaped(to_ndarray(st, std::move(roots)), static_cast<Py_ssize_t>(n), 32);
    if (f == Form::Cells) {
      if (total > kMaxLeaves)
        return raise(invalid("the polygons cover " + std::to_string(total) + " cells at resolution " +
                             std::to_string(resolution) + ", more than the " + std::to_string(kMaxLeaves) +
                             " that polyfill materialises; use trees_from_polygons"));
      PyObject* a = to_ndarray(st, std::move(cids));
      PyObject* b = a ? to_ndarray(st, std::move(offsets)) : nullptr;
      PyObject* pair = b ? PyTuple_Pack(2, a, b) : nullptr;
      Py_XDECREF(a);
      Py_XDECREF(b);
      return pair;
    }
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    for (size_t i = 0; list && i < n; ++i) {
      PyObject* t = new_tree(st, std::move(*trees[i]), profile);
      if (!t) Py_CLEAR(list);
      else PyList_SetItem(list, static_cast<Py_ssize_t>(i), t);
    }
    return list;
  });
}

}  // namespace zarel::py
