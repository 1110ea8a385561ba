#include "../../core/disk.h"
