#include "zone/disk.h"

#include <algorithm>

namespace zarel {

Position position_at(const Hierarchy& h, uint64_t side, uint64_t cid, uint32_t level) {
  Position p{0, level, 0, 0};
  uint64_t weight = 1;
  with_constant<9>(h.a, [&](auto a) {
    with_constant<3>(side, [&](auto s) {
      for (uint32_t i = 0; i < level; ++i) {
        uint64_t d = cid % a;
        cid /= a;
        p.row += d / s * weight;
        p.col += d % s * weight;
        weight *= s;
      }
    });
  });
  p.base = static_cast<uint32_t>(cid - h.a);
  return p;
}

namespace {

// Cells of the whole disk 2k(k+1)+1, saturating.
uint64_t diamond(uint64_t k) {
  if (k >= (uint64_t{1} << 31)) return UINT64_MAX;
  return 2 * k * (k + 1) + 1;
}

// Diamonds of at most this many cells are listed and sorted; larger ones are marked.
constexpr uint64_t kSortedDiamond = 4096;

}  // namespace

void CellMarks::reset(const Hierarchy& h, uint64_t side, uint32_t level, uint64_t span) {
  uint32_t depth = 0;
  uint64_t tile = 1;
  // Tiles of at most 81 x 81 cells: 821 bytes each, scanned whole when listed.
  while (depth < level && tile * side <= 81) {
    tile *= side;
    ++depth;
  }
  if (!(h == h_) || side != side_ || depth != depth_) {
    order_.resize(tile * tile);
    for (uint64_t i = 0; i < tile * tile; ++i) {
      uint64_t v = i, r = 0, c = 0, w = 1;
      for (uint32_t k = 0; k < depth; ++k, v /= h.a, w *= side) {
        r += v % h.a / side * w;
        c += v % h.a % side * w;
      }
      order_[i] = static_cast<uint32_t>(r * tile + c);
    }
  }
  h_ = h;
  side_ = side;
  span_ = span;
  level_ = level;
  depth_ = depth;
  tile_ = tile;
  per_row_ = span / tile;
  words_ = (tile * tile + 63) / 64;
  slot_of_.clear();
  keys_.clear();
  bits_.clear();
  last_key_ = UINT64_MAX;
  count_ = 0;
}

template <class Tile>
bool CellMarks::mark_in(const Position& p, Tile tile) {
  uint64_t key = (p.base * per_row_ + p.row / tile) * per_row_ + p.col / tile;
  if (key != last_key_) {
    auto [at, fresh] = slot_of_.try_emplace(key, static_cast<uint32_t>(keys_.size()));
    if (fresh) {
      keys_.push_back(key);
      bits_.resize(bits_.size() + words_, 0);
    }
    last_key_ = key;
    last_slot_ = at->second;
  }
  uint64_t local = p.row % tile * tile + p.col % tile;
  uint64_t& word = bits_[last_slot_ * words_ + local / 64];
  uint64_t bit = uint64_t{1} << (local % 64);
  if (word & bit) return false;
  word |= bit;
  ++count_;
  return true;
}

bool CellMarks::mark(const Position& p) {
  // The rHEALPix tile's side is a constant, so the divisions become multiplications.
  return with_constant<81>(tile_, [&](auto tile) { return mark_in(p, tile); });
}

void CellMarks::list(uint64_t* out) const {
  std::vector<std::pair<uint64_t, uint32_t>> tiles;  // (the tile's cell a few levels up, slot)
  tiles.reserve(keys_.size());
  for (uint32_t slot = 0; slot < keys_.size(); ++slot) {
    uint64_t key = keys_[slot];
    auto base = static_cast<uint32_t>(key / per_row_ / per_row_);
    uint64_t up = cell_at_unchecked(h_, side_, base, level_ - depth_, key / per_row_ % per_row_, key % per_row_);
    tiles.emplace_back(up, slot);
  }
  std::sort(tiles.begin(), tiles.end());
  uint64_t n = tile_ * tile_;
  for (auto [up, slot] : tiles) {
    const uint64_t* bits = &bits_[slot * words_];
    for (uint64_t i = 0; i < n; ++i) {
      uint32_t at = order_[i];
      if (bits[at / 64] >> (at % 64) & 1) *out++ = up * n + i;
    }
  }
}

Result<Disks> Disks::make(const Profile& profile, uint32_t k) {
  ZAREL_CHECK(profile.validate());
  ZAREL_CHECK(profile.check_layout());
  ZAREL_TRY(uint64_t s, block_side(profile.hierarchy()));
  return Disks(profile, k, s);
}

Disks::Disks(const Profile& profile, uint32_t k, uint64_t side) : profile_(profile), k_(k), side_(side) {
  Hierarchy h = profile.hierarchy();
  for (uint32_t level = 0; level <= h.deepest(); ++level) {
    spans_.push_back(base_cell_rows(h, level).value());
    powers_.push_back(pow_u64(h.a, level));
  }
}

void Disks::parts(uint64_t first, uint64_t weight, std::vector<uint64_t>& out) const {
  uint64_t v = first, part = 0;
  for (uint32_t i = 0; v > 0; ++i, v /= side_) part += v % side_ * weight * powers_[i];
  out[0] = part;
  // Counting up by one: trailing digits side - 1 roll over to 0, the next digit grows by one.
  for (size_t i = 1; i < out.size(); ++i) {
    uint64_t x = first + i - 1, rolled = 0;
    uint32_t j = 0;
    for (; x % side_ == side_ - 1; ++j, x /= side_) rolled += (side_ - 1) * powers_[j];
    out[i] = out[i - 1] + weight * (powers_[j] - rolled);
  }
}

bool Disks::inside(const Position& p) const {
  uint64_t span = spans_[p.level];
  return uint64_t{k_} * 2 < span && p.row >= k_ && p.col >= k_ && p.row + k_ < span && p.col + k_ < span;
}

void Disks::walk(const Position& p, uint64_t limit, const Cancel& cancel) {
  uint64_t span = spans_[p.level];
  marks_.reset(profile_.hierarchy(), side_, p.level, span);
  walked_.reset();
  marks_.mark(p);
  layer_.assign(1, p);
  Poll poll(cancel, 256);
  for (uint32_t j = 0; j < k_ && !layer_.empty() && marks_.count() <= limit; ++j) {
    next_.clear();
    for (const Position& q : layer_) {
      if (poll()) return;
      for (uint32_t d = 0; d < 4; ++d) {
        Position n = step_unchecked(q, static_cast<Direction>(d), span, profile_.north_square, profile_.south_square);
        if (marks_.mark(n)) next_.push_back(n);
      }
    }
    std::swap(layer_, next_);
  }
}

uint64_t Disks::count(uint64_t cid, uint32_t level, uint64_t limit, const Cancel& cancel) {
  Position p = position_at(profile_.hierarchy(), side_, cid, level);
  uint64_t whole = uint64_t{profile_.hierarchy().b} * spans_[level] * spans_[level];
  uint64_t bound = std::min(diamond(k_), whole);
  if (bound > limit) return limit + 1;
  if (inside(p)) return bound;
  walk(p, limit, cancel);
  if (!cancel.stopped()) walked_.emplace(cid, level);
  return std::min<uint64_t>(marks_.count(), limit + 1);
}

void Disks::fill(uint64_t cid, uint32_t level, uint64_t* out, const Cancel& cancel) {
  Hierarchy h = profile_.hierarchy();
  Position p = position_at(h, side_, cid, level);
  if (inside(p) && diamond(k_) <= kSortedDiamond) {
    // A cid is its base's prefix plus a part from the row and a part from the
    // column (digit side * r + c at each level), so each cell is one addition.
    uint64_t* end = out;
    uint64_t prefix = (uint64_t{h.a} + p.base) * powers_[level];
    uint64_t n = 2 * uint64_t{k_} + 1;
    prev_.resize(n);
    ring_.resize(n);
    parts(p.row - k_, side_, prev_);
    parts(p.col - k_, 1, ring_);
    for (uint64_t i = 0; i < n; ++i) {
      uint64_t w = k_ - (i < k_ ? k_ - i : i - k_);
      for (uint64_t j = k_ - w; j <= k_ + w; ++j) *end++ = prefix + prev_[i] + ring_[j];
    }
    std::sort(out, end);
    return;
  }
  if (inside(p)) {
    marks_.reset(h, side_, level, spans_[level]);
    walked_.reset();
    Poll poll(cancel, 16);
    for (uint64_t i = 0; i <= 2 * uint64_t{k_}; ++i) {
      if (poll()) return;
      uint64_t w = k_ - (i < k_ ? k_ - i : i - k_);
      for (uint64_t c = p.col - w; c <= p.col + w; ++c) marks_.mark({p.base, level, p.row - k_ + i, c});
    }
  } else if (walked_ != std::pair{cid, level}) {
    walk(p, UINT64_MAX, cancel);
    if (cancel.stopped()) return;
  }
  marks_.list(out);
}

Result<Rings> Rings::make(const Profile& profile, uint32_t k) {
  ZAREL_TRY(Disks disks, Disks::make(profile, k));
  return Rings(std::move(disks));
}

uint64_t Rings::count(uint64_t cid, uint32_t level, uint64_t limit, const Cancel& cancel) {
  Disks& d = disks_;
  uint64_t n = d.count(cid, level, limit, cancel);
  if (n > limit || d.k_ == 0) return n;
  if (d.inside(position_at(d.profile_.hierarchy(), d.side_, cid, level))) return 4 * uint64_t{d.k_};
  // The walk's layers are the cells at each distance, so its last is the ring
  // (none once the walk has covered the level before k steps).
  return d.layer_.size();
}

void Rings::fill(uint64_t cid, uint32_t level, uint64_t* out, const Cancel& cancel) {
  Disks& d = disks_;
  Hierarchy h = d.profile_.hierarchy();
  uint64_t k = d.k_;
  if (k == 0) {
    *out = cid;
    return;
  }
  Position p = position_at(h, d.side_, cid, level);
  uint64_t* end = out;
  if (d.inside(p)) {
    // The diamond's rim: the two ends of each of its rows (one at the tips).
    for (uint64_t i = 0; i <= 2 * k; ++i) {
      uint64_t w = k - (i < k ? k - i : i - k), row = p.row - k + i;
      *end++ = cell_at_unchecked(h, d.side_, p.base, level, row, p.col - w);
      if (w > 0) *end++ = cell_at_unchecked(h, d.side_, p.base, level, row, p.col + w);
    }
  } else {
    if (d.walked_ != std::pair{cid, level}) {
      d.walk(p, UINT64_MAX, cancel);
      if (cancel.stopped()) return;
    }
    for (const Position& q : d.layer_) *end++ = cell_at_unchecked(h, d.side_, q.base, level, q.row, q.col);
  }
  std::sort(out, end);
}

uint32_t corner_cells(const Layer& g, const Position& p, uint64_t self, std::array<uint64_t, 4>& out) {
  std::array<uint64_t, 4> edge{};
  std::array<uint64_t, 16> near{};
  for (uint32_t d = 0; d < 4; ++d) {
    Position q = step_unchecked(p, static_cast<Direction>(d), g.span, g.ns, g.ss);
    edge[d] = g.cid(q);
    for (uint32_t e = 0; e < 4; ++e)
      near[d * 4 + e] = g.cid(step_unchecked(q, static_cast<Direction>(e), g.span, g.ns, g.ss));
  }
  std::sort(near.begin(), near.end());
  uint32_t n = 0;
  // The first of each run of two or more: a cell next to two edge neighbours.
  for (size_t i = 0; i + 1 < near.size(); ++i) {
    uint64_t c = near[i];
    if (c != near[i + 1] || (i > 0 && near[i - 1] == c)) continue;
    if (c != self && std::find(edge.begin(), edge.end(), c) == edge.end() && n < 4) out[n++] = c;
  }
  return n;
}

}  // namespace zarel
