#include "engine/Notice.h"

#include <QDebug>
#include <QMutex>

namespace {
QMutex handlerLock;
NoticeHandler currentHandler;
}   // namespace

void SetNoticeHandler(NoticeHandler handler)
{
    QMutexLocker lock(&handlerLock);
    currentHandler = std::move(handler);
}

void ShowNotice(const QString &title, const QString &text)
{
    NoticeHandler handler;
    {
        QMutexLocker lock(&handlerLock);
        handler = currentHandler;
    }
    if (handler)
        handler(title, text);
    else
        qWarning().noquote() << title + ": " + text;
}
