#include "fill/polyfill.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "fill/degenerate.h"
#include "fill/edge_index.h"
#include "geo/grid.h"
#include "geo/rhealpix.h"
#include "zone/zone.h"

namespace zarel {

namespace {

class Descent {
 public:
  // Refuses once the listed cells hold more than `max_leaves` leaves.
  Descent(const CellBounds& info, const EdgeIndex& index, uint32_t resolution, uint32_t aperture, uint64_t max_leaves,
          const Cancel& cancel, Mode mode)
      : info_(info),
        grid_(info.grid()),
        index_(index),
        resolution_(resolution),
        a_(aperture),
        max_leaves_(max_leaves),
        mode_(mode),
        poll_(cancel, 64),
        shapes_(info, index, cancel) {
    for (uint32_t k = 0; k <= resolution; ++k) scale_[k] = pow_u64(aperture, k);
  }

  // Nuclei outside `plane` (planar metres) are outside the polygons: cells
  // wholly beyond it are dropped before any projection.
  void clip(const Box& plane) {
    plane_box_ = plane;
    clipped_ = true;
  }

  // The cell at `path`, which lies at (row, col) of its base cell.
  Status visit(Path& path, uint64_t row, uint64_t col, uint64_t cid) {
    if (poll_()) return cancelled();
    if (mode_ != Mode::Nucleus) return visit_whole(path, row, col, cid);
    uint32_t level = path.level(), base = path.base();
    // A leaf is its nucleus: no box could keep out a nucleus that is inside,
    // nor let in one that is not, so its box is not worth computing.
    if (level == resolution_) {
      geo::LonLat n;
      if (!geo::nucleus_into(grid_, info_.plane(level).nucleus(grid_, base, row, col), &latitudes_, &n))
        return geo::nucleus(grid_, path).error();
      if (on_earth(n) == Location::Inside) return keep(cid, resolution_);
      return ok();
    }
    // Just above the resolution a box mostly ends crossed, and its corners cost
    // more than the children's nuclei left after clipping: those decide at
    // once. The leaves found are the same, and so is the count a refusal
    // names, unless this cell could reach the limit.
    if (clipped_ && level + 1 == resolution_ && max_leaves_ - leaves_ >= scale_[1]) return split(path, row, col, cid);
    ZAREL_TRY(CellBoxes boxes, info_.cell_bbox(base, info_.plane(level), row, col, &latitudes_));
    Corners corners(index_, boxes);
    if (corners.all_outside()) return ok();
    if (corners.all_inside()) return keep(cid, level);
    return split(path, row, col, cid);
  }

  std::vector<uint64_t>& out() { return out_; }

 private:
  // The whole-cell modes: a coarse cell's enclosing box settles its subtree
  // when no edge enters it, and each cell at the resolution is judged whole.
  Status visit_whole(Path& path, uint64_t row, uint64_t col, uint64_t cid) {
    if (path.level() == resolution_) {
      ZAREL_TRY(Region r, shapes_.cell_region(path));
      if (r == Region::Inside || (r == Region::Crossed && mode_ == Mode::Overlap)) return keep(cid, resolution_);
      return ok();
    }
    ZAREL_TRY(Region r, shapes_.subtree_region(path));
    if (r == Region::Outside) return ok();
    if (r == Region::Inside) return keep(cid, path.level());
    return split(path, row, col, cid);
  }

  Status split(Path& path, uint64_t row, uint64_t col, uint64_t cid) {
    uint32_t side = grid_.side, base = path.base();
    const geo::LevelPlane& plane = info_.plane(path.level() + 1);
    for (uint32_t d = 0; d < a_; ++d) {
      uint64_t r = row * side + d / side, c = col * side + d % side;
      if (clipped_ && beyond(plane, base, r, c)) continue;
      path.push(d);
      Status s = visit(path, r, c, cid * a_ + d);
      path.pop();
      ZAREL_CHECK(s);
    }
    return ok();
  }

