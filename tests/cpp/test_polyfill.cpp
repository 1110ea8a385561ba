// Polygon coverage in the core: orient2d against exact rational arithmetic,
// and the property the descent relies on: a cell's boxes enclose every point
// of the cell. Point location, edge tests, refusals and the results themselves
// are checked against an exact model from Python.
#include <boost/multiprecision/cpp_int.hpp>
#include <cmath>
#include <cstring>
#include <random>
#include <thread>

#include "exchange/display.h"
#include "fill/cell_box.h"
#include "check.h"
#include "geo/grid.h"
#include "geo/orient2d.h"
#include "fill/polyfill.h"
#include "profile/profile.h"

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

// Points spread over a cell's square, including its edges, from the plane to degrees.
bool enclosed(const CellBounds& info, const Path& path, int n) {
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
  for (const Profile& p : {Profile::ogc(), Profile::zarel_1(), Profile{.aperture = 4, .lon_0_udeg = 0},
                           Profile{.aperture = 25},
                           Profile{.lon_0_udeg = -179999999, .north_square = 2, .south_square = 3}}) {
    auto info = CellBounds::make(p);
    CHECK(info.ok());
    uint32_t a = p.aperture, side = p.grid().side, missed = 0, cells = 0;
    // Every cell to level 3 (2 for aperture 25), then the polar cells on the
    // square's diagonals, where longitude is fastest to turn, to a side of
    // 3^6 cells (5^4 for aperture 25).
    uint32_t full = a > 9 ? 2 : 3, deep = a > 9 ? 4 : 6;
    auto walk = [&](auto&& self, Path& path, bool diagonal) -> void {
      ++cells;
      if (!enclosed(*info, path, path.level() <= full ? 12 : 6)) ++missed;
      if (path.level() >= (diagonal ? deep : full)) return;
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

// The descent carries rows and columns: from them it gets the very doubles
// the path roads give (corners, nuclei, boxes), and the same failures.
void positions_match_paths() {
  auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  for (const Profile& p : {Profile::ogc(), Profile{.aperture = 4, .lon_0_udeg = 0}, Profile{.aperture = 25},
                           Profile{.lon_0_udeg = -179999999, .north_square = 2, .south_square = 3}}) {
    auto info = CellBounds::make(p);
    CHECK(info.ok());
    const geo::Grid& g = info->grid();
    std::mt19937_64 rng(25);
    uint32_t a = p.aperture, deepest = std::min(p.hierarchy().deepest(), kMaxResolution), differ = 0;
    for (int i = 0; i < 3000; ++i) {
      Path path;
      path.push(static_cast<uint32_t>(rng() % 6));
      for (uint32_t k = static_cast<uint32_t>(rng() % (deepest + 1)); k > 0; --k) path.push(rng() % a);
      geo::GridCell c = geo::cell_position(g, path);
      geo::LevelPlane plane = geo::LevelPlane::make(g, path.level());
      geo::XY ul = plane.ul(g, c.base, c.row, c.col), n = plane.nucleus(g, c.base, c.row, c.col);
      geo::XY ul_path = geo::ul_vertex(g, path), n_path = geo::nucleus_planar(g, path);
      differ += !same(ul.x, ul_path.x) || !same(ul.y, ul_path.y) || !same(n.x, n_path.x) || !same(n.y, n_path.y);
      geo::LonLat fast;
      auto slow = geo::nucleus(g, path);
      bool ok = geo::nucleus_into(g, n, nullptr, &fast);
      differ += ok != slow.ok() || (ok && (!same(fast.lon, slow->lon) || !same(fast.lat, slow->lat)));
      auto box = info->cell_bbox(c.base, plane, c.row, c.col), box_path = info->cell_bbox(path);
      differ += box.ok() != box_path.ok();
      if (box.ok() && box_path.ok()) {
        differ += box->count != box_path->count;
        for (uint32_t k = 0; k < std::min(box->count, box_path->count); ++k)
          differ += !same(box->box[k].min_x, box_path->box[k].min_x) ||
                    !same(box->box[k].max_x, box_path->box[k].max_x) ||
                    !same(box->box[k].min_y, box_path->box[k].min_y) ||
                    !same(box->box[k].max_y, box_path->box[k].max_y);
      }
    }
    CHECK_EQ(differ, 0u);
    // Off the image both roads refuse, the Result one with the point.
    geo::LonLat out;
    double far = 4 * g.r_auth;
    CHECK(!geo::to_lonlat_into(g, far, 0, true, nullptr, &out) && !geo::to_lonlat(g, far, 0, true).ok());
  }
}

// Work follows the boundary: from one resolution to the next the covering
// list grows about threefold (the boundary's length in cells), not ninefold
// (the area), also for a polygon that reaches far into a polar cap.
MultiPolygon square(double x0, double y0, double x1, double y1) {
  return {Polygon({{x0, y0}, {x1, y0}, {x1, y1}, {x0, y1}}, {})};
}

void boundary_economy() {
  for (double top : {50.0, 80.0, 89.0}) {
    MultiPolygon sq = square(-90, -60, 90, top);
    auto five = cover_nodes(sq, 5, Profile::ogc()), six = cover_nodes(sq, 6, Profile::ogc());
    CHECK(five.ok() && six.ok() && six->size() < 4 * five->size());
  }
}

// A stop ends fills, builds and display text with the cancelled error; the check runs only
// on the thread that made the Cancel, and once it has answered, never again.
void cancellation() {
  int checks = 0;
  Cancel stop([&] { return ++checks > 0; });
  bool elsewhere = true;
  std::thread([&] { elsewhere = stop.stop(); }).join();
  auto cancelled = [](const auto& r) { return !r.ok() && r.error().kind == Error::Kind::Cancelled; };
  std::vector<uint64_t> cids = {10, 12};
  CHECK(!elsewhere && cancelled(polyfill(square(-90, -60, 90, 80), 6, Profile::ogc(), stop)));
  CHECK(cancelled(Tree::from_cells(cids, 5, Profile::ogc().hierarchy(), *Profile::ogc().ctx(5), stop)));
  CHECK(cancelled(cells_geojson(cids, Profile::ogc(), 3, stop)));
  CHECK(checks == 1 && cover_nodes(square(-90, -60, 90, 80), 6, Profile::ogc()).ok());
}

}  // namespace

int main() {
  orient2d_exact();
  boxes_enclose_cells();
  positions_match_paths();
  boundary_economy();
  cancellation();
  return zarel_test::finish();
}
