#include "exchange/zone_data.h"

#include <cstring>
#include <vector>

#include "tree/tree_raster.h"
#include "zone/zone.h"

namespace zarel {

namespace {

constexpr uint64_t kMaxSubzones = uint64_t{1} << 30;
constexpr uint64_t kSide = 3;

std::string str(uint64_t v) { return std::to_string(v); }

// A JSON integer at or above zero, whichever integer kind holds it.
std::optional<uint64_t> non_negative(const Json* v) {
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) return v->get<uint64_t>();
  if (v->is_number_integer() && v->get<int64_t>() >= 0) return static_cast<uint64_t>(v->get<int64_t>());
  return std::nullopt;
}

// ["a", "b"]: each name quoted, in order.
std::string name_list(std::span<const std::string> names) {
  std::string out = "[";
  for (size_t i = 0; i < names.size(); ++i) {
    if (i) out += ", ";
    out += quote(names[i]);
  }
  return out + "]";
}

uint64_t pow3(uint64_t d) {
  uint64_t m = 1;
  for (uint64_t i = 0; i < d; ++i) m *= kSide;
  return m;
}

// Marks 1 in `data` (m values a row) for the leaves of every Full node below
// `node`, which sits at local (row, col) `height` levels above the leaves.
void mark(const Node& node, uint32_t height, uint64_t row, uint64_t col, uint64_t m, std::vector<uint8_t>& data) {
  if (node.is_full()) {
    uint64_t k = pow3(height);
    for (uint64_t i = 0; i < k; ++i) std::memset(&data[(row * k + i) * m + col * k], 1, k);
  } else if (node.is_branch()) {
    for (uint32_t d = 0; d < kRhealpix.a; ++d)
      mark(node.child(d), height - 1, row * kSide + d / kSide, col * kSide + d % kSide, m, data);
  }
}

}  // namespace

Result<std::string_view> registered(const Profile& profile) {
  ZAREL_CHECK(profile.validate());
  const Profile ogc = Profile::ogc();
  if (!(profile.hierarchy() == ogc.hierarchy()) || !profile.places_cells_alike(ogc))
    return invalid("profile " + profile.describe() +
                   " is not a registered DGGRS; its zone ids would be read against another grid");
  return kRhealpixDggrs;
}

Result<uint64_t> count_at(uint64_t d) {
  // Stops at the first overflow, so a depth near 2^64 costs a few steps.
  uint64_t m = 1, n;
  for (uint64_t i = 0; i < d; ++i)
    if (__builtin_mul_overflow(m, kSide, &m)) return invalid("depth " + str(d) + " has too many sub-zones");
  if (__builtin_mul_overflow(m, m, &n) || n > kMaxSubzones) return invalid("depth " + str(d) + " has too many sub-zones");
  return n;
}

Result<size_t> pick(std::string_view what, std::span<const std::string> candidates,
                    std::optional<std::string_view> wanted) {
  if (!wanted) {
    if (candidates.size() == 1) return size_t{0};
    return invalid("the document has several " + std::string(what) + "s " + name_list(candidates) + "; name one");
  }
  for (size_t i = 0; i < candidates.size(); ++i)
    if (candidates[i] == *wanted) return i;
  return invalid("no " + std::string(what) + " " + quote(*wanted) + "; the document has " + name_list(candidates));
}

Result<ZoneData> zone_data(const Tree& tree, const Profile& profile, uint64_t zone, std::string_view field) {
  ZAREL_TRY(std::string_view uri, registered(profile));
  if (!(tree.hierarchy == kRhealpix) || !(profile.hierarchy() == kRhealpix))
    return invalid("zone data needs the rHEALPix hierarchy");
  ZAREL_TRY(uint32_t level, tree.hierarchy.check(zone, tree.depth));
  uint32_t d = tree.depth - level;
  ZAREL_TRY(uint64_t n, count_at(d));
  ZAREL_TRY(std::string suid, cid_to_suid(zone));
  // The node at the zone answers for all of it: a covering ancestor fills every
  // value, an empty one none, a branch its Full descendants' blocks.
  ZAREL_TRY(Tree::NodeAt at, tree.node_at(zone));
  std::vector<uint8_t> covered(n, at.node.is_full());
  if (at.node.is_branch()) mark(at.node, d, 0, 0, pow3(d), covered);

  Json shape = Json::object();
  shape["count"] = n;
  shape["subZones"] = n;
  Json entry = Json::object();
  entry["depth"] = d;
  entry["shape"] = std::move(shape);
  entry["data"] = Json::array();
  Json doc = Json::object();
  doc["dggrs"] = uri;
  doc["zoneId"] = std::move(suid);
  doc["depths"] = Json::array({d});
  // Moved, not listed: an initializer list would copy every value.
  Json entries = Json::array();
  entries.push_back(std::move(entry));
  doc["values"] = Json::object();
  doc["values"][std::string(field)] = std::move(entries);
  return ZoneData{std::move(doc), std::move(covered)};
}

