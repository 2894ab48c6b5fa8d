// Tournament of annealed Metropolis chains under the MDL energy.
#pragma once

#include <cstdint>

#include "gibbs/gibbs.h"
#include "types.h"

namespace vasq {

struct MCMCResult {
  Vector beta_mcmc;  // lowest-energy coefficient vector found, length p
  double energy;     // its energy
  GibbsResult gibbs; // analysis at T = 1 of the warm-up end energies
  int n_chains;      // configured values, copied
  int n_elite;
};

struct TournamentMCMC {
  int n_chains = 25;
  int n_warmup = 200;
  int n_deep = 2000;
  int n_elite = 5;
  double step_size = 0.05;
  int H_piH = 20;
  std::uint64_t seed = 42;

  // Parallel warm-up, Gibbs analysis, elite selection and parallel deep refinement, with the
  // result of refining the elites one after another.
  // R1/R2 may be null (absent). Throws "n_chains < 1" for n_chains = 0, std::length_error
  // for a negative n_chains, "H_piH < 1", and "Dimension mismatch." for y.size() != X.rows()
  // or an applied penalty that is not p x p, all before any chain runs.
  MCMCResult fit(const Matrix& X, const Vector& y, const Matrix* R1, const Matrix* R2,
                 double gamma1, double gamma2) const;
};

} // namespace vasq
