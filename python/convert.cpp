// Argument conversion with the "while processing" note, and JSON crossing
// through the standard `json` module.
#include "convert.h"

#include <string_view>

#include "arrays.h"
#include "profile_type.h"
#include "tree_type.h"

namespace zarel::py {

bool add_exception_note(const std::string& note) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value) {
    PyObject* r = PyObject_CallMethod(value, "add_note", "s", note.c_str());
    if (r) Py_DECREF(r);
    else PyErr_Clear();
  }
  PyErr_Restore(type, value, tb);
  return false;
}

bool add_note(const char* name) { return add_exception_note(std::string("while processing '") + name + "'"); }

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

namespace {

constexpr const char* kOutOfRange = "out of range integral type conversion attempted";
// Long loops over Python objects look for a pending signal once per this many (about a millisecond).
constexpr size_t kSignalEvery = size_t{1} << 16;

// True and False are ints to Python, but a count or a level given as one is a slip.
bool refuse_bool(const char* name) {
  PyErr_SetString(PyExc_TypeError, "'bool' object cannot be interpreted as an integer here");
  return add_note(name);
}

bool to_unsigned(PyObject* o, const char* name, uint64_t max, uint64_t& out) {
  if (PyBool_Check(o)) return refuse_bool(name);
  PyObject* i = PyNumber_Index(o);
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

template <class T>
bool to_narrow(PyObject* o, const char* name, T& out) {
  uint64_t v = 0;
  if (!to_unsigned(o, name, std::numeric_limits<T>::max(), v)) return false;
  out = static_cast<T>(v);
  return true;
}

bool not_instance(PyObject* o, const char* name, const char* cls) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", type_name(o).c_str(), cls);
  return add_note(name);
}

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

bool convert(ModuleState*, PyObject* o, const char* name, uint64_t& out) { return to_unsigned(o, name, UINT64_MAX, out); }
bool convert(ModuleState*, PyObject* o, const char* name, uint32_t& out) { return to_narrow(o, name, out); }
bool convert(ModuleState*, PyObject* o, const char* name, uint8_t& out) { return to_narrow(o, name, out); }

bool convert(ModuleState*, PyObject* o, const char* name, int64_t& out) {
  if (PyBool_Check(o)) return refuse_bool(name);
  PyObject* i = PyNumber_Index(o);
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

bool convert(ModuleState*, PyObject* o, const char* name, bool& out) {
  if (!PyBool_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not a bool", type_name(o).c_str());
    return add_note(name);
  }
  out = o == Py_True;
  return true;
}

bool convert(ModuleState*, PyObject* o, const char* name, std::string& out) {
  if (!PyUnicode_Check(o)) return not_instance(o, name, "str");
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (!s) return add_note(name);
  out.assign(s, static_cast<size_t>(n));
  return true;
}

bool convert(ModuleState* st, PyObject* o, const char* name, Mode& out) {
  std::string text;
  if (!convert(st, o, name, text)) return false;
  auto mode = mode_from_name(text);
  if (!mode) {
    raise(mode.error());
    return add_note(name);
  }
  out = *mode;
  return true;
}

bool convert(ModuleState* st, PyObject* o, const char* name, Profile& out) {
  if (o == Py_None) {
    out = Profile::ogc();
    return true;
  }
  if (!PyObject_TypeCheck(o, st->profile_type)) return not_instance(o, name, "Profile");
  out = reinterpret_cast<ProfileObject*>(o)->profile;
  return true;
}

bool convert(ModuleState* st, PyObject* o, const char* name, const TreeObject*& out) {
  if (!PyObject_TypeCheck(o, st->tree_type)) return not_instance(o, name, "Tree");
  out = reinterpret_cast<const TreeObject*>(o);
  return true;
}

bool convert(ModuleState* st, PyObject* o, const char* name, std::vector<uint64_t>& out) {
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
    bool good = convert(st, item, name, v);
    Py_DECREF(item);
    // Huge inputs take seconds to read: Ctrl-C stops the reading too.
    if (good && out.size() % kSignalEvery == kSignalEvery - 1 && PyErr_CheckSignals() != 0) {
      Py_DECREF(it);
      out.clear();
      return false;
    }
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

bool convert(ModuleState* st, PyObject* o, const char* name, CidSequence& out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return add_note(name);
  }
  if (!PySequence_Check(o)) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'", type_name(o).c_str());
    return add_note(name);
  }
  Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return add_note(name);
  out.clear();
  // A sequence may claim any length (range(2**62) does): past what a vector
  // can address it is refused as memory, not left to fail inside reserve.
  if (static_cast<size_t>(n) > out.max_size()) {
    PyErr_NoMemory();
    return add_note(name);
  }
  out.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PySequence_GetItem(o, i);
    if (!item) return add_note(name);
    uint64_t v;
    bool good = convert(st, item, name, v);
    Py_DECREF(item);
    if (!good) return false;
    out.push_back(v);
  }
  return true;
}

bool convert(ModuleState*, PyObject* o, const char* name, ByteString& out) {
  if (!PyBytes_Check(o)) return not_instance(o, name, "bytes");
  out.bytes = {reinterpret_cast<const uint8_t*>(PyBytes_AsString(o)), static_cast<size_t>(PyBytes_Size(o))};
  return true;
}

bool convert(ModuleState*, PyObject* o, const char* name, Flag& out) {
  int v = PyObject_IsTrue(o);
  if (v < 0) return add_note(name);
  out.value = v;
  return true;
}

bool convert(ModuleState*, PyObject* o, const char*, Json& out) { return to_json(o, out); }

bool convert(ModuleState*, PyObject* o, const char*, PyObject*& out) {
  out = o;
  return true;
}

bool to_json(PyObject* o, Json& out) {
  std::string text;
  if (!to_json_text(o, text)) return false;
  auto parsed = parse_json(text);
  if (!parsed) {
    PyErr_Format(PyExc_ValueError, "not JSON: %s", parsed.error().display().c_str());
    return false;
  }
  out = std::move(parsed).value();
  return true;
}

bool to_json_text(PyObject* o, std::string& out) {
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
  bool copied = true;
  try {
    out.assign(s, static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    copied = false;
    PyErr_NoMemory();
  }
  Py_DECREF(text);
  return copied;
}

PyObject* from_json(Json&& value) {
  std::string text;
  {
    ReleaseJson release(value);
    text = write_json(value);
  }
  return from_json_text(text);
}

PyObject* from_json_text(const std::string& text) {
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
    if (!v || (i % kSignalEvery == kSignalEvery - 1 && PyErr_CheckSignals() != 0)) {
      Py_XDECREF(v);
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), v);
  }
  return list;
}

PyObject* u64_ndarray(ModuleState* st, std::vector<uint64_t>&& values) { return to_ndarray(st, std::move(values)); }

PyObject* str_of(const std::string& s) { return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())); }

}  // namespace zarel::py
