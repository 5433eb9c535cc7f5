#include "imaging/TileMetrics.h"

#include "imaging/Image.h"

#include <QImage>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <new>

namespace {

inline int SquaredDistance(const unsigned char *p, const unsigned char *q)
{
    const int dr = p[0] - q[0];
    const int dg = p[1] - q[1];
    const int db = p[2] - q[2];
    return dr * dr + dg * dg + db * db;
}

// The skin-colour set over the RGB cube quantised to 64 levels per channel.
// It is a band along the cube's diagonal with red the largest channel, green
// in between and blue the smallest, measured per blue level on photographs of
// skin: for the listed blue levels, the number of set colours and the red and
// green ranges they span.
struct SkinLevel {
    int qB, count, rFrom, rTo, gFrom, gTo;
};
constexpr SkinLevel SkinLevels[] = {
    {0, 7, 4, 13, 2, 4},       {8, 198, 7, 41, 5, 22},    {16, 235, 15, 50, 15, 32},
    {24, 263, 24, 63, 21, 40}, {32, 195, 32, 63, 29, 47}, {40, 128, 43, 63, 38, 54},
    {48, 72, 51, 63, 48, 58},  {56, 24, 57, 63, 55, 62},  {63, 2, 63, 63, 62, 63},
};
constexpr int SkinColourCount = 9113;

constexpr int SkinTableBytes = 64 * 64 * 64 / 8;
using SkinTable = std::array<unsigned char, SkinTableBytes>;

inline int RoundHalfUp(double v)
{
    return int(std::floor(v + 0.5));
}

// One blue level of the band in the (qR, qG) plane: a lens whose centre line
// runs from (rFrom, gFrom) to (rTo, gTo), widest halfway up the green range.
// Every row keeps red above green (only the white corner, where red clips at
// 63, may have them equal), red - green at most 30.
struct SkinLens {
    int rFrom, rTo, gFrom, gTo;

    // Row g spans red levels lo to hi for half-width h; the upper edge is
    // pushed out by lean to reach counts the symmetric lens skips over.
    void Row(int g, double h, double lean, int &lo, int &hi) const
    {
        const double u = gTo > gFrom ? double(g - gFrom) / (gTo - gFrom) : 0.0;
        const double centre = rFrom + u * (rTo - rFrom);
        lo = std::max({rFrom, RoundHalfUp(centre - h), g < 63 ? g + 1 : g});
        hi = std::min({rTo, RoundHalfUp(centre + h + lean), g + 30});
    }

    double Shape(int g) const
    {
        const int rows = gTo - gFrom + 1;
        const double v = double(2 * (g - gFrom) + 1) / rows - 1.0;
        return std::sqrt(1.0 - v * v);
    }

