#include "imaging/TileMetrics.h"

#include "imaging/Cpu.h"
#include "imaging/Image.h"

#include <QImage>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <new>

#ifdef KVP_X86
#include <immintrin.h>
#endif

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

// Each byte's level of the 64 the skin-colour set is quantised to.
const std::array<int, 256> &Levels()
{
    static const std::array<int, 256> levels = [] {
        std::array<int, 256> table{};
        for (int v = 0; v < 256; ++v)
            table[size_t(v)] = int(float(v) / 255.0f * 63.0f + 0.5f);
        return table;
    }();
    return levels;
}

inline bool InSkinSet(const SkinTable &table, const std::array<int, 256> &levels, const unsigned char *p)
{
    const int n = levels[p[0]] + 64 * levels[p[1]] + 4096 * levels[p[2]];
    return (table[size_t(n / 8)] >> (n % 8)) & 1;
}

// DrawEdges's gradient kernels.
constexpr float Horizontal[5][5] = {
    {-1, -1, 0, 1, 1}, {-2, -2, 0, 2, 2}, {-4, -2, 0, 2, 4}, {-2, -2, 0, 2, 2}, {-1, -1, 0, 1, 1},
};
constexpr float Vertical[5][5] = {
    {1, 2, 4, 2, 1}, {1, 2, 2, 2, 1}, {0, 0, 0, 0, 0}, {-1, -2, -2, -2, -1}, {-1, -2, -4, -2, -1},
};

inline bool IsEdge(float strength, float strongest)
{
    // With no gradient at all every ratio is 0/0, which compares false: all edge.
    return !(double(strength / strongest) < 0.1);
}

#ifdef KVP_X86
// Masked operations with every lane set: the plain ones trip a false "may be
// used uninitialized" warning inside GCC 12's own header.
constexpr __mmask16 AllLanes = 0xFFFF;

__attribute__((target("avx512f"))) inline __m512 SquaresAvx512(const unsigned char *bytes)
{
    const __m512 v = _mm512_maskz_cvtepi32_ps(
        AllLanes, _mm512_maskz_cvtepu8_epi32(AllLanes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes))));
    return _mm512_mul_ps(v, v);
}

// Sixteen pixels' brightness, sqrt(r * r + g * g + b * b) in single
// precision: the squares and their sums are whole numbers below 2^24, so
// exact in any order, and the square root is rounded as std::sqrt rounds it.
__attribute__((target("avx512f"))) void BrightnessAvx512(const unsigned char *pixels, int count, float *out)
{
    // Lane l of the red, green and blue vectors is byte 3l, 3l + 1, 3l + 2 of
    // the 48: first from the first two sixteens, then the rest from the third.
    alignas(64) int low[3][16], high[3][16];
    for (int c = 0; c < 3; ++c)
        for (int l = 0; l < 16; ++l) {
            const int byte = 3 * l + c;
            low[c][l] = byte < 32 ? byte : 0;
            high[c][l] = byte < 32 ? l : 16 + byte - 32;
        }
    __m512i lowIndex[3], highIndex[3];
    for (int c = 0; c < 3; ++c) {
        lowIndex[c] = _mm512_load_si512(low[c]);
        highIndex[c] = _mm512_load_si512(high[c]);
    }
    int i = 0;
    for (; i + 16 <= count; i += 16, pixels += 48) {
        const __m512 a = SquaresAvx512(pixels), b = SquaresAvx512(pixels + 16), c = SquaresAvx512(pixels + 32);
        __m512 channel[3];
        for (int k = 0; k < 3; ++k)
            channel[k] = _mm512_permutex2var_ps(_mm512_permutex2var_ps(a, lowIndex[k], b), highIndex[k], c);
        _mm512_storeu_ps(
            out + i, _mm512_maskz_sqrt_ps(AllLanes, _mm512_add_ps(_mm512_add_ps(channel[0], channel[1]), channel[2])));
    }
    for (; i < count; ++i, pixels += 3) {
        const float r = pixels[0], g = pixels[1], b = pixels[2];
        out[i] = std::sqrt(r * r + g * g + b * b);
    }
}

// Sixteen strengths from the five brightness rows, from column x - 2 of each
// on, each pixel's sums taken in the order of the scalar loop; the terms of
// zero weight add nothing but the sign of a zero, which the squares drop.
__attribute__((target("avx512f"))) void StrengthsAvx512(const float *const lines[5], int x, float *out)
{
    __m512 gx = _mm512_setzero_ps();
    __m512 gy = _mm512_setzero_ps();
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j) {
            const __m512 v = _mm512_loadu_ps(lines[i] + x - 2 + j);
            if (Horizontal[i][j] != 0.0f)
                gx = _mm512_add_ps(gx, _mm512_mul_ps(v, _mm512_set1_ps(Horizontal[i][j])));
            if (Vertical[i][j] != 0.0f)
                gy = _mm512_add_ps(gy, _mm512_mul_ps(v, _mm512_set1_ps(Vertical[i][j])));
        }
    }
    _mm512_storeu_ps(out, _mm512_maskz_sqrt_ps(AllLanes, _mm512_add_ps(_mm512_mul_ps(gx, gx), _mm512_mul_ps(gy, gy))));
}

// The ratio is a float, so "below 0.1 as a double" is "below 0.1f": no float
// lies between 0.1 and 0.1f, which is just above it. NaN is below neither.
__attribute__((target("avx512f"))) int CountEdgesAvx512(const float *strengths, int count, float strongest)
{
    const __m512 divisor = _mm512_set1_ps(strongest);
    const __m512 tenth = _mm512_set1_ps(0.1f);
    int edges = 0;
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m512 ratio = _mm512_div_ps(_mm512_loadu_ps(strengths + i), divisor);
        edges += 16 - __builtin_popcount(_mm512_cmp_ps_mask(ratio, tenth, _CMP_LT_OQ));
    }
    for (; i < count; ++i)
        edges += IsEdge(strengths[i], strongest);
    return edges;
}
#endif

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
    const unsigned char pixel[3] = {c.r, c.g, c.b};
    return InSkinSet(SkinColours(), Levels(), pixel);
}

