#include "proof/transcript.h"

#include <algorithm>

#include "proof/wire.h"

namespace zarel {

namespace {
constexpr uint64_t kVersion = 1;
}  // namespace

namespace {

// Hashes of `count` values gathered from consecutive steps; `scratch` is reused
// across the whole walk so that hashing a node allocates nothing.
template <class Pick>
Hash node_of(std::span<const Step> steps, Pick pick, std::vector<Hash>& scratch) {
  scratch.resize(steps.size());
  for (size_t k = 0; k < steps.size(); ++k) scratch[k] = pick(steps[k]);
  return Sha256Tagged::node(scratch);
}

Step build_step(const Node& na, const Node& nb, uint32_t height, SetOp op, const HashContext& ctx, std::vector<Hash>& scratch,
                Poll& poll) {
  const Hash& ha = node_hash(na, height, ctx);
  const Hash& hb = node_hash(nb, height, ctx);
  Step s{std::nullopt, ha, hb, {}};
  if (auto r = rule(op, ha, hb, height, ctx)) {
    s.c = *r;
    return s;
  }
  ZAREL_ASSERT(height >= 1);
  if (poll()) return s;
  std::vector<Step> kids;
  kids.reserve(ctx.hierarchy.a);
  for (uint32_t k = 0; k < ctx.hierarchy.a; ++k)
    kids.push_back(build_step(na.child(k), nb.child(k), height - 1, op, ctx, scratch, poll));
  s.c = node_of(kids, [](const Step& x) { return x.c; }, scratch);
  s.children = std::move(kids);
  return s;
}

// Whether `step` at `height` follows the rule where it decides and the Merkle
// relation to its children where it does not.
bool check(const Step& step, uint32_t height, SetOp op, const HashContext& ctx, std::vector<Hash>& scratch) {
  if (auto r = rule(op, step.a, step.b, height, ctx)) return !step.children && step.c == *r;
  // An undecided step must descend, which is impossible below the leaves.
  if (height == 0 || !step.children || step.children->size() != ctx.hierarchy.a) return false;
  for (const Step& child : *step.children)
    if (!check(child, height - 1, op, ctx, scratch)) return false;
  std::span<const Step> kids = *step.children;
  return node_of(kids, [](const Step& x) { return x.a; }, scratch) == step.a &&
         node_of(kids, [](const Step& x) { return x.b; }, scratch) == step.b &&
         node_of(kids, [](const Step& x) { return x.c; }, scratch) == step.c;
}

Hash root_of(std::span<const Step> steps, const Hash Step::*field) {
  std::vector<Hash> items;
  items.reserve(steps.size());
  for (const Step& s : steps) items.push_back(s.*field);
  return Sha256Tagged::root(items);
}

std::optional<Hash> hash_member(const Json& value, std::string_view key) {
  const Json* m = member(value, key);
  if (!m || !m->is_string()) return std::nullopt;
  return unhex(m->get_ref<const std::string&>());
}

}  // namespace

Result<SetOpProof> prove(const Tree& a, const Tree& b, SetOp op, const Cancel& cancel) {
  ZAREL_CHECK(compatible(a, b));
  if (a.hierarchy.b > kMaxListedBases)
    return invalid("the proof would list " + std::to_string(a.hierarchy.b) + " base cells, above the maximum " +
                   std::to_string(kMaxListedBases));
  const HashContext& ctx = *a.ctx;
  SetOpProof p;
  p.hash = std::string(ctx.hasher.id());
  std::vector<Hash> scratch;
  p.steps.reserve(a.bases.size());
  Poll poll(cancel);
  for (size_t i = 0; i < a.bases.size(); ++i)
    p.steps.push_back(build_step(a.bases[i], b.bases[i], a.depth, op, ctx, scratch, poll));
  if (cancel.stopped()) return cancelled();
  p.root_a = a.root();
  p.root_b = b.root();
  p.root_c = root_of(p.steps, &Step::c);
  p.A = a.hierarchy.a;
  p.B = a.hierarchy.b;
  p.D = a.depth;
  p.op = op;
  return p;
}

Json Step::to_json() const {
  Json j = Json::object();
  j["a"] = hex(a);
  j["b"] = hex(b);
  j["c"] = hex(c);
  if (children) {
    Json kids = Json::array();
    for (const Step& s : *children) kids.push_back(s.to_json());
    j["children"] = std::move(kids);
  }
  return j;
}

Result<Step> Step::from_json(const Json& value, uint32_t height) {
  Step s;
  if (const Json* kids = member(value, "children")) {
    if (!kids->is_array()) return invalid("children must be an array");
    if (height == 0) return invalid("children below the leaves");
    std::vector<Step> parsed;
    parsed.reserve(kids->size());
    for (const Json& k : *kids) {
      ZAREL_TRY(Step child, from_json(k, height - 1));
      parsed.push_back(std::move(child));
    }
    s.children = std::move(parsed);
  }
  for (auto [key, field] : {std::pair{"a", &Step::a}, std::pair{"b", &Step::b}, std::pair{"c", &Step::c}}) {
    auto h = hash_member(value, key);
    if (!h) return invalid(std::string("bad step hash ") + key);
    s.*field = *h;
  }
  return s;
}

Json SetOpProof::to_json() const {
  Json steps_json = Json::array();
  for (const Step& s : steps) steps_json.push_back(s.to_json());
  return Json{{"A", A},
              {"B", B},
              {"D", D},
              {"hash", hash},
              {"op", std::string(op_name(op))},
              {"root_a", hex(root_a)},
              {"root_b", hex(root_b)},
              {"root_c", hex(root_c)},
              {"steps", std::move(steps_json)},
              {"v", kVersion}};
}

namespace {

void write_step(const Step& s, std::string& out) {
  out += R"({"a":")" + hex(s.a) + R"(","b":")" + hex(s.b) + R"(","c":")" + hex(s.c) + '"';
  if (s.children) {
    out += R"(,"children":[)";
    for (size_t k = 0; k < s.children->size(); ++k) {
      if (k > 0) out += ',';
      write_step((*s.children)[k], out);
    }
    out += ']';
  }
  out += '}';
}

}  // namespace

