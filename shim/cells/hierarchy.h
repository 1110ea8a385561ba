#include "../../core/hierarchy.h"
