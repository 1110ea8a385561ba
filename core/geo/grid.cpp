#include "geo/grid.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

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

CellKind cell_kind(const Grid& g, const Path& path) {
  uint32_t base = path.base();
  if (base != 0 && base != 5) return CellKind::Equatorial;
  if (path.level() == 0) return CellKind::HoldsPole;
  uint32_t s = g.side;
  bool centre = s % 2 == 1, main = true, anti = true;
  for (uint32_t d : path.digits()) {
    centre = centre && d == (s * s - 1) / 2;
    main = main && d / s == d % s;
    anti = anti && d / s + d % s == s - 1;
  }
  if (centre) return CellKind::HoldsPole;
  return main || anti ? CellKind::PolarDiagonal : CellKind::PolarOther;
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

namespace {

// The point through the inverse projection, the longitude wrapped into [-180, 180).
bool point_lonlat_into(const Grid& g, double x, double y, bool rearrange, LatitudeMemo* memo, LonLat* out) {
  LonLat ll;
  if (!rhealpix_ellipsoid_inverse_into(g.north_square, g.south_square, rearrange, x / g.r_auth, y / g.r_auth, g.auth,
                                       memo, &ll))
    return false;
  *out = {wrap_lon(ll.lon * 180 / kPi + g.lon_0), ll.lat * 180 / kPi};
  return true;
}

Result<LonLat> point_lonlat(const Grid& g, double x, double y, bool rearrange, LatitudeMemo* memo = nullptr) {
  LonLat out;
  if (!point_lonlat_into(g, x, y, rearrange, memo, &out)) return off_image(x / g.r_auth, y / g.r_auth);
  return out;
}

// `v` itself, or `edge` (of either sign) when within 4 ulps of it.
double onto_edge(double v, double edge) {
  double ulp = std::nextafter(edge, INFINITY) - edge;
  if (std::fabs(std::fabs(v) - edge) <= 4 * ulp) return std::copysign(edge, v);
  return v;
}

}  // namespace

bool to_lonlat_into(const Grid& g, double x, double y, bool rearrange, LatitudeMemo* memo, LonLat* out) {
  LonLat p;
  if (!point_lonlat_into(g, x, y, rearrange, memo, &p)) return false;
  // The cut is written -180, as wrap_lon writes it.
  *out = {wrap_lon(onto_edge(p.lon, 180)), onto_edge(p.lat, 90)};
  return true;
}

Result<LonLat> to_lonlat(const Grid& g, double x, double y, bool rearrange, LatitudeMemo* memo) {
  LonLat out;
  if (!to_lonlat_into(g, x, y, rearrange, memo, &out)) return off_image(x / g.r_auth, y / g.r_auth);
  return out;
}

bool nucleus_into(const Grid& g, XY planar, LatitudeMemo* memo, LonLat* out) {
  return point_lonlat_into(g, planar.x, planar.y, true, memo, out);
}

LevelPlane LevelPlane::make(const Grid& g, uint32_t level) {
  LevelPlane p;
  p.level = level;
  p.fraction = level == 0 ? 1.0 : inverse_power(g.side, level);
  p.half = g.r_auth * kPi / 2 * inverse_power(g.side, level) * 0.5;
  p.width = g.r_auth * kPi / 2 / static_cast<double>(pow_u64(g.side, level));
  return p;
}

Result<LonLat> nucleus(const Grid& g, const Path& path, LatitudeMemo* memo) {
  ZAREL_CHECK(check_path(g, path));
  XY c = nucleus_planar(g, path);
  return point_lonlat(g, c.x, c.y, true, memo);
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
  return point_lonlat(g_, x + h, y - h, true);
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

namespace {

// A vertex on the rim of a polar square named as the corner of the equatorial
// cell there, at the same level; any other vertex unchanged. A corner of the
// square lies on two sides: `side` (an Edge of the square), if given, says
// which one to name it from.
Vertex off_rim(const Grid& g, Vertex v, int side = -1) {
  auto span = checked_pow(g.side, v.level);
  if (!span) return v;
  auto n = static_cast<int64_t>(*span);
  auto row = static_cast<int64_t>(v.row), col = static_cast<int64_t>(v.col);
  if ((v.base == 0 || v.base == 5) && (row == 0 || row == n || col == 0 || col == n)) {
    // The rim of a polar square is the top (bottom) edge of the equatorial
    // squares: turn the point, in half cell sides from the pole, back into the
    // triangle it came from, whose base lies below (above) the pole.
    bool north = v.base == 0;
    int64_t u = 2 * col - n, w = n - 2 * row;
    // The side of the square, as an Edge: top, right, bottom, left.
    if (side < 0) side = w == -n ? 2 : u == n ? 1 : w == n ? 0 : 3;
    constexpr uint32_t kNorth[4] = {2, 1, 0, 3}, kSouth[4] = {0, 1, 2, 3};
    uint32_t wedge = (north ? kNorth : kSouth)[side];
    uint32_t c = ((north ? g.north_square : g.south_square) + wedge) % 4;
    uint32_t turns = north ? (4 - wedge) % 4 : wedge;
    for (uint32_t k = 0; k < turns; ++k) {
      int64_t t = u;
      u = -w;
      w = t;
    }
    v = {c + 1, v.level, north ? 0 : static_cast<uint64_t>(n), static_cast<uint64_t>((u + n) / 2)};
  }
  return v;
}

}  // namespace

Vertex canonical(const Grid& g, Vertex v) {
  v = off_rim(g, v);
  auto span = checked_pow(g.side, v.level);
  if (!span) return v;
  uint64_t n = *span;
  if (v.base >= 1 && v.base <= 4 && v.col == n) v = {v.base % 4 + 1, v.level, v.row, 0};
  for (; v.level > 0 && v.row % g.side == 0 && v.col % g.side == 0; --v.level) {
    v.row /= g.side;
    v.col /= g.side;
  }
  return v;
}

Result<LonLat> vertex_lonlat(const Grid& g, Vertex v) {
  v = canonical(g, v);
  if (v.base == 0 || v.base == 5) {
    XY p = grid_vertex(g, v.base, v.level, v.row, v.col);
    return to_lonlat(g, p.x, p.y, true);
  }
  // In an equatorial square longitude follows the column alone and latitude
  // the row alone: each is named at the coarsest level that has its line, so
  // that all vertices on one meridian (parallel) share its longitude (latitude).
  Vertex c = v, r = v;
  for (; c.level > 0 && c.col % g.side == 0; --c.level) c.col /= g.side;
  for (; r.level > 0 && r.row % g.side == 0; --r.level) r.row /= g.side;
  return to_lonlat(g, grid_vertex(g, v.base, c.level, 0, c.col).x, grid_vertex(g, v.base, r.level, r.row, 0).y, false);
}

bool is_curved(const Grid& g, const Vertex& cell, Edge e) {
  if (cell.base != 0 && cell.base != 5) return false;
  auto span = checked_pow(g.side, cell.level);
  uint64_t last = span ? *span - 1 : 0;
  switch (e) {
    case Edge::kTop: return cell.row != 0;
    case Edge::kRight: return cell.col != last;
    case Edge::kBottom: return cell.row != last;
    case Edge::kLeft: return cell.col != 0;
  }
  return false;
}

Status append_edge(const Grid& g, const Vertex& cell, Edge e, uint32_t m, std::vector<LonLat>& ring, bool rim_points,
                   bool rim_across) {
  // The corners of the edge, in walking order.
  constexpr uint64_t kEnds[4][2][2] = {{{0, 0}, {0, 1}}, {{0, 1}, {1, 1}}, {{1, 1}, {1, 0}}, {{1, 0}, {0, 0}}};
  const auto& ends = kEnds[static_cast<uint32_t>(e)];
  Vertex from{cell.base, cell.level, cell.row + ends[0][0], cell.col + ends[0][1]};
  Vertex to{cell.base, cell.level, cell.row + ends[1][0], cell.col + ends[1][1]};
  ZAREL_TRY(LonLat first, vertex_lonlat(g, from));
  ring.push_back(first);
  bool polar = cell.base == 0 || cell.base == 5;
  if (m <= 2 || !(polar || rim_across)) return ok();
  bool curved = is_curved(g, cell, e);
  if (!curved && !rim_points) return ok();
  // A rim edge's points are placed on the equatorial cell's edge, so that
  // they share its latitude exactly.
  if (polar && !curved) {
    from = off_rim(g, from, static_cast<int>(e));
    to = off_rim(g, to, static_cast<int>(e));
  }
  bool forward = std::pair(from.row, from.col) < std::pair(to.row, to.col);
  const Vertex& lo = forward ? from : to;
  const Vertex& hi = forward ? to : from;
  XY a = grid_vertex(g, lo.base, lo.level, lo.row, lo.col), b = grid_vertex(g, hi.base, hi.level, hi.row, hi.col);
  for (uint32_t k = 1; k + 1 < m; ++k) {
    uint32_t j = forward ? k : m - 1 - k;
    double t = static_cast<double>(j) / static_cast<double>(m - 1);
    ZAREL_TRY(LonLat p, to_lonlat(g, a.x + (b.x - a.x) * t, curved ? a.y + (b.y - a.y) * t : a.y, curved));
    ring.push_back(p);
  }
  return ok();
}

Result<std::vector<LonLat>> cell_ring(const Grid& g, const Path& path, uint32_t n) {
  ZAREL_CHECK(check_path(g, path));
  uint32_t m = n < 2 ? 2 : n;
  GridCell c = cell_position(g, path);
  Vertex cell{c.base, path.level(), c.row, c.col};
  std::vector<LonLat> ring;
  ring.reserve(4 * (m - 1) + 1);
  for (uint32_t e = 0; e < 4; ++e) ZAREL_CHECK(append_edge(g, cell, static_cast<Edge>(e), m, ring));
  ring.push_back(ring.front());
  return ring;
}

double antimeridian_lat(const LonLat& a, const LonLat& b) {
  const LonLat& west = a.lon < 0 ? a : b;  // the end just east of the antimeridian, at a negative longitude
  const LonLat& east = a.lon < 0 ? b : a;
  double gap = west.lon + 360 - east.lon;
  return gap > 0 ? east.lat + (180 - east.lon) / gap * (west.lat - east.lat) : east.lat;
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
  // A rim that already has its point on the antimeridian does not repeat it.
  bool on180 = last.lon == 180 && last.lat == lat180;
  out.reserve(points.size() + 5);
  if (north) {
    out.push_back({-180, lat180});
    out.insert(out.end(), points.begin(), points.end());
    if (!on180) out.push_back({180, lat180});
    out.push_back({180, 90});
    out.push_back({-180, 90});
    out.push_back({-180, lat180});
  } else {
    if (!on180) out.push_back({180, lat180});
    out.insert(out.end(), points.rbegin(), points.rend());
    out.push_back({-180, lat180});
    out.push_back({-180, -90});
    out.push_back({180, -90});
    out.push_back({180, lat180});
  }
  return out;
}

std::vector<LonLat> display_polygon(const Grid& g, const Path& path, std::vector<LonLat> ring, size_t pole_at,
                                    std::span<const uint8_t> cut) {
  if (pole_corner(g, path) >= 0) {
    // The pole reads as one longitude, but the cell is a quarter cap: its two
    // edges from the pole are meridians, and the pole becomes the segment
    // between them.
    ring.pop_back();
    size_t k = pole_at, size = ring.size();
    double pole = path.base() == 0 ? 90 : -90;
    LonLat from{ring[(k + size - 1) % size].lon, pole}, to{ring[(k + 1) % size].lon, pole};
    ring[k] = from;
    ring.insert(ring.begin() + static_cast<std::ptrdiff_t>(k) + 1, to);
    ring.push_back(ring.front());
  }
  bool cap = cell_kind(g, path) == CellKind::HoldsPole;
  if (cap || !cut.empty()) {
    std::vector<LonLat> cut_ring;
    cut_ring.reserve(ring.size() + 2);
    for (size_t i = 0; i + 1 < ring.size(); ++i) {
      const LonLat a = ring[i], b = ring[i + 1];
      cut_ring.push_back(a);
      if ((cap || (i < cut.size() && cut[i])) && std::fabs(a.lon - b.lon) > 180 && std::fabs(a.lon) != 180 &&
          std::fabs(b.lon) != 180)
        cut_ring.push_back({180, antimeridian_lat(a, b)});
    }
    cut_ring.push_back(ring.back());
    ring = std::move(cut_ring);
  }
  std::reverse(ring.begin(), ring.end());
  if (cell_kind(g, path) != CellKind::HoldsPole) {
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

Result<std::vector<LonLat>> cell_polygon(const Grid& g, const Path& path, uint32_t n) {
  uint32_t per_edge = is_polar(path) && n > 2 ? n : 2;
  ZAREL_TRY(std::vector<LonLat> ring, cell_ring(g, path, per_edge));
  size_t pole_at = 0;
  if (int corner = pole_corner(g, path); corner >= 0) {
    // Count the points of the edges before the pole corner.
    GridCell c = cell_position(g, path);
    Vertex cell{c.base, path.level(), c.row, c.col};
    for (int e = 0; e < corner; ++e) pole_at += is_curved(g, cell, static_cast<Edge>(e)) ? per_edge - 1 : 1;
  }
  return display_polygon(g, path, std::move(ring), pole_at);
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
