#include "tree_type.h"

#include <cstring>
#include <optional>
#include <string>

#include "batch_joins.h"
#include "binder.h"
#include "tree/dilate.h"
#include "zone/disk.h"
#include "exchange_functions.h"
#include "long_results.h"
#include "opening_objects.h"
#include "outline.h"
#include "proof/opening.h"
#include "polygon_functions.h"
#include "profile_type.h"
#include "proof/transcript.h"
#include "tree/tree_raster.h"
#include "tree_habits.h"
#include "tree_bytes.h"

namespace zarel::py {

PyObject* new_tree(ModuleState* st, Tree tree, const Profile& p) {
  auto* o = alloc_object<TreeObject>(st->tree_type);
  if (!o) return nullptr;
  new (&o->tree) Tree(std::move(tree));
  new (&o->profile) Profile(p);
  return reinterpret_cast<PyObject*>(o);
}

PyObject* new_tree(ModuleState* st, Result<Tree> built, const Profile& p) {
  if (!built) return raise(built.error());
  return new_tree(st, std::move(built).value(), p);
}

namespace {

const TreeObject& tree_of(PyObject* self) { return *reinterpret_cast<TreeObject*>(self); }

void tree_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* o = reinterpret_cast<TreeObject*>(self);
  o->tree.~Tree();
  o->profile.~Profile();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* tree_from_cells(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  std::vector<uint64_t> cids;
  uint32_t depth;
  Profile profile;
  return call(st, args, kwargs, "from_cells", {{"cids", cids}, {"depth", depth}, optional("profile", profile)},
              [&]() -> PyObject* {
                auto ctx = profile.ctx(depth);
                if (!ctx) return raise(ctx.error());
                auto built = stoppable([&](const Cancel& cancel) {
                  return Tree::from_cells(cids, depth, profile.hierarchy(), std::move(ctx).value(), cancel);
                });
                return built ? new_tree(st, std::move(*built), profile) : nullptr;
              });
}

PyObject* tree_cells(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&] { return list_of_u64(tree_of(self).tree.cells()); });
}

PyObject* tree_leaves(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&] { return answer(tree_of(self).tree.leaves()); });
}

PyObject* tree_leaf_count(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(tree_of(self).tree.leaf_count());
}

PyObject* tree_is_empty(PyObject* self, PyObject*) { return PyBool_FromLong(tree_of(self).tree.is_empty()); }

PyObject* tree_covers(PyObject* self, PyObject* args, PyObject* kwargs) {
  uint64_t cid;
  return call(state_of_self(self), args, kwargs, "covers", {{"cid", cid}},
              [&] { return answer(tree_of(self).tree.covers(cid)); });
}

PyObject* tree_get_depth(PyObject* self, void*) { return PyLong_FromUnsignedLong(tree_of(self).tree.depth); }

PyObject* tree_get_profile(PyObject* self, void*) { return new_profile(state_of_self(self), tree_of(self).profile); }

PyObject* tree_get_root_hex(PyObject* self, void*) {
  return guarded(state_of_self(self), [&] { return str_of(tree_of(self).tree.root_hex()); });
}

PyObject* tree_repr(PyObject* self) {
  return guarded(state_of_self(self), [&] { return str_of(tree_of(self).tree.debug()); });
}

PyObject* tree_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) return tree_order(self, other, op);
  if (!PyObject_TypeCheck(other, state_of_self(self)->tree_type)) {
    if (op == Py_EQ) Py_RETURN_NOTIMPLEMENTED;
    // `!=` is the negation of Python's `==` on the same pair, whatever decides it:
    // the other object's `__eq__`, or identity.
    int eq = PyObject_RichCompareBool(self, other, Py_EQ);
    if (eq < 0) return nullptr;
    return PyBool_FromLong(!eq);
  }
  return guarded(state_of_self(self), [&] {
    // Equal roots under profiles that place cells apart are two different areas.
    const TreeObject &a = tree_of(self), &b = tree_of(other);
    bool eq = a.tree == b.tree && a.profile.places_cells_alike(b.profile);
    return PyBool_FromLong(op == Py_EQ ? eq : !eq);
  });
}

