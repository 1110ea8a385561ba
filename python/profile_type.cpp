#include "profile_type.h"

#include <cstring>

#include "binder.h"
#include "geo/grid.h"

namespace zarel::py {

PyObject* new_profile(ModuleState* st, const Profile& p) {
  auto* o = alloc_object<ProfileObject>(st->profile_type);
  if (!o) return nullptr;
  new (&o->profile) Profile(p);
  return reinterpret_cast<PyObject*>(o);
}

namespace {

const Profile& profile_of(PyObject* self) { return reinterpret_cast<ProfileObject*>(self)->profile; }

void profile_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<ProfileObject*>(self)->profile.~Profile();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* profile_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  Profile p;
  return call(state_of_type(type), args, kwargs, "Profile",
              {optional("hash", p.hash), optional("aperture", p.aperture), optional("n_base", p.n_base),
               optional("lon_0_udeg", p.lon_0_udeg), optional("north_square", p.north_square),
               optional("south_square", p.south_square), optional("a_um", p.a_um),
               optional("inv_f_nano", p.inv_f_nano), optional("tick_us", p.tick_us), optional("epoch_us", p.epoch_us)},
              [&]() -> PyObject* {
                if (auto s = p.validate(); !s) return raise(s.error());
                auto* o = alloc_object<ProfileObject>(type);
                if (!o) return nullptr;
                new (&o->profile) Profile(std::move(p));
                return reinterpret_cast<PyObject*>(o);
              });
}

PyObject* profile_ogc(PyObject* cls, PyObject*) { return new_profile(state_of_class(cls), Profile::ogc()); }

PyObject* profile_zarel_1(PyObject* cls, PyObject*) { return new_profile(state_of_class(cls), Profile::zarel_1()); }

PyObject* profile_from_dict(PyObject* cls, PyObject* args, PyObject* kwargs) {
  ModuleState* st = state_of_class(cls);
  Json record;
  return call(st, args, kwargs, "from_dict", {{"d", record}}, [&]() -> PyObject* {
    auto p = Profile::from_record(record);
    if (!p) return raise(p.error());
    if (auto s = p->validate(); !s) return raise(s.error());
    return new_profile(st, *p);
  });
}

PyObject* profile_to_dict(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&] { return from_json(profile_of(self).to_record()); });
}

PyObject* profile_id_hex(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&] { return str_of(profile_of(self).id_hex()); });
}

PyObject* profile_describe(PyObject* self, PyObject*) {
  return guarded(state_of_self(self), [&] { return str_of(profile_of(self).describe()); });
}

PyObject* profile_repr(PyObject* self) {
  return guarded(state_of_self(self), [&] { return str_of("Profile(" + profile_of(self).describe() + ")"); });
}

PyObject* profile_richcompare(PyObject* self, PyObject* other, int op) {
  if (!PyObject_TypeCheck(other, state_of_self(self)->profile_type) || (op != Py_EQ && op != Py_NE))
    Py_RETURN_NOTIMPLEMENTED;
  bool eq = profile_of(self) == profile_of(other);
  return PyBool_FromLong(op == Py_EQ ? eq : !eq);
}

Py_hash_t profile_hash(PyObject* self) {
  return guarded(state_of_self(self), [&]() -> Py_hash_t {
    Hash id = profile_of(self).id();
    Py_hash_t h;
    std::memcpy(&h, id.data(), sizeof h);
    return h == -1 ? -2 : h;
  });
}

PyObject* profile_get_hash(PyObject* self, void*) { return str_of(profile_of(self).hash); }
PyObject* profile_get_lon_0(PyObject* self, void*) {
  return PyFloat_FromDouble(static_cast<double>(profile_of(self).lon_0_udeg) / 1e6);
}
PyObject* profile_get_aperture(PyObject* self, void*) { return PyLong_FromUnsignedLong(profile_of(self).aperture); }
PyObject* profile_get_n_base(PyObject* self, void*) { return PyLong_FromUnsignedLong(profile_of(self).n_base); }

PyObject* profile_area_m2(PyObject* self, PyObject* args, PyObject* kwargs) {
  uint32_t level;
  return call(state_of_self(self), args, kwargs, "area_m2", {{"level", level}},
              [&] { return answer(geo::cell_area(profile_of(self), level)); });
}

PyMethodDef profile_methods[] = {
    def("ogc", profile_ogc, "ogc()\n--\n\nThe OGC API-DGGS Annex B rHEALPix grid (lon_0 = 50), SHA-256. The default.",
        METH_CLASS),
    def("zarel_1", profile_zarel_1, "zarel_1()\n--\n\nrHEALPix with a 0\u00b0 prime meridian (lon_0 = 0), SHA-256.",
        METH_CLASS),
    def("from_dict", profile_from_dict,
        "from_dict(d)\n--\n\nThe profile a record (as `to_dict` returns it, or a list of the ten values) describes.",
        METH_CLASS),
    def("to_dict", profile_to_dict, "to_dict($self)\n--\n\nThe profile record: the ten fields by name."),
    def("id_hex", profile_id_hex,
        "id_hex($self)\n--\n\nThe profile's identity: SHA-256 of its parameters, 64 hex digits."),
    def("describe", profile_describe, "describe($self)\n--\n\nA one-line description of the parameters."),
    def("area_m2", profile_area_m2, "area_m2($self, level)\n--\n\nExact ellipsoidal cell area at `level`, m\u00b2."),
    kEndOfTable,
};

PyGetSetDef profile_getset[] = {
    {"hash", profile_get_hash, nullptr, "The hash id.", nullptr},
    {"lon_0", profile_get_lon_0, nullptr, "The prime meridian, degrees.", nullptr},
    {"aperture", profile_get_aperture, nullptr, "Children per cell.", nullptr},
    {"n_base", profile_get_n_base, nullptr, "Number of base cells.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot profile_slots[] = {
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

}  // namespace

PyType_Spec profile_spec = {"zarel._zarel.Profile", sizeof(ProfileObject), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, profile_slots};

}  // namespace zarel::py