std::string SetOpProof::to_json_text() const {
  std::string out = R"({"A":)" + std::to_string(A) + R"(,"B":)" + std::to_string(B) + R"(,"D":)" + std::to_string(D);
  out += R"(,"hash":)" + write_json(Json(hash)) + R"(,"op":")" + std::string(op_name(op)) + R"(","root_a":")" +
         hex(root_a) + R"(","root_b":")" + hex(root_b) + R"(","root_c":")" + hex(root_c) + R"(","steps":[)";
  for (size_t k = 0; k < steps.size(); ++k) {
    if (k > 0) out += ',';
    write_step(steps[k], out);
  }
  out += R"(],"v":)" + std::to_string(kVersion) + "}";
  return out;
}

Result<SetOpProof> SetOpProof::from_json(const Json& value) {
  auto v = unsigned_member(value, "v");
  if (!v || *v != kVersion)
    return invalid("set-operation proof is version v" + std::to_string(v.value_or(0)) + "; this build reads v" +
                   std::to_string(kVersion));
  SetOpProof p;
  const Json* op = member(value, "op");
  std::optional<SetOp> parsed_op;
  if (op && op->is_string()) parsed_op = op_from_name(op->get_ref<const std::string&>());
  if (!parsed_op) return invalid("bad op");
  p.op = *parsed_op;
  ZAREL_TRY(Shape shape, wire_shape(value));
  p.A = shape.A;
  p.B = shape.B;
  p.D = shape.D;
  const Json* steps = member(value, "steps");
  if (!steps || !steps->is_array()) return invalid("missing steps");
  p.steps.reserve(std::min<size_t>(steps->size(), p.B));
  for (const Json& s : *steps) {
    ZAREL_TRY(Step step, Step::from_json(s, p.D));
    p.steps.push_back(std::move(step));
  }
  if (const Json* h = member(value, "hash"); h && h->is_string()) p.hash = h->get_ref<const std::string&>();
  for (auto [key, field] : {std::pair{"root_a", &SetOpProof::root_a}, std::pair{"root_b", &SetOpProof::root_b},
                            std::pair{"root_c", &SetOpProof::root_c}}) {
    auto h = hash_member(value, key);
    if (!h) return invalid(std::string("bad ") + key);
    p.*field = *h;
  }
  return p;
}

bool SetOpProof::verify() const {
  if (hash != Sha256Tagged::id()) return false;
  // The shape is checked before the ladders are built, so their cost stays bounded
  // (at most a few megabytes hashed, for A = 4096).
  if (!valid_shape(A, B, D)) return false;
  if (steps.size() != B) return false;
  HashContextRef ctx = shared_hash_context(Hierarchy{A, B}, D);
  std::vector<Hash> scratch;
  for (const Step& s : steps)
    if (!check(s, D, op, *ctx, scratch)) return false;
  return root_of(steps, &Step::a) == root_a && root_of(steps, &Step::b) == root_b &&
         root_of(steps, &Step::c) == root_c;
}

}  // namespace zarel
