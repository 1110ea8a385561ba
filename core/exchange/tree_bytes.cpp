#include "exchange/tree_bytes.h"

#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace zarel {

namespace {

constexpr uint8_t kTreeMagic[4] = {'Z', 'R', 'L', 'T'};
constexpr uint8_t kIndexMagic[4] = {'Z', 'R', 'L', 'I'};
// The profile's identity preimage starts with this tag; the byte forms carry the rest of it.
constexpr size_t kProfileTag = 15;
// Readers poll for cancellation once per this many children read (a few
// milliseconds of hashing them).
constexpr uint64_t kPollEvery = uint64_t{1} << 17;

// ---------------------------------------------------------------- writing

void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

// Bits most significant first; the last byte is padded with zero bits.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}
  // REQUIRES: count <= 32 and `bits` below 2^count.
  void put(uint32_t bits, uint32_t count) {
    acc_ = acc_ << count | bits;
    n_ += count;
    while (n_ >= 8) {
      n_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> n_));
    }
    acc_ &= (uint64_t{1} << n_) - 1;
  }
  void finish() {
    if (n_) out_.push_back(static_cast<uint8_t>(acc_ << (8 - n_)));
    acc_ = n_ = 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  uint32_t n_ = 0;
};

// Bits of a child digit, below `a`.
uint32_t digit_width(uint32_t a) {
  uint32_t w = 0;
  while ((uint32_t{1} << w) < a) ++w;
  return w;
}

// A partly covered node at `height`: its one non-empty child by digit (the
// lone form, which keeps sparse trees small), or every child by its code,
// each followed at once by its own record when it is partly covered too.
void write_partial(const Node& node, uint32_t height, uint32_t a, uint32_t width, BitWriter& w) {
  uint32_t occupied = 0, lone = 0;
  for (uint32_t k = 0; k < a; ++k)
    if (!node.child(k).is_empty()) ++occupied, lone = k;
  if (occupied == 1) {
    w.put(1, 1);
    w.put(lone, width);
    const Node& c = node.child(lone);
    if (height == 1) return;
    w.put(c.is_branch(), 1);
    if (c.is_branch()) write_partial(c, height - 1, a, width, w);
    return;
  }
  w.put(0, 1);
  for (uint32_t k = 0; k < a; ++k) {
    const Node& c = node.child(k);
    if (height == 1) {
      w.put(c.is_full(), 1);
    } else if (c.is_empty()) {
      w.put(0, 1);
    } else {
      w.put(c.is_full() ? 0b10 : 0b11, 2);
      if (c.is_branch()) write_partial(c, height - 1, a, width, w);
    }
  }
}

void write_header(std::vector<uint8_t>& out, const uint8_t (&magic)[4], uint8_t version, const Profile& profile,
                  uint32_t depth) {
  out.insert(out.end(), magic, magic + 4);
  out.push_back(version);
  std::vector<uint8_t> preimage = profile.id_preimage();
  out.insert(out.end(), preimage.begin() + kProfileTag, preimage.end());
  out.push_back(static_cast<uint8_t>(depth));
}

// The bases as the children of a node one above them; a tree of depth 0 has leaves for bases.
void write_shape(const Tree& tree, std::vector<uint8_t>& out) {
  BitWriter w(out);
  for (const Node& base : tree.bases) {
    if (tree.depth == 0) {
      w.put(base.is_full(), 1);
    } else if (base.is_empty()) {
      w.put(0, 1);
    } else {
      w.put(base.is_full() ? 0b10 : 0b11, 2);
      if (base.is_branch()) write_partial(base, tree.depth, tree.hierarchy.a, digit_width(tree.hierarchy.a), w);
    }
  }
  w.finish();
}

// ---------------------------------------------------------------- reading

// Errors name the form read and the offset of the bad byte in the whole input.
struct Place {
  const char* form;
  Error at(size_t offset, const std::string& what) const {
    return invalid(std::string(form) + ", byte " + std::to_string(offset) + ": " + what);
  }
};

std::string bytes_after(size_t n, const char* what) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes") + " after the end of the " + what;
}

