#include "geo/ellipsoid.h"

#include <sleef.h>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include <cmath>
#include <cstring>
#include <limits>

namespace zarel::geo {

double psin(double x) { return Sleef_sind1_u10purec(x); }
double pasin(double x) { return Sleef_asind1_u10purec(x); }
double plog(double x) { return Sleef_logd1_u10purec(x); }

namespace {

// SLEEF's deterministic vector sines (no FMA) give psin's bits lane by lane.
#if defined(__x86_64__)
}  // namespace
}  // namespace zarel::geo
// sleef.h declares its AVX functions only for code built with AVX throughout.
extern "C" __attribute__((target("avx"), const)) __m256d Sleef_cinz_sind4_u10avx(__m256d);
namespace zarel::geo {
namespace {

__attribute__((target("avx"))) void sin_lanes4(const double* x, double* out, int n) {
  for (int i = 0; i < n; i += 4) _mm256_storeu_pd(out + i, Sleef_cinz_sind4_u10avx(_mm256_loadu_pd(x + i)));
}

void sin_lanes2(const double* x, double* out, int n) {
  for (int i = 0; i < n; i += 2) _mm_storeu_pd(out + i, Sleef_cinz_sind2_u10sse2(_mm_loadu_pd(x + i)));
}

// Asks the processor directly: zig's runtime (the manylinux wheels' compiler) leaves
// __builtin_cpu_supports's table empty. AVX needs the OS to save the YMM registers too.
int widest_lanes() {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_AVX) || !(c & bit_OSXSAVE)) return 2;
  unsigned lo, hi;
  __asm__("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  return (lo & 0x6) == 0x6 ? 4 : 2;
}
const int kLanes = widest_lanes();
#else
const int kLanes = 1;
#endif

}  // namespace

std::array<double, 6> psin_multiples(double lat, int lanes) {
  // Room for two lanes of four; the two spare slots hold harmless zeros.
  alignas(32) double x[8] = {2 * lat, 4 * lat, 6 * lat, 8 * lat, 10 * lat, 12 * lat, 0, 0};
  alignas(32) double y[8];
  if (lanes <= 0) lanes = kLanes;
#if defined(__x86_64__)
  if (lanes >= 4 && kLanes >= 4) sin_lanes4(x, y, 6);
  else if (lanes >= 2) sin_lanes2(x, y, 6);
  else
#endif
    for (int i = 0; i < 6; ++i) y[i] = psin(x[i]);
  return {y[0], y[1], y[2], y[3], y[4], y[5]};
}

Ellipsoid Ellipsoid::from_profile(uint64_t a_um, uint64_t inv_f_nano) {
  Ellipsoid el;
  el.a = static_cast<double>(a_um) / 1e6;
  el.f = 1 / (static_cast<double>(inv_f_nano) / 1e9);
  el.e = std::sqrt(el.f * (2 - el.f));
  double e = el.e;
  el.r_auth = e == 0 ? el.a
                     : el.a * std::sqrt((1 - (1 - e * e) / (2 * e) * plog((1 - e) / (1 + e))) * 0.5);
  return el;
}

namespace {

// Numerators over denominators, row k holding the powers n^(k+1) .. n^6.
constexpr double kForward[6][6] = {
    {-4.0 / 3, -4.0 / 45, 88.0 / 315, 538.0 / 4725, 20824.0 / 467775, -44732.0 / 2837835},
    {34.0 / 45, 8.0 / 105, -2482.0 / 14175, -37192.0 / 467775, -12467764.0 / 212837625},
    {-1532.0 / 2835, -898.0 / 14175, 54968.0 / 467775, 100320856.0 / 1915538625},
    {6007.0 / 14175, 24496.0 / 467775, -5884124.0 / 70945875},
    {-23356.0 / 66825, -839792.0 / 19348875},
    {570284222.0 / 1915538625},
};
constexpr double kInverse[6][6] = {
    {4.0 / 3, 4.0 / 45, -16.0 / 35, -2582.0 / 14175, 60136.0 / 467775, 28112932.0 / 212837625},
    {46.0 / 45, 152.0 / 945, -11966.0 / 14175, -21016.0 / 51975, 251310128.0 / 638512875},
    {3044.0 / 2835, 3802.0 / 14175, -94388.0 / 66825, -8797648.0 / 10945935},
    {6059.0 / 4725, 41072.0 / 93555, -1472637812.0 / 638512875},
    {768272.0 / 467775, 455935736.0 / 638512875},
    {4210684958.0 / 1915538625},
};

}  // namespace

