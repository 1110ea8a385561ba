// The `_zarel` module: initialisation, the classes, the module functions and
// the conversions between Python objects and core values.
#include "lib.h"

#include <bit>
#include <cstring>
#include <new>

#include "geo/grid.h"
#include "opening.h"
#include "setops.h"
#include "vector.h"
#include "zone.h"

namespace zarel::py {

// ---------------------------------------------------------------- state, errors

ModuleState* state_of_module(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

ModuleState* state_of_type(PyTypeObject* type) { return static_cast<ModuleState*>(PyType_GetModuleState(type)); }

PyObject* raise(const Error& e) {
  PyErr_SetString(PyExc_ValueError, e.display().c_str());
  return nullptr;
}

// ---------------------------------------------------------------- conversions

bool add_note(const char* name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value) {
    std::string note = std::string("while processing '") + name + "'";
    PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (r) Py_DECREF(r);
    else PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
  return false;
}

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";

// The integer behind `o` (anything with __index__), or nullptr with TypeError set.
PyObject* as_index(PyObject* o) { return PyNumber_Index(o); }

}  // namespace

static bool to_unsigned(PyObject* o, const char* name, uint64_t max, uint64_t& out) {
  PyObject* i = as_index(o);
  if (!i) return add_note(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(i);
  Py_DECREF(i);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // Negative ints and ints past 64 bits both raise OverflowError; one message for both.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return add_note(name);
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return add_note(name);
  }
  if (v > max) {
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return add_note(name);
  }
  out = v;
  return true;
}

bool to_u64(PyObject* o, const char* name, uint64_t& out) { return to_unsigned(o, name, UINT64_MAX, out); }

bool to_u32(PyObject* o, const char* name, uint32_t& out) {
  uint64_t v = 0;
  if (!to_unsigned(o, name, UINT32_MAX, v)) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool to_u8(PyObject* o, const char* name, uint8_t& out) {
  uint64_t v = 0;
  if (!to_unsigned(o, name, UINT8_MAX, v)) return false;
  out = static_cast<uint8_t>(v);
  return true;
}

bool to_i64(PyObject* o, const char* name, int64_t& out) {
  PyObject* i = as_index(o);
  if (!i) return add_note(name);
  long long v = PyLong_AsLongLong(i);
  Py_DECREF(i);
  if (v == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return add_note(name);
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, kOutOfRange);
    return add_note(name);
  }
  out = v;
  return true;
}

namespace {

std::string type_name(PyObject* o) {
  std::string out = "?";
  if (PyObject* n = PyType_GetName(Py_TYPE(o))) {
    if (const char* s = PyUnicode_AsUTF8AndSize(n, nullptr)) out = s;
    else PyErr_Clear();
    Py_DECREF(n);
  } else {
    PyErr_Clear();
  }
  return out;
}

bool not_instance(PyObject* o, const char* name, const char* cls) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name(o).c_str(), cls);
  return add_note(name);
}

}  // namespace

bool to_str(PyObject* o, const char* name, std::string& out) {
  if (!PyUnicode_Check(o)) return not_instance(o, name, "str");
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return add_note(name);
  out.assign(s, static_cast<size_t>(n));
  return true;
}

bool to_profile(ModuleState* st, PyObject* o, const char* name, Profile& out) {
  if (!o || o == Py_None) {
    out = Profile::ogc();
    return true;
  }
  if (!PyObject_TypeCheck(o, st->profile_type)) return not_instance(o, name, "Profile");
  out = reinterpret_cast<ProfileObject*>(o)->profile;
  return true;
}

bool to_tree(ModuleState* st, PyObject* o, const char* name, const TreeObject*& out) {
  if (!PyObject_TypeCheck(o, st->tree_type)) return not_instance(o, name, "Tree");
  out = reinterpret_cast<const TreeObject*>(o);
  return true;
}

namespace {

// A one-dimensional, C-contiguous, aligned buffer of native unsigned 64-bit integers.
bool is_u64_vector(const Py_buffer& view) {
  if (view.ndim != 1 || view.itemsize != 8 || !view.format) return false;
  std::string_view f = view.format;
  if (f.size() == 2 && (f[0] == '=' || f[0] == '@' || f[0] == '<')) f.remove_prefix(1);
  if (f != "Q" && f != "L") return false;
  if (view.strides && view.strides[0] != 8) return false;
  return reinterpret_cast<uintptr_t>(view.buf) % alignof(uint64_t) == 0;
}

}  // namespace

bool to_cid_list(PyObject* o, const char* name, std::vector<uint64_t>& out) {
  out.clear();
  if (PyObject_CheckBuffer(o)) {
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_RECORDS_RO) == 0) {
      bool direct = is_u64_vector(view);
      if (direct) {
        auto* p = static_cast<const uint64_t*>(view.buf);
        out.assign(p, p + view.len / 8);
      }
      PyBuffer_Release(&view);
      if (direct) return true;
    } else {
      PyErr_Clear();
    }
  }
  PyObject* it = PyObject_GetIter(o);
  if (!it) return add_note(name);
  while (PyObject* item = PyIter_Next(it)) {
    uint64_t v;
    bool good = to_u64(item, name, v);
    Py_DECREF(item);
    if (!good) {
      Py_DECREF(it);
      out.clear();
      return false;
    }
    out.push_back(v);
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) {
    out.clear();
    return add_note(name);
  }
  return true;
}

