#pragma once

// Where a steady tone is in its cycle, for tests and benchmarks that check that a recorded tone
// runs on unbroken (48 kHz samples, on the file's own clock).

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

namespace rezoro::capture::testing {

// The phase, in radians, of a tone of `frequency` over frames [from, until) of `sound`, against the
// file's own clock: the same over any stretch of a tone that runs on unbroken. A least-squares fit,
// good over less than a period and over stretches of no whole number of periods.
inline double tonePhase(const std::vector<float>& sound, size_t from, size_t until, double frequency) {
  const double radiansPerFrame = 2 * std::numbers::pi * frequency / 48000;
  double cc = 0, ss = 0, cs = 0, xc = 0, xs = 0;
  for (size_t k = from; k < until; ++k) {
    const double c = std::cos(radiansPerFrame * static_cast<double>(k)), s = std::sin(radiansPerFrame * static_cast<double>(k));
    cc += c * c, ss += s * s, cs += c * s, xc += sound[k] * c, xs += sound[k] * s;
  }
  const double determinant = cc * ss - cs * cs;
  return std::atan2(-(cc * xs - cs * xc) / determinant, (ss * xc - cs * xs) / determinant);
}

// How far, in frames, a tone of `frequency` moved between two phases (within half a period).
inline double phaseJump(double from, double to, double frequency) {
  return std::abs(std::remainder(to - from, 2 * std::numbers::pi)) / (2 * std::numbers::pi * frequency / 48000);
}

}  // namespace rezoro::capture::testing
