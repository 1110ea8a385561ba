// Openings: a proof, against a tree's root alone, that one cell is wholly
// covered or wholly uncovered. The record carries the sibling hashes along the
// cell's path and a claim at the cell; it names its own shape, hash id and root,
// so it can be verified with nothing else.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "profile/hash_context.h"
#include "base/json.h"
#include "tree/tree.h"

namespace zarel {

struct Opening;

// A sibling's hash, or (when `opening` is set) the nested opening of the child on the path.
struct Entry {
  Hash hash{};
  std::unique_ptr<Opening> opening;
};

struct Opening {
  enum class Kind : uint8_t { Claim, Entries };
  Kind kind = Kind::Claim;
  bool full = false;  // the claim: wholly covered (true) or wholly uncovered
  std::vector<Entry> entries;

  Json to_json() const;
  // `height` bounds the nesting: an entries list at height 0 would list children
  // below the leaves and is refused, so the recursion never goes past the depth.
  static Result<Opening> from_json(const Json& value, uint32_t height);
};

// The opening of `cid`, or nothing when its node is partly covered.
Result<std::optional<Opening>> open_path(const Tree& tree, uint64_t cid);

struct OpeningRecord {
  std::string hash;
  Opening opening;
  Hash root{};
  uint32_t A = 0, B = 0, D = 0;

  static OpeningRecord make(const Tree& tree, Opening opening);
  Json to_json() const;
  // write_json(to_json()), written straight from the record: an opening at depth
  // 18 is some 170 hash strings, and building them as JSON values cost more
  // than everything else that Tree.open does.
  std::string to_json_text() const;
  static Result<OpeningRecord> from_json(const Json& value);
  // The record in `text` when it has the shape records are written in (the
  // seven keys once each, "D" before "opening", plain ASCII strings, plain
  // integers); then it equals from_json(parse_json(text)). Nothing otherwise,
  // and that road decides. Spares the verifier the JSON values.
  static std::optional<OpeningRecord> read_plain(std::string_view text);
  bool verify() const;
};

// The hash an opening at `height` stands for; nothing if it is malformed, or if
// an entries list does not open exactly one child (the path names one cell).
std::optional<Hash> opening_hash(const Opening& opening, uint32_t height, const HashContext& ctx);
// The top-level opening lists the base cells and opens exactly one of them.
bool verify_opening(const Opening& opening, const Hash& root, uint32_t depth, const HashContext& ctx);

}  // namespace zarel
