#pragma once

// Shared by the engine tests: pictures made on the spot and the checks made
// on their pixels.

#include "imaging/Image.h"

#include <QString>
#include <cstdlib>

namespace EngineTest {

inline unsigned char *Pixel(const Image &image, int x, int y)
{
    return image.data + 3 * (size_t(y) * image.width + x);
}

inline void Fill(Image &image, int x0, int y0, int w, int h, color3 colour)
{
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) {
            unsigned char *p = Pixel(image, x, y);
            p[0] = colour.r;
            p[1] = colour.g;
            p[2] = colour.b;
        }
}

inline Image Flat(int w, int h, color3 colour)
{
    Image image(w, h);
    Fill(image, 0, 0, w, h, colour);
    return image;
}

// Noise compresses badly, so its file grows well past any small limit.
inline Image Noise(int w, int h)
{
    Image image(w, h);
    quint32 state = 12345;
    for (size_t i = 0; i < image.ByteCount(); ++i) {
        state = state * 1664525u + 1013904223u;
        image.data[i] = state >> 24;
    }
    return image;
}

inline bool Near(const unsigned char *p, color3 colour, int tolerance)
{
    return std::abs(p[0] - colour.r) <= tolerance && std::abs(p[1] - colour.g) <= tolerance
           && std::abs(p[2] - colour.b) <= tolerance;
}

inline QString Describe(const unsigned char *p)
{
    return QString("(%1, %2, %3)").arg(p[0]).arg(p[1]).arg(p[2]);
}

}   // namespace EngineTest
