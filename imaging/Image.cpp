#include "imaging/Image.h"

#include "imaging/Cpu.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

#ifdef KVP_X86
#include <immintrin.h>
#endif

namespace {

size_t PixelCount(int w, int h)
{
    if (w < 1 || h < 1)
        return 0;
    return size_t(w) * size_t(h);
}

// A large black image, the output of a large mosaic, is drawn all over and
// then read whole by the encoder: in huge pages, where the system gives them
// to those who ask, that takes far fewer page faults.
void PreferHugePages(unsigned char *buffer, size_t bytes)
{
#ifdef MADV_HUGEPAGE
    constexpr size_t Large = size_t(64) << 20;
    if (bytes < Large)
        return;
    const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
    const uintptr_t start = (reinterpret_cast<uintptr_t>(buffer) + page - 1) & ~(page - 1);
    madvise(reinterpret_cast<void *>(start), reinterpret_cast<uintptr_t>(buffer) + bytes - start, MADV_HUGEPAGE);
#else
    Q_UNUSED(buffer);
    Q_UNUSED(bytes);
#endif
}

// Null when the buffer cannot be had; callers keep their dimensions then.
unsigned char *AllocatePixels(size_t pixels, bool zeroed)
{
    if (pixels == 0)
        return nullptr;
    // calloc takes a large buffer straight from the system as untouched zero
    // pages: a black output image costs nothing until it is drawn into, and
    // then only once, by the threads drawing it.
    if (zeroed) {
        auto *buffer = static_cast<unsigned char *>(std::calloc(pixels, 3));
        if (buffer)
            PreferHugePages(buffer, pixels * 3);
        return buffer;
    }
    return static_cast<unsigned char *>(std::malloc(pixels * 3));
}

// The 1-2-1 kernel along one row, in place, from pixel k on (pixel k - 1
// holds its final value): pixel k - 1 already holds its smoothed value when
// pixel k is computed, so the smoothing runs on.
// (4c + 2(p + n)) >> 3 equals (2c + p + n) >> 2; the running values stay in
// registers instead of being read back from the bytes just stored.
void SmoothRowFrom(unsigned char *row, int width, int k)
{
    unsigned p0 = row[3 * k - 3], p1 = row[3 * k - 2], p2 = row[3 * k - 1];
    unsigned char *px = row + 3 * size_t(k);
    for (; k < width - 1; ++k, px += 3) {
        p0 = (2 * px[0] + p0 + px[3]) >> 2;
        p1 = (2 * px[1] + p1 + px[4]) >> 2;
        p2 = (2 * px[2] + p2 + px[5]) >> 2;
        px[0] = static_cast<unsigned char>(p0);
        px[1] = static_cast<unsigned char>(p1);
        px[2] = static_cast<unsigned char>(p2);
    }
}

#ifdef KVP_X86
// The running pass four pixels a step. With a = 2c + n, each new value is
// p = floor((a + p') / 4) of the one before it, p', and nested floors of
// divisions by 4 fold into one:
//   floor((a2 + floor((a1 + p0) / 4)) / 4) = floor((4 a2 + a1 + p0) / 16).
// So the m-th pixel of a step is (sum of 4^(i-1) a_i for i <= m, plus the
// last value of the step before) >> 2m, at most 765 * 85 + 255: the sums fit
// 16-bit lanes, are made by a prefix sum over lanes three apart, and only
// the last pixel of a step waits for the step before. Returns the first
// pixel it left for the plain loop.
__attribute__((target("avx512f,avx512bw,avx512vl"))) int SmoothRowAvx512(unsigned char *row, int width)
{
    const size_t rowBytes = size_t(width) * 3;
    // A step reads bytes j .. j + 18 and writes j .. j + 11, before the last pixel.
    if (rowBytes < 3 + 19 || rowBytes < 3 + 12 + 3)
        return 1;
    const size_t lastStep = std::min(rowBytes - 19, rowBytes - 15);
    const __m256i weights = _mm256_setr_epi16(0, 0, 0, 2, 2, 2, 4, 4, 4, 6, 6, 6, 0, 0, 0, 0);
    const __m256i shifts = _mm256_setr_epi16(2, 2, 2, 4, 4, 4, 6, 6, 6, 8, 8, 8, 0, 0, 0, 0);
    const __m256i back3 = _mm256_setr_epi16(0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12);
    const __m256i back6 = _mm256_setr_epi16(0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9);
    const __m256i lastPixel = _mm256_setr_epi16(9, 10, 11, 9, 10, 11, 9, 10, 11, 9, 10, 11, 9, 10, 11, 9);
    __m256i previous = _mm256_maskz_set1_epi16(0x0200, row[0]);
    previous = _mm256_mask_set1_epi16(previous, 0x0400, row[1]);
    previous = _mm256_mask_set1_epi16(previous, 0x0800, row[2]);
    // (Masked narrowing with every lane set: the plain one trips a false
    // "may be used uninitialized" warning inside GCC 12's own header.)
    // The next step's bytes are read before this step's are written: a load
    // behind a masked store to the same 16 bytes would wait for the store.
    size_t j = 3;
    __m128i current = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + j));
    __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + j + 3));
    for (;;) {
        const __m256i c = _mm256_cvtepu8_epi16(current);
        const __m256i n = _mm256_cvtepu8_epi16(next);
        const bool more = j + 12 <= lastStep;
        if (more) {
            current = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + j + 12));
            next = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + j + 15));
        }
        __m256i sums = _mm256_sllv_epi16(_mm256_add_epi16(_mm256_add_epi16(c, c), n), weights);
        sums = _mm256_add_epi16(sums, _mm256_maskz_permutexvar_epi16(0xFFF8, back3, sums));
        sums = _mm256_add_epi16(sums, _mm256_maskz_permutexvar_epi16(0xFFC0, back6, sums));
        previous = _mm256_srlv_epi16(_mm256_add_epi16(sums, _mm256_permutexvar_epi16(lastPixel, previous)), shifts);
        _mm_mask_storeu_epi8(row + j, 0x0FFF, _mm256_maskz_cvtepi16_epi8(0xFFFF, previous));
        j += 12;
        if (!more)
            return int(j / 3);
    }
}
#endif

