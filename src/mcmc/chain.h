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

struct ChainBuffers;

// The MDL energy of a coefficient vector for one fit. Refers to the fit's X (m x p), y
// (length m) and penalty matrices, which must outlive it; shared read-only by all chains.
// Expects y.size() == X.rows() and every applied penalty p x p (the driver checks both).
class ChainEnergy {
 public:
  ChainEnergy(const Matrix& X, const Vector& y, const PenaltySet& penalties, int H, double eps);

  // mdl_score_core of X * beta with k = p, the fit's H, eps and penalties, computed in the
  // chain's own buffers without allocating.
  double operator()(const Vector& beta, ChainBuffers& buffers) const;

  Index m() const { return X_.rows(); }
  Index p() const { return X_.cols(); }
  // Whether X * beta is formed in a buffer by Eigen's product rather than fused with the
  // hit count.
  bool stores_prediction() const;

 private:
  double success_rate_of(const Vector& beta, Vector& yp) const;

  const Matrix& X_;
  const Vector& y_;
  PenaltySet penalties_;
  double eps_;
  double n_;     // number of observations
  double model_; // model part of the score, fixed by p, H and n
};

// Storage a chain owns for its whole life: the proposal (length p), R beta of a penalty
// (length p) and, where the energy stores it, the prediction X * beta (length m).
struct ChainBuffers {
  explicit ChainBuffers(const ChainEnergy& energy)
      : proposal(energy.p()), Rbeta(energy.p()), yp(energy.stores_prediction() ? energy.m() : 0) {}

  Vector proposal;
  Vector Rbeta;
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
