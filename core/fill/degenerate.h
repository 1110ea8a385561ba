// The region a polygon bounds, as every containment mode reads it.
// Coordinates within 4 ulps of +-180 and +-90 are those edges (data written
// with a rounding error there, -179.99999999999994 for -180, still reaches the
// pole and the cut). The parts that bound no area are taken out: rings reduced to their
// area-bounding points (out-and-back spikes removed, repeated points merged),
// rings left with fewer than three points dropped (two-point and flat rings),
// holes that lie outside their shell dropped, and polygons whose hole is their
// shell itself dropped whole. Well-formed polygons pass unchanged.
#pragma once

#include "fill/polygon.h"

namespace zarel {

MultiPolygon without_degenerate_parts(const MultiPolygon& polygons);

}  // namespace zarel
