// Cell polygons that tile. Two cells drawn together share every point of the
// boundary they have in common, as the same doubles: corners come from one
// name of each grid vertex (geo::canonical), and an edge met by finer cells of
// the same drawing is walked in the pieces of the finest cells along it, each
// piece densified once, from its own ends. A union of such polygons is then
// exact: shared edges cancel, nothing is left between them.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "base/error.h"
#include "cells/hierarchy.h"
#include "geo/grid.h"
#include "profile/profile.h"

namespace zarel {

class Tiling {
 public:
  // The cells drawn together: any levels, any order, duplicates and invalid
  // cids allowed (the caller reports those). Fails only for a profile whose
  // geometry is refused.
  // `rim_points` as in geo::append_edge: an outline leaves them out, since
  // the equatorial cells across the rim do not have them.
  static Result<Tiling> of(const Profile& profile, std::span<const uint64_t> cids, bool rim_points = true);

  // The cell's closed ring, clockwise on the plane from its upper-left corner,
  // `n` points per piece of a curved edge (at least 2). `pole_at` receives the
  // index of the corner at a pole, for cells that have one; `cut` flags the
  // segments along a drawn cap's rim (see geo::display_polygon).
  Result<std::vector<geo::LonLat>> ring(const Path& path, uint32_t n, size_t& pole_at,
                                        std::vector<uint8_t>& cut) const;
  // Its counter-clockwise display polygon (geo::display_polygon); `n` applies
  // to polar cells, as in geo::cell_polygon, and to the rim edges of
  // equatorial cells drawn with the polar cells across (geo::append_edge).
  Result<std::vector<geo::LonLat>> polygon(const Path& path, uint32_t n) const;

  // The number of points of `ring(path, n)`, found without projecting any: `polygon(path, n)`
  // has from that many to kPolygonExtra more, so callers bound their output
  // before making it.
  // REQUIRES: geo::check_path(grid(), path) holds.
  uint64_t ring_size(const Path& path, uint32_t n) const;
  // Points a display polygon adds to its ring at most: two crossings of the
  // antimeridian, or a cap's closing through the pole, or a pole corner.
  static constexpr uint64_t kPolygonExtra = 5;

  const geo::Grid& grid() const { return grid_; }
  const Hierarchy& hierarchy() const { return h_; }

 private:
  enum class Held : uint8_t { None, Whole, Part };
  Held held(uint64_t cid, uint32_t level) const;
  // How much of the same-level neighbour across edge `e` is drawn.
  Held across(const geo::Vertex& cell, geo::Edge e) const;
  // Whether drawn cells meet the edge `e` from the other side.
  bool touched(const geo::Vertex& cell, geo::Edge e) const;
  uint64_t count(const geo::Vertex& cell, geo::Edge e, uint32_t m) const;
  // Whether an equatorial cell's edge on a polar square's rim takes the rim
  // points of the polar cell drawn across it.
  bool rim_shared(const geo::Vertex& cell, geo::Edge e, uint32_t m) const;
  geo::Vertex child_along(const geo::Vertex& cell, geo::Edge e, uint32_t k) const;
  Status walk(const geo::Vertex& cell, geo::Edge e, uint32_t m, bool cap, std::vector<geo::LonLat>& ring,
              std::vector<uint8_t>& cut) const;
  // Whether a drawn cell holding a pole lies across edge `e`.
  bool cap_across(const geo::Vertex& cell, geo::Edge e) const;

  geo::Grid grid_;
  Hierarchy h_;
  uint32_t side_ = 0;
  // The finest level drawn, and the drawn area as merged ranges of its cids;
  // empty when all cells have one level, where no edge is met by finer cells,
  // unless polar cells drawn with rim points may lie across an equatorial one.
  uint32_t finest_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> ranges_;
  // The drawn cells, sorted, for the caps among them.
  std::vector<uint64_t> drawn_;
  bool caps_ = false;
  bool polar_ = false;
  bool mixed_ = false;  // more than one level drawn: edges may be met by finer cells
  bool rim_points_ = true;
};

}  // namespace zarel
