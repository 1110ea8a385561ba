#include "../../core/tree.h"
