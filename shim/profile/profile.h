#include "../../core/profile.h"
