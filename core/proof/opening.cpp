#include "proof/opening.h"

#include "proof/wire.h"
#include "tree/setops.h"

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

std::optional<Opening> go(const Node& node, std::span<const uint32_t> digits, uint32_t height, const HashContext& ctx) {
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
bool entry_hashes(const Opening& o, uint32_t height, const HashContext& ctx, std::vector<Hash>& out) {
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
  if (tree.hierarchy.b > kMaxListedBases)
    return invalid("the opening would list " + std::to_string(tree.hierarchy.b) + " base cells, above the maximum " +
                   std::to_string(kMaxListedBases));
  ZAREL_TRY(Path p, tree.hierarchy.path(cid));
  const HashContext& ctx = *tree.ctx;
  auto sub = go(tree.bases[p.base()], p.digits(), tree.depth, ctx);
  if (!sub) return std::optional<Opening>();
  return std::optional<Opening>(entries(tree.hierarchy.b, p.base(), std::move(*sub),
                                        [&](uint32_t k) { return node_hash(tree.bases[k], tree.depth, ctx); }));
}

std::optional<Hash> opening_hash(const Opening& opening, uint32_t height, const HashContext& ctx) {
  // Past the ladders no hash can be read; only a hand-made opening gets here.
  if (height > ctx.ladders.reach()) return std::nullopt;
  if (opening.kind == Opening::Kind::Claim)
    return opening.full ? ctx.ladders.full[height] : ctx.ladders.empty[height];
  if (height == 0 || opening.entries.size() != ctx.hierarchy.a) return std::nullopt;
  std::vector<Hash> hashes;
  if (!entry_hashes(opening, height, ctx, hashes)) return std::nullopt;
  return ctx.hasher.node(hashes);
}

bool verify_opening(const Opening& opening, const Hash& root, uint32_t depth, const HashContext& ctx) {
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

namespace {

// The reader behind read_plain: every method answers false where it is unsure.
class PlainRecordReader {
 public:
  explicit PlainRecordReader(std::string_view text) : p_(text.data()), end_(text.data() + text.size()) {}

  bool record(OpeningRecord& r) {
    // Keys in ascending order, each once: A, B, D, hash, opening, root, v.
    static constexpr std::string_view kKeys[] = {"A", "B", "D", "hash", "opening", "root", "v"};
    uint64_t numbers[3] = {}, version = 0;
    std::string_view text;
    if (!open('{')) return false;
    for (size_t k = 0; k < std::size(kKeys); ++k) {
      if (k > 0 && !punct(',')) return false;
      if (!string(text) || text != kKeys[k] || !punct(':')) return false;
      space();
      switch (k) {
        case 0:
        case 1:
        case 2:
          if (!number(numbers[k]) || numbers[k] > UINT32_MAX) return false;
          break;
        case 3:
          if (!string(text)) return false;
          r.hash = text;
          break;
        case 4:
          r.A = static_cast<uint32_t>(numbers[0]);
          r.B = static_cast<uint32_t>(numbers[1]);
          r.D = static_cast<uint32_t>(numbers[2]);
          if (!valid_shape(r.A, r.B, r.D) || !opening(r.opening, r.D + 1)) return false;
          break;
        case 5: {
          if (!string(text)) return false;
          auto h = unhex(text);
          if (!h) return false;
          r.root = *h;
          break;
        }
        default:
          if (!number(version) || version != kVersion) return false;
      }
    }
    if (!close('}')) return false;
    space();
    return p_ == end_;
  }

 private:
  const char* p_;
  const char* end_;
  int depth_ = 0;

  void space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool punct(char c) {
    space();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool open(char c) { return ++depth_ <= kMaxJsonDepth && punct(c); }
  bool close(char c) { return --depth_, punct(c); }
  // Printable ASCII without escapes.
  bool string(std::string_view& out) {
    if (!punct('"')) return false;
    const char* start = p_;
    while (p_ < end_ && *p_ != '"') {
      if (*p_ == '\\' || static_cast<unsigned char>(*p_) < 0x20 || static_cast<unsigned char>(*p_) >= 0x80) return false;
      ++p_;
    }
    if (p_ == end_) return false;
    out = std::string_view(start, static_cast<size_t>(p_ - start));
    ++p_;
    return true;
  }
  // A non-negative integer of at most 9 digits, without leading zeros.
  bool number(uint64_t& out) {
    space();
    const char* start = p_;
    out = 0;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9' && p_ - start < 10) out = out * 10 + static_cast<uint64_t>(*p_++ - '0');
    size_t n = static_cast<size_t>(p_ - start);
    if (n == 0 || n > 9 || (n > 1 && *start == '0')) return false;
    return p_ == end_ || (*p_ != '.' && *p_ != 'e' && *p_ != 'E' && !(*p_ >= '0' && *p_ <= '9'));
  }
  // {"claim": "full" | "empty"} or {"entries": [hash or opening, ...]}, one key.
  bool opening(Opening& o, uint32_t height) {
    std::string_view key, text;
    if (!open('{') || !string(key) || !punct(':')) return false;
    if (key == "claim") {
      if (!string(text) || (text != "full" && text != "empty")) return false;
      o.kind = Opening::Kind::Claim;
      o.full = text == "full";
    } else if (key == "entries" && height > 0) {
      o.kind = Opening::Kind::Entries;
      if (!open('[')) return false;
      space();
      if (p_ < end_ && *p_ == ']') return false;  // empty lists are rare enough for the general road
      do {
        Entry& e = o.entries.emplace_back();
        space();
        if (p_ < end_ && *p_ == '"') {
          if (!string(text)) return false;
          auto h = unhex(text);
          if (!h) return false;
          e.hash = *h;
        } else {
          e.opening = std::make_unique<Opening>();
          if (!opening(*e.opening, height - 1)) return false;
        }
      } while (punct(','));
      if (!close(']')) return false;
    } else {
      return false;
    }
    return close('}');
  }
};

}  // namespace

std::optional<OpeningRecord> OpeningRecord::read_plain(std::string_view text) {
  OpeningRecord r;
  if (!PlainRecordReader(text).record(r)) return std::nullopt;
  return r;
}

bool OpeningRecord::verify() const {
  if (hash != Sha256Tagged::id()) return false;
  if (!valid_shape(A, B, D)) return false;
  // Refuse a wrong-sized top level before any ladder is hashed.
  if (opening.kind != Opening::Kind::Entries || opening.entries.size() != B) return false;
  HashContextRef ctx = shared_hash_context(Hierarchy{A, B}, D);
  return verify_opening(opening, root, D, *ctx);
}

}  // namespace zarel