Py_hash_t tree_hash(PyObject* self) {
  return guarded(state_of_self(self), [&]() -> Py_hash_t {
    Hash root = tree_of(self).tree.root();
    Py_hash_t h;
    std::memcpy(&h, root.data(), sizeof h);
    return h == -1 ? -2 : h;
  });
}

// ---------------------------------------------------------------- set operations, proofs, openings

// Two trees meet only on one grid: where their profiles place cells apart, one
// cid names two places and nothing the roots say relates the areas.
bool one_grid(const TreeObject& a, const TreeObject& b) {
  auto alike = a.profile.places_cells_alike(b.profile);
  if (!alike) raise(alike.error());
  return alike.ok();
}

PyObject* tree_combine(PyObject* self, PyObject* args, PyObject* kwargs, SetOp op, const char* function) {
  ModuleState* st = state_of_self(self);
  const TreeObject* other;
  return call(st, args, kwargs, function, {{"other", other}}, [&]() -> PyObject* {
    if (!one_grid(tree_of(self), *other)) return nullptr;
    Cancel cancel(signal_raised);
    return new_tree(st, combine(tree_of(self).tree, other->tree, op, cancel), tree_of(self).profile);
  });
}

PyObject* tree_union(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_combine(self, args, kwargs, SetOp::Union, "union");
}
PyObject* tree_intersect(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_combine(self, args, kwargs, SetOp::Intersect, "intersect");
}
PyObject* tree_difference(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_combine(self, args, kwargs, SetOp::Difference, "difference");
}

// ---------------------------------------------------------------- Python protocols
// The operators go through the named methods, so they take the same arguments
// down the same road and refuse exactly what the methods refuse.

PyObject* call_with(PyCFunctionWithKeywords method, PyObject* self, PyObject* arg) {
  PyObject* args = PyTuple_Pack(1, arg);
  if (!args) return nullptr;
  PyObject* r = method(self, args, nullptr);
  Py_DECREF(args);
  return r;
}

// A binary operator on two trees; anything else is left to the other operand.
// One side is a Tree (the slot is Tree's) and the type is final, so the same
// type on both sides means two trees.
PyObject* tree_operator(PyCFunctionWithKeywords method, PyObject* a, PyObject* b) {
  if (Py_TYPE(a) != Py_TYPE(b)) Py_RETURN_NOTIMPLEMENTED;
  return call_with(method, a, b);
}

PyObject* tree_or(PyObject* a, PyObject* b) { return tree_operator(tree_union, a, b); }
PyObject* tree_and(PyObject* a, PyObject* b) { return tree_operator(tree_intersect, a, b); }
PyObject* tree_sub(PyObject* a, PyObject* b) { return tree_operator(tree_difference, a, b); }

// (a - b) | (b - a): every leaf in exactly one of the two trees.
PyObject* tree_xor(PyObject* a, PyObject* b) {
  PyObject* left = tree_operator(tree_difference, a, b);
  if (!left || left == Py_NotImplemented) return left;
  PyObject* right = call_with(tree_difference, b, a);
  PyObject* r = right ? call_with(tree_union, left, right) : nullptr;
  Py_DECREF(left);
  Py_XDECREF(right);
  return r;
}

int tree_bool(PyObject* self) { return !tree_of(self).tree.is_empty(); }

Py_ssize_t tree_len(PyObject* self) {
  uint64_t n = tree_of(self).tree.leaf_count();
  if (n > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_Format(PyExc_OverflowError, "the tree has %llu covered leaves, more than len() can give; use leaf_count()",
                 static_cast<unsigned long long>(n));
    return -1;
  }
  return static_cast<Py_ssize_t>(n);
}

int tree_contains(PyObject* self, PyObject* cid) {
  PyObject* r = call_with(tree_covers, self, cid);
  if (!r) return -1;
  int covered = r == Py_True;
  Py_DECREF(r);
  return covered;
}

