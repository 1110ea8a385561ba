// The Python `Profile` class: an immutable, validated set of grid and hash parameters.
#pragma once

#include "module.h"
#include "profile/profile.h"

namespace zarel::py {

struct ProfileObject {
  PyObject_HEAD
  Profile profile;
};

extern PyType_Spec profile_spec;

PyObject* new_profile(ModuleState* st, const Profile& p);

}  // namespace zarel::py
