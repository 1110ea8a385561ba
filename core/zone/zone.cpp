#include "zone/zone.h"

#include <cmath>
#include <limits>
#include <string>

namespace zarel {

namespace {

constexpr uint64_t kMaxU64 = std::numeric_limits<uint64_t>::max();
constexpr uint64_t kMaxSubzones = uint64_t{1} << 30;

std::string str(uint64_t v) { return std::to_string(v); }

bool mul_overflows(uint64_t a, uint64_t b, uint64_t& out) { return __builtin_mul_overflow(a, b, &out); }

}  // namespace

// The digits interleave the base-side digits of row and column.
uint64_t cell_at_unchecked(const Hierarchy& h, uint64_t s, uint32_t base, uint32_t level, uint64_t row, uint64_t col) {
  // Digits from the finest up: digit k (coarse to fine) weighs a^(level - k).
  uint64_t cid = 0, weight = 1;
  with_constant<3>(s, [&](auto side) {
    for (uint32_t k = 0; k < level; ++k) {
      cid += weight * (side * (row % side) + col % side);
      row /= side;
      col /= side;
      weight *= h.a;
    }
  });
  return cid + (uint64_t{h.a} + base) * weight;
}

Result<uint64_t> block_side(const Hierarchy& h) {
  auto root = static_cast<uint64_t>(std::llround(std::sqrt(static_cast<double>(h.a))));
  if (root * root != h.a)
    return invalid("aperture " + str(h.a) + " is not a square; cells have no row and column");
  return root;
}

Result<uint64_t> base_cell_rows(const Hierarchy& h, uint32_t level) {
  ZAREL_TRY(uint64_t s, block_side(h));
  if (s < 2) return level == 0 ? 1 : s;  // degenerate apertures never overflow; don't loop
  uint64_t n = 1;
  for (uint32_t i = 0; i < level; ++i)
    if (mul_overflows(n, s, n)) return invalid("level " + str(level) + " overflows");
  return n;
}

Result<Position> position(const Hierarchy& h, uint64_t cid) {
  ZAREL_TRY(uint64_t s, block_side(h));
  ZAREL_TRY(Path p, h.path(cid));
  Position pos{p.base(), p.level(), 0, 0};
  with_constant<3>(s, [&](auto side) {
    for (uint32_t d : p.digits()) {
      pos.row = pos.row * side + d / side;
      pos.col = pos.col * side + d % side;
    }
  });
  return pos;
}

Result<uint64_t> cell_at(const Hierarchy& h, uint32_t base, uint32_t level, uint64_t row, uint64_t col) {
  if (uint32_t max = h.deepest(); level > max)
    return invalid("level " + str(level) + " is deeper than the deepest level, " + str(max));
  ZAREL_TRY(uint64_t s, block_side(h));
  ZAREL_TRY(uint64_t n, base_cell_rows(h, level));
  if (base >= h.b) return invalid("base " + str(base) + " out of range [0, " + str(h.b) + ")");
  if (row >= n || col >= n) {
    // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on the chained operator+.
    std::string m = "(";
    m += str(row);
    m += ", ";
    m += str(col);
    m += ") outside a ";
    m += str(n);
    m += "x";
    m += str(n);
    m += " base cell at level ";
    m += str(level);
    return invalid(std::move(m));
  }
  return cell_at_unchecked(h, s, base, level, row, col);
}

Result<uint64_t> subzone_at(const Hierarchy& h, uint64_t ancestor, uint32_t depth, uint64_t index) {
  ZAREL_TRY(Position pos, position(h, ancestor));
  ZAREL_TRY(uint64_t m, base_cell_rows(h, depth));
  uint64_t count;
  if (mul_overflows(m, m, count)) count = kMaxU64;
  if (index >= count)
    return invalid("index " + str(index) + " outside the " + str(count) + " sub-zones at depth " + str(depth));
  uint64_t row0, col0;
  if (mul_overflows(pos.row, m, row0) || mul_overflows(pos.col, m, col0))
    return invalid("depth " + str(depth) + " below level " + str(pos.level) + " overflows");
  // A level sum past u32 is far beyond any deepest level; cell_at refuses it by that rule.
  uint64_t level = uint64_t{pos.level} + depth;
  if (level > std::numeric_limits<uint32_t>::max())
    return invalid("level " + str(level) + " is deeper than the deepest level, " + str(h.deepest()));
  return cell_at(h, pos.base, static_cast<uint32_t>(level), row0 + index / m, col0 + index % m);
}

Result<std::vector<uint64_t>> subzones(const Hierarchy& h, uint64_t ancestor, uint32_t depth) {
  ZAREL_TRY(uint64_t m, base_cell_rows(h, depth));
  uint64_t count;
  if (mul_overflows(m, m, count) || count > kMaxSubzones)
    return invalid("depth " + str(depth) + " has too many sub-zones");
  std::vector<uint64_t> out;
  for (uint64_t i = 0; i < count; ++i) {
    ZAREL_TRY(uint64_t cid, subzone_at(h, ancestor, depth, i));
    // Reserve only once the ancestor is known good, so a bad one costs no allocation.
    if (i == 0) out.reserve(count);
    out.push_back(cid);
  }
  return out;
}

Result<uint64_t> subzone_index(const Hierarchy& h, uint64_t ancestor, uint64_t cid) {
  ZAREL_CHECK(h.check(ancestor));
  ZAREL_CHECK(h.check(cid));
  if (!h.is_ancestor(ancestor, cid)) return invalid(str(ancestor) + " is not an ancestor of " + str(cid));
  ZAREL_TRY(Position a, position(h, ancestor));
  ZAREL_TRY(Position c, position(h, cid));
  ZAREL_TRY(uint64_t m, base_cell_rows(h, c.level - a.level));
  return (c.row - a.row * m) * m + (c.col - a.col * m);
}

namespace {

struct Step {
  uint32_t base;
  int64_t row, col;
};

int64_t mod4(int64_t v) { return ((v % 4) + 4) % 4; }

// Quarter-turns of a position in an s x s square, row 0 at the top.
Step ccw(Step p, int64_t s) { return {p.base, s - 1 - p.col, p.row}; }
Step cw(Step p, int64_t s) { return {p.base, p.col, s - 1 - p.row}; }

// Where a position outside base cell `b` by one coordinate, d = 0, 1, ... cells
// beyond the edge, continues across the fold; at d = 0 the neighbour rules.
Step halo_fold(uint32_t b, int64_t r, int64_t c, int64_t n, int64_t ns, int64_t ss) {
  auto equatorial = [](int64_t k) { return static_cast<uint32_t>(mod4(k) + 1); };
  if (b >= 1 && b <= 4) {
    if (c < 0) return {equatorial(int64_t{b} - 2), r, c + n};
    if (c >= n) return {equatorial(b), r, c - n};
    if (r < 0) {
      Step p{0, r + n, c};
      for (int64_t k = mod4(int64_t{b} - 1 - ns); k > 0; --k) p = ccw(p, n);
      return p;
    }
    Step p{5, r - n, c};
    for (int64_t k = mod4(int64_t{b} - 1 - ss); k > 0; --k) p = cw(p, n);
    return p;
  }
  if (b == 0) {
    if (r >= n) return {equatorial(ns), r - n, c};
    if (c >= n) return {equatorial(1 + ns), c - n, n - 1 - r};
    if (r < 0) return {equatorial(2 + ns), -1 - r, n - 1 - c};
    return {equatorial(3 + ns), -1 - c, r};
  }
  if (r < 0) return {equatorial(ss), r + n, c};
  if (c >= n) return {equatorial(1 + ss), 2 * n - 1 - c, r};
  if (r >= n) return {equatorial(2 + ss), 2 * n - 1 - r, n - 1 - c};
  return {equatorial(3 + ss), c + n, n - 1 - r};
}

}  // namespace

Position step_unchecked(const Position& p, Direction d, uint64_t span, uint32_t ns, uint32_t ss) {
  // A level within the deepest one keeps span^2 below 2^64, so span fits i64.
  auto s = static_cast<int64_t>(span);
  constexpr int64_t kSteps[4][2] = {{-1, 0}, {0, 1}, {1, 0}, {0, -1}};
  int64_t r = static_cast<int64_t>(p.row) + kSteps[d][0];
  int64_t c = static_cast<int64_t>(p.col) + kSteps[d][1];
  Step to{p.base, r, c};
  if (r < 0 || r >= s || c < 0 || c >= s) to = halo_fold(p.base, r, c, s, ns, ss);
  return {to.base, p.level, static_cast<uint64_t>(to.row), static_cast<uint64_t>(to.col)};
}

Result<std::array<uint64_t, 4>> neighbours(const Profile& profile, uint64_t cid) {
  ZAREL_CHECK(profile.validate());
  ZAREL_CHECK(profile.check_layout());
  Hierarchy h = profile.hierarchy();
  ZAREL_TRY(Position pos, position(h, cid));
  ZAREL_TRY(uint64_t s, base_cell_rows(h, pos.level));
  std::array<uint64_t, 4> out{};
  for (uint32_t d = 0; d < 4; ++d) {
    Position to = step_unchecked(pos, static_cast<Direction>(d), s, profile.north_square, profile.south_square);
    ZAREL_TRY(out[d], cell_at(h, to.base, pos.level, to.row, to.col));
  }
  return out;
}

namespace {

constexpr uint64_t kMaxRaster = uint64_t{1} << 30;
// Keeps a halo index (six N x N int64 entries) under 8 GiB.
constexpr uint64_t kMaxHaloSquare = 178956971;

Result<uint64_t> raster_side(const Hierarchy& h, uint32_t level) {
  ZAREL_TRY(uint64_t n, base_cell_rows(h, level));
  uint64_t cells;
  if (mul_overflows(n, n, cells) || mul_overflows(cells, h.b, cells) || cells > kMaxRaster)
    return invalid("a raster at level " + str(level) + " is too large");
  return n;
}

}  // namespace

Result<std::vector<uint64_t>> raster_cells(const Hierarchy& h, uint32_t level) {
  if (uint32_t max = h.deepest(); level > max)
    return invalid("level " + str(level) + " is deeper than the deepest level, " + str(max));
  ZAREL_TRY(uint64_t s, block_side(h));
  ZAREL_TRY(uint64_t n, raster_side(h, level));
  std::vector<uint64_t> out;
  out.reserve(n * n * h.b);
  for (uint32_t base = 0; base < h.b; ++base)
    for (uint64_t row = 0; row < n; ++row)
      for (uint64_t col = 0; col < n; ++col) out.push_back(cell_at_unchecked(h, s, base, level, row, col));
  return out;
}

Result<std::vector<int64_t>> raster_index(const Hierarchy& h, std::span<const uint64_t> cids) {
  std::vector<int64_t> out;
  if (cids.empty()) return out;
  ZAREL_TRY(uint32_t level, h.check(cids[0]));
  ZAREL_TRY(uint64_t n, raster_side(h, level));
  out.reserve(cids.size());
  for (uint64_t cid : cids) {
    ZAREL_TRY(Position p, position(h, cid));
    if (p.level != level)
      return invalid("cid " + str(cid) + " is at level " + str(p.level) + ", the first at " + str(level));
    out.push_back(static_cast<int64_t>(p.base * n * n + p.row * n + p.col));
  }
  return out;
}

Result<std::vector<int64_t>> halo_index(const Profile& profile, uint32_t level, uint32_t width) {
  ZAREL_CHECK(profile.validate());
  ZAREL_CHECK(profile.check_layout());
  Hierarchy h = profile.hierarchy();
  ZAREL_CHECK(block_side(h));
  ZAREL_TRY(uint64_t n, base_cell_rows(h, level));
  if (width > n)
    return invalid("a halo of " + str(width) + " is wider than a base cell of " + str(n) + " at level " + str(level));
  uint64_t padded = n + 2 * uint64_t{width}, square;
  if (mul_overflows(padded, padded, square) || square >= kMaxHaloSquare)
    return invalid("a halo index at level " + str(level) + " is too large");
  // Below the square limit n < 2^14, so every index fits comfortably in i64.
  auto sn = static_cast<int64_t>(n), w = static_cast<int64_t>(width), big = static_cast<int64_t>(padded);
  std::vector<int64_t> out;
  out.reserve(6 * square);
  for (uint32_t b = 0; b < 6; ++b)
    for (int64_t pr = 0; pr < big; ++pr)
      for (int64_t pc = 0; pc < big; ++pc) {
        int64_t r = pr - w, c = pc - w;
        bool row_in = r >= 0 && r < sn, col_in = c >= 0 && c < sn;
        Step at{b, r, c};
        if (!row_in && !col_in) {
          out.push_back(-1);
          continue;
        }
        if (!row_in || !col_in) at = halo_fold(b, r, c, sn, profile.north_square, profile.south_square);
        out.push_back(int64_t{at.base} * sn * sn + at.row * sn + at.col);
      }
  return out;
}

}  // namespace zarel
