// Core pieces that Python cannot reach directly: the tree's hashing contexts,
// and the fast roads (direct JSON, vector sines, direct nuclei, opening text)
// against the general ones they stand in for.
#include <cstring>
#include <random>
#include <string>

#include "check.h"
#include "base/error.h"
#include "geo/ellipsoid.h"
#include "geo/grid.h"
#include "profile/hash_context.h"
#include "base/json.h"
#include "proof/opening.h"
#include "profile/profile.h"
#include "tree/tree.h"

using namespace zarel;

static void test_tree_checks() {
  HashContextRef ctx3 = make_hash_context(kRhealpix, 3);
  CHECK_ERR(Tree::empty(kRhealpix, 4, ctx3), "context ladders reach depth 3, tree needs 4");
  CHECK_ERR(Tree::empty(Hierarchy{4, 6}, 2, ctx3), "hashing context does not match the hierarchy");
}

// The direct JSON reader and writer against the library's general road: same
// value, same number kinds, same text, same error message, on hand-picked edge
// cases (fuzz_json holds the two roads together on arbitrary bytes).
static std::string kinds(const Json& v) {
  std::string out(1, static_cast<char>('0' + static_cast<int>(v.type())));
  if (v.is_array())
    for (const Json& x : v) out += kinds(x);
  if (v.is_object())
    for (const auto& [k, x] : v.items()) out += k + kinds(x);
  return out;
}

static bool same_road(std::string_view text) {
  auto direct = parse_json(text), general = parse_json_general(text);
  if (direct.ok() != general.ok()) return false;
  if (!direct) return direct.error().display() == general.error().display();
  return write_json_general(*direct) == write_json_general(*general) && kinds(*direct) == kinds(*general) &&
         write_json(*direct) == write_json_general(*direct);
}

struct Rng : std::mt19937_64 {
  using std::mt19937_64::mt19937_64;
  uint64_t next() { return (*this)(); }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

// One-pass hashing of padded messages against the streaming hash, at every
// length around the block and padding boundaries and for wide nodes.
static void test_padded_hashing() {
  Rng rng(7);
  std::vector<uint8_t> bytes(padded_length(1 + 4096 * 32)), buffer(bytes.size());
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng.next());
  int mismatches = 0;
  for (size_t length = 0; length <= 1 + 4096 * 32; length += length < 300 ? 1 : 997) {
    std::memcpy(buffer.data(), bytes.data(), length);
    mismatches += sha256_padded(buffer.data(), length) != sha256(std::span(bytes.data(), length));
  }
  CHECK_EQ(mismatches, 0);
}

// Roots hashed straight from ranges against the roots of built trees, on
// random cell sets: empty, every base cell, lone leaves, runs across child and
// base boundaries, dense sets that make leaf masks, twigs and Full nodes, and
// sets large enough to hash in parallel; also the refusals.
static void test_roots_without_trees() {
  Rng rng(25);
  std::vector<LeafRange> scratch;
  for (uint32_t depth : {0u, 1u, 2u, 3u, 5u, 9u, 15u, 18u}) {
    HashContextRef ctx = make_hash_context(kRhealpix, depth);
    uint64_t span = pow_u64(9, depth), lo = 9 * span, hi = 15 * span;
    for (int round = 0; round < 40; ++round) {
      std::vector<uint64_t> cids;
      uint32_t kind = static_cast<uint32_t>(round % 5);
      uint32_t n = round == 0 ? 0 : 1 + rng.below(kind == 4 ? 20000 : 300);
      for (uint32_t k = 0; k < n; ++k) {
        if (kind == 1) {
          cids.push_back(9 + rng.below(6));  // whole base cells
        } else if (kind == 2 && hi - lo > 40) {
          uint64_t start = lo + rng.next() % (hi - lo - 40);  // a run of leaves
          for (uint64_t c = start; c < start + 1 + rng.below(40); ++c) cids.push_back(c);
        } else {
          // A cell at a random level, clustered in a small corner when dense.
          uint32_t level = rng.below(depth + 1);
          uint64_t first = (9 + rng.below(6)) * pow_u64(9, level), count = 6 * pow_u64(9, level);
          uint64_t window = kind == 3 ? std::min<uint64_t>(count / 6, 81) : count / 6;
          cids.push_back(first + rng.next() % std::max<uint64_t>(window, 1));
        }
      }
      auto tree = Tree::from_cells(cids, depth, kRhealpix, ctx);
      auto root = root_of_cells(cids, depth, kRhealpix, ctx, scratch);
      CHECK(tree.ok() && root.ok() && tree->root() == *root);
    }
  }
  HashContextRef ctx3 = make_hash_context(kRhealpix, 3);
  std::vector<uint64_t> deep{10, 9 * 9 * 9 * 9 * 9, 7};  // a level-4 cid, then one that is no cid
  for (uint32_t depth : {3u, 4u}) {
    auto tree = Tree::from_cells(deep, depth, kRhealpix, ctx3);
    auto root = root_of_cells(deep, depth, kRhealpix, ctx3, scratch);
    CHECK(!tree.ok() && !root.ok() && tree.error().display() == root.error().display());
  }
}

