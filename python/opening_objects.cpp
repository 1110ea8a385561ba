#include "opening_objects.h"

#include <string_view>

#include "base/json.h"
#include "proof/wire.h"

namespace zarel::py {

namespace {

PyObject* hash_str(const Hash& h) {
  char digits[64];
  hex_to(h, digits);
  return PyUnicode_FromStringAndSize(digits, 64);
}

// Sets d[key] = value and drops the reference to value; false on failure.
bool put(PyObject* d, const char* key, PyObject* value) {
  if (!value) return false;
  int failed = PyDict_SetItemString(d, key, value);
  Py_DECREF(value);
  return failed == 0;
}

PyObject* opening_object(const Opening& o) {
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  bool good;
  if (o.kind == Opening::Kind::Claim) {
    good = put(d, "claim", PyUnicode_FromString(o.full ? "full" : "empty"));
  } else {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(o.entries.size()));
    good = list != nullptr;
    for (size_t k = 0; good && k < o.entries.size(); ++k) {
      const Entry& e = o.entries[k];
      PyObject* item = e.opening ? opening_object(*e.opening) : hash_str(e.hash);
      good = item != nullptr && PyList_SetItem(list, static_cast<Py_ssize_t>(k), item) == 0;
    }
    if (good) good = put(d, "entries", list);
    else Py_XDECREF(list);
  }
  if (good) return d;
  Py_DECREF(d);
  return nullptr;
}

}  // namespace

PyObject* opening_record_object(const OpeningRecord& r) {
  PyObject* d = PyDict_New();
  if (!d) return nullptr;
  // The keys in the order the record's text lists them.
  if (put(d, "A", PyLong_FromUnsignedLong(r.A)) && put(d, "B", PyLong_FromUnsignedLong(r.B)) &&
      put(d, "D", PyLong_FromUnsignedLong(r.D)) &&
      put(d, "hash", PyUnicode_FromStringAndSize(r.hash.data(), static_cast<Py_ssize_t>(r.hash.size()))) &&
      put(d, "opening", opening_object(r.opening)) && put(d, "root", hash_str(r.root)) &&
      put(d, "v", PyLong_FromLong(1)))
    return d;
  Py_DECREF(d);
  return nullptr;
}

namespace {

// Reads what read_plain accepts in the text json.dumps writes; every method
// answers false where that text would be refused there or where it is unsure.
class ObjectReader {
 public:
  bool record(PyObject* o, OpeningRecord& r) {
    static constexpr std::string_view kKeys[] = {"A", "B", "D", "hash", "opening", "root", "v"};
    if (!open() || !PyDict_CheckExact(o) || PyDict_Size(o) != static_cast<Py_ssize_t>(std::size(kKeys))) return false;
    uint64_t numbers[3] = {}, version = 0;
    std::string_view text;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    for (size_t k = 0; k < std::size(kKeys); ++k) {
      // Insertion order, which json.dumps writes and read_plain requires.
      if (!PyDict_Next(o, &pos, &key, &value) || !string(key, text) || text != kKeys[k]) return false;
      switch (k) {
        case 0:
        case 1:
        case 2:
          if (!number(value, numbers[k])) return false;
          break;
        case 3:
          if (!string(value, text)) return false;
          r.hash = text;
          break;
        case 4:
          r.A = static_cast<uint32_t>(numbers[0]);
          r.B = static_cast<uint32_t>(numbers[1]);
          r.D = static_cast<uint32_t>(numbers[2]);
          if (!valid_shape(r.A, r.B, r.D) || !opening(value, r.opening, r.D + 1)) return false;
          break;
        case 5: {
          if (!string(value, text)) return false;
          auto h = unhex(text);
          if (!h) return false;
          r.root = *h;
          break;
        }
        default:
          if (!number(value, version) || version != 1) return false;
      }
    }
    return true;
  }

 private:
  int depth_ = 0;

  // Each dict and list is a level of JSON nesting, bounded as the text's are.
  bool open() { return ++depth_ <= kMaxJsonDepth; }

  // An exact str of printable ASCII that json.dumps writes without escapes.
  static bool string(PyObject* o, std::string_view& out) {
    if (!PyUnicode_CheckExact(o)) return false;
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(o, &n);
    if (!s) {
      PyErr_Clear();
      return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i)
      if (s[i] < 0x20 || s[i] > 0x7e || s[i] == '"' || s[i] == '\\') return false;
    out = std::string_view(s, static_cast<size_t>(n));
    return true;
  }

  // An exact int of at most nine digits, as read_plain reads numbers.
  static bool number(PyObject* o, uint64_t& out) {
    if (!PyLong_CheckExact(o)) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0 || v < 0 || v > 999'999'999) {
      if (v == -1) PyErr_Clear();
      return false;
    }
    out = static_cast<uint64_t>(v);
    return true;
  }

  bool opening(PyObject* o, Opening& out, uint32_t height) {
    if (!open() || !PyDict_CheckExact(o) || PyDict_Size(o) != 1) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    std::string_view text;
    if (!PyDict_Next(o, &pos, &key, &value) || !string(key, text)) return false;
    if (text == "claim") {
      if (!string(value, text) || (text != "full" && text != "empty")) return false;
      out.kind = Opening::Kind::Claim;
      out.full = text == "full";
    } else if (text == "entries" && height > 0) {
      if (!open() || !PyList_CheckExact(value)) return false;
      Py_ssize_t n = PyList_Size(value);
      if (n <= 0) return false;
      out.kind = Opening::Kind::Entries;
      out.entries.resize(static_cast<size_t>(n));
      for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject* item = PyList_GetItem(value, k);
        Entry& e = out.entries[static_cast<size_t>(k)];
        if (item && PyUnicode_CheckExact(item)) {
          if (!string(item, text)) return false;
          auto h = unhex(text);
          if (!h) return false;
          e.hash = *h;
        } else {
          e.opening = std::make_unique<Opening>();
          if (!item || !opening(item, *e.opening, height - 1)) return false;
        }
      }
      --depth_;
    } else {
      return false;
    }
    --depth_;
    return true;
  }
};

}  // namespace

std::optional<OpeningRecord> read_opening_record(PyObject* o) {
  OpeningRecord r;
  if (!ObjectReader().record(o, r)) return std::nullopt;
  return r;
}

}  // namespace zarel::py
