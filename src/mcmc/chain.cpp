#include "mcmc/chain.h"

#include <cmath>
#include <cstdint>

#include "stats/mdl.h"

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
    : X_(X), y_(y), penalties_(penalties), k_(static_cast<int>(X.cols())), H_(H), eps_(eps) {}

double ChainEnergy::operator()(const Vector& beta, Vector& yp) const {
  yp.noalias() = X_ * beta;
  return mdl_score_core(yp, y_, k_, H_, eps_, &beta, &penalties_);
}

void metropolis_step(ChainResult& state, double T, NormalSampler& proposal_sampler, Engine& engine,
                     const ChainEnergy& energy, ChainBuffers& buffers) {
  Vector& proposal = buffers.proposal;
  proposal = state.beta;
  for (Index j = 0; j < proposal.size(); ++j) proposal[j] = proposal[j] + proposal_sampler(engine);
  const double Ep = energy(proposal, buffers.yp);
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
  state.energy = energy(state.beta, buffers.yp);
  NormalSampler proposal_sampler(0.0, config.step_size);
  double T = 2.0;
  for (int s = 0; s < config.n_warmup; ++s) {
    metropolis_step(state, T, proposal_sampler, engine, energy, buffers);
    T = T * 0.995;
  }
  return state;
}

} // namespace vasq
