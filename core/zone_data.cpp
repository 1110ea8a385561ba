#include "zone_data.h"

#include <vector>

#include "tree_raster.h"
#include "zone.h"

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
void mark(const Node& node, uint32_t height, uint64_t row, uint64_t col, uint64_t m, Json::array_t& data) {
  if (node.is_full()) {
    uint64_t k = pow3(height);
    for (uint64_t i = 0; i < k; ++i)
      for (uint64_t j = 0; j < k; ++j) data[(row * k + i) * m + col * k + j] = 1;
  } else if (const Branch* b = node.branch()) {
    auto kids = b->children();
    for (uint32_t d = 0; d < kids.size(); ++d)
      mark(kids[d], height - 1, row * kSide + d / kSide, col * kSide + d % kSide, m, data);
  }
}

}  // namespace

Result<std::string_view> registered(const Profile& profile) {
  ZAREL_CHECK(profile.validate());
  const Profile ogc = Profile::ogc();
  if (profile.aperture != ogc.aperture || profile.n_base != ogc.n_base || profile.lon_0_udeg != ogc.lon_0_udeg ||
      profile.north_square != ogc.north_square || profile.south_square != ogc.south_square ||
      profile.a_um != ogc.a_um || profile.inv_f_nano != ogc.inv_f_nano)
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

Result<Json> to_dggs_json(const Tree& tree, const Profile& profile, uint64_t zone, std::string_view field) {
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
  // Each value that may hold the data is released on the way out (release_json).
  Json data = Json::array(), entry = Json::object(), entries = Json::array(), doc = Json::object();
  ReleaseJson release_data(data), release_entry(entry), release_entries(entries), release_doc(doc);
  auto& values = data.get_ref<Json::array_t&>();
  values.assign(n, at.node.is_full() ? Json(1) : Json(nullptr));
  if (at.node.is_branch()) mark(at.node, d, 0, 0, pow3(d), values);

  Json shape = Json::object();
  shape["count"] = n;
  shape["subZones"] = n;
  entry["depth"] = d;
  entry["shape"] = std::move(shape);
  entry["data"] = std::move(data);
  doc["dggrs"] = uri;
  doc["zoneId"] = std::move(suid);
  doc["depths"] = Json::array({d});
  // Moved, not listed: an initializer list would copy every value.
  entries.push_back(std::move(entry));
  doc["values"] = Json::object();
  doc["values"][std::string(field)] = std::move(entries);
  return doc;
}

Result<Tree> from_dggs_json(const Json& doc, const Profile& profile, std::optional<std::string_view> field,
                            std::optional<uint32_t> depth, bool nonzero) {
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
  const Json& entries = *member(*values, names[chosen_field]);
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
  if (data->size() != n)
    return invalid(str(data->size()) + " values for the " + str(n) + " sub-zones at depth " + str(d));
  for (const Json& v : *data)
    if (!v.is_null() && !v.is_number()) return invalid("zone data value " + write_json(v) + " is not a number or null");

  ZAREL_TRY(Position p, position(kRhealpix, zone));
  if (uint32_t deepest = kRhealpix.deepest(); p.level + d > deepest)
    return invalid("depth " + str(d) + " below a level-" + str(p.level) + " zone is deeper than the deepest level, " +
                   str(deepest));
  auto tree_depth = static_cast<uint32_t>(p.level + d);
  ZAREL_TRY(CtxRef ctx, profile.ctx(tree_depth));
  ZAREL_TRY(Tree tree, Tree::empty(kRhealpix, tree_depth, ctx));

  // The values are read in place: value (row, col) of the zone's block is
  // data[row * m + col], the scanline index.
  uint64_t m = pow3(d);
  auto covered = [&](uint64_t row, uint64_t col) {
    const Json& v = (*data)[row * m + col];
    return !v.is_null() && (!nonzero || v.get<double>() != 0);
  };
  Node node = block_node(covered, kSide, static_cast<uint32_t>(d), 0, 0, *ctx);
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

}  // namespace zarel
