#pragma once

#include <cstddef>
#include <functional>

// Runs job(0) to job(count - 1), each once, on the caller's thread and up to
// threads - 1 helper threads started for the call, and returns when all have
// run. Jobs must not depend on each other's order.
void RunJobs(size_t count, int threads, const std::function<void(size_t)> &job);
