#include "mcmc/chain.h"

#include <cmath>
#include <cstdint>

#include "mcmc/hits.h"
#include "stats/mdl.h"
#include "stats/robust.h"

namespace vasq {

namespace {

// Metropolis rule: a strictly lower energy is accepted without a uniform; otherwise one
// uniform U is drawn and exp(min((E - Ep) / T, 0)) > U decides, the min giving 0 for NaN.
bool accepts(double E, double Ep, double T, Engine& engine) {
  if (E > Ep) return true;
  const double q = (E - Ep) / T;
  const double a = q < 0.0 ? q : 0.0;
  return std::exp(a) > uniform(engine);
}

Vector random_start(Index p, Engine& engine) {
  NormalSampler start(0.0, 0.5);
  Vector beta(p);
  for (Index i = 0; i < p; ++i) beta[i] = start(engine);
  return beta;
}

} // namespace

ChainEnergy::ChainEnergy(const Matrix& X, const Vector& y, const PenaltySet& penalties, int H,
                         double eps)
    : X_(X), y_(y), penalties_(penalties), eps_(eps), n_(static_cast<double>(y.size())),
      model_(mdl_model_term(static_cast<int>(X.cols()), H, n_)) {}

// From 128 columns on, Eigen's matrix-vector product sums each row in blocks of columns;
// below, each row is one sum in column order, as the fused kernel forms it.
bool ChainEnergy::stores_prediction() const {
  return p() >= 128;
}

double ChainEnergy::success_rate_of(const Vector& beta, Vector& yp) const {
  if (!stores_prediction()) {
    const std::ptrdiff_t hits = count_hits(X_.data(), m(), p(), beta.data(), y_.data(), eps_);
    return success_rate(static_cast<double>(hits), n_);
  }
  yp.noalias() = X_ * beta;
  return compute_sr(yp, y_, eps_);
}

double ChainEnergy::operator()(const Vector& beta, ChainBuffers& buffers) const {
  return mdl_score_of_rate(model_, success_rate_of(beta, buffers.yp), n_, &beta, &penalties_,
                           buffers.Rbeta);
}

void metropolis_step(ChainResult& state, double T, NormalSampler& proposal_sampler, Engine& engine,
                     const ChainEnergy& energy, ChainBuffers& buffers) {
  Vector& proposal = buffers.proposal;
  proposal = state.beta;
  for (Index j = 0; j < proposal.size(); ++j) proposal[j] = proposal[j] + proposal_sampler(engine);
  const double Ep = energy(proposal, buffers);
  if (accepts(state.energy, Ep, T, engine)) {
    // Swap instead of copy: the old vector becomes the buffer the next proposal overwrites.
    state.beta.swap(proposal);
    state.energy = Ep;
  }
}

ChainResult warmup_chain(int c, const TournamentMCMC& config, const ChainEnergy& energy) {
  Engine engine(config.seed + std::uint64_t{1000} * static_cast<std::uint64_t>(c));
  ChainBuffers buffers(energy);
  ChainResult state{random_start(energy.p(), engine), 0.0};
  state.energy = energy(state.beta, buffers);
  NormalSampler proposal_sampler(0.0, config.step_size);
  double T = 2.0;
  for (int s = 0; s < config.n_warmup; ++s) {
    metropolis_step(state, T, proposal_sampler, engine, energy, buffers);
    T = T * 0.995;
  }
  return state;
}

} // namespace vasq