PyObject* tree_iter(PyObject* self) {
  PyObject* cells = tree_cells(self, nullptr);
  if (!cells) return nullptr;
  PyObject* it = PyObject_GetIter(cells);
  Py_DECREF(cells);
  return it;
}

PyObject* tree_cells_array(PyObject* self, PyObject*) {
  ModuleState* st = state_of_self(self);
  return guarded(st, [&] { return u64_ndarray(st, tree_of(self).tree.cells()); });
}

// NumPy allocates the array (on huge pages where it can, which halves the
// cost of touching half a gigabyte) and the leaves are written into it.
PyObject* tree_leaves_array(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&]() -> PyObject* {
    const Tree& tree = tree_of(self).tree;
    auto n = tree.leaves_size();
    if (!n) return raise(n.error());
    PyObject* numpy = PyImport_ImportModule("numpy");
    PyObject* arr = numpy ? PyObject_CallMethod(numpy, "empty", "Ks", static_cast<unsigned long long>(*n), "uint64")
                          : nullptr;
    Py_XDECREF(numpy);
    // Released however the fill ends, an internal failure included.
    struct Held {
      PyObject* arr;
      Py_buffer view{};
      bool viewed = false;
      ~Held() {
        if (viewed) PyBuffer_Release(&view);
        Py_XDECREF(arr);
      }
    } held{arr};
    if (!arr) return nullptr;
    if (PyObject_GetBuffer(arr, &held.view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    held.viewed = true;
    tree.leaves_into({static_cast<uint64_t*>(held.view.buf), *n});
    return Py_NewRef(arr);
  });
}

// The suid of a cid, which only the (9, 6) hierarchy has: in any other the
// same letters and digits would spell a different rHEALPix cell.
PyObject* suid_of(const Hierarchy& h, uint64_t cid) {
  auto p = h.path(cid);
  if (!p || h.a != 9 || h.b != 6) Py_RETURN_NONE;
  return str_of(path_to_suid(*p));
}

PyObject* tree_divergence(PyObject* self, PyObject* args, PyObject* kwargs) {
  const TreeObject* other;
  return call(state_of_self(self), args, kwargs, "divergence", {{"other", other}}, [&]() -> PyObject* {
    if (!one_grid(tree_of(self), *other)) return nullptr;
    const Tree& t = tree_of(self).tree;
    Cancel cancel(signal_raised);
    auto diffs = divergence(t, other->tree, cancel);
    if (!diffs) return raise(diffs.error());
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(diffs->size()));
    if (!list) return nullptr;
    Poll poll(cancel);
    for (size_t i = 0; i < diffs->size(); ++i) {
      const Divergence& d = (*diffs)[i];
      PyObject* suid = poll() ? nullptr : suid_of(t.hierarchy, d.cid);
      PyObject* item = suid ? Py_BuildValue("{sKsNssss}", "cid", static_cast<unsigned long long>(d.cid), "suid", suid,
                                            "hash_a", hex(d.hash_a).c_str(), "hash_b", hex(d.hash_b).c_str())
                            : nullptr;
      if (!item) {
        Py_DECREF(list);
        return nullptr;
      }
      PyList_SetItem(list, static_cast<Py_ssize_t>(i), item);
    }
    return list;
  });
}

PyObject* tree_prove(PyObject* self, PyObject* args, PyObject* kwargs) {
  const TreeObject* other;
  std::string name;
  return call(state_of_self(self), args, kwargs, "prove", {{"other", other}, {"op", name}}, [&]() -> PyObject* {
    auto op = op_from_name(name);
    if (!op) return raise(invalid("unknown op " + quote(name)));
    if (!one_grid(tree_of(self), *other)) return nullptr;
    Cancel cancel(signal_raised);
    auto proof = prove(tree_of(self).tree, other->tree, *op, cancel);
    if (!proof) return raise(proof.error());
    return proof_object(*proof, cancel);
  });
}

