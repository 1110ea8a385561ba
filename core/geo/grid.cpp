#include "geo/grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "geo/ellipsoid.h"
#include "geo/rhealpix.h"

namespace zarel {

namespace geo {

namespace {

// side^level, or nothing when it overflows 64 bits.
// Powers of the common side 3 that fit 64 bits, so the per-point lookup needs no loop.
constexpr auto kPowersOf3 = [] {
  std::array<uint64_t, 41> p{};
  p[0] = 1;
  for (size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 3;
  return p;
}();

std::optional<uint64_t> checked_pow(uint64_t side, uint32_t level) {
  if (side == 3) {
    if (level < kPowersOf3.size()) return kPowersOf3[level];
    return std::nullopt;
  }
  uint64_t n = 1;
  for (uint32_t i = 0; i < level; ++i) {
    if (__builtin_mul_overflow(n, side, &n)) return std::nullopt;
    if (side < 2) break;
  }
  return n;
}

// 1 / side^level in floating point; exact power while it fits 64 bits, then
// repeated division until it underflows to 0.
double inverse_power(uint32_t side, uint32_t level) {
  if (auto n = checked_pow(side, level)) return 1.0 / static_cast<double>(*n);
  double p = 1.0;
  for (uint32_t i = 0; i < level && p != 0; ++i) p /= side;
  return p;
}

// Replaces a fraction of exactly 1 (a point on a closed far edge) by the
// centre of the last row of the shallowest level with cells of at most 1 m^2.
double pull_inside(const Grid& g, double fraction) {
  if (fraction != 1.0) return fraction;
  double k = std::ceil(plog(g.r_auth * g.r_auth * 2 * kPi / 3) / (2 * plog(g.side)));
  // Degenerate radii or sides give a NaN or infinite K; keep the cast defined.
  if (!(k >= 0)) k = 0;
  if (k > 64) k = 64;
  return 1 - 0.5 * inverse_power(g.side, static_cast<uint32_t>(k));
}

}  // namespace

double wrap_lon(double lon) {
  if (lon < -180 || lon >= 180) {
    lon = std::fmod(lon, 360);
    if (lon < 0) lon += 360;
    if (lon >= 180) lon -= 360;
  }
  return lon;
}

std::optional<GridCell> cell_from_lonlat(const Grid& g, uint32_t level, double lon, double lat) {
  if (!std::isfinite(lon) || !(std::fabs(lat) <= 90)) return std::nullopt;
  double d = wrap_lon(lon - g.lon_0);
  XY p = rhealpix_ellipsoid(g.north_square, g.south_square, true, d * kPi / 180, lat * kPi / 180, g.auth);
  return cell_from_planar(g, level, p.x * g.r_auth, p.y * g.r_auth);
}

std::optional<GridCell> cell_from_planar(const Grid& g, uint32_t level, double x, double y) {
  double r = g.r_auth;
  double x0 = (g.north_square * kPi / 2 - kPi) * r;
  double x5 = (g.south_square * kPi / 2 - kPi) * r;
  uint32_t base;
  // The polar squares are open only on the edge they share with an equatorial
  // square; their three outer edges are closed, so that every point of the
  // sphere lands in a cell.
  if (kPi * r / 4 < y && y <= 3 * kPi * r / 4 && x0 <= x && x <= x0 + kPi * r / 2) {
    base = 0;
  } else if (-3 * kPi * r / 4 <= y && y < -kPi * r / 4 && x5 <= x && x <= x5 + kPi * r / 2) {
    base = 5;
  } else if (-kPi * r / 4 <= y && y <= kPi * r / 4) {
    if (-kPi * r <= x && x < -kPi * r / 2) base = 1;
    else if (-kPi * r / 2 <= x && x < 0) base = 2;
    else if (0 <= x && x < kPi * r / 2) base = 3;
    else if (kPi * r / 2 <= x && x < kPi * r) base = 4;
    else return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (level == 0) return GridCell{base, 0, 0};
  // On a closed far edge rounding can put a fraction just past 1.
  double u = pull_inside(g, std::min(std::fabs(x - g.ul[base].x) / (kPi * r / 2), 1.0));
  double v = pull_inside(g, std::min(std::fabs(y - g.ul[base].y) / (kPi * r / 2), 1.0));
  auto n = checked_pow(g.side, level);
  if (!n) return std::nullopt;
  double nf = static_cast<double>(*n);
  // Compare before converting: a fraction past 1 from rounding must not wrap the cast.
  double rowf = std::trunc(v * nf), colf = std::trunc(u * nf);
  if (!(rowf < nf && colf < nf)) return std::nullopt;
  auto row = static_cast<uint64_t>(rowf), col = static_cast<uint64_t>(colf);
  if (row >= *n || col >= *n) return std::nullopt;
  return GridCell{base, row, col};
}

Status check_path(const Grid& g, const Path& path) {
  if (g.n_base != 6) return invalid("the rHEALPix layout has 6 base cells, the profile has " + std::to_string(g.n_base));
  if (path.size == 0) return invalid("empty path");
  if (path.base() >= 6) return invalid("base " + std::to_string(path.base()) + " out of range [0, 6)");
  return ok();
}

XY ul_vertex(const Grid& g, const Path& path) {
  ZAREL_ASSERT(path.size > 0 && path.base() < g.ul.size());
  GridCell c = cell_position(g, path);
  return grid_vertex(g, c.base, path.level(), c.row, c.col);
}

GridCell cell_position(const Grid& g, const Path& path) {
  uint64_t row = 0, col = 0;
  with_constant<3>(g.side, [&](auto side) {
    for (uint32_t d : path.digits()) {
      row = row * side + d / side;
      col = col * side + d % side;
    }
  });
  return {path.base(), row, col};
}

XY grid_vertex(const Grid& g, uint32_t base, uint32_t level, uint64_t row, uint64_t col) {
  double p = level == 0 ? 1.0 : inverse_power(g.side, level);
  double w = g.r_auth * kPi / 2;
  const XY& ul = g.ul[base];
  auto n = checked_pow(g.side, level);
  // A far edge is the whole side, so that it is the next base cell's near edge.
  auto offset = [&](uint64_t k) { return n && k == *n ? w : w * (static_cast<double>(k) * p); };
  return {ul.x + offset(col), ul.y - offset(row)};
}

int shape(const Grid& g, const Path& path) {
  uint32_t base = path.base();
  if (base != 0 && base != 5) return 0;
  if (path.level() == 0) return 1;
  uint32_t s = g.side;
  bool centre = s % 2 == 1, main = true, anti = true;
  for (uint32_t d : path.digits()) {
    centre = centre && d == (s * s - 1) / 2;
    main = main && d / s == d % s;
    anti = anti && d / s + d % s == s - 1;
  }
  if (centre) return 1;
  return main || anti ? 2 : 3;
}

int pole_corner(const Grid& g, const Path& path) {
  uint32_t s = g.side, half = s / 2;
  if ((path.base() != 0 && path.base() != 5) || path.level() == 0 || s == 0 || s % 2 != 0) return -1;
  // The cell's row is half * side^(L-1) - 1 or half * side^(L-1): a first row
  // digit either side of the middle, every later one at the edge toward it.
  // Likewise the column.
  auto digits = path.digits();
  bool above = digits[0] / s < half, left = digits[0] % s < half;
  uint32_t row_in = above ? half - 1 : half, col_in = left ? half - 1 : half;
  uint32_t row_on = above ? s - 1 : 0, col_on = left ? s - 1 : 0;
  if (digits[0] / s != row_in || digits[0] % s != col_in) return -1;
  for (uint32_t d : digits.subspan(1))
    if (d / s != row_on || d % s != col_on) return -1;
  // The corner toward the middle of the base cell.
  if (above) return left ? 2 : 3;
  return left ? 1 : 0;
}

XY nucleus_planar(const Grid& g, const Path& path) {
  XY ul = ul_vertex(g, path);
  double h = g.r_auth * kPi / 2 * inverse_power(g.side, path.level()) * 0.5;
  return {ul.x + h, ul.y - h};
}

Result<LonLat> to_lonlat(const Grid& g, double x, double y, bool rearrange, LatitudeMemo* memo) {
  auto ll =
      rhealpix_ellipsoid_inverse(g.north_square, g.south_square, rearrange, x / g.r_auth, y / g.r_auth, g.auth, memo);
  if (!ll) return std::move(ll).error();
  return LonLat{wrap_lon(ll->lon * 180 / kPi + g.lon_0), ll->lat * 180 / kPi};
}

Result<LonLat> nucleus(const Grid& g, const Path& path, LatitudeMemo* memo) {
  ZAREL_CHECK(check_path(g, path));
  XY c = nucleus_planar(g, path);
  return to_lonlat(g, c.x, c.y, true, memo);
}

namespace {

// Row and column (each below 27) within a block of 27 x 27 cells of the three
// aperture-9 digits of v, least significant finest.
struct ThreeDigits {
  std::array<std::array<uint8_t, 2>, 729> rc{};
  constexpr ThreeDigits() {
    for (uint32_t v = 0; v < 729; ++v) {
      uint32_t row = 0, col = 0, weight = 1;
      for (uint32_t d = v, k = 0; k < 3; ++k, d /= 9, weight *= 3) {
        row += d % 9 / 3 * weight;
        col += d % 9 % 3 * weight;
      }
      rc[v] = {static_cast<uint8_t>(row), static_cast<uint8_t>(col)};
    }
  }
};
constexpr ThreeDigits kThreeDigits;

}  // namespace

CidNuclei::CidNuclei(const Grid& g, Hierarchy h)
    : g_(g), h_(h), direct_(h.a == 9 && h.b == 6 && g.side == 3 && g.n_base == 6), deepest_(h.deepest()) {
  uint64_t p = 1;
  for (uint32_t k = 0; k < kPowers; ++k, p *= 9) {
    pow9_[k] = p;
    // The same expressions as ul_vertex and nucleus_planar, so the bits agree.
    scale_[k] = k == 0 ? 1.0 : inverse_power(3, k);
    half_[k] = g.r_auth * kPi / 2 * inverse_power(3, k) * 0.5;
  }
}

Result<LonLat> CidNuclei::through_path(uint64_t cid) const {
  ZAREL_TRY(Path path, h_.path(cid));
  return nucleus(g_, path);
}

Result<LonLat> CidNuclei::operator()(uint64_t cid) const {
  if (!direct_) return through_path(cid);
  // Level L: the cid has L + 2 base-9 digits, the first two naming the base cell.
  uint32_t level = 0;
  while (level + 2 < kPowers && cid >= pow9_[level + 2]) ++level;
  if (level + 2 >= kPowers || level > deepest_) return through_path(cid);
  uint64_t block = cid / pow9_[level];
  if (block < 9 || block >= 15) return through_path(cid);
  // Three digits at a time, finest first; digits above the level are zeros.
  uint64_t rest = cid - block * pow9_[level], row = 0, col = 0, weight = 1;
  for (uint32_t i = 0; i < level; i += 3, weight *= 27, rest /= 729) {
    const auto& t = kThreeDigits.rc[rest % 729];
    row += t[0] * weight;
    col += t[1] * weight;
  }
  const XY& ul = g_.ul[block - 9];
  double w = g_.r_auth * kPi / 2, p = scale_[level], h = half_[level];
  double x = ul.x + w * (static_cast<double>(col) * p), y = ul.y - w * (static_cast<double>(row) * p);
  return to_lonlat(g_, x + h, y - h, true);
}

double cell_area(const Grid& g, uint32_t level) {
  double w = g.r_auth * kPi / 2 * inverse_power(g.side, level);
  return w * w * (8 / kThreePi);
}


bool is_polar(const Path& path) { return path.base() == 0 || path.base() == 5; }

namespace {

double cell_width(const Grid& g, const Path& path) {
  return g.r_auth * kPi / 2 * inverse_power(g.side, path.level());
}

// IEEE total order key of a double: -0.0 sorts before +0.0.
int64_t total_order_key(double v) {
  int64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits < 0 ? bits ^ std::numeric_limits<int64_t>::max() : bits;
}

}  // namespace

Result<std::vector<LonLat>> cell_ring(const Grid& g, const Path& path, uint32_t n) {
  ZAREL_CHECK(check_path(g, path));
  uint32_t m = n < 2 ? 2 : n;
  double w = cell_width(g, path);
  double step = w / (m - 1);
  // Corners are grid vertices, so that neighbouring cells share their corners
  // bit for bit; the points between them step along the edges.
  GridCell c = cell_position(g, path);
  uint32_t level = path.level();
  const XY corner[4] = {grid_vertex(g, c.base, level, c.row, c.col), grid_vertex(g, c.base, level, c.row, c.col + 1),
                        grid_vertex(g, c.base, level, c.row + 1, c.col + 1),
                        grid_vertex(g, c.base, level, c.row + 1, c.col)};
  const double dir[4][2] = {{1, 0}, {0, -1}, {-1, 0}, {0, 1}};
  bool rearrange = is_polar(path);
  std::vector<LonLat> ring;
  ring.reserve(4 * (m - 1) + 1);
  auto add = [&](double x, double y) -> Status {
    ZAREL_TRY(LonLat ll, to_lonlat(g, x, y, rearrange));
    ring.push_back(ll);
    return ok();
  };
  for (int e = 0; e < 4; ++e) {
    const XY& p = corner[e];
    for (uint32_t k = 0; k + 1 < m; ++k) ZAREL_CHECK(add(p.x + dir[e][0] * (k * step), p.y + dir[e][1] * (k * step)));
  }
  ring.push_back(ring.front());
  return ring;
}

std::vector<LonLat> cap_polygon(std::vector<LonLat> points, bool north) {
  // Insertion sort: stable, allocation-free, and rings are short.
  for (size_t i = 1; i < points.size(); ++i) {
    LonLat v = points[i];
    size_t j = i;
    for (; j > 0 && total_order_key(points[j - 1].lon) > total_order_key(v.lon); --j) points[j] = points[j - 1];
    points[j] = v;
  }
  std::vector<LonLat> out;
  if (points.empty()) return out;
  const LonLat first = points.front(), last = points.back();
  double gap = first.lon + 360 - last.lon;
  double lat180 = gap > 0 ? last.lat + (180 - last.lon) / gap * (first.lat - last.lat) : last.lat;
  out.reserve(points.size() + 5);
  if (north) {
    out.push_back({-180, lat180});
    out.insert(out.end(), points.begin(), points.end());
    out.push_back({180, lat180});
    out.push_back({180, 90});
    out.push_back({-180, 90});
    out.push_back({-180, lat180});
  } else {
    out.push_back({180, lat180});
    out.insert(out.end(), points.rbegin(), points.rend());
    out.push_back({-180, lat180});
    out.push_back({-180, -90});
    out.push_back({180, -90});
    out.push_back({180, lat180});
  }
  return out;
}

namespace {
uint32_t points_per_edge(const Path& path, uint32_t n) { return is_polar(path) && n > 2 ? n : 2; }
}  // namespace

uint64_t polygon_size(const Grid& g, const Path& path, uint32_t n) {
  uint64_t ring = 4 * (uint64_t{points_per_edge(path, n)} - 1) + 1;
  if (shape(g, path) == 1) return ring + 4;
  return pole_corner(g, path) >= 0 ? ring + 1 : ring;
}

Result<std::vector<LonLat>> cell_polygon(const Grid& g, const Path& path, uint32_t n) {
  uint32_t per_edge = points_per_edge(path, n);
  ZAREL_TRY(std::vector<LonLat> ring, cell_ring(g, path, per_edge));
  if (int corner = pole_corner(g, path); corner >= 0) {
    // The pole reads as one longitude, but the cell is a quarter cap: its two
    // edges from the pole are meridians, and the pole becomes the segment
    // between them.
    ring.pop_back();
    size_t k = static_cast<size_t>(corner) * (per_edge - 1), size = ring.size();
    double pole = path.base() == 0 ? 90 : -90;
    LonLat from{ring[(k + size - 1) % size].lon, pole}, to{ring[(k + 1) % size].lon, pole};
    ring[k] = from;
    ring.insert(ring.begin() + static_cast<std::ptrdiff_t>(k) + 1, to);
    ring.push_back(ring.front());
  }
  std::reverse(ring.begin(), ring.end());
  if (shape(g, path) != 1) {
    double lo = ring.front().lon, hi = lo;
    for (const LonLat& p : ring) {
      lo = std::min(lo, p.lon);
      hi = std::max(hi, p.lon);
    }
    if (hi - lo > 180)
      for (LonLat& p : ring)
        if (p.lon < 0) p.lon += 360;
    return ring;
  }
  ring.pop_back();
  return cap_polygon(std::move(ring), path.base() == 0);
}

Result<std::vector<LonLat>> boundary3(const Grid& g, const Path& path) {
  ZAREL_CHECK(check_path(g, path));
  double h = cell_width(g, path) / 2;
  XY p = ul_vertex(g, path);
  std::vector<LonLat> out;
  if (!is_polar(path)) {
    double lon[3], lat[3];
    for (int i = 0; i < 3; ++i) {
      ZAREL_TRY(LonLat a, to_lonlat(g, p.x + i * h, p.y, false));
      ZAREL_TRY(LonLat b, to_lonlat(g, p.x, p.y - i * h, false));
      lon[i] = a.lon;
      lat[i] = b.lat;
    }
    out = {{lon[0], lat[0]}, {lon[0], lat[2]}, {lon[1], lat[0]}, {lon[1], lat[2]},
           {lon[2], lat[0]}, {lon[2], lat[2]}, {lon[0], lat[1]}, {lon[2], lat[1]}};
    return out;
  }
  constexpr int kWalk[9][2] = {{0, 0}, {1, 0}, {2, 0}, {2, 1}, {2, 2}, {1, 2}, {0, 2}, {0, 1}, {0, 0}};
  out.reserve(9);
  for (const auto& s : kWalk) {
    ZAREL_TRY(LonLat ll, to_lonlat(g, p.x + s[0] * h, p.y - s[1] * h, true));
    out.push_back(ll);
  }
  return out;
}

}  // namespace geo
}  // namespace zarel
