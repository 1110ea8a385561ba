// Zone data, tree rasters and display GeoJSON: round trips against leaf sets,
// every refusal message, and the bounds that keep a hostile document or an
// oversized request from allocating before it is refused.
#include <random>
#include <set>

#include "check.h"
#include "display.h"
#include "json.h"
#include "tree_raster.h"
#include "zone.h"
#include "zone_data.h"

using namespace zarel;

namespace {

const Profile kOgc = Profile::ogc();

Tree tree(const std::vector<uint64_t>& cids, uint32_t depth) { return *Tree::from_cells(cids, depth, kOgc); }

std::vector<uint64_t> random_cells(std::mt19937_64& rng, uint32_t depth, size_t n) {
  std::vector<uint64_t> out;
  for (size_t i = 0; i < n; ++i) {
    uint64_t cid = 9 + rng() % 6;
    for (uint32_t l = rng() % (depth + 1); l > 0; --l) cid = cid * 9 + rng() % 9;
    out.push_back(cid);
  }
  return out;
}

Json doc(const std::string& text) { return *parse_json(text); }

// A document for zone "N" at depth 1 with the given data array text.
Json depth1(const std::string& data, const std::string& extra = "") {
  return doc(R"({"dggrs":"https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix","zoneId":"N",)" + extra +
             R"("values":{"f":[{"depth":1,"data":)" + data + "}]}}");
}

void raster_round_trips() {
  std::mt19937_64 rng(3);
  for (uint32_t depth = 0; depth <= 4; ++depth)
    for (int i = 0; i < 5; ++i) {
      Tree t = tree(random_cells(rng, depth, 1 + rng() % 20), depth);
      auto bytes = raster(t);
      CHECK(bytes.ok());
      // Every byte says whether the cell at that raster position is a covered leaf.
      auto cells = *raster_cells(kRhealpix, depth);
      bool agree = bytes->size() == cells.size();
      for (size_t k = 0; agree && k < cells.size(); ++k) agree = (*bytes)[k] == (*t.covers(cells[k]) ? 1 : 0);
      CHECK(agree);
      auto back = from_raster(kOgc, depth, *bytes);
      CHECK(back.ok() && *back == t);
    }
  std::vector<uint8_t> ones(6 * 81, 255);
  auto full = *from_raster(kOgc, 2, ones);
  CHECK(full.cells() == (std::vector<uint64_t>{9, 10, 11, 12, 13, 14}));
  CHECK(from_raster(kOgc, 2, std::vector<uint8_t>(486, 0))->is_empty());
  CHECK_ERR(from_raster(kOgc, 2, std::vector<uint8_t>(485)), "raster has 485 cells, depth 2 needs 486");
  CHECK_ERR(from_raster(kOgc, 9, {}), "a raster at level 9 is too large");
  CHECK_ERR(from_raster(kOgc, 41, {}), "level 41 overflows");
  CHECK_ERR(from_raster(kOgc, 4000000000u, {}), "level 4000000000 overflows");
  CHECK_ERR(raster(tree({}, 9)), "a raster at level 9 is too large");
  auto base0 = *raster(tree({9}, 1));
  for (size_t k = 0; k < base0.size(); ++k) CHECK_EQ(base0[k], k < 9 ? 1 : 0);
}

void zone_data_round_trips() {
  std::mt19937_64 rng(5);
  for (int i = 0; i < 40; ++i) {
    uint32_t depth = 1 + i % 4;
    Tree t = tree(random_cells(rng, depth, 1 + rng() % 30), depth);
    uint64_t zone = 9 + rng() % 6;
    for (uint32_t l = rng() % (depth + 1); l > 0; --l) zone = zone * 9 + rng() % 9;
    auto written = to_dggs_json(t, kOgc, zone, "coverage");
    CHECK(written.ok());
    auto back = from_dggs_json(*written, kOgc, std::nullopt, std::nullopt, false);
    CHECK(back.ok());
    // The tree read back holds exactly t's leaves inside the zone.
    std::set<uint64_t> want;
    std::vector<uint64_t> leaves = *t.leaves();
    for (uint64_t leaf : leaves)
      if (kRhealpix.is_ancestor(zone, leaf)) want.insert(leaf);
    auto got = *back->leaves();
    CHECK(back->depth == depth && std::set<uint64_t>(got.begin(), got.end()) == want);
    // Value i belongs to the sub-zone with scanline index i.
    const Json& data = (*written)["values"]["coverage"][0]["data"];
    uint32_t d = depth - kRhealpix.level_of(zone);
    auto subs = *subzones(kRhealpix, zone, d);
    bool order = data.size() == subs.size();
    for (size_t k = 0; order && k < subs.size(); ++k) order = (data[k] == 1) == (want.count(subs[k]) == 1);
    CHECK(order);
  }
  // A zone inside a Full cell, outside the tree, at the tree's own depth.
  Tree t = tree({10}, 2);
  CHECK((*to_dggs_json(t, kOgc, 10 * 9 + 4, "c"))["values"]["c"][0]["data"] == Json::array({1, 1, 1, 1, 1, 1, 1, 1, 1}));
  CHECK((*to_dggs_json(t, kOgc, 9, "c"))["values"]["c"][0]["data"].size() == 81);
  auto one = *to_dggs_json(t, kOgc, (10 * 9 + 4) * 9, "c");
  CHECK(one["depths"] == Json::array({0}) && one["values"]["c"][0]["data"] == Json::array({1}));
}

void zone_data_messages() {
  const std::string uri = "\"https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix\"";
  Profile moved = kOgc;
  moved.lon_0_udeg = 0;
  std::string not_registered =
      "profile " + moved.describe() + " is not a registered DGGRS; its zone ids would be read against another grid";
  CHECK_ERR(registered(moved), not_registered);
  CHECK_ERR(to_dggs_json(tree({9}, 2), moved, 9, "c"), not_registered);
  CHECK_ERR(from_dggs_json(depth1("[]"), moved, {}, {}, false), not_registered);
  Profile bad = kOgc;
  bad.tick_us = 0;
  CHECK_ERR(registered(bad), "tick_us must be >= 1");
  CHECK_ERR(count_at(10), "depth 10 has too many sub-zones");
  CHECK_ERR(count_at(uint64_t{1} << 40), "depth 1099511627776 has too many sub-zones");
  CHECK(*count_at(9) == 387420489);
  CHECK_ERR(to_dggs_json(tree({}, 10), kOgc, 9, "c"), "depth 10 has too many sub-zones");
  CHECK_ERR(to_dggs_json(tree({}, 2), kOgc, 9 * 729, "c"), "cid 6561 is at level 3, deeper than 2");
  CtxRef ctx = make_ctx(Hierarchy{4, 6}, 1);
  CHECK_ERR(to_dggs_json(*Tree::empty(Hierarchy{4, 6}, 1, ctx), kOgc, 4, "c"), "zone data needs the rHEALPix hierarchy");

  auto read = [](const Json& d, std::optional<std::string_view> field = {}, std::optional<uint32_t> depth = {},
                 bool nonzero = false) { return from_dggs_json(d, kOgc, field, depth, nonzero); };
  CHECK_ERR(read(doc("[]")), "document DGGRS None is not the profile's " + uri);
  CHECK_ERR(read(doc(R"({"dggrs":5})")), "document DGGRS None is not the profile's " + uri);
  CHECK_ERR(read(doc(R"({"dggrs":"x\"y"})")), "document DGGRS Some(\"x\\\"y\") is not the profile's " + uri);
  CHECK_ERR(read(depth1("[]", R"("dimensions":[{}],)")),
            "zone data with extra dimensions has more than one value per sub-zone");
  CHECK(read(depth1("[1,1,1,1,1,1,1,1,1]", R"("dimensions":[],)")).ok());
  std::string head = R"({"dggrs":"https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix")";
  CHECK_ERR(read(doc(head + "}")), "missing zoneId");
  CHECK_ERR(read(doc(head + R"(,"zoneId":"X"})")), "unknown base cell 'X'");
  CHECK_ERR(read(doc(head + R"(,"zoneId":"N"})")), "missing values");
  CHECK_ERR(read(doc(head + R"(,"zoneId":"N","values":{}})")), "the document has several fields []; name one");
  Json two = doc(head + R"(,"zoneId":"N","values":{"b":[],"a":5}})");
  CHECK_ERR(read(two), R"(the document has several fields ["a", "b"]; name one)");
  CHECK_ERR(read(two, "c"), R"(no field "c"; the document has ["a", "b"])");
  CHECK_ERR(read(two, "a"), "a field's values must be an array");
  CHECK_ERR(read(two, "b"), "the document has several depths []; name one");
  Json depths = doc(head + R"(,"zoneId":"N","depths":[3,4],"values":{"f":[{"data":[]}]}})");
  CHECK_ERR(read(depths), "a value entry names no depth");
  Json entries = doc(head + R"(,"zoneId":"N","values":{"f":[{"depth":1},{"depth":2}]}})");
  CHECK_ERR(read(entries), R"(the document has several depths ["1", "2"]; name one)");
  CHECK_ERR(read(entries, {}, 3), R"(no depth "3"; the document has ["1", "2"])");
  CHECK_ERR(read(entries, {}, 2), "missing data");
  // Claims the data cannot back are refused before anything is allocated.
  Json huge = doc(head + R"(,"zoneId":"N","values":{"f":[{"depth":9,"data":[]}]}})");
  CHECK_ERR(read(huge), "0 values for the 387420489 sub-zones at depth 9");
  Json wide = doc(head + R"(,"zoneId":"N","values":{"f":[{"depth":4294967296,"data":[]}]}})");
  CHECK_ERR(read(wide), "depth 4294967296 has too many sub-zones");
  Json shape = doc(head + R"(,"zoneId":"N","values":{"f":[{"depth":2,"shape":{"count":80},"data":[]}]}})");
  CHECK_ERR(read(shape), R"(shape Some({"count":80}) does not describe the 81 sub-zones at depth 2)");
  CHECK_ERR(read(depth1("[1,1]", "")), "2 values for the 9 sub-zones at depth 1");
  CHECK_ERR(read(depth1("[1,1,1,1,true,1,1,1,1]")), "zone data value true is not a number or null");
  CHECK_ERR(read(depth1(R"([1,"1",1,1,1,1,1,1,1])")), R"(zone data value "1" is not a number or null)");
  std::string nulls = "[null";
  for (int i = 1; i < 81; ++i) nulls += ",null";
  nulls += "]";
  Json too_deep = doc(head + R"(,"zoneId":"N88888888888888888","depths":[2],"values":{"f":[{"data":)" + nulls + "}]}}");
  CHECK_ERR(read(too_deep), "depth 2 below a level-17 zone is deeper than the deepest level, 18");

  // An ignorable shape (a text count) and the nonzero rule.
  Json mixed = depth1("[0,1.5,null,2,0.0,null,null,null,null]", R"("depths":[1],)");
  mixed["values"]["f"][0]["shape"] = doc(R"({"count":"81","subZones":9})");
  auto all = read(mixed), nz = read(mixed, {}, {}, true);
  CHECK(all.ok() && all->cells() == (std::vector<uint64_t>{81, 82, 84, 85}));
  CHECK(nz.ok() && nz->cells() == (std::vector<uint64_t>{82, 84}));
}

void display_text() {
  CHECK(*cells_geojson({}, kOgc, 3) == R"({"features":[],"type":"FeatureCollection"})");
  std::vector<uint64_t> cids{9, 10, 10, 81, 983};
  auto text = cells_geojson(cids, kOgc, 3);
  CHECK(text.ok());
  auto parsed = parse_json(*text);
  CHECK(parsed.ok());
  const Json& f = (*parsed)["features"];
  CHECK(f.size() == 5 && f[1] == f[2]);
  CHECK(f[0]["id"] == "9" && f[0]["properties"]["cid"] == 9 && f[0]["properties"]["suid"] == "N");
  CHECK(f[4]["properties"]["level"] == 2 && f[4]["properties"]["suid"] == "Q12");
  // Cap of 4 * 2 + 1 ring points and four more; equatorial cells are four corners.
  const Json& cap = f[0]["geometry"]["coordinates"][0];
  CHECK(cap.size() == 13 && cap[0] == cap[12] && cap[0][0] == -180.0);
  CHECK(f[1]["geometry"]["coordinates"][0].size() == 5 && f[3]["geometry"]["coordinates"][0].size() == 9);
  for (const Json& p : cap) CHECK(p[0].is_number_float() && p[1].is_number_float());
  CHECK_ERR(cells_geojson(std::vector<uint64_t>{9, 15}, kOgc, 3), "cid 15 names base 6, outside [0, 6)");
  CHECK_ERR(cells_geojson(cids, kOgc, 65537), "n 65537 is above the maximum 65536 points per edge");
  Profile seven = kOgc;
  seven.n_base = 7;
  CHECK_ERR(cells_geojson(cids, seven, 3), "the rHEALPix layout has 6 base cells, the profile has 7");
  // Polar cells at the largest n, enough of them to pass the point bound.
  std::vector<uint64_t> many(300, 81);
  CHECK_ERR(cells_geojson(many, kOgc, 65536), "the GeoJSON would hold more than the maximum 67108864 points");
}

}  // namespace

int main() {
  raster_round_trips();
  zone_data_round_trips();
  zone_data_messages();
  display_text();
  return zarel_test::finish();
}
