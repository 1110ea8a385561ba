#include "../../core/setops.h"
