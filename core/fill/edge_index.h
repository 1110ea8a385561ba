// Exact point location against a MultiPolygon in the longitude/latitude plane.
//
// Every polygon edge is a straight segment in degrees, kept with its polygon
// and ring number in an R-tree over the segments' boxes, bulk-loaded once per
// fill and then only queried; a polygon of a few edges keeps them in a plain
// list, scanned instead. A point is located by crossing parity along the
// ray towards +x, one parity bit per ring: a polygon holds the point when its
// exterior is crossed an odd number of times and each of its holes an even
// number; the polygons of a MultiPolygon are united. Ring orientation plays no
// part. Every turn is decided by the exact orient2d predicate, so a point on
// an edge is always found to be on it.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fill/polygon.h"

namespace zarel {

// Axis-aligned, closed; min <= max on both axes. Corners in the order
// (min x, min y), (max x, min y), (max x, max y), (min x, max y).
struct Box {
  double min_x = 0, min_y = 0, max_x = 0, max_y = 0;
};

struct Edge {
  Coord a, b;
  uint32_t polygon = 0;
  uint32_t ring = 0;
};

enum class Location : uint8_t { Inside, OnBoundary, Outside };

class EdgeIndex {
 public:
  // Zero-length edges are dropped; rings of fewer than two points add none.
  static EdgeIndex build(const MultiPolygon& polygons);

  EdgeIndex(EdgeIndex&&) noexcept;
  EdgeIndex& operator=(EdgeIndex&&) noexcept;
  ~EdgeIndex();

  // Where the point (x, y) lies against the united polygons.
  Location locate(double x, double y) const;
  // Where the point a hair east (or west) of (x, y) lies, when every edge
  // through (x, y) runs along the meridian x; OnBoundary when another does.
  Location beside_meridian(double x, double y, bool east) const;
  // Where the points a hair above (or below) the segment from (x0, y) to
  // (x1, y), x0 < x1, lie, when every edge meeting it runs along it, along the
  // meridian x0 or x1, or meets it at an end only (so they all lie alike);
  // OnBoundary when another crosses it.
  Location beside_parallel(double x0, double x1, double y, bool above) const;
  // Whether any edge meets the closed box (exact separating-axis test).
  bool any_edge_touches(const Box& box) const;
  // The same, leaving out edges along the +-180 meridian: that is a cut in the
  // coordinates, and no cell reaches across it.
  bool any_edge_touches_off_cut(const Box& box) const;
  // The same, leaving out also the edges for which `skip(edge, context)` holds.
  bool any_edge_touches_off_cut(const Box& box, bool (*skip)(const Edge&, const void*), const void* context) const;
  // Whether any edge meets the interior of a convex polygon of 3 or 4 vertices
  // in either orientation (exact; an edge along its rim or through a corner
  // does not). `box` encloses the vertices.
  // Edges for which `skip(edge, context)` holds are left out.
  bool any_edge_enters(const Coord* vertices, uint32_t n, const Box& box,
                       bool (*skip)(const Edge&, const void*) = nullptr, const void* context = nullptr) const;
  // Whether `test(end point, context)` holds for an end point off the +-180
  // meridian of some edge whose box meets `box`.
  bool any_end_point(const Box& box, bool (*test)(const Coord&, const void*), const void* context) const;

 private:
  struct RTree;
  EdgeIndex();
  bool touches(const Box& box, bool off_cut, bool (*skip)(const Edge&, const void*) = nullptr,
               const void* context = nullptr) const;
  std::unique_ptr<RTree> tree_;
};

}  // namespace zarel
