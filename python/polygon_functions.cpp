#include "polygon_functions.h"

#include <cmath>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "arrays.h"
#include "binder.h"
#include "parallel/pool.h"
#include "tree_type.h"

namespace zarel::py {

std::shared_ptr<const FillSetup> fill_setup(ModuleState* st, const Profile& profile) {
  FillSetups& setups = *st->fill_setups;
  for (const auto& s : setups.kept)
    if (s && s->profile() == profile) return s;
  auto made = std::make_shared<const FillSetup>(profile);
  setups.kept[setups.next++ % setups.kept.size()] = made;
  return made;
}

void name_front_end(PyObject* geojson, const char* front_end) {
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  bool geometry = PyObject_HasAttrString(geojson, "__geo_interface__");
  PyErr_Restore(type, value, tb);
  if (geometry) add_exception_note(std::string(front_end) + " reads objects with __geo_interface__, such as shapely's");
}

const char polyfill_doc[] =
    "polyfill(geojson, resolution, profile=None, *, mode='nucleus')\n--\n\n"
    "Sorted depth-`resolution` cids whose nucleus the GeoJSON polygon contains.\n\n"
    "`geojson` is a Polygon, a MultiPolygon or a Feature holding one, with coordinates in degrees taken as\n"
    "written (no wrapping at 180, no orientation fix-up). A cell is in when the polygon strictly contains its\n"
    "nucleus. Refused (ValueError) above 2**26 cells: large areas belong in `Tree.from_geojson`.\n\n"
    "`mode` \"inside\" keeps the cells wholly inside the polygon instead, and \"overlap\" the cells whose\n"
    "interior meets the polygon's interior; polar cells off the pole are judged to within 1e-9 degrees,\n"
    "erring towards leaving out (\"inside\") or keeping (\"overlap\").";

PyObject* fn_polyfill(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return call_on_polygon(st, args, kwargs, "polyfill", "zarel.polyfill",
                         [&](const MultiPolygon& polygons, uint32_t resolution, const Profile& profile, Mode mode,
                             const Cancel& cancel) -> PyObject* {
    auto cells = polyfill(polygons, resolution, *fill_setup(st, profile), cancel, mode);
    return cancel.stopped() ? nullptr : answer(cells);
  });
}

const char fingerprint_polygon_doc[] =
    "fingerprint_polygon(geojson, resolution, profile=None, *, mode='nucleus')\n--\n\n"
    "Hex root of the canonical coverage of a GeoJSON polygon at `resolution`.\n\n"
    "Equal to `Tree.from_geojson(geojson, resolution, profile, mode=mode).root_hex`; equal coverages give\n"
    "equal fingerprints, whatever the vertex order or ring orientation. `mode` as in `polyfill`.";

PyObject* fn_fingerprint_polygon(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return call_on_polygon(st, args, kwargs, "fingerprint_polygon", "zarel.fingerprint_polygon",
                         [&](const MultiPolygon& polygons, uint32_t resolution, const Profile& profile, Mode mode,
                             const Cancel& cancel) -> PyObject* {
    auto root = fingerprint_polygon(polygons, resolution, *fill_setup(st, profile), cancel, mode);
    if (cancel.stopped()) return nullptr;
    if (!root) return raise(root.error());
    return to_python(hex(*root));
  });
}

const char cover_polygons_doc[] =
    "_cover_polygons(xy, rings, parts, geometries, resolution, form, profile=None, nthreads=0, *, mode='nucleus')\n--\n\n"
    "The coverage of each geometry of flat arrays at `resolution`, by the containment `mode`.\n\n"
    "`xy` float64 holds (lon, lat) pairs; `rings`, `parts` and `geometries` are int64 offsets: geometry i\n"
    "is polygons [geometries[i], geometries[i + 1]), polygon p rings [parts[p], parts[p + 1]), ring k\n"
    "points [rings[k], rings[k + 1]). `form` \"roots\" gives uint8 of shape (N, 32), \"cells\" the pair\n"
    "(cids uint64, offsets int64 of N + 1), \"trees\" a list of Tree. A point that is not finite or lies off\n"
    "the Earth (longitude outside [-180, 180], latitude outside [-90, 90]) fails its geometry, naming the\n"
    "polygon, the ring and the point within it.";

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
    auto setup = fill_setup(st, profile);
    // The checks every geometry would make, made once: resolution, profile, context.
    if (auto none = cover_nodes({}, resolution, *setup); !none) return raise(none.error());
    HashContextRef ctx;
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
    size_t serial_below = fill_pays_for_pool(arrays, resolution) ? 2 : kSerialBelow;
    if (n >= serial_below && nthreads >= 2 && nthreads > kMaxThreads) return nthreads_too_many(nthreads);
    Hierarchy h = profile.hierarchy();
    // Per geometry: its covering list (cells), root (roots) or tree (trees).
    std::vector<std::vector<uint64_t>> nodes(f == Form::Cells ? n : 0);
    std::vector<uint8_t> roots(f == Form::Roots ? 32 * n : 0);
    std::vector<std::optional<Tree>> trees(f == Form::Trees ? n : 0);
    Cancel cancel(signal_raised);
    // Rows filled so far, for the calling thread's progress hook.
    std::atomic<uint64_t> done{0};
    struct Counting {
      const std::atomic<uint64_t>* outer = progress_count;
      ~Counting() { progress_count = outer; }
    } counting;
    progress_count = &done;
    auto element = [&](size_t i) -> Status {
      struct Count {
        std::atomic<uint64_t>& done;
        ~Count() { done.fetch_add(1, std::memory_order_relaxed); }
      } count{done};
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
    uint64_t total = 0;
    std::vector<int64_t> offsets(f == Form::Cells ? n + 1 : 0, 0);
    std::vector<uint64_t> cids;
    if (!run_batch(
            nthreads, "geometry",
            [&](Runner& run) {
              run.serial_below = serial_below;
              run.grain = 1;
              auto bad = run(0, n, element);
              if (bad || f != Form::Cells) return bad;
              for (size_t i = 0; i < n; ++i) {
                total += leaf_total(nodes[i], resolution, h);
                offsets[i + 1] = static_cast<int64_t>(std::min(total, kMaxLeaves + 1));
              }
              if (total > kMaxLeaves) return bad;
              cids.resize(total);
              (void)run(0, n, [&](size_t i) -> Status {
                expand_leaves(nodes[i], resolution, h, cids.data() + offsets[i]);
                return ok();
              });
              return bad;
            },
            &cancel))
      return nullptr;
    if (f == Form::Roots) return reshaped(to_ndarray(st, std::move(roots)), static_cast<Py_ssize_t>(n), 32);
    if (f == Form::Cells) {
      if (total > kMaxLeaves)
        return raise(invalid("the polygons cover " + std::to_string(total) + " cells at resolution " +
                             std::to_string(resolution) + ", more than the " + std::to_string(kMaxLeaves) +
                             " that polyfill materialises; use trees_from_polygons"));
      return array_pair(st, std::move(cids), std::move(offsets));
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
