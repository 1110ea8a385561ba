// Grid distance: the fewest edge steps between two cells of one level, across
// the folded base-cell edges as neighbours() crosses them.
//
// A shortest walk passes through a sequence of base cells. Within one base
// cell the fewest steps between two cells are their row and column
// differences added, so a walk through a given sequence is shortest when it
// crosses each shared edge at the best place; laid out in one plane by
// unfolding the sequence's base cells, the row and column parts of that choice
// are separate one-dimensional problems, each solved exactly in one pass. The
// distance is the least over every sequence that visits no base cell twice.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "base/error.h"
#include "profile/profile.h"
#include "zone/zone.h"

namespace zarel {

class Distances {
 public:
  // Fails for a profile that is invalid or not of the rHEALPix layout. The
  // routes are laid out for the levels whose bits are set in `levels`.
  static Result<Distances> make(const Profile& profile, uint64_t levels);

  // REQUIRES: `a` and `b` valid cids at `level`, a level make() was given.
  uint64_t between(uint64_t a, uint64_t b, uint32_t level) const;

 private:
  // A lattice map of one base cell's (row, col) into a plane: m * v + t.
  struct Map {
    std::array<int64_t, 4> m{1, 0, 0, 1};  // row-major 2 x 2, a quarter turn
    std::array<int64_t, 2> t{0, 0};
  };
  // One crossing of a route in the plane: the cells left from span rows
  // [lo[0], hi[0]] and columns [lo[1], hi[1]] (one of them a single value),
  // each step across being `step`.
  struct Crossing {
    std::array<int64_t, 2> lo, hi, step;
  };
  // A sequence of distinct base cells from one to another, unfolded into the
  // first one's plane: its crossings and the map of the last base cell.
  struct Route {
    std::vector<Crossing> crossings;
    Map last;
  };
  // Every route between each ordered pair of base cells at one level.
  using Routes = std::vector<std::vector<Route>>;

  explicit Distances(const Profile& profile) : profile_(profile) {}
  Routes routes_at(uint32_t level) const;

  Profile profile_;
  std::vector<Routes> routes_;  // per level from 1
  std::vector<std::array<uint32_t, 4>> faces_;  // the base cell across each edge
};

}  // namespace zarel
