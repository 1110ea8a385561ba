#include "polyfill.h"

#include <string>

#include "cell_box.h"
#include "edge_index.h"
#include "geo/grid.h"

namespace zarel {

namespace {

class Descent {
 public:
  // Refuses once the listed cells hold more than `max_leaves` leaves.
  Descent(const GridInfo& info, const Indexed& index, uint32_t resolution, uint32_t aperture, uint64_t max_leaves,
          const Cancel& cancel, Mode mode)
      : info_(info),
        index_(index),
        resolution_(resolution),
        a_(aperture),
        max_leaves_(max_leaves),
        cancel_(cancel),
        mode_(mode),
        shapes_(info, index, cancel) {
    for (uint32_t k = 0; k <= resolution; ++k) scale_.push_back(pow_u64(aperture, k));
  }

  Status visit(Path& path, uint64_t cid) {
    if (cancel_.stop()) return cancelled();
    if (mode_ != Mode::Nucleus) return visit_whole(path, cid);
    ZAREL_TRY(CellBoxes boxes, info_.cell_bbox(path));
    Corners corners(index_, boxes);
    if (corners.all_outside()) return ok();
    if (path.level() < resolution_) {
      if (corners.all_inside()) return keep(cid, path.level());
      for (uint32_t d = 0; d < a_; ++d) {
        path.push(d);
        Status s = visit(path, cid * a_ + d);
        path.pop();
        ZAREL_CHECK(s);
      }
      return ok();
    }
    ZAREL_TRY(geo::LonLat n, geo::nucleus(info_.grid(), path));
    if (on_earth(n) == Location::Inside) return keep(cid, resolution_);
    return ok();
  }

  std::vector<uint64_t>& out() { return out_; }

 private:
  // The whole-cell modes: a coarse cell's enclosing box settles its subtree
  // when no edge enters it, and each cell at the resolution is judged whole.
  Status visit_whole(Path& path, uint64_t cid) {
    if (path.level() == resolution_) {
      ZAREL_TRY(Region r, shapes_.leaf(path));
      if (r == Region::Inside || (r == Region::Crossed && mode_ == Mode::Overlap)) return keep(cid, resolution_);
      return ok();
    }
    ZAREL_TRY(Region r, shapes_.block(path));
    if (r == Region::Outside) return ok();
    if (r == Region::Inside) return keep(cid, path.level());
    for (uint32_t d = 0; d < a_; ++d) {
      path.push(d);
      Status s = visit(path, cid * a_ + d);
      path.pop();
      ZAREL_CHECK(s);
    }
    return ok();
  }

  Status keep(uint64_t cid, uint32_t level) {
    out_.push_back(cid);
    // No sum can overflow: the globe at a resolution within the deepest level has fewer than 2^64 cells.
    leaves_ += scale_[resolution_ - level];
    if (leaves_ <= max_leaves_) return ok();
    return invalid("the polygon covers at least " + std::to_string(leaves_) + " cells at resolution " +
                   std::to_string(resolution_) + ", more than the " + std::to_string(max_leaves_) +
                   " that polyfill materialises; use Tree.from_geojson");
  }

  // The edges of the coordinates are no edges on the Earth: a nucleus on the
  // +-180 meridian (normalised to -180) is inside when the polygon covers both
  // sides of it, and one at a pole when the polygon covers all around it.
  // Nuclei on any other edge stay outside.
  Location on_earth(geo::LonLat n) const {
    Location where = index_.position(n.lon, n.lat);
    if (where != Location::OnBoundary) return where;
    if (n.lat == 90 || n.lat == -90) return index_.beside_parallel(-180, 180, n.lat, n.lat < 0);
    if (n.lon != -180) return where;
    Location east = index_.beside_meridian(-180, n.lat, true);
    return east == Location::Inside ? index_.beside_meridian(180, n.lat, false) : east;
  }

  // The corners of a cell's boxes, each located at most once, and each box's
  // edge test made at most once, in the order the two tests ask for them.
  class Corners {
   public:
    Corners(const Indexed& index, const CellBoxes& boxes) : index_(index), boxes_(boxes) {}

    bool all_outside() {
      for (uint32_t k = 0; k < boxes_.count; ++k)
        if (!uniform(k, Location::Outside)) return false;
      return true;
    }
    bool all_inside() {
      for (uint32_t k = 0; k < boxes_.count; ++k)
        if (!uniform(k, Location::Inside)) return false;
      return true;
    }