PyObject* tree_open(PyObject* self, PyObject* args, PyObject* kwargs) {
  uint64_t cid;
  return call(state_of_self(self), args, kwargs, "open", {{"cid", cid}}, [&]() -> PyObject* {
    const Tree& t = tree_of(self).tree;
    auto opening = open_path(t, cid);
    if (!opening) return raise(opening.error());
    if (!*opening) Py_RETURN_NONE;
    return opening_record_object(OpeningRecord::make(t, std::move(**opening)));
  });
}

// ---------------------------------------------------------------- polygons and neighbourhoods

const char from_geojson_doc[] =
    "from_geojson(geojson, resolution, profile=None, *, mode='nucleus')\n--\n\n"
    "The canonical coverage of a GeoJSON Polygon/MultiPolygon at `resolution` (nucleus rule).\n\n"
    "Cells wholly inside the polygon are kept whole, so the cost follows the boundary, not the area.\n"
    "`mode` \"inside\" or \"overlap\" keeps whole cells instead, as in `polyfill`.";

PyObject* tree_from_geojson(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  return call_on_polygon(st, args, kwargs, "from_geojson", "zarel.tree_from_geojson",
                         [&](const MultiPolygon& polygons, uint32_t resolution, const Profile& profile, Mode mode,
                             const Cancel& cancel) -> PyObject* {
    auto setup = fill_setup(st, profile);
    auto ctx = setup->ctx(resolution);
    if (!ctx) return raise(ctx.error());
    auto tree = cover(polygons, resolution, *setup, std::move(ctx).value(), cancel, mode);
    return cancel.stopped() ? nullptr : new_tree(st, std::move(tree), profile);
  });
}

const char dilate_doc[] =
    "dilate($self, k, corners=False)\n--\n\n"
    "The tree grown by `k` edge steps at its depth: every leaf within `k` steps of a covered leaf,\n"
    "across the folded base-cell edges; with `corners`, a step may also cross a cell's corner, so\n"
    "coverages that meet at a point touch. The work follows the tree's boundary, not its area. Two\n"
    "trees lie within `k` cells of each other exactly when `a.dilate(k)` meets `b`, so\n"
    "`index.query(t.dilate(1))` finds the coverages that touch `t`. At most 2**25 leaves are added.";

PyObject* tree_dilate(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_self(self);
  uint32_t k;
  bool corners = false;
  return call(st, args, kwargs, "dilate", {{"k", k}, optional("corners", corners)}, [&]() -> PyObject* {
    const TreeObject& t = tree_of(self);
    auto grown = stoppable([&](const Cancel& cancel) { return dilate(t.tree, t.profile, k, corners, cancel); });
    return grown ? new_tree(st, std::move(*grown), t.profile) : nullptr;
  });
}

// ---------------------------------------------------------------- rasters, DGGS-JSON and display GeoJSON

const char raster_doc[] =
    "raster($self)\n--\n\n"
    "The covered leaves as six base-cell rasters at `depth`, `uint8`, shape `(6, n, n)` with `n = 3**depth`,\n"
    "base-major then scanline: `numpy.frombuffer(t.raster(), numpy.uint8)`.";

PyObject* tree_raster(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&]() -> PyObject* {
    auto mask = raster(tree_of(self).tree);
    if (!mask) return raise(mask.error());
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(mask->data()),
                                     static_cast<Py_ssize_t>(mask->size()));
  });
}

const char from_raster_doc[] =
    "from_raster(data, depth, profile=None)\n--\n\n"
    "The canonical tree of a raster laid out as `raster` returns it (any nonzero byte is covered), e.g.\n"
    "`Tree.from_raster(mask.astype(numpy.uint8).tobytes(), depth)`.";

PyObject* tree_from_raster(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  ByteString data;
  uint32_t depth;
  Profile profile;
  return call(st, args, kwargs, "from_raster", {{"data", data}, {"depth", depth}, optional("profile", profile)},
              [&]() -> PyObject* {
                return new_tree(st, from_raster(profile, depth, data.bytes), profile);
              });
}

