// libFuzzer target: the opening record's plain reader, which verify_opening
// tries before the JSON road, held against that road. Wherever the plain
// reader reads a record, parse_json and from_json read the same record, and
// the two records get the same verdict.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/json.h"
#include "proof/opening.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto plain = zarel::OpeningRecord::read_plain(text);
  if (!plain) return 0;
  auto doc = zarel::parse_json(text);
  if (!doc) std::abort();
  auto general = zarel::OpeningRecord::from_json(*doc);
  if (!general) std::abort();
  if (plain->to_json_text() != general->to_json_text()) std::abort();
  if (plain->verify() != general->verify()) std::abort();
  return 0;
}