    int Count(double width, double lean) const
    {
        int n = 0;
        for (int g = gFrom; g <= gTo; ++g) {
            int lo, hi;
            Row(g, width * Shape(g), lean, lo, hi);
            n += std::max(0, hi - lo + 1);
        }
        return n;
    }
};

// Widths are tried in steps of 1/100 up to 30; the count grows with the width.
constexpr int WidthSteps = 3000;

int FirstStepReaching(const SkinLens &lens, double lean, int target)
{
    int low = 0;
    int high = WidthSteps;
    while (low < high) {
        const int mid = (low + high) / 2;
        if (lens.Count(mid / 100.0, lean) >= target)
            high = mid;
        else
            low = mid + 1;
    }
    return low;
}

// Builds the table: every blue level's lens is interpolated linearly between
// the listed levels and widened until it holds the wanted number of colours.
// Levels between the listed ones are scaled together so the whole set comes to
// SkinColourCount; what a level cannot hit exactly is carried to the next one.
SkinTable BuildSkinTable()
{
    SkinTable table{};
    constexpr int listed = int(std::size(SkinLevels));
    double listedTotal = 0.0;
    double betweenTotal = 0.0;
    for (int i = 0; i < listed; ++i)
        listedTotal += SkinLevels[i].count;
    for (int i = 0; i + 1 < listed; ++i) {
        const SkinLevel &a = SkinLevels[i];
        const SkinLevel &b = SkinLevels[i + 1];
        for (int qB = a.qB + 1; qB < b.qB; ++qB)
            betweenTotal += a.count + double(qB - a.qB) / (b.qB - a.qB) * (b.count - a.count);
    }
    const double scale = (SkinColourCount - listedTotal) / betweenTotal;

    double carry = 0.0;
    for (int i = 0; i + 1 < listed; ++i) {
        const SkinLevel &a = SkinLevels[i];
        const SkinLevel &b = SkinLevels[i + 1];
        const int last = i + 2 == listed ? b.qB : b.qB - 1;
        for (int qB = a.qB; qB <= last; ++qB) {
            const double f = double(qB - a.qB) / (b.qB - a.qB);
            auto mix = [f](int from, int to) { return from + f * (to - from); };
            const bool isListed = qB == a.qB || qB == b.qB;
            const double wanted = isListed ? mix(a.count, b.count) : mix(a.count, b.count) * scale + carry;
            const int target = RoundHalfUp(wanted);
            const SkinLens lens{RoundHalfUp(mix(a.rFrom, b.rFrom)), RoundHalfUp(mix(a.rTo, b.rTo)),
                                RoundHalfUp(mix(a.gFrom, b.gFrom)), RoundHalfUp(mix(a.gTo, b.gTo))};

            // The closest count wins; on a tie the narrower, symmetric lens.
            int bestStep = 0, bestCount = 0, bestError = -1;
            double bestLean = 0.0;
            for (double lean : {0.0, 0.5}) {
                const int up = std::min(FirstStepReaching(lens, lean, target), WidthSteps - 1);
                int candidates[2] = {up, up};
                if (up > 0)
                    candidates[0] = FirstStepReaching(lens, lean, lens.Count((up - 1) / 100.0, lean));
                for (int step : candidates) {
                    const int n = lens.Count(step / 100.0, lean);
                    const int error = std::abs(n - target);
                    if (bestError < 0 || error < bestError
                        || (error == bestError && lean == bestLean && step < bestStep)) {
                        bestStep = step;
                        bestCount = n;
                        bestError = error;
                        bestLean = lean;
                    }
                }
            }
            carry = isListed ? carry + (mix(a.count, b.count) - bestCount) : wanted - bestCount;

            for (int g = lens.gFrom; g <= lens.gTo; ++g) {
                int lo, hi;
                lens.Row(g, bestStep / 100.0 * lens.Shape(g), bestLean, lo, hi);
                for (int r = lo; r <= hi; ++r) {
                    const int n = r + 64 * g + 4096 * qB;
                    table[size_t(n / 8)] |= static_cast<unsigned char>(1u << (n % 8));
                }
            }
        }
    }
    return table;
}

const SkinTable &SkinColours()
{
    static const SkinTable table = BuildSkinTable();
    return table;
}

inline int Quantise(unsigned char v)
{
    return int(v / 255.0f * 63.0f + 0.5f);
}

inline QRgb *TargetRow(QImage *target, int y)
{
    return reinterpret_cast<QRgb *>(target->scanLine(y));
}

// Nothing outside the target is written, whatever the tile position.
bool ClipTile(const QImage *target, int column, int row, const Image &tile, int &x0, int &y0, int &columns, int &rows)
{
    if (!target || target->depth() != 32 || !tile.data)
        return false;
    x0 = column * tile.width;
    y0 = row * tile.height;
    if (x0 < 0 || y0 < 0 || x0 >= target->width() || y0 >= target->height())
        return false;
    columns = std::min(tile.width, target->width() - x0);
    rows = std::min(tile.height, target->height() - y0);
    return true;
}

}   // namespace

int DifferenceSameOrientation(const Image &a, const Image &b)
{
    if (!a.data || !b.data)
        return 0;
    const size_t bytes = a.ByteCount();
    int sum = 0;
    for (size_t i = 0; i < bytes; i += 3)
        sum += SquaredDistance(a.data + i, b.data + i);
    return sum;
}

int DifferenceRotateLeft(const Image &a, const Image &b)
{
    if (!a.data || !b.data || a.height < 1)
        return 0;
    // a's pixel (x, y) meets b's pixel (y, b.height - 1 - x).
    const size_t bRowBytes = size_t(b.width) * 3;
    const unsigned char *p = a.data;
    int sum = 0;
    for (int y = 0; y < a.height; ++y) {
        const unsigned char *q = b.data + size_t(b.height - 1) * bRowBytes + size_t(y) * 3;
        for (int x = 0; x < a.width; ++x, p += 3, q -= bRowBytes)
            sum += SquaredDistance(p, q);
    }
    return sum;
}

int DifferenceRotateRight(const Image &a, const Image &b)
{
    if (!a.data || !b.data || a.height < 1)
        return 0;
    // a's pixel (x, y) meets b's pixel (b.width - 1 - y, x).
    const size_t bRowBytes = size_t(b.width) * 3;
    const unsigned char *p = a.data;
    int sum = 0;
    for (int y = 0; y < a.height; ++y) {
        const unsigned char *q = b.data + size_t(b.width - 1 - y) * 3;
        for (int x = 0; x < a.width; ++x, p += 3, q += bRowBytes)
            sum += SquaredDistance(p, q);
    }
    return sum;
}