const char to_dggs_json_doc[] =
    "to_dggs_json($self, zone, field=\"coverage\")\n--\n\n"
    "OGC API - DGGS zone data (DGGS-JSON) for the sub-zones of `zone` at the tree's depth, in\n"
    "the DGGRS's sub-zone order: 1 where covered, null elsewhere. The profile must be a\n"
    "registered DGGRS (the default is).";

PyObject* tree_to_dggs_json(PyObject* self, PyObject* args, PyObject* kwargs) {
  uint64_t zone;
  std::string field = "coverage";
  return call(state_of_self(self), args, kwargs, "to_dggs_json", {{"zone", zone}, optional("field", field)},
              [&]() -> PyObject* {
                const TreeObject& t = tree_of(self);
                auto z = zone_data(t.tree, t.profile, zone, field);
                if (!z) return raise(z.error());
                return with_values(from_json(std::move(z->doc)), field, z->covered);
              });
}

const char from_dggs_json_doc[] =
    "from_dggs_json(doc, field=None, depth=None, nonzero=False, profile=None)\n--\n\n"
    "The coverage a DGGS-JSON document describes: the sub-zones of its zone at one depth whose\n"
    "value in `field` is present (not null; also not zero if `nonzero`). `field` and `depth`\n"
    "may be omitted when the document has only one.";

PyObject* tree_from_dggs_json(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  DggsDoc doc;
  OrNone<std::string> field;
  OrNone<uint32_t> depth;
  Flag nonzero;
  Profile profile;
  return call(st, args, kwargs, "from_dggs_json",
              {{"doc", doc}, optional("field", field), optional("depth", depth), optional("nonzero", nonzero),
               optional("profile", profile)},
              [&]() -> PyObject* {
                std::optional<std::string_view> name;
                if (field.value) name = *field.value;
                return new_tree(st, from_dggs_json(doc.doc, profile, name, depth.value, nonzero.value, doc.apart),
                                profile);
              });
}

const char geojson_doc[] =
    "geojson($self, n=3, *, outline=False)\n--\n\n"
    "GeoJSON of the canonical cells (see `cells_geojson`); with `outline=True` a FeatureCollection\n"
    "of one feature, the coverage's outline (`outline`) as a Polygon or MultiPolygon, properties\n"
    "`depth` and `root`.";

PyObject* tree_geojson(PyObject* self, PyObject* args, PyObject* kwargs) {
  uint64_t n = 3;
  Flag outline;
  return call(state_of_self(self), args, kwargs, "geojson", {optional("n", n), keyword_only("outline", outline)}, [&] {
    const TreeObject& t = tree_of(self);
    if (outline.value) return outline_geojson(t, n);
    return display_geojson(t.tree.cells(), t.profile, n);
  });
}

// The geo interface: the display FeatureCollection at the default density, so
// geopandas, shapely and folium read a tree as they read any feature source.
PyObject* tree_geo_interface(PyObject* self, void*) {
  return guarded(state_of_self(self), [&] {
    const TreeObject& t = tree_of(self);
    return display_geojson(t.tree.cells(), t.profile, 3);
  });
}

