// libFuzzer target: the JSON reader and the profile record reader on arbitrary
// bytes, with the direct reading and writing roads held against the general ones.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "base/json.h"
#include "profile/profile.h"

// Equal text can hide a signed integer read as unsigned: compare the kinds too.
static bool same_kinds(const zarel::Json& a, const zarel::Json& b) {
  if (a.type() != b.type() || a.size() != b.size()) return false;
  if (a.is_array())
    for (size_t i = 0; i < a.size(); ++i)
      if (!same_kinds(a[i], b[i])) return false;
  if (a.is_object())
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y)
      if (x.key() != y.key() || !same_kinds(*x, *y)) return false;
  return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto doc = zarel::parse_json(text);
  auto general = zarel::parse_json_general(text);
  if (doc.ok() != general.ok()) std::abort();
  if (!doc) {
    if (doc.error().display() != general.error().display()) std::abort();
    return 0;
  }
  if (!same_kinds(*doc, *general)) std::abort();
  std::string written = zarel::write_json(*doc);
  if (written != zarel::write_json_general(*general) || written != zarel::write_json_general(*doc)) std::abort();
  if (auto p = zarel::Profile::from_record(*doc); p && p->validate()) {
    p->id_hex();
    p->describe();
  }
  return 0;
}
