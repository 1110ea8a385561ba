// The core's JSON value: numbers stay u64, i64 or f64; objects iterate and are
// written in ascending byte order of their keys (std::map ordering).
//
// Reading and writing have two roads with one outcome. The general road is the
// JSON library's own reader and writer and takes every document. The direct road
// reads and writes the ASCII documents that the module itself exchanges with the
// interpreter's json module in one pass, without the library's per-token
// machinery; whatever it is not sure of (any fault, a non-ASCII byte, a number
// that does not read back exactly) goes down the general road, so the value, the
// number kinds, the key order and every error text are those of the general road.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "base/error.h"

namespace zarel {

using Json = nlohmann::json;

inline constexpr int kMaxJsonDepth = 128;

// Parses a document nested at most 128 levels deep; the error names the fault
// with its line and column.
Result<Json> parse_json(std::string_view text);
// Compact text, keys in ascending order.
std::string write_json(const Json& value);

// The general road of each; same results, kept apart so tests can hold the two against each other.
Result<Json> parse_json_general(std::string_view text);
std::string write_json_general(const Json& value);

// Empties `value` without allocating. The library's own destructor first moves
// a container's items into a new vector, which fails once memory is exhausted,
// and a failure inside a destructor ends the process; so a value that may be
// large is released this way before it dies, whichever way its scope ends.
// Recursion is as deep as the value's nesting, which every reader bounds.
void release_json(Json& value) noexcept;

// Releases a value when the scope that made it ends, by return or by exception.
class ReleaseJson {
 public:
  explicit ReleaseJson(Json& value) : value_(value) {}
  ~ReleaseJson() { release_json(value_); }
  ReleaseJson(const ReleaseJson&) = delete;
  ReleaseJson& operator=(const ReleaseJson&) = delete;

 private:
  Json& value_;
};

// Member lookup that never throws: null when `value` is not an object or lacks `key`.
const Json* member(const Json& value, std::string_view key);

}  // namespace zarel
