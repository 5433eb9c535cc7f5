#pragma once

// Shared by the fault tests: pictures made on the spot, damaged files, and
// running a database update to its end the way the update page does.

#include "imagedb/ImageDB.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <functional>

namespace FaultKit {

// A gradient with a tint of its own per seed, so matching has a choice.
inline Image Gradient(int width, int height, int seed)
{
    Image image(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            unsigned char *p = image.data + (size_t(y) * size_t(width) + size_t(x)) * 3;
            p[0] = static_cast<unsigned char>(x * 255 / std::max(1, width - 1));
            p[1] = static_cast<unsigned char>(y * 255 / std::max(1, height - 1));
            p[2] = static_cast<unsigned char>(seed * 47);
        }
    }
    return image;
}

inline bool MakePicture(const QString &path, int width, int height, int seed)
{
    return WriteJPEG(path, Gradient(width, height, seed), 90);
}

inline QByteArray Contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool Store(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// A valid picture whose frame header is changed to claim width by height.
inline QByteArray PictureClaiming(const QString &scratch, int width, int height)
{
    if (!MakePicture(scratch, 32, 24, 1))
        return {};
    QByteArray bytes = Contents(scratch);
    QFile::remove(scratch);
    const qsizetype sof = bytes.indexOf(QByteArray::fromHex("ffc0"));
    if (sof < 0 || sof + 9 > bytes.size())
        return {};
    bytes[sof + 5] = char(height >> 8);
    bytes[sof + 6] = char(height & 0xff);
    bytes[sof + 7] = char(width >> 8);
    bytes[sof + 8] = char(width & 0xff);
    return bytes;
}

inline QByteArray RandomBytes(int size, quint32 seed)
{
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Starts an update and waits for its complete(); onProgress sees every
// progress report first. False when complete() did not come once.
inline bool RunUpdate(ImageDB &db, const QStringList &dirs, ImageDB::SourceImageStrategy strategy, int threads,
                      const std::function<void(int, const QString &)> &onProgress = {})
{
    QSignalSpy done(&db, &ImageDB::complete);
    QMetaObject::Connection watching;
    if (onProgress)
        watching = QObject::connect(&db, &ImageDB::progress, onProgress);
    db.Update(dirs, QStringList(), strategy, threads);
    const bool completed = done.count() == 1 || done.wait(120000);
    QObject::disconnect(watching);
    return completed && done.count() == 1 && !db.IsUpdating();
}

// What the update page shows the user.
struct Counts {
    int usable;
    int unusable;
    bool operator==(const Counts &other) const { return usable == other.usable && unusable == other.unusable; }
};

inline Counts CountsOf(const ImageDB &db)
{
    return {db.GetNumUsableImages(), db.GetNumImages() - db.GetNumUsableImages()};
}

inline char *toString(const Counts &counts)
{
    return qstrdup(
        QByteArray("usable " + QByteArray::number(counts.usable) + ", unusable " + QByteArray::number(counts.unusable))
            .constData());
}

}   // namespace FaultKit
