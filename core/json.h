// The core's JSON value: numbers stay u64, i64 or f64; objects iterate and are
// written in ascending byte order of their keys (std::map ordering).
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "error.h"

namespace zarel {

using Json = nlohmann::json;

inline constexpr int kMaxJsonDepth = 128;

// Parses a document nested at most 128 levels deep; the error names the fault
// with its line and column.
Result<Json> parse_json(std::string_view text);
// Compact text, keys in ascending order.
std::string write_json(const Json& value);

// Member lookup that never throws: null when `value` is not an object or lacks `key`.
const Json* member(const Json& value, std::string_view key);

}  // namespace zarel
