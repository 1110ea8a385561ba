#include "../../core/zone.h"