void SmoothRow(unsigned char *row, int width)
{
    if (width < 3)
        return;
    int k = 1;
#ifdef KVP_X86
    if (Cpu::Has(Cpu::Avx512))
        k = SmoothRowAvx512(row, width);
#endif
    SmoothRowFrom(row, width, k);
}

// The same kernel down the columns for one row, whose row above is already
// smoothed; every byte of the row is independent of the others.
#ifdef KVP_X86
__attribute__((target("avx512f,avx512bw,avx512vl"))) inline __m512i Wide(const unsigned char *p)
{
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

__attribute__((target("avx512f,avx512bw,avx512vl"))) size_t SmoothBetweenAvx512(unsigned char *row,
                                                                                const unsigned char *above,
                                                                                const unsigned char *below,
                                                                                size_t bytes)
{
    size_t i = 0;
    for (; i + 32 <= bytes; i += 32) {
        const __m512i c = Wide(row + i);
        const __m512i sum =
            _mm512_add_epi16(_mm512_add_epi16(c, c), _mm512_add_epi16(Wide(above + i), Wide(below + i)));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(row + i),
                            _mm512_maskz_cvtepi16_epi8(~__mmask32(0), _mm512_srli_epi16(sum, 2)));
    }
    return i;
}

// Sixteen bytes a step from byte i on; returns the first byte it left.
__attribute__((target("sse2"))) size_t SmoothBetweenSse2(unsigned char *row, const unsigned char *above,
                                                         const unsigned char *below, size_t i, size_t bytes)
{
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= bytes; i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(row + i));
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(above + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(below + i));
        const __m128i lo =
            _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(c, zero)),
                                         _mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero))),
                           2);
        const __m128i hi =
            _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(c, zero), _mm_unpackhi_epi8(c, zero)),
                                         _mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero))),
                           2);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(row + i), _mm_packus_epi16(lo, hi));
    }
    return i;
}
#endif

