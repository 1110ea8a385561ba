#include "index_type.h"

#include "binder.h"
#include "tree_type.h"

namespace zarel::py {

namespace {

Index& index_of(PyObject* self) { return reinterpret_cast<IndexObject*>(self)->index; }

// Access to the index for the length of one call: `add` holds it exclusively,
// every other member shares it. A conflicting call is refused, not queued.
class Access {
 public:
  Access(PyObject* self, bool exclusive) : o_(reinterpret_cast<IndexObject*>(self)), exclusive_(exclusive) {
    if (exclusive ? o_->borrows != 0 : o_->borrows < 0) {
      PyErr_SetString(PyExc_RuntimeError, exclusive ? "Already borrowed" : "Already mutably borrowed");
      o_ = nullptr;
      return;
    }
    o_->borrows = exclusive ? -1 : o_->borrows + 1;
  }
  ~Access() {
    if (o_) o_->borrows = exclusive_ ? 0 : o_->borrows - 1;
  }
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  explicit operator bool() const { return o_ != nullptr; }

 private:
  IndexObject* o_;
  bool exclusive_;
};

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call(state_of_type(type), args, kwargs, "Index", {}, [&]() -> PyObject* {
    auto* o = alloc_object<IndexObject>(type);
    if (!o) return nullptr;
    new (&o->index) Index();
    new (&o->profile) std::optional<Profile>();
    o->borrows = 0;
    return reinterpret_cast<PyObject*>(o);
  });
}

void index_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  index_of(self).~Index();
  reinterpret_cast<IndexObject*>(self)->profile.~optional();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* index_add(PyObject* self, PyObject* args, PyObject* kwargs) {
  Access access(self, true);
  if (!access) return nullptr;
  std::string key;
  const TreeObject* tree;
  return call(state_of_self(self), args, kwargs, "add", {{"key", key}, {"tree", tree}}, [&]() -> PyObject* {
    // The stored trees are handed back out under the first tree's profile, so a
    // tree enters only where that profile is its own in all but the hierarchy,
    // depth and hash, which the index checks itself.
    auto& profile = reinterpret_cast<IndexObject*>(self)->profile;
    if (profile) {
      if (auto s = profile->places_cells_alike(tree->profile); !s) return raise(s.error());
      if (auto s = profile->keeps_time_alike(tree->profile); !s) return raise(s.error());
    }
    if (auto s = index_of(self).add(std::move(key), tree->tree); !s) return raise(s.error());
    if (!profile) profile = tree->profile;
    Py_RETURN_NONE;
  });
}

// Appends `item` (a new reference, possibly null) to `list`; false on failure.
bool append(PyObject* list, PyObject* item) {
  bool ok = item && PyList_Append(list, item) == 0;
  Py_XDECREF(item);
  return ok;
}

PyObject* index_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  Access access(self, false);
  if (!access) return nullptr;
  const TreeObject* tree;
  return call(state_of_self(self), args, kwargs, "query", {{"tree", tree}}, [&]() -> PyObject* {
    const auto& profile = reinterpret_cast<IndexObject*>(self)->profile;
    if (profile)
      if (auto s = profile->places_cells_alike(tree->profile); !s) return raise(s.error());
    auto hits = index_of(self).query(tree->tree);
    if (!hits) return raise(hits.error());
    PyObject* list = PyList_New(0);
    for (const Hit& h : *hits) {
      if (!list) break;
      std::string_view relation = relation_name(h.relation);
      PyObject* row = Py_BuildValue("{s:s#,s:s,s:s#,s:d,s:d,s:K}", "key", h.key.data(),
                                    static_cast<Py_ssize_t>(h.key.size()), "root", hex(h.root).c_str(), "relation",
                                    relation.data(), static_cast<Py_ssize_t>(relation.size()), "fraction_of_query",
                                    h.fraction_of_query, "fraction_of_item", h.fraction_of_item, "shared_cells",
                                    static_cast<unsigned long long>(h.shared_cells));
      if (!append(list, row)) Py_CLEAR(list);
    }
    return list;
  });
}

