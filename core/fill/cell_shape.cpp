#include "fill/cell_shape.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "geo/ellipsoid.h"
#include "geo/grid.h"
#include "geo/rhealpix.h"

namespace zarel {

namespace {

using geo::kPi;
using geo::LonLat;

// Room around a coarse cell's box: its descendants' corners are computed
// afresh and may stray by rounding, near the poles by far more than an ulp.
constexpr double kEquatorialRoom = 1e-9;
constexpr double kPolarRoom = 1e-6;
// Rounding slack of a polar rim point, and the widest box that still leaves a
// verdict in doubt (its diagonal plus the slack stays under kPolarBound).
constexpr double kRimSlack = 1e-12;
constexpr double kRimBox = 5e-10;
constexpr int kMaxRimDepth = 80;
// How far from a line of the polar grid a point drawn on it may land through
// the projection's rounding, in half cell sides per cell across the square's
// half width.
constexpr double kOnLine = 1e-12;

Box padded(const Box& b, double room) {
  return {b.min_x - room, b.min_y - room, b.max_x + room, b.max_y + room};
}

Box enclosing(const Coord* v, uint32_t n) {
  Box b{v[0].x, v[0].y, v[0].x, v[0].y};
  for (uint32_t i = 1; i < n; ++i) {
    b.min_x = std::min(b.min_x, v[i].x);
    b.max_x = std::max(b.max_x, v[i].x);
    b.min_y = std::min(b.min_y, v[i].y);
    b.max_y = std::max(b.max_y, v[i].y);
  }
  return b;
}

Region join(Region a, Region b) { return a == b ? a : Region::Crossed; }

Region located(Location where) {
  if (where == Location::Inside) return Region::Inside;
  return where == Location::Outside ? Region::Outside : Region::Crossed;
}

// A polar cell's square in offsets from the pole, in half cell sides, and how
// far from its side lines a point may lie by rounding and still be on them.
struct Sides {
  const geo::Grid* grid;
  bool north;
  double n, i0, i1, j0, j1, tol;
  double rim;  // the latitude of the square's rim as the equatorial corners there have it
  // The last edges judged, since the rim's boxes shrink around the same edges
  // again and again.
  mutable Coord seen[4][2] = {};
  mutable bool along[4] = {};
  mutable uint32_t next = 0;
};

// The inverse of polar_point: where a point lies in the polar square of its
// hemisphere; false for a point beyond it (the other hemisphere, below the rim).
bool polar_offsets(const Sides& s, const Coord& p, double& i, double& j) {
  const geo::Grid& g = *s.grid;
  if (!std::isfinite(p.x) || !(std::fabs(p.y) <= 90) || (p.y > 0) != s.north) return false;
  // The colatitude by its half-angle, as polar_point takes it back.
  double beta = std::fabs(g.auth(false, p.y * kPi / 180));
  double d = s.n * std::sqrt(6.0) * std::sin((kPi / 2 - beta) / 2);
  if (!(d <= s.n + s.tol)) return false;
  double lon = geo::wrap_lon(p.x - g.lon_0);
  double c = std::clamp(std::floor((lon + 180) / 90), 0.0, 3.0);
  double t = d * ((lon - (90 * c - 135)) / 45);
  uint32_t k = (static_cast<uint32_t>(c) + 4 - (s.north ? g.north_square : g.south_square)) % 4;
  // (k, t, d) back to east and north offsets, as polar_point reads them.
  switch (k) {
    case 0: i = t, j = s.north ? -d : d; break;
    case 2: i = -t, j = s.north ? d : -d; break;
    case 1: i = d, j = s.north ? t : -t; break;
    default: i = -d, j = s.north ? -t : t; break;
  }
  return true;
}

// Whether a polygon vertex lies strictly inside the cell's square.
bool in_square(const Coord& p, const void* context) {
  const Sides& s = *static_cast<const Sides*>(context);
  double i, j;
  if (!polar_offsets(s, p, i, j)) return false;
  return s.i0 + s.tol < i && i < s.i1 - s.tol && s.j1 + s.tol < j && j < s.j0 - s.tol;
}

// Whether both ends of a polygon edge lie on one line through a side of the
// cell: the edge is then read as running along that line of the grid, which
// no cell crosses, so a polygon drawn from cell outlines keeps its cells
// though its edges are chords of the curved sides.
bool judged_on_side_line(const Sides& s, const Edge& e) {
  // Nothing of an edge between two points at or beyond the rim's parallel
  // reaches into the polar square.
  if (s.north ? e.a.y <= s.rim && e.b.y <= s.rim : e.a.y >= s.rim && e.b.y >= s.rim) return true;
  double ai, aj, bi, bj;
  if (!polar_offsets(s, e.a, ai, aj) || !polar_offsets(s, e.b, bi, bj)) return false;
  auto on = [&](double a, double b, double line) {
    return std::fabs(a - line) <= s.tol && std::fabs(b - line) <= s.tol;
  };
  return on(ai, bi, s.i0) || on(ai, bi, s.i1) || on(aj, bj, s.j0) || on(aj, bj, s.j1);
}

bool same(const Coord& p, const Coord& q) { return p.x == q.x && p.y == q.y; }

// judged_on_side_line, remembered for the last few edges.
bool on_side_line(const Edge& e, const void* context) {
  const Sides& s = *static_cast<const Sides*>(context);
  for (uint32_t k = 0; k < s.next && k < 4; ++k)
    if (same(s.seen[k][0], e.a) && same(s.seen[k][1], e.b)) return s.along[k];
  bool along = judged_on_side_line(s, e);
  s.seen[s.next % 4][0] = e.a;
  s.seen[s.next % 4][1] = e.b;
  s.along[s.next % 4] = along;
  ++s.next;
  return along;
}

}  // namespace

CellShapes::CellShapes(const CellBounds& info, const EdgeIndex& index, const Cancel& cancel)
    : info_(info), index_(index), cancel_(cancel) {
  // Found once per fill; NaN, which leaves no edge out, if the grid has none.
  for (uint32_t k = 0; k < 2; ++k) {
    Result<LonLat> rim = geo::vertex_lonlat(info.grid(), {1, 0, k, 0});
    rim_[k] = rim ? rim->lat : NAN;
  }
}

Result<Mode> mode_from_name(std::string_view name) {
  if (name == "nucleus") return Mode::Nucleus;
  if (name == "inside") return Mode::Inside;
  if (name == "overlap") return Mode::Overlap;
  return invalid("mode " + quote(name) + " is not one of \"nucleus\", \"inside\", \"overlap\"");
}

Region CellShapes::piece(const Coord* v, uint32_t n, double px, double py) const {
  if (index_.any_edge_enters(v, n, enclosing(v, n))) return Region::Crossed;
  // Nothing of the boundary inside: the piece lies wholly on the side of any
  // point within it.
  return located(index_.locate(px, py));
}

Result<Region> CellShapes::subtree_region(const Path& path) const {
  ZAREL_TRY(CellBoxes boxes, info_.cell_bbox(path));
  bool polar = path.base() == 0 || path.base() == 5;
  Region r = Region::Crossed;
  for (uint32_t k = 0; k < boxes.count; ++k) {
    Box b = padded(boxes.box[k], polar ? kPolarRoom : kEquatorialRoom);
    Coord v[4] = {{b.min_x, b.min_y}, {b.max_x, b.min_y}, {b.max_x, b.max_y}, {b.min_x, b.max_y}};
    Region here = piece(v, 4, (b.min_x + b.max_x) / 2, (b.min_y + b.max_y) / 2);
    r = k == 0 ? here : join(r, here);
    if (r == Region::Crossed) break;
  }
  return r;
}

Result<Region> CellShapes::cell_region(const Path& path) const {
  const geo::Grid& g = info_.grid();
  uint32_t b = path.base();
  if (b != 0 && b != 5) return equatorial(path);
  bool north = b == 0;
  if (geo::cell_kind(g, path) == geo::CellKind::HoldsPole) {
    // The cap above the parallel of the cell's rim, whose every point lies
    // half a cell side from the pole.
    double n = static_cast<double>(pow_u64(g.side, path.level()));
    double lat = polar_point(0, 1, north, n).lat;
    double lo = north ? lat : -90, hi = north ? 90 : lat;
    Coord v[4] = {{-180, lo}, {180, lo}, {180, hi}, {-180, hi}};
    Sides sides{&g, north, n, -1, 1, 1, -1, kOnLine * n, rim_[north ? 0 : 1]};
    if (index_.any_edge_enters(v, 4, enclosing(v, 4), on_side_line, &sides)) return Region::Crossed;
    return located(index_.locate(0, (lo + hi) / 2));
  }
  // A cell with the pole on its rim (even sides only) has no curve-free
  // description here; its enclosing box still gives a sound verdict.
  if (geo::pole_corner(g, path) >= 0) return subtree_region(path);
  return curved(path);
}

Result<Region> CellShapes::equatorial(const Path& path) const {
  const geo::Grid& g = info_.grid();
  geo::GridCell c = geo::cell_position(g, path);
  uint32_t level = path.level();
  const uint64_t at[4][2] = {{c.row, c.col}, {c.row, c.col + 1}, {c.row + 1, c.col + 1}, {c.row + 1, c.col}};
  Coord v[4];
  for (int k = 0; k < 4; ++k) {
    ZAREL_TRY(LonLat ll, geo::vertex_lonlat(g, {c.base, level, at[k][0], at[k][1]}));
    v[k] = {ll.lon, ll.lat};
  }
  double lo = std::min({v[0].x, v[1].x, v[2].x, v[3].x}), hi = std::max({v[0].x, v[1].x, v[2].x, v[3].x});
  // A cell ending on the cut has its east side wrapped to -180.
  if (hi - lo > 180)
    for (Coord& p : v)
      if (p.x < 0) p.x += 360;
  if (std::max(v[0].x, v[3].x) >= 180 || std::min(v[1].x, v[2].x) <= 180) {
    ZAREL_TRY(LonLat nucleus, geo::nucleus(g, path));
    return piece(v, 4, nucleus.lon, nucleus.lat);
  }
  // Across the +-180 cut: the part west of it and the part east of it, each
  // with its own inner point. Latitude follows the plane's rows alone, so the
  // top and bottom edges are parallels and meet the cut at their own latitudes.
  double top = v[0].y, bottom = v[3].y, west = std::min(v[0].x, v[3].x), east = std::max(v[1].x, v[2].x) - 360;
  Coord w[4] = {v[0], {180, top}, {180, bottom}, v[3]};
  Coord e[4] = {{-180, top}, {v[1].x - 360, v[1].y}, {v[2].x - 360, v[2].y}, {-180, bottom}};
  Region a = cut_piece(w, west, 180, (top + bottom) / 2);
  if (a == Region::Crossed) return a;
  return join(a, cut_piece(e, -180, east, (top + bottom) / 2));
}

Region CellShapes::cut_piece(const Coord* v, double west, double east, double lat) const {
  if (index_.any_edge_enters(v, 4, enclosing(v, 4))) return Region::Crossed;
  double mid = (west + east) / 2;
  if (west < mid && mid < east) return located(index_.locate(mid, lat));
  // A sliver too thin to hold a point (a corner rounded just past the cut)
  // lies wholly on one side; either long side tells which, unless an edge runs
  // along it.
  Location at = index_.locate(west, lat);
  if (at == Location::OnBoundary) at = index_.locate(east, lat);
  return located(at);
}

LonLat CellShapes::polar_point(double i, double j, bool north, double n) const {
  // (i, j): east and north offsets from the pole in half cell sides. Each
  // quarter of the polar square is a polar triangle turned about the pole: d
  // is the distance towards its base and t the offset along it, so that the
  // longitude is linear in t / d and the latitude depends on d alone.
  const geo::Grid& g = info_.grid();
  double ai = std::fabs(i), aj = std::fabs(j), t, d;
  uint32_t k;
  if (aj >= ai) {
    d = aj;
    bool towards = north ? j < 0 : j > 0;  // the triangle on the square's own equatorial cell
    k = towards ? 0 : 2;
    t = towards ? i : -i;
  } else {
    d = ai;
    k = i > 0 ? 1 : 3;
    t = (i > 0) == north ? j : -j;
  }
  uint32_t c = ((north ? g.north_square : g.south_square) + k) % 4;
  double lon = geo::wrap_lon(g.lon_0 + (90.0 * c - 135) + 45 * (t / d));
  // 1 - tau^2 / 3 is the sine of the authalic latitude; asin near 1 loses half
  // the digits, so take the colatitude from the half-angle instead.
  double tau = d / n;
  double beta = kPi / 2 - 2 * geo::pasin(tau / std::sqrt(6.0));
  double lat = geo::auth_lat(true, beta, g.e) * 180 / kPi;
  return {lon, north ? lat : -lat};
}

bool CellShapes::rim_near(double ai, double aj, double bi, double bj, bool north, double n, int depth,
                          const void* sides) const {
  // Along a piece of rim within one triangle both coordinates change
  // monotonically, so the box of its two ends holds it.
  LonLat a = polar_point(ai, aj, north, n), b = polar_point(bi, bj, north, n);
  double lat_lo = std::min(a.lat, b.lat) - kRimSlack, lat_hi = std::max(a.lat, b.lat) + kRimSlack;
  Box boxes[2];
  uint32_t count = 1;
  double width;
  if (std::fabs(a.lon - b.lon) > 180) {
    double west = std::max(a.lon, b.lon), east = std::min(a.lon, b.lon);
    boxes[0] = {west - kRimSlack, lat_lo, 180, lat_hi};
    boxes[1] = {-180, lat_lo, east + kRimSlack, lat_hi};
    count = 2;
    width = (180 - west) + (east + 180);
  } else {
    boxes[0] = {std::min(a.lon, b.lon) - kRimSlack, lat_lo, std::max(a.lon, b.lon) + kRimSlack, lat_hi};
    width = boxes[0].max_x - boxes[0].min_x;
  }
  bool touched = false;
  for (uint32_t k = 0; k < count && !touched; ++k)
    touched = index_.any_edge_touches_off_cut(boxes[k], on_side_line, sides);
  if (!touched) return false;
  // Once stopped, the answer no longer matters: the fill is abandoned.
  if (cancel_.stop()) return true;
  if ((width <= kRimBox && lat_hi - lat_lo <= kRimBox) || depth >= kMaxRimDepth) return true;
  double mi = (ai + bi) / 2, mj = (aj + bj) / 2;
  return rim_near(ai, aj, mi, mj, north, n, depth + 1, sides) || rim_near(mi, mj, bi, bj, north, n, depth + 1, sides);
}


Result<Region> CellShapes::curved(const Path& path) const {
  const geo::Grid& g = info_.grid();
  bool north = path.base() == 0;
  double n = static_cast<double>(pow_u64(g.side, path.level()));
  geo::GridCell c = geo::cell_position(g, path);
  // Corners in half cell sides from the pole, which is the base cell's centre.
  double i0 = 2 * static_cast<double>(c.col) - n, i1 = i0 + 2;
  double j0 = n - 2 * static_cast<double>(c.row), j1 = j0 - 2;
  // A polygon vertex inside the cell settles it at once; failing that, the
  // boundary can only reach inside across the rim.
  Sides sides{&g, north, n, i0, i1, j0, j1, kOnLine * n, rim_[north ? 0 : 1]};
  ZAREL_TRY(CellBoxes boxes, info_.cell_bbox(path));
  for (uint32_t k = 0; k < boxes.count; ++k)
    if (index_.any_end_point(padded(boxes.box[k], kPolarRoom), in_square, &sides)) return Region::Crossed;
  const double corner[5][2] = {{i0, j0}, {i1, j0}, {i1, j1}, {i0, j1}, {i0, j0}};
  for (int s = 0; s < 4; ++s) {
    double ai = corner[s][0], aj = corner[s][1], bi = corner[s + 1][0], bj = corner[s + 1][1];
    // Cut the side where it crosses a diagonal, the seam between two triangles.
    double cuts[4] = {0, 1, 1, 1};
    int count = 1;
    for (double sign : {1.0, -1.0}) {
      // Parameter u in (0, 1) where |i| = |j| along a + u (b - a).
      double den = (bi - ai) - sign * (bj - aj);
      if (den == 0) continue;
      double u = (sign * aj - ai) / den;
      if (u > 0 && u < 1) cuts[count++] = u;
    }
    std::sort(cuts, cuts + count);
    cuts[count] = 1;
    for (int k = 0; k < count; ++k) {
      double u = cuts[k], v = cuts[k + 1];
      if (rim_near(ai + u * (bi - ai), aj + u * (bj - aj), ai + v * (bi - ai), aj + v * (bj - aj), north, n, 0,
                   &sides))
        return Region::Crossed;
    }
  }
  // Any inner point will do: the centre, or one off the +-180 cut, which the
  // polygon's edges may run along. A cell across the cut needs one on each side.
  LonLat inner = polar_point(i0 + 1, j0 - 1, north, n);
  if (inner.lon == -180) inner = polar_point(i0 + 1.5, j0 - 1, north, n);
  Region r = located(index_.locate(inner.lon, inner.lat));
  double cut[2][2];
  if (r != Region::Crossed && cut_sides(i0, j0, north, cut))
    for (const auto& p : cut) {
      LonLat beyond = polar_point(p[0], p[1], north, n);
      r = join(r, located(index_.locate(beyond.lon, beyond.lat)));
    }
  return r;
}

bool CellShapes::cut_sides(double i0, double j0, bool north, double out[2][2]) const {
  // The +-180 meridian is a ray from the pole: in the triangle whose centre
  // meridian lies within 45 degrees of it, t / d is fixed along it.
  const geo::Grid& g = info_.grid();
  uint32_t square = north ? g.north_square : g.south_square;
  for (uint32_t k = 0; k < 4; ++k) {
    double delta = geo::wrap_lon(180 - g.lon_0 - (90.0 * ((square + k) % 4) - 135));
    if (delta < -45 || delta > 45) continue;
    double t = delta / 45, di, dj;
    // (t, d = 1) back to east and north offsets, as polar_point reads them.
    if (k == 0) di = t, dj = north ? -1 : 1;
    else if (k == 2) di = -t, dj = north ? 1 : -1;
    else if (k == 1) di = 1, dj = north ? t : -t;
    else di = -1, dj = north ? -t : t;
    // Where the ray s * (di, dj), s >= 0, runs through the cell's square.
    double lo = 0, hi = INFINITY;
    auto clip = [&](double d, double a, double b) {
      if (d == 0) {
        if (a > 0 || b < 0) hi = -1;
        return;
      }
      double s0 = a / d, s1 = b / d;
      lo = std::max(lo, std::min(s0, s1));
      hi = std::min(hi, std::max(s0, s1));
    };
    clip(di, i0, i0 + 2);
    clip(dj, j0 - 2, j0);
    if (!(lo < hi)) return false;
    // sqrt, not hypot: correctly rounded everywhere, and no newer libm symbol.
    double mid = (lo + hi) / 2, len = std::sqrt(di * di + dj * dj);
    double off = std::min(0.01, (hi - lo) * len / 4) / len;
    out[0][0] = mid * di - off * dj, out[0][1] = mid * dj + off * di;
    out[1][0] = mid * di + off * dj, out[1][1] = mid * dj - off * di;
    return true;
  }
  return false;
}

}  // namespace zarel
