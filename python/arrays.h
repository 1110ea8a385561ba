// NumPy arrays across the module boundary without copies: one-dimensional
// array arguments read in place, and results handed to NumPy as the buffer of
// the std::vector that computed them. And the road every batch function
// takes: its checks before any work, its elements run without the interpreter
// lock, the lowest failing element raised, the results handed back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "base/cancel.h"
#include "module.h"
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

// The tuple of two new references, which it takes; null (the exception set)
// when either is.
PyObject* pair_of(PyObject* a, PyObject* b);

// The pair of arrays `(first, second)`, the first reshaped to rows of
// `first_cols` values when that is not 0: a batch's (values, offsets).
template <class A, class B>
PyObject* array_pair(ModuleState* st, std::vector<A>&& first, std::vector<B>&& second, size_t first_cols = 0) {
  auto rows = static_cast<Py_ssize_t>(first_cols ? first.size() / first_cols : 0);
  PyObject* a = to_ndarray(st, std::move(first));
  if (first_cols) a = reshaped(a, rows, static_cast<Py_ssize_t>(first_cols));
  return pair_of(a, a ? to_ndarray(st, std::move(second)) : nullptr);
}

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

// Raises what ended a batch, in order: the pool that could not be built, the
// stopped `cancel` (if any), the lowest failing element (as "{noun} {i}:
// {error}", or its error as it is when `noun` is null). False when it raised.
bool batch_failed(const Runner& run, const Cancel* cancel, const std::optional<ElementFailure>& bad, const char* noun);

// Runs a batch with the interpreter lock released: `work(run)` makes its
// passes through `run`, the Runner of `nthreads`, and gives the lowest failing
// element. False with the exception set (batch_failed) when the batch failed.
template <class Work>
bool run_batch(uint64_t nthreads, const char* noun, Work&& work, const Cancel* cancel = nullptr) {
  std::optional<ElementFailure> bad;
  Runner run{nthreads, {}};
  without_gil([&] { bad = work(run); });
  return !batch_failed(run, cancel, bad, noun);
}

// run_batch of one pass: `element(i) -> Status` for every i in [0, n).
template <class F>
bool run_each(size_t n, uint64_t nthreads, const char* noun, F&& element) {
  return run_batch(nthreads, noun, [&](Runner& run) { return run(0, n, element); });
}

}  // namespace zarel::py
