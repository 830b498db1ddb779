#include "capture/samples/media_time.h"

#include <time.h>

#include <cmath>
#include <limits>
#include <numeric>

namespace rezoro::capture {
namespace {

using Wide = __int128;

constexpr Wide kMax = std::numeric_limits<int64_t>::max();
constexpr Wide kMin = std::numeric_limits<int64_t>::min();

// value × numerator / denominator rounded half away from zero, with the rounding reported.
Wide scaled(Wide value, Wide numerator, Wide denominator, bool& rounded) {
  const Wide product = value * numerator;
  Wide quotient = product / denominator;
  const Wide remainder = product % denominator;
  rounded = remainder != 0;
  const Wide twice = (remainder < 0 ? -remainder : remainder) * 2;
  if (twice >= denominator) quotient += product < 0 ? -1 : 1;
  return quotient;
}

MediaTime combine(const MediaTime& a, const MediaTime& b, int sign) {
  if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
  const int64_t common = std::lcm<int64_t, int64_t>(a.timescale, b.timescale);
  int32_t timescale;
  Wide av, bv;
  bool roundedA = false, roundedB = false;
  if (common <= std::numeric_limits<int32_t>::max()) {
    timescale = static_cast<int32_t>(common);
    av = static_cast<Wide>(a.value) * (common / a.timescale);
    bv = static_cast<Wide>(b.value) * (common / b.timescale);
  } else {
    timescale = std::max(a.timescale, b.timescale);
    av = scaled(a.value, timescale, a.timescale, roundedA);
    bv = scaled(b.value, timescale, b.timescale, roundedB);
  }
  const Wide sum = av + sign * bv;
  if (sum > kMax || sum < kMin) return MediaTime::invalid();
  MediaTime out = MediaTime::make(static_cast<int64_t>(sum), timescale);
  if (roundedA || roundedB || ((a.flags | b.flags) & MediaTime::kHasBeenRounded)) {
    out.flags |= MediaTime::kHasBeenRounded;
  }
  return out;
}

}  // namespace

MediaTime MediaTime::fromSeconds(double seconds, int32_t timescale) {
  if (!std::isfinite(seconds) || timescale < 1) return invalid();
  const double value = std::round(seconds * timescale);
  if (value >= 9.2233720368547758e18 || value < -9.2233720368547758e18) return invalid();
  MediaTime out = make(static_cast<int64_t>(value), timescale);
  if (value != seconds * timescale) out.flags |= kHasBeenRounded;
  return out;
}

double MediaTime::seconds() const {
  if (!isValid()) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(value) / static_cast<double>(timescale);
}

MediaTime MediaTime::convertedTo(int32_t newTimescale) const {
  if (!isValid() || newTimescale < 1) return invalid();
  bool rounded = false;
  const Wide converted = scaled(value, newTimescale, timescale, rounded);
  if (converted > kMax || converted < kMin) return invalid();
  MediaTime out = make(static_cast<int64_t>(converted), newTimescale);
  if (rounded || (flags & kHasBeenRounded)) out.flags |= kHasBeenRounded;
  return out;
}

MediaTime operator+(const MediaTime& a, const MediaTime& b) { return combine(a, b, +1); }
MediaTime operator-(const MediaTime& a, const MediaTime& b) { return combine(a, b, -1); }

std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
  const bool av = a.isValid(), bv = b.isValid();
  if (!av || !bv) return av <=> bv;
  // Cross-multiplication in 128 bits is exact for any pair of 64-bit values and 32-bit timescales.
  return static_cast<Wide>(a.value) * b.timescale <=> static_cast<Wide>(b.value) * a.timescale;
}

double hostTimeSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace rezoro::capture