// The widest pass the processor has, then the narrower ones on what is left.
void SmoothBetween(unsigned char *row, const unsigned char *above, const unsigned char *below, size_t bytes)
{
    size_t i = 0;
#ifdef KVP_X86
    if (Cpu::Has(Cpu::Avx512))
        i = SmoothBetweenAvx512(row, above, below, bytes);
    if (Cpu::Has(Cpu::Sse2))
        i = SmoothBetweenSse2(row, above, below, i, bytes);
#endif
    for (; i < bytes; ++i)
        row[i] = static_cast<unsigned char>((2 * row[i] + above[i] + below[i]) >> 2);
}

enum Smoothing { SmoothNone = 0, SmoothRows = 1, SmoothColumns = 2 };

// The passes Sample2d runs before sampling (a reduction) or after (an
// enlargement); a direction whose step is exactly 1.0 is never smoothed.
int SmoothingBefore(double stepX, double stepY, int height)
{
    return (stepX > 1.0 && height > 0 ? SmoothRows : 0) | (stepY > 1.0 && height >= 3 ? SmoothColumns : 0);
}

int SmoothingAfter(double stepX, double stepY, int height)
{
    return (stepX < 1.0 && height > 0 ? SmoothRows : 0) | (stepY < 1.0 && height >= 3 ? SmoothColumns : 0);
}

// The horizontal pass over every row, then the vertical pass over every row,
// done in one sweep: the vertical pass of row k needs rows k and k + 1
// already smoothed along, and row k - 1 smoothed both ways, which is exactly
// what the sweep has made by then. Each row is read once while in cache.
void Smooth(unsigned char *buffer, int width, int height, int passes)
{
    const size_t rowBytes = size_t(width) * 3;
    auto row = [&](int y) { return buffer + size_t(y) * rowBytes; };
    if (!(passes & SmoothColumns)) {
        if (passes & SmoothRows)
            for (int y = 0; y < height; ++y)
                SmoothRow(row(y), width);
        return;
    }
    const bool rows = passes & SmoothRows;
    if (rows) {
        SmoothRow(row(0), width);
        SmoothRow(row(1), width);
    }
    for (int y = 1; y < height - 1; ++y) {
        if (rows)
            SmoothRow(row(y + 1), width);
        SmoothBetween(row(y), row(y - 1), row(y + 1), rowBytes);
    }
}

// Nearest-neighbour sampling of a region into the whole of dst, fed the
// source rows top to bottom. Positions grow by repeated addition; truncating
// the running sums is what decides which source pixels are picked, so the
// column offsets, the same for every row, are worked out once, and a row that
// picks the same source row as the row before is a copy of it.
class RowSampler {
public:
    RowSampler(unsigned char *dst, int dstWidth, int dstHeight, int x0, int y0, double stepX, double stepY)
        : to(dst), dstWidth(dstWidth), dstHeight(dstHeight), dstRowBytes(size_t(dstWidth) * 3), x0(x0), stepX(stepX),
          stepY(stepY), rowPosition(y0), offsets(new (std::nothrow) size_t[size_t(dstWidth)])
    {
        double columnPosition = x0;
        for (int c = 0; c < dstWidth; ++c, columnPosition += stepX) {
            if (offsets)
                offsets[size_t(c)] = size_t(columnPosition) * 3;
        }
    }

    bool Done() const { return row == dstHeight; }
    // The source row the next destination row picks.
    size_t NextSourceRow() const { return size_t(rowPosition); }

