// Two threads write one counter with no lock between them. The
// ThreadSanitizer pass runs this and must report the race; if it does not,
// the pass has gone blind and says so by failing.

#include <QThread>
#include <cstdio>

static int unguardedCounter = 0;

int main()
{
    QThread *writer = QThread::create([] {
        for (int i = 0; i < 1000; ++i)
            ++unguardedCounter;
    });
    writer->start();
    for (int i = 0; i < 1000; ++i)
        ++unguardedCounter;
    writer->wait();
    delete writer;
    std::printf("counter %d\n", unguardedCounter);
    return 0;
}