  // Whether the cell's square (its nucleus alone at the resolution) misses
  // the clipping box; it then holds no nucleus inside the polygons, so the
  // boxes would drop it or split it into nothing.
  bool beyond(const geo::LevelPlane& plane, uint32_t base, uint64_t row, uint64_t col) const {
    const Box& b = plane_box_;
    if (plane.level == resolution_) {
      geo::XY n = plane.nucleus(grid_, base, row, col);
      return n.x < b.min_x || n.x > b.max_x || n.y < b.min_y || n.y > b.max_y;
    }
    geo::XY ul = plane.ul(grid_, base, row, col);
    return ul.x > b.max_x || ul.y < b.min_y || ul.x + plane.width < b.min_x || ul.y - plane.width > b.max_y;
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
    Location where = index_.locate(n.lon, n.lat);
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
    Corners(const EdgeIndex& index, const CellBoxes& boxes) : index_(index), boxes_(boxes) {}

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
        loc_[k][i] = index_.locate(x, y);
        known_[k][i] = true;
      }
      return loc_[k][i];
    }

    const EdgeIndex& index_;
    const CellBoxes& boxes_;
    Location loc_[2][4];
    bool known_[2][4] = {};
    int touched_[2] = {-1, -1};
  };

  const CellBounds& info_;
  const geo::Grid& grid_;
  const EdgeIndex& index_;
  uint32_t resolution_, a_;
  uint64_t max_leaves_, leaves_ = 0;
  std::array<uint64_t, kMaxResolution + 1> scale_{};  // a^k for every level difference k
  Box plane_box_;
  bool clipped_ = false;
  Mode mode_;
  Poll poll_;  // a visit takes well under a microsecond; the clock is read every 64
  CellShapes shapes_;
  geo::LatitudeMemo latitudes_;
  std::vector<uint64_t> out_;
};

// Where a descent may start instead of the base cells: up to 2 x 2 cells of
// one level, ascending, that together enclose every point of the polygons.
struct Start {
  uint32_t count = 0;
  std::array<uint64_t, 4> cid{};
  // Planar metres beyond which no point of the polygons lies, with a margin
  // far above the projection's rounding: no nucleus outside it is inside.
  Box plane;
};

// For polygons whose longitude/latitude box lies inside one facet of the
// projection (the equatorial band, or one 90-degree quarter of a polar cap
// short of the pole): the cells of the deepest level, at most two rows and two
// columns of them, whose squares enclose the box's planar image. In the band
// planar x follows longitude and y latitude; in a polar quarter x and y are
// bilinear in longitude and a monotone function of latitude, turned as a whole
// into the polar square. Either way the image lies within the box of its four
// corners' images. So no nucleus outside the start cells is inside the
// polygons, and every cell the descent skips would have been dropped whole or
// split into nothing: the covering list is unchanged. No start (count 0) when
// that cannot be shown; the descent then starts at the base cells.
Start start_cells(const CellBounds& info, const MultiPolygon& polygons, uint32_t resolution, Hierarchy h) {
  Box box{INFINITY, INFINITY, -INFINITY, -INFINITY};
  auto extend = [&](const Ring& ring) {
    for (const Coord& c : ring) {
      box.min_x = std::min(box.min_x, c.x);
      box.max_x = std::max(box.max_x, c.x);
      box.min_y = std::min(box.min_y, c.y);
      box.max_y = std::max(box.max_y, c.y);
    }
  };
  for (const Polygon& p : polygons) {
    extend(p.exterior());
    for (const Ring& r : p.holes()) extend(r);
  }
  const geo::Grid& g = info.grid();
  double cap = info.cap_lat();
  // Off the seam, and never reaching a pole, the cap's rim or (in a cap) a quarter's edge.
  if (!(box.min_x > -180 && box.max_x < 180 && box.min_y > -90 && box.max_y < 90)) return {};
  double lo = geo::wrap_lon(box.min_x - g.lon_0), hi = lo + (box.max_x - box.min_x);
  bool band = -cap < box.min_y && box.max_y < cap;
  bool polar = box.min_y > cap || box.max_y < -cap;
  if (!(hi < 180) || !(band || (polar && std::floor((lo + 180) / 90) == std::floor((hi + 180) / 90) &&
                                 std::fmod(lo + 180, 90) > 0)))
    return {};
  constexpr double kRad = geo::kPi / 180;
  double px[2] = {INFINITY, -INFINITY}, py[2] = {INFINITY, -INFINITY};
  for (double lon : {lo, hi})
    for (double lat : {box.min_y, box.max_y}) {
      geo::XY p = geo::rhealpix_ellipsoid(g.north_square, g.south_square, true, lon * kRad, lat * kRad, g.auth);
      px[0] = std::min(px[0], p.x * g.r_auth);
      px[1] = std::max(px[1], p.x * g.r_auth);
      py[0] = std::min(py[0], p.y * g.r_auth);
      py[1] = std::max(py[1], p.y * g.r_auth);
    }
  // Far above the projections' rounding, far below half a cell at the finest resolution.
  double margin = 1e-9 * g.r_auth;
  px[0] -= margin, px[1] += margin, py[0] -= margin, py[1] += margin;
  auto first = geo::cell_from_planar(g, 0, px[0], py[1]);
  auto last = geo::cell_from_planar(g, 0, px[1], py[0]);
  if (!first || !last || first->base != last->base || (first->base == 0 || first->base == 5) != polar) return {};
  uint32_t base = first->base;
  geo::XY ul = g.ul[base];
  auto index = [](double v, double side) { return static_cast<int64_t>(std::floor(v / side)); };
  for (uint32_t level = resolution + 1; level-- > 0;) {
    double side = g.r_auth * geo::kPi / 2 / static_cast<double>(pow_u64(g.side, level));
    int64_t n = static_cast<int64_t>(pow_u64(g.side, level));
    int64_t c0 = index(px[0] - ul.x, side), c1 = index(px[1] - ul.x, side);
    int64_t r0 = index(ul.y - py[1], side), r1 = index(ul.y - py[0], side);
    if (c0 < 0 || r0 < 0 || c1 >= n || r1 >= n) return {};
    if (c1 - c0 > 1 || r1 - r0 > 1) continue;
    Start start;
    start.plane = {px[0], py[0], px[1], py[1]};
    for (int64_t row = r0; row <= r1; ++row)
      for (int64_t col = c0; col <= c1; ++col) {
        auto cid = cell_at(h, base, level, static_cast<uint64_t>(row), static_cast<uint64_t>(col));
        if (!cid) return {};
        start.cid[start.count++] = *cid;
      }
    std::sort(start.cid.begin(), start.cid.begin() + start.count);
    return start;
  }
  return {};
}

}  // namespace

