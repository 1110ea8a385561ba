// The rHEALPix geometry of a profile: point-to-cell lookup, cell corners,
// nuclei, shape classes, areas and boundary polygons. A Grid is a plain value
// shared read-only by worker threads; the point and nucleus lookups allocate nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/error.h"
#include "cells/hierarchy.h"
#include "geo/ellipsoid.h"
#include "geo/healpix.h"
#include "geo/rhealpix.h"

namespace zarel::geo {

struct Grid {
  double a = 0;       // semi-major axis, metres
  double f = 0;       // flattening
  double e = 0;       // eccentricity
  double r_auth = 0;  // authalic radius, metres
  std::array<XY, 6> ul{};  // upper-left corner of each base cell on the plane, metres
  double lon_0 = 0;   // prime meridian, degrees
  uint32_t north_square = 0;
  uint32_t south_square = 0;
  uint32_t side = 0;  // children along a cell edge
  uint32_t n_base = 6;  // the profile's base cells; the geometry refuses any but 6
  AuthLat auth;       // the latitude conversion of `e`, its series constants found once
};

struct GridCell {
  uint32_t base = 0;
  uint64_t row = 0, col = 0;
};

// Degrees; nothing for a point off the grid or a level whose side^level overflows.
std::optional<GridCell> cell_from_lonlat(const Grid& g, uint32_t level, double lon, double lat);
// Planar metres.
std::optional<GridCell> cell_from_planar(const Grid& g, uint32_t level, double x, double y);

// Longitude brought into [-180, 180) by a floating remainder.
double wrap_lon(double lon);

// The layout and path checks of every Result-returning operation below that
// takes a path: six base cells, a base cell below 6, at least the base entry.
Status check_path(const Grid& g, const Path& path);

// REQUIRES: check_path(g, path) holds (ul_vertex and nucleus_planar abort otherwise).
XY ul_vertex(const Grid& g, const Path& path);
// The cell's row and column in its base cell.
GridCell cell_position(const Grid& g, const Path& path);
// The grid's vertex at (row, col) of a base cell at `level`, row and col up to
// side^level: every cell that has it as a corner finds the same point, and the
// far edges meet the next base cells exactly.
XY grid_vertex(const Grid& g, uint32_t base, uint32_t level, uint64_t row, uint64_t col);
// Whether the cell lies in a polar base cell, the only cells whose display
// polygons follow `n` points an edge.
bool is_polar(const Path& path);
// Where a cell lies among the base cells: equatorial, holding a pole, on a
// diagonal of a polar base cell through the pole, or elsewhere in one.
enum class CellKind : uint8_t { Equatorial = 0, HoldsPole = 1, PolarDiagonal = 2, PolarOther = 3 };
CellKind cell_kind(const Grid& g, const Path& path);
// For an even side the pole is a corner shared by four cells at every level of
// a polar base cell: which of the cell's corners it is (0 upper-left,
// 1 upper-right, 2 lower-right, 3 lower-left), or -1 for every other cell.
int pole_corner(const Grid& g, const Path& path);
XY nucleus_planar(const Grid& g, const Path& path);
// Nucleus in degrees, or the inverse projection's OffImage error; `memo`
// (see to_lonlat) lets the nuclei of one row share their latitude.
Result<LonLat> nucleus(const Grid& g, const Path& path, LatitudeMemo* memo = nullptr);
// What the cells of one level share on the plane, found once per level, so
// that a walk carrying rows and columns instead of paths gets the very doubles
// of ul_vertex, nucleus_planar and the cell boxes' sides.
struct LevelPlane {
  uint32_t level = 0;
  double fraction = 1;  // 1 / side^level, as grid_vertex scales offsets
  double half = 0;      // half a cell side, as nucleus_planar adds it
  double width = 0;     // a cell side as r_auth pi / 2 / side^level

  static LevelPlane make(const Grid& g, uint32_t level);
  // REQUIRES: base < 6 and row, col < side^level.
  XY ul(const Grid& g, uint32_t base, uint64_t row, uint64_t col) const {
    double w = g.r_auth * kPi / 2;
    const XY& o = g.ul[base];
    return {o.x + w * (static_cast<double>(col) * fraction), o.y - w * (static_cast<double>(row) * fraction)};
  }
  XY nucleus(const Grid& g, uint32_t base, uint64_t row, uint64_t col) const {
    XY p = ul(g, base, row, col);
    return {p.x + half, p.y - half};
  }
};
// The nucleus at `planar` (from LevelPlane::nucleus) in degrees, as nucleus
// gives it: false where nucleus gives an error.
bool nucleus_into(const Grid& g, XY planar, LatitudeMemo* memo, LonLat* out);
// to_lonlat without building an error: false where it gives one.
bool to_lonlat_into(const Grid& g, double x, double y, bool rearrange, LatitudeMemo* memo, LonLat* out);

// Nuclei of many cids of one hierarchy, for the batch calls. The per-call facts
// (powers, cell sides) are found once; a cid of the rHEALPix layout (aperture 9,
// six base cells) goes from its digits straight to the plane, any other through
// Hierarchy::path and nucleus, whose results and errors it gives unchanged.
class CidNuclei {
 public:
  CidNuclei(const Grid& g, Hierarchy h);
  Result<LonLat> operator()(uint64_t cid) const;

