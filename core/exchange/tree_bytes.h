// The binary forms of a tree and of a coverage index, for files and the wire.
//
// Tree bytes are a versioned header (magic, version, the profile, the depth)
// and then the tree's shape, depth first in digit order: each partly covered
// node is either its one non-empty child by digit (the lone form, for sparse
// trees) or every child by a prefix code ("0" empty, "10" full, "11" partly
// covered, its own record following at once), one bit per leaf below a node of
// height 1. Index bytes hold the profile and depth once, every stored tree's
// shape, and the keys with the position of their tree. docs/tree-format.md
// describes both byte by byte.
//
// The readers take untrusted bytes: every field is checked, nothing is
// allocated beyond what the remaining bytes can describe, the shape must be
// the canonical one (so a tree has exactly one form) and roots are recomputed
// from it, never read. Errors name the offset of the first bad byte.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/cancel.h"
#include "base/error.h"
#include "profile/profile.h"
#include "tree/index.h"
#include "tree/tree.h"

namespace zarel {

inline constexpr uint8_t kTreeBytesVersion = 1;
inline constexpr uint8_t kIndexBytesVersion = 1;

// REQUIRES: `profile` is the one the tree was made with.
std::vector<uint8_t> tree_to_bytes(const Tree& tree, const Profile& profile);

struct ProfiledTree {
  Tree tree;
  Profile profile;
};
// Stops with cancelled() once `cancel` answers true.
Result<ProfiledTree> tree_from_bytes(std::span<const uint8_t> data, const Cancel& cancel = never_cancelled());

// REQUIRES: `profile` is the stored trees' profile, present when a tree is stored.
// Refuses an index whose counts or lengths do not fit the form's four bytes.
Result<std::vector<uint8_t>> index_to_bytes(const Index& index, const std::optional<Profile>& profile);

struct ProfiledIndex {
  Index index;
  std::optional<Profile> profile;  // none for an index that stores no tree
};
// Every tree of the index shares one hashing context; they are read on the
// worker pool and the lowest failing one is reported.
Result<ProfiledIndex> index_from_bytes(std::span<const uint8_t> data, const Cancel& cancel = never_cancelled());

}  // namespace zarel