bool to_json(PyObject* o, Json& out) {
  PyObject* json = PyImport_ImportModule("json");
  if (!json) return false;
  PyObject* dumps = PyObject_GetAttrString(json, "dumps");
  Py_DECREF(json);
  if (!dumps) return false;
  PyObject* args = PyTuple_Pack(1, o);
  PyObject* kwargs = Py_BuildValue("{s:O}", "allow_nan", Py_False);
  PyObject* text = args && kwargs ? PyObject_Call(dumps, args, kwargs) : nullptr;
  Py_XDECREF(args);
  Py_XDECREF(kwargs);
  Py_DECREF(dumps);
  if (!text) {
    // An interrupt or an exhausted heap is not a fault of the document: it propagates as it is.
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    std::string detail = value ? type_name(value) : "Exception";
    detail += ": ";
    PyObject* s = value ? PyObject_Str(value) : nullptr;
    const char* c = s ? PyUnicode_AsUTF8AndSize(s, nullptr) : nullptr;
    if (c) detail += c;
    else {
      PyErr_Clear();
      detail += "<exception str() failed>";
    }
    Py_XDECREF(s);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_Format(PyExc_ValueError, "not JSON (%s); a missing value is null, not NaN", detail.c_str());
    return false;
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_Check(text) ? PyUnicode_AsUTF8AndSize(text, &n) : nullptr;
  if (!s) {
    Py_DECREF(text);
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "not JSON: json.dumps returned no text");
    return false;
  }
  auto parsed = parse_json(std::string_view(s, static_cast<size_t>(n)));
  Py_DECREF(text);
  if (!parsed) {
    PyErr_Format(PyExc_ValueError, "not JSON: %s", parsed.error().display().c_str());
    return false;
  }
  out = std::move(parsed).value();
  return true;
}

PyObject* from_json(const Json& value) {
  std::string text = write_json(value);
  PyObject* json = PyImport_ImportModule("json");
  if (!json) return nullptr;
  PyObject* r = PyObject_CallMethod(json, "loads", "s#", text.data(), static_cast<Py_ssize_t>(text.size()));
  Py_DECREF(json);
  return r;
}

PyObject* list_of_u64(const std::vector<uint64_t>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (!list) return nullptr;
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* v = PyLong_FromUnsignedLongLong(values[i]);
    if (!v) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), v);
  }
  return list;
}

// ---------------------------------------------------------------- Profile

template <class T>
static T* alloc_object(PyTypeObject* type) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  return reinterpret_cast<T*>(alloc(type, 0));
}

PyObject* new_profile(ModuleState* st, const Profile& p) {
  auto* o = alloc_object<ProfileObject>(st->profile_type);
  if (!o) return nullptr;
  new (&o->profile) Profile(p);
  return reinterpret_cast<PyObject*>(o);
}

static const Profile& profile_of(PyObject* self) { return reinterpret_cast<ProfileObject*>(self)->profile; }

static void profile_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ProfileObject*>(self)->profile.~Profile();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

static PyObject* profile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_type(type);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"hash",   "aperture", "n_base",     "lon_0_udeg", "north_square", "south_square",
                               "a_um",   "inv_f_nano", "tick_us", "epoch_us",   nullptr};
    PyObject* v[10] = {};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOOOOOOOOO:Profile", const_cast<char**>(kw), &v[0], &v[1],
                                     &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]))
      return nullptr;
    Profile p;
    if ((v[0] && !to_str(v[0], "hash", p.hash)) || (v[1] && !to_u32(v[1], "aperture", p.aperture)) ||
        (v[2] && !to_u32(v[2], "n_base", p.n_base)) || (v[3] && !to_i64(v[3], "lon_0_udeg", p.lon_0_udeg)) ||
        (v[4] && !to_u8(v[4], "north_square", p.north_square)) ||
        (v[5] && !to_u8(v[5], "south_square", p.south_square)) || (v[6] && !to_u64(v[6], "a_um", p.a_um)) ||
        (v[7] && !to_u64(v[7], "inv_f_nano", p.inv_f_nano)) || (v[8] && !to_u64(v[8], "tick_us", p.tick_us)) ||
        (v[9] && !to_i64(v[9], "epoch_us", p.epoch_us)))
      return nullptr;
    if (auto s = p.validate(); !s) return raise(s.error());
    auto* o = alloc_object<ProfileObject>(type);
    if (!o) return nullptr;
    new (&o->profile) Profile(std::move(p));
    return reinterpret_cast<PyObject*>(o);
  });
}

static PyObject* profile_ogc(PyObject* cls, PyObject*) {
  return new_profile(state_of_type(reinterpret_cast<PyTypeObject*>(cls)), Profile::ogc());
}

static PyObject* profile_zarel_1(PyObject* cls, PyObject*) {
  return new_profile(state_of_type(reinterpret_cast<PyTypeObject*>(cls)), Profile::zarel_1());
}

static PyObject* profile_from_dict(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"d", nullptr};
    PyObject* d;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:from_dict", const_cast<char**>(kw), &d)) return nullptr;
    Json record;
    if (!to_json(d, record)) return nullptr;
    auto p = Profile::from_record(record);
    if (!p) return raise(p.error());
    if (auto s = p->validate(); !s) return raise(s.error());
    return new_profile(st, *p);
  });
}

static PyObject* profile_to_dict(PyObject* self, PyObject*) {
  ModuleState* st = state_of_type(Py_TYPE(self));
  return guarded(st, [&] { return from_json(profile_of(self).to_record()); });
}

