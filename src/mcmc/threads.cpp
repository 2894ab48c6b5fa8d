#include "mcmc/threads.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

#include <omp.h>

namespace vasq {

void parallel_for(int n, const std::function<void(int)>& body) {
  // Each thread draws once past n before it stops; 64 bits keep the draws from wrapping.
  std::atomic<std::int64_t> next{0};
  const auto work = [&] {
    for (std::int64_t i = next.fetch_add(1); i < n; i = next.fetch_add(1))
      body(static_cast<int>(i));
  };
  const int helpers = std::min(omp_get_max_threads(), n) - 1;
  std::vector<std::thread> team;
  team.reserve(static_cast<std::size_t>(std::max(helpers, 0)));
  for (int t = 0; t < helpers; ++t) {
    // std::thread reports a failed pthread_create (EAGAIN) as std::system_error.
    try {
      team.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  work();
  for (std::thread& thread : team) thread.join();
}

} // namespace vasq
