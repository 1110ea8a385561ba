// Zone navigation where Python cannot look: hierarchies no profile makes, and
// the neighbours of the base cells; positions, sub-zone order and the folded
// neighbours are checked against a model and PROJ in Python.
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

void neighbours_at_level_0() {
  auto nb = [](uint64_t cid) { return *neighbours(Profile::ogc(), cid); };
  CHECK((nb(9) == std::array<uint64_t, 4>{12, 11, 10, 13}));
  CHECK((nb(10) == std::array<uint64_t, 4>{9, 11, 14, 13}));
  CHECK((nb(14) == std::array<uint64_t, 4>{10, 11, 12, 13}));
}

void neighbours_validate_the_profile() {
  // A profile the bindings cannot build is still validated.
  Profile bad = Profile::ogc();
  bad.north_square = 4;
  CHECK_ERR(neighbours(bad, 9), "north_square/south_square must be in 0..3");
}

}  // namespace

int main() {
  zone_errors();
  neighbours_at_level_0();
  neighbours_validate_the_profile();
  return zarel_test::finish();
}