    // Fills the destination rows that pick source row sourceRow, if any.
    void Take(size_t sourceRow, const unsigned char *from)
    {
        for (; row < dstHeight && size_t(rowPosition) == sourceRow; ++row, rowPosition += stepY, to += dstRowBytes) {
            if (row > 0 && sourceRow == previousRow)
                std::memcpy(to, to - dstRowBytes, dstRowBytes);
            else
                SampleColumns(from, to);
            previousRow = sourceRow;
        }
    }

private:
    void SampleColumns(const unsigned char *from, unsigned char *px) const
    {
        if (offsets) {
            for (int c = 0; c < dstWidth; ++c, px += 3) {
                const unsigned char *p = from + offsets[size_t(c)];
                px[0] = p[0];
                px[1] = p[1];
                px[2] = p[2];
            }
        } else {
            double position = x0;
            for (int c = 0; c < dstWidth; ++c, position += stepX, px += 3) {
                const unsigned char *p = from + size_t(position) * 3;
                px[0] = p[0];
                px[1] = p[1];
                px[2] = p[2];
            }
        }
    }

    unsigned char *to;   // the next destination row
    int dstWidth, dstHeight;
    size_t dstRowBytes;
    int x0;
    double stepX, stepY;
    double rowPosition;
    std::unique_ptr<size_t[]> offsets;   // null when they cannot be had
    int row = 0;
    size_t previousRow = 0;
};

void Sample(const unsigned char *src, int srcWidth, unsigned char *dst, int dstWidth, int dstHeight, int x0, int y0,
            double stepX, double stepY)
{
    if (dstWidth < 1 || dstHeight < 1)
        return;
    RowSampler sampler(dst, dstWidth, dstHeight, x0, y0, stepX, stepY);
    const size_t srcRowBytes = size_t(srcWidth) * 3;
    while (!sampler.Done()) {
        const size_t sourceRow = sampler.NextSourceRow();
        sampler.Take(sourceRow, src + sourceRow * srcRowBytes);
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

// Every byte becomes truncate(source * keep + tint of its channel), in single
// precision. Four bytes at a time go through the same float operations, so
// the results are those of the byte-by-byte loop that finishes the row; the
// low eight bits are kept, as the cast to a byte keeps them.
#ifdef KVP_X86
// BlendRow over the rows of a drawing, sixteen bytes at a time: widened to
// 32-bit lanes straight from memory, and narrowed back by VPMOVDB, which
// keeps the low eight bits. A row's last bytes go through masked loads and
// stores, so no row needs the byte-by-byte loop.
__attribute__((target("avx512f,avx512bw,avx512vl"))) void BlendRowsAvx512(unsigned char *to, size_t toStride,
                                                                          const unsigned char *from, size_t fromStride,
                                                                          int rows, size_t bytes, float keep,
                                                                          const float tint[3])
{
    // Groups of sixteen bytes from the start of a row: group j starts at
    // channel j mod 3.
    __m512 tints[3];
    for (int j = 0; j < 3; ++j) {
        alignas(64) float lanes[16];
        for (int l = 0; l < 16; ++l)
            lanes[l] = tint[(j + l) % 3];
        tints[j] = _mm512_load_ps(lanes);
    }
    const __m512 keeps = _mm512_set1_ps(keep);
    // Masked conversions with every lane set: the plain ones trip a false
    // "may be used uninitialized" warning inside GCC 12's own header.
    constexpr __mmask16 All = 0xFFFF;
    for (int r = 0; r < rows; ++r, to += toStride, from += fromStride) {
        for (size_t i = 0, j = 0; i < bytes; i += 16, j = j == 2 ? 0 : j + 1) {
            const __mmask16 mask = bytes - i >= 16 ? All : __mmask16((1u << (bytes - i)) - 1);
            const __m128i in = _mm_maskz_loadu_epi8(mask, from + i);
            const __m512 values = _mm512_maskz_cvtepi32_ps(All, _mm512_maskz_cvtepu8_epi32(All, in));
            const __m512 mixed = _mm512_add_ps(_mm512_mul_ps(values, keeps), tints[j]);
            _mm_mask_storeu_epi8(to + i, mask, _mm512_maskz_cvtepi32_epi8(All, _mm512_maskz_cvttps_epi32(All, mixed)));
        }
    }
}

// Forty-eight bytes a step: 12 groups of four; group j starts at channel
// (4j) mod 3. Returns the first byte it left for the plain loop.
__attribute__((target("sse2"))) size_t BlendRowSse2(unsigned char *to, const unsigned char *from, size_t bytes,
                                                    float keep, const float tint[3])
{
    const __m128 tints[3] = {_mm_setr_ps(tint[0], tint[1], tint[2], tint[0]),
                             _mm_setr_ps(tint[1], tint[2], tint[0], tint[1]),
                             _mm_setr_ps(tint[2], tint[0], tint[1], tint[2])};
    const __m128 keeps = _mm_set1_ps(keep);
    const __m128i zero = _mm_setzero_si128();
    const __m128i lowByte = _mm_set1_epi32(0xFF);
    size_t i = 0;
    for (; i + 48 <= bytes; i += 48) {
        for (int part = 0; part < 3; ++part) {
            const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i + 16 * part));
            const __m128i words[2] = {_mm_unpacklo_epi8(in, zero), _mm_unpackhi_epi8(in, zero)};
            __m128i out[4];
            for (int q = 0; q < 4; ++q) {
                const __m128i ints =
                    q % 2 ? _mm_unpackhi_epi16(words[q / 2], zero) : _mm_unpacklo_epi16(words[q / 2], zero);
                const __m128 mixed = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(ints), keeps), tints[(4 * part + q) % 3]);
                out[q] = _mm_and_si128(_mm_cvttps_epi32(mixed), lowByte);
            }
            const __m128i packed = _mm_packus_epi16(_mm_packs_epi32(out[0], out[1]), _mm_packs_epi32(out[2], out[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i + 16 * part), packed);
        }
    }
    return i;
}
#endif

