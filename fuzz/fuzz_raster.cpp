// libFuzzer target: raster bytes, as Tree.from_raster reads them. The first
// byte picks the depth (0 to 3) and the second the aperture (9 or 4); the rest
// is the mask. A mask of the wrong length is refused; one of the right length
// (and the rest repeated to that length) gives the canonical tree of the mask:
// its raster is the mask read as 0 and 1, and its cells give the same root.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "profile/profile.h"
#include "tree/tree.h"
#include "tree/tree_raster.h"

namespace {

void round_trip(const zarel::Profile& profile, uint32_t depth, std::span<const uint8_t> mask) {
  auto tree = zarel::from_raster(profile, depth, mask);
  if (!tree) std::abort();
  auto back = zarel::raster(*tree);
  if (!back || back->size() != mask.size()) std::abort();
  for (size_t i = 0; i < mask.size(); ++i)
    if ((*back)[i] != (mask[i] != 0)) std::abort();
  auto ctx = profile.ctx(depth);
  if (!ctx) std::abort();
  auto cells = tree->cells();
  auto again = zarel::Tree::from_cells(cells, depth, profile.hierarchy(), std::move(ctx).value());
  if (!again || again->root() != tree->root()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint32_t depth = data[0] % 4;
  zarel::Profile profile;
  profile.aperture = data[1] % 2 ? 4 : 9;
  std::span<const uint8_t> bytes(data + 2, size - 2);
  uint64_t side = profile.aperture == 9 ? 3 : 2, needed = profile.n_base;
  for (uint32_t d = 0; d < depth; ++d) needed *= side * side;
  auto raw = zarel::from_raster(profile, depth, bytes);
  if (raw.ok() != (bytes.size() == needed)) std::abort();
  if (raw) round_trip(profile, depth, bytes);
  std::vector<uint8_t> mask(needed, 0);
  for (size_t i = 0; !bytes.empty() && i < needed; ++i) mask[i] = bytes[i % bytes.size()];
  round_trip(profile, depth, mask);
  return 0;
}
