// Two threads write one counter with no lock between them. The
// ThreadSanitizer pass runs this and must report the race; if it does not,
// the pass has gone blind and says so by failing. The writer is a QThread
// subclass like the program's own workers, and the program links the same
// core library as the tests.

#include <QThread>
#include <atomic>
#include <cstdio>

namespace {
volatile int unguardedCounter = 0;
// Relaxed, so meeting here orders nothing for the sanitizer: it only makes
// the two threads write at the same time.
std::atomic<int> arrived{0};

void Hammer()
{
    arrived.fetch_add(1, std::memory_order_relaxed);
    while (arrived.load(std::memory_order_relaxed) < 2) {}
    for (int i = 0; i < 100000; ++i)
        unguardedCounter = unguardedCounter + 1;
}

class Racer : public QThread {
protected:
    void run() override { Hammer(); }
};
}   // namespace

int main()
{
    Racer writer;
    writer.start();
    Hammer();
    writer.wait();
    std::printf("counter %d\n", unguardedCounter);
    return 0;
}
