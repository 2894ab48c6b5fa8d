#include "mcmc/threads.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <pthread.h>
#include <thread>

#include <omp.h>

namespace vasq {

namespace {

// A helper that finds no loop for this long ends: under a limit on the user's processes its
// slot goes back to the user's own threads, while loops that follow one another keep it.
constexpr std::chrono::milliseconds kIdle{50};

// The helpers and the loop they serve. One loop runs at a time; a loop that finds the pool
// taken (from another thread, or nested in a loop's body) runs on its calling thread.
struct Pool {
  std::atomic<bool> taken{false};
  std::mutex lock;
  std::condition_variable posted, finished;
  int live = 0;    // helpers started and not ended
  int slots = 0;   // helpers the open loop still takes
  int running = 0; // helpers in the loop's body
  const std::function<void(int)>* body = nullptr;
  int n = 0;
  // Each thread draws once past n before it stops; 64 bits keep the draws from wrapping.
  std::atomic<std::int64_t> next{0};

  void work(const std::function<void(int)>& f, int count) {
    for (std::int64_t i = next.fetch_add(1); i < count; i = next.fetch_add(1))
      f(static_cast<int>(i));
  }

  void serve() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
      if (!posted.wait_for(guard, kIdle, [&] { return slots > 0; })) {
        --live;
        return;
      }
      --slots, ++running;
      const std::function<void(int)>& f = *body;
      const int count = n;
      guard.unlock();
      work(f, count);
      guard.lock();
      if (--running == 0) finished.notify_one();
    }
  }
};

// The pool of this process. The helpers do not survive a fork: the child starts a pool of
// its own and leaves the parent's (and whatever state its lock was in) unused.
Pool* current = nullptr;
// The parent's pool in a forked child, kept reachable rather than destroyed in an unknown state.
Pool* parents = nullptr;
std::once_flag registered;

Pool& pool() {
  std::call_once(registered, [] {
    current = new Pool();
    pthread_atfork(nullptr, nullptr, [] {
      parents = current;
      current = new Pool();
    });
  });
  return *current;
}

} // namespace

void parallel_for(int n, const std::function<void(int)>& body) {
  const int helpers = std::min(omp_get_max_threads(), n) - 1;
  Pool& p = pool();
  bool expected = false;
  if (helpers <= 0 || !p.taken.compare_exchange_strong(expected, true)) {
    for (int i = 0; i < n; ++i) body(i);
    return;
  }
  {
    std::unique_lock<std::mutex> guard(p.lock);
    while (p.live < helpers) {
      // std::thread reports a failed pthread_create (EAGAIN) as std::system_error, and its
      // shared state may fail to allocate: the helpers there are take the work, and the pool
      // is not left taken.
      try {
        std::thread(&Pool::serve, &p).detach();
      } catch (const std::exception&) {
        break;
      }
      ++p.live;
    }
    p.body = &body, p.n = n;
    p.next.store(0);
    p.slots = std::min(p.live, helpers);
  }
  p.posted.notify_all();
  p.work(body, n);
  {
    std::unique_lock<std::mutex> guard(p.lock);
    // Every index is drawn: helpers not yet in take no part.
    p.slots = 0;
    p.finished.wait(guard, [&] { return p.running == 0; });
  }
  p.taken.store(false);
}

} // namespace vasq
