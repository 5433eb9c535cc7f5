// The image database file reader on arbitrary bytes. What it accepts must
// write back out and read again to the very same file.

#include "MemoryFile.h"
#include "imagedb/ImageDB.h"

#include <QFile>
#include <cstdint>
#include <cstdlib>

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
    static MemoryFile input, first, second;
    if (!input.Set(data, size) || !first.Set(nullptr, 0) || !second.Set(nullptr, 0))
        std::abort();

    ImageDB db;
    if (!db.Read(input.Path()))
        return 0;
    if (db.GetNumImages() < 0 || db.GetNumUsableImages() > db.GetNumImages())
        std::abort();

    const QByteArray once = RoundTrip(input.Path(), first.Path());
    const QByteArray twice = RoundTrip(first.Path(), second.Path());
    if (once != twice)
        std::abort();
    return 0;
}
