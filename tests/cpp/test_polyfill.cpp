// Polygon coverage in the core: orient2d against exact rational arithmetic,
// point location and edge-box tests on small figures, and the property the
// descent relies on: a cell's boxes enclose every point of the cell.
#include <boost/multiprecision/cpp_int.hpp>
#include <cmath>
#include <random>

#include "cell_box.h"
#include "check.h"
#include "edge_index.h"
#include "geo/grid.h"
#include "geo/orient2d.h"
#include "polyfill.h"
#include "profile.h"

using namespace zarel;
using boost::multiprecision::cpp_rational;

namespace {

int exact_sign(double ax, double ay, double bx, double by, double cx, double cy) {
  cpp_rational d = (cpp_rational(ax) - cx) * (cpp_rational(by) - cy) - (cpp_rational(ay) - cy) * (cpp_rational(bx) - cx);
  return d > 0 ? 1 : d < 0 ? -1 : 0;
}

int sign(double v) { return (v > 0) - (v < 0); }

void orient2d_exact() {
  std::mt19937_64 rng(12);
  std::uniform_real_distribution<double> u(-180, 180);
  int wrong = 0, hard = 0;
  auto check = [&](double ax, double ay, double bx, double by, double cx, double cy) {
    int want = exact_sign(ax, ay, bx, by, cx, cy);
    hard += sign((ax - cx) * (by - cy) - (ay - cy) * (bx - cx)) != want;
    wrong += sign(geo::orient2d(ax, ay, bx, by, cx, cy)) != want;
  };
  for (int i = 0; i < 5000; ++i) {
    double ax = u(rng), ay = u(rng), bx = u(rng), by = u(rng);
    // A point on the segment's line as rounded, then nudged by a few ulps:
    // the triples where a plain determinant gets the sign wrong.
    double t = std::uniform_real_distribution<double>(-2, 3)(rng);
    double cx = ax + t * (bx - ax), cy = ay + t * (by - ay);
    int k = static_cast<int>(rng() % 7) - 3;
    for (int j = 0; j < std::abs(k); ++j) cy = std::nextafter(cy, k > 0 ? INFINITY : -INFINITY);
    check(ax, ay, bx, by, cx, cy);
    check(u(rng), u(rng), u(rng), u(rng), u(rng), u(rng));
    // Huge, tiny and mixed magnitudes reach the rescaled path.
    double s = std::ldexp(1.0, static_cast<int>(rng() % 1200) - 600);
    check(ax * s, ay * s, bx * s, by * s, cx * s, cy * s);
  }
  CHECK_EQ(wrong, 0);
  // The plain determinant fails on many of them.
  CHECK(hard > 300);
  // Exactly collinear on an axis and at a shared vertex.
  CHECK_EQ(geo::orient2d(0, 0, 1, 0, 5, 0), 0.0);
  CHECK_EQ(geo::orient2d(1, 1, 2, 2, 1, 1), 0.0);
  CHECK(geo::orient2d(0, 0, 1, 0, 0.5, 1e-300) > 0);
  CHECK(geo::orient2d(0, 0, 1, 0, 0.5, -1e-300) < 0);
  CHECK(geo::orient2d(-1e300, 0, 1e300, 0, 0, 1) > 0);
}

MultiPolygon square(double x0, double y0, double x1, double y1) {
  return {Polygon({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}, {})};
}

void locate() {
  Indexed sq = Indexed::build(square(0, 0, 1, 1));
  CHECK(sq.position(0.5, 0.5) == Location::Inside);
  for (auto [x, y] : {std::pair{1.0, 0.5}, {0.0, 0.0}, {0.5, 1.0}, {1.0, 1.0}, {0.0, 0.3}})
    CHECK(sq.position(x, y) == Location::OnBoundary);
  for (auto [x, y] : {std::pair{2.0, 0.5}, {0.5, 1.5}, {-0.5, 0.5}, {0.5, -1e-300}})
    CHECK(sq.position(x, y) == Location::Outside);
  // The ray through a vertex counts it once.
  Indexed tri = Indexed::build({Polygon({{0, 0}, {2, 1}, {0, 2}}, {})});
  CHECK(tri.position(1, 1) == Location::Inside);
  CHECK(tri.position(3, 1) == Location::Outside);
  CHECK(tri.position(-1, 1) == Location::Outside);
  // A hole, and a second polygon overlapping the first: united, not cancelled.
  MultiPolygon holed{Polygon({{0, 0}, {4, 0}, {4, 4}, {0, 4}}, {{{1, 1}, {2, 1}, {2, 2}, {1, 2}}}),
                     Polygon({{3, 3}, {6, 3}, {6, 6}, {3, 6}}, {})};
  Indexed h = Indexed::build(holed);
  CHECK(h.position(1.5, 1.5) == Location::Outside);
  CHECK(h.position(2, 1.5) == Location::OnBoundary);
  CHECK(h.position(3.5, 3.5) == Location::Inside);
  CHECK(h.position(5, 5) == Location::Inside);
  CHECK(h.position(0.5, 0.5) == Location::Inside);
  Indexed none = Indexed::build({});
  CHECK(none.position(0, 0) == Location::Outside);
  CHECK(!none.any_edge_touches({-180, -90, 180, 90}));
  // Degenerate rings add no edges; a ring written open or closed gives the same polygon.
  Polygon open({{0, 0}, {1, 0}, {1, 1}, {0, 1}}, {{}, {{5, 5}}});
  CHECK_EQ(open.exterior().size(), 5u);
  CHECK(open.exterior().back() == open.exterior().front());
  CHECK(open.holes()[0].empty());
  CHECK_EQ(open.holes()[1].size(), 1u);
}

void edge_box() {
  Indexed diag = Indexed::build({Polygon({{0, 0}, {10, 10}, {10, 0}}, {})});
  // A corner exactly on the diagonal's line touches; boxes that overlap the
  // edge's box but lie wholly to one side of its line do not.
  CHECK(diag.any_edge_touches({4, 5, 4.5, 6}) == false);
  CHECK(diag.any_edge_touches({1, 2, 3, 3}));
  CHECK(diag.any_edge_touches({4.5, 5, 4.9, 5.5}) == false);
  CHECK(diag.any_edge_touches({5, 6.5, 6, 7}) == false);
  CHECK(diag.any_edge_touches({2, 1, 3, 2}));  // corner (2, 2) is on the line y = x
  CHECK(diag.any_edge_touches({2, 2.5, 3, 2.9}));
  CHECK(diag.any_edge_touches({11, -1, 12, 5}) == false);
  CHECK(diag.any_edge_touches({9, -1, 12, 5}));
}

// Points spread over a cell's square, including its edges, from the plane to degrees.
bool enclosed(const GridInfo& info, const Path& path, int n) {
  const geo::Grid& g = info.grid();
  auto boxes = info.cell_bbox(path);
  if (!boxes) return false;
  geo::XY ul = geo::ul_vertex(g, path);
  double w = g.r_auth * geo::kPi / 2 / static_cast<double>(pow_u64(g.side, path.level()));
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j) {
      // Stay a hair inside the square: its open edges belong to a neighbour.
      double fx = (i + 1e-9) / (n + 2e-9), fy = (j + 1e-9) / (n + 2e-9);
      auto ll = geo::to_lonlat(g, ul.x + fx * w, ul.y - fy * w, true);
      if (!ll) return false;
      bool in = false;
      for (uint32_t k = 0; k < boxes->count; ++k) {
        const Box& b = boxes->box[k];
        in = in || (b.min_x <= ll->lon && ll->lon <= b.max_x && b.min_y <= ll->lat && ll->lat <= b.max_y);
      }
      if (!in) {
        std::fprintf(stderr, "cell %s misses (%.17g, %.17g)\n", path_to_suid(path).c_str(), ll->lon, ll->lat);
        return false;
      }
    }
  return true;
}

