// Zones and zone data where Python cannot look: hierarchies no profile makes,
// the neighbours of the base cells, JSON values built in C++ (signed integers),
// trees of other hierarchies and the overloads that take a context. Positions,
// sub-zone order, folded neighbours, round trips and messages are checked
// against models and PROJ in Python.
#include "check.h"
#include "base/json.h"
#include "profile/profile.h"
#include "tree/tree_raster.h"
#include "zone/zone.h"
#include "exchange/zone_data.h"

using namespace zarel;

namespace {

const Profile kOgc = Profile::ogc();

// Hierarchies that no valid profile makes.
void zone_errors() {
  CHECK_ERR(block_side(Hierarchy{8, 6}), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(position(Hierarchy{8, 6}, 80), "aperture 8 is not a square; cells have no row and column");
  CHECK_ERR(cell_at(Hierarchy{8, 6}, 0, 1, 0, 0), "aperture 8 is not a square; cells have no row and column");
  CHECK(base_cell_rows(kRhealpix, 40).ok());
  // A wide aperture overflows the span before the deepest level is reached.
  CHECK_ERR(base_cell_rows(Hierarchy{4096, 1}, 11), "level 11 overflows");
}

void neighbours_at_level_0() {
  auto nb = [](uint64_t cid) { return *neighbours(kOgc, cid); };
  CHECK((nb(9) == std::array<uint64_t, 4>{12, 11, 10, 13}));
  CHECK((nb(10) == std::array<uint64_t, 4>{9, 11, 14, 13}));
  CHECK((nb(14) == std::array<uint64_t, 4>{10, 11, 12, 13}));
  // A profile the bindings cannot build is still validated.
  CHECK_ERR(neighbours(Profile{.north_square = 4}, 9), "north_square/south_square must be in 0..3");
}

void zone_data() {
  HashContextRef ctx = make_hash_context(Hierarchy{4, 6}, 1);
  CHECK_ERR(to_dggs_json(*Tree::empty(Hierarchy{4, 6}, 1, ctx), kOgc, 4, "c"), "zone data needs the rHEALPix hierarchy");
  // Depths and shapes as signed integers read like the unsigned ones a parser makes.
  Json doc = *parse_json(R"({"dggrs":"https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix","zoneId":"N",
                             "values":{"f":[{"data":[1,null,null,null,null,null,null,null,-0.0]}]}})");
  doc["depths"] = Json::array({int64_t{-1}, int64_t{1}});
  doc["values"]["f"][0]["shape"] = Json::object({{"count", int64_t{9}}});
  auto t = from_dggs_json(doc, kOgc, {}, {}, true);
  CHECK(t.ok() && t->cells() == std::vector<uint64_t>{81});
  doc["values"]["f"][0]["shape"]["count"] = int64_t{8};
  CHECK_ERR(from_dggs_json(doc, kOgc, {}, {}, false), R"(shape Some({"count":8}) does not describe the 9 sub-zones at depth 1)");
  doc["values"]["f"][0]["depth"] = int64_t{-1};
  doc["depths"] = Json::array({int64_t{2}, int64_t{3}});
  CHECK_ERR(from_dggs_json(doc, kOgc, {}, {}, false), "a value entry names no depth");
  // A raster read back with a context too shallow for its depth.
  auto mask = raster(*Tree::from_cells(std::vector<uint64_t>{9, 100, 983 * 9 + 4}, 3, kOgc));
  CHECK(mask.ok());
  CHECK_ERR(from_raster(kRhealpix, 3, *mask, make_hash_context(kRhealpix, 2)), "context ladders reach depth 2, tree needs 3");
}

}  // namespace

int main() {
  zone_errors();
  neighbours_at_level_0();
  zone_data();
  return zarel_test::finish();
}
