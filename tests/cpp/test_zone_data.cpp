// Zone data and tree rasters where Python cannot look: JSON values built in C++
// (signed integers), trees of other hierarchies, the overloads that take a
// context. Round trips, messages and the display text are checked from Python.
#include "check.h"
#include "json.h"
#include "tree_raster.h"
#include "zone_data.h"

using namespace zarel;

namespace {

const Profile kOgc = Profile::ogc();

Tree tree(const std::vector<uint64_t>& cids, uint32_t depth) { return *Tree::from_cells(cids, depth, kOgc); }

void zone_data() {
  CtxRef ctx = make_ctx(Hierarchy{4, 6}, 1);
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
}

void rasters() {
  auto mask = raster(tree({9, 100, 983 * 9 + 4}, 3));
  CHECK(mask.ok());
  CHECK_ERR(from_raster(kRhealpix, 3, *mask, make_ctx(kRhealpix, 2)), "context ladders reach depth 2, tree needs 3");
}

}  // namespace

int main() {
  zone_data();
  rasters();
  return zarel_test::finish();
}