static PyObject* profile_id_hex(PyObject* self, PyObject*) {
  return PyUnicode_FromString(profile_of(self).id_hex().c_str());
}

static PyObject* profile_describe(PyObject* self, PyObject*) {
  return PyUnicode_FromString(profile_of(self).describe().c_str());
}

static PyObject* profile_repr(PyObject* self) {
  return PyUnicode_FromString(("Profile(" + profile_of(self).describe() + ")").c_str());
}

static PyObject* profile_richcompare(PyObject* self, PyObject* other, int op) {
  ModuleState* st = state_of_type(Py_TYPE(self));
  if (!PyObject_TypeCheck(other, st->profile_type) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  bool eq = profile_of(self) == profile_of(other);
  return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

static Py_hash_t profile_hash(PyObject* self) {
  Hash id = profile_of(self).id();
  Py_hash_t h;
  std::memcpy(&h, id.data(), sizeof h);
  return h == -1 ? -2 : h;
}

static PyObject* profile_get_hash(PyObject* self, void*) { return PyUnicode_FromString(profile_of(self).hash.c_str()); }
static PyObject* profile_get_lon_0(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(profile_of(self).lon_0_udeg) / 1e6);
}
static PyObject* profile_get_aperture(PyObject* self, void*) { return PyLong_FromUnsignedLong(profile_of(self).aperture); }
static PyObject* profile_get_n_base(PyObject* self, void*) { return PyLong_FromUnsignedLong(profile_of(self).n_base); }

static PyObject* profile_area_m2(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    static const char* kw[] = {"level", nullptr};
    PyObject* o;
    uint32_t level;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:area_m2", const_cast<char**>(kw), &o) ||
        !to_u32(o, "level", level))
      return nullptr;
    return PyFloat_FromDouble(geo::cell_area(profile_of(self).grid(), level));
  });
}

static PyMethodDef profile_methods[] = {
    {"ogc", profile_ogc, METH_NOARGS | METH_CLASS,
     "ogc()\n--\n\nThe OGC API-DGGS Annex B rHEALPix grid (lon_0 = 50), SHA-256. The default."},
    {"zarel_1", profile_zarel_1, METH_NOARGS | METH_CLASS,
     "zarel_1()\n--\n\nrHEALPix with a 0\u00b0 prime meridian (lon_0 = 0), SHA-256."},
    {"from_dict", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(profile_from_dict)),
     METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_dict(d)\n--\n\nThe profile a record (as `to_dict` returns it, or a list of the ten values) describes."},
    {"to_dict", profile_to_dict, METH_NOARGS, "to_dict($self)\n--\n\nThe profile record: the ten fields by name."},
    {"id_hex", profile_id_hex, METH_NOARGS,
     "id_hex($self)\n--\n\nThe profile's identity: SHA-256 of its parameters, 64 hex digits."},
    {"describe", profile_describe, METH_NOARGS, "describe($self)\n--\n\nA one-line description of the parameters."},
    {"area_m2", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(profile_area_m2)),
     METH_VARARGS | METH_KEYWORDS, "area_m2($self, level)\n--\n\nExact ellipsoidal cell area at `level`, m\u00b2."},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef profile_getset[] = {
    {"hash", profile_get_hash, nullptr, "The hash id.", nullptr},
    {"lon_0", profile_get_lon_0, nullptr, "The prime meridian, degrees.", nullptr},
    {"aperture", profile_get_aperture, nullptr, "Children per cell.", nullptr},
    {"n_base", profile_get_n_base, nullptr, "Number of base cells.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot profile_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Profile(hash=\"sha256\", aperture=9, n_base=6, lon_0_udeg=50000000, north_square=0, "
                    "south_square=0, a_um=6378137000000, inv_f_nano=298257223563, tick_us=1, epoch_us=0)\n--\n\n"
                    "The parameters a cell identifier and a root are read against. Integers only; the identity\n"
                    "(`id_hex`) is derived from them and never transmitted.")},
    {Py_tp_new, reinterpret_cast<void*>(profile_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(profile_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(profile_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(profile_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(profile_hash)},
    {Py_tp_methods, profile_methods},
    {Py_tp_getset, profile_getset},
    {0, nullptr},
};

static PyType_Spec profile_spec = {"zarel._zarel.Profile", sizeof(ProfileObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, profile_slots};

// ---------------------------------------------------------------- Tree

PyObject* new_tree(ModuleState* st, Tree tree, const Profile& p) {
  auto* o = alloc_object<TreeObject>(st->tree_type);
  if (!o) return nullptr;
  new (&o->tree) Tree(std::move(tree));
  new (&o->profile) Profile(p);
  return reinterpret_cast<PyObject*>(o);
}

static const TreeObject& tree_of(PyObject* self) { return *reinterpret_cast<TreeObject*>(self); }

static void tree_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* o = reinterpret_cast<TreeObject*>(self);
  o->tree.~Tree();
  o->profile.~Profile();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

static PyObject* tree_from_cells(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_type(reinterpret_cast<PyTypeObject*>(cls));
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"cids", "depth", "profile", nullptr};
    PyObject *ocids, *odepth, *oprofile = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:from_cells", const_cast<char**>(kw), &ocids, &odepth,
                                     &oprofile))
      return nullptr;
    std::vector<uint64_t> cids;
    uint32_t depth;
    Profile profile;
    if (!to_cid_list(ocids, "cids", cids) || !to_u32(odepth, "depth", depth) ||
        !to_profile(st, oprofile, "profile", profile))
      return nullptr;
    auto ctx = profile.ctx(depth);
    if (!ctx) return raise(ctx.error());
    std::optional<Result<Tree>> built;
    without_gil([&] { built.emplace(Tree::from_cells(cids, depth, profile.hierarchy(), std::move(ctx).value())); });
    if (!*built) return raise(built->error());
    return new_tree(st, std::move(*built).value(), profile);
  });
}

