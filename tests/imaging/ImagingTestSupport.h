#pragma once

#include "imaging/Image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

// Pictures the imaging tests build for themselves.
inline Image Make(int w, int h, const std::function<color3(int, int)> &pixel)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const color3 c = pixel(x, y);
            unsigned char *p = image.data + (size_t(y) * w + x) * 3;
            p[0] = c.r;
            p[1] = c.g;
            p[2] = c.b;
        }
    return image;
}

inline Image Solid(int w, int h, color3 c)
{
    return Make(w, h, [c](int, int) { return c; });
}

// One value per pixel, the same in red, green and blue.
inline Image Gray(int w, int h, const std::vector<int> &values)
{
    return Make(w, h, [&](int x, int y) {
        const auto v = static_cast<unsigned char>(values[size_t(y) * w + x]);
        return color3{v, v, v};
    });
}

inline Image Noise(int w, int h, unsigned seed)
{
    Image image(w, h);
    for (size_t i = 0; i < image.ByteCount(); ++i) {
        seed = seed * 1103515245u + 12345u;
        image.data[i] = static_cast<unsigned char>(seed >> 16);
    }
    return image;
}

inline std::vector<int> Reds(const Image &image)
{
    std::vector<int> reds;
    for (size_t i = 0; i < image.ByteCount(); i += 3)
        reds.push_back(image.data[i]);
    return reds;
}

inline int Red(const Image &image, int x, int y)
{
    return image.data[(size_t(y) * image.width + x) * 3];
}

inline bool Same(const Image &a, const Image &b)
{
    return a.width == b.width && a.height == b.height
           && (a.ByteCount() == 0 || std::memcmp(a.data, b.data, a.ByteCount()) == 0);
}

inline int MaxDifference(const Image &a, const Image &b)
{
    int worst = 0;
    for (size_t i = 0; i < a.ByteCount(); ++i)
        worst = std::max(worst, std::abs(a.data[i] - b.data[i]));
    return worst;
}

// Hands the picture's rows to the sink as a decoder would.
inline bool Stream(const Image &picture, RowSink &sink)
{
    if (!sink.Begin(picture.width, picture.height))
        return false;
    const size_t rowBytes = size_t(picture.width) * 3;
    for (int y = 0; y < picture.height; ++y) {
        std::memcpy(sink.Row(y), picture.data + size_t(y) * rowBytes, rowBytes);
        sink.RowDone(y);
    }
    return true;
}
