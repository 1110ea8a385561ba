#include "index_type.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <unordered_map>

#include "batch_joins.h"
#include "binder.h"
#include "exchange/tree_bytes.h"
#include "tree_bytes.h"
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

// `body()` under a shared access, exceptions caught; a refused access raises.
template <class Body>
PyObject* reading(PyObject* self, Body body) {
  Access access(self, false);
  if (!access) return nullptr;
  return guarded(state_of_self(self), body);
}

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

// KeyError naming the key, as a dict raises it.
PyObject* missing_key(const std::string& key) {
  PyObject* k = PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()));
  if (k) {
    PyErr_SetObject(PyExc_KeyError, k);
    Py_DECREF(k);
  }
  return nullptr;
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
  return reading(self, [&]() -> PyObject* {
    PyObject* list = PyList_New(0);
    for (const auto& [key, root] : index_of(self).roots()) {
      if (!list) break;
      PyObject* pair = Py_BuildValue("(s#s)", key.data(), static_cast<Py_ssize_t>(key.size()), hex(root).c_str());
      if (!append(list, pair)) Py_CLEAR(list);
    }
    return list;
  });
}

PyObject* index_remove(PyObject* self, PyObject* args, PyObject* kwargs) {
  Access access(self, true);
  if (!access) return nullptr;
  std::string key;
  return call(state_of_self(self), args, kwargs, "remove", {{"key", key}}, [&]() -> PyObject* {
    Index& index = index_of(self);
    if (!index.remove(key)) return missing_key(key);
    // An emptied index takes the next tree's profile, as a new one would.
    if (index.distinct_roots() == 0) reinterpret_cast<IndexObject*>(self)->profile.reset();
    Py_RETURN_NONE;
  });
}

PyObject* index_keys(PyObject* self, PyObject*) {
  return reading(self, [&]() -> PyObject* {
    PyObject* list = PyList_New(0);
    for (const std::string& key : index_of(self).keys())
      if (list && !append(list, PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size()))))
        Py_CLEAR(list);
    return list;
  });
}

PyObject* index_getitem(PyObject* self, PyObject* key_object) {
  ModuleState* st = state_of_self(self);
  return reading(self, [&]() -> PyObject* {
    std::string key;
    if (!convert(st, key_object, "key", key)) return nullptr;
    const Tree* tree = index_of(self).tree(key);
    if (!tree) return missing_key(key);
    return new_tree(st, *tree, *reinterpret_cast<IndexObject*>(self)->profile);
  });
}

// `key in index`: false for anything that is not a registered str, as for a dict of str keys.
int index_contains(PyObject* self, PyObject* key_object) {
  Access access(self, false);
  if (!access) return -1;
  if (!PyUnicode_Check(key_object)) return 0;
  Py_ssize_t size;
  const char* key = PyUnicode_AsUTF8AndSize(key_object, &size);
  if (!key) return -1;
  return index_of(self).tree(std::string_view(key, static_cast<size_t>(size))) != nullptr;
}

// The whole content in one call, so no other call can change it halfway:
// every stored tree ascending by root (with those no key names), and every
// key in registration order with the position of its tree. Pickling saves it.
PyObject* index_content(PyObject* self, PyObject*) {
  ModuleState* st = state_of_self(self);
  return reading(self, [&]() -> PyObject* {
    const Index& index = index_of(self);
    const auto& profile = reinterpret_cast<IndexObject*>(self)->profile;
    std::vector<const Tree*> stored = index.stored_trees();
    std::unordered_map<const Tree*, size_t> position;
    PyObject* trees = PyList_New(0);
    for (size_t i = 0; i < stored.size(); ++i) {
      position.emplace(stored[i], i);
      if (trees && !append(trees, new_tree(st, *stored[i], *profile))) Py_CLEAR(trees);
    }
    PyObject* keys = PyList_New(0);
    for (const std::string& key : index.keys()) {
      if (!keys) break;
      PyObject* pair = Py_BuildValue("(s#n)", key.data(), static_cast<Py_ssize_t>(key.size()),
                                     static_cast<Py_ssize_t>(position.at(index.tree(key))));
      if (!append(keys, pair)) Py_CLEAR(keys);
    }
    if (!trees || !keys) {
      Py_XDECREF(trees);
      Py_XDECREF(keys);
      return nullptr;
    }
    return Py_BuildValue("(NN)", trees, keys);
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
    Cancel cancel(signal_raised);
    auto runs = index_of(self).attention(level, cancel);
    if (!runs) return raise(runs.error());
    PyObject* counts = PyDict_New();
    Poll poll(cancel);
    for (const KeyCountRun& r : *runs)
      for (uint64_t cid = r.first; counts && cid < r.end; ++cid)
        if (poll() || !set_item(counts, PyLong_FromUnsignedLongLong(cid), PyLong_FromUnsignedLongLong(r.keys)))
          Py_CLEAR(counts);
    if (!counts && cancel.stopped()) return raise(cancelled());
    return counts;
  });
}