static PyObject* tree_cells(PyObject* self, PyObject*) {
  return guarded(state_of_type(Py_TYPE(self)), [&] { return list_of_u64(tree_of(self).tree.cells()); });
}

static PyObject* tree_leaves(PyObject* self, PyObject*) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    auto leaves = tree_of(self).tree.leaves();
    if (!leaves) return raise(leaves.error());
    return list_of_u64(*leaves);
  });
}

static PyObject* tree_leaf_count(PyObject* self, PyObject*) {
  return PyLong_FromUnsignedLongLong(tree_of(self).tree.leaf_count());
}

static PyObject* tree_is_empty(PyObject* self, PyObject*) { return PyBool_FromLong(tree_of(self).tree.is_empty()); }

static PyObject* tree_covers(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(state_of_type(Py_TYPE(self)), [&]() -> PyObject* {
    static const char* kw[] = {"cid", nullptr};
    PyObject* ocid;
    uint64_t cid;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:covers", const_cast<char**>(kw), &ocid) ||
        !to_u64(ocid, "cid", cid))
      return nullptr;
    auto r = tree_of(self).tree.covers(cid);
    if (!r) return raise(r.error());
    return PyBool_FromLong(*r);
  });
}

static PyObject* tree_get_depth(PyObject* self, void*) { return PyLong_FromUnsignedLong(tree_of(self).tree.depth); }

static PyObject* tree_get_profile(PyObject* self, void*) {
  return new_profile(state_of_type(Py_TYPE(self)), tree_of(self).profile);
}

static PyObject* tree_get_root_hex(PyObject* self, void*) {
  return PyUnicode_FromString(tree_of(self).tree.root_hex().c_str());
}

static PyObject* tree_repr(PyObject* self) { return PyUnicode_FromString(tree_of(self).tree.debug().c_str()); }

static PyObject* tree_richcompare(PyObject* self, PyObject* other, int op) {
  ModuleState* st = state_of_type(Py_TYPE(self));
  if (!PyObject_TypeCheck(other, st->tree_type) || (op != Py_EQ && op != Py_NE)) Py_RETURN_NOTIMPLEMENTED;
  bool eq = tree_of(self).tree == tree_of(other).tree;
  return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

static Py_hash_t tree_hash(PyObject* self) {
  Hash root = tree_of(self).tree.root();
  Py_hash_t h;
  std::memcpy(&h, root.data(), sizeof h);
  return h == -1 ? -2 : h;
}

// ---------------------------------------------------------------- set operations, proofs, openings

static PyObject* tree_combine(PyObject* self, PyObject* args, PyObject* kwargs, SetOp op, const char* fmt) {
  ModuleState* st = state_of_type(Py_TYPE(self));
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"other", nullptr};
    PyObject* o;
    const TreeObject* other;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw), &o) || !to_tree(st, o, "other", other))
      return nullptr;
    auto r = combine(tree_of(self).tree, other->tree, op);
    if (!r) return raise(r.error());
    return new_tree(st, std::move(r).value(), tree_of(self).profile);
  });
}

static PyObject* tree_union(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_combine(self, args, kwargs, SetOp::Union, "O:union");
}
static PyObject* tree_intersect(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_combine(self, args, kwargs, SetOp::Intersect, "O:intersect");
}
static PyObject* tree_difference(PyObject* self, PyObject* args, PyObject* kwargs) {
  return tree_combine(self, args, kwargs, SetOp::Difference, "O:difference");
}

// The suid of a cid: the rHEALPix text for the (9, 6) hierarchy; for another
// hierarchy its own path in the same letters and digits where they suffice, else None.
static PyObject* suid_of(const Hierarchy& h, uint64_t cid) {
  auto p = h.path(cid);
  bool writable = p && h.b <= 6 && h.a <= 10;
  if (!writable) Py_RETURN_NONE;
  std::string s = path_to_suid(*p);
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

static PyObject* tree_divergence(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_type(Py_TYPE(self));
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"other", nullptr};
    PyObject* o;
    const TreeObject* other;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:divergence", const_cast<char**>(kw), &o) ||
        !to_tree(st, o, "other", other))
      return nullptr;
    const Tree& t = tree_of(self).tree;
    auto diffs = divergence(t, other->tree);
    if (!diffs) return raise(diffs.error());
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(diffs->size()));
    if (!list) return nullptr;
    for (size_t i = 0; i < diffs->size(); ++i) {
      const Divergence& d = (*diffs)[i];
      PyObject* suid = suid_of(t.hierarchy, d.cid);
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

static PyObject* tree_prove(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_type(Py_TYPE(self));
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"other", "op", nullptr};
    PyObject *o, *o_op;
    const TreeObject* other;
    std::string name;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:prove", const_cast<char**>(kw), &o, &o_op) ||
        !to_tree(st, o, "other", other) || !to_str(o_op, "op", name))
      return nullptr;
    auto op = op_from_name(name);
    if (!op) return raise(invalid("unknown op " + quote(name)));
    auto proof = prove(tree_of(self).tree, other->tree, *op);
    if (!proof) return raise(proof.error());
    return from_json(proof->to_json());
  });
}

