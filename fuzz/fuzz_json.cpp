// libFuzzer target: the JSON reader and the profile record reader on arbitrary
// bytes, with the direct reading and writing roads held against the general ones.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "json.h"
#include "profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto doc = zarel::parse_json(text);
  auto general = zarel::parse_json_general(text);
  if (doc.ok() != general.ok()) std::abort();
  if (!doc) {
    if (doc.error().display() != general.error().display()) std::abort();
    return 0;
  }
  std::string written = zarel::write_json(*doc);
  if (written != zarel::write_json_general(*general) || written != zarel::write_json_general(*doc)) std::abort();
  if (auto p = zarel::Profile::from_record(*doc); p && p->validate()) {
    p->id_hex();
    p->describe();
  }
  return 0;
}