PyMethodDef tree_methods[] = {
    def("from_cells", tree_from_cells,
        "from_cells(cids, depth, profile=None)\n--\n\n"
        "Cover every cid (any levels up to `depth`, any order, duplicates allowed).",
        METH_CLASS),
    def("from_geojson", tree_from_geojson, from_geojson_doc, METH_CLASS),
    def("cells", tree_cells, "cells($self)\n--\n\nThe canonical (coarsest) covered cids, sorted."),
    def("leaves", tree_leaves,
        "leaves($self)\n--\n\nEvery covered leaf at `depth`, sorted. Refused (ValueError) above 2**26 leaves."),
    def("cells_array", tree_cells_array,
        "cells_array($self)\n--\n\n`cells()` as a NumPy uint64 array, made without a Python list."),
    def("leaves_array", tree_leaves_array,
        "leaves_array($self)\n--\n\n"
        "`leaves()` as a NumPy uint64 array, made without a Python list; refused as `leaves()` is."),
    def("covers", tree_covers, "covers($self, cid)\n--\n\nWhether the cell `cid` (its whole subtree) is covered."),
    def("contains_cells", tree_contains_cells, contains_cells_doc),
    def("issubset", tree_issubset, issubset_doc),
    def("issuperset", tree_issuperset, issuperset_doc),
    def("isdisjoint", tree_isdisjoint, isdisjoint_doc),
    def("area_m2", tree_area_m2, area_m2_doc),
    def("leaf_count", tree_leaf_count, "leaf_count($self)\n--\n\nThe number of covered leaves."),
    def("is_empty", tree_is_empty, "is_empty($self)\n--\n\nWhether the tree covers nothing."),
    def("union", tree_union, "union($self, other)\n--\n\nThe cells covered by either tree."),
    def("intersect", tree_intersect, "intersect($self, other)\n--\n\nThe cells covered by both trees."),
    def("difference", tree_difference, "difference($self, other)\n--\n\nThe leaves of `self` not in `other`."),
    def("divergence", tree_divergence,
        "divergence($self, other)\n--\n\n"
        "Maximal subtrees where two coverages differ: `[{\"cid\", \"suid\", \"hash_a\", \"hash_b\"}, ...]`;\n"
        "`suid` is `None` unless the profile has aperture 9 and 6 base cells."),
    def("prove", tree_prove,
        "prove($self, other, op)\n--\n\n"
        "A transcript proving `self \u2295 other` for `op` in `\"union\" | \"intersect\" | \"difference\"`."),
    def("open", tree_open,
        "open($self, cid)\n--\n\n"
        "A self-describing opening record for `cid` (membership or non-membership), or `None` if `cid` is a partial\n"
        "node."),
    def("raster", tree_raster, raster_doc),
    def("from_raster", tree_from_raster, from_raster_doc, METH_CLASS),
    def("to_dggs_json", tree_to_dggs_json, to_dggs_json_doc),
    def("from_dggs_json", tree_from_dggs_json, from_dggs_json_doc, METH_CLASS),
    def("geojson", tree_geojson, geojson_doc),
    def("to_bytes", tree_to_bytes, to_bytes_doc),
    def("from_bytes", tree_from_bytes, from_bytes_doc, METH_CLASS),
    def("dilate", tree_dilate, dilate_doc),
    def("outline", tree_outline, outline_doc),
    kEndOfTable,
};

PyGetSetDef tree_getset[] = {
    {"depth", tree_get_depth, nullptr, "The level of the leaves.", nullptr},
    {"profile", tree_get_profile, nullptr, "The profile the tree was made with.", nullptr},
    {"root_hex", tree_get_root_hex, nullptr, "The 32-byte root as 64 lowercase hex digits.", nullptr},
    {"__geo_interface__", tree_geo_interface, nullptr, "`geojson()`: the canonical cells as a FeatureCollection.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An immutable canonical coverage tree: a set of equal-area cells and its 32-byte root.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tree_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(tree_hash)},
    {Py_tp_methods, tree_methods},
    {Py_tp_getset, tree_getset},
    {Py_nb_or, reinterpret_cast<void*>(tree_or)},
    {Py_nb_and, reinterpret_cast<void*>(tree_and)},
    {Py_nb_subtract, reinterpret_cast<void*>(tree_sub)},
    {Py_nb_xor, reinterpret_cast<void*>(tree_xor)},
    {Py_nb_bool, reinterpret_cast<void*>(tree_bool)},
    {Py_sq_length, reinterpret_cast<void*>(tree_len)},
    {Py_sq_contains, reinterpret_cast<void*>(tree_contains)},
    {Py_tp_iter, reinterpret_cast<void*>(tree_iter)},
    {0, nullptr},
};

}  // namespace

PyType_Spec tree_spec = {"zarel._zarel.Tree", sizeof(TreeObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         tree_slots};

}  // namespace zarel::py
