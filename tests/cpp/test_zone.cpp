// Zone navigation where Python cannot look: hierarchies no profile makes, and
// the folded neighbour relation exhaustively; positions and sub-zone order are
// checked against a model in Python.
#include <set>

#include "check.h"
#include "profile.h"
#include "zone.h"

using namespace zarel;

namespace {

// Hierarchies that no valid profile makes.
void zone_errors() {
  CHECK_ERR(side(Hierarchy{8, 6}), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(position(Hierarchy{8, 6}, 80), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(cell_at(Hierarchy{8, 6}, 0, 1, 0, 0), "aperture 8 is not a square; cells have no row and column");
  CHECK(span(kRhealpix, 40).ok());
  // A wide aperture overflows the span before the deepest level is reached.
  CHECK_ERR(span(Hierarchy{4096, 1}, 11), "level 11 overflows");
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
  // A profile the bindings cannot build is still validated.
  Profile bad = Profile::ogc();
  bad.north_square = 4;
  CHECK_ERR(neighbours(bad, 9), "north_square/south_square must be in 0..3");
}

}  // namespace

int main() {
  zone_errors();
  neighbours_at_level_0();
  neighbours_symmetric();
  neighbours_need_six_bases();
  return zarel_test::finish();
}
