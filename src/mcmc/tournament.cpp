#include "mcmc/tournament.h"

#include <stdexcept>

namespace vasq {

MCMCResult TournamentMCMC::fit(const Matrix&, const Vector&, const Matrix*, const Matrix*, double,
                               double) const {
  throw std::logic_error("placeholder");
}

} // namespace vasq
