// The image database file reader on arbitrary bytes. What it accepts must
// write back out and read again to the very same file.

#include "MemoryFile.h"
#include "imagedb/ImageDB.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdint>
#include <cstdlib>

// The writer replaces its file by renaming a new one over it, so the copies
// written back go to a real folder, in memory where the system offers one.
static const QString &ScratchFolder()
{
    static QTemporaryDir folder(QDir("/dev/shm").exists() ? "/dev/shm/kvp-fuzz-XXXXXX"
                                                          : QDir::tempPath() + "/kvp-fuzz-XXXXXX");
    if (!folder.isValid())
        std::abort();
    static const QString path = folder.path();
    return path;
}

static QByteArray RoundTrip(const QString &path, const QString &writePath)
{
    ImageDB db;
    if (!db.Read(path) || !db.Write(writePath))
        std::abort();
    QFile written(writePath);
    if (!written.open(QIODevice::ReadOnly))
        std::abort();
    return written.readAll();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static MemoryFile input;
    if (!input.Set(data, size))
        std::abort();

    ImageDB db;
    if (!db.Read(input.Path()))
        return 0;
    if (db.GetNumImages() < 0 || db.GetNumUsableImages() != db.GetNumImages())
        std::abort();

    const QString first = ScratchFolder() + "/first.db", second = ScratchFolder() + "/second.db";
    const QByteArray once = RoundTrip(input.Path(), first);
    const QByteArray twice = RoundTrip(first, second);
    if (once != twice)
        std::abort();
    return 0;
}