static void test_json_roads() {
  const char* cases[] = {
      "0", "-0", "-1", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
      "-9223372036854775809", "1.5", "-1.5e-3", "1E5", "1e+5", "2.5E-1", "1e400", "-1e400", "1e-400", "4.9e-324",
      "0.1", "00", "01", "-", "1.", ".5", "+1", "1e", "1e+", "-01", "123456789012345678901234567890",
      "\"\"", "\"a\\\"b\\\\c\\/d\\b\\f\\n\\r\\t\"", "\"\\u0041\\u00e9\\u20ac\\u0000\"", "\"\\uD83D\\uDE00\"",
      "\"\\uD800\"", "\"\\uDE00x\"", "\"\\u12\"", "\"\\uzzzz\"", "\"\\x\"", "\"tab\there\"", "\"caf\xc3\xa9\"",
      "\"\xff\"", "\"unterminated", "[]", "{}", " [ 1 , 2 ] ", "[1,]", "[,1]", "{\"a\":1,}", "{\"a\" 1}",
      "{\"a\":1,\"a\":2}", "{\"b\":1,\"a\":[true,false,null]}", "{1:2}", "tru", "nul", "falsey", "true false",
      "\xef\xbb\xbf{}", "", "   ", "[1]x", "{\"a\":{\"b\":{}}}", "\t\r\n[\n1\n]\n",
  };
  for (const char* c : cases) zarel_test::record(same_road(c), __FILE__, __LINE__, std::string("same road: ") + c);
  for (int n : {127, 128, 129}) {
    std::string arrays = std::string(n, '[') + std::string(n, ']');
    std::string objects;
    for (int i = 0; i < n; ++i) objects += "{\"k\":";
    objects += "1" + std::string(n, '}');
    CHECK(same_road(arrays) && same_road(objects));
  }
}

// The vector sines and the direct nucleus path against their scalar references, bit for bit.
static uint64_t bits_of(double v) {
  uint64_t b;
  std::memcpy(&b, &v, sizeof b);
  return b;
}

