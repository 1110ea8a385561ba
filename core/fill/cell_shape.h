// Where a whole cell lies against a polygon: wholly inside it, wholly outside
// it, or crossed by its boundary. The "inside" and "overlap" fills judge cells
// this way; the nucleus fill judges their centres alone.
//
// An equatorial cell is the quadrilateral of its four corners as cell_ring
// gives them (a rectangle between two meridians and two parallels), and a
// polar cell holding the pole is the cap above one parallel; both are judged
// exactly: a polygon edge that runs along a cell's rim or through a corner does
// not cross it, so a polygon that is a union of cells keeps exactly those cells.
//
// The other polar cells have curved sides. Their rim is covered by boxes no
// wider than kPolarBound degrees in longitude and latitude, shrunk around the
// rim where a polygon edge comes near; an edge that still meets a box counts as
// crossing the cell. So a verdict can differ from the exact one only where the
// polygon's boundary passes within kPolarBound of the rim, and then it says
// Crossed: "overlap" keeps such a cell and "inside" leaves it out, each on its
// safe side. A polygon edge whose two ends lie (to rounding) on one line of
// the polar grid through a side of the cell is read along that line and
// crosses nothing, nor does an edge below the rim's parallel: a polygon drawn
// from cell outlines, whose edges are chords of the curved sides, then keeps
// exactly its cells, each judged by its centre.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/cancel.h"
#include "fill/cell_box.h"
#include "fill/edge_index.h"
#include "base/error.h"
#include "cells/hierarchy.h"

namespace zarel {

// Which cells a fill keeps: those whose nucleus the polygon strictly contains,
// those wholly inside it, or those whose interior meets its interior.
enum class Mode : uint8_t { Nucleus, Inside, Overlap };

// "nucleus", "inside" or "overlap".
Result<Mode> mode_from_name(std::string_view name);

// Degrees: how near a polar cell's curved rim a polygon edge may pass and
// still leave the verdict in doubt.
inline constexpr double kPolarBound = 1e-9;

enum class Region : uint8_t { Inside, Outside, Crossed };

class CellShapes {
 public:
  // A rim that a polygon hugs can take long to clear: `cancel` is polled there.
  CellShapes(const CellBounds& info, const EdgeIndex& index, const Cancel& cancel);

  // The cell itself, for cells at the fill's resolution.
  Result<Region> cell_region(const Path& path) const;
  // A box enclosing the cell and all its descendants with room to spare:
  // Inside and Outside hold for every descendant; Crossed only says to look
  // closer.
  Result<Region> subtree_region(const Path& path) const;

 private:
  Result<Region> equatorial(const Path& path) const;
  Result<Region> curved(const Path& path) const;
  // Inside or Outside by `point` when no edge enters the convex piece.
  Region piece(const Coord* v, uint32_t n, double px, double py) const;
  // A part of a cell across the +-180 cut, between west and east at its middle latitude.
  Region cut_piece(const Coord* v, double west, double east, double lat) const;
  // `sides`: the cell's Sides (cell_shape.cpp), whose lines no edge crosses.
  bool rim_near(double ai, double aj, double bi, double bj, bool north, double n, int depth,
                const void* sides) const;
  // Two inner points of a polar cell either side of the +-180 cut, in half
  // cell sides from the pole, when the cut runs through the cell.
  bool cut_sides(double i0, double j0, bool north, double out[2][2]) const;
  geo::LonLat polar_point(double i, double j, bool north, double n) const;

  const CellBounds& info_;
  const EdgeIndex& index_;
  const Cancel& cancel_;
  // The latitudes of the north and south rims, as the equatorial corners there
  // have them.
  double rim_[2];
};

}  // namespace zarel
