// Polygon coverage: the cells at a resolution whose nucleus a polygon strictly
// contains, as a sorted cid list, as a canonical tree, or as that tree's root.
//
// The descent visits the base cells and splits only the cells that the
// polygon's boundary crosses. A cell whose lon/lat box misses the polygon is
// dropped whole; one whose box lies inside it is kept whole at its own level
// (one entry for its entire subtree); at the resolution each remaining cell is
// decided by its nucleus alone. So the work follows the boundary, not the area,
// and the result never depends on how tight the boxes are, only on the nuclei.
// A polygon within one facet of the projection is first bounded on the plane:
// cells beyond that bound are dropped before any projection, and just above
// the resolution the children's nuclei decide without a box.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

#include "base/cancel.h"
#include "fill/cell_box.h"
#include "fill/cell_shape.h"
#include "base/error.h"
#include "base/limits.h"
#include "profile/hash_context.h"
#include "base/json.h"
#include "fill/polygon.h"
#include "profile/profile.h"
#include "tree/tree.h"

namespace zarel {

// What fills need from their profile alone, made once and shared by every
// fill of that profile on any thread: the outcome of the profile's checks,
// its cell-box facts, and its hashing context per resolution, kept once asked for.
class FillSetup {
 public:
  explicit FillSetup(const Profile& profile);
  FillSetup(const FillSetup&) = delete;
  FillSetup& operator=(const FillSetup&) = delete;

  const Profile& profile() const { return profile_; }
  // profile.ctx(depth); the same context every time for depths a fill takes.
  Result<HashContextRef> ctx(uint32_t depth) const;

 private:
  friend Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon&, uint32_t, const FillSetup&, const Cancel&,
                                                   Mode, uint64_t);

  Profile profile_;
  uint32_t deepest_ = 0;     // of the profile's hierarchy, once usable
  Status usable_;            // validation, then the six-base-cell layout
  Result<CellBounds> info_;    // made only for a usable profile
  mutable std::mutex mutex_;
  mutable std::array<HashContextRef, kMaxResolution + 1> ctx_;
};

// Every call polls `cancel` while it works and returns `cancelled()` once it
// answers true. Each takes a FillSetup, or a Profile for one fill.

// Cells in descent order: inside cells coarser than `resolution` and
// resolution-level cells that the mode keeps; none contains another. The other
// modes keep a cell wholly inside the polygon, or one whose interior meets the
// polygon's interior (cell_shape.h says how exactly).
// Refused while descending once they hold more than `max_leaves` leaves.
Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup,
                                          const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus,
                                          uint64_t max_leaves = UINT64_MAX);
Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                          const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus);
// Every resolution-level cid of the covering list, ascending; refused while
// descending, as soon as there would be more than kMaxLeaves of them.
Result<std::vector<uint64_t>> polyfill(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup,
                                       const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus);
Result<std::vector<uint64_t>> polyfill(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                       const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus);
// The number of resolution-level cells under a covering list, and their cids
// written ascending to `out` (room for that many), as polyfill lists them.
uint64_t leaf_total(std::span<const uint64_t> nodes, uint32_t resolution, Hierarchy h);
void expand_leaves(std::span<const uint64_t> nodes, uint32_t resolution, Hierarchy h, uint64_t* out);
// The canonical tree of depth `resolution` over the covering list, built like
// Tree::from_cells. REQUIRES: `ctx` is the profile's context for `resolution`.
Result<Tree> cover(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup, HashContextRef ctx,
                   const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus);
Result<Tree> cover(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile, HashContextRef ctx,
                   const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus);
Result<Hash> fingerprint_polygon(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup,
                                 const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus);
Result<Hash> fingerprint_polygon(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                 const Cancel& cancel = never_cancelled(), Mode mode = Mode::Nucleus);
// Reads the polygon, then fingerprints it.
Result<Hash> fingerprint_geojson(const Json& value, uint32_t resolution, const Profile& profile,
                                 const Cancel& cancel = never_cancelled());

}  // namespace zarel
