#include "mcmc/tournament.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <utility>
#include <vector>

#include "mcmc/chain.h"
#include "mcmc/threads.h"
#include "stats/mdl.h"

namespace vasq {

namespace {

// A rank within this Euclidean distance of a chosen elite is passed over.
constexpr double kEliteSeparation = 0.1;

// Runs warm-up chain c into slot c, in parallel. The table is sized before the region and
// never moves; a worker's exception must not leave the region (it would terminate the
// process), so it is kept per slot and the lowest chain's is rethrown on the calling thread.
// A negative n_chains throws std::length_error when the table is created.
std::vector<ChainResult> run_warmup(const TournamentMCMC& config, const ChainEnergy& energy) {
  const int n_chains = config.n_chains;
  std::vector<ChainResult> table(static_cast<std::size_t>(n_chains));
  std::vector<std::exception_ptr> failures(table.size());
#pragma omp parallel for schedule(dynamic, 1) num_threads(openmp_team_size())
  for (int c = 0; c < n_chains; ++c) {
    try {
      table[c] = warmup_chain(c, config, energy);
    } catch (...) {
      failures[c] = std::current_exception();
    }
  }
  for (const std::exception_ptr& failure : failures)
    if (failure) std::rethrow_exception(failure);
  return table;
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

// Deep chain j from each elite in turn (engine seed + 13 j + 7777 mod 2^64, proposal sigma
// 0.3 step_size), one temperature carried across all of them and multiplied by 0.9997 after
// every step. Returns the lowest-energy state visited, starting from elite 0; an equal
// energy does not replace it.
ChainResult refine(std::vector<ChainResult> elites, double T, const TournamentMCMC& config,
                   const ChainEnergy& energy) {
  ChainResult best = elites[0];
  for (std::size_t j = 0; j < elites.size(); ++j) {
    Engine engine(config.seed + std::uint64_t{13} * j + std::uint64_t{7777});
    NormalSampler proposal_sampler(0.0, 0.3 * config.step_size);
    ChainBuffers buffers(energy);
    ChainResult& cur = elites[j];
    for (int s = 0; s < config.n_deep; ++s) {
      metropolis_step(cur, T, proposal_sampler, engine, energy, buffers);
      if (best.energy > cur.energy) best = cur;
      T = T * 0.9997;
    }
  }
  return best;
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
