// libFuzzer target: suid text, as suid_to_cid and DGGS-JSON zone ids read it.
// Text that reads names a cid whose suid is that text again; the first eight
// bytes taken as a cid that has a suid read back to the same cid.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cells/hierarchy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto path = zarel::suid_to_path(text);
  auto cid = zarel::suid_to_cid(text);
  if (cid) {
    auto back = zarel::cid_to_suid(*cid);
    if (!path || !back || *back != text || zarel::path_to_suid(*path) != text) std::abort();
  }
  if (size >= 8) {
    uint64_t raw;
    std::memcpy(&raw, data, 8);
    if (auto suid = zarel::cid_to_suid(raw)) {
      auto again = zarel::suid_to_cid(*suid);
      if (!again || *again != raw) std::abort();
    }
  }
  return 0;
}
