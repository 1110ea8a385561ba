#include "fill/edge_index.h"

#include <algorithm>
#include <array>
#include <boost/geometry/geometries/box.hpp>
#include <boost/geometry/geometries/point.hpp>
#include <boost/geometry/index/rtree.hpp>
#include <boost/iterator/function_output_iterator.hpp>
#include <limits>

#include "geo/orient2d.h"

namespace zarel {

namespace bg = boost::geometry;
namespace bgi = boost::geometry::index;

namespace {

using BPoint = bg::model::point<double, 2, bg::cs::cartesian>;
using BBox = bg::model::box<BPoint>;

struct Entry {
  BBox box;
  Edge edge;
};

struct EntryBox {
  using result_type = const BBox&;
  const BBox& operator()(const Entry& e) const { return e.box; }
};

// Ring key: polygon number in the high half, ring number in the low half.
uint64_t ring_key(const Edge& e) { return uint64_t{e.polygon} << 32 | e.ring; }

// Crossed ring keys: on the stack for the usual few, on the heap beyond them.
class Crossings {
 public:
  void add(uint64_t key) {
    if (n_ < inline_.size()) {
      inline_[n_++] = key;
      return;
    }
    if (heap_.empty()) heap_.assign(inline_.begin(), inline_.end());
    heap_.push_back(key);
    ++n_;
  }
  // Whether some polygon has an odd count on its exterior and an even count on every hole.
  bool inside() {
    uint64_t* k = n_ <= inline_.size() ? inline_.data() : heap_.data();
    std::sort(k, k + n_);
    size_t i = 0;
    while (i < n_) {
      uint64_t polygon = k[i] >> 32;
      bool exterior_odd = false, hole_odd = false;
      while (i < n_ && k[i] >> 32 == polygon) {
        size_t j = i;
        while (j < n_ && k[j] == k[i]) ++j;
        if ((j - i) % 2 == 1) ((k[i] & 0xffffffffu) == 0 ? exterior_odd : hole_odd) = true;
        i = j;
      }
      if (exterior_odd && !hole_odd) return true;
    }
    return false;
  }
  bool empty() const { return n_ == 0; }

 private:
  std::array<uint64_t, 32> inline_;
  std::vector<uint64_t> heap_;
  size_t n_ = 0;
};

int sign(double v) { return (v > 0) - (v < 0); }

// Whether the edge crosses the ray towards +x from a point at latitude y (a
// hair below y when `below`), given o, the turn of that point from the edge.
// Half-open in y, so a vertex exactly at the ray's latitude counts once.
bool crosses(const Edge& e, double y, double o, bool below = false) {
  if (below) return (e.a.y < y && y <= e.b.y && o > 0) || (e.b.y < y && y <= e.a.y && o < 0);
  return (e.a.y <= y && y < e.b.y && o > 0) || (e.b.y <= y && y < e.a.y && o < 0);
}

bool holds(const Edge& e, double x, double y) {
  return std::min(e.a.x, e.b.x) <= x && x <= std::max(e.a.x, e.b.x) && std::min(e.a.y, e.b.y) <= y &&
         y <= std::max(e.a.y, e.b.y);
}

Location parity(bool on_other_edge, Crossings& crossed) {
  if (on_other_edge) return Location::OnBoundary;
  if (crossed.empty()) return Location::Outside;
  return crossed.inside() ? Location::Inside : Location::Outside;
}

constexpr double kInf = std::numeric_limits<double>::infinity();

}  // namespace

struct EdgeIndex::RTree {
  // Up to this many edges a scan beats the tree's descent (a parcel has 4).
  static constexpr size_t kFew = 16;
  bgi::rtree<Entry, bgi::quadratic<16>, EntryBox> rtree;  // empty while `few` holds the edges
  std::vector<Entry> few;
  BBox bounds;  // of every edge; inverted when there are none
  bool one_ring = true;  // every edge on the exterior of polygon 0: parity alone decides

