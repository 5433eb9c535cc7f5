#pragma once

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QRandomGenerator>
#include <QString>
#include <algorithm>

// A picture with a colour gradient and a few blocks, so keys differ.
inline Image MakePicture(QRandomGenerator &random, int w, int h)
{
    Image image(w, h);
    const int base[3] = {int(random.bounded(256)), int(random.bounded(256)), int(random.bounded(256))};
    const int slope[3] = {int(random.bounded(-60, 61)), int(random.bounded(-60, 61)), int(random.bounded(-60, 61))};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                image.data[3 * (size_t(y) * w + x) + c] = std::clamp(base[c] + slope[c] * (x + y) / (w + h), 0, 255);
    for (int block = 0; block < 4; ++block) {
        const int bw = random.bounded(w / 6, w / 2), bh = random.bounded(h / 6, h / 2);
        const int x0 = random.bounded(w - bw), y0 = random.bounded(h - bh);
        const unsigned char colour[3] = {(unsigned char)random.bounded(256), (unsigned char)random.bounded(256),
                                         (unsigned char)random.bounded(256)};
        for (int y = y0; y < y0 + bh; ++y)
            for (int x = x0; x < x0 + bw; ++x)
                std::copy(colour, colour + 3, image.data + 3 * (size_t(y) * w + x));
    }
    return image;
}

// count such pictures, a third of them portrait, as JPEG files in dir.
inline bool WriteCollection(QRandomGenerator &random, const QString &dir, int count)
{
    for (int i = 0; i < count; ++i) {
        const bool portrait = i % 3 == 0;
        const Image picture = MakePicture(random, portrait ? 240 : 320, portrait ? 320 : 240);
        if (!WriteJPEG(QString("%1/p%2.jpg").arg(dir).arg(i, 5, 10, QChar('0')), picture, 90))
            return false;
    }
    return true;
}
