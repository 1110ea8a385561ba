// Set operations, transcripts and openings where Python cannot look: branch
// sharing by pointer identity, the parse messages the verifiers hide behind
// False, and hand-made structures that no JSON document produces.
#include <functional>
#include <string>

#include "check.h"
#include "base/json.h"
#include "proof/opening.h"
#include "proof/transcript.h"
#include "proof/wire.h"
#include "tree/tree.h"

using namespace zarel;

static Tree tree(std::vector<uint64_t> cids, uint32_t depth) { return *Tree::from_cells(cids, depth, Profile::ogc()); }

// Whether the two nodes are the same node all the way down: the very same
// Branch object, or the same uniform or leaf-mask node.
static bool same_nodes(const Node& x, const Node& y) { return x.same(y); }

static size_t count_branches(const Node& n) {
  if (!n.is_branch()) return 0;
  size_t k = 1;
  for (uint32_t d = 0; d < 9; ++d) k += count_branches(n.child(d));
  return k;
}

static void test_sharing() {
  Tree a = tree({9, 100, 983, 8019, 8021, 9577}, 4);
  for (SetOp op : {SetOp::Union, SetOp::Intersect}) {
    Tree r = *combine(a, a, op);
    for (size_t i = 0; i < a.bases.size(); ++i) CHECK(same_nodes(r.bases[i], a.bases[i]));
  }
  Tree empty = tree({}, 4);
  Tree u = *combine(empty, a, SetOp::Union);
  for (size_t i = 0; i < a.bases.size(); ++i) CHECK(same_nodes(u.bases[i], a.bases[i]));
  CHECK((*combine(a, a, SetOp::Difference)).is_empty());
  // b differs from a in base 3 only: every other base of a ∪ b is a's own node, and
  // inside base 3 only the branches on the changed path are new.
  Tree b = tree({9, 100, 983, 8019, 8021, 9577, 12 * 729 + 5}, 4);
  Tree r = *combine(a, b, SetOp::Union);
  for (size_t i : {0, 1, 2, 4, 5}) CHECK(same_nodes(r.bases[i], a.bases[i]));
  CHECK(r.bases[3].branch() != a.bases[3].branch());
  CHECK(r == b);
  const Node& ra = r.bases[3];
  // 983 lies below child 1 of base 3, the new cell below child 0: child 1 is a's
  // own branch, child 0 is b's.
  CHECK(same_nodes(ra.child(1), a.bases[3].child(1)));
  CHECK(same_nodes(ra.child(0), b.bases[3].child(0)));
  CHECK(count_branches(r.bases[3]) == count_branches(b.bases[3]));
}

static OpeningRecord record_of(const Tree& t, uint64_t cid) {
  auto r = open_path(t, cid);
  return OpeningRecord::make(t, std::move(*r.value()));
}

static Json proof_json() {
  Tree a = tree({9, 100, 983}, 3), b = tree({10, 983, 8019}, 3);
  return prove(a, b, SetOp::Union)->to_json();
}

#define CHECK_PROOF_ERR(mutate, text)           \
  do {                                          \
    Json j = proof_json();                      \
    mutate;                                     \
    CHECK_ERR(SetOpProof::from_json(j), text);  \
  } while (0)

static void test_proof_messages() {
  CHECK(SetOpProof::from_json(proof_json())->verify());
  for (SetOp op : {SetOp::Union, SetOp::Intersect, SetOp::Difference}) {
    SetOpProof p = *prove(tree({9, 100, 983}, 3), tree({10, 983, 8019}, 3), op);
    CHECK_EQ(p.to_json_text(), write_json(p.to_json()));
  }
  CHECK_PROOF_ERR(j["v"] = 2, "set-operation proof is version v2; this build reads v1");
  CHECK_ERR(SetOpProof::from_json(Json::array()), "set-operation proof is version v0; this build reads v1");
  CHECK_PROOF_ERR(j["op"] = "Union", "bad op");
  CHECK_PROOF_ERR(j.erase("A"), "missing A");
  CHECK_PROOF_ERR(j["B"] = 1.0, "missing B");
  // The shape itself is read as an opening record's is (below).
  CHECK_PROOF_ERR(j.erase("steps"), "missing steps");
  CHECK_PROOF_ERR(j["steps"][0]["children"] = 5, "children must be an array");
  CHECK_PROOF_ERR(j["steps"][1].erase("c"), "bad step hash c");
  CHECK_PROOF_ERR(j["steps"][1] = 7, "bad step hash a");
  CHECK_PROOF_ERR(j["root_a"] = 1, "bad root_a");
  CHECK_PROOF_ERR(j["root_c"] = std::string(62, '0'), "bad root_c");
  // Children below the leaves are refused while parsing, before any walk.
  CHECK_PROOF_ERR(j["D"] = 0, "children below the leaves");
  CHECK_ERR(wire_shape(Json::object({{"A", 9}, {"B", 6}})), "missing D");
  CHECK(wire_shape(Json::object({{"A", 9}, {"B", 6}, {"D", 18}})));
  CHECK(valid_shape(2, 2, 61) && !valid_shape(2, 2, 62) && !valid_shape(1, 1, 0) && valid_shape(4096, 4096 * 4095, 2));
}

