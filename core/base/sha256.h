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

// Bytes a buffer needs to hold a message of `length` bytes with SHA-256's padding.
constexpr size_t padded_length(size_t length) { return (length + 9 + 63) / 64 * 64; }
// sha256 of the first `length` bytes of `buffer`, which holds padded_length(length)
// bytes and receives the padding: whole blocks in one call, none of the
// streaming interface's copies and wiping (nothing hashed here is secret).
Hash sha256_padded(uint8_t* buffer, size_t length);

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
  // node() of `count` children whose hashes the caller wrote back to back from
  // message[1]; message holds padded_length(node_length(count)) bytes.
  static size_t node_length(size_t count) { return 1 + count * sizeof(Hash); }
  static Hash node_message(uint8_t* message, size_t count) {
    message[0] = kTagNode;
    return sha256_padded(message, node_length(count));
  }
  static Hash root(std::span<const Hash> items) { return sha_tagged(kTagRoot, items); }
};

}  // namespace zarel
