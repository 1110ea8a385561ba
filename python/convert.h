// Conversions between Python objects and core values. Every argument
// converter has the form `convert(state, object, name, out)`: it fills `out`
// or returns false with an exception set that carries the note
// "while processing '{name}'" (a JSON document's "not JSON" errors excepted).
#pragma once

#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fill/cell_shape.h"
#include "base/json.h"
#include "module.h"
#include "profile/profile.h"

namespace zarel::py {

struct TreeObject;

// Adds the note naming the argument to the pending exception; returns false.
bool add_note(const char* name);
// Adds `note` to the pending exception; returns false.
bool add_exception_note(const std::string& note);
// The name of `o`'s type, "?" when it has none.
std::string type_name(PyObject* o);

// Integers: anything with __index__ but a bool (TypeError); OverflowError "out
// of range integral type conversion attempted" outside the type's range.
bool convert(ModuleState*, PyObject* o, const char* name, uint64_t& out);
bool convert(ModuleState*, PyObject* o, const char* name, uint32_t& out);
bool convert(ModuleState*, PyObject* o, const char* name, uint8_t& out);
bool convert(ModuleState*, PyObject* o, const char* name, int64_t& out);
// Exactly True or False; anything else is a TypeError.
bool convert(ModuleState*, PyObject* o, const char* name, bool& out);
bool convert(ModuleState*, PyObject* o, const char* name, std::string& out);
// None gives Profile::ogc(); any other value must be a Profile, and is copied.
bool convert(ModuleState* st, PyObject* o, const char* name, Profile& out);
// Borrowed: the argument tuple keeps the tree alive for the call.
bool convert(ModuleState* st, PyObject* o, const char* name, const TreeObject*& out);
// Any iterable of unsigned 64-bit integers, in iteration order; a 1-D
// contiguous uint64 buffer (a NumPy array) is copied in one step.
bool convert(ModuleState*, PyObject* o, const char* name, std::vector<uint64_t>& out);

// A Python sequence of cids, element by element; a str is refused rather than
// read as characters.
struct CidSequence : std::vector<uint64_t> {};
bool convert(ModuleState*, PyObject* o, const char* name, CidSequence& out);

// A fill's mode by name: "nucleus", "inside" or "overlap"; another str is a ValueError.
bool convert(ModuleState*, PyObject* o, const char* name, Mode& out);

// A `bytes` object, read in place: the argument tuple keeps it alive for the call.
struct ByteString {
  std::span<const uint8_t> bytes;
};
bool convert(ModuleState*, PyObject* o, const char* name, ByteString& out);

// A flag: any object, by its truth value.
struct Flag {
  bool value = false;
};
bool convert(ModuleState*, PyObject* o, const char* name, Flag& out);

// A value that may also be None.
template <class T>
struct OrNone {
  std::optional<T> value;
};

template <class T>
bool convert(ModuleState* st, PyObject* o, const char* name, OrNone<T>& out) {
  if (o == Py_None) {
    out.value.reset();
    return true;
  }
  T v;
  if (!convert(st, o, name, v)) return false;
  out.value = std::move(v);
  return true;
}

// A document `json` can serialise; its errors are the "not JSON" ValueErrors, without a note.
bool convert(ModuleState*, PyObject* o, const char* name, Json& out);
// The argument itself, borrowed, for bodies that treat it specially.
bool convert(ModuleState*, PyObject* o, const char* name, PyObject*& out);

// A Python object serialisable by `json` becomes a core JSON value.
bool to_json(PyObject* o, Json& out);
// The text json.dumps gives for `o`, with to_json's errors; to_json parses it.
bool to_json_text(PyObject* o, std::string& out);
// Consumes the value: it is released (release_json) once written, and on failure.
PyObject* from_json(Json&& value);
// json.loads of compact JSON text that the core wrote.
PyObject* from_json_text(const std::string& text);

PyObject* list_of_u64(const std::vector<uint64_t>& values);
// A one-dimensional NumPy uint64 array over `values`, which it takes over; no copy is made.
PyObject* u64_ndarray(ModuleState* st, std::vector<uint64_t>&& values);
PyObject* str_of(const std::string& s);

// Raster bytes: the values in little-endian order.
template <class T>
PyObject* little_endian_bytes(const std::vector<T>& values) {
  static_assert(std::endian::native == std::endian::little, "raster bytes are written in native order");
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(values.data()),
                                   static_cast<Py_ssize_t>(values.size() * sizeof(T)));
}

}  // namespace zarel::py
