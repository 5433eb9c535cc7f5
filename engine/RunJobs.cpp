#include "engine/RunJobs.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

void RunJobs(size_t count, int threads, const std::function<void(size_t)> &job)
{
    std::atomic<size_t> next = 0;
    const auto work = [&] {
        for (size_t i = next++; i < count; i = next++)
            job(i);
    };
    const size_t helpers = std::min(count, size_t(std::max(threads, 1))) - std::min<size_t>(count, 1);
    std::vector<std::thread> group;
    for (size_t i = 0; i < helpers; ++i)
        group.emplace_back(work);
    work();
    for (std::thread &thread : group)
        thread.join();
}
