#pragma once

// Pictures stored the way cameras store them: with an EXIF orientation tag.

#include "imaging/Image.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstdio>
#include <jpeglib.h>

// An EXIF block that holds only the orientation tag (type 3 is SHORT).
inline QByteArray Exif(int orientation, bool bigEndian = false, int type = 3)
{
    QByteArray block("Exif\0\0", 6);
    const auto put = [&](quint32 value, int size) {
        for (int i = 0; i < size; ++i)
            block.append(char(value >> (8 * (bigEndian ? size - 1 - i : i))));
    };
    block.append(bigEndian ? "MM" : "II");
    for (const auto &[value, size] :
         {std::pair{42, 2}, {8, 4}, {1, 2}, {0x0112, 2}, {type, 2}, {1, 4}, {orientation, 2}, {0, 2}, {0, 4}})
        put(quint32(value), size);
    return block;
}

// Quality 100, with app1 (when given) as an APP1 segment after the start.
inline bool WriteTaggedJPEG(const QString &path, const Image &picture, const QByteArray &app1)
{
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file)
        return false;
    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(picture.width);
    cinfo.image_height = JDIMENSION(picture.height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 100, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    if (!app1.isEmpty())
        jpeg_write_marker(&cinfo, JPEG_APP0 + 1, reinterpret_cast<const JOCTET *>(app1.constData()),
                          unsigned(app1.size()));
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = picture.data + size_t(cinfo.next_scanline) * size_t(picture.width) * 3;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return std::fclose(file) == 0;
}

// Grey 16 by 16 blocks, each of its own shade, so that any turn or flip
// shows; blocks and shades survive JPEG compression at quality 100 exactly.
inline Image Blocks(int blocksAcross, int blocksDown)
{
    Image picture(blocksAcross * 16, blocksDown * 16);
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x)
            for (int c = 0; c < 3; ++c)
                picture.data[(size_t(y) * picture.width + x) * 3 + c] =
                    static_cast<unsigned char>(20 + 18 * (y / 16 * blocksAcross + x / 16));
    return picture;
}