 private:
  static constexpr uint32_t kPowers = 21;  // 9^20 is the last power of 9 below 2^64
  Result<LonLat> through_path(uint64_t cid) const;
  Grid g_;
  Hierarchy h_;
  bool direct_;
  uint32_t deepest_;
  std::array<uint64_t, kPowers> pow9_{};
  std::array<double, kPowers> scale_{}, half_{};  // per level: 1 / 3^L and half a cell side
};

// Area of one cell at `level`, square metres; 0 once the cell side underflows.
double cell_area(const Grid& g, uint32_t level);

// A point of a cell's outline, planar metres to degrees through the inverse
// projection (rearranged or not); with a memo, points that share a latitude
// compute it once. The rounding of the projection is not left to open a
// sliver along the Earth's edges: values within 4 ulps of +-180 and +-90 are
// those edges, the cut written -180 (nuclei are not moved so).
Result<LonLat> to_lonlat(const Grid& g, double x, double y, bool rearrange, LatitudeMemo* memo = nullptr);

// A grid vertex: the corner (row, col) of the cells of `base` at `level`, row
// and col up to side^level.
struct Vertex {
  uint32_t base = 0, level = 0;
  uint64_t row = 0, col = 0;
  friend bool operator==(const Vertex&, const Vertex&) = default;
};

// The one name that every cell meeting the vertex gives it, so that all of
// them compute the same doubles: on the rim of a polar square the corner of
// the equatorial cell there, on the east edge of an equatorial square the west
// edge of the next one, and the coarsest level that has it.
Vertex canonical(const Grid& g, Vertex v);
// The vertex in degrees, computed from its canonical name (inverse projection
// rearranged for the polar squares only).
Result<LonLat> vertex_lonlat(const Grid& g, Vertex v);

// Edges of a cell in the order a ring walks them, clockwise on the plane.
enum class Edge : uint32_t { kTop, kRight, kBottom, kLeft };
// Whether the edge is curved in longitude and latitude: it lies inside a polar
// square. Equatorial edges and the rims of the polar squares are meridians and
// parallels.
bool is_curved(const Grid& g, const Vertex& cell, Edge e);
// One edge of the cell whose upper-left corner is `cell`, walked clockwise on
// the plane: appends its first vertex and, on a curved edge, m - 2 points
// between, spaced from the edge's lexicographically first end, so that the two
// cells along the edge get the same doubles. A polar cell's edge on the rim
// of its square takes its m - 2 points too when `rim_points` is set, placed on
// the parallel at the corners' very latitude; the equatorial cell across
// draws that edge by its corners, unless `rim_across` is set: it then takes
// the same points (for an edge of an equatorial cell on a polar square's rim,
// with `rim_points` set, when the polar cell across is drawn with it).
Status append_edge(const Grid& g, const Vertex& cell, Edge e, uint32_t m, std::vector<LonLat>& ring,
                   bool rim_points = true, bool rim_across = false);

// Closed ring clockwise on the plane from the upper-left corner, each edge one
// piece: max(n, 2) points per edge of a polar cell, the two corners on an
// equatorial one.
Result<std::vector<LonLat>> cell_ring(const Grid& g, const Path& path, uint32_t n);
// The counter-clockwise display polygon of a cell from its clockwise closed
// ring, whatever pieces its edges were walked in: shifted east of 180 across
// the antimeridian, closed
// through the pole for a cell that contains one. `pole_at` is the index in
// `ring` of the pole corner (see pole_corner), if any. A segment crossing the
// antimeridian gains the point on it, written at 180, in a cap and where
// `cut[i]` is set for the segment from ring[i]: the cells along a cap's rim
// then share the point at which the cap's polygon is cut.
std::vector<LonLat> display_polygon(const Grid& g, const Path& path, std::vector<LonLat> ring, size_t pole_at,
                                    std::span<const uint8_t> cut = {});
// display_polygon of cell_ring with `n` points per curved edge if n > 2, else 2.
Result<std::vector<LonLat>> cell_polygon(const Grid& g, const Path& path, uint32_t n);
std::vector<LonLat> cap_polygon(std::vector<LonLat> points, bool north);
// Where a segment from `a` to `b` whose longitudes lie more than 180 apart
// meets the antimeridian: the same latitude whichever way it is walked.
double antimeridian_lat(const LonLat& a, const LonLat& b);
// Three points per edge, for bounding boxes.
Result<std::vector<LonLat>> boundary3(const Grid& g, const Path& path);

}  // namespace zarel::geo