FillSetup::FillSetup(const Profile& profile)
    : profile_(profile), usable_(ok()), info_(invalid("unusable profile")) {
  usable_ = profile.validate();
  // The geometry knows six base cells; other counts have no cells to fill.
  if (usable_ && profile.n_base != 6)
    usable_ = invalid("the rHEALPix layout has 6 base cells, the profile has " + std::to_string(profile.n_base));
  if (usable_) info_ = CellBounds::make(profile);
  // Only a valid aperture bounds the hierarchy.
  if (usable_) deepest_ = profile.hierarchy().deepest();
}

Result<HashContextRef> FillSetup::ctx(uint32_t depth) const {
  if (depth > kMaxResolution) return profile_.ctx(depth);
  std::lock_guard<std::mutex> hold(mutex_);
  if (!ctx_[depth]) {
    ZAREL_TRY(HashContextRef made, profile_.ctx(depth));
    ctx_[depth] = std::move(made);
  }
  return ctx_[depth];
}

Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup,
                                          const Cancel& cancel, Mode mode, uint64_t max_leaves) {
  if (resolution > kMaxResolution)
    return invalid("resolution " + std::to_string(resolution) + " out of range [0, " +
                   std::to_string(kMaxResolution) + "]");
  ZAREL_CHECK(setup.usable_);
  // Wide apertures reach the 64-bit cid limit above level 15.
  Hierarchy h = setup.profile().hierarchy();
  if (uint32_t max = setup.deepest_; resolution > max)
    return invalid("depth " + std::to_string(resolution) + " is deeper than the deepest level, " + std::to_string(max));
  if (!setup.info_) return setup.info_.error();
  const CellBounds& info = *setup.info_;
  // Every mode reads the one region the polygons bound.
  MultiPolygon region = without_degenerate_parts(polygons);
  EdgeIndex index = EdgeIndex::build(region);
  Descent descent(info, index, resolution, h.a, max_leaves, cancel, mode);
  Start start = start_cells(info, region, resolution, h);
  if (start.count > 0 && mode == Mode::Nucleus) descent.clip(start.plane);
  for (uint32_t k = 0; k < start.count; ++k) {
    ZAREL_TRY(Path path, h.path(start.cid[k]));
    geo::GridCell at = geo::cell_position(info.grid(), path);
    ZAREL_CHECK(descent.visit(path, at.row, at.col, start.cid[k]));
  }
  for (uint32_t b = 0; b < h.b && start.count == 0; ++b) {
    Path path;
    path.push(b);
    ZAREL_CHECK(descent.visit(path, 0, 0, uint64_t{h.a} + b));
  }
  return std::move(descent.out());
}