   private:
    // Every corner of box k at `want`, and no edge meeting the box.
    bool uniform(uint32_t k, Location want) {
      for (uint32_t i = 0; i < 4; ++i)
        if (at(k, i) != want) return false;
      if (touched_[k] < 0) touched_[k] = index_.any_edge_touches(boxes_.box[k]);
      return touched_[k] == 0;
    }
    Location at(uint32_t k, uint32_t i) {
      if (!known_[k][i]) {
        const Box& b = boxes_.box[k];
        double x = i == 0 || i == 3 ? b.min_x : b.max_x;
        double y = i < 2 ? b.min_y : b.max_y;
        loc_[k][i] = index_.position(x, y);
        known_[k][i] = true;
      }
      return loc_[k][i];
    }

    const Indexed& index_;
    const CellBoxes& boxes_;
    Location loc_[2][4];
    bool known_[2][4] = {};
    int touched_[2] = {-1, -1};
  };

  const GridInfo& info_;
  const Indexed& index_;
  uint32_t resolution_, a_;
  uint64_t max_leaves_, leaves_ = 0;
  std::vector<uint64_t> scale_;  // a^k for every level difference k
  const Cancel& cancel_;
  Mode mode_;
  CellShapes shapes_;
  std::vector<uint64_t> out_;
};

Result<std::vector<uint64_t>> descend(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                      uint64_t max_leaves, const Cancel& cancel, Mode mode) {
  if (resolution > kMaxResolution)
    return invalid("resolution " + std::to_string(resolution) + " out of range [0, " +
                   std::to_string(kMaxResolution) + "]");
  ZAREL_CHECK(profile.validate());
  // The geometry knows six base cells; other counts have no cells to fill.
  if (profile.n_base != 6)
    return invalid("the rHEALPix layout has 6 base cells, the profile has " + std::to_string(profile.n_base));
  // Wide apertures reach the 64-bit cid limit above level 15.
  Hierarchy h = profile.hierarchy();
  if (uint32_t max = h.deepest(); resolution > max)
    return invalid("depth " + std::to_string(resolution) + " is deeper than the deepest level, " + std::to_string(max));
  ZAREL_TRY(GridInfo info, GridInfo::make(profile));
  Indexed index = Indexed::build(polygons);
  Descent descent(info, index, resolution, h.a, max_leaves, cancel, mode);
  for (uint32_t b = 0; b < h.b; ++b) {
    Path path;
    path.push(b);
    ZAREL_CHECK(descent.visit(path, uint64_t{h.a} + b));
  }
  return std::move(descent.out());
}

}  // namespace

Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                          const Cancel& cancel, Mode mode) {
  return descend(polygons, resolution, profile, UINT64_MAX, cancel, mode);
}

Result<std::vector<uint64_t>> polyfill(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                       const Cancel& cancel, Mode mode) {
  ZAREL_TRY(std::vector<uint64_t> nodes, descend(polygons, resolution, profile, kMaxLeaves, cancel, mode));
  Hierarchy h = profile.hierarchy();
  std::vector<uint64_t> scale(resolution + 1);
  for (uint32_t k = 0; k <= resolution; ++k) scale[k] = pow_u64(h.a, k);
  uint64_t count = 0;
  for (uint64_t c : nodes) count += scale[resolution - h.level_of(c)];
  // Descent order is ascending cid order at every level, and the listed cells
  // are disjoint, so the expansion comes out ascending and without duplicates.
  std::vector<uint64_t> out;
  out.reserve(count);
  for (uint64_t c : nodes) {
    if (cancel.stop()) return cancelled();
    uint64_t s = scale[resolution - h.level_of(c)];
    for (uint64_t leaf = c * s, end = (c + 1) * s; leaf < end; ++leaf) out.push_back(leaf);
  }
  return out;
}

Result<Tree> cover(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile, CtxRef ctx,
                   const Cancel& cancel, Mode mode) {
  ZAREL_TRY(std::vector<uint64_t> nodes, cover_nodes(polygons, resolution, profile, cancel, mode));
  return Tree::from_cells(nodes, resolution, profile.hierarchy(), std::move(ctx), cancel);
}

Result<Hash> fingerprint_polygon(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                 const Cancel& cancel, Mode mode) {
  ZAREL_TRY(CtxRef ctx, profile.ctx(resolution));
  ZAREL_TRY(Tree tree, cover(polygons, resolution, profile, std::move(ctx), cancel, mode));
  return tree.root();
}

Result<Hash> fingerprint_geojson(const Json& value, uint32_t resolution, const Profile& profile, const Cancel& cancel) {
  ZAREL_TRY(MultiPolygon polygons, geometry_from_geojson(value));
  return fingerprint_polygon(polygons, resolution, profile, cancel);
}

}  // namespace zarel
