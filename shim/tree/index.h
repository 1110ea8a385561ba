#include "../../core/index.h"