Result<std::vector<uint64_t>> cover_nodes(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                          const Cancel& cancel, Mode mode) {
  return cover_nodes(polygons, resolution, FillSetup(profile), cancel, mode);
}

uint64_t leaf_total(std::span<const uint64_t> nodes, uint32_t resolution, Hierarchy h) {
  // No sum can overflow: the globe at a resolution within the deepest level has fewer than 2^64 cells.
  uint64_t count = 0;
  for (uint64_t c : nodes) count += pow_u64(h.a, resolution - h.level_of(c));
  return count;
}

void expand_leaves(std::span<const uint64_t> nodes, uint32_t resolution, Hierarchy h, uint64_t* out) {
  // Descent order is ascending cid order at every level, and the listed cells
  // are disjoint, so the expansion comes out ascending and without duplicates.
  for (uint64_t c : nodes) {
    uint64_t s = pow_u64(h.a, resolution - h.level_of(c));
    for (uint64_t leaf = c * s, end = (c + 1) * s; leaf < end; ++leaf) *out++ = leaf;
  }
}

Result<std::vector<uint64_t>> polyfill(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup,
                                       const Cancel& cancel, Mode mode) {
  ZAREL_TRY(std::vector<uint64_t> nodes, cover_nodes(polygons, resolution, setup, cancel, mode, kMaxLeaves));
  Hierarchy h = setup.profile().hierarchy();
  std::vector<uint64_t> out(leaf_total(nodes, resolution, h));
  // Expanded a few thousand cells at a time, so that a stop is seen.
  uint64_t* at = out.data();
  for (size_t k = 0; k < nodes.size(); k += 4096) {
    if (cancel.stop()) return cancelled();
    std::span<const uint64_t> some(nodes.data() + k, std::min<size_t>(4096, nodes.size() - k));
    expand_leaves(some, resolution, h, at);
    at += leaf_total(some, resolution, h);
  }
  return out;
}

Result<std::vector<uint64_t>> polyfill(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                       const Cancel& cancel, Mode mode) {
  return polyfill(polygons, resolution, FillSetup(profile), cancel, mode);
}

Result<Tree> cover(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup, HashContextRef ctx,
                   const Cancel& cancel, Mode mode) {
  ZAREL_TRY(std::vector<uint64_t> nodes, cover_nodes(polygons, resolution, setup, cancel, mode));
  return Tree::from_cells(nodes, resolution, setup.profile().hierarchy(), std::move(ctx), cancel);
}

Result<Tree> cover(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile, HashContextRef ctx,
                   const Cancel& cancel, Mode mode) {
  return cover(polygons, resolution, FillSetup(profile), std::move(ctx), cancel, mode);
}

Result<Hash> fingerprint_polygon(const MultiPolygon& polygons, uint32_t resolution, const FillSetup& setup,
                                 const Cancel& cancel, Mode mode) {
  ZAREL_TRY(HashContextRef ctx, setup.ctx(resolution));
  ZAREL_TRY(std::vector<uint64_t> nodes, cover_nodes(polygons, resolution, setup, cancel, mode));
  // The root alone needs no tree: it is hashed straight from the covering list.
  std::vector<LeafRange> ranges;
  return root_of_cells(nodes, resolution, setup.profile().hierarchy(), ctx, ranges, cancel);
}

Result<Hash> fingerprint_polygon(const MultiPolygon& polygons, uint32_t resolution, const Profile& profile,
                                 const Cancel& cancel, Mode mode) {
  return fingerprint_polygon(polygons, resolution, FillSetup(profile), cancel, mode);
}

Result<Hash> fingerprint_geojson(const Json& value, uint32_t resolution, const Profile& profile, const Cancel& cancel) {
  ZAREL_TRY(MultiPolygon polygons, geometry_from_geojson(value));
  return fingerprint_polygon(polygons, resolution, profile, cancel);
}

}  // namespace zarel
