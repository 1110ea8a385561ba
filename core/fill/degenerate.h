// The parts of a polygon that bound no area, taken out before a fill reads it,
// so that every containment mode sees one region: rings reduced to their
// area-bounding points (out-and-back spikes removed, repeated points merged),
// rings left with fewer than three points dropped (two-point and flat rings),
// holes that lie outside their shell dropped, and polygons whose hole is their
// shell itself dropped whole. Well-formed polygons pass unchanged.
#pragma once

#include "fill/polygon.h"

namespace zarel {

MultiPolygon without_degenerate_parts(const MultiPolygon& polygons);

}  // namespace zarel
