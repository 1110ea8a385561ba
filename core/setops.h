// Union, intersection and difference of coverage trees, worked on the
// compressed trees by comparing node hashes; the maximal subtrees where two
// trees differ; and transcripts that prove a combination against the two input
// roots alone, with their JSON form and verifier.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.h"
#include "error.h"
#include "hash.h"
#include "json.h"
#include "tree.h"

namespace zarel {

enum class SetOp : uint8_t { Union = 0, Intersect = 1, Difference = 2 };

// "union", "intersect", "difference".
std::string_view op_name(SetOp op);
std::optional<SetOp> op_from_name(std::string_view name);

// Same hierarchy, depth and hasher: the precondition of every two-tree operation.
Status compatible(const Tree& a, const Tree& b);

// The result hash when it follows from the two input hashes at `height` alone;
// nothing when the operation must descend.
std::optional<Hash> rule(SetOp op, const Hash& ha, const Hash& hb, uint32_t height, const Ctx& ctx);

// The canonical result of `op` on two nodes of one height; returns an input
// node itself (its branch shared) wherever the rule picks that input's hash.
// Once `poll` answers true the result is unspecified.
Node combine_nodes(const Node& a, const Node& b, SetOp op, uint32_t height, const Ctx& ctx, Poll& poll);
// The result carries the first tree's context, hierarchy and depth. The walks
// below poll `cancel` and return cancelled() once it answers true.
Result<Tree> combine(const Tree& a, const Tree& b, SetOp op, const Cancel& cancel = never_cancelled());

struct Divergence {
  Hash hash_a, hash_b;
  uint64_t cid;
};
// Maximal differing subtrees, depth first, base by base.
Result<std::vector<Divergence>> divergence(const Tree& a, const Tree& b, const Cancel& cancel = never_cancelled());

// One node of a transcript: the two input hashes, the result hash, and the
// aperture children where the rule left the result open (absent where it decided).
struct Step {
  std::optional<std::vector<Step>> children;
  Hash a, b, c;

  Json to_json() const;
  // `height` is the step's height; children below the leaves are refused, which
  // bounds the recursion by the transcript's depth whatever the document holds.
  static Result<Step> from_json(const Json& value, uint32_t height);
};

struct SetOpProof {
  std::string hash;
  std::vector<Step> steps;
  Hash root_a, root_b, root_c;
  uint32_t A = 0, B = 0, D = 0;
  SetOp op = SetOp::Union;

  Json to_json() const;
  // write_json(to_json()), written straight from the transcript, which spares
  // a large one its JSON values.
  std::string to_json_text() const;
  static Result<SetOpProof> from_json(const Json& value);
  // True exactly when the transcript proves root_c = root_a op root_b; never fails.
  bool verify() const;
};

// Transcripts and openings list every base cell. Past this many they are
// refused before any work: at hundreds of bytes per base cell once they are
// Python objects, they would be out of all proportion to the trees.
inline constexpr uint32_t kMaxListedBases = uint32_t{1} << 20;

Result<SetOpProof> prove(const Tree& a, const Tree& b, SetOp op, const Cancel& cancel = never_cancelled());

// The shape keys "A", "B", "D" of a transcript or opening record.
struct Shape {
  uint32_t A, B, D;
};
Result<Shape> wire_shape(const Json& value);
bool valid_shape(uint32_t A, uint32_t B, uint32_t D);

// The unsigned value of `value[key]`, or nothing when absent or of another kind.
std::optional<uint64_t> unsigned_member(const Json& value, std::string_view key);

}  // namespace zarel