static void test_sines_and_nuclei() {
  Rng rng{7};
  int sine_mismatches = 0;
  for (int i = 0; i < 200000; ++i) {
    double lat;
    if (i % 4 == 0) {
      uint64_t b = rng.next();
      std::memcpy(&lat, &b, sizeof lat);  // any double, NaN and infinities included
    } else {
      lat = (static_cast<double>(rng.next() >> 11) / 9007199254740992.0 - 0.5) * 3.2;
    }
    for (int lanes : {1, 2, 4}) {
      auto s = geo::psin_multiples(lat, lanes);
      for (int k = 0; k < 6; ++k) sine_mismatches += bits_of(s[k]) != bits_of(geo::psin((2 * k + 2) * lat));
    }
  }
  CHECK_EQ(sine_mismatches, 0);

  for (const Profile& profile : {Profile::ogc(), Profile::zarel_1()}) {
    geo::Grid g = profile.grid();
    Hierarchy h = profile.hierarchy();
    geo::CidNuclei nuclei(g, h);
    int mismatches = 0;
    for (int i = 0; i < 100000; ++i) {
      uint32_t level = rng.below(h.deepest() + 2);
      uint64_t span = pow_u64(h.a, level);
      uint64_t cid = i % 10 == 0 ? rng.next() >> rng.below(64) : (h.a + rng.below(h.b)) * span + rng.next() % span;
      auto fast = nuclei(cid);
      Result<geo::LonLat> slow = [&]() -> Result<geo::LonLat> {
        ZAREL_TRY(Path path, h.path(cid));
        return geo::nucleus(g, path);
      }();
      if (fast.ok() != slow.ok()) ++mismatches;
      else if (!fast) mismatches += fast.error().display() != slow.error().display();
      else mismatches += bits_of(fast->lon) != bits_of(slow->lon) || bits_of(fast->lat) != bits_of(slow->lat);
    }
    CHECK_EQ(mismatches, 0);
  }
}

// An opening record written straight to text reads exactly as its JSON value written.
static void test_opening_text() {
  Rng rng{18};
  int mismatches = 0, opened = 0, plain_reads = 0;
  for (uint32_t depth : {0u, 1u, 4u, 18u}) {
    std::vector<uint64_t> cids;
    uint64_t span = pow_u64(9, depth);
    for (int i = 0; i < 300; ++i) cids.push_back((9 + rng.below(6)) * span + rng.next() % span);
    auto tree = Tree::from_cells(cids, depth, Profile::ogc());
    CHECK(tree.ok());
    for (int i = 0; i < 40; ++i) {
      uint32_t level = rng.below(depth + 1);
      uint64_t cid = (9 + rng.below(6)) * pow_u64(9, level) + rng.next() % pow_u64(9, level);
      auto o = open_path(*tree, cid);
      if (!o.ok() || !o.value()) continue;
      OpeningRecord r = OpeningRecord::make(*tree, std::move(*o.value()));
      if (i % 5 == 0) r.hash = "odd \"name\" \\ caf\xc3\xa9\n";
      std::string text = r.to_json_text();
      mismatches += text != write_json(r.to_json());
      ++opened;
      // The plain reader on the record, on json.dumps spacing and on corruptions
      // of both: where it reads, the general road reads the same record.
      std::string spaced;
      for (char c : text) {
        spaced += c;
        if (c == ',' || c == ':') spaced += ' ';
      }
      std::vector<std::string> texts{text, spaced};
      for (int k = 0; k < 12; ++k) {
        std::string bent = k % 2 ? spaced : text;
        size_t at = rng.below(static_cast<uint32_t>(bent.size()));
        if (k % 3 == 0) bent.erase(at, 1);
        else bent[at] = "{}[]\",:0a9 -"[rng.below(13)];
        texts.push_back(bent);
      }
      for (const std::string& t : texts) {
        auto plain = OpeningRecord::read_plain(t);
        if (!plain) continue;
        ++plain_reads;
        auto doc = parse_json(t);
        auto general = doc ? OpeningRecord::from_json(*doc) : Result<OpeningRecord>(invalid("unread"));
        mismatches += !general || general->to_json_text() != plain->to_json_text() ||
                      general->verify() != plain->verify();
      }
      if (i % 5 != 0) mismatches += !OpeningRecord::read_plain(text) || !OpeningRecord::read_plain(spaced);
    }
  }
  CHECK(opened > 50 && plain_reads > 2 * opened);
  CHECK_EQ(mismatches, 0);
}

int main() {
  test_tree_checks();
  test_padded_hashing();
  test_roots_without_trees();
  test_json_roads();
  test_sines_and_nuclei();
  test_opening_text();
  return zarel_test::finish();
}
