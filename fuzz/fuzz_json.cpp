// libFuzzer target: the JSON reader and the profile record reader on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json.h"
#include "profile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto doc = zarel::parse_json(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!doc) return 0;
  zarel::write_json(*doc);
  if (auto p = zarel::Profile::from_record(*doc); p && p->validate()) {
    p->id_hex();
    p->describe();
  }
  return 0;
}