class ByteReader {
 public:
  ByteReader(std::span<const uint8_t> data, Place place) : data_(data), place_(place) {}
  size_t offset() const { return pos_; }
  size_t remaining() const { return data_.size() - pos_; }
  Result<uint64_t> uint(size_t size, const char* field) {
    if (remaining() < size) return place_.at(data_.size(), "the data ends inside " + std::string(field));
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v = v << 8 | data_[pos_ + i];
    pos_ += size;
    return v;
  }
  Result<std::span<const uint8_t>> take(size_t size, const char* field) {
    if (remaining() < size) return place_.at(data_.size(), "the data ends inside " + std::string(field));
    auto s = data_.subspan(pos_, size);
    pos_ += size;
    return s;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
  Place place_;
};

// The length of the valid UTF-8 prefix of `s`.
size_t utf8_valid(std::span<const uint8_t> s) {
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xe ? 3 : (c >> 3) == 0x1e ? 4 : 0;
    if (n == 0 || i + n > s.size()) return i;
    uint32_t cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return i;
      cp = cp << 6 | (s[i + k] & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr uint32_t kLeast[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kLeast[n] || (cp >= 0xd800 && cp <= 0xdfff) || cp > 0x10ffff) return i;
    i += n;
  }
  return i;
}

Status read_magic(ByteReader& r, const uint8_t (&magic)[4], uint8_t version, Place place, const char* what) {
  size_t at = r.offset();
  ZAREL_TRY(auto m, r.take(4, "the magic"));
  if (std::memcmp(m.data(), magic, 4) != 0) return place.at(at, std::string("not ") + what + " (no magic)");
  at = r.offset();
  ZAREL_TRY(uint64_t v, r.uint(1, "the version"));
  if (v != version)
    return place.at(at, "version " + std::to_string(v) + " is not one this reader knows (" +
                            std::to_string(version) + ")");
  return ok();
}

Result<Profile> read_profile(ByteReader& r, Place place) {
  size_t at = r.offset();
  const char* field = "the profile";
  Profile p;
  ZAREL_TRY(uint64_t n, r.uint(1, field));
  size_t hash_at = r.offset();
  ZAREL_TRY(auto hash, r.take(n, field));
  // Messages quote the hash id, so it must be text.
  if (size_t valid = utf8_valid(hash); valid < hash.size()) return place.at(hash_at + valid, "the hash id is not UTF-8");
  p.hash.assign(hash.begin(), hash.end());
  ZAREL_TRY(uint64_t aperture, r.uint(4, field));
  ZAREL_TRY(uint64_t n_base, r.uint(4, field));
  ZAREL_TRY(uint64_t lon_0, r.uint(8, field));
  ZAREL_TRY(uint64_t north, r.uint(1, field));
  ZAREL_TRY(uint64_t south, r.uint(1, field));
  ZAREL_TRY(p.a_um, r.uint(8, field));
  ZAREL_TRY(p.inv_f_nano, r.uint(8, field));
  ZAREL_TRY(p.tick_us, r.uint(8, field));
  ZAREL_TRY(uint64_t epoch, r.uint(8, field));
  p.aperture = static_cast<uint32_t>(aperture);
  p.n_base = static_cast<uint32_t>(n_base);
  p.lon_0_udeg = static_cast<int64_t>(lon_0);
  p.north_square = static_cast<uint8_t>(north);
  p.south_square = static_cast<uint8_t>(south);
  p.epoch_us = static_cast<int64_t>(epoch);
  if (auto s = p.validate(); !s) return place.at(at, "profile: " + s.error().display());
  return p;
}

struct Shaped {
  Profile profile;
  uint32_t depth;
  HashContextRef ctx;
};

Result<Shaped> read_profile_and_depth(ByteReader& r, Place place) {
  ZAREL_TRY(Profile profile, read_profile(r, place));
  size_t at = r.offset();
  ZAREL_TRY(uint64_t depth, r.uint(1, "the depth"));
  // The deepest level is checked before the context builds ladders for it.
  auto ctx = profile.ctx(static_cast<uint32_t>(depth));
  if (!ctx) return place.at(at, ctx.error().display());
  return Shaped{std::move(profile), static_cast<uint32_t>(depth), std::move(ctx).value()};
}

// Reads one tree's shape from `data`, which it must fill exactly; `offset` is
// where `data` starts in the whole input.
class ShapeReader {
 public:
  ShapeReader(std::span<const uint8_t> data, size_t offset, Place place, const HashContext& ctx, const Cancel& cancel)
      : data_(data),
        offset_(offset),
        place_(place),
        ctx_(ctx),
        a_(ctx.hierarchy.a),
        width_(digit_width(a_)),
        cancel_(cancel) {}