bool FleshTone(const color3 &c)
{
    const int n = Quantise(c.r) + 64 * Quantise(c.g) + 4096 * Quantise(c.b);
    return (SkinColours()[size_t(n / 8)] >> (n % 8)) & 1;
}

void DrawEdges(Image &image)
{
    static const float Horizontal[5][5] = {
        {-1, -1, 0, 1, 1}, {-2, -2, 0, 2, 2}, {-4, -2, 0, 2, 4}, {-2, -2, 0, 2, 2}, {-1, -1, 0, 1, 1},
    };
    static const float Vertical[5][5] = {
        {1, 2, 4, 2, 1}, {1, 2, 2, 2, 1}, {0, 0, 0, 0, 0}, {-1, -2, -2, -2, -1}, {-1, -2, -4, -2, -1},
    };

    if (!image.data)
        return;
    const int w = image.width;
    const int h = image.height;
    const size_t pixels = size_t(w) * size_t(h);
    // Without room for the maps the picture is left as it is.
    std::unique_ptr<float[]> brightness(new (std::nothrow) float[pixels]);
    std::unique_ptr<float[]> edges(new (std::nothrow) float[pixels]);
    if (!brightness || !edges)
        return;

    const unsigned char *p = image.data;
    for (size_t i = 0; i < pixels; ++i, p += 3) {
        const float r = p[0], g = p[1], b = p[2];
        brightness[i] = std::sqrt(r * r + g * g + b * b);
    }

    // Neighbours are clamped to width - 2 and height - 2, then to 0: the last
    // row and column of the brightness map never take part.
    float emax = 0.0f;
    for (int y = 0; y < h; ++y) {
        int rows[5];
        for (int i = 0; i < 5; ++i)
            rows[i] = std::max(std::min(y - 2 + i, h - 2), 0);
        for (int x = 0; x < w; ++x) {
            int columns[5];
            for (int j = 0; j < 5; ++j)
                columns[j] = std::max(std::min(x - 2 + j, w - 2), 0);
            float gx = 0.0f, gy = 0.0f;
            for (int i = 0; i < 5; ++i) {
                const float *line = brightness.get() + size_t(rows[i]) * size_t(w);
                for (int j = 0; j < 5; ++j) {
                    gx += line[columns[j]] * Horizontal[i][j];
                    gy += line[columns[j]] * Vertical[i][j];
                }
            }
            const float e = std::sqrt(gx * gx + gy * gy);
            edges[size_t(y) * size_t(w) + size_t(x)] = e;
            emax = std::max(emax, e);
        }
    }

    // With no gradient at all every ratio is 0/0, which compares false: all red.
    unsigned char *q = image.data;
    for (size_t i = 0; i < pixels; ++i, q += 3) {
        const bool flat = double(edges[i] / emax) < 0.1;
        q[0] = flat ? 0 : 255;
        q[1] = 0;
        q[2] = 0;
    }
}

void DrawImageIntoQImage(QImage *target, int column, int row, const Image &tile)
{
    int x0, y0, columns, rows;
    if (!ClipTile(target, column, row, tile, x0, y0, columns, rows))
        return;
    const size_t tileRowBytes = size_t(tile.width) * 3;
    for (int r = 0; r < rows; ++r) {
        QRgb *to = TargetRow(target, y0 + r) + x0;
        const unsigned char *from = tile.data + size_t(r) * tileRowBytes;
        for (int c = 0; c < columns; ++c, from += 3)
            to[c] = 0xff000000u | (QRgb(from[0]) << 16) | (QRgb(from[1]) << 8) | QRgb(from[2]);
    }
}

void DrawImageBlendWithColorIntoQImage(QImage *target, int column, int row, const Image &tile, const color3 *color,
                                       float t)
{
    int x0, y0, columns, rows;
    if (!ClipTile(target, column, row, tile, x0, y0, columns, rows))
        return;
    const float keep = 1.0f - t;
    const float tint[3] = {color->r * t, color->g * t, color->b * t};
    const size_t tileRowBytes = size_t(tile.width) * 3;
    for (int r = 0; r < rows; ++r) {
        QRgb *to = TargetRow(target, y0 + r) + x0;
        const unsigned char *from = tile.data + size_t(r) * tileRowBytes;
        for (int c = 0; c < columns; ++c, from += 3) {
            const QRgb red = QRgb(int(from[0] * keep + tint[0])) & 0xff;
            const QRgb green = QRgb(int(from[1] * keep + tint[1])) & 0xff;
            const QRgb blue = QRgb(int(from[2] * keep + tint[2])) & 0xff;
            to[c] = 0xff000000u | (red << 16) | (green << 8) | blue;
        }
    }
}