std::array<double, 6> auth_lat_coefficients(bool inverse, double n) {
  const auto& table = inverse ? kInverse : kForward;
  std::array<double, 6> c{};
  double power = n;  // n^(k+1), the lowest power of row k
  for (int k = 0; k < 6; ++k) {
    int terms = 6 - k;
    double acc = table[k][terms - 1];
    for (int i = terms - 2; i >= 0; --i) acc = acc * n + table[k][i];
    c[k] = acc * power;
    power *= n;
  }
  return c;
}

namespace {

// Geodetic to authalic latitude in closed form, for flattenings the series
// does not reach.
double closed_form(double lat, double e) {
  double s = psin(lat);
  double one_e2 = 1 - e * e;
  double es = e * s;
  double q = one_e2 * s / (1 - es * es) - one_e2 / (2 * e) * plog((1 - es) / (1 + es));
  double qp = 1 - one_e2 / (2 * e) * plog((1 - e) / (1 + e));
  double t = q / qp;
  // Rounding can push the ratio just past 1 at the poles.
  if (std::fabs(t) > 1) t = std::copysign(1.0, t);
  return pasin(t);
}

// Doubles in their numeric order as integers (both zeros at 0), so that a
// bisection over them ends on neighbouring doubles.
int64_t order_key(double v) {
  int64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return bits < 0 ? std::numeric_limits<int64_t>::min() - bits : bits;
}

double from_order_key(int64_t k) {
  int64_t bits = k < 0 ? std::numeric_limits<int64_t>::min() - k : k;
  double v;
  std::memcpy(&v, &bits, sizeof v);
  return v;
}

// The geodetic latitude whose closed-form authalic latitude is nearest `beta`.
// The forward map is monotone, so bisection over the doubles inverts it to the
// last bit, where no series would. Negative latitudes go through the mirrored
// map, so that where the forward map is flat (at the poles, around 0) the
// result is the latitude farthest from the equator, the pole itself at a pole.
double closed_form_inverse(double beta, double e) {
  constexpr double kHalfPi = 1.5707963267948966;
  if (!(std::fabs(beta) <= kHalfPi) || beta == 0) return beta;
  double sign = beta < 0 ? -1 : 1, target = std::fabs(beta);
  auto image = [&](int64_t k) { return sign * closed_form(sign * from_order_key(k), e); };
  // The last latitude in [0, pi/2] whose image is at most the target.
  int64_t lo = 0, hi = order_key(kHalfPi);
  while (lo < hi) {
    int64_t mid = lo + (hi - lo + 1) / 2;
    if (image(mid) <= target) lo = mid;
    else hi = mid - 1;
  }
  if (lo < order_key(kHalfPi) && image(lo + 1) - target < target - image(lo)) ++lo;
  return sign * from_order_key(lo);
}

}  // namespace

double auth_lat(bool inverse, double lat, double e) {
  if (e == 0) return lat;
  double b = std::sqrt(1 - e * e);
  if (std::fabs(1 - b) > 1.0 / 150) return inverse ? closed_form_inverse(lat, e) : closed_form(lat, e);
  double n = (1 - b) / (1 + b);
  std::array<double, 6> c = auth_lat_coefficients(inverse, n);
  std::array<double, 6> s = psin_multiples(lat);
  double sum = c[0] * s[0];
  sum += c[1] * s[1];
  sum += c[2] * s[2];
  sum += c[3] * s[3];
  sum += c[4] * s[4];
  sum += c[5] * s[5];
  return lat + sum;
}

}  // namespace zarel::geo
