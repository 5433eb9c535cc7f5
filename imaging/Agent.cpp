#include "imaging/Agent.h"

Agent::Agent(QMutex *mutex, int *counter, int index, int count)
    : mutex(mutex), keepRunning(true), counter(counter), index(index), count(count)
{}

void Agent::stopRunning()
{
    keepRunning.store(false, std::memory_order_relaxed);
}