void boxes_enclose_cells() {
  Profile shifted = Profile::ogc();
  shifted.north_square = 2;
  shifted.south_square = 3;
  shifted.lon_0_udeg = -179999999;
  Profile four = Profile::zarel_1();
  four.aperture = 4;
  Profile twentyfive = Profile::ogc();
  twentyfive.aperture = 25;
  for (const Profile& p : {Profile::ogc(), Profile::zarel_1(), shifted, four, twentyfive}) {
    auto info = GridInfo::make(p);
    CHECK(info.ok());
    uint32_t a = p.aperture, side = p.grid().side, missed = 0, cells = 0;
    // Every cell to level 3 (2 for aperture 25), then the polar cells on the
    // square's diagonals, where longitude is fastest to turn, to level 6.
    uint32_t full = a > 9 ? 2 : 3;
    auto walk = [&](auto&& self, Path& path, bool diagonal) -> void {
      ++cells;
      if (!enclosed(*info, path, path.level() <= full ? 12 : 6)) ++missed;
      if (path.level() >= (diagonal ? 6u : full)) return;
      for (uint32_t d = 0; d < a; ++d) {
        if (diagonal && d / side != d % side && d / side + d % side != side - 1) continue;
        path.push(d);
        self(self, path, diagonal);
        path.pop();
      }
    };
    for (uint32_t b = 0; b < 6; ++b) {
      Path path;
      path.push(b);
      walk(walk, path, false);
      if (b == 0 || b == 5) walk(walk, path, true);
    }
    CHECK_EQ(missed, 0u);
    CHECK(cells > 1000);
  }
}

