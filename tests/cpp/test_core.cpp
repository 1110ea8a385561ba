// Core pieces that Python cannot reach directly: the tree model's own checks,
// and the fast roads (direct JSON, radix-sorted ranges, vector sines, direct
// nuclei, opening text) against the general ones they stand in for.
#include <algorithm>
#include <cstring>
#include <string>

#include "check.h"
#include "error.h"
#include "geo/ellipsoid.h"
#include "geo/grid.h"
#include "hash.h"
#include "json.h"
#include "opening.h"
#include "profile.h"
#include "tree.h"

using namespace zarel;

static void test_tree_checks() {
  CtxRef ctx3 = make_ctx(kRhealpix, 3);
  auto deeper = Tree::empty(kRhealpix, 4, ctx3);
  CHECK(!deeper && deeper.error().display() == "context ladders reach depth 3, tree needs 4");
  auto other = Tree::empty(Hierarchy{4, 6}, 2, ctx3);
  CHECK(!other && other.error().display() == "hashing context does not match the hierarchy");

  std::vector<uint64_t> cids{9 * 9 + 4, 12};
  auto t = Tree::from_cells(cids, 3, kRhealpix, ctx3);
  CHECK(t.ok());
  auto inside = t->node_at((9 * 9 + 4) * 9 + 2);  // below a Full node: the walk stops there
  CHECK(inside && inside->node.is_full() && !inside->reached && inside->height == 2);
  auto partial = t->node_at(9);
  CHECK(partial && partial->node.is_branch() && partial->reached && partial->height == 3);
}

// The direct JSON reader and writer against the library's general road: same
// value, same number kinds, same text, same error message, on hand-picked edge
// cases, on random documents and on random corruptions of them.
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

struct Rng {
  uint64_t s;
  uint64_t next() {  // splitmix64
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
};

static std::string random_text(Rng& rng) {
  static const std::string pool[] = {"a", "Z", "\"", "\\", "/", "\n", "\x01", "\x7f", "\xc3\xa9", "\xe2\x82\xac",
                                     "\xf0\x9f\x98\x80", "\xff", "\xed\xa0\x80", " ", "0123456789abcdef"};
  std::string s;
  for (uint32_t i = rng.below(6); i > 0; --i) s += pool[rng.below(std::size(pool))];
  return s;
}

static Json random_value(Rng& rng, int depth) {
  switch (rng.below(depth > 3 ? 7 : 9)) {
    case 0: return nullptr;
    case 1: return rng.below(2) == 1;
    case 2: return rng.next() >> rng.below(64);
    case 3: return -static_cast<int64_t>(rng.next() >> (1 + rng.below(63)));
    case 4: {
      double x;
      uint64_t bits = rng.next();
      std::memcpy(&x, &bits, sizeof x);
      return rng.below(2) ? x : static_cast<double>(static_cast<int64_t>(rng.next() % 2000001) - 1000000) / 1000;
    }
    case 5:
    case 6: return random_text(rng);
    case 7: {
      Json a = Json::array();
      for (uint32_t i = rng.below(5); i > 0; --i) a.push_back(random_value(rng, depth + 1));
      return a;
    }
    default: {
      Json o = Json::object();
      for (uint32_t i = rng.below(5); i > 0; --i) o[random_text(rng)] = random_value(rng, depth + 1);
      return o;
    }
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
  for (const char* c : cases) {
    bool same = same_road(c);
    CHECK(same);
    if (!same) std::fprintf(stderr, "  document: %s\n", c);
  }
  for (int n : {127, 128, 129}) {
    std::string arrays = std::string(n, '[') + std::string(n, ']');
    std::string objects;
    for (int i = 0; i < n; ++i) objects += "{\"k\":";
    objects += "1" + std::string(n, '}');
    CHECK(same_road(arrays) && same_road(objects));
  }
  Rng rng{20261207};
  int mismatches = 0;
  for (int i = 0; i < 3000; ++i) {
    Json v = random_value(rng, 0);
    std::string text = write_json_general(v);
    mismatches += write_json(v) != text;
    mismatches += !same_road(text);
    for (int k = 0; k < 4 && !text.empty(); ++k) {
      std::string bent = text;
      size_t at = rng.below(static_cast<uint32_t>(bent.size()));
      switch (rng.below(3)) {
        case 0: bent[at] = "{}[]\",:\\0-.eE \x80"[rng.below(15)]; break;
        case 1: bent.erase(at, 1); break;
        default: bent.insert(at, 1, "{}[]\",:\\1+"[rng.below(10)]); break;
      }
      mismatches += !same_road(bent);
    }
  }
  CHECK_EQ(mismatches, 0);
}

// The radix sort behind merge_ranges against a comparison sort and a plain merge.
static void test_merge_ranges_model() {
  Rng rng{99};
  for (size_t n : {0, 1, 5, 1023, 1024, 5000, 40000}) {
    for (int spread : {8, 36, 63}) {
      std::vector<LeafRange> r(n);
      for (auto& x : r) {
        x.start = rng.next() >> (64 - spread);
        x.end = x.start + 1 + rng.below(1000);
      }
      if (n % 2 == 0) std::sort(r.begin(), r.end(), [](auto& a, auto& b) { return a.start < b.start; });
      std::vector<LeafRange> model = r;
      std::sort(model.begin(), model.end(),
                [](auto& a, auto& b) { return a.start != b.start ? a.start < b.start : a.end < b.end; });
      std::vector<LeafRange> merged;
      for (const auto& x : model) {
        if (!merged.empty() && x.start <= merged.back().end) merged.back().end = std::max(merged.back().end, x.end);
        else merged.push_back(x);
      }
      merge_ranges(r);
      bool same = r.size() == merged.size();
      for (size_t i = 0; same && i < r.size(); ++i) same = r[i].start == merged[i].start && r[i].end == merged[i].end;
      CHECK(same);
    }
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
  test_json_roads();
  test_merge_ranges_model();
  test_sines_and_nuclei();
  test_opening_text();
  return zarel_test::finish();
}
