// OpenSSL's SHA256_* calls run the SHA extensions where the processor has them;
// measured against nettle, EVP and a hand-written loop over the SHA instructions
// on 289-byte node messages they were the fastest.
#define OPENSSL_API_COMPAT 10101
#include "hash.h"

#include <thread>

#include <openssl/sha.h>


namespace zarel {

Hash sha256(std::span<const uint8_t> bytes) {
  Hash out;
  SHA256_CTX c;
  SHA256_Init(&c);
  SHA256_Update(&c, bytes.data(), bytes.size());
  SHA256_Final(out.data(), &c);
  return out;
}

Hash sha_tagged(uint8_t tag, std::span<const Hash> items) {
  Hash out;
  SHA256_CTX c;
  SHA256_Init(&c);
  SHA256_Update(&c, &tag, 1);
  // Hash is a plain 32-byte array, so the items lie back to back in memory.
  if (!items.empty()) SHA256_Update(&c, items.data(), items.size() * sizeof(Hash));
  SHA256_Final(out.data(), &c);
  return out;
}

namespace {

// Digit pairs of every byte and the value of every hexadecimal digit (16: none),
// so hex() and unhex() cost a table read per byte instead of a branch per digit.
struct HexTables {
  char pairs[256][2];
  uint8_t value[256];
  constexpr HexTables() : pairs{}, value{} {
    constexpr char kDigits[] = "0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
      pairs[b][0] = kDigits[b >> 4];
      pairs[b][1] = kDigits[b & 15];
      value[b] = 16;
    }
    for (int d = 0; d < 16; ++d) value[static_cast<uint8_t>(kDigits[d])] = static_cast<uint8_t>(d);
  }
};
constexpr HexTables kHex;

}  // namespace

std::string hex(const Hash& h) {
  std::string s(64, '0');
  for (size_t i = 0; i < 32; ++i) {
    s[2 * i] = kHex.pairs[h[i]][0];
    s[2 * i + 1] = kHex.pairs[h[i]][1];
  }
  return s;
}

std::optional<Hash> unhex(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  Hash h;
  uint8_t bad = 0;
  for (size_t i = 0; i < 32; ++i) {
    uint8_t hi = kHex.value[static_cast<uint8_t>(text[2 * i])], lo = kHex.value[static_cast<uint8_t>(text[2 * i + 1])];
    bad |= (hi | lo) & 16;
    h[i] = static_cast<uint8_t>(hi << 4 | (lo & 15));
  }
  if (bad) return std::nullopt;
  return h;
}

Ladders Ladders::make(uint32_t fanout, uint32_t depth) {
  Ladders l;
  l.empty.reserve(depth + 1);
  l.full.reserve(depth + 1);
  l.empty.push_back(Sha256Tagged::leaf_empty());
  l.full.push_back(Sha256Tagged::leaf_full());
  std::vector<Hash> kids(fanout);
  for (uint32_t h = 1; h <= depth; ++h) {
    kids.assign(fanout, l.empty.back());
    l.empty.push_back(Sha256Tagged::node(kids));
    kids.assign(fanout, l.full.back());
    l.full.push_back(Sha256Tagged::node(kids));
  }
  return l;
}

WordNodeHashes::~WordNodeHashes() { delete[] table_.load(std::memory_order_relaxed); }

WordNodeHashes::Slot* WordNodeHashes::table() const {
  Slot* t = table_.load(std::memory_order_acquire);
  if (t) return t;
  auto* made = new Slot[size_t{aperture_ + 1} << aperture_];
  if (table_.compare_exchange_strong(t, made, std::memory_order_acq_rel)) return made;
  delete[] made;  // another thread's table won
  return t;
}

const Hash& WordNodeHashes::get(uint32_t index) const {
  Slot& s = table()[index];
  if (s.state.load(std::memory_order_acquire) == 2) return s.hash;
  uint8_t unset = 0;
  if (s.state.compare_exchange_strong(unset, 1, std::memory_order_acquire)) {
    const Hash empty = Sha256Tagged::leaf_empty(), full = Sha256Tagged::leaf_full();
    uint32_t mask = index & ((1u << aperture_) - 1), digit = index >> aperture_;
    std::vector<Hash> kids(aperture_);
    for (uint32_t k = 0; k < aperture_; ++k) kids[k] = (mask >> k & 1) ? full : empty;
    if (digit > 0) {
      // A height-2 node: its one leaf-mask child at digit - 1, empty height-1 nodes beside it.
      Hash lone = Sha256Tagged::node(kids);
      kids.assign(aperture_, Sha256Tagged::node(std::vector<Hash>(aperture_, empty)));
      kids[digit - 1] = lone;
    }
    s.hash = Sha256Tagged::node(kids);
    s.state.store(2, std::memory_order_release);
    return s.hash;
  }
  // Another thread is writing this slot, a call or two of hashing: wait for it.
  while (s.state.load(std::memory_order_acquire) != 2) std::this_thread::yield();
  return s.hash;
}

CtxRef make_ctx(Hierarchy h, uint32_t depth) {
  return std::make_shared<const Ctx>(Ctx{h, Sha256Tagged{}, Ladders::make(h.a, depth), WordNodeHashes(h.a)});
}

}  // namespace zarel
