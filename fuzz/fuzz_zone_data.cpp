// libFuzzer target: the DGGS-JSON reader on arbitrary bytes. Whatever the
// input, reading must return without a crash, a sanitizer report or a hang;
// a document it accepts must survive a write and re-read as the same tree,
// and small trees a raster round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/json.h"
#include "tree/tree_raster.h"
#include "exchange/zone_data.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto doc = zarel::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!doc) return 0;
  const zarel::Profile ogc = zarel::Profile::ogc();
  // The first byte picks the options, so every reading path is reached.
  uint8_t opts = size ? data[0] : 0;
  std::optional<std::string_view> field;
  if (opts & 1) field = "coverage";
  std::optional<uint32_t> depth;
  if (opts & 2) depth = opts >> 4;
  auto tree = zarel::from_dggs_json(*doc, ogc, field, depth, opts & 4);
  if (!tree) return 0;
  const zarel::Json* id = zarel::member(*doc, "zoneId");
  uint64_t zone = *zarel::suid_to_cid(id->get_ref<const std::string&>());
  auto written = zarel::to_dggs_json(*tree, ogc, zone, "coverage");
  if (!written) std::abort();
  auto again = zarel::from_dggs_json(*written, ogc, std::nullopt, std::nullopt, false);
  if (!again || !(*again == *tree)) std::abort();
  if (tree->depth <= 4) {
    auto mask = zarel::raster(*tree);
    auto back = mask ? zarel::from_raster(ogc, tree->depth, *mask) : mask.error();
    if (!back || !(*back == *tree)) std::abort();
  }
  return 0;
}
