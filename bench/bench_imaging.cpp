// Nanoseconds per pixel of the raster operations the update and the assembly
// spend their time in, each beside the straightforward byte-by-byte version
// of the same rule (the code these operations replaced), with the results
// checked to be identical.

#include "imaging/Image.h"

#include <QString>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <random>
#include <vector>

namespace {

qint64 CpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The best of a few runs: other programs on the machine only ever add time.
double BestNs(const std::function<void()> &prepare, const std::function<void()> &work)
{
    qint64 best = -1;
    for (int run = 0; run < 5; ++run) {
        prepare();
        const qint64 start = CpuNs();
        work();
        const qint64 ns = CpuNs() - start;
        if (best < 0 || ns < best)
            best = ns;
    }
    return double(best);
}

void PlainSmoothRows(unsigned char *buffer, int width, int height)
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

void PlainSmoothColumns(unsigned char *buffer, int width, int height)
{
    const size_t rowBytes = size_t(width) * 3;
    for (int y = 1; y < height - 1; ++y) {
        unsigned char *row = buffer + size_t(y) * rowBytes;
        for (size_t i = 0; i < rowBytes; ++i)
            row[i] = static_cast<unsigned char>((4 * row[i] + 2 * (row[i - rowBytes] + row[i + rowBytes])) >> 3);
    }
}

void PlainSample2d(unsigned char *src, int srcWidth, int srcHeight, unsigned char *dst, int dstWidth, int dstHeight,
                   int filter)
{
    const double stepX = double(srcWidth) / dstWidth;
    const double stepY = double(srcHeight) / dstHeight;
    if (filter && stepX > 1.0)
        PlainSmoothRows(src, srcWidth, srcHeight);
    if (filter && stepY > 1.0 && srcHeight >= 3)
        PlainSmoothColumns(src, srcWidth, srcHeight);
    const size_t srcRowBytes = size_t(srcWidth) * 3;
    unsigned char *to = dst;
    double rowPosition = 0;
    for (int r = 0; r < dstHeight; ++r, rowPosition += stepY) {
        const unsigned char *row = src + size_t(rowPosition) * srcRowBytes;
        double columnPosition = 0;
        for (int c = 0; c < dstWidth; ++c, columnPosition += stepX, to += 3) {
            const unsigned char *from = row + size_t(columnPosition) * 3;
            to[0] = from[0];
            to[1] = from[1];
            to[2] = from[2];
        }
    }
    if (filter && stepX < 1.0)
        PlainSmoothRows(dst, dstWidth, dstHeight);
    if (filter && stepY < 1.0 && dstHeight >= 3)
        PlainSmoothColumns(dst, dstWidth, dstHeight);
}

void PlainBlend(Image &target, int x, int y, const Image &src, const color3 &colour, float t)
{
    const unsigned char rgb[3] = {colour.r, colour.g, colour.b};
    for (int r = 0; r < src.height && y + r < target.height; ++r)
        for (int c = 0; c < src.width * 3; ++c)
            target.data[(size_t(y + r) * target.width + x) * 3 + c] = static_cast<unsigned char>(
                static_cast<int>(src.data[size_t(r) * src.width * 3 + c] * (1.0f - t) + rgb[c % 3] * t));
}

Image Photo(int w, int h)
{
    Image image(w, h);
    std::mt19937 rng(1);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                image.data[3 * (size_t(y) * w + x) + c] =
                    static_cast<unsigned char>((x * (c + 1) + y * (3 - c)) / 16 + rng() % 24);
    return image;
}

bool Same(const Image &a, const Image &b)
{
    return a.width == b.width && a.height == b.height && std::memcmp(a.data, b.data, a.ByteCount()) == 0;
}

bool ok = true;

void Report(const char *what, double pixels, double fastNs, double plainNs, bool same)
{
    ok = ok && same;
    std::printf("  %-46s %7.2f ns/pixel   plain %7.2f ns/pixel   %5.1fx  %s\n", what, fastNs / pixels, plainNs / pixels,
                plainNs / fastNs, same ? "identical" : "RESULTS DIFFER");
}

}   // namespace

