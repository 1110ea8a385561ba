// The fields that transcripts and opening records share on the wire: the shape
// keys "A", "B", "D" and unsigned members.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "base/error.h"
#include "base/json.h"

namespace zarel {

// Transcripts and openings list every base cell. Past this many they are
// refused before any work: at hundreds of bytes per base cell once they are
// Python objects, they would be out of all proportion to the trees.
inline constexpr uint32_t kMaxListedBases = uint32_t{1} << 20;

// The shape keys "A", "B", "D" of a transcript or opening record.
struct Shape {
  uint32_t A, B, D;
};
Result<Shape> wire_shape(const Json& value);
bool valid_shape(uint32_t A, uint32_t B, uint32_t D);

// The unsigned value of `value[key]`, or nothing when absent or of another kind.
std::optional<uint64_t> unsigned_member(const Json& value, std::string_view key);

}  // namespace zarel
