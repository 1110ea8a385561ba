// NumPy arrays across the module boundary without copies: one-dimensional
// array arguments read in place, and results handed to NumPy as the buffer of
// the std::vector that computed them. Shared by every function that takes or
// gives arrays.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "lib.h"
#include "parallel/pool.h"
#include "profile/profile.h"

namespace zarel::py {

// The private heap type that owns a result's memory; made once per module.
PyTypeObject* new_buffer_type(PyObject* module);

// A NumPy array of `dtype` over `bytes` bytes at `data`, which `owner` holds
// and `release` frees with the array.
PyObject* buffer_array(ModuleState* st, void* data, size_t bytes, size_t itemsize, const char* format,
                       const char* dtype, void* owner, void (*release)(void*));

template <class T>
constexpr const char* format_of() {
  if constexpr (std::is_same_v<T, double>) return "d";
  else if constexpr (std::is_same_v<T, uint64_t>) return "Q";
  else if constexpr (std::is_same_v<T, uint32_t>) return "I";
  else if constexpr (std::is_same_v<T, uint8_t>) return "B";
  else return "q";
}

template <class T>
constexpr const char* dtype_of() {
  if constexpr (std::is_same_v<T, double>) return "float64";
  else if constexpr (std::is_same_v<T, uint64_t>) return "uint64";
  else if constexpr (std::is_same_v<T, uint32_t>) return "uint32";
  else if constexpr (std::is_same_v<T, uint8_t>) return "uint8";
  else return "int64";
}

// A NumPy array over `values`, which it takes over; no copy is made. `dtype`
// may reinterpret the bytes (a fixed-width string dtype over code points).
template <class T>
PyObject* to_ndarray(ModuleState* st, std::vector<T>&& values, const char* dtype = dtype_of<T>()) {
  auto* owner = new std::vector<T>(std::move(values));
  return buffer_array(st, owner->data(), owner->size() * sizeof(T), sizeof(T), format_of<T>(), dtype, owner,
                      [](void* p) { delete static_cast<std::vector<T>*>(p); });
}

// `arr` reshaped to (rows, cols); takes the reference to `arr`.
PyObject* reshaped(PyObject* arr, Py_ssize_t rows, Py_ssize_t cols);

// A one-dimensional NumPy array of one dtype, borrowed read-only for the call.
// The dtype is named exactly ("uint64"), or by its kind alone ("U": any width).
class ArrayArg {
 public:
  explicit ArrayArg(const char* dtype) : dtype_(dtype) {}
  ArrayArg(const ArrayArg&) = delete;
  ArrayArg& operator=(const ArrayArg&) = delete;
  ~ArrayArg() {
    if (held_) PyBuffer_Release(&view_);
  }

  // TypeError (with the note naming the argument) for a non-array, another dtype
  // or another number of dimensions.
  bool bind(PyObject* o, const char* name);

  size_t size() const { return static_cast<size_t>(view_.shape[0]); }
  // Bytes per element.
  size_t itemsize() const { return static_cast<size_t>(view_.itemsize); }

  // Contiguous and aligned, unless empty; then the elements at `data()`.
  bool flat() const {
    if (size() == 0) return true;
    return view_.strides[0] == view_.itemsize && reinterpret_cast<uintptr_t>(view_.buf) % alignment_ == 0;
  }

  template <class T>
  const T* data() const {
    return static_cast<const T*>(view_.buf);
  }

 private:
  bool bind_checked(PyObject* o, const char* name, PyObject* ndarray, PyObject* want);

  const char* dtype_;
  Py_buffer view_{};
  size_t alignment_ = 8;  // the dtype's own
  bool held_ = false;
};

bool convert(ModuleState*, PyObject* o, const char* name, ArrayArg& out);

PyObject* not_contiguous();
PyObject* nthreads_too_many(uint64_t n);
// The checks a cid batch makes before any work, in order: the profile, the
// array's layout, the thread count. False with the exception set.
bool cid_batch_ready(const Profile& profile, const ArrayArg& cids, uint64_t nthreads);
// "cell {i}: {error}", raised, for the failing element.
PyObject* element_error(const ElementFailure& f);

}  // namespace zarel::py
