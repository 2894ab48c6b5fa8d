// One Metropolis chain under the MDL energy: the energy, the step and the warm-up chain.
#pragma once

#include "mcmc/random.h"
#include "mcmc/tournament.h"
#include "stats/penalty_set.h"
#include "types.h"

namespace vasq {

// The outcome of one chain, also used as a chain's current state. Copies are deep.
struct ChainResult {
  Vector beta;   // length p
  double energy; // energy of beta
};

// The MDL energy of a coefficient vector for one fit. Refers to the fit's X (m x p), y
// (length m) and penalty matrices, which must outlive it; shared read-only by all chains.
// Expects y.size() == X.rows() and every applied penalty p x p (the driver checks both).
class ChainEnergy {
 public:
  ChainEnergy(const Matrix& X, const Vector& y, const PenaltySet& penalties, int H, double eps);

  // mdl_score_core of X * beta with k = p, the fit's H, eps and penalties. `yp` (length m)
  // receives X * beta, so that a chain evaluates without allocating.
  double operator()(const Vector& beta, Vector& yp) const;

  Index m() const { return X_.rows(); }
  Index p() const { return X_.cols(); }

 private:
  const Matrix& X_;
  const Vector& y_;
  PenaltySet penalties_;
  int k_;
  int H_;
  double eps_;
};

// Storage a chain owns for its whole life: the proposal (length p) and the prediction
// X * beta (length m).
struct ChainBuffers {
  explicit ChainBuffers(const ChainEnergy& energy) : proposal(energy.p()), yp(energy.m()) {}

  Vector proposal;
  Vector yp;
};

// One Metropolis step at temperature T. Reads the engine in this order: p proposal deviates
// (coordinates in order), then one uniform only when the proposal is not strictly lower.
// A proposal with NaN energy, or any proposal from a NaN state, is accepted.
void metropolis_step(ChainResult& state, double T, NormalSampler& proposal_sampler, Engine& engine,
                     const ChainEnergy& energy, ChainBuffers& buffers);

// Warm-up chain c (c >= 0): engine seeded with seed + 1000 c (mod 2^64), a N(0, 0.5) start
// per coordinate, n_warmup steps with proposal sigma step_size, T = 2.0 multiplied by 0.995
// after every step. Returns the last state (the start when n_warmup <= 0).
ChainResult warmup_chain(int c, const TournamentMCMC& config, const ChainEnergy& energy);

} // namespace vasq
