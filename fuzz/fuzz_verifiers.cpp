// libFuzzer target: the transcript and opening readers and verifiers on
// arbitrary bytes. Whatever the input, both must return without a crash, a
// sanitizer report or a hang; a parsed document must also survive a write and
// re-read with the same verdict.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/json.h"
#include "proof/opening.h"
#include "proof/transcript.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto doc = zarel::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!doc) return 0;
  if (auto p = zarel::SetOpProof::from_json(*doc)) {
    bool verdict = p->verify();
    auto again = zarel::SetOpProof::from_json(p->to_json());
    if (!again || again->verify() != verdict) std::abort();
  }
  if (auto r = zarel::OpeningRecord::from_json(*doc)) {
    bool verdict = r->verify();
    auto again = zarel::OpeningRecord::from_json(r->to_json());
    if (!again || again->verify() != verdict) std::abort();
  }
  return 0;
}
