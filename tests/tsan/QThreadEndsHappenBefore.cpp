// Linked into the ThreadSanitizer build only. Debian's Qt is not built with
// the sanitizer, so it cannot see that a QThread::wait() which returns true
// comes after everything the thread did: when the thread has already ended,
// wait() learns so under Qt's own uninstrumented lock. This tells the
// sanitizer that one ordering and nothing more: a thread announces its end as
// it emits finished(), and a wait() that succeeds takes the announcement in.
// Races between threads that are still running stay as visible as before.

#include <QDeadlineTimer>
#include <QThread>
#include <QVariant>
#include <dlfcn.h>
#include <sanitizer/tsan_interface.h>

namespace {
template <typename Function> Function QtCore(const char *symbol)
{
    return reinterpret_cast<Function>(dlvsym(RTLD_NEXT, symbol, "Qt_6"));
}
}   // namespace

void QThread::start(Priority priority)
{
    static const auto realStart = QtCore<void (*)(QThread *, Priority)>("_ZN7QThread5startENS_8PriorityE");
    static const char announced[] = "kvpTsanAnnouncesEnd";
    if (!property(announced).toBool()) {
        setProperty(announced, true);
        connect(
            this, &QThread::finished, this, [this] { __tsan_release(this); }, Qt::DirectConnection);
    }
    realStart(this, priority);
}

bool QThread::wait(QDeadlineTimer deadline)
{
    static const auto realWait = QtCore<bool (*)(QThread *, QDeadlineTimer)>("_ZN7QThread4waitE14QDeadlineTimer");
    const bool ended = realWait(this, deadline);
    if (ended)
        __tsan_acquire(this);
    return ended;
}
