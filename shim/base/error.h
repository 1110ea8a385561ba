#include "../../core/error.h"