PyObject* index_locate_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  Access access(self, false);
  if (!access) return nullptr;
  return index_locate(state_of_self(self), index_of(self), args, kwargs);
}

// The keys in keys() order, each as a str or, with `trees`, as a (key, Tree)
// pair, or (with `keys` false) the trees alone: items() and values().
PyObject* index_listing(PyObject* self, bool keys, bool trees) {
  ModuleState* st = state_of_self(self);
  return reading(self, [&]() -> PyObject* {
    const Index& index = index_of(self);
    const auto& profile = reinterpret_cast<IndexObject*>(self)->profile;
    PyObject* list = PyList_New(0);
    for (const std::string& key : index.keys()) {
      if (!list) break;
      PyObject* k = keys ? PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())) : nullptr;
      PyObject* t = trees ? new_tree(st, *index.tree(key), *profile) : nullptr;
      PyObject* item = nullptr;
      if (keys && trees) item = k && t ? PyTuple_Pack(2, k, t) : nullptr;
      else item = Py_XNewRef(keys ? k : t);
      Py_XDECREF(k);
      Py_XDECREF(t);
      if (!append(list, item)) Py_CLEAR(list);
    }
    return list;
  });
}

PyObject* index_items(PyObject* self, PyObject*) { return index_listing(self, true, true); }
PyObject* index_values(PyObject* self, PyObject*) { return index_listing(self, false, true); }

// Iterates over a snapshot of the keys, so adding or removing keys while
// iterating neither fails nor skips.
PyObject* index_iter(PyObject* self) {
  PyObject* keys = index_listing(self, true, false);
  if (!keys) return nullptr;
  PyObject* it = PyObject_GetIter(keys);
  Py_DECREF(keys);
  return it;
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

// ---------------------------------------------------------------- bytes and files

PyObject* new_index(ModuleState* st, ProfiledIndex read) {
  auto* o = alloc_object<IndexObject>(st->index_type);
  if (!o) return nullptr;
  new (&o->index) Index(std::move(read.index));
  new (&o->profile) std::optional<Profile>(std::move(read.profile));
  o->borrows = 0;
  return reinterpret_cast<PyObject*>(o);
}

PyObject* read_index(ModuleState* st, std::span<const uint8_t> data) {
  std::optional<Result<ProfiledIndex>> read;
  Cancel cancel(signal_raised);
  without_gil([&] { read.emplace(index_from_bytes(data, cancel)); });
  if (cancel.stopped()) return raise(cancelled());
  if (!*read) return raise(read->error());
  return new_index(st, std::move(**read));
}

PyObject* index_to_bytes_method(PyObject* self, PyObject*) {
  return reading(self, [&]() -> PyObject* {
    auto data = index_to_bytes(index_of(self), reinterpret_cast<IndexObject*>(self)->profile);
    if (!data) return raise(data.error());
    return bytes_of(*data);
  });
}

PyObject* index_from_bytes_method(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  BytesLike data;
  return call(st, args, kwargs, "from_bytes", {{"data", data}}, [&] { return read_index(st, data.bytes()); });
}

// The file system's form of a str or os.PathLike path.
bool fs_path(PyObject* path, std::string& out) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(path, &encoded)) return add_note("path");
  out.assign(PyBytes_AsString(encoded), static_cast<size_t>(PyBytes_Size(encoded)));
  Py_DECREF(encoded);
  return true;
}

PyObject* os_error(int error, PyObject* path) {
  errno = error;
  return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
}

PyObject* index_save(PyObject* self, PyObject* args, PyObject* kwargs) {
  Access access(self, false);
  if (!access) return nullptr;
  PyObject* path;
  return call(state_of_self(self), args, kwargs, "save", {{"path", path}}, [&]() -> PyObject* {
    std::string target;
    if (!fs_path(path, target)) return nullptr;
    auto written = index_to_bytes(index_of(self), reinterpret_cast<IndexObject*>(self)->profile);
    if (!written) return raise(written.error());
    const std::vector<uint8_t>& data = *written;
    // Written beside the target and renamed over it, so a failed save leaves the old file whole.
    std::string partial = target + ".tmp" + std::to_string(getpid());
    int error = 0;
    without_gil([&] {
      std::FILE* f = std::fopen(partial.c_str(), "wb");
      if (!f) {
        error = errno;
        return;
      }
      bool written = std::fwrite(data.data(), 1, data.size(), f) == data.size();
      if (!written) error = errno;
      if (std::fclose(f) != 0 && written) error = errno, written = false;
      if (written && std::rename(partial.c_str(), target.c_str()) != 0) error = errno, written = false;
      if (!written) std::remove(partial.c_str());
    });
    if (error) return os_error(error, path);
    Py_RETURN_NONE;
  });
}