static void test_hand_made_proofs() {
  // Structures no parser yields: nesting past the depth, leaf-level undecided steps.
  Tree a = tree({9, 100, 983}, 2), b = tree({10, 983, 101}, 2);
  SetOpProof p = *prove(a, b, SetOp::Union);
  CHECK(p.verify());
  std::function<void(Step&)> deepen = [&](Step& s) {
    if (s.children) {
      for (Step& c : *s.children) deepen(c);
    } else {
      s.children = std::vector<Step>(9, Step{std::nullopt, s.a, s.b, s.c});
    }
  };
  SetOpProof q = p;
  for (Step& s : q.steps) deepen(s);
  CHECK(!q.verify());
  // An undecided pair at height 0: both sides neither empty nor full nor equal.
  const Hash x = sha_tagged(7, {}), y = sha_tagged(8, {});
  SetOpProof leaf = p;
  leaf.D = 0;
  std::vector<Step> kids(9, Step{std::nullopt, x, y, x});
  leaf.steps.assign(6, Step{kids, x, y, x});
  CHECK(!leaf.verify());
  leaf.steps.assign(6, Step{std::nullopt, x, y, x});
  CHECK(!leaf.verify());
}

static void test_opening_messages() {
  Tree t = tree({100, 8019}, 3);
  Json good = record_of(t, 8019).to_json();
  CHECK(OpeningRecord::from_json(good)->verify());
  auto err = [&](auto mutate, const char* text) {
    Json j = good;
    mutate(j);
    CHECK_ERR(OpeningRecord::from_json(j), text);
  };
  err([](Json& j) { j["v"] = 3; }, "opening record is version v3; this build reads v1");
  err([](Json& j) { j["A"] = "9"; }, "missing A");
  err([](Json& j) { j["B"] = uint64_t{1} << 40; }, "B = 1099511627776 is out of range");
  err([](Json& j) { j["B"] = 100; }, "B=100 > A(A-1)=72: the leading block would not be two digits");
  err([](Json& j) { j["D"] = 40; }, "D = 40 is deeper than the deepest level, 18");
  err([](Json& j) { j["root"] = std::string(64, 'F'); }, "bad root");
  err([](Json& j) { j.erase("opening"); }, "missing opening");
  err([](Json& j) { j["opening"] = Json::object({{"claim", "maybe"}}); }, "unknown claim \"maybe\"");
  err([](Json& j) { j["opening"] = Json::object({{"claim", 1}, {"entries", Json::array()}}); }, "unknown claim 1");
  err([](Json& j) { j["opening"] = Json::object({{"entries", "x"}}); }, "an opening is a claim or entries");
  err([](Json& j) { j["opening"]["entries"][0] = "xyz"; }, "bad hash xyz");
  err([](Json& j) { j["opening"]["entries"][2]["entries"][0] = Json::array(); }, "an opening is a claim or entries");
  err([](Json& j) { j["D"] = 1; }, "entries below the leaves");
}

static void test_opening_paths() {
  Tree t = tree({100, 8019}, 3);
  OpeningRecord r = record_of(t, 8019);
  CHECK(r.verify());
  // No nested opening at the top: the record names no cell.
  OpeningRecord none = record_of(t, 8019);
  none.opening.entries[2].hash = t.base_hashes()[2];
  none.opening.entries[2].opening.reset();
  CHECK(!none.verify());
  // Nested past the ladders by hand: refused, no lookup past the end.
  auto deep = std::make_unique<Opening>();
  for (int i = 0; i < 30; ++i) {
    auto up = std::make_unique<Opening>();
    up->kind = Opening::Kind::Entries;
    up->entries.resize(9);
    up->entries[0].opening = std::move(deep);
    deep = std::move(up);
  }
  OpeningRecord far = record_of(t, 8019);
  far.opening.entries[2].opening = std::move(deep);
  CHECK(!far.verify());
  CHECK(!opening_hash(Opening{}, 99, *t.ctx));
}

int main() {
  test_sharing();
  test_proof_messages();
  test_hand_made_proofs();
  test_opening_messages();
  test_opening_paths();
  return zarel_test::finish();
}
