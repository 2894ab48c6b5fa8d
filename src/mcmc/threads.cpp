#include "mcmc/threads.h"

#include <algorithm>
#include <atomic>
#include <pthread.h>
#include <vector>

#include <omp.h>

namespace vasq {

namespace {

std::atomic<bool> team_started{false};
std::atomic<bool> forked_after_team{false};

void after_fork_in_child() {
  if (team_started.load()) forked_after_team.store(true);
}

// Registered when the library is loaded, so that every later fork is seen.
const bool fork_handler_registered = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;

// Each thread that starts parallel regions has its own pool of workers; once started they
// are reused, so only a larger team than any before creates threads.
thread_local int started_team_size = 1;

void* idle(void*) {
  return nullptr;
}

// Creates up to `wanted` threads with the runtime's default attributes and joins them; the
// number created is how many the runtime can create now. Their stacks are cached by the
// C library for the runtime's threads that follow.
int creatable_threads(int wanted) {
  std::vector<pthread_t> threads(static_cast<std::size_t>(wanted));
  int created = 0;
  while (created < wanted && pthread_create(&threads[created], nullptr, idle, nullptr) == 0)
    ++created;
  for (int t = 0; t < created; ++t) pthread_join(threads[t], nullptr);
  return created;
}

} // namespace

int openmp_team_size() {
  if (forked_after_team.load() || !fork_handler_registered) return 1;
  const int wanted = omp_get_max_threads();
  if (wanted > started_team_size)
    started_team_size = std::max(started_team_size, 1 + creatable_threads(wanted - 1));
  const int size = std::min(wanted, started_team_size);
  if (size > 1) team_started.store(true);
  return size;
}

} // namespace vasq