PyObject* index_load(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  PyObject* path;
  return call(st, args, kwargs, "load", {{"path", path}}, [&]() -> PyObject* {
    std::string source;
    if (!fs_path(path, source)) return nullptr;
    std::vector<uint8_t> data;
    int error = 0;
    without_gil([&] {
      std::FILE* f = std::fopen(source.c_str(), "rb");
      if (!f) {
        error = errno;
        return;
      }
      uint8_t chunk[1 << 16];
      size_t n;
      while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) data.insert(data.end(), chunk, chunk + n);
      if (std::ferror(f)) error = errno ? errno : EIO;
      std::fclose(f);
    });
    if (error) return os_error(error, path);
    return read_index(st, data);
  });
}

PyMethodDef index_methods[] = {
    def("add", index_add,
        "add($self, key, tree)\n--\n\nRegister `key` under `tree`. Trees with the same root are stored once.\n\n"
        "Adding a key that is already registered replaces its tree (the key keeps its place in `keys()`);\n"
        "the replaced tree stays stored, and counted by `distinct_roots`, until the next `remove`."),
    def("query", index_query,
        "query($self, tree)\n--\n\n"
        "Keys whose coverage meets `tree`: `[{\"key\", \"root\", \"relation\", \"fraction_of_query\",\n"
        "\"fraction_of_item\", \"shared_cells\"}, ...]`, best coverage of the query first."),
    def("roots", index_roots, "roots($self)\n--\n\n`[(key, root_hex), ...]`."),
    def("remove", index_remove,
        "remove($self, key)\n--\n\n"
        "Forget `key` (KeyError if it is not registered); trees no key names any more are dropped."),
    def("keys", index_keys, "keys($self)\n--\n\nEvery key, in the order each was first added."),
    def("items", index_items, "items($self)\n--\n\n`[(key, tree), ...]` in `keys()` order."),
    def("values", index_values, "values($self)\n--\n\nEvery key's tree, in `keys()` order."),
    def("locate", index_locate_method, locate_doc),
    def("_content", index_content,
        "_content($self)\n--\n\n"
        "`(trees, [(key, position), ...])`: every stored tree ascending by root, with those no key names,\n"
        "and every key in `keys()` order with the position of its tree; the index's whole content, which\n"
        "pickling saves."),
    def("attention", index_attention,
        "attention($self, level)\n--\n\n"
        "`{cid: count}` for every cell at `level` touched by an indexed key's coverage. Refused (ValueError)\n"
        "above 2**26 cells."),
    def("to_bytes", index_to_bytes_method,
        "to_bytes($self)\n--\n\n"
        "The index's binary form: its profile, every stored tree's shape and every key with its tree\n"
        "(docs/tree-format.md). `Index.from_bytes` reads it back; no pickle is involved."),
    def("from_bytes", index_from_bytes_method,
        "from_bytes(data)\n--\n\n"
        "The index whose `to_bytes()` is `data` (any bytes-like object). Safe for untrusted input: a damaged\n"
        "form raises ValueError naming the offset of the bad byte; roots are recomputed from the cells.",
        METH_CLASS),
    def("save", index_save,
        "save($self, path)\n--\n\n"
        "Write `to_bytes()` to the file `path` (str or os.PathLike), replacing it whole: the bytes go to a\n"
        "file beside it that is then renamed over it."),
    def("load", index_load,
        "load(path)\n--\n\n"
        "The index saved in the file `path` by `save`; checked as `from_bytes` checks its data.",
        METH_CLASS),
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
    {Py_sq_contains, reinterpret_cast<void*>(index_contains)},
    {Py_mp_subscript, reinterpret_cast<void*>(index_getitem)},
    {Py_tp_iter, reinterpret_cast<void*>(index_iter)},
    {Py_tp_methods, index_methods},
    {Py_tp_getset, index_getset},
    {0, nullptr},
};

}  // namespace

PyType_Spec index_spec = {"zarel._zarel.Index", sizeof(IndexObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, index_slots};

}  // namespace zarel::py