int main()
{
    const int w = 4000, h = 3000;   // a 12-megapixel photograph
    const Image photo = Photo(w, h);
    Image work, plain, out(1, 1), plainOut(1, 1);
    std::printf("Raster operations, one thread (best of 5 runs)\n");

    // Reductions: the smoothing of the whole source dominates.
    for (const auto &[tw, th, name] : {std::tuple{200, 150, "reduce 4000x3000 to 200x150 (copy)"},
                                       std::tuple{16, 16, "reduce 4000x3000 to 16x16 (key)"}}) {
        const double fast = BestNs(
            [&] {
                work = photo;
                out = Image(tw, th);
            },
            [&] { Sample2d(work.data, w, h, out.data, tw, th, 0, 0, w, h, 1); });
        const double slow = BestNs(
            [&] {
                plain = photo;
                plainOut = Image(tw, th);
            },
            [&] { PlainSample2d(plain.data, w, h, plainOut.data, tw, th, 1); });
        Report(name, double(w) * h, fast, slow, Same(work, plain) && Same(out, plainOut));
    }

    // The update's copy and key from the picture's rows as they come (here
    // copied out of memory), against two copies resized.
    {
        Image copy, key;
        StreamedReduction reduction([&](int, int) {
            return std::vector<ReductionTarget>{{&copy, 200, 150}, {&key, 16, 16}};
        });
        const double fast = BestNs([&] {},
                                   [&] {
                                       reduction.Begin(w, h);
                                       for (int y = 0; y < h; ++y) {
                                           std::memcpy(reduction.Row(y), photo.data + size_t(y) * w * 3, size_t(w) * 3);
                                           reduction.RowDone(y);
                                       }
                                   });
        Image plainCopy, plainKey;
        const double slow = BestNs([&] {},
                                   [&] {
                                       plainCopy = photo;
                                       plainCopy.Resize(200, 150, true);
                                       plainKey = photo;
                                       plainKey.Resize(16, 16, true);
                                   });
        Report("copy and key of 4000x3000 (vs two Resize)", double(w) * h, fast, slow,
               Same(copy, plainCopy) && Same(key, plainKey));
    }

    // Sampling without smoothing and an enlargement smoothed afterwards; per
    // pixel made.
    {
        const int tw = 3000, th = 2250;
        const double fast = BestNs(
            [&] {
                work = photo;
                out = Image(tw, th);
            },
            [&] { Sample2d(work.data, w, h, out.data, tw, th, 0, 0, w, h, 0); });
        const double slow = BestNs(
            [&] {
                plain = photo;
                plainOut = Image(tw, th);
            },
            [&] { PlainSample2d(plain.data, w, h, plainOut.data, tw, th, 0); });
        Report("sample 4000x3000 to 3000x2250, no smoothing", double(tw) * th, fast, slow, Same(out, plainOut));
    }
    {
        const Image small = Photo(200, 150);
        const int tw = 1000, th = 750;
        const double fast = BestNs(
            [&] {
                work = small;
                out = Image(tw, th);
            },
            [&] { Sample2d(work.data, 200, 150, out.data, tw, th, 0, 0, 200, 150, 1); });
        const double slow = BestNs(
            [&] {
                plain = small;
                plainOut = Image(tw, th);
            },
            [&] { PlainSample2d(plain.data, 200, 150, plainOut.data, tw, th, 1); });
        Report("enlarge 200x150 to 1000x750, smoothed", double(tw) * th, fast, slow, Same(out, plainOut));
    }

    // Rotations of a tile-sized picture and of a whole photograph.
    for (const auto &[rw, rh] : {std::pair{200, 150}, std::pair{w, h}}) {
        const Image source = Photo(rw, rh);
        const int reps = rw == w ? 1 : 200;
        Image rotated;
        const double left = BestNs([&] {},
                                   [&] {
                                       for (int i = 0; i < reps; ++i) {
                                           rotated = source;
                                           rotated.RotateLeft();
                                       }
                                   });
        Image plainRotated(rh, rw);
        const double plainLeft = BestNs([&] {},
                                        [&] {
                                            for (int i = 0; i < reps; ++i) {
                                                plainRotated = Image(rh, rw);
                                                for (int y = 0; y < rh; ++y)
                                                    for (int x = 0; x < rw; ++x)
                                                        for (int c = 0; c < 3; ++c)
                                                            plainRotated.data[3 * (size_t(rw - 1 - x) * rh + y) + c] =
                                                                source.data[3 * (size_t(y) * rw + x) + c];
                                            }
                                        });
        Report(qPrintable(QString("rotate %1x%2 left (copy included)").arg(rw).arg(rh)), double(rw) * rh * reps, left,
               plainLeft, Same(rotated, plainRotated));
    }

    // Blended drawing of 100x66 tiles over a 6000x4000 output.
    {
        const int ow = 6000, oh = 3960, tw = 100, th = 66;
        const Image tile = Photo(tw, th);
        const color3 colour{90, 140, 200};
        Image output(ow, oh), plainOutput(ow, oh);
        const double fast = BestNs([&] {},
                                   [&] {
                                       for (int y = 0; y < oh; y += th)
                                           for (int x = 0; x < ow; x += tw)
                                               output.DrawImageBlendedWithColor(x, y, tile, &colour, 0.2f);
                                   });
        const double slow = BestNs([&] {},
                                   [&] {
                                       for (int y = 0; y < oh; y += th)
                                           for (int x = 0; x < ow; x += tw)
                                               PlainBlend(plainOutput, x, y, tile, colour, 0.2f);
                                   });
        Report("blended drawing into 6000x3960, blend 20%", double(ow) * oh, fast, slow, Same(output, plainOutput));
    }
    if (!ok) {
        std::printf("FAILED: a fast path gave different pixels\n");
        return 1;
    }
    return 0;
}