  // Calls visit(entry) for each edge whose box meets the closed box `q`.
  template <class Visit>
  void query(const BBox& q, Visit&& visit) const {
    if (rtree.empty()) {
      for (const Entry& en : few)
        if (bg::intersects(en.box, q)) visit(en);
      return;
    }
    rtree.query(bgi::intersects(q), boost::make_function_output_iterator(visit));
  }
};

EdgeIndex::EdgeIndex() = default;
EdgeIndex::EdgeIndex(EdgeIndex&&) noexcept = default;
EdgeIndex& EdgeIndex::operator=(EdgeIndex&&) noexcept = default;
EdgeIndex::~EdgeIndex() = default;

EdgeIndex EdgeIndex::build(const MultiPolygon& polygons) {
  std::vector<Entry> entries;
  size_t total = 0;
  for (const Polygon& p : polygons) {
    total += p.exterior().size();
    for (const Ring& h : p.holes()) total += h.size();
  }
  entries.reserve(total);
  for (uint32_t p = 0; p < polygons.size(); ++p) {
    auto add_ring = [&](const Ring& ring, uint32_t r) {
      for (size_t i = 0; i + 1 < ring.size(); ++i) {
        Coord a = ring[i], b = ring[i + 1];
        if (a == b) continue;
        BBox box(BPoint(std::min(a.x, b.x), std::min(a.y, b.y)), BPoint(std::max(a.x, b.x), std::max(a.y, b.y)));
        entries.push_back({box, Edge{a, b, p, r}});
      }
    };
    add_ring(polygons[p].exterior(), 0);
    for (uint32_t k = 0; k < polygons[p].holes().size(); ++k) add_ring(polygons[p].holes()[k], k + 1);
  }
  EdgeIndex out;
  out.tree_ = std::make_unique<RTree>();
  RTree& t = *out.tree_;
  t.bounds = BBox(BPoint(kInf, kInf), BPoint(-kInf, -kInf));
  for (const Entry& en : entries) {
    bg::expand(t.bounds, en.box);
    t.one_ring = t.one_ring && ring_key(en.edge) == 0;
  }
  // The range constructor bulk-loads by packing.
  if (entries.size() > RTree::kFew) t.rtree = decltype(t.rtree)(entries.begin(), entries.end());
  else t.few = std::move(entries);
  return out;
}

Location EdgeIndex::locate(double x, double y) const {
  // No edge meets the ray from a point above, below or east of them all.
  const BBox& b = tree_->bounds;
  if (y < b.min_corner().get<1>() || y > b.max_corner().get<1>() || x > b.max_corner().get<0>())
    return Location::Outside;
  if (tree_->one_ring) {
    bool on_edge = false, odd = false;
    tree_->query(BBox(BPoint(x, y), BPoint(kInf, y)), [&](const Entry& en) {
      if (on_edge) return;
      const Edge& e = en.edge;
      double o = geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, x, y);
      if (o == 0 && holds(e, x, y)) on_edge = true;
      else if (crosses(e, y, o)) odd = !odd;
    });
    if (on_edge) return Location::OnBoundary;
    return odd ? Location::Inside : Location::Outside;
  }
  Crossings crossed;
  bool on_edge = false;
  auto visit = [&](const Entry& en) {
    if (on_edge) return;
    const Edge& e = en.edge;
    double o = geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, x, y);
    if (o == 0 && holds(e, x, y)) on_edge = true;
    else if (crosses(e, y, o)) crossed.add(ring_key(e));
  };
  tree_->query(BBox(BPoint(x, y), BPoint(kInf, y)), visit);
  return parity(on_edge, crossed);
}

Location EdgeIndex::beside_meridian(double x, double y, bool east) const {
  Crossings crossed;
  bool other_edge = false;
  auto visit = [&](const Entry& en) {
    if (other_edge) return;
    const Edge& e = en.edge;
    double o = geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, x, y);
    if (o == 0 && holds(e, x, y)) {
      if (e.a.x != x || e.b.x != x) other_edge = true;
      // An edge along the meridian lies east of the point a hair west of it.
      else if (!east && ((e.a.y <= y && y < e.b.y) || (e.b.y <= y && y < e.a.y))) crossed.add(ring_key(e));
    } else if (crosses(e, y, o)) {
      crossed.add(ring_key(e));
    }
  };
  tree_->query(BBox(BPoint(x, y), BPoint(kInf, y)), visit);
  return parity(other_edge, crossed);
}

