// Zone data in the OGC API - DGGS JSON encoding (DGGS-JSON): one value per
// sub-zone of a zone at a relative depth, the sub-zones in scanline order.
// A tree is written as 1 where a sub-zone is covered and null elsewhere, and
// read back as covered where a value is present. Both directions accept only
// the registered rHEALPix DGGRS, so zone ids are never read against another grid.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.h"
#include "base/json.h"
#include "profile/profile.h"
#include "tree/tree.h"

namespace zarel {

inline constexpr std::string_view kRhealpixDggrs = "https://www.opengis.net/def/dggrs/OGC/1.0/rHEALPix";

// The DGGRS URI of a valid profile with the OGC rHEALPix grid's parameters
// (hash, tick and epoch play no part).
Result<std::string_view> registered(const Profile& profile);

// 9^d sub-zones at relative depth d, at most 2^30.
Result<uint64_t> count_at(uint64_t d);

// The one candidate named `wanted` (the first such), or the only candidate
// when nothing is wanted. `what` names the kind ("field", "depth") in messages.
Result<size_t> pick(std::string_view what, std::span<const std::string> candidates,
                    std::optional<std::string_view> wanted);

// The tree's view of `zone` at the tree's depth, under the name `field`.
Result<Json> to_dggs_json(const Tree& tree, const Profile& profile, uint64_t zone, std::string_view field);

// to_dggs_json's document with its one data array left empty, and a byte a
// sub-zone for it (1 for the value 1, 0 for null): a writer that makes its own
// array skips a JSON value a sub-zone, the bulk of the document's memory.
struct ZoneData {
  Json doc;
  std::vector<uint8_t> covered;
  // The empty data array in `doc`.
  Json& data();
};
Result<ZoneData> zone_data(const Tree& tree, const Profile& profile, uint64_t zone, std::string_view field);

// A data array read apart from its document, a byte a value, by a reader that
// leaves an empty array in the document in its place: a JSON value a sub-zone
// would cost several times the document's text.
struct ValueKinds {
  enum : uint8_t { kNull, kZero, kNonzero, kOther };
  std::vector<uint8_t> kinds;
  // The JSON text of the first value of kind kOther, if any.
  std::string first_other;
};
// Keyed by field name and the entry's index in that field's array.
using ApartValues = std::map<std::pair<std::string, size_t>, ValueKinds>;

// The tree of a document's zone at its level plus the chosen depth, covering the
// sub-zones whose value in the chosen field is a number (non-zero if `nonzero`).
// A document's claims (depth, shape) are checked against its own data before
// anything is allocated, so a refused document costs nothing beyond its reading.
Result<Tree> from_dggs_json(const Json& doc, const Profile& profile, std::optional<std::string_view> field,
                            std::optional<uint32_t> depth, bool nonzero, const ApartValues& apart = {});

// Documents one call of to_dggs_json_zones writes at most.
inline constexpr uint64_t kMaxZoneDocuments = uint64_t{1} << 16;

// The deepest cell whose subtree holds every covered leaf, or nothing for an
// empty tree or one that spans several base cells.
std::optional<uint64_t> enclosing_zone(const Tree& tree);

// The cells of `level` whose subtrees hold a covered leaf, ascending; refused
// when there are more than `limit`, before any is listed.
Result<std::vector<uint64_t>> zones_met(const Tree& tree, uint32_t level, uint64_t limit);

// One document per zone of `level` that the tree meets, in ascending cid
// order; together they hold the whole tree. At most kMaxZoneDocuments
// documents and 2^30 values in all.
Result<Json> to_dggs_json_zones(const Tree& tree, const Profile& profile, uint32_t level, std::string_view field);

}  // namespace zarel
