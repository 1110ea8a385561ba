// The hashing context of a tree depth: the hierarchy, the tagged hasher, the
// ladders of uniform-subtree hashes and the table of one-word node hashes.
// Every tree made for one depth shares one context.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/sha256.h"
#include "cells/hierarchy.h"

namespace zarel {

// empty[h] and full[h]: the hash of an all-uncovered / all-covered subtree of height h.
struct Ladders {
  std::vector<Hash> empty, full;
  static Ladders make(uint32_t fanout, uint32_t depth);
  uint32_t reach() const { return static_cast<uint32_t>(empty.size() - 1); }
};

// Hashes of the nodes a tree keeps in one word (apertures up to kMaxAperture):
// a height-1 node by the mask of its covered leaves, and a height-2 node whose
// only non-empty child is such a node by that child's digit and mask. The
// table is made on first use and each slot filled the first time it is needed,
// by whichever thread claims it (every writer would write the same hash).
class WordNodeHashes {
 public:
  static constexpr uint32_t kMaxAperture = 9;
  explicit WordNodeHashes(uint32_t aperture) : aperture_(aperture) {}
  WordNodeHashes(WordNodeHashes&& o) noexcept : aperture_(o.aperture_), table_(o.table_.exchange(nullptr)) {}
  WordNodeHashes& operator=(WordNodeHashes&&) = delete;
  ~WordNodeHashes();
  const Hash& leaf(uint32_t mask) const { return get(mask); }
  const Hash& twig(uint32_t digit, uint32_t mask) const { return get((digit + 1) << aperture_ | mask); }

 private:
  struct Slot {
    std::atomic<uint8_t> state{0};  // 0 unset, 1 being written, 2 set
    Hash hash;
  };
  const Hash& get(uint32_t index) const;
  Slot* table() const;
  uint32_t aperture_;
  mutable std::atomic<Slot*> table_{nullptr};
};

struct HashContext {
  Hierarchy hierarchy;
  Sha256Tagged hasher;
  Ladders ladders;
  WordNodeHashes word_nodes;
};
using HashContextRef = std::shared_ptr<const HashContext>;

HashContextRef make_hash_context(Hierarchy h, uint32_t depth);
// The context make_hash_context gives, kept for the next caller asking for the same
// hierarchy and depth: a script that builds or verifies one tree at a time
// hashes the ladders and fills the one-word node table once, not per call.
// Any thread; the few most recently made contexts are kept.
HashContextRef shared_hash_context(Hierarchy h, uint32_t depth);

}  // namespace zarel
