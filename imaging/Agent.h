#pragma once

#include <QMutex>
#include <QThread>
#include <atomic>

// Base of the worker threads that split one job by fixed interleaving: agent
// `index` of `count` takes items index, index + count, index + 2 * count, ...
// The controller owns the mutex and the counter and keeps them alive until
// every agent of the group has finished.
class Agent : public QThread {
    Q_OBJECT
public:
    Agent(QMutex *mutex, int *counter, int index, int count);

    // Asks the thread to stop before its next item; does not wait.
    void stopRunning();

protected:
    QMutex *mutex;                   // shared by the group and its controller
    std::atomic<bool> keepRunning;   // written by the controller, read by the agent
    int *counter;                    // guarded by mutex; finished items of the group
    int index;
    int count;
};