  Result<Tree> read(uint32_t depth, HashContextRef ctx) {
    Hierarchy h = ctx->hierarchy;
    // Every base costs at least one bit: the bases are allocated only when the data can name them all.
    if (data_.size() * 8 < h.b) return ends();
    ZAREL_TRY(Tree tree, Tree::empty(h, depth, std::move(ctx)));
    for (Node& base : tree.bases) {
      ZAREL_TRY(base, depth == 0 ? leaf() : child(depth));
    }
    size_t used = (bit_ + 7) / 8;
    if (bit_ % 8 && (data_[bit_ / 8] & (0xff >> (bit_ % 8))) != 0)
      return place_.at(offset_ + bit_ / 8, "the padding bits after the tree are not zero");
    if (used < data_.size())
      return place_.at(offset_ + used, bytes_after(data_.size() - used, "tree"));
    return tree;
  }

 private:
  Error ends() const { return place_.at(offset_ + data_.size(), "the data ends inside the tree's shape"); }

  Result<bool> next() {
    if (bit_ >= data_.size() * 8) return ends();
    bool v = data_[bit_ / 8] >> (7 - bit_ % 8) & 1;
    ++bit_;
    return v;
  }

  Result<Node> leaf() {
    ZAREL_TRY(bool covered, next());
    return covered ? Node::full() : Node::empty();
  }

  // A child at `height` >= 1 with its own children, if any.
  Result<Node> child(uint32_t height) {
    ZAREL_TRY(bool occupied, next());
    if (!occupied) return Node::empty();
    ZAREL_TRY(bool partial, next());
    if (!partial) return Node::full();
    return children(height);
  }

  Result<uint32_t> digit() {
    uint32_t d = 0;
    for (uint32_t i = 0; i < width_; ++i) {
      ZAREL_TRY(bool b, next());
      d = d << 1 | b;
    }
    return d;
  }

  Result<Node> children(uint32_t height) {
    if ((children_ += a_) >= kPollEvery) {
      children_ = 0;
      if (cancel_.stop()) return cancelled();
    }
    size_t start = bit_;
    ChildBuffer kids(a_);
    ZAREL_TRY(bool lone, next());
    if (lone) {
      ZAREL_TRY(uint32_t d, digit());
      if (d >= a_)
        return place_.at(offset_ + start / 8, "a lone child's digit " + std::to_string(d) +
                                                  " is not below the aperture " + std::to_string(a_));
      if (height == 1) {
        kids[d] = Node::full();
      } else {
        ZAREL_TRY(bool partial, next());
        if (partial) {
          ZAREL_TRY(kids[d], children(height - 1));
        } else {
          kids[d] = Node::full();
        }
      }
      return make_branch(kids.span(), height, ctx_);
    }
    uint32_t occupied = 0, full = 0;
    for (uint32_t k = 0; k < a_; ++k) {
      ZAREL_TRY(kids[k], height == 1 ? leaf() : child(height - 1));
      occupied += !kids[k].is_empty();
      full += kids[k].is_full();
    }
    // One form per tree: a node with a single non-empty child takes the lone form.
    if (occupied < 2 || full == a_)
      return place_.at(offset_ + start / 8, occupied == 0 ? "a node marked partly covered has every child empty"
                                            : occupied == 1 ? "a node with one non-empty child is not in the lone form"
                                                            : "a node marked partly covered has every child full");
    return make_branch(kids.span(), height, ctx_);
  }

