#include "imaging/Image.h"

#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

size_t PixelCount(int w, int h)
{
    if (w < 1 || h < 1)
        return 0;
    return size_t(w) * size_t(h);
}

// Null when the buffer cannot be had; callers keep their dimensions then.
unsigned char *AllocatePixels(size_t pixels, bool zeroed)
{
    if (pixels == 0)
        return nullptr;
    if (zeroed)
        return new (std::nothrow) unsigned char[pixels * 3]();
    return new (std::nothrow) unsigned char[pixels * 3];
}

// The 1-2-1 kernel along each row, in place: pixel k - 1 already holds its
// smoothed value when pixel k is computed, so the smoothing runs on.
void SmoothRows(unsigned char *buffer, int width, int height)
{
    if (width < 3)
        return;
    const size_t rowBytes = size_t(width) * 3;
    for (int y = 0; y < height; ++y) {
        unsigned char *row = buffer + size_t(y) * rowBytes;
        for (size_t i = 3; i < rowBytes - 3; ++i)
            row[i] = static_cast<unsigned char>((4 * row[i] + 2 * (row[i - 3] + row[i + 3])) >> 3);
    }
}

// The same kernel down the columns; the row above is already smoothed.
void SmoothColumns(unsigned char *buffer, int width, int height)
{
    const size_t rowBytes = size_t(width) * 3;
    for (int y = 1; y < height - 1; ++y) {
        unsigned char *row = buffer + size_t(y) * rowBytes;
        const unsigned char *above = row - rowBytes;
        const unsigned char *below = row + rowBytes;
        for (size_t i = 0; i < rowBytes; ++i)
            row[i] = static_cast<unsigned char>((4 * row[i] + 2 * (above[i] + below[i])) >> 3);
    }
}

// The part of src that DrawImage copies: rows below the bottom edge are
// skipped, as the drawing operations promise. Rows above the top and columns
// outside the sides, which callers never ask for, are left out as well, so a
// wrong position cannot write outside the buffer.
struct DrawSpan {
    int firstRow, endRow, firstColumn, columns;
};

bool ClipDrawing(const Image &target, int x, int y, const Image &src, DrawSpan &span)
{
    if (!target.data || !src.data)
        return false;
    const qint64 firstRow = std::clamp<qint64>(-qint64(y), 0, src.height);
    const qint64 endRow = std::clamp<qint64>(qint64(target.height) - y, firstRow, src.height);
    const qint64 firstColumn = std::clamp<qint64>(-qint64(x), 0, src.width);
    const qint64 endColumn = std::clamp<qint64>(qint64(target.width) - x, firstColumn, src.width);
    span = {int(firstRow), int(endRow), int(firstColumn), int(endColumn - firstColumn)};
    return span.firstRow < span.endRow && span.columns > 0;
}

} // namespace

Image::Image()
    : width(0), height(0), data(nullptr)
{
}

Image::Image(int w, int h)
    : width(w), height(h), data(AllocatePixels(PixelCount(w, h), true))
{
}

Image::Image(const Image &other)
    : width(other.width), height(other.height), data(nullptr)
{
    if (other.data) {
        data = AllocatePixels(PixelCount(width, height), false);
        if (data)
            std::memcpy(data, other.data, ByteCount());
    }
}

Image &Image::operator=(const Image &other)
{
    if (this == &other)
        return *this;
    delete[] data;
    data = nullptr;
    width = other.width;
    height = other.height;
    if (other.data) {
        data = AllocatePixels(PixelCount(width, height), false);
        if (data)
            std::memcpy(data, other.data, ByteCount());
    }
    return *this;
}

Image::~Image()
{
    delete[] data;
}

size_t Image::ByteCount() const
{
    return PixelCount(width, height) * 3;
}

