// Zone navigation: positions, scanline sub-zones and folded neighbours.
#include <random>
#include <set>

#include "check.h"
#include "profile.h"
#include "zone.h"

using namespace zarel;

namespace {

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
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    uint32_t level = rng() % 19;
    uint64_t n = *span(kRhealpix, level);
    Position p{static_cast<uint32_t>(rng() % 6), level, rng() % n, rng() % n};
    auto cid = cell_at(kRhealpix, p.base, p.level, p.row, p.col);
    CHECK(cid.ok() && *position(kRhealpix, *cid) == p);
  }
  // The digits interleave the base-3 digits of row and column, coarse first.
  CHECK_EQ(*cell_at(kRhealpix, 2, 2, 4, 5), (9u + 2) * 81 + 4 * 9 + 5);
  CHECK_EQ(*cell_at(kRhealpix, 3, 0, 0, 0), 12u);
  CHECK(*position(kRhealpix, 14) == (Position{5, 0, 0, 0}));
}

void zone_errors() {
  CHECK_ERR(side(Hierarchy{8, 6}), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(position(Hierarchy{8, 6}, 80), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(span(kRhealpix, 41), "level 41 overflows");
  CHECK(span(kRhealpix, 40).ok());
  CHECK_ERR(cell_at(kRhealpix, 0, 19, 0, 0), "level 19 is deeper than the deepest level, 18");
  CHECK_ERR(cell_at(Hierarchy{8, 6}, 0, 1, 0, 0), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(cell_at(kRhealpix, 6, 1, 0, 0), "base 6 out of range [0, 6)");
  CHECK_ERR(cell_at(kRhealpix, 0, 1, 3, 0), "(3, 0) outside a 3x3 base cell at level 1");
  CHECK_ERR(cell_at(kRhealpix, 0, 2, 0, 9), "(0, 9) outside a 9x9 base cell at level 2");
  CHECK_ERR(position(kRhealpix, 8), "not a cid: 8");
  // A wide aperture overflows the span before the deepest level is reached.
  Hierarchy wide{4096, 1};
  CHECK_ERR(span(wide, 11), "level 11 overflows");
}

void subzone_order() {
  const uint64_t a = 983;  // Q12
  CHECK(*subzones(kRhealpix, a, 0) == std::vector<uint64_t>{a});
  auto one = *subzones(kRhealpix, a, 1);
  for (uint64_t d = 0; d < 9; ++d) CHECK_EQ(one[d], a * 9 + d);
  // Depth 2 runs whole rows: the first row takes the top rows of children 0, 1, 2.
  auto two = *subzones(kRhealpix, a, 2);
  std::vector<uint64_t> first_row = {a * 81 + 0, a * 81 + 1, a * 81 + 2, a * 81 + 9, a * 81 + 10,
                                     a * 81 + 11, a * 81 + 18, a * 81 + 19, a * 81 + 20};
  CHECK(std::vector<uint64_t>(two.begin(), two.begin() + 9) == first_row);
  for (uint32_t k = 0; k <= 4; ++k) {
    auto all = *subzones(kRhealpix, a, k);
    std::set<uint64_t> distinct(all.begin(), all.end());
    CHECK_EQ(distinct.size(), all.size());
    for (uint64_t i = 0; i < all.size(); ++i) {
      CHECK(kRhealpix.is_ancestor(a, all[i]));
      CHECK_EQ(*subzone_index(kRhealpix, a, all[i]), i);
      CHECK_EQ(*subzone_at(kRhealpix, a, k, i), all[i]);
    }
  }
  CHECK_EQ(*subzone_index(kRhealpix, a, a), 0u);
  CHECK_ERR(subzones(kRhealpix, a, 10), "depth 10 has too many sub-zones");
  CHECK_ERR(subzone_at(kRhealpix, a, 1, 9), "index 9 outside the 9 sub-zones at depth 1");
  CHECK_ERR(subzone_at(kRhealpix, a, 41, 0), "level 41 overflows");
  // 3^50 sub-zones saturate the count; the bottom-right row then overflows the product.
  uint64_t deep = *cell_at(kRhealpix, 0, 18, 387420488, 0);
  CHECK_ERR(subzone_at(kRhealpix, deep, 25, 0), "depth 25 below level 18 overflows");
  CHECK_ERR(subzone_at(kRhealpix, 9, 19, 0), "level 19 is deeper than the deepest level, 18");
  CHECK_ERR(subzone_at(kRhealpix, 9, 40, ~uint64_t{0}),
            "index 18446744073709551615 outside the 18446744073709551615 sub-zones at depth 40");
  CHECK_ERR(subzone_index(kRhealpix, 12, 81), "12 is not an ancestor of 81");
  CHECK_ERR(subzone_index(kRhealpix, 983, 12), "983 is not an ancestor of 12");
  CHECK_ERR(subzone_index(kRhealpix, 8, 983), "not a cid: 8");
  CHECK_ERR(subzone_index(kRhealpix, 983, 15), "cid 15 names base 6, outside [0, 6)");
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
  Profile seven = Profile::ogc();
  seven.n_base = 7;
  CHECK_ERR(neighbours(seven, 9), "the rHEALPix layout has 6 base cells, the profile has 7");
  CHECK(position(five.hierarchy(), 9).ok());
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