static PyObject* tree_open(PyObject* self, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_type(Py_TYPE(self));
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"cid", nullptr};
    PyObject* o;
    uint64_t cid;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:open", const_cast<char**>(kw), &o) || !to_u64(o, "cid", cid))
      return nullptr;
    const Tree& t = tree_of(self).tree;
    auto opening = open_path(t, cid);
    if (!opening) return raise(opening.error());
    if (!*opening) Py_RETURN_NONE;
    return from_json(OpeningRecord::make(t, std::move(**opening)).to_json());
  });
}

// A verifier's caller branches on its answer, so a document that does not even
// convert to JSON is False like any other defect. MemoryError and exceptions
// outside Exception (KeyboardInterrupt, the internal failure) still propagate.
template <class Verify>
static PyObject* verify_document(PyObject* module, PyObject* args, PyObject* kwargs, const char* fmt,
                                 const char* name, Verify verify) {
  return guarded(state_of_module(module), [&]() -> PyObject* {
    const char* kw[] = {name, nullptr};
    PyObject* o;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, fmt, const_cast<char**>(kw), &o)) return nullptr;
    Json doc;
    if (!to_json(o, doc)) {
      if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
      PyErr_Clear();
      Py_RETURN_FALSE;
    }
    return PyBool_FromLong(verify(doc));
  });
}

static PyObject* fn_verify_opening(PyObject* module, PyObject* args, PyObject* kwargs) {
  return verify_document(module, args, kwargs, "O:verify_opening", "record", [](const Json& doc) {
    auto r = OpeningRecord::from_json(doc);
    return r && r->verify();
  });
}

static PyObject* fn_verify_setop(PyObject* module, PyObject* args, PyObject* kwargs) {
  return verify_document(module, args, kwargs, "O:verify_setop", "proof", [](const Json& doc) {
    auto p = SetOpProof::from_json(doc);
    return p && p->verify();
  });
}

#define ZAREL_KW(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

static PyMethodDef tree_methods[] = {
    {"from_cells", ZAREL_KW(tree_from_cells), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "from_cells(cids, depth, profile=None)\n--\n\n"
     "Cover every cid (any levels up to `depth`, any order, duplicates allowed)."},
    {"cells", tree_cells, METH_NOARGS, "cells($self)\n--\n\nThe canonical (coarsest) covered cids, sorted."},
    {"leaves", tree_leaves, METH_NOARGS,
     "leaves($self)\n--\n\nEvery covered leaf at `depth`, sorted. Refused (ValueError) above 2**26 leaves."},
    {"covers", ZAREL_KW(tree_covers), METH_VARARGS | METH_KEYWORDS,
     "covers($self, cid)\n--\n\nWhether the cell `cid` (its whole subtree) is covered."},
    {"leaf_count", tree_leaf_count, METH_NOARGS, "leaf_count($self)\n--\n\nThe number of covered leaves."},
    {"is_empty", tree_is_empty, METH_NOARGS, "is_empty($self)\n--\n\nWhether the tree covers nothing."},
    {"union", ZAREL_KW(tree_union), METH_VARARGS | METH_KEYWORDS,
     "union($self, other)\n--\n\nThe cells covered by either tree."},
    {"intersect", ZAREL_KW(tree_intersect), METH_VARARGS | METH_KEYWORDS,
     "intersect($self, other)\n--\n\nThe cells covered by both trees."},
    {"difference", ZAREL_KW(tree_difference), METH_VARARGS | METH_KEYWORDS,
     "difference($self, other)\n--\n\nThe leaves of `self` not in `other`."},
    {"divergence", ZAREL_KW(tree_divergence), METH_VARARGS | METH_KEYWORDS,
     "divergence($self, other)\n--\n\n"
     "Maximal subtrees where two coverages differ: `[{\"cid\", \"suid\", \"hash_a\", \"hash_b\"}, ...]`."},
    {"prove", ZAREL_KW(tree_prove), METH_VARARGS | METH_KEYWORDS,
     "prove($self, other, op)\n--\n\n"
     "A transcript proving `self \u2295 other` for `op` in `\"union\" | \"intersect\" | \"difference\"`."},
    {"open", ZAREL_KW(tree_open), METH_VARARGS | METH_KEYWORDS,
     "open($self, cid)\n--\n\n"
     "A self-describing opening record for `cid` (membership or non-membership), or `None` if `cid` is a partial\n"
     "node."},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef tree_getset[] = {
    {"depth", tree_get_depth, nullptr, "The level of the leaves.", nullptr},
    {"profile", tree_get_profile, nullptr, "The profile the tree was made with.", nullptr},
    {"root_hex", tree_get_root_hex, nullptr, "The 32-byte root as 64 lowercase hex digits.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot tree_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An immutable canonical coverage tree: a set of equal-area cells and its 32-byte root.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(tree_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(tree_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(tree_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(tree_hash)},
    {Py_tp_methods, tree_methods},
    {Py_tp_getset, tree_getset},
    {0, nullptr},
};

static PyType_Spec tree_spec = {"zarel._zarel.Tree", sizeof(TreeObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                                tree_slots};

// ---------------------------------------------------------------- module functions

static PyObject* fn_suid_to_cid(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of_module(module), [&]() -> PyObject* {
    static const char* kw[] = {"suid", nullptr};
    PyObject* o;
    std::string suid;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:suid_to_cid", const_cast<char**>(kw), &o) ||
        !to_str(o, "suid", suid))
      return nullptr;
    auto cid = suid_to_cid(suid);
    if (!cid) return raise(cid.error());
    return PyLong_FromUnsignedLongLong(*cid);
  });
}

static PyObject* fn_cid_to_suid(PyObject* module, PyObject* args, PyObject* kwargs) {
  return guarded(state_of_module(module), [&]() -> PyObject* {
    static const char* kw[] = {"cid", nullptr};
    PyObject* o;
    uint64_t cid;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:cid_to_suid", const_cast<char**>(kw), &o) ||
        !to_u64(o, "cid", cid))
      return nullptr;
    auto suid = cid_to_suid(cid);
    if (!suid) return raise(suid.error());
    return PyUnicode_FromStringAndSize(suid->data(), static_cast<Py_ssize_t>(suid->size()));
  });
}