PyObject* index_roots(PyObject* self, PyObject*) {
  Access access(self, false);
  if (!access) return nullptr;
  return guarded(state_of_self(self), [&]() -> PyObject* {
    PyObject* list = PyList_New(0);
    for (const auto& [key, root] : index_of(self).roots()) {
      if (!list) break;
      PyObject* pair = Py_BuildValue("(s#s)", key.data(), static_cast<Py_ssize_t>(key.size()), hex(root).c_str());
      if (!append(list, pair)) Py_CLEAR(list);
    }
    return list;
  });
}

PyObject* index_stored_trees(PyObject* self, PyObject*) {
  Access access(self, false);
  if (!access) return nullptr;
  ModuleState* st = state_of_self(self);
  return guarded(st, [&]() -> PyObject* {
    const auto& profile = reinterpret_cast<IndexObject*>(self)->profile;
    PyObject* list = PyList_New(0);
    for (const Tree* tree : index_of(self).stored_trees())
      if (list && !append(list, new_tree(st, *tree, *profile))) Py_CLEAR(list);
    return list;
  });
}

// Sets d[k] = v for two new references; false on failure.
bool set_item(PyObject* d, PyObject* k, PyObject* v) {
  bool ok = k && v && PyDict_SetItem(d, k, v) == 0;
  Py_XDECREF(k);
  Py_XDECREF(v);
  return ok;
}

PyObject* index_attention(PyObject* self, PyObject* args, PyObject* kwargs) {
  Access access(self, false);
  if (!access) return nullptr;
  uint32_t level;
  return call(state_of_self(self), args, kwargs, "attention", {{"level", level}}, [&]() -> PyObject* {
    auto runs = index_of(self).attention(level);
    if (!runs) return raise(runs.error());
    PyObject* counts = PyDict_New();
    for (const TouchedRun& r : *runs)
      for (uint64_t cid = r.first; counts && cid < r.end; ++cid)
        if (!set_item(counts, PyLong_FromUnsignedLongLong(cid), PyLong_FromUnsignedLongLong(r.keys)))
          Py_CLEAR(counts);
    return counts;
  });
}

PyObject* index_get_distinct_roots(PyObject* self, void*) {
  Access access(self, false);
  if (!access) return nullptr;
  return PyLong_FromSize_t(index_of(self).distinct_roots());
}

Py_ssize_t index_len(PyObject* self) {
  Access access(self, false);
  if (!access) return -1;
  return static_cast<Py_ssize_t>(index_of(self).len());
}

PyMethodDef index_methods[] = {
    def("add", index_add,
        "add($self, key, tree)\n--\n\nRegister `key` under `tree`. Trees with the same root are stored once."),
    def("query", index_query,
        "query($self, tree)\n--\n\n"
        "Keys whose coverage meets `tree`: `[{\"key\", \"root\", \"relation\", \"fraction_of_query\",\n"
        "\"fraction_of_item\", \"shared_cells\"}, ...]`, best coverage of the query first."),
    def("roots", index_roots, "roots($self)\n--\n\n`[(key, root_hex), ...]`."),
    def("_stored_trees", index_stored_trees,
        "_stored_trees($self)\n--\n\n"
        "Every stored tree, ascending by root, with those no key names any more; with `roots()`\n"
        "the index's whole content, which pickling saves."),
    def("attention", index_attention,
        "attention($self, level)\n--\n\n"
        "`{cid: count}` for every cell at `level` touched by an indexed key's coverage. Refused (ValueError)\n"
        "above 2**26 cells."),
    kEndOfTable,
};

PyGetSetDef index_getset[] = {
    {"distinct_roots", index_get_distinct_roots, nullptr, "The number of distinct trees stored.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot index_slots[] = {
    {Py_tp_doc, const_cast<char*>("Index()\n--\n\n"
                                  "A coverage index: register trees under keys, then ask by tree. The catalog-side "
                                  "half.")},
    {Py_tp_new, reinterpret_cast<void*>(index_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(index_dealloc)},
    {Py_sq_length, reinterpret_cast<void*>(index_len)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec index_spec = {"zarel._zarel.Index", sizeof(IndexObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, index_slots};

}  // namespace zarel::py
