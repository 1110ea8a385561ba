// Zone data, tree rasters and display GeoJSON where Python cannot look: JSON
// values built in C++ (signed integers), trees of other hierarchies, the
// overloads that take a context, and the text the display writer produces.
// Round trips and the reader's messages are checked from Python.
#include "check.h"
#include "display.h"
#include "json.h"
#include "tree_raster.h"
#include "zone_data.h"

using namespace zarel;

namespace {

const Profile kOgc = Profile::ogc();

Tree tree(const std::vector<uint64_t>& cids, uint32_t depth) { return *Tree::from_cells(cids, depth, kOgc); }

void zone_data() {
  CHECK_ERR(count_at(10), "depth 10 has too many sub-zones");
  CHECK_ERR(count_at(uint64_t{1} << 40), "depth 1099511627776 has too many sub-zones");
  CHECK(*count_at(9) == 387420489 && *count_at(0) == 1);
  Profile bad = kOgc;
  bad.tick_us = 0;
  CHECK_ERR(registered(bad), "tick_us must be >= 1");
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
  Tree t = tree({9, 100, 983 * 9 + 4}, 3);
  auto mask = raster(t);
  CHECK(mask.ok());
  auto back = from_raster(kOgc.hierarchy(), 3, *mask, make_ctx(kRhealpix, 3));
  CHECK(back.ok() && *back == t);
  CHECK_ERR(from_raster(kRhealpix, 3, *mask, make_ctx(kRhealpix, 2)), "context ladders reach depth 2, tree needs 3");
  CHECK_ERR(from_raster(kOgc, 4000000000u, {}), "level 4000000000 overflows");
}

void display_text() {
  // Whole-degree longitudes stay floats in the text ("-180.0"), and no key is out of order.
  auto text = cells_geojson(std::vector<uint64_t>{9}, kOgc, 3);
  CHECK(text.ok() && text->find("[-180.0,") != std::string::npos && text->find(",[180.0,90.0],") != std::string::npos);
  CHECK(text.ok() && write_json(*parse_json(*text)) == *text);
  Profile four = kOgc;
  four.aperture = 4;
  auto other = cells_geojson(std::vector<uint64_t>{4 * 4}, four, 3);
  CHECK(other.ok() && other->find("\"suid\":null") != std::string::npos);
}

}  // namespace

int main() {
  zone_data();
  rasters();
  display_text();
  return zarel_test::finish();
}
