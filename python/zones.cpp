#include "zones.h"

#include <optional>
#include <string>

#include "binder.h"
#include "tree/dilate.h"
#include "zone/disk.h"
#include "tree_type.h"
#include "exchange/zone_data.h"

namespace zarel::py {

const char dilate_doc[] =
    "dilate($self, k)\n--\n\n"
    "The tree grown by `k` edge steps at its depth: every leaf within `k` steps of a covered leaf,\n"
    "across the folded base-cell edges. The work follows the tree's boundary, not its area. Two\n"
    "trees lie within `k` cells of each other exactly when `a.dilate(k)` meets `b`, so\n"
    "`index.query(t.dilate(1))` finds the coverages that touch `t`. At most 2**25 leaves are added.";

PyObject* tree_dilate(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_self(self);
  uint32_t k;
  return call(st, args, kwargs, "dilate", {{"k", k}}, [&]() -> PyObject* {
    const auto& t = *reinterpret_cast<TreeObject*>(self);
    std::optional<Result<Tree>> grown;
    without_gil([&] { grown.emplace(dilate(t.tree, t.profile, k)); });
    return new_tree(st, std::move(*grown), t.profile);
  });
}

const char enclosing_zone_doc[] =
    "enclosing_zone(tree)\n--\n\n"
    "The deepest cell that holds every covered leaf of `tree`, or None when the tree is empty or\n"
    "spans several base cells: the zone whose `to_dggs_json` carries the whole tree.";

PyObject* fn_enclosing_zone(PyObject* module, PyObject* args, PyObject* kwargs) {
  const TreeObject* tree;
  return call(state_of_module(module), args, kwargs, "enclosing_zone", {{"tree", tree}}, [&]() -> PyObject* {
    auto zone = enclosing_zone(tree->tree);
    if (!zone) Py_RETURN_NONE;
    return PyLong_FromUnsignedLongLong(*zone);
  });
}

const char dggs_json_zones_doc[] =
    "dggs_json_zones(tree, level, field=\"coverage\")\n--\n\n"
    "One DGGS-JSON document (as `Tree.to_dggs_json` writes it) for each zone of `level` that the\n"
    "tree meets, in ascending cid order; reading them back with `Tree.from_dggs_json` and taking\n"
    "the union gives the tree. At most 65536 documents and 2**30 values in all.";

PyObject* fn_dggs_json_zones(PyObject* module, PyObject* args, PyObject* kwargs) {
  const TreeObject* tree;
  uint32_t level;
  std::string field = "coverage";
  return call(state_of_module(module), args, kwargs, "dggs_json_zones",
              {{"tree", tree}, {"level", level}, optional("field", field)}, [&]() -> PyObject* {
                auto docs = to_dggs_json_zones(tree->tree, tree->profile, level, field);
                if (!docs) return raise(docs.error());
                return from_json(std::move(*docs));
              });
}

}  // namespace zarel::py