void known_boxes() {
  auto info = GridInfo::make(Profile::ogc());
  Path north;
  north.push(0);
  auto b0 = info->cell_bbox(north);
  CHECK_EQ(b0->count, 1u);
  CHECK(b0->box[0].min_x == -180 && b0->box[0].max_x == 180 && b0->box[0].max_y == 90);
  CHECK(std::fabs(info->cap_lat() - 41.9379) < 1e-4);
  // lon_0 = 50: equatorial base cells centred at -85, 5, 95, -175; the last straddles 180.
  CHECK(std::fabs(info->equator_lon()[3] + 175) < 1e-9);
  Path b4;
  b4.push(4);
  auto two = info->cell_bbox(b4);
  CHECK_EQ(two->count, 2u);
  CHECK(std::fabs(two->box[0].min_x - 140) < 1e-9 && two->box[0].max_x == 180);
  CHECK(two->box[1].min_x == -180 && std::fabs(two->box[1].max_x + 130) < 1e-9);
  CHECK(two->box[0].max_y == info->cap_lat() && two->box[1].min_y == -info->cap_lat());
  // The centre cell of a polar square holds the pole at every level.
  Path centre;
  centre.push(5);
  for (int level = 1; level <= 12; ++level) {
    centre.push(4);
    auto c = info->cell_bbox(centre);
    CHECK(c->count == 1 && c->box[0].min_x == -180 && c->box[0].max_x == 180 && c->box[0].min_y == -90);
  }
}

void refusals() {
  MultiPolygon sq = square(0, 0, 10, 10);
  CHECK_ERR(cover_nodes(sq, 16, Profile::ogc()), "resolution 16 out of range [0, 15]");
  Profile seven = Profile::ogc();
  seven.n_base = 7;
  CHECK_ERR(cover_nodes(sq, 2, seven), "the rHEALPix layout has 6 base cells, the profile has 7");
  Profile wide = Profile::ogc();
  wide.aperture = 4096;
  CHECK_ERR(cover_nodes(sq, 5, wide), "depth 5 is deeper than the deepest level, 4");
  // A quarter of the globe at resolution 9 is far more leaves than a list may hold.
  MultiPolygon big = square(-90, -50, 90, 50);
  auto r = polyfill(big, 9, Profile::ogc());
  CHECK(!r.ok() && r.error().display().find("use Tree.from_geojson") != std::string::npos);
  auto t = cover(big, 9, Profile::ogc(), *Profile::ogc().ctx(9));
  CHECK(t.ok() && t->leaf_count() > kMaxLeaves);
}

// Work follows the boundary: from one resolution to the next the covering
// list grows about threefold (the boundary's length in cells), not ninefold
// (the area), also for a polygon that reaches far into a polar cap.
void boundary_economy() {
  for (double top : {50.0, 80.0, 89.0}) {
    MultiPolygon sq = square(-90, -60, 90, top);
    auto five = cover_nodes(sq, 5, Profile::ogc()), six = cover_nodes(sq, 6, Profile::ogc());
    CHECK(five.ok() && six.ok() && six->size() < 4 * five->size());
  }
}

}  // namespace

int main() {
  orient2d_exact();
  locate();
  edge_box();
  boxes_enclose_cells();
  known_boxes();
  refusals();
  boundary_economy();
  return zarel_test::finish();
}
