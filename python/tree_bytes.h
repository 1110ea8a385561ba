// The binary forms of trees and indexes in Python: `Tree.to_bytes` and
// `Tree.from_bytes`, and the bytes-like argument the readers take.
#pragma once

#include <cstdint>
#include <span>

#include "module.h"

namespace zarel::py {

// Any object with the buffer protocol (bytes, bytearray, memoryview, mmap),
// read in place and held exported, so it cannot be resized, until the local goes.
struct BytesLike {
  Py_buffer view{};
  bool held = false;
  BytesLike() = default;
  BytesLike(const BytesLike&) = delete;
  BytesLike& operator=(const BytesLike&) = delete;
  ~BytesLike() {
    if (held) PyBuffer_Release(&view);
  }
  std::span<const uint8_t> bytes() const {
    return {static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len)};
  }
};
bool convert(ModuleState*, PyObject* o, const char* name, BytesLike& out);

PyObject* bytes_of(const std::vector<uint8_t>& data);

// Methods of Tree, for its method table.
PyObject* tree_to_bytes(PyObject* self, PyObject*);
PyObject* tree_from_bytes(PyObject* cls, PyObject* args, PyObject* kwargs);
extern const char to_bytes_doc[], from_bytes_doc[];

}  // namespace zarel::py