int CountFleshTones(const unsigned char *pixels, int count)
{
    const SkinTable &table = SkinColours();
    const std::array<int, 256> &levels = Levels();
    int n = 0;
    for (int i = 0; i < count; ++i, pixels += 3)
        n += InSkinSet(table, levels, pixels);
    return n;
}

// Two passes over the rows, each holding a few rows of brightness: the
// first finds the strongest edge, the second marks each pixel against it.
void DrawEdges(Image &image)
{
    if (!image.data)
        return;
    const int w = image.width;
    const int h = image.height;
    const size_t rowBytes = size_t(w) * 3;
    const auto row = [&](int y) { return image.data + size_t(y) * rowBytes; };
    float strongest = 0.0f;
    {
        EdgeStrengths strengths(w, h, 0, w);
        // Without room for its rows the picture is left as it is.
        if (!strengths.Usable())
            return;
        for (int y = 0; y < h; ++y)
            strengths.Add(y, row(y), [&](int, const float *s) {
                for (int x = 0; x < w; ++x)
                    strongest = std::max(strongest, s[x]);
            });
    }
    EdgeStrengths strengths(w, h, 0, w);
    if (!strengths.Usable())
        return;
    // A row is marked once handed on; only later rows are read after that.
    for (int y = 0; y < h; ++y)
        strengths.Add(y, row(y), [&](int r, const float *s) {
            unsigned char *q = row(r);
            for (int x = 0; x < w; ++x, q += 3) {
                q[0] = IsEdge(s[x], strongest) ? 255 : 0;
                q[1] = 0;
                q[2] = 0;
            }
        });
}

// Neighbours are clamped to width - 2 and height - 2, then to 0: the last row
// and column of the picture never take part.
EdgeStrengths::EdgeStrengths(int width, int height, int firstColumn, int endColumn)
    : width(width), height(height), firstColumn(firstColumn), endColumn(std::max(endColumn, firstColumn)),
      brightFirst(std::max(firstColumn - 2, 0)), brightEnd(std::max(std::min(endColumn + 2, width), brightFirst)),
      brightness(new (std::nothrow) float[size_t(Slots) * size_t(brightEnd - brightFirst + 1)]),
      strengths(new (std::nothrow) float[size_t(this->endColumn - firstColumn + 1)])
{}

EdgeStrengths::~EdgeStrengths() = default;

float *EdgeStrengths::Brightness(int y) const
{
    return brightness.get() + size_t(y % Slots) * size_t(brightEnd - brightFirst + 1);
}

void EdgeStrengths::Add(int y, const unsigned char *row, const std::function<void(int, const float *)> &take)
{
    const unsigned char *p = row + size_t(brightFirst) * 3;
    float *to = Brightness(y);
    const int count = brightEnd - brightFirst;
    int i = 0;
#ifdef KVP_X86
    if (Cpu::Has(Cpu::Avx512)) {
        BrightnessAvx512(p, count, to);
        i = count;
    }
#endif
    for (; i < count; ++i, p += 3) {
        const float r = p[0], g = p[1], b = p[2];
        to[i] = std::sqrt(r * r + g * g + b * b);
    }

    // Row r reads rows up to r + 2, or height - 2 near the bottom.
    const int complete = y == height - 1 ? height - 1 : y - 2;
    for (; handed <= complete; ++handed) {
        Measure(handed);
        take(handed, strengths.get());
    }
}

void EdgeStrengths::Measure(int y)
{
    // Each line starts at column brightFirst, each strength at firstColumn.
    const float *lines[5];
    for (int i = 0; i < 5; ++i)
        lines[i] = Brightness(std::max(std::min(y - 2 + i, height - 2), 0));
    float *out = strengths.get();
    // Inside, from column 2 to width - 4, no neighbour is clamped.
    const int insideFirst = std::max(firstColumn, 2);
    const int insideEnd = std::min(endColumn, width - 3);
    int vectorEnd = insideFirst;
#ifdef KVP_X86
    if (Cpu::Has(Cpu::Avx512)) {
        for (; vectorEnd + 16 <= insideEnd; vectorEnd += 16)
            StrengthsAvx512(lines, vectorEnd - brightFirst, out + (vectorEnd - firstColumn));
    }
#endif
    for (int x = firstColumn; x < endColumn; ++x) {
        if (x == insideFirst)
            x = vectorEnd;
        if (x >= endColumn)
            break;
        int columns[5];
        for (int j = 0; j < 5; ++j)
            columns[j] = std::max(std::min(x - 2 + j, width - 2), 0) - brightFirst;
        float gx = 0.0f, gy = 0.0f;
        for (int i = 0; i < 5; ++i) {
            for (int j = 0; j < 5; ++j) {
                gx += lines[i][columns[j]] * Horizontal[i][j];
                gy += lines[i][columns[j]] * Vertical[i][j];
            }
        }
        out[x - firstColumn] = std::sqrt(gx * gx + gy * gy);
    }
}

int CountEdgePixels(const float *strengths, int count, float strongest)
{
#ifdef KVP_X86
    if (Cpu::Has(Cpu::Avx512))
        return CountEdgesAvx512(strengths, count, strongest);
#endif
    int edges = 0;
    for (int i = 0; i < count; ++i)
        edges += IsEdge(strengths[i], strongest);
    return edges;
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
