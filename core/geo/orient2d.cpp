#include "geo/orient2d.h"

#include <cmath>

namespace zarel::geo {

namespace {

// Relative error bounds of the stages, in units of the unit roundoff eps = 2^-53.
constexpr double kEps = 0x1p-53;
constexpr double kBoundA = (3.0 + 16.0 * kEps) * kEps;
constexpr double kBoundB = (2.0 + 12.0 * kEps) * kEps;
constexpr double kBoundC = (9.0 + 64.0 * kEps) * kEps * kEps;
constexpr double kBoundResult = (3.0 + 8.0 * kEps) * kEps;
// 2^ceil(53/2) + 1: splits a double into two halves of at most 26 bits each.
constexpr double kSplitter = 134217729.0;

// Coordinates whose magnitudes lie in [2^-400, 2^400] (or are zero) keep every
// product and roundoff term of the stages clear of overflow and underflow.
constexpr double kLow = 0x1p-400, kHigh = 0x1p400;

// x + y == a + b exactly, x the rounded sum.
inline void two_sum(double a, double b, double& x, double& y) {
  x = a + b;
  double bv = x - a, av = x - bv;
  y = (a - av) + (b - bv);
}

// The roundoff of x = a - b.
inline double diff_tail(double a, double b, double x) {
  double bv = a - x, av = x + bv;
  return (a - av) + (bv - b);
}

inline void two_diff(double a, double b, double& x, double& y) {
  x = a - b;
  y = diff_tail(a, b, x);
}

inline void split(double a, double& hi, double& lo) {
  double c = kSplitter * a;
  hi = c - (c - a);
  lo = a - hi;
}

// x + y == a * b exactly (Dekker's product; no fused multiply-add is assumed).
inline void two_product(double a, double b, double& x, double& y) {
  x = a * b;
  double ahi, alo, bhi, blo;
  split(a, ahi, alo);
  split(b, bhi, blo);
  double err = x - ahi * bhi;
  err -= alo * bhi;
  err -= ahi * blo;
  y = alo * blo - err;
}

// (a1 + a0) - (b1 + b0) as a four-term expansion e[0..3], least significant first.
inline void two_two_diff(double a1, double a0, double b1, double b0, double e[4]) {
  double i, j, k;
  two_diff(a0, b0, i, e[0]);
  two_sum(a1, i, j, k);
  two_diff(k, b1, i, e[1]);
  two_sum(j, i, e[3], e[2]);
}

// h = e + f for expansions ordered by increasing magnitude; zero terms are
// dropped. Returns the length of h, which needs room for ne + nf terms.
int expansion_sum(const double* e, int ne, const double* f, int nf, double* h) {
  int i = 0, j = 0, n = 0;
  // Merge by magnitude, then carry the running sum through every term.
  auto next = [&]() {
    if (j >= nf || (i < ne && std::fabs(e[i]) <= std::fabs(f[j]))) return e[i++];
    return f[j++];
  };
  double q = next();
  while (i < ne || j < nf) {
    double t, r;
    two_sum(q, next(), t, r);
    if (r != 0) h[n++] = r;
    q = t;
  }
  if (q != 0 || n == 0) h[n++] = q;
  return n;
}

double estimate(const double* e, int n) {
  double s = e[0];
  for (int k = 1; k < n; ++k) s += e[k];
  return s;
}

// The staged evaluation after the plain determinant proved too uncertain.
double adaptive(double ax, double ay, double bx, double by, double cx, double cy, double detsum) {
  double acx = ax - cx, bcx = bx - cx, acy = ay - cy, bcy = by - cy;
  double l1, l0, r1, r0;
  two_product(acx, bcy, l1, l0);
  two_product(acy, bcx, r1, r0);
  double b[4];
  two_two_diff(l1, l0, r1, r0, b);
  double det = estimate(b, 4);
  double bound = kBoundB * detsum;
  if (det >= bound || -det >= bound) return det;

  double acxt = diff_tail(ax, cx, acx), bcxt = diff_tail(bx, cx, bcx);
  double acyt = diff_tail(ay, cy, acy), bcyt = diff_tail(by, cy, bcy);
  if (acxt == 0 && acyt == 0 && bcxt == 0 && bcyt == 0) return det;

  bound = kBoundC * detsum + kBoundResult * std::fabs(det);
  det += (acx * bcyt + bcy * acxt) - (acy * bcxt + bcx * acyt);
  if (det >= bound || -det >= bound) return det;

  // Exact: B plus the three groups of tail products.
  double u[4], c1[8], c2[12], d[16];
  two_product(acxt, bcy, l1, l0);
  two_product(acyt, bcx, r1, r0);
  two_two_diff(l1, l0, r1, r0, u);
  int n1 = expansion_sum(b, 4, u, 4, c1);
  two_product(acx, bcyt, l1, l0);
  two_product(acy, bcxt, r1, r0);
  two_two_diff(l1, l0, r1, r0, u);
  int n2 = expansion_sum(c1, n1, u, 4, c2);
  two_product(acxt, bcyt, l1, l0);
  two_product(acyt, bcxt, r1, r0);
  two_two_diff(l1, l0, r1, r0, u);
  int nd = expansion_sum(c2, n2, u, 4, d);
  return d[nd - 1];
}

bool in_range(double v) {
  double m = std::fabs(v);
  return m == 0 || (m >= kLow && m <= kHigh);
}

double orient_in_range(double ax, double ay, double bx, double by, double cx, double cy) {
  double left = (ax - cx) * (by - cy);
  double right = (ay - cy) * (bx - cx);
  double det = left - right;
  double detsum;
  if (left > 0) {
    if (right <= 0) return det;
    detsum = left + right;
  } else if (left < 0) {
    if (right >= 0) return det;
    detsum = -left - right;
  } else {
    return det;
  }
  double bound = kBoundA * detsum;
  if (det >= bound || -det >= bound) return det;
  return adaptive(ax, ay, bx, by, cx, cy, detsum);
}

}  // namespace

double orient2d(double ax, double ay, double bx, double by, double cx, double cy) {
  if (in_range(ax) && in_range(ay) && in_range(bx) && in_range(by) && in_range(cx) && in_range(cy))
    return orient_in_range(ax, ay, bx, by, cx, cy);
  // Bring the largest magnitude just below 2^400; a power-of-two scale is
  // exact and multiplies the determinant by a positive factor.
  double m = std::fmax(std::fmax(std::fmax(std::fabs(ax), std::fabs(ay)), std::fmax(std::fabs(bx), std::fabs(by))),
                       std::fmax(std::fabs(cx), std::fabs(cy)));
  int k = 399 - std::ilogb(m);
  return orient_in_range(std::ldexp(ax, k), std::ldexp(ay, k), std::ldexp(bx, k), std::ldexp(by, k),
                         std::ldexp(cx, k), std::ldexp(cy, k));
}

}  // namespace zarel::geo
