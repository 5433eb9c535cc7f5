#pragma once

// Fixtures shared by the image database tests: pictures, files and records.

#include "imagedb/ImageDB.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>
#include <memory>

inline Image *SolidImage(int width, int height, int shade)
{
    auto *image = new Image(width, height);
    memset(image->data, shade, image->ByteCount());
    return image;
}

// Every byte differs from its neighbours, so a shifted or swapped copy shows.
inline Image *PatternImage(int width, int height, int seed)
{
    auto *image = new Image(width, height);
    for (size_t i = 0; i < image->ByteCount(); ++i)
        image->data[i] = static_cast<unsigned char>(seed + i * 7);
    return image;
}

inline QByteArray Bytes(const Image &image)
{
    return QByteArray(reinterpret_cast<const char *>(image.data), qsizetype(image.ByteCount()));
}

inline void AddRecord(ImageDB &db, const QString &name, Image *key, Orientation orientation)
{
    db.Add(name);
    db.SetKeyImage(name, key, orientation);
}

inline QByteArray Contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Creates the parent folders too.
inline bool Store(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
           && file.write(bytes) == bytes.size();
}

inline bool WritePicture(const QString &path, int width, int height, unsigned char shade)
{
    const std::unique_ptr<Image> picture(SolidImage(width, height, shade));
    return QDir().mkpath(QFileInfo(path).absolutePath()) && WriteJPEG(path, *picture, 90);
}

// Restores the class-wide cache counter, which every database shares.
struct CounterGuard {
    int saved = ImageDB::imageFilenameCounter.load();
    ~CounterGuard() { ImageDB::imageFilenameCounter.store(saved); }
};
