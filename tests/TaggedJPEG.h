#pragma once

// Pictures stored the way cameras store them: with an EXIF orientation tag.

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QFile>

// An EXIF block that holds only the orientation tag (type 3 is SHORT).
inline QByteArray Exif(int orientation, bool bigEndian = false, int type = 3)
{
    QByteArray block = QByteArray("Exif\0\0", 6) + (bigEndian ? "MM" : "II");
    for (const auto &[value, size] :
         {std::pair{42, 2}, {8, 4}, {1, 2}, {0x0112, 2}, {type, 2}, {1, 4}, {orientation, 2}, {0, 2}, {0, 4}})
        for (int i = 0; i < size; ++i)
            block.append(char(value >> (8 * (bigEndian ? size - 1 - i : i))));
    return block;
}

// Quality 100, with app1 (when given) as an APP1 segment after the start.
inline bool WriteTaggedJPEG(const QString &path, const Image &picture, const QByteArray &app1)
{
    QFile file(path);
    if (!WriteJPEG(path, picture, 100) || !file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray bytes = file.readAll();
    const int length = int(app1.size()) + 2;   // big-endian, counting itself
    const QByteArray segment = app1.isEmpty() ? app1 : QByteArray("\xFF\xE1") + char(length >> 8) + char(length) + app1;
    return file.seek(0) && file.write(bytes.left(2) + segment + bytes.mid(2)) == bytes.size() + segment.size();
}

// Grey 16 by 16 blocks, each of its own shade, so that any turn or flip
// shows; blocks and shades survive JPEG compression at quality 100 exactly.
inline Image Blocks(int blocksAcross, int blocksDown)
{
    Image picture(blocksAcross * 16, blocksDown * 16);
    for (size_t i = 0; i < picture.ByteCount(); ++i)
        picture.data[i] = static_cast<unsigned char>(
            20 + 18 * (i / 3 / picture.width / 16 * blocksAcross + i / 3 % picture.width / 16));
    return picture;
}