  std::span<const uint8_t> data_;
  size_t offset_;
  Place place_;
  const HashContext& ctx_;
  uint32_t a_, width_;
  const Cancel& cancel_;
  size_t bit_ = 0;
  uint64_t children_ = 0;
};

constexpr Place kTreePlace{"tree bytes"}, kIndexPlace{"index bytes"};

}  // namespace

std::vector<uint8_t> tree_to_bytes(const Tree& tree, const Profile& profile) {
  std::vector<uint8_t> out;
  write_header(out, kTreeMagic, kTreeBytesVersion, profile, tree.depth);
  write_shape(tree, out);
  return out;
}

Result<ProfiledTree> tree_from_bytes(std::span<const uint8_t> data, const Cancel& cancel) {
  ByteReader r(data, kTreePlace);
  ZAREL_CHECK(read_magic(r, kTreeMagic, kTreeBytesVersion, kTreePlace, "zarel tree bytes"));
  ZAREL_TRY(Shaped s, read_profile_and_depth(r, kTreePlace));
  ShapeReader shape(data.subspan(r.offset()), r.offset(), kTreePlace, *s.ctx, cancel);
  ZAREL_TRY(Tree tree, shape.read(s.depth, s.ctx));
  return ProfiledTree{std::move(tree), std::move(s.profile)};
}

Result<std::vector<uint8_t>> index_to_bytes(const Index& index, const std::optional<Profile>& profile) {
  // Counts and lengths are four bytes.
  auto fits = [](size_t n, const char* what) -> Status {
    if (n > UINT32_MAX) return invalid(std::string("an index file holds at most 2**32 - 1 ") + what);
    return ok();
  };
  std::vector<uint8_t> out(kIndexMagic, kIndexMagic + 4);
  out.push_back(kIndexBytesVersion);
  std::vector<const Tree*> trees = index.stored_trees();
  ZAREL_CHECK(fits(trees.size(), "trees"));
  put_u32(out, static_cast<uint32_t>(trees.size()));
  std::unordered_map<const Tree*, uint32_t> position;
  if (!trees.empty()) {
    ZAREL_ASSERT(profile.has_value());
    std::vector<uint8_t> preimage = profile->id_preimage();
    out.insert(out.end(), preimage.begin() + kProfileTag, preimage.end());
    out.push_back(static_cast<uint8_t>(trees.front()->depth));
  }
  std::vector<uint8_t> shape;
  for (uint32_t i = 0; i < trees.size(); ++i) {
    position.emplace(trees[i], i);
    shape.clear();
    write_shape(*trees[i], shape);
    ZAREL_CHECK(fits(shape.size(), "bytes of one tree"));
    put_u32(out, static_cast<uint32_t>(shape.size()));
    out.insert(out.end(), shape.begin(), shape.end());
  }
  std::vector<std::string> keys = index.keys();
  ZAREL_CHECK(fits(keys.size(), "keys"));
  put_u32(out, static_cast<uint32_t>(keys.size()));
  for (const std::string& key : keys) {
    ZAREL_CHECK(fits(key.size(), "bytes of one key"));
    put_u32(out, static_cast<uint32_t>(key.size()));
    out.insert(out.end(), key.begin(), key.end());
    put_u32(out, position.at(index.tree(key)));
  }
  return out;
}

