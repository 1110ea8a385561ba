// Zone navigation: positions, scanline sub-zones and folded neighbours.
#include <set>

#include "check.h"
#include "profile.h"
#include "zone.h"

using namespace zarel;

namespace {

// Exhaustive to level 4; the digit layout itself is checked against a model in Python.
void positions_round_trip() {
  for (uint32_t level = 0; level <= 4; ++level) {
    uint64_t n = *span(kRhealpix, level);
    for (uint32_t b = 0; b < 6; ++b)
      for (uint64_t r = 0; r < n; ++r)
        for (uint64_t c = 0; c < n; ++c) {
          auto cid = cell_at(kRhealpix, b, level, r, c);
          auto pos = position(kRhealpix, *cid);
          CHECK(pos.ok() && *pos == (Position{b, level, r, c}));
        }
  }
}

// Hierarchies that no valid profile makes.
void zone_errors() {
  CHECK_ERR(side(Hierarchy{8, 6}), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(position(Hierarchy{8, 6}, 80), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(cell_at(Hierarchy{8, 6}, 0, 1, 0, 0), "aperture 8 is not a square; cells have no row and column");
  CHECK(span(kRhealpix, 40).ok());
  // A wide aperture overflows the span before the deepest level is reached.
  CHECK_ERR(span(Hierarchy{4096, 1}, 11), "level 11 overflows");
}

void subzone_order() {
  // Depth 2 runs whole rows: the first row takes the top rows of children 0, 1, 2.
  const uint64_t a = 983;
  auto two = *subzones(kRhealpix, a, 2);
  std::vector<uint64_t> first_row = {a * 81 + 0, a * 81 + 1, a * 81 + 2, a * 81 + 9, a * 81 + 10,
                                     a * 81 + 11, a * 81 + 18, a * 81 + 19, a * 81 + 20};
  CHECK(std::vector<uint64_t>(two.begin(), two.begin() + 9) == first_row);
}

Profile squares(uint8_t ns, uint8_t ss) {
  Profile p = Profile::ogc();
  p.north_square = ns;
  p.south_square = ss;
  return p;
}

void neighbours_at_level_0() {
  auto nb = [](uint64_t cid) { return *neighbours(Profile::ogc(), cid); };
  CHECK((nb(9) == std::array<uint64_t, 4>{12, 11, 10, 13}));
  CHECK((nb(10) == std::array<uint64_t, 4>{9, 11, 14, 13}));
  CHECK((nb(14) == std::array<uint64_t, 4>{10, 11, 12, 13}));
}

// Every neighbour relation is symmetric, through exactly one edge of the
// neighbour, for every placement of the polar squares.
void neighbours_symmetric() {
  for (uint8_t ns = 0; ns < 4; ++ns)
    for (uint8_t ss = 0; ss < 4; ++ss) {
      Profile p = squares(ns, ss);
      for (uint32_t level = 0; level <= 3; ++level) {
        uint64_t n = *span(kRhealpix, level);
        for (uint32_t b = 0; b < 6; ++b)
          for (uint64_t r = 0; r < n; ++r)
            for (uint64_t c = 0; c < n; ++c) {
              uint64_t cid = *cell_at(kRhealpix, b, level, r, c);
              auto nb = neighbours(p, cid);
              CHECK(nb.ok());
              if (!nb) continue;
              for (uint64_t other : *nb) {
                auto back = *neighbours(p, other);
                int hits = 0;
                for (uint64_t x : back) hits += x == cid;
                CHECK(level == 0 ? hits >= 1 : hits == 1);
              }
              if (level > 0) {
                std::set<uint64_t> distinct(nb->begin(), nb->end());
                CHECK_EQ(distinct.size(), 4u);
              }
            }
      }
    }
}

void neighbours_need_six_bases() {
  Profile five = Profile::ogc();
  five.n_base = 5;
  CHECK_ERR(neighbours(five, 9), "the rHEALPix layout has 6 base cells, the profile has 5");
  // A profile the bindings cannot build is still validated.
  Profile bad = Profile::ogc();
  bad.north_square = 4;
  CHECK_ERR(neighbours(bad, 9), "north_square/south_square must be in 0..3");
  CHECK_ERR(neighbours(Profile::ogc(), 8), "not a cid: 8");
}

}  // namespace

int main() {
  positions_round_trip();
  zone_errors();
  subzone_order();
  neighbours_at_level_0();
  neighbours_symmetric();
  neighbours_need_six_bases();
  return zarel_test::finish();
}
