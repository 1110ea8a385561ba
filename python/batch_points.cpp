#include "batch_points.h"

#include <cstring>
#include <string>
#include <vector>

#include "arrays.h"
#include "base/limits.h"
#include "binder.h"
#include "exchange/tiling.h"
#include "geo/grid.h"
#include "parallel/pool.h"
#include "zone/zone.h"

namespace zarel::py {


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
    if (level > kMaxResolution)
      return raise(invalid("level " + std::to_string(level) + " is above the maximum " +
                           std::to_string(kMaxResolution)));
    // Points find their cells among the six rHEALPix squares; any other layout would
    // name cells of a grid that was never drawn.
    if (auto s = profile.geometry(); !s) return raise(s.error());
    // Wide apertures run out of 64-bit cids above a few levels.
    if (uint32_t max = profile.hierarchy().deepest(); level > max)
      return raise(invalid("level " + std::to_string(level) + " is deeper than the deepest level, " +
                           std::to_string(max)));
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
    auto s = block_side(h);
    bool checked = s.ok() && *s == grid.side && level <= h.deepest() && base_cell_rows(h, level).ok();
    // The element's error names the point itself.
    if (!run_each(n, nthreads, nullptr, [&](size_t i) -> Status {
          if (checked) {
            auto cell = geo::cell_from_lonlat(grid, level, x[i], y[i]);
            if (cell && cell->base < h.b) {
              out[i] = cell_at_unchecked(h, *s, cell->base, level, cell->row, cell->col);
              return ok();
            }
          }
          return element(i);
        }))
      return nullptr;
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
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(geo::LonLat p, nuclei(c[i]));
          lon[i] = p.lon;
          lat[i] = p.lat;
          return ok();
        }))
      return nullptr;
    return array_pair(st, std::move(lon), std::move(lat));
  });
}

const char cell_boundaries_doc[] =
    "_cell_boundaries(cids, n=5, profile=None, nthreads=0)\n--\n\n"
    "Each cell's display polygon (`n` points per polar edge) as `(coords, offsets)`: cell i is\n"
    "`coords[offsets[i]:offsets[i + 1]]`, `(lon, lat)` degrees. The cells given together tile, as in\n"
    "`cells_geojson`.";

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
    if (auto s = check_edge_points(per_edge); !s) return raise(s.error());
    const uint64_t* c = cids.data<uint64_t>();
    size_t n = cids.size();
    auto m = static_cast<uint32_t>(per_edge);
    // The cells are drawn together, so that neighbours share their edges point
    // for point; a polygon's length then depends on its neighbours (and where
    // it crosses the antimeridian), so each is made first and the offsets
    // follow. Every polygon's size is bounded before any is made.
    auto tiling = Tiling::of(profile, {c, n});
    if (!tiling) return raise(std::move(tiling).error());
    Hierarchy h = tiling->hierarchy();
    std::vector<int64_t> offsets(n + 1, 0);
    std::vector<std::vector<geo::LonLat>> polys(n);
    std::vector<double> coords;
    uint64_t total = 0, fewest = 0;
    if (!run_batch(nthreads, "cell", [&](Runner& run) -> std::optional<ElementFailure> {
          std::vector<uint64_t> least(n, 0);
          auto bad_path = run(0, n, [&](size_t i) -> Status {
            ZAREL_TRY(Path path, h.path(c[i]));
            ZAREL_CHECK(geo::check_path(tiling->grid(), path));
            least[i] = tiling->ring_size(path, m);
            return ok();
          });
          size_t good = bad_path ? bad_path->index : n;
          for (size_t i = 0; i < good; ++i) fewest += least[i];
          std::vector<uint64_t>().swap(least);
          if (fewest > kMaxBoundaryPoints) return bad_path;
          // Past the bound only the sizes are kept at first, for the message.
          bool keep = fewest + good * Tiling::kPolygonExtra <= kMaxBoundaryPoints;
          auto make = [&](size_t i) -> Status {
            ZAREL_TRY(polys[i], tiling->polygon(*h.path(c[i]), m));
            offsets[i + 1] = static_cast<int64_t>(polys[i].size());
            if (!keep) std::vector<geo::LonLat>().swap(polys[i]);
            return ok();
          };
          if (auto bad = run(0, good, make)) return bad;
          for (size_t i = 0; i < good; ++i) offsets[i + 1] += offsets[i];
          total = static_cast<uint64_t>(offsets[good]);
          if (total > kMaxBoundaryPoints) return bad_path;
          if (!keep) {
            keep = true;
            std::vector<int64_t> sums = offsets;
            if (auto bad = run(0, good, make)) return bad;
            offsets = std::move(sums);
          }
          coords.resize(2 * total);
          run(0, good, [&](size_t i) -> Status {
            double* at = coords.data() + 2 * offsets[i];
            for (const geo::LonLat& p : polys[i]) {
              *at++ = p.lon;
              *at++ = p.lat;
            }
            std::vector<geo::LonLat>().swap(polys[i]);
            return ok();
          });
          return bad_path;
        }))
      return nullptr;
    if (fewest > kMaxBoundaryPoints)
      return raise(invalid("the boundaries would hold at least " + std::to_string(fewest) +
                           " points, above the maximum " + std::to_string(kMaxBoundaryPoints)));
    if (total > kMaxBoundaryPoints)
      return raise(invalid("the boundaries would hold " + std::to_string(total) + " points, above the maximum " +
                           std::to_string(kMaxBoundaryPoints)));
    return array_pair(st, std::move(coords), std::move(offsets), 2);
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
    if (!run_each(n, nthreads, "cell", [&](size_t i) -> Status {
          ZAREL_TRY(auto nb, neighbours(profile, c[i]));
          std::memcpy(&out[4 * i], nb.data(), 4 * sizeof(uint64_t));
          return ok();
        }))
      return nullptr;
    return reshaped(to_ndarray(st, std::move(out)), static_cast<Py_ssize_t>(n), 4);
  });
}

}  // namespace zarel::py
