// Random streams of the sampler: each chain owns one engine; deviates are defined to the bit.
#pragma once

#include <cstdint>
#include <random>

namespace vasq {

// MT19937-64, seeded with one 64-bit value by the standard seeding rule.
using Engine = std::mt19937_64;

// The top 53 bits of the next engine output as a fraction: (w >> 11) * 2^-53, in [0, 1).
inline double uniform(Engine& engine) {
  return static_cast<double>(engine() >> 11) * 0x1.0p-53;
}

// Normal deviates mu + sigma * z by the polar method: each accepted pair of uniforms gives
// two standard deviates, the first returned and the second cached for the next call. The
// sampler draws from whichever engine it is handed; the cache belongs to the sampler.
class NormalSampler {
 public:
  NormalSampler(double mu, double sigma) : mu_(mu), sigma_(sigma) {}

  double operator()(Engine& engine);

 private:
  double mu_;
  double sigma_;
  bool has_cached_ = false;
  double cached_ = 0.0;
};

} // namespace vasq
