// How many threads the next OpenMP parallel region of the calling thread may use.
#pragma once

namespace vasq {

// The runtime's default team size, reduced to 1 in a process forked after a parallel region
// ran (the runtime's thread pool does not survive a fork, and its next region would wait for
// threads that no longer exist), and to the threads that can be created now when the region
// needs more threads than the calling thread's pool has started (the runtime ends the process
// when thread creation fails). Results must not depend on it. Use as `num_threads(...)`.
int openmp_team_size();

} // namespace vasq
