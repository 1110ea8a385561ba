// Core pieces that Python cannot reach directly: hex reading, ladders, the
// tree model's own checks, error display and JSON numbers.
#include <string>

#include "check.h"
#include "error.h"
#include "hash.h"
#include "json.h"
#include "tree.h"

using namespace zarel;

static void test_unhex() {
  std::string good = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  CHECK(unhex(good) && hex(*unhex(good)) == good);
  std::string upper = good, g = good;
  upper[10] = 'A';
  g[0] = 'g';
  for (const std::string& bad : {upper, good.substr(1), good + "0", good.substr(2), g, std::string()}) CHECK(!unhex(bad));
}

static void test_tagged_hashing() {
  // Streaming the tag and the items equals hashing the concatenation.
  Ladders l = Ladders::make(9, 18);
  CHECK(l.empty.size() == 19 && l.full.size() == 19 && l.reach() == 18);
  std::vector<uint8_t> cat{kTagRoot};
  for (int i = 0; i < 6; ++i) cat.insert(cat.end(), l.full[3].begin(), l.full[3].end());
  CHECK(Sha256Tagged::root(std::vector<Hash>(6, l.full[3])) == sha256(cat));
}

static void test_make_branch() {
  CtxRef ctx = make_ctx(kRhealpix, 3);
  CHECK(make_branch(std::vector<Node>(9, Node::empty()), 1, *ctx).is_empty());
  CHECK(make_branch(std::vector<Node>(9, Node::full()), 2, *ctx).is_full());
  std::vector<Node> mixed(9, Node::full());
  mixed[4] = Node::empty();
  Node b = make_branch(mixed, 1, *ctx);
  CHECK(b.is_branch() && b.branch()->children().size() == 9 && b.branch()->refs == 1);
  Node shared = b;
  CHECK(shared.branch() == b.branch() && b.branch()->refs == 2);
  std::vector<Hash> expect(9, ctx->ladders.full[0]);
  expect[4] = ctx->ladders.empty[0];
  CHECK(node_hash(b, 1, *ctx) == Sha256Tagged::node(expect));
}

static void test_tree_checks() {
  CtxRef ctx3 = make_ctx(kRhealpix, 3);
  auto deeper = Tree::empty(kRhealpix, 4, ctx3);
  CHECK(!deeper && deeper.error().display() == "context ladders reach depth 3, tree needs 4");
  auto other = Tree::empty(Hierarchy{4, 6}, 2, ctx3);
  CHECK(!other && other.error().display() == "hashing context does not match the hierarchy");
  CtxRef ctx20 = make_ctx(kRhealpix, 20);
  auto too_deep = Tree::empty(kRhealpix, 19, ctx20);
  CHECK(!too_deep && too_deep.error().display() == "depth 19 is deeper than the deepest level, 18");

  std::vector<uint64_t> cids{9 * 9 + 4, 12};
  auto t = Tree::from_cells(cids, 3, kRhealpix, ctx3);
  CHECK(t.ok());
  auto inside = t->node_at((9 * 9 + 4) * 9 + 2);  // below a Full node: the walk stops there
  CHECK(inside && inside->node.is_full() && !inside->reached && inside->height == 2);
  auto partial = t->node_at(9);
  CHECK(partial && partial->node.is_branch() && partial->reached && partial->height == 3);
  CHECK(t->debug() == "Tree(H(9,6), D=3, root=" + t->root_hex() + ")");
}

static void test_merge_ranges() {
  std::vector<LeafRange> r{{5, 7}, {1, 3}, {3, 4}, {10, 12}, {6, 9}, {11, 11}};
  merge_ranges(r);
  CHECK(r.size() == 3 && r[0].start == 1 && r[0].end == 4 && r[1].start == 5 && r[1].end == 9 &&
        r[2].start == 10 && r[2].end == 12);
}

static void test_errors_and_text() {
  CHECK(off_image(0.1, 0).display().rfind("(0.10000000000000000555,0.00000000000000000000)", 0) == 0);
  CHECK(quote("a\"b\\c\n\x01") == "\"a\\\"b\\\\c\\n\\u{1}\"");
  CHECK(quote_char('\'') == "'\\''" && quote_char('"') == "'\"'");
  CHECK(shortest(1e20) == "100000000000000000000" && shortest(0.1) == "0.1");
  bool threw = false;
  try {
    panic("core/tree.cpp", 12, "broken");
  } catch (const Panic& p) {
    threw = std::string(p.what()).find("tree.cpp:12") != std::string::npos;
  }
  CHECK(threw);
}

static void test_json_numbers() {
  auto v = parse_json(R"({"b":18446744073709551615,"a":-9223372036854775808,"c":18446744073709551616,"d":1.5})");
  CHECK(v.ok());
  CHECK((*v)["b"].is_number_unsigned() && (*v)["a"].is_number_integer() && !(*v)["a"].is_number_unsigned());
  CHECK((*v)["c"].is_number_float() && (*v)["d"].is_number_float());
  CHECK(write_json(*v).rfind("{\"a\":", 0) == 0);
  CHECK(parse_json("[\"" + std::string(200, '[') + "\"]").ok());  // brackets inside strings do not nest
  auto bad = parse_json("{\"a\": }");
  CHECK(!bad && bad.error().display().find("line 1, column") != std::string::npos);
  CHECK(!member(Json(5), "a") && !member(*v, "zz") && member(*v, "a"));
}

int main() {
  test_unhex();
  test_tagged_hashing();
  test_make_branch();
  test_tree_checks();
  test_merge_ranges();
  test_errors_and_text();
  test_json_numbers();
  return zarel_test::finish();
}
