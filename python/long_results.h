// Results too large to build in one uninterruptible step (a json.loads of
// their whole text): built piece by piece, polling for Ctrl-C in between.
// Each gives a new reference, or nullptr with the exception set
// (KeyboardInterrupt once `cancel` has stopped the call).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "base/cancel.h"
#include "module.h"
#include "profile/profile.h"
#include "proof/transcript.h"
#include "tree/tree.h"

namespace zarel::py {

// The transcript as json.loads would read its JSON text.
PyObject* proof_object(const SetOpProof& proof, const Cancel& cancel);

// The display FeatureCollection of `cids` (core cells_geojson) as Python
// objects, its text read back a thousand features at a time; Ctrl-C stops it.
PyObject* display_geojson(std::span<const uint64_t> cids, const Profile& profile, uint64_t n);

// One DGGS-JSON document for each zone of `level` that the tree meets.
PyObject* zone_documents(const Tree& tree, const Profile& profile, uint32_t level, const std::string& field,
                         const Cancel& cancel);

}  // namespace zarel::py
