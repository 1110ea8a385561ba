#include "arrays.h"

#include <algorithm>
#include <cstring>

#include "convert.h"
#include "parallel/pool.h"

namespace zarel::py {

namespace {

struct BufferObject {
  PyObject_HEAD
  void* data;
  Py_ssize_t len;       // bytes
  Py_ssize_t count;     // items: the shape of every view
  Py_ssize_t itemsize;
  const char* format;
  void* owner;          // the std::vector holding `data`
  void (*release)(void*);
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  auto* b = reinterpret_cast<BufferObject*>(self);
  view->obj = Py_NewRef(self);
  view->buf = b->data;
  view->len = b->len;
  view->readonly = 0;
  view->itemsize = b->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(b->format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? &b->count : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &b->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void buffer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* b = reinterpret_cast<BufferObject*>(self);
  if (b->release) b->release(b->owner);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyType_Slot buffer_slots[] = {
    {Py_tp_doc, const_cast<char*>("Memory of a batch result, read by NumPy in place.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(buffer_get)},
    {0, nullptr},
};

PyType_Spec buffer_spec = {"zarel._zarel._Buffer", sizeof(BufferObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                           buffer_slots};

}  // namespace

PyTypeObject* new_buffer_type(PyObject* module) {
  return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &buffer_spec, nullptr));
}

PyObject* buffer_array(ModuleState* st, void* data, size_t bytes, size_t itemsize, const char* format,
                       const char* dtype, void* owner, void (*release)(void*)) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(st->buffer_type, Py_tp_alloc));
  auto* b = reinterpret_cast<BufferObject*>(alloc(st->buffer_type, 0));
  if (!b) {
    release(owner);
    return nullptr;
  }
  b->data = data;
  b->len = static_cast<Py_ssize_t>(bytes);
  b->count = static_cast<Py_ssize_t>(bytes / itemsize);
  b->itemsize = static_cast<Py_ssize_t>(itemsize);
  b->format = format;
  b->owner = owner;
  b->release = release;
  PyObject* numpy = PyImport_ImportModule("numpy");
  PyObject* arr =
      numpy ? PyObject_CallMethod(numpy, "frombuffer", "Os", reinterpret_cast<PyObject*>(b), dtype) : nullptr;
  Py_XDECREF(numpy);
  Py_DECREF(b);
  return arr;
}

PyObject* pair_of(PyObject* a, PyObject* b) {
  PyObject* pair = a && b ? PyTuple_Pack(2, a, b) : nullptr;
  Py_XDECREF(a);
  Py_XDECREF(b);
  return pair;
}

PyObject* reshaped(PyObject* arr, Py_ssize_t rows, Py_ssize_t cols) {
  if (!arr) return nullptr;
  PyObject* r = PyObject_CallMethod(arr, "reshape", "(nn)", rows, cols);
  Py_DECREF(arr);
  return r;
}

bool ArrayArg::bind(PyObject* o, const char* name) {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (!numpy) return false;
  PyObject* ndarray = PyObject_GetAttrString(numpy, "ndarray");
  // A kind alone ("U") is compared with the dtype's `kind`, a full name with the dtype.
  PyObject* want = !ndarray                ? nullptr
                   : std::strlen(dtype_) == 1 ? PyUnicode_FromString(dtype_)
                                              : PyObject_CallMethod(numpy, "dtype", "s", dtype_);
  Py_DECREF(numpy);
  bool good = want && bind_checked(o, name, ndarray, want);
  Py_XDECREF(ndarray);
  Py_XDECREF(want);
  return good;
}

bool ArrayArg::bind_checked(PyObject* o, const char* name, PyObject* ndarray, PyObject* want) {
  const char* dtype = std::strlen(dtype_) == 1 && dtype_[0] == 'U' ? "str" : dtype_;
  int is = PyObject_IsInstance(o, ndarray);
  if (is < 0) return add_note(name);
  if (!is) {
    PyErr_Format(PyExc_TypeError, "expected a NumPy array of %s, got '%s'", dtype, type_name(o).c_str());
    return add_note(name);
  }
  PyObject* got = PyObject_GetAttrString(o, "dtype");
  if (!got) return add_note(name);
  PyObject* kind = PyUnicode_Check(want) ? PyObject_GetAttrString(got, "kind") : Py_NewRef(got);
  int same = kind ? PyObject_RichCompareBool(kind, want, Py_EQ) : -1;
  Py_XDECREF(kind);
  PyObject* align = same > 0 ? PyObject_GetAttrString(got, "alignment") : nullptr;
  if (align) {
    alignment_ = std::max<size_t>(PyLong_AsSize_t(align), 1);
    Py_DECREF(align);
    if (PyErr_Occurred()) same = -1;
  } else if (same > 0) {
    same = -1;
  }
  if (same <= 0) {
    if (same == 0) {
      PyObject* text = PyObject_Str(got);
      const char* c = text ? PyUnicode_AsUTF8AndSize(text, nullptr) : nullptr;
      if (c) PyErr_Format(PyExc_TypeError, "expected a NumPy array of %s, got one of %s", dtype, c);
      Py_XDECREF(text);
    }
    Py_DECREF(got);
    return add_note(name);
  }
  Py_DECREF(got);
  if (PyObject_GetBuffer(o, &view_, PyBUF_RECORDS_RO) < 0) return add_note(name);
  held_ = true;
  if (view_.ndim != 1) {
    PyErr_Format(PyExc_TypeError, "expected a one-dimensional NumPy array of %s, got %d dimensions", dtype,
                 view_.ndim);
    return add_note(name);
  }
  return true;
}

bool convert(ModuleState*, PyObject* o, const char* name, ArrayArg& out) { return out.bind(o, name); }

PyObject* not_contiguous() {
  PyErr_SetString(PyExc_ValueError,
                  "array is not contiguous: The given array is not contiguous or is misaligned.");
  return nullptr;
}

PyObject* nthreads_too_many(uint64_t n) {
  return raise(invalid("nthreads " + std::to_string(n) + " is above the maximum " + std::to_string(kMaxThreads) +
                       "; 0 takes one worker per processor"));
}

bool cid_batch_ready(const Profile& profile, const ArrayArg& cids, uint64_t nthreads) {
  if (auto s = profile.validate(); !s) {
    raise(s.error());
    return false;
  }
  if (!cids.flat()) {
    not_contiguous();
    return false;
  }
  if (builds_pool(cids.size(), nthreads) && nthreads > kMaxThreads) {
    nthreads_too_many(nthreads);
    return false;
  }
  return true;
}

bool batch_failed(const Runner& run, const Cancel* cancel, const std::optional<ElementFailure>& bad, const char* noun) {
  if (!run.failure.empty()) raise(invalid(run.failure));
  else if (cancel && cancel->stopped()) raise(cancelled());
  else if (bad && !noun) raise(bad->error);
  else if (bad) raise(invalid(std::string(noun) + " " + std::to_string(bad->index) + ": " + bad->error.display()));
  else return false;
  return true;
}

}  // namespace zarel::py
