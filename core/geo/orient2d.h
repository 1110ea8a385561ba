// The exact orientation of three points in the plane: the sign of the
// determinant | ax-cx  ay-cy ; bx-cx  by-cy |, decided for the given doubles as
// if computed in exact arithmetic.
//
// A plain floating-point determinant with a forward error bound settles almost
// every call; only near-degenerate triples fall through to staged evaluation
// with floating-point expansions (sums of non-overlapping doubles), which
// stops as soon as the sign is certain. The stages and their error bounds are
// those of Shewchuk's adaptive-precision predicate.
//
// Expansion arithmetic is exact only while no product overflows or underflows.
// Triples whose magnitudes leave that range are first scaled by a power of two
// (an exact operation that keeps the sign), which restores exactness unless the
// six coordinates themselves span more than about 2^1000.
#pragma once

namespace zarel::geo {

// Positive when c lies to the left of the directed line a->b (a, b, c turn
// counter-clockwise), negative to the right, zero on the line. Only the sign
// is meaningful.
// REQUIRES: all six coordinates finite.
double orient2d(double ax, double ay, double bx, double by, double cx, double cy);

}  // namespace zarel::geo
