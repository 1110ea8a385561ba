#include "profile/hash_context.h"

#include <mutex>
#include <thread>

namespace zarel {

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

HashContextRef make_hash_context(Hierarchy h, uint32_t depth) {
  return std::make_shared<const HashContext>(HashContext{h, Sha256Tagged{}, Ladders::make(h.a, depth), WordNodeHashes(h.a)});
}

namespace {

// Kept contexts, oldest first. A caller may name any shape (a verifier reads it
// from a record), so their number is bounded; one dropped here lives on in the
// trees that hold it.
struct SharedContexts {
  static constexpr size_t kKept = 32;
  std::mutex mutex;
  std::vector<HashContextRef> kept;
};

}  // namespace

HashContextRef shared_hash_context(Hierarchy h, uint32_t depth) {
  // Never destroyed: trees freed while the process exits may still ask for it.
  static auto* contexts = new SharedContexts;
  auto find = [&]() -> HashContextRef {
    for (const HashContextRef& c : contexts->kept)
      if (c->hierarchy == h && c->ladders.reach() == depth) return c;
    return nullptr;
  };
  {
    std::lock_guard<std::mutex> hold(contexts->mutex);
    if (HashContextRef c = find()) return c;
  }
  // Made outside the lock: a wide aperture's ladders take a while to hash.
  HashContextRef made = make_hash_context(h, depth);
  std::lock_guard<std::mutex> hold(contexts->mutex);
  if (HashContextRef c = find()) return c;  // another thread made it meanwhile
  if (contexts->kept.size() == SharedContexts::kKept) contexts->kept.erase(contexts->kept.begin());
  contexts->kept.push_back(made);
  return made;
}

}  // namespace zarel
