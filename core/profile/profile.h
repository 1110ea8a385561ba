// The parameters a cell identifier and a root are read against, all integers.
// A profile validates them, derives its identity, and hands out the hashing
// context for a tree depth and the rHEALPix geometry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"
#include "profile/hash_context.h"
#include "cells/hierarchy.h"
#include "base/json.h"

namespace zarel {

namespace geo {
struct Grid;
}

struct Profile {
  std::string hash = "sha256";
  uint32_t aperture = 9;
  uint32_t n_base = 6;
  int64_t lon_0_udeg = 50000000;
  uint8_t north_square = 0;
  uint8_t south_square = 0;
  uint64_t a_um = 6378137000000;
  uint64_t inv_f_nano = 298257223563;
  uint64_t tick_us = 1;
  int64_t epoch_us = 0;

  friend bool operator==(const Profile&, const Profile&) = default;

  static Profile ogc();
  static Profile zarel_1();

  Hierarchy hierarchy() const { return {aperture, n_base}; }
  Status validate() const;
  std::vector<uint8_t> id_preimage() const;
  Hash id() const;
  std::string id_hex() const { return hex(id()); }
  Profile with_hash(std::string id) const;
  // The hashing context for trees of depth up to `depth`, after validation.
  Result<HashContextRef> ctx(uint32_t depth) const;
  // Refuses a number of base cells other than the six of the rHEALPix layout,
  // which every geometric operation and the edge folds need.
  Status check_layout() const;
  // Built without validation.
  geo::Grid grid() const;
  // The geometry after validation and the layout check: what callers that
  // take a profile from outside should use.
  Result<geo::Grid> geometry() const;
  std::string describe() const;

  // Whether a cid names the same place on the Earth under both profiles: the
  // same prime meridian, polar squares and ellipsoid. The error names the first
  // of these that differs, with both values.
  Status places_cells_alike(const Profile& other) const;
  // The time tick and epoch place no cell, but a holder that keeps one profile
  // for many trees would hand one tree's to another; the error names both.
  Status keeps_time_alike(const Profile& other) const;

  Json to_record() const;
  // Reads an object or a ten-element array; does not validate.
  static Result<Profile> from_record(const Json& record);
};

namespace geo {
// Area of one cell of a profile's grid at `level`, refusing a level deeper than
// its deepest.
Result<double> cell_area(const Profile& profile, uint32_t level);
}  // namespace geo

}  // namespace zarel
