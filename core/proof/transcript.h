// Transcripts that prove a set operation against the two input roots alone:
// one step per node where the result was undecided, with their JSON form and
// verifier.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/json.h"
#include "base/sha256.h"
#include "tree/setops.h"
#include "tree/tree.h"

namespace zarel {

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

Result<SetOpProof> prove(const Tree& a, const Tree& b, SetOp op);

}  // namespace zarel