static PyObject* fn_cell_area_m2(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"level", "profile", nullptr};
    PyObject *o_level, *o_profile = nullptr;
    uint32_t level;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:cell_area_m2", const_cast<char**>(kw), &o_level,
                                     &o_profile) ||
        !to_u32(o_level, "level", level) || !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    return PyFloat_FromDouble(geo::cell_area(profile.grid(), level));
  });
}

static PyObject* fn_position(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"cid", "profile", nullptr};
    PyObject *o_cid, *o_profile = nullptr;
    uint64_t cid;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:position", const_cast<char**>(kw), &o_cid, &o_profile) ||
        !to_u64(o_cid, "cid", cid) || !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto pos = position(profile.hierarchy(), cid);
    if (!pos) return raise(pos.error());
    return Py_BuildValue("(IIKK)", pos->base, pos->level, static_cast<unsigned long long>(pos->row),
                         static_cast<unsigned long long>(pos->col));
  });
}

static PyObject* fn_cell_at(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"base", "level", "row", "col", "profile", nullptr};
    PyObject *o_base, *o_level, *o_row, *o_col, *o_profile = nullptr;
    uint32_t base, level;
    uint64_t row, col;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOOO|O:cell_at", const_cast<char**>(kw), &o_base, &o_level,
                                     &o_row, &o_col, &o_profile) ||
        !to_u32(o_base, "base", base) || !to_u32(o_level, "level", level) || !to_u64(o_row, "row", row) ||
        !to_u64(o_col, "col", col) || !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto cid = cell_at(profile.hierarchy(), base, level, row, col);
    if (!cid) return raise(cid.error());
    return PyLong_FromUnsignedLongLong(*cid);
  });
}

static PyObject* fn_subzone_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"ancestor", "cid", "profile", nullptr};
    PyObject *o_ancestor, *o_cid, *o_profile = nullptr;
    uint64_t ancestor, cid;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:subzone_index", const_cast<char**>(kw), &o_ancestor,
                                     &o_cid, &o_profile) ||
        !to_u64(o_ancestor, "ancestor", ancestor) || !to_u64(o_cid, "cid", cid) ||
        !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto index = subzone_index(profile.hierarchy(), ancestor, cid);
    if (!index) return raise(index.error());
    return PyLong_FromUnsignedLongLong(*index);
  });
}

static PyObject* fn_subzone_at(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"ancestor", "depth", "index", "profile", nullptr};
    PyObject *o_ancestor, *o_depth, *o_index, *o_profile = nullptr;
    uint64_t ancestor, index;
    uint32_t depth;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O:subzone_at", const_cast<char**>(kw), &o_ancestor,
                                     &o_depth, &o_index, &o_profile) ||
        !to_u64(o_ancestor, "ancestor", ancestor) || !to_u32(o_depth, "depth", depth) ||
        !to_u64(o_index, "index", index) || !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto cid = subzone_at(profile.hierarchy(), ancestor, depth, index);
    if (!cid) return raise(cid.error());
    return PyLong_FromUnsignedLongLong(*cid);
  });
}

static PyObject* fn_subzones(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"ancestor", "depth", "profile", nullptr};
    PyObject *o_ancestor, *o_depth, *o_profile = nullptr;
    uint64_t ancestor;
    uint32_t depth;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:subzones", const_cast<char**>(kw), &o_ancestor,
                                     &o_depth, &o_profile) ||
        !to_u64(o_ancestor, "ancestor", ancestor) || !to_u32(o_depth, "depth", depth) ||
        !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto cids = subzones(profile.hierarchy(), ancestor, depth);
    if (!cids) return raise(cids.error());
    return list_of_u64(*cids);
  });
}

static PyObject* fn_neighbours(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"cid", "profile", nullptr};
    PyObject *o_cid, *o_profile = nullptr;
    uint64_t cid;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:neighbours", const_cast<char**>(kw), &o_cid,
                                     &o_profile) ||
        !to_u64(o_cid, "cid", cid) || !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto nb = neighbours(profile, cid);
    if (!nb) return raise(nb.error());
    const auto& c = *nb;
    return Py_BuildValue("{sKsKsKsK}", "up", static_cast<unsigned long long>(c[kUp]), "right",
                         static_cast<unsigned long long>(c[kRight]), "down", static_cast<unsigned long long>(c[kDown]),
                         "left", static_cast<unsigned long long>(c[kLeft]));
  });
}

