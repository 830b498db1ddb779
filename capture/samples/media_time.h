#pragma once

#include <compare>
#include <cstdint>

namespace rezoro::capture {

// A rational media time: value / timescale seconds. Arithmetic is exact wherever the result fits
// (times are brought to the least common multiple of their timescales); a comparison is exact for
// any two valid times. An invalid time (the default) compares below every valid one and poisons
// arithmetic.
struct MediaTime {
  int64_t value = 0;
  int32_t timescale = 0;
  uint32_t flags = 0;

  static constexpr uint32_t kValid = 1u << 0;
  static constexpr uint32_t kHasBeenRounded = 1u << 1;

  static constexpr MediaTime invalid() { return {}; }
  static constexpr MediaTime make(int64_t value, int32_t timescale) {
    return timescale > 0 ? MediaTime{value, timescale, kValid} : MediaTime{};
  }
  // The time nearest `seconds` on `timescale` (halves away from zero); invalid for a non-finite
  // number, a timescale below 1, or a result that does not fit.
  static MediaTime fromSeconds(double seconds, int32_t timescale);

  bool isValid() const { return (flags & kValid) != 0 && timescale > 0; }
  double seconds() const;

  // The same instant on another timescale, rounded half away from zero when it is not exact.
  MediaTime convertedTo(int32_t newTimescale) const;

  friend MediaTime operator+(const MediaTime& a, const MediaTime& b);
  friend MediaTime operator-(const MediaTime& a, const MediaTime& b);
  friend std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b);
  friend bool operator==(const MediaTime& a, const MediaTime& b) { return (a <=> b) == 0; }
};

inline MediaTime minimum(const MediaTime& a, const MediaTime& b) { return b < a ? b : a; }
inline MediaTime maximum(const MediaTime& a, const MediaTime& b) { return a < b ? b : a; }

// Seconds since an arbitrary fixed point on the monotonic clock (CLOCK_MONOTONIC).
double hostTimeSeconds();

}  // namespace rezoro::capture
