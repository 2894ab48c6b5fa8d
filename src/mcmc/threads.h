// A parallel loop that runs on whatever threads can be started.
#pragma once

#include <functional>

namespace vasq {

// Calls body(i) once for every i in [0, n), in parallel: each thread takes the next index
// when it is free (a dynamic schedule with chunks of 1). The team is the calling thread and
// up to the OpenMP runtime's default team size less one helpers of a pool that outlives the
// call: loops that follow one another start no threads. A helper that cannot be started (a
// process-count limit such as RLIMIT_NPROC, too little address space for its stack) leaves
// its share to the others, where the runtime would end the process; one idle for 50 ms ends,
// giving its slot back. A loop that finds the pool serving another (a second caller, or a
// loop nested in a body) runs on its calling thread: the cores are busy already. A forked
// child starts a pool of its own. `body` must not throw; results must not depend on which
// thread runs an index.
void parallel_for(int n, const std::function<void(int)>& body);

} // namespace vasq