namespace {

// A sequence of cids (the raster functions' form): element by element; a str
// is refused rather than read as characters.
bool to_cid_sequence(PyObject* o, const char* name, std::vector<uint64_t>& out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return add_note(name);
  }
  if (!PySequence_Check(o)) {
    PyObject* type = PyType_GetName(Py_TYPE(o));
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'Sequence'", type);
    Py_XDECREF(type);
    return add_note(name);
  }
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return add_note(name);
  out.clear();
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    if (!item) return add_note(name);
    uint64_t v;
    bool good = to_u64(item, name, v);
    Py_DECREF(item);
    if (!good) return false;
    out.push_back(v);
  }
  return true;
}

template <class T>
PyObject* little_endian_bytes(const std::vector<T>& values) {
  static_assert(std::endian::native == std::endian::little, "raster bytes are written in native order");
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

}  // namespace

static PyObject* fn_halo_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"level", "width", "profile", nullptr};
    PyObject *o_level, *o_width = nullptr, *o_profile = nullptr;
    uint32_t level, width = 1;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OO:halo_index", const_cast<char**>(kw), &o_level, &o_width,
                                     &o_profile) ||
        !to_u32(o_level, "level", level) || (o_width && !to_u32(o_width, "width", width)) ||
        !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto index = halo_index(profile, level, width);
    if (!index) return raise(index.error());
    return little_endian_bytes(*index);
  });
}

static PyObject* fn_raster_index(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"cids", "profile", nullptr};
    PyObject *o_cids, *o_profile = nullptr;
    std::vector<uint64_t> cids;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:raster_index", const_cast<char**>(kw), &o_cids,
                                     &o_profile) ||
        !to_cid_sequence(o_cids, "cids", cids) || !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto index = raster_index(profile.hierarchy(), cids);
    if (!index) return raise(index.error());
    return little_endian_bytes(*index);
  });
}

static PyObject* fn_raster_cells(PyObject* module, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_module(module);
  return guarded(st, [&]() -> PyObject* {
    static const char* kw[] = {"level", "profile", nullptr};
    PyObject *o_level, *o_profile = nullptr;
    uint32_t level;
    Profile profile;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:raster_cells", const_cast<char**>(kw), &o_level,
                                     &o_profile) ||
        !to_u32(o_level, "level", level) || !to_profile(st, o_profile, "profile", profile))
      return nullptr;
    auto cells = raster_cells(profile.hierarchy(), level);
    if (!cells) return raise(cells.error());
    return little_endian_bytes(*cells);
  });
}