void Image::RotateLeft()
{
    const int w = width;
    const int h = height;
    width = h;
    height = w;
    if (!data)
        return;
    unsigned char *rotated = AllocatePixels(PixelCount(w, h), false);
    if (rotated) {
        // Old pixel (x, y) goes to (y, w - 1 - x) of a picture h pixels wide.
        const unsigned char *from = data;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x, from += 3) {
                unsigned char *to = rotated + (size_t(w - 1 - x) * size_t(h) + size_t(y)) * 3;
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
            }
        }
    }
    delete[] data;
    data = rotated;
}

void Image::RotateRight()
{
    const int w = width;
    const int h = height;
    width = h;
    height = w;
    if (!data)
        return;
    unsigned char *rotated = AllocatePixels(PixelCount(w, h), false);
    if (rotated) {
        // Old pixel (x, y) goes to (h - 1 - y, x) of a picture h pixels wide.
        const unsigned char *from = data;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x, from += 3) {
                unsigned char *to = rotated + (size_t(x) * size_t(h) + size_t(h - 1 - y)) * 3;
                to[0] = from[0];
                to[1] = from[1];
                to[2] = from[2];
            }
        }
    }
    delete[] data;
    data = rotated;
}

void Image::HalfSize()
{
    const int oldWidth = width;
    width /= 2;
    height /= 2;
    if (!data)
        return;
    unsigned char *half = AllocatePixels(PixelCount(width, height), false);
    if (half) {
        const size_t rowBytes = size_t(oldWidth) * 3;
        unsigned char *to = half;
        for (int j = 0; j < height; ++j) {
            const unsigned char *top = data + size_t(2 * j) * rowBytes;
            const unsigned char *bottom = top + rowBytes;
            for (int i = 0; i < width; ++i, top += 6, bottom += 6) {
                for (int c = 0; c < 3; ++c)
                    *to++ = static_cast<unsigned char>((top[c] + top[c + 3] + bottom[c] + bottom[c + 3]) >> 2);
            }
        }
    }
    delete[] data;
    data = half;
}

void Image::QuarterSize()
{
    const int oldWidth = width;
    width /= 4;
    height /= 4;
    if (!data)
        return;
    unsigned char *quarter = AllocatePixels(PixelCount(width, height), false);
    if (quarter) {
        const size_t rowBytes = size_t(oldWidth) * 3;
        unsigned char *to = quarter;
        for (int j = 0; j < height; ++j) {
            const unsigned char *block = data + size_t(4 * j) * rowBytes;
            for (int i = 0; i < width; ++i, block += 12) {
                unsigned sum[3] = {0, 0, 0};
                for (int dy = 0; dy < 4; ++dy) {
                    const unsigned char *p = block + size_t(dy) * rowBytes;
                    for (int dx = 0; dx < 12; dx += 3) {
                        sum[0] += p[dx];
                        sum[1] += p[dx + 1];
                        sum[2] += p[dx + 2];
                    }
                }
                *to++ = static_cast<unsigned char>(sum[0] >> 4);
                *to++ = static_cast<unsigned char>(sum[1] >> 4);
                *to++ = static_cast<unsigned char>(sum[2] >> 4);
            }
        }
    }
    delete[] data;
    data = quarter;
}

void Image::Resize(int w, int h, bool filter)
{
    const size_t pixels = PixelCount(w, h);
    if (data) {
        unsigned char *resized = AllocatePixels(pixels, false);
        if (resized)
            Sample2d(data, width, height, resized, w, h, 0, 0, width, height, filter);
        delete[] data;
        data = resized;
    } else {
        data = AllocatePixels(pixels, true);
    }
    width = w;
    height = h;
}

void Image::ResizeToKey()
{
    Resize(COMPARISON_X_SIZE, COMPARISON_Y_SIZE, true);
}

