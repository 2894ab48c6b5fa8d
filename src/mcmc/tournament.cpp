#include "mcmc/tournament.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <utility>
#include <vector>

#include "mcmc/chain.h"
#include "mcmc/threads.h"
#include "stats/mdl.h"

namespace vasq {

namespace {

// A rank within this Euclidean distance of a chosen elite is passed over.
constexpr double kEliteSeparation = 0.1;

// Runs chain(c) into slot c for c = 0 ... n - 1, in parallel. The table is sized before the
// region and never moves; a worker's exception must not leave the region (it would
// terminate the process), so it is kept per slot and the lowest chain's is rethrown on the
// calling thread. A negative n throws std::length_error when the table is created.
template <typename Chain> std::vector<ChainResult> run_chains(int n, const Chain& chain) {
  std::vector<ChainResult> table(static_cast<std::size_t>(n));
  std::vector<std::exception_ptr> failures(table.size());
  parallel_for(n, [&](int c) {
    try {
      table[c] = chain(c);
    } catch (...) {
      failures[c] = std::current_exception();
    }
  });
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
  return table;
}

std::vector<ChainResult> run_warmup(const TournamentMCMC& config, const ChainEnergy& energy) {
  return run_chains(config.n_chains, [&](int c) { return warmup_chain(c, config, energy); });
}

Vector energies_of(const std::vector<ChainResult>& chains) {
  Vector E(static_cast<Index>(chains.size()));
  for (std::size_t c = 0; c < chains.size(); ++c) E[static_cast<Index>(c)] = chains[c].energy;
  return E;
}

// Ascending energy, ties in chain order.
void rank_by_energy(std::vector<ChainResult>& chains) {
  std::stable_sort(chains.begin(), chains.end(),
                   [](const ChainResult& a, const ChainResult& b) { return a.energy < b.energy; });
}

// A NaN distance counts as far; an empty vector is at distance 0.
bool near_any(const Vector& beta, const std::vector<ChainResult>& elites) {
  for (const ChainResult& elite : elites)
    if ((beta - elite.beta).norm() <= kEliteSeparation) return true;
  return false;
}

// Rank 0, then each later rank not near an earlier elite, until n_elite; then fill up with
// ranks k, k + 1, ... from k = the count so far, which may repeat a rank already chosen.
// Returns max(1, min(n_elite, ranked.size())) copies; `ranked` must not be empty.
std::vector<ChainResult> select_elites(const std::vector<ChainResult>& ranked, int n_elite) {
  const std::size_t target = static_cast<std::size_t>(std::max(n_elite, 1));
  std::vector<ChainResult> elites{ranked[0]};
  for (std::size_t i = 1; i < ranked.size() && elites.size() < target; ++i)
    if (!near_any(ranked[i].beta, elites)) elites.push_back(ranked[i]);
  for (std::size_t k = elites.size(); k < target && k < ranked.size(); ++k)
    elites.push_back(ranked[k]);
  return elites;
}

// The deep phase is defined as one sequence: elite after elite, n_deep steps each, under one
// temperature that starts at T0 and is multiplied by 0.9997 after every step. Entry j is
// that temperature as elite j begins, formed by the same multiplications, so that the deep
// chains can run at once.
std::vector<double> deep_start_temperatures(double T0, std::size_t n_elites, int n_deep) {
  std::vector<double> starts(n_elites);
  double T = T0;
  for (double& start : starts) {
    start = T;
    for (int s = 0; s < n_deep; ++s) T = T * 0.9997;
  }
  return starts;
}

// Deep chain of elite j (engine seed + 13 j + 7777 mod 2^64, proposal sigma 0.3 step_size)
// from the elite's stored state at temperature T. Returns the first state after a step whose
// energy is below every earlier one, or energy +inf with an empty vector when no state is
// below +inf: such a state could not replace a best state anyway.
ChainResult deep_chain_minimum(int j, ChainResult cur, double T, const TournamentMCMC& config,
                               const ChainEnergy& energy) {
  Engine engine(config.seed + std::uint64_t{13} * static_cast<std::uint64_t>(j) +
                std::uint64_t{7777});
  NormalSampler proposal_sampler(0.0, 0.3 * config.step_size);
  ChainBuffers buffers(energy);
  ChainResult minimum{Vector(), std::numeric_limits<double>::infinity()};
  for (int s = 0; s < config.n_deep; ++s) {
    metropolis_step(cur, T, proposal_sampler, engine, energy, buffers);
    if (minimum.energy > cur.energy) minimum = cur;
    T = T * 0.9997;
  }
  return minimum;
}

// The state a sequential deep phase keeps: starting from elite 0, each chain's minimum in
// elite order replaces the best only when strictly lower (never a NaN, never a tie).
ChainResult first_minimum(ChainResult best, const std::vector<ChainResult>& minima) {
  for (const ChainResult& minimum : minima)
    if (best.energy > minimum.energy) best = minimum;
  return best;
}

// One deep chain from each elite, in parallel, each at the temperature the sequential phase
// would have reached.
ChainResult refine(const std::vector<ChainResult>& elites, double T0, const TournamentMCMC& config,
                   const ChainEnergy& energy) {
  const std::vector<double> T = deep_start_temperatures(T0, elites.size(), config.n_deep);
  const std::vector<ChainResult> minima = run_chains(static_cast<int>(elites.size()), [&](int j) {
    return deep_chain_minimum(j, elites[j], T[j], config, energy);
  });
  return first_minimum(elites[0], minima);
}

} // namespace

MCMCResult TournamentMCMC::fit(const Matrix& X, const Vector& y, const Matrix* R1, const Matrix* R2,
                               double gamma1, double gamma2) const {
  require(n_chains != 0, "n_chains < 1");
  // ln(2H) of H < 1 is -inf or NaN: every energy would be meaningless.
  require(H_piH >= 1, "H_piH < 1");
  require(y.size() == X.rows(), kDimensionMismatch);
  const PenaltySet penalties{R1, R2, gamma1, gamma2};
  check_penalty_shapes(penalties, X.cols());

  const ChainEnergy energy(X, y, penalties, H_piH, hit_tolerance(y));
  std::vector<ChainResult> chains = run_warmup(*this, energy);
  const GibbsResult G = gibbs_entropy(energies_of(chains), 1.0);
  rank_by_energy(chains);
  ChainResult best = refine(select_elites(chains, n_elite), 0.5 * G.r_heat, *this, energy);
  return {std::move(best.beta), best.energy, G, n_chains, n_elite};
}

} // namespace vasq
