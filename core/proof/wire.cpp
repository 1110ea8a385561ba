#include "proof/wire.h"

#include "cells/hierarchy.h"

namespace zarel {

std::optional<uint64_t> unsigned_member(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  if (!m || !m->is_number_integer()) return std::nullopt;
  // A parsed document holds non-negative integers as unsigned; one built in code may not.
  if (m->is_number_unsigned()) return m->get_ref<const Json::number_unsigned_t&>();
  auto v = m->get_ref<const Json::number_integer_t&>();
  if (v < 0) return std::nullopt;
  return static_cast<uint64_t>(v);
}

Result<Shape> wire_shape(const Json& value) {
  uint32_t got[3];
  const char* keys[3] = {"A", "B", "D"};
  for (int i = 0; i < 3; ++i) {
    auto v = unsigned_member(value, keys[i]);
    if (!v) return invalid(std::string("missing ") + keys[i]);
    if (*v > UINT32_MAX) return invalid(std::string(keys[i]) + " = " + std::to_string(*v) + " is out of range");
    got[i] = static_cast<uint32_t>(*v);
  }
  uint32_t A = got[0], B = got[1], D = got[2];
  if (A < 2 || A > 4096 || B < 1)
    return invalid("need 2 <= A <= 4096 and B >= 1, got A=" + std::to_string(A) + ", B=" + std::to_string(B));
  uint64_t product = uint64_t{A} * (A - 1);
  if (B > product)
    return invalid("B=" + std::to_string(B) + " > A(A-1)=" + std::to_string(product) +
                   ": the leading block would not be two digits");
  if (uint32_t max = Hierarchy{A, B}.deepest(); D > max)
    return invalid("D = " + std::to_string(D) + " is deeper than the deepest level, " + std::to_string(max));
  return Shape{A, B, D};
}

bool valid_shape(uint32_t A, uint32_t B, uint32_t D) {
  if (A < 2 || A > 4096 || B < 1) return false;
  if (B > uint64_t{A} * (A - 1)) return false;
  return D <= Hierarchy{A, B}.deepest();
}
}  // namespace zarel