Location EdgeIndex::beside_parallel(double x0, double x1, double y, bool above) const {
  bool other_edge = false;
  auto meet = [&](const Entry& en) {
    if (other_edge) return;
    const Edge& e = en.edge;
    if ((e.a.y == y && e.b.y == y) || (e.a.x == e.b.x && (e.a.x == x0 || e.a.x == x1))) return;
    int s0 = sign(geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, x0, y));
    int s1 = sign(geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, x1, y));
    // An edge through an end of the segment alone leaves every point a hair
    // off the open segment on one side: at a pole both ends are the pole itself.
    if (s0 != 0 && s1 != 0 && s0 != s1) other_edge = true;
  };
  tree_->query(BBox(BPoint(x0, y), BPoint(x1, y)), meet);
  if (other_edge) return Location::OnBoundary;
  // No edge meets the segment inside, so one point a hair off it stands for all.
  double x = x0 / 2 + x1 / 2;
  Crossings crossed;
  auto visit = [&](const Entry& en) {
    const Edge& e = en.edge;
    if (crosses(e, y, geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, x, y), !above)) crossed.add(ring_key(e));
  };
  tree_->query(BBox(BPoint(x, y), BPoint(kInf, y)), visit);
  return parity(false, crossed);
}

namespace {

bool on_cut(double x) { return x == 180 || x == -180; }

}  // namespace

bool EdgeIndex::any_edge_touches(const Box& box) const { return touches(box, false); }

bool EdgeIndex::any_edge_touches_off_cut(const Box& box) const { return touches(box, true); }

bool EdgeIndex::any_edge_touches_off_cut(const Box& box, bool (*skip)(const Edge&, const void*),
                                       const void* context) const {
  return touches(box, true, skip, context);
}

bool EdgeIndex::touches(const Box& box, bool off_cut, bool (*skip)(const Edge&, const void*), const void* context) const {
  BBox query(BPoint(box.min_x, box.min_y), BPoint(box.max_x, box.max_y));
  bool touched = false;
  auto visit = [&](const Entry& en) {
    if (touched) return;
    const Edge& e = en.edge;
    if (off_cut && e.a.x == e.b.x && on_cut(e.a.x)) return;
    // The query keeps only edges whose boxes meet the box (closed), which
    // settles the two axis tests; the segment's line separates the box only if
    // every corner lies strictly on one side of it.
    int s0 = sign(geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, box.min_x, box.min_y));
    int s1 = sign(geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, box.max_x, box.min_y));
    int s2 = sign(geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, box.max_x, box.max_y));
    int s3 = sign(geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, box.min_x, box.max_y));
    bool all_left = s0 > 0 && s1 > 0 && s2 > 0 && s3 > 0;
    bool all_right = s0 < 0 && s1 < 0 && s2 < 0 && s3 < 0;
    if (!all_left && !all_right) touched = !skip || !skip(e, context);
  };
  tree_->query(query, visit);
  return touched;
}

bool EdgeIndex::any_edge_enters(const Coord* v, uint32_t n, const Box& box, bool (*skip)(const Edge&, const void*),
                              const void* context) const {
  BBox query(BPoint(box.min_x, box.min_y), BPoint(box.max_x, box.max_y));
  int turn = sign(geo::orient2d(v[0].x, v[0].y, v[1].x, v[1].y, v[2].x, v[2].y));
  bool entered = false;
  auto visit = [&](const Entry& en) {
    if (entered) return;
    const Edge& e = en.edge;
    // Two convex sets, one of them open, are apart exactly when the line of an
    // edge of one has the other on its closed far side.
    bool left = true, right = true;
    for (uint32_t i = 0; i < n; ++i) {
      int s = sign(geo::orient2d(e.a.x, e.a.y, e.b.x, e.b.y, v[i].x, v[i].y));
      left = left && s >= 0;
      right = right && s <= 0;
    }
    if (left || right) return;
    for (uint32_t i = 0; i < n; ++i) {
      const Coord& p = v[i];
      const Coord& q = v[(i + 1) % n];
      if (turn * sign(geo::orient2d(p.x, p.y, q.x, q.y, e.a.x, e.a.y)) <= 0 &&
          turn * sign(geo::orient2d(p.x, p.y, q.x, q.y, e.b.x, e.b.y)) <= 0)
        return;
    }
    entered = !skip || !skip(e, context);
  };
  tree_->query(query, visit);
  return entered;
}

bool EdgeIndex::any_end_point(const Box& box, bool (*test)(const Coord&, const void*), const void* context) const {
  BBox query(BPoint(box.min_x, box.min_y), BPoint(box.max_x, box.max_y));
  bool found = false;
  auto visit = [&](const Entry& en) {
    const Edge& e = en.edge;
    if (!found) found = (!on_cut(e.a.x) && test(e.a, context)) || (!on_cut(e.b.x) && test(e.b, context));
  };
  tree_->query(query, visit);
  return found;
}

}  // namespace zarel
