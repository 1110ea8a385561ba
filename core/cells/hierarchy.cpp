#include "cells/hierarchy.h"

#include <limits>

namespace zarel {

uint64_t pow_u64(uint64_t a, uint32_t e) {
  uint64_t r = 1;
  while (e) {
    if (e & 1) r *= a;
    a *= a;
    e >>= 1;
  }
  return r;
}

uint32_t Hierarchy::deepest() const {
  // Grow (a + b) * a^L while the next factor keeps it below 2^64.
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t v = uint64_t{a} + b;
  uint32_t level = 0;
  while (v <= kMax / a) {
    v *= a;
    ++level;
  }
  return level;
}

uint32_t Hierarchy::level_of(uint64_t v) const {
  // Count digits by multiplying up (cheaper than dividing down, this runs per cid).
  uint32_t digits = 1;
  for (uint64_t p = a; p <= v; p *= a) {
    ++digits;
    if (p > std::numeric_limits<uint64_t>::max() / a) break;
  }
  return digits < 2 ? 0 : digits - 2;
}

Result<uint32_t> Hierarchy::check(uint64_t cid, std::optional<uint32_t> limit) const {
  if (cid < a) return invalid("not a cid: " + std::to_string(cid));
  uint32_t level = level_of(cid);
  uint64_t block = cid / pow_u64(a, level);
  if (block < a || block >= uint64_t{a} + b)
    return invalid("cid " + std::to_string(cid) + " names base " + std::to_string(block - a) +
                   ", outside [0, " + std::to_string(b) + ")");
  if (uint32_t max = deepest(); level > max)
    return invalid("cid " + std::to_string(cid) + " is at level " + std::to_string(level) +
                   ", deeper than the deepest level, " + std::to_string(max));
  if (limit && level > *limit)
    return invalid("cid " + std::to_string(cid) + " is at level " + std::to_string(level) +
                   ", deeper than " + std::to_string(*limit));
  return level;
}

Result<uint64_t> Hierarchy::cid(std::span<const uint32_t> path) const {
  if (path.empty()) return invalid("empty path");
  if (path[0] >= b)
    return invalid("base " + std::to_string(path[0]) + " out of range [0, " + std::to_string(b) + ")");
  if (uint32_t max = deepest(); path.size() - 1 > max)
    return invalid("path of " + std::to_string(path.size() - 1) +
                   " digits is deeper than the deepest level, " + std::to_string(max));
  uint64_t c = uint64_t{a} + path[0];
  for (uint32_t d : path.subspan(1)) {
    if (d >= a)
      return invalid("digit " + std::to_string(d) + " out of range [0, " + std::to_string(a) + ")");
    c = c * a + d;
  }
  return c;
}

Result<Path> Hierarchy::path(uint64_t cid) const {
  ZAREL_TRY(uint32_t level, check(cid));
  Path p;
  p.size = level + 1;
  with_constant<9>(a, [&](auto base) {
    for (uint32_t i = level; i >= 1; --i) {
      p.entry[i] = static_cast<uint32_t>(cid % base);
      cid /= base;
    }
  });
  p.entry[0] = static_cast<uint32_t>(cid - a);
  return p;
}

bool Hierarchy::is_ancestor(uint64_t ancestor, uint64_t cid) const {
  uint32_t la = level_of(ancestor), lc = level_of(cid);
  if (lc < la) return false;
  for (uint32_t i = la; i < lc; ++i) cid /= a;
  return cid == ancestor;
}

std::string Hierarchy::debug() const {
  return "Hierarchy { a: " + std::to_string(a) + ", b: " + std::to_string(b) + " }";
}

std::string path_to_suid(const Path& path) {
  // Letters exist for the six rHEALPix base cells only; callers hold other hierarchies back.
  ZAREL_ASSERT(path.size > 0 && path.base() < kSuidLetters.size());
  std::string s;
  s.reserve(path.size);
  s += kSuidLetters[path.base()];
  for (uint32_t d : path.digits()) s += static_cast<char>('0' + d);
  return s;
}

Result<Path> suid_to_path(std::string_view suid) {
  if (suid.empty()) return invalid("empty suid");
  auto base = kSuidLetters.find(suid[0]);
  if (base == std::string_view::npos)
    return invalid("unknown base cell " + quote_char(static_cast<unsigned char>(suid[0])));
  for (char ch : suid.substr(1))
    if (ch < '0' || ch > '9') return invalid("bad suid digit " + quote_char(static_cast<unsigned char>(ch)));
  // Hierarchy::cid refuses the same length; checked here so the fixed array never overflows.
  if (suid.size() > kMaxPath)
    return invalid("path of " + std::to_string(suid.size() - 1) +
                   " digits is deeper than the deepest level, " + std::to_string(kRhealpix.deepest()));
  Path p;
  p.push(static_cast<uint32_t>(base));
  for (char ch : suid.substr(1)) p.push(static_cast<uint32_t>(ch - '0'));
  return p;
}

Result<std::string> cid_to_suid(uint64_t cid) {
  ZAREL_TRY(Path p, kRhealpix.path(cid));
  return path_to_suid(p);
}

Result<uint64_t> suid_to_cid(std::string_view suid) {
  ZAREL_TRY(Path p, suid_to_path(suid));
  return kRhealpix.cid(p.span());
}

}  // namespace zarel