Json& ZoneData::data() { return doc["values"].begin()->at(0)["data"]; }

Result<Json> to_dggs_json(const Tree& tree, const Profile& profile, uint64_t zone, std::string_view field) {
  ZAREL_TRY(ZoneData z, zone_data(tree, profile, zone, field));
  auto& values = z.data().get_ref<Json::array_t&>();
  values.reserve(z.covered.size());
  for (uint8_t c : z.covered) values.push_back(c ? Json(1) : Json(nullptr));
  return std::move(z.doc);
}

Result<Tree> from_dggs_json(const Json& doc, const Profile& profile, std::optional<std::string_view> field,
                            std::optional<uint32_t> depth, bool nonzero, const ApartValues& apart) {
  // A registered profile has the rHEALPix hierarchy.
  ZAREL_TRY(std::string_view uri, registered(profile));
  const Json* dggrs = member(doc, "dggrs");
  if (!dggrs || !dggrs->is_string() || dggrs->get_ref<const std::string&>() != uri) {
    std::string found = dggrs && dggrs->is_string() ? "Some(" + quote(dggrs->get_ref<const std::string&>()) + ")" : "None";
    return invalid("document DGGRS " + found + " is not the profile's " + quote(uri));
  }
  if (const Json* dims = member(doc, "dimensions"); dims && dims->is_array() && !dims->empty())
    return invalid("zone data with extra dimensions has more than one value per sub-zone");
  const Json* zone_id = member(doc, "zoneId");
  if (!zone_id || !zone_id->is_string()) return invalid("missing zoneId");
  ZAREL_TRY(uint64_t zone, suid_to_cid(zone_id->get_ref<const std::string&>()));
  const Json* values = member(doc, "values");
  if (!values || !values->is_object()) return invalid("missing values");

  std::vector<std::string> names;
  for (const auto& [name, _] : values->items()) names.push_back(name);
  ZAREL_TRY(size_t chosen_field, pick("field", names, field));
  const std::string field_name = names[chosen_field];
  const Json& entries = *member(*values, field_name);
  if (!entries.is_array()) return invalid("a field's values must be an array");

  std::vector<uint64_t> doc_depths;
  if (const Json* ds = member(doc, "depths"); ds && ds->is_array())
    for (const Json& e : *ds)
      if (auto v = non_negative(&e)) doc_depths.push_back(*v);
  std::vector<uint64_t> entry_depths;
  names.clear();
  for (const Json& e : entries) {
    auto v = non_negative(member(e, "depth"));
    if (!v && doc_depths.size() == 1) v = doc_depths[0];
    if (!v) return invalid("a value entry names no depth");
    entry_depths.push_back(*v);
    names.push_back(str(*v));
  }
  std::optional<std::string> wanted;
  if (depth) wanted = str(*depth);
  ZAREL_TRY(size_t chosen, pick("depth", names, wanted));
  const Json& entry = entries[chosen];
  uint64_t d = entry_depths[chosen];
  // Refuses a depth past 32 bits with the same words, before anything grows with d.
  ZAREL_TRY(uint64_t n, count_at(d));

  if (const Json* shape = member(entry, "shape"); shape && shape->is_object()) {
    auto contradicts = [&](std::string_view key) {
      auto v = non_negative(member(*shape, key));
      return v && *v != n;
    };
    if (contradicts("subZones") || contradicts("count"))
      return invalid("shape Some(" + write_json(*shape) + ") does not describe the " + str(n) + " sub-zones at depth " +
                     str(d));
  }
  const Json* data = member(entry, "data");
  if (!data || !data->is_array()) return invalid("missing data");
  auto read_apart = apart.find({field_name, chosen});
  const ValueKinds* kinds = read_apart == apart.end() ? nullptr : &read_apart->second;
  if (uint64_t size = kinds ? kinds->kinds.size() : data->size(); size != n)
    return invalid(str(size) + " values for the " + str(n) + " sub-zones at depth " + str(d));
  if (kinds) {
    if (!kinds->first_other.empty())
      return invalid("zone data value " + kinds->first_other + " is not a number or null");
  } else {
    for (const Json& v : *data)
      if (!v.is_null() && !v.is_number()) return invalid("zone data value " + write_json(v) + " is not a number or null");
  }

  ZAREL_TRY(Position p, position(kRhealpix, zone));
  if (uint32_t deepest = kRhealpix.deepest(); p.level + d > deepest)
    return invalid("depth " + str(d) + " below a level-" + str(p.level) + " zone is deeper than the deepest level, " +
                   str(deepest));
  auto tree_depth = static_cast<uint32_t>(p.level + d);
  ZAREL_TRY(HashContextRef ctx, profile.ctx(tree_depth));
  ZAREL_TRY(Tree tree, Tree::empty(kRhealpix, tree_depth, ctx));

  // The values are read in place: value (row, col) of the zone's block is
  // data[row * m + col], the scanline index.
  uint64_t m = pow3(d);
  auto covered = [&](uint64_t row, uint64_t col) {
    const Json& v = (*data)[row * m + col];
    return !v.is_null() && (!nonzero || v.get<double>() != 0);
  };
  auto covered_apart = [&](uint64_t row, uint64_t col) {
    uint8_t k = kinds->kinds[row * m + col];
    return k == ValueKinds::kNonzero || (k == ValueKinds::kZero && !nonzero);
  };
  Node node = kinds ? block_node(covered_apart, kSide, static_cast<uint32_t>(d), 0, 0, *ctx)
                    : block_node(covered, kSide, static_cast<uint32_t>(d), 0, 0, *ctx);
  // Lift the zone's node to its base cell, one Empty-padded branch a level.
  uint64_t cell = zone;
  for (uint32_t height = static_cast<uint32_t>(d) + 1; height <= tree_depth; ++height) {
    ChildBuffer kids(kRhealpix.a);
    kids[static_cast<uint32_t>(cell % kRhealpix.a)] = std::move(node);
    node = make_branch(kids.span(), height, *ctx);
    cell /= kRhealpix.a;
  }
  tree.bases[p.base] = std::move(node);
  return tree;
}