Result<ProfiledIndex> index_from_bytes(std::span<const uint8_t> data, const Cancel& cancel) {
  const Place place = kIndexPlace;
  ByteReader r(data, place);
  ZAREL_CHECK(read_magic(r, kIndexMagic, kIndexBytesVersion, place, "a zarel index"));
  size_t at = r.offset();
  ZAREL_TRY(uint64_t n_trees, r.uint(4, "the tree count"));
  // Every tree costs its four-byte length at least.
  if (n_trees > r.remaining() / 4) return place.at(at, std::to_string(n_trees) + " trees cannot fit the data");
  ProfiledIndex out;
  if (n_trees == 0) {
    at = r.offset();
    ZAREL_TRY(uint64_t n_keys, r.uint(4, "the key count"));
    if (n_keys) return place.at(at, "keys without trees");
    if (r.remaining()) return place.at(r.offset(), bytes_after(r.remaining(), "index"));
    return out;
  }
  ZAREL_TRY(Shaped s, read_profile_and_depth(r, place));
  struct Span {
    std::span<const uint8_t> bytes;
    size_t offset;
  };
  std::vector<Span> shapes;
  shapes.reserve(n_trees);
  for (uint64_t i = 0; i < n_trees; ++i) {
    ZAREL_TRY(uint64_t size, r.uint(4, "a tree's length"));
    size_t offset = r.offset();
    ZAREL_TRY(auto bytes, r.take(size, "a tree's shape"));
    shapes.push_back({bytes, offset});
  }
  std::vector<std::optional<Result<Tree>>> trees(n_trees);
  tbb::parallel_for(size_t{0}, shapes.size(), [&](size_t i) {
    if (cancel.stop()) return;
    ShapeReader shape(shapes[i].bytes, shapes[i].offset, place, *s.ctx, cancel);
    trees[i].emplace(shape.read(s.depth, s.ctx));
  });
  // A stop seen by any worker is seen here: the flag stays set once raised.
  if (cancel.stop()) return cancelled();
  for (auto& t : trees) {
    ZAREL_ASSERT(t.has_value());
    if (!*t) return std::move(*t).error();
  }
  // Stored trees come in ascending root order, each once.
  std::vector<Hash> roots(n_trees);
  for (size_t i = 0; i < n_trees; ++i) {
    roots[i] = (*trees[i])->root();
    if (i > 0 && !(roots[i - 1] < roots[i]))
      return place.at(shapes[i].offset - 4, "tree " + std::to_string(i) + " does not follow tree " +
                                                std::to_string(i - 1) + " in ascending root order");
  }
  at = r.offset();
  ZAREL_TRY(uint64_t n_keys, r.uint(4, "the key count"));
  // Every key costs its length and its tree's position.
  if (n_keys > r.remaining() / 8) return place.at(at, std::to_string(n_keys) + " keys cannot fit the data");
  if (n_keys == 0) return place.at(at, "trees without keys");
  struct Key {
    std::string key;
    uint32_t position;
    size_t offset;
  };
  std::vector<Key> keys;
  keys.reserve(n_keys);
  std::vector<bool> named(n_trees);
  std::unordered_map<std::string_view, size_t> seen;
  for (uint64_t i = 0; i < n_keys; ++i) {
    ZAREL_TRY(uint64_t size, r.uint(4, "a key's length"));
    size_t key_at = r.offset();
    ZAREL_TRY(auto bytes, r.take(size, "a key"));
    if (size_t valid = utf8_valid(bytes); valid < bytes.size()) return place.at(key_at + valid, "a key is not UTF-8");
    at = r.offset();
    ZAREL_TRY(uint64_t position, r.uint(4, "a key's tree"));
    if (position >= n_trees)
      return place.at(at, "a key names tree " + std::to_string(position) + " of " + std::to_string(n_trees));
    named[position] = true;
    keys.push_back({std::string(bytes.begin(), bytes.end()), static_cast<uint32_t>(position), key_at});
  }
  if (r.remaining()) return place.at(r.offset(), bytes_after(r.remaining(), "index"));
  for (size_t i = 0; i < keys.size(); ++i)
    if (!seen.emplace(keys[i].key, i).second)
      return place.at(keys[i].offset, "the key " + quote(keys[i].key) + " appears twice");
  // A tree no key names was registered under a key that moved on: it enters
  // under the first key, which then moves to its own tree, keeping its place.
  for (size_t i = 0; i < n_trees; ++i)
    if (!named[i]) ZAREL_CHECK(out.index.add(keys[0].key, **trees[i]));
  for (const Key& k : keys) ZAREL_CHECK(out.index.add(k.key, **trees[k.position]));
  out.profile = std::move(s.profile);
  return out;
}

}  // namespace zarel