void BlendRow(unsigned char *to, const unsigned char *from, size_t bytes, float keep, const float tint[3],
              [[maybe_unused]] bool sse2)
{
    size_t i = 0;
#ifdef KVP_X86
    if (sse2)
        i = BlendRowSse2(to, from, bytes, keep, tint);
#endif
    for (; i < bytes; i += 3) {
        to[i] = static_cast<unsigned char>(static_cast<int>(from[i] * keep + tint[0]));
        to[i + 1] = static_cast<unsigned char>(static_cast<int>(from[i + 1] * keep + tint[1]));
        to[i + 2] = static_cast<unsigned char>(static_cast<int>(from[i + 2] * keep + tint[2]));
    }
}

// Turns a w by h picture into an h by w one: old pixel (x, y) goes to
// (y, w - 1 - x) when turning left, to (h - 1 - y, x) when turning right.
// The picture is walked in 32 by 32 blocks, column by column inside a block,
// so the pixels written one after the other are neighbours in the new buffer
// and the rows they are read from stay in cache.
void Turn(const unsigned char *src, int w, int h, unsigned char *dst, bool left)
{
    constexpr int Block = 32;
    const size_t srcRowBytes = size_t(w) * 3;
    for (int y0 = 0; y0 < h; y0 += Block) {
        const int rows = std::min(Block, h - y0);
        for (int x0 = 0; x0 < w; x0 += Block) {
            const int x1 = std::min(w, x0 + Block);
            for (int x = x0; x < x1; ++x) {
                const unsigned char *from = src + size_t(y0) * srcRowBytes + size_t(x) * 3;
                unsigned char *to = left ? dst + (size_t(w - 1 - x) * h + size_t(y0)) * 3
                                         : dst + (size_t(x) * h + size_t(h - 1 - y0)) * 3;
                const ptrdiff_t step = left ? 3 : -3;
                for (int r = 0; r < rows; ++r, from += srcRowBytes, to += step) {
                    to[0] = from[0];
                    to[1] = from[1];
                    to[2] = from[2];
                }
            }
        }
    }
}

}   // namespace

Image::Image() : width(0), height(0), data(nullptr)
{}

Image::Image(int w, int h) : width(w), height(h), data(AllocatePixels(PixelCount(w, h), true))
{}

Image::Image(const Image &other) : width(other.width), height(other.height), data(nullptr)
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
    std::free(data);
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
    std::free(data);
}

size_t Image::ByteCount() const
{
    return PixelCount(width, height) * 3;
}

