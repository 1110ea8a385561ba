// Tagged SHA-256: one hash call per object with a one-byte tag in front
// (empty leaf, full leaf, node, root), and the hexadecimal form of a hash.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zarel {

using Hash = std::array<uint8_t, 32>;

Hash sha256(std::span<const uint8_t> bytes);
// SHA-256 of the tag byte followed by the 32 bytes of each item, streamed.
Hash sha_tagged(uint8_t tag, std::span<const Hash> items);

std::string hex(const Hash& h);
// The 64 digits of hex(h) written into `out`.
void hex_to(const Hash& h, char* out);
// Exactly 64 lowercase hexadecimal digits, else nothing.
std::optional<Hash> unhex(std::string_view text);

enum Tag : uint8_t { kTagEmpty = 0x00, kTagFull = 0x01, kTagNode = 0x02, kTagRoot = 0x03 };

struct Sha256Tagged {
  static std::string_view id() { return "sha256"; }
  static Hash leaf_empty() { return sha_tagged(kTagEmpty, {}); }
  static Hash leaf_full() { return sha_tagged(kTagFull, {}); }
  static Hash node(std::span<const Hash> children) { return sha_tagged(kTagNode, children); }
  static Hash root(std::span<const Hash> items) { return sha_tagged(kTagRoot, items); }
};

}  // namespace zarel