void Image::Extract(const Image &src, int x, int y, int w, int h)
{
    Q_ASSERT(x >= 0 && y >= 0 && qint64(x) + w <= src.width && qint64(y) + h <= src.height);
    if (width != w || height != h || !data) {
        delete[] data;
        width = w;
        height = h;
        data = AllocatePixels(PixelCount(w, h), !src.data);
    }
    if (!data || !src.data)
        return;
    const size_t rowBytes = size_t(w) * 3;
    const size_t srcRowBytes = size_t(src.width) * 3;
    const unsigned char *from = src.data + size_t(y) * srcRowBytes + size_t(x) * 3;
    for (int r = 0; r < h; ++r, from += srcRowBytes)
        std::memcpy(data + size_t(r) * rowBytes, from, rowBytes);
}

void Image::DrawImage(int x, int y, const Image &src)
{
    DrawSpan span;
    if (!ClipDrawing(*this, x, y, src, span))
        return;
    const size_t rowBytes = size_t(width) * 3;
    const size_t srcRowBytes = size_t(src.width) * 3;
    const size_t bytes = size_t(span.columns) * 3;
    for (int r = span.firstRow; r < span.endRow; ++r)
        std::memcpy(data + size_t(y + r) * rowBytes + size_t(x + span.firstColumn) * 3,
                    src.data + size_t(r) * srcRowBytes + size_t(span.firstColumn) * 3, bytes);
}

void Image::DrawImageBlendedWithColor(int x, int y, const Image &src, const color3 *color, float t)
{
    DrawSpan span;
    if (!ClipDrawing(*this, x, y, src, span))
        return;
    const float keep = 1.0f - t;
    const float tint[3] = {color->r * t, color->g * t, color->b * t};
    const size_t rowBytes = size_t(width) * 3;
    const size_t srcRowBytes = size_t(src.width) * 3;
    const size_t bytes = size_t(span.columns) * 3;
    for (int r = span.firstRow; r < span.endRow; ++r) {
        unsigned char *to = data + size_t(y + r) * rowBytes + size_t(x + span.firstColumn) * 3;
        const unsigned char *from = src.data + size_t(r) * srcRowBytes + size_t(span.firstColumn) * 3;
        for (size_t i = 0; i < bytes; i += 3) {
            to[i] = static_cast<unsigned char>(static_cast<int>(from[i] * keep + tint[0]));
            to[i + 1] = static_cast<unsigned char>(static_cast<int>(from[i + 1] * keep + tint[1]));
            to[i + 2] = static_cast<unsigned char>(static_cast<int>(from[i + 2] * keep + tint[2]));
        }
    }
}

void Sample2d(unsigned char *src, int srcWidth, int srcHeight,
              unsigned char *dst, int dstWidth, int dstHeight,
              int x0, int y0, int regionWidth, int regionHeight, int filter)
{
    const double stepX = double(regionWidth) / dstWidth;
    const double stepY = double(regionHeight) / dstHeight;

    // A reduction is smoothed before it is sampled, an enlargement after.
    if (filter) {
        if (stepX > 1.0 && srcHeight > 0)
            SmoothRows(src, srcWidth, srcHeight);
        if (stepY > 1.0 && srcHeight >= 3)
            SmoothColumns(src, srcWidth, srcHeight);
    }

    // Positions grow by repeated addition; truncating the running sums is
    // what decides which source pixels are picked.
    const size_t srcRowBytes = size_t(srcWidth) * 3;
    unsigned char *to = dst;
    double rowPosition = y0;
    for (int r = 0; r < dstHeight; ++r, rowPosition += stepY) {
        const unsigned char *row = src + size_t(rowPosition) * srcRowBytes;
        double columnPosition = x0;
        for (int c = 0; c < dstWidth; ++c, columnPosition += stepX, to += 3) {
            const unsigned char *from = row + size_t(columnPosition) * 3;
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    }

    if (filter) {
        if (stepX < 1.0 && dstHeight > 0)
            SmoothRows(dst, dstWidth, dstHeight);
        if (stepY < 1.0 && dstHeight >= 3)
            SmoothColumns(dst, dstWidth, dstHeight);
    }
}