void Image::RotateLeft()
{
    Rotate(true);
}

void Image::RotateRight()
{
    Rotate(false);
}

void Image::Rotate(bool left)
{
    const int w = width;
    const int h = height;
    width = h;
    height = w;
    if (!data)
        return;
    unsigned char *rotated = AllocatePixels(PixelCount(w, h), false);
    if (rotated)
        Turn(data, w, h, rotated, left);
    std::free(data);
    data = rotated;
}

void Image::HalfSize()
{
    Reduce(2);
}

void Image::QuarterSize()
{
    Reduce(4);
}

// Each factor by factor block becomes the truncated mean of its pixels; the
// rows and columns left over at the right and bottom are dropped.
void Image::Reduce(int factor)
{
    const int oldWidth = width;
    width /= factor;
    height /= factor;
    if (!data)
        return;
    unsigned char *reduced = AllocatePixels(PixelCount(width, height), false);
    if (reduced) {
        const size_t rowBytes = size_t(oldWidth) * 3;
        const size_t blockBytes = size_t(factor) * 3;
        const unsigned area = unsigned(factor * factor);
        unsigned char *to = reduced;
        for (int j = 0; j < height; ++j) {
            const unsigned char *block = data + size_t(factor) * size_t(j) * rowBytes;
            for (int i = 0; i < width; ++i, block += blockBytes) {
                unsigned sum[3] = {0, 0, 0};
                for (int dy = 0; dy < factor; ++dy) {
                    const unsigned char *p = block + size_t(dy) * rowBytes;
                    for (size_t dx = 0; dx < blockBytes; dx += 3) {
                        sum[0] += p[dx];
                        sum[1] += p[dx + 1];
                        sum[2] += p[dx + 2];
                    }
                }
                for (int c = 0; c < 3; ++c)
                    *to++ = static_cast<unsigned char>(sum[c] / area);
            }
        }
    }
    std::free(data);
    data = reduced;
}

