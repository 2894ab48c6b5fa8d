// A parallel loop that runs on whatever threads can be started.
#pragma once

#include <functional>

namespace vasq {

// Calls body(i) once for every i in [0, n), in parallel: each thread takes the next index
// when it is free (a dynamic schedule with chunks of 1). The team is the calling thread and
// up to the OpenMP runtime's default team size less one threads started for this call; a
// thread that cannot be started (a process-count limit such as RLIMIT_NPROC, too little
// address space for its stack) leaves its share to the others, where the runtime would end
// the process. Threads live for one call, so a fork never leaves the loop waiting for a
// thread the child does not have. `body` must not throw; results must not depend on which
// thread runs an index.
void parallel_for(int n, const std::function<void(int)>& body);

} // namespace vasq
