#pragma once

#include <ctime>

// CPU time of all the process's threads: on a shared machine other programs
// stretch the wall-clock figures far more than this one.
inline double CpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}