std::optional<uint64_t> enclosing_zone(const Tree& tree) {
  std::optional<uint32_t> only;
  for (uint32_t b = 0; b < tree.bases.size(); ++b) {
    if (tree.bases[b].is_empty()) continue;
    if (only) return std::nullopt;
    only = b;
  }
  if (!only) return std::nullopt;
  const uint32_t a = tree.hierarchy.a;
  uint64_t cid = a + *only;
  const Node* node = &tree.bases[*only];
  // Down while exactly one child holds anything.
  while (node->is_branch()) {
    std::optional<uint32_t> held;
    for (uint32_t k = 0; k < a; ++k) {
      if (node->child(k).is_empty()) continue;
      if (held) return cid;
      held = k;
    }
    node = &node->child(*held);
    cid = cid * a + *held;
  }
  return cid;
}

namespace {

// Calls f(first, count) for each run of consecutive cids of `level` whose
// subtrees hold a covered leaf: a Full node above `level` is one run.
template <class F>
void met_runs(const Node& node, uint64_t cid, uint32_t node_level, uint32_t level, uint32_t a, F& f) {
  if (node.is_empty()) return;
  if (node_level == level || node.is_full()) {
    uint64_t width = pow_u64(a, level - node_level);
    f(cid * width, width);
    return;
  }
  for (uint32_t k = 0; k < a; ++k) met_runs(node.child(k), cid * a + k, node_level + 1, level, a, f);
}

}  // namespace

Result<std::vector<uint64_t>> zones_met(const Tree& tree, uint32_t level, uint64_t limit) {
  if (level > tree.depth)
    return invalid("level " + str(level) + " is deeper than the tree's depth " + str(tree.depth));
  const uint32_t a = tree.hierarchy.a;
  uint64_t count = 0;
  auto tally = [&](uint64_t, uint64_t n) { count = n > UINT64_MAX - count ? UINT64_MAX : count + n; };
  for (uint32_t b = 0; b < tree.bases.size(); ++b) met_runs(tree.bases[b], a + b, 0, level, a, tally);
  if (count > limit)
    return invalid("the tree meets " + str(count) + " zones at level " + str(level) + ", above the maximum " +
                   str(limit));
  std::vector<uint64_t> out;
  out.reserve(count);
  auto list = [&](uint64_t first, uint64_t n) {
    for (uint64_t i = 0; i < n; ++i) out.push_back(first + i);
  };
  for (uint32_t b = 0; b < tree.bases.size(); ++b) met_runs(tree.bases[b], a + b, 0, level, a, list);
  return out;
}

Result<std::vector<uint64_t>> document_zones(const Tree& tree, const Profile& profile, uint32_t level) {
  ZAREL_CHECK(registered(profile));
  if (!(tree.hierarchy == kRhealpix) || !(profile.hierarchy() == kRhealpix))
    return invalid("zone data needs the rHEALPix hierarchy");
  ZAREL_TRY(std::vector<uint64_t> zones, zones_met(tree, level, kMaxZoneDocuments));
  ZAREL_TRY(uint64_t n, count_at(tree.depth - level));
  // Below 2^16 documents of at most 2^30 values, the product fits.
  if (uint64_t total = zones.size() * n; total > kMaxSubzones)
    return invalid("the documents would hold " + str(total) + " values, above the maximum " + str(kMaxSubzones));
  return zones;
}

}  // namespace zarel
