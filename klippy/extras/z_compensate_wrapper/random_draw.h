// Uniform draws for the procedures' random points and strokes.
#pragma once

#include <cstdint>

namespace zcomp {

// SplitMix64: one word of state, so that seeding it from the clock on every
// wipe costs nothing (a Mersenne Twister fills 312 words), and draws well
// spread over the whole 64-bit range from consecutive seeds.
class RandomSource {
 public:
  // The step by which each draw advances the state.
  static constexpr std::uint64_t kStep = 0x9E3779B97F4A7C15u;
  explicit RandomSource(std::uint64_t seed) : state_(seed) {}
  void seed(std::uint64_t seed) { state_ = seed; }
  std::uint64_t operator()() {
    std::uint64_t z = (state_ += kStep);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

// The seed of set of draws `number` under one fixed seed: the source's own
// draw at that position, so that consecutive sets start at unrelated states
// rather than one draw apart in the same sequence.
inline std::uint64_t numbered_seed(std::uint64_t seed, std::uint64_t number) {
  RandomSource at_position(seed + number * RandomSource::kStep);
  return at_position();
}

// A real drawn uniformly between two bounds given in either order (a negative
// span is fine): bound_a + (bound_b - bound_a) * u with u in [0, 1).
inline double uniform_between(RandomSource& generator, double bound_a, double bound_b) {
  // The top 53 bits fill a double's mantissa exactly, so u never reaches 1.
  const double u = static_cast<double>(generator() >> 11) * 0x1.0p-53;
  return bound_a + (bound_b - bound_a) * u;
}

}  // namespace zcomp
