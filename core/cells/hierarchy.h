// Cell identifiers: a cid written in base `a` is the leading block `a + base`
// followed by one child digit per level. Paths, levels, ancestry and suids.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

#include "base/error.h"

namespace zarel {

// The deepest level of any valid hierarchy is below 64 (a >= 2 halves 2^64 at
// most 62 times after the two-digit block), so a path fits a fixed array and
// walking one allocates nothing.
inline constexpr uint32_t kMaxPath = 64;

struct Path {
  uint32_t size = 0;
  std::array<uint32_t, kMaxPath> entry{};

  uint32_t base() const { return entry[0]; }
  uint32_t level() const { return size - 1; }
  std::span<const uint32_t> digits() const { return {entry.data() + 1, size - 1}; }
  std::span<const uint32_t> span() const { return {entry.data(), size}; }
  void push(uint32_t v) { entry[size++] = v; }
  void pop() { --size; }
};

// Calls f with v as a compile-time constant when it equals K, so that division
// by the common aperture (9) or side (3) compiles to a multiplication; otherwise
// with the run-time value. Hot loops divide by these once per level.
template <uint64_t K, class F>
decltype(auto) with_constant(uint64_t v, F&& f) {
  if (v == K) return f(std::integral_constant<uint64_t, K>{});
  return f(v);
}

// a^e in wrapping 64-bit arithmetic by repeated squaring; callers keep e
// within what fits (never past the deepest level).
uint64_t pow_u64(uint64_t a, uint32_t e);

struct Hierarchy {
  uint32_t a = 9;  // aperture: children per cell
  uint32_t b = 6;  // number of base cells

  friend bool operator==(const Hierarchy&, const Hierarchy&) = default;

  // Largest L with (a + b) * a^L < 2^64.
  uint32_t deepest() const;
  // Number of base-a digits of v minus 2; 0 for v below a.
  uint32_t level_of(uint64_t v) const;
  Result<uint32_t> check(uint64_t cid, std::optional<uint32_t> limit = std::nullopt) const;
  Result<uint64_t> cid(std::span<const uint32_t> path) const;
  Result<Path> path(uint64_t cid) const;
  bool is_ancestor(uint64_t ancestor, uint64_t cid) const;
  // "Hierarchy { a: 9, b: 6 }"
  std::string debug() const;
};

inline constexpr Hierarchy kRhealpix{9, 6};

// The letter of each rHEALPix base cell in a suid, base 0 first.
inline constexpr std::string_view kSuidLetters = "NOPQRS";

// REQUIRES: a path of the (9, 6) hierarchy.
std::string path_to_suid(const Path& path);
Result<Path> suid_to_path(std::string_view suid);
Result<std::string> cid_to_suid(uint64_t cid);
Result<uint64_t> suid_to_cid(std::string_view suid);

}  // namespace zarel
