#include "cell_functions.h"

#include "binder.h"
#include "geo/grid.h"
#include "zone/zone.h"

namespace zarel::py {

const char cell_area_m2_doc[] =
    "cell_area_m2(level, profile=None)\n--\n\nThe area of one cell at `level`, square metres.\n\n"
    "Every cell of a level has this area. A level deeper than the profile's deepest (18 for aperture 9) is\n"
    "refused (ValueError); `level` is a level, not a cid.";

PyObject* fn_cell_area_m2(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint32_t level;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "cell_area_m2", {{"level", level}, optional("profile", profile)},
              [&] { return answer(geo::cell_area(profile, level)); });
}

const char suid_to_cid_doc[] =
    "suid_to_cid(suid)\n--\n\n"
    "The cid of a suid: a base letter N to S, then one digit 0 to 8 per level (\"Q12\" is 983).";

PyObject* fn_suid_to_cid(PyObject* module, PyObject* args, PyObject* kwargs) {
  std::string suid;
  return call(state_of_module(module), args, kwargs, "suid_to_cid", {{"suid", suid}},
              [&] { return answer(suid_to_cid(suid)); });
}

const char cid_to_suid_doc[] =
    "cid_to_suid(cid)\n--\n\n"
    "The suid of a cid: its base cell's letter N to S, then its child digits (983 is \"Q12\").";

PyObject* fn_cid_to_suid(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint64_t cid;
  return call(state_of_module(module), args, kwargs, "cid_to_suid", {{"cid", cid}},
              [&] { return answer(cid_to_suid(cid)); });
}

const char position_doc[] =
    "position(cid, profile=None)\n--\n\n`(base, level, row, col)`: where `cid` sits in its base cell (row 0 at the top).";

PyObject* fn_position(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint64_t cid;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "position", {{"cid", cid}, optional("profile", profile)},
              [&]() -> PyObject* {
                auto pos = position(profile.hierarchy(), cid);
                if (!pos) return raise(pos.error());
                return Py_BuildValue("(IIKK)", pos->base, pos->level, static_cast<unsigned long long>(pos->row),
                                     static_cast<unsigned long long>(pos->col));
              });
}

const char cell_at_doc[] =
    "cell_at(base, level, row, col, profile=None)\n--\n\nThe cid at `(row, col)` of base cell `base` at `level`.";

PyObject* fn_cell_at(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint32_t base, level;
  uint64_t row, col;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "cell_at",
              {{"base", base}, {"level", level}, {"row", row}, {"col", col}, optional("profile", profile)},
              [&] { return answer(cell_at(profile.hierarchy(), base, level, row, col)); });
}

const char subzone_index_doc[] =
    "subzone_index(ancestor, cid, profile=None)\n--\n\nThe scanline index of `cid` among the sub-zones of `ancestor`.";

PyObject* fn_subzone_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint64_t ancestor, cid;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "subzone_index",
              {{"ancestor", ancestor}, {"cid", cid}, optional("profile", profile)},
              [&] { return answer(subzone_index(profile.hierarchy(), ancestor, cid)); });
}

const char subzone_at_doc[] =
    "subzone_at(ancestor, depth, index, profile=None)\n--\n\n"
    "The sub-zone of `ancestor` at relative `depth` with scanline index `index`.";

PyObject* fn_subzone_at(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint64_t ancestor, index;
  uint32_t depth;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "subzone_at",
              {{"ancestor", ancestor}, {"depth", depth}, {"index", index}, optional("profile", profile)},
              [&] { return answer(subzone_at(profile.hierarchy(), ancestor, depth, index)); });
}

const char subzones_doc[] =
    "subzones(ancestor, depth, profile=None)\n--\n\n"
    "Every sub-zone of `ancestor` at relative `depth`, in scanline order (the OGC API - DGGS sub-zone order for\n"
    "rHEALPix).";

PyObject* fn_subzones(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint64_t ancestor;
  uint32_t depth;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "subzones",
              {{"ancestor", ancestor}, {"depth", depth}, optional("profile", profile)},
              [&] { return answer(subzones(profile.hierarchy(), ancestor, depth)); });
}

const char neighbours_doc[] =
    "neighbours(cid, profile=None)\n--\n\n"
    "The four edge neighbours of `cid` as a dict `up`, `right`, `down`, `left` (directions in the cell's planar\n"
    "frame); base-cell edges are crossed as the grid folds.";

PyObject* fn_neighbours(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint64_t cid;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "neighbours", {{"cid", cid}, optional("profile", profile)},
              [&]() -> PyObject* {
                auto nb = neighbours(profile, cid);
                if (!nb) return raise(nb.error());
                const auto& c = *nb;
                return Py_BuildValue("{sKsKsKsK}", "up", static_cast<unsigned long long>(c[kUp]), "right",
                                     static_cast<unsigned long long>(c[kRight]), "down",
                                     static_cast<unsigned long long>(c[kDown]), "left",
                                     static_cast<unsigned long long>(c[kLeft]));
              });
}

const char halo_index_doc[] =
    "halo_index(level, width=1, profile=None)\n--\n\n"
    "A gather index padding each base-cell raster at `level` with `width` halo cells, `int64` little-endian,\n"
    "shape `(6, n + 2w, n + 2w)`: `padded = values.ravel()[idx]`, masked where `idx < 0` (beyond a base\n"
    "cell's corners).";

PyObject* fn_halo_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint32_t level, width = 1;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "halo_index",
              {{"level", level}, optional("width", width), optional("profile", profile)}, [&]() -> PyObject* {
                auto index = halo_index(profile, level, width);
                if (!index) return raise(index.error());
                return little_endian_bytes(*index);
              });
}

const char raster_index_doc[] =
    "raster_index(cids, profile=None)\n--\n\n"
    "The raster index of each cid (all at one level), `int64` little-endian, for\n"
    "`values_raster.ravel()[numpy.frombuffer(raster_index(cids), numpy.int64)] = values`.";

PyObject* fn_raster_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  CidSequence cids;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "raster_index", {{"cids", cids}, optional("profile", profile)},
              [&]() -> PyObject* {
                auto index = raster_index(profile.hierarchy(), cids);
                if (!index) return raise(index.error());
                return little_endian_bytes(*index);
              });
}

const char raster_cells_doc[] =
    "raster_cells(level, profile=None)\n--\n\n"
    "The cid at every position of the raster at `level`, `uint64` little-endian, shape `(6, n, n)`.";

PyObject* fn_raster_cells(PyObject* module, PyObject* args, PyObject* kwargs) {
  uint32_t level;
  Profile profile;
  return call(state_of_module(module), args, kwargs, "raster_cells", {{"level", level}, optional("profile", profile)},
              [&]() -> PyObject* {
                auto cells = raster_cells(profile.hierarchy(), level);
                if (!cells) return raise(cells.error());
                return little_endian_bytes(*cells);
              });
}

}  // namespace zarel::py
