// libFuzzer target: the tree-bytes and index-bytes readers on arbitrary bytes.
// Whatever the input, reading must return without a crash, a sanitizer report
// or a hang; bytes it accepts are the one canonical form of what they hold, so
// writing the result back gives the input again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "exchange/tree_bytes.h"

namespace {

// A valid header of the OGC profile at depth `depth`, so that the shape reader
// sees most inputs rather than the header checks.
std::vector<uint8_t> header(uint32_t depth) {
  zarel::Tree empty = *zarel::Tree::empty(zarel::kRhealpix, depth, *zarel::Profile::ogc().ctx(depth));
  std::vector<uint8_t> bytes = zarel::tree_to_bytes(empty, zarel::Profile::ogc());
  bytes.pop_back();  // the empty tree's six zero bits
  return bytes;
}

void tree_round_trip(std::span<const uint8_t> data) {
  auto read = zarel::tree_from_bytes(data);
  if (!read) return;
  std::vector<uint8_t> again = zarel::tree_to_bytes(read->tree, read->profile);
  if (!std::equal(again.begin(), again.end(), data.begin(), data.end())) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::span<const uint8_t> input(data, size);
  tree_round_trip(input);
  // The first byte picks a header for the rest: the OGC profile at depth 0..18.
  if (size >= 1 && data[0] < 19) {
    std::vector<uint8_t> framed = header(data[0]);
    framed.insert(framed.end(), data + 1, data + size);
    tree_round_trip(framed);
  }
  auto index = zarel::index_from_bytes(input);
  if (index) {
    auto again = *zarel::index_to_bytes(index->index, index->profile);
    if (!std::equal(again.begin(), again.end(), input.begin(), input.end())) std::abort();
  }
  return 0;
}