// Registered in this order; functions are added at their place as they are built.
static PyMethodDef module_functions[] = {
    {"verify_opening", ZAREL_KW(fn_verify_opening), METH_VARARGS | METH_KEYWORDS,
     "verify_opening(record)\n--\n\n"
     "Verify an opening record (as returned by `Tree.open`). `False` on any defect; never raises."},
    {"verify_setop", ZAREL_KW(fn_verify_setop), METH_VARARGS | METH_KEYWORDS,
     "verify_setop(proof)\n--\n\n"
     "Verify a set-operation transcript (as returned by `Tree.prove`). `False` on any defect, a document that\n"
     "does not convert to JSON included; never raises."},
    {"cell_area_m2", ZAREL_KW(fn_cell_area_m2), METH_VARARGS | METH_KEYWORDS,
     "cell_area_m2(level, profile=None)\n--\n\nThe area of one cell at `level`, square metres."},
    {"suid_to_cid", ZAREL_KW(fn_suid_to_cid), METH_VARARGS | METH_KEYWORDS, "suid_to_cid(suid)\n--\n\n"},
    {"cid_to_suid", ZAREL_KW(fn_cid_to_suid), METH_VARARGS | METH_KEYWORDS, "cid_to_suid(cid)\n--\n\n"},
    {"position", ZAREL_KW(fn_position), METH_VARARGS | METH_KEYWORDS,
     "position(cid, profile=None)\n--\n\n`(base, level, row, col)`: where `cid` sits in its base cell (row 0 at the top)."},
    {"cell_at", ZAREL_KW(fn_cell_at), METH_VARARGS | METH_KEYWORDS,
     "cell_at(base, level, row, col, profile=None)\n--\n\nThe cid at `(row, col)` of base cell `base` at `level`."},
    {"subzone_index", ZAREL_KW(fn_subzone_index), METH_VARARGS | METH_KEYWORDS,
     "subzone_index(ancestor, cid, profile=None)\n--\n\nThe scanline index of `cid` among the sub-zones of `ancestor`."},
    {"subzone_at", ZAREL_KW(fn_subzone_at), METH_VARARGS | METH_KEYWORDS,
     "subzone_at(ancestor, depth, index, profile=None)\n--\n\n"
     "The sub-zone of `ancestor` at relative `depth` with scanline index `index`."},
    {"subzones", ZAREL_KW(fn_subzones), METH_VARARGS | METH_KEYWORDS,
     "subzones(ancestor, depth, profile=None)\n--\n\n"
     "Every sub-zone of `ancestor` at relative `depth`, in scanline order (the OGC API - DGGS sub-zone order for\n"
     "rHEALPix)."},
    {"neighbours", ZAREL_KW(fn_neighbours), METH_VARARGS | METH_KEYWORDS,
     "neighbours(cid, profile=None)\n--\n\n"
     "The four edge neighbours of `cid` as a dict `up`, `right`, `down`, `left` (directions in the cell's planar\n"
     "frame); base-cell edges are crossed as the grid folds."},
    {"halo_index", ZAREL_KW(fn_halo_index), METH_VARARGS | METH_KEYWORDS,
     "halo_index(level, width=1, profile=None)\n--\n\n"
     "A gather index padding each base-cell raster at `level` with `width` halo cells, `int64` little-endian,\n"
     "shape `(6, n + 2w, n + 2w)`: `padded = values.ravel()[idx]`, masked where `idx < 0` (beyond a base\n"
     "cell's corners)."},
    {"_cells_from_lonlat", ZAREL_KW(fn_cells_from_lonlat), METH_VARARGS | METH_KEYWORDS,
     "_cells_from_lonlat(lon, lat, level, profile=None, nthreads=0)\n--\n\n"
     "The cell at `level` containing each `(lon[i], lat[i])`, degrees."},
    {"_cells_to_lonlat", ZAREL_KW(fn_cells_to_lonlat), METH_VARARGS | METH_KEYWORDS,
     "_cells_to_lonlat(cids, profile=None, nthreads=0)\n--\n\nThe nucleus of each cell, `(lon, lat)` degrees."},
    {"_cell_boundaries", ZAREL_KW(fn_cell_boundaries), METH_VARARGS | METH_KEYWORDS,
     "_cell_boundaries(cids, n=5, profile=None, nthreads=0)\n--\n\n"
     "Each cell's display polygon (`n` points per polar edge) as `(coords, offsets)`: cell i is\n"
     "`coords[offsets[i]:offsets[i + 1]]`, `(lon, lat)` degrees."},
    {"_cell_neighbours", ZAREL_KW(fn_cell_neighbours), METH_VARARGS | METH_KEYWORDS,
     "_cell_neighbours(cids, profile=None, nthreads=0)\n--\n\n"
     "The four edge neighbours of each cell, columns up, right, down, left."},
    {"raster_index", ZAREL_KW(fn_raster_index), METH_VARARGS | METH_KEYWORDS,
     "raster_index(cids, profile=None)\n--\n\n"
     "The raster index of each cid (all at one level), `int64` little-endian, for\n"
     "`values_raster.ravel()[numpy.frombuffer(raster_index(cids), numpy.int64)] = values`."},
    {"raster_cells", ZAREL_KW(fn_raster_cells), METH_VARARGS | METH_KEYWORDS,
     "raster_cells(level, profile=None)\n--\n\n"
     "The cid at every position of the raster at `level`, `uint64` little-endian, shape `(6, n, n)`."},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------- module

static int add_type(PyObject* module, PyType_Spec* type_spec, PyTypeObject*& slot) {
  PyObject* t = PyType_FromModuleAndSpec(module, type_spec, nullptr);
  if (!t) return -1;
  slot = reinterpret_cast<PyTypeObject*>(t);
  // PyModule_AddObjectRef keeps the state's reference separate from the module's.
  return PyModule_AddObjectRef(module, strrchr(type_spec->name, '.') + 1, t);
}

static int module_exec(PyObject* module) {
  ModuleState* st = state_of_module(module);
  st->internal_error = PyErr_NewExceptionWithDoc(
      "zarel._zarel.InternalError",
      "A broken internal invariant; derived from BaseException so that `except Exception` does not hide it.",
      PyExc_BaseException, nullptr);
  if (!st->internal_error) return -1;
  if (add_type(module, &profile_spec, st->profile_type) < 0) return -1;
  if (add_type(module, &tree_spec, st->tree_type) < 0) return -1;
  if (!(st->buffer_type = new_buffer_type(module))) return -1;
  if (PyModule_AddFunctions(module, module_functions) < 0) return -1;
  PyObject* ogc = new_profile(st, Profile::ogc());
  if (!ogc || PyModule_AddObject(module, "OGC_RHEALPIX", ogc) < 0) {
    Py_XDECREF(ogc);
    return -1;
  }
  PyObject* z1 = new_profile(st, Profile::zarel_1());
  if (!z1 || PyModule_AddObject(module, "ZAREL_1", z1) < 0) {
    Py_XDECREF(z1);
    return -1;
  }
  if (PyModule_AddIntConstant(module, "MAX_RESOLUTION", 15) < 0) return -1;
  if (PyModule_AddStringConstant(module, "__version__", "0.2.0") < 0) return -1;
  // Exposed last, after the documented names, so callers can catch it by name.
  if (PyModule_AddObjectRef(module, "InternalError", st->internal_error) < 0) return -1;
  return 0;
}

static int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = state_of_module(module);
  Py_VISIT(st->profile_type);
  Py_VISIT(st->tree_type);
  Py_VISIT(st->buffer_type);
  Py_VISIT(st->internal_error);
  return 0;
}

static int module_clear(PyObject* module) {
  ModuleState* st = state_of_module(module);
  Py_CLEAR(st->profile_type);
  Py_CLEAR(st->tree_type);
  Py_CLEAR(st->buffer_type);
  Py_CLEAR(st->internal_error);
  return 0;
}

static void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

static PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

static PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_zarel", "", sizeof(ModuleState), nullptr, module_slots,
    module_traverse,       module_clear, module_free,
};

}  // namespace zarel::py

PyMODINIT_FUNC PyInit__zarel() { return PyModuleDef_Init(&zarel::py::module_def); }
