#include "opening.h"

#include "setops.h"

namespace zarel {

namespace {

constexpr uint64_t kVersion = 1;

Opening claim(bool full) {
  Opening o;
  o.kind = Opening::Kind::Claim;
  o.full = full;
  return o;
}

// Entries over `count` positions, the one at `on_path` holding `sub`, every
// other the hash `sibling(k)`.
template <class Sibling>
Opening entries(uint32_t count, uint32_t on_path, Opening sub, Sibling sibling) {
  Opening o;
  o.kind = Opening::Kind::Entries;
  o.entries.resize(count);
  for (uint32_t k = 0; k < count; ++k) {
    if (k == on_path) o.entries[k].opening = std::make_unique<Opening>(std::move(sub));
    else o.entries[k].hash = sibling(k);
  }
  return o;
}

std::optional<Opening> go(const Node& node, std::span<const uint32_t> digits, uint32_t height, const Ctx& ctx) {
  if (digits.empty()) {
    if (node.is_branch()) return std::nullopt;
    return claim(node.is_full());
  }
  uint32_t d = digits[0];
  auto sub = go(node.child(d), digits.subspan(1), height - 1, ctx);
  if (!sub) return std::nullopt;
  return entries(ctx.hierarchy.a, d, std::move(*sub),
                 [&](uint32_t k) { return node_hash(node.child(k), height - 1, ctx); });
}

// The hashes of an entries list at `height` (its entries stand at height - 1),
// provided it opens exactly one child; written into `out`.
bool entry_hashes(const Opening& o, uint32_t height, const Ctx& ctx, std::vector<Hash>& out) {
  out.resize(o.entries.size());
  size_t opened = 0;
  for (size_t k = 0; k < o.entries.size(); ++k) {
    const Entry& e = o.entries[k];
    if (!e.opening) {
      out[k] = e.hash;
      continue;
    }
    if (++opened > 1) return false;
    auto h = opening_hash(*e.opening, height - 1, ctx);
    if (!h) return false;
    out[k] = *h;
  }
  return opened == 1;
}

}  // namespace

Result<std::optional<Opening>> open_path(const Tree& tree, uint64_t cid) {
  ZAREL_CHECK(tree.hierarchy.check(cid, tree.depth));
  ZAREL_TRY(Path p, tree.hierarchy.path(cid));
  const Ctx& ctx = *tree.ctx;
  auto sub = go(tree.bases[p.base()], p.digits(), tree.depth, ctx);
  if (!sub) return std::optional<Opening>();
  return std::optional<Opening>(entries(tree.hierarchy.b, p.base(), std::move(*sub),
                                        [&](uint32_t k) { return node_hash(tree.bases[k], tree.depth, ctx); }));
}

std::optional<Hash> opening_hash(const Opening& opening, uint32_t height, const Ctx& ctx) {
  // Past the ladders no hash can be read; only a hand-made opening gets here.
  if (height > ctx.ladders.reach()) return std::nullopt;
  if (opening.kind == Opening::Kind::Claim)
    return opening.full ? ctx.ladders.full[height] : ctx.ladders.empty[height];
  if (height == 0 || opening.entries.size() != ctx.hierarchy.a) return std::nullopt;
  std::vector<Hash> hashes;
  if (!entry_hashes(opening, height, ctx, hashes)) return std::nullopt;
  return ctx.hasher.node(hashes);
}

bool verify_opening(const Opening& opening, const Hash& root, uint32_t depth, const Ctx& ctx) {
  if (opening.kind != Opening::Kind::Entries || opening.entries.size() != ctx.hierarchy.b) return false;
  std::vector<Hash> hashes;
  // The base entries stand at `depth`, as children of a node one level higher.
  if (!entry_hashes(opening, depth + 1, ctx, hashes)) return false;
  return ctx.hasher.root(hashes) == root;
}

OpeningRecord OpeningRecord::make(const Tree& tree, Opening opening) {
  OpeningRecord r;
  r.hash = std::string(tree.ctx->hasher.id());
  r.opening = std::move(opening);
  r.root = tree.root();
  r.A = tree.hierarchy.a;
  r.B = tree.hierarchy.b;
  r.D = tree.depth;
  return r;
}

Json Opening::to_json() const {
  if (kind == Kind::Claim) return Json{{"claim", full ? "full" : "empty"}};
  Json list = Json::array();
  for (const Entry& e : entries) list.push_back(e.opening ? e.opening->to_json() : Json(hex(e.hash)));
  return Json{{"entries", std::move(list)}};
}

Result<Opening> Opening::from_json(const Json& value, uint32_t height) {
  if (const Json* c = member(value, "claim")) {
    if (c->is_string() && c->get_ref<const std::string&>() == "full") return claim(true);
    if (c->is_string() && c->get_ref<const std::string&>() == "empty") return claim(false);
    return invalid("unknown claim " + write_json(*c));
  }
  const Json* list = member(value, "entries");
  if (!list || !list->is_array()) return invalid("an opening is a claim or entries");
  if (height == 0) return invalid("entries below the leaves");
  Opening o;
  o.kind = Kind::Entries;
  o.entries.resize(list->size());
  for (size_t k = 0; k < list->size(); ++k) {
    const Json& item = (*list)[k];
    if (item.is_string()) {
      auto h = unhex(item.get_ref<const std::string&>());
      if (!h) return invalid("bad hash " + item.get_ref<const std::string&>());
      o.entries[k].hash = *h;
    } else {
      ZAREL_TRY(Opening sub, from_json(item, height - 1));
      o.entries[k].opening = std::make_unique<Opening>(std::move(sub));
    }
  }
  return o;
}

Json OpeningRecord::to_json() const {
  return Json{{"A", A}, {"B", B}, {"D", D}, {"hash", hash}, {"opening", opening.to_json()}, {"root", hex(root)},
              {"v", kVersion}};
}

namespace {

void write_opening(const Opening& o, std::string& out) {
  if (o.kind == Opening::Kind::Claim) {
    out += o.full ? R"({"claim":"full"})" : R"({"claim":"empty"})";
    return;
  }
  out += R"({"entries":[)";
  for (size_t k = 0; k < o.entries.size(); ++k) {
    if (k > 0) out += ',';
    const Entry& e = o.entries[k];
    if (e.opening) {
      write_opening(*e.opening, out);
    } else {
      out += '"';
      out += hex(e.hash);
      out += '"';
    }
  }
  out += "]}";
}

}  // namespace

std::string OpeningRecord::to_json_text() const {
  std::string out;
  out.reserve(128 + 67 * (size_t{B} + size_t{A} * D));
  out += R"({"A":)" + std::to_string(A) + R"(,"B":)" + std::to_string(B) + R"(,"D":)" + std::to_string(D);
  out += R"(,"hash":)" + write_json(Json(hash)) + R"(,"opening":)";
  write_opening(opening, out);
  out += R"(,"root":")" + hex(root) + R"(","v":)" + std::to_string(kVersion) + "}";
  return out;
}

Result<OpeningRecord> OpeningRecord::from_json(const Json& value) {
  auto v = unsigned_member(value, "v");
  if (!v || *v != kVersion)
    return invalid("opening record is version v" + std::to_string(v.value_or(0)) + "; this build reads v" +
                   std::to_string(kVersion));
  ZAREL_TRY(Shape shape, wire_shape(value));
  OpeningRecord r;
  r.A = shape.A;
  r.B = shape.B;
  r.D = shape.D;
  const Json* root = member(value, "root");
  std::optional<Hash> h;
  if (root && root->is_string()) h = unhex(root->get_ref<const std::string&>());
  if (!h) return invalid("bad root");
  r.root = *h;
  if (const Json* id = member(value, "hash"); id && id->is_string()) r.hash = id->get_ref<const std::string&>();
  const Json* top = member(value, "opening");
  if (!top) return invalid("missing opening");
  // The top level lists the base cells, one level above the base nodes at height D.
  ZAREL_TRY(r.opening, Opening::from_json(*top, r.D + 1));
  return r;
}

bool OpeningRecord::verify() const {
  if (hash != Sha256Tagged::id()) return false;
  if (!valid_shape(A, B, D)) return false;
  // Refuse a wrong-sized top level before any ladder is hashed.
  if (opening.kind != Opening::Kind::Entries || opening.entries.size() != B) return false;
  CtxRef ctx = make_ctx(Hierarchy{A, B}, D);
  return verify_opening(opening, root, D, *ctx);
}

}  // namespace zarel
