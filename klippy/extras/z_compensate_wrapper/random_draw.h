// Uniform draws for the procedures' random points and strokes.
#pragma once

#include <random>

namespace zcomp {

// A real drawn uniformly between two bounds given in either order (a negative
// span is fine): bound_a + (bound_b - bound_a) * u with u in [0, 1). Built on
// the generator's raw bits because std::uniform_real_distribution is undefined
// for a reversed range.
inline double uniform_between(std::mt19937_64& generator, double bound_a, double bound_b) {
  // The top 53 bits fill a double's mantissa exactly, so u never reaches 1.
  const double u = static_cast<double>(generator() >> 11) * 0x1.0p-53;
  return bound_a + (bound_b - bound_a) * u;
}

}  // namespace zcomp