void Image::Resize(int w, int h, bool filter)
{
    // Steps of exactly 1.0 neither smooth nor move a pixel.
    if (data && w == width && h == height)
        return;
    const size_t pixels = PixelCount(w, h);
    if (data) {
        unsigned char *resized = AllocatePixels(pixels, false);
        if (resized)
            Sample2d(data, width, height, resized, w, h, 0, 0, width, height, filter);
        std::free(data);
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
        std::free(data);
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
    unsigned char *to = data + size_t(y + span.firstRow) * rowBytes + size_t(x + span.firstColumn) * 3;
    const unsigned char *from = src.data + size_t(span.firstRow) * srcRowBytes + size_t(span.firstColumn) * 3;
#ifdef KVP_X86
    if (Cpu::Has(Cpu::Avx512)) {
        BlendRowsAvx512(to, rowBytes, from, srcRowBytes, span.endRow - span.firstRow, bytes, keep, tint);
        return;
    }
#endif
    const bool sse2 = Cpu::Has(Cpu::Sse2);
    for (int r = span.firstRow; r < span.endRow; ++r, to += rowBytes, from += srcRowBytes)
        BlendRow(to, from, bytes, keep, tint, sse2);
}

void Sample2d(unsigned char *src, int srcWidth, int srcHeight, unsigned char *dst, int dstWidth, int dstHeight, int x0,
              int y0, int regionWidth, int regionHeight, int filter)
{
    const double stepX = double(regionWidth) / dstWidth;
    const double stepY = double(regionHeight) / dstHeight;
    // A reduction is smoothed before it is sampled, an enlargement after.
    if (filter)
        Smooth(src, srcWidth, srcHeight, SmoothingBefore(stepX, stepY, srcHeight));
    Sample(src, srcWidth, dst, dstWidth, dstHeight, x0, y0, stepX, stepY);
    if (filter)
        Smooth(dst, dstWidth, dstHeight, SmoothingAfter(stepX, stepY, dstHeight));
}

// Smooth(picture, width, height, passes) on the rows as they come, each
// handed on as soon as it is final: at once when only the rows are smoothed,
// else one row later, when the row below is there for the vertical pass (the
// first and last rows are never smoothed down the columns). Three rows are
// kept then, in turn. A chain that serves only part of each row smooths along
// the first smoothedWidth pixels (exact for all but the last of them, unless
// that is the row's own last) and down the bytes from firstByte to endByte.
class SmoothingChain {
public:
    SmoothingChain(int passes, int width, int height)
        : SmoothingChain(passes, width, height, width, 0, size_t(width) * 3)
    {}
    SmoothingChain(int passes, int width, int height, int smoothedWidth, size_t firstByte, size_t endByte)
        : passes(passes), height(height), rowBytes(size_t(width) * 3), smoothedWidth(smoothedWidth),
          firstByte(firstByte), endByte(endByte), slots(passes & SmoothColumns ? 3 : 1),
          rows(new (std::nothrow) unsigned char[size_t(slots) * rowBytes])
    {}

    const int passes;
    std::vector<RowSampler> samplers;
    std::function<void(int y, unsigned char *row)> next;   // takes each final row after the samplers

    bool Usable() const { return rows != nullptr; }
    unsigned char *Row(int y) const { return rows.get() + size_t(y % slots) * rowBytes; }

    void RowDone(int y)
    {
        if (passes & SmoothRows)
            SmoothRow(Row(y), smoothedWidth);
        if (!(passes & SmoothColumns)) {
            Hand(y);
            return;
        }
        if (y >= 2) {
            SmoothBetween(Row(y - 1) + firstByte, Row(y - 2) + firstByte, Row(y) + firstByte, endByte - firstByte);
            Hand(y - 1);
        }
        if (y == 0 || y == height - 1)
            Hand(y);
    }

private:
    void Hand(int y)
    {
        for (RowSampler &sampler : samplers)
            sampler.Take(size_t(y), Row(y));
        if (next)
            next(y, Row(y));
    }

    const int height;
    const size_t rowBytes;
    const int smoothedWidth;
    const size_t firstByte, endByte;
    const int slots;
    std::unique_ptr<unsigned char[]> rows;
};

StreamedReduction::StreamedReduction(Plan plan) : plan(std::move(plan))
{}

StreamedReduction::~StreamedReduction() = default;

bool StreamedReduction::Begin(int w, int h)
{
    width = w;
    height = h;
    chains.clear();
    targets = plan(w, h);
    for (const ReductionTarget &target : targets) {
        Image &image = *target.image;
        std::free(image.data);
        image.width = target.width;
        image.height = target.height;
        image.data = AllocatePixels(PixelCount(target.width, target.height), false);
        if (!image.data)
            return false;
        const double stepX = double(w) / target.width;
        const double stepY = double(h) / target.height;
        const int passes = SmoothingBefore(stepX, stepY, h);
        auto chain = std::find_if(chains.begin(), chains.end(),
                                  [passes](const SmoothingChain &c) { return c.passes == passes; });
        if (chain == chains.end()) {
            chains.emplace_back(passes, w, h);
            chain = chains.end() - 1;
            if (!chain->Usable())
                return false;
        }
        chain->samplers.emplace_back(image.data, target.width, target.height, 0, 0, stepX, stepY);
    }
    return !chains.empty();
}

// The decoder writes into the first chain; any other gets a copy.
unsigned char *StreamedReduction::Row(int y)
{
    return chains.front().Row(y);
}

void StreamedReduction::RowDone(int y)
{
    for (size_t i = 1; i < chains.size(); ++i)
        std::memcpy(chains[i].Row(y), chains.front().Row(y), size_t(width) * 3);
    for (SmoothingChain &chain : chains)
        chain.RowDone(y);
    if (y < height - 1)
        return;
    // An enlargement is smoothed after sampling.
    for (const ReductionTarget &target : targets)
        Smooth(target.image->data, target.width, target.height,
               SmoothingAfter(double(width) / target.width, double(height) / target.height, target.height));
}

bool ResizeRows(const Image &source, int width, int height, int firstColumn, int endColumn,
                const std::function<bool(int y, const unsigned char *row)> &take)
{
    firstColumn = std::max(firstColumn, 0);
    endColumn = std::min(endColumn, width);
    if (!source.data || height < 1 || firstColumn >= endColumn)
        return false;
    const int sourceWidth = source.width;
    const int sourceHeight = source.height;
    const size_t sourceRowBytes = size_t(sourceWidth) * 3;
    const auto sourceRow = [&](int y) { return source.data + size_t(y) * sourceRowBytes; };
    // Resize leaves a picture of the size asked for as it is.
    if (width == sourceWidth && height == sourceHeight) {
        for (int y = 0; y < height; ++y)
            if (!take(y, sourceRow(y)))
                return false;
        return true;
    }

    const double stepX = double(sourceWidth) / width;
    const double stepY = double(sourceHeight) / height;
    const int before = SmoothingBefore(stepX, stepY, sourceHeight);
    const int after = SmoothingAfter(stepX, stepY, height);
    // A running pass along the rows goes through every column up to the last
    // one wanted, and reads the one after it.
    const int sampledFirst = after & SmoothRows ? 0 : firstColumn;
    const int sampledEnd = after & SmoothRows ? std::min(width, endColumn + 1) : endColumn;
    std::unique_ptr<size_t[]> offsets(new (std::nothrow) size_t[size_t(sampledEnd)]);
    std::unique_ptr<unsigned char[]> sampled(new (std::nothrow) unsigned char[size_t(width) * 3]);
    if (!offsets || !sampled)
        return false;
    // The positions Sample reaches, by the same additions.
    double position = 0;
    for (int c = 0; c < sampledEnd; ++c, position += stepX)
        offsets[size_t(c)] = size_t(position) * 3;
    const int sourceFirst = int(offsets[size_t(sampledFirst)] / 3);
    const int sourceEnd = int(offsets[size_t(sampledEnd - 1)] / 3) + 1;
    const int sourceSmoothed = std::min(sourceWidth, sourceEnd + 1);
    SmoothingChain sourceRows(before, sourceWidth, sourceHeight, sourceSmoothed, size_t(sourceFirst) * 3,
                              size_t(sourceEnd) * 3);
    SmoothingChain rows(after, width, height, sampledEnd, size_t(firstColumn) * 3, size_t(endColumn) * 3);
    if (!sourceRows.Usable() || !rows.Usable())
        return false;

    bool stopped = false;
    int handed = 0;
    rows.next = [&](int y, unsigned char *row) {
        stopped = stopped || !take(y, row);
        ++handed;
    };
    // Every row of the result that picks a source row gets the same samples;
    // they are taken once, then copied, as the smoothing works in place.
    int row = 0;
    double rowPosition = 0;
    const size_t sampledBytes = size_t(sampledEnd - sampledFirst) * 3;
    sourceRows.next = [&](int y, unsigned char *from) {
        bool taken = false;
        for (; row < height && size_t(rowPosition) == size_t(y) && !stopped; ++row, rowPosition += stepY) {
            if (!taken) {
                unsigned char *to = sampled.get() + size_t(sampledFirst) * 3;
                for (int c = sampledFirst; c < sampledEnd; ++c, to += 3) {
                    const unsigned char *p = from + offsets[size_t(c)];
                    to[0] = p[0];
                    to[1] = p[1];
                    to[2] = p[2];
                }
                taken = true;
            }
            std::memcpy(rows.Row(row) + size_t(sampledFirst) * 3, sampled.get() + size_t(sampledFirst) * 3,
                        sampledBytes);
            rows.RowDone(row);
        }
    };
    const size_t copiedBytes = size_t(before & SmoothRows ? sourceSmoothed : sourceEnd) * 3;
    for (int y = 0; y < sourceHeight && handed < height && !stopped; ++y) {
        std::memcpy(sourceRows.Row(y), sourceRow(y), copiedBytes);
        sourceRows.RowDone(y);
    }
    return !stopped && handed == height;
}
