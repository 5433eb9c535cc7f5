#include "TestKit.h"

#include <QTest>

#include <random>

// The raster operations run as fused, vectorized loops; these tests hold them
// byte for byte to straightforward versions of the same rules on random data.
// Turning is checked against the comparison's index arithmetic in tst_tilemetrics,
// the streamed reduction against Resize in tst_jpeg.
class TstImageReference : public QObject {
    Q_OBJECT
private slots:
    void sample2d_data();
    void sample2d();
    void blend();
};

namespace {

// One in-place running pass of 1-2-1 weights along every row or every column;
// the lines are independent, the first and last pixel of each stay.
void PlainSmooth(Image &image, bool rows)
{
    const size_t rowBytes = size_t(image.width) * 3, lines = rows ? size_t(image.height) * 3 : rowBytes;
    const ptrdiff_t step = rows ? 3 : ptrdiff_t(rowBytes);
    const int length = rows ? image.width : image.height;
    for (size_t line = 0; line < lines; ++line)
        for (int k = 1; k < length - 1; ++k) {
            unsigned char *p = image.data + (rows ? line / 3 * rowBytes + line % 3 : line) + k * step;
            *p = static_cast<unsigned char>((4 * p[0] + 2 * (p[-step] + p[step])) >> 3);
        }
}

void PlainSample2d(Image &src, Image &dst, int x0, int y0, int rw, int rh, int filter)
{
    const double stepX = double(rw) / dst.width, stepY = double(rh) / dst.height;
    if (filter && stepX > 1.0)
        PlainSmooth(src, true);
    if (filter && stepY > 1.0)
        PlainSmooth(src, false);
    double ry = y0;
    for (int r = 0; r < dst.height; ++r, ry += stepY) {
        double rx = x0;
        for (int c = 0; c < dst.width; ++c, rx += stepX)
            for (int k = 0; k < 3; ++k)
                dst.data[3 * (size_t(r) * dst.width + c) + k] = src.data[3 * (size_t(ry) * src.width + size_t(rx)) + k];
    }
    if (filter && stepX < 1.0)
        PlainSmooth(dst, true);
    if (filter && stepY < 1.0)
        PlainSmooth(dst, false);
}

}   // namespace

void TstImageReference::sample2d_data()
{
    QTest::addColumn<int>("maxSide");
    QTest::addColumn<bool>("region");
    QTest::newRow("small, whole pictures") << 9 << false;
    QTest::newRow("medium, regions") << 70 << true;
    QTest::newRow("large, whole pictures") << 400 << false;
}

// Random sizes cover reductions, enlargements, steps of exactly 1, pictures
// narrower or lower than 3 pixels and row lengths that leave vector tails;
// the smoothed source must match as well as the result.
void TstImageReference::sample2d()
{
    QFETCH(int, maxSide);
    QFETCH(bool, region);
    std::mt19937 rng(uint32_t(maxSide) + region);
    std::uniform_int_distribution<int> side(1, maxSide);
    for (int round = 0; round < 300; ++round) {
        const int sw = side(rng), sh = side(rng);
        const int dw = rng() % 4 ? side(rng) : sw, dh = rng() % 4 ? side(rng) : sh;
        int x0 = 0, y0 = 0, rw = sw, rh = sh;
        if (region) {
            rw = 1 + int(rng() % sw);
            rh = 1 + int(rng() % sh);
            x0 = int(rng() % (sw - rw + 1));
            y0 = int(rng() % (sh - rh + 1));
        }
        const int filter = int(rng() % 3);   // any non-zero value filters
        const Image original = Noise(sw, sh, rng());
        Image src = original, plainSrc = original, dst(dw, dh), plainDst(dw, dh);
        Sample2d(src.data, sw, sh, dst.data, dw, dh, x0, y0, rw, rh, filter);
        PlainSample2d(plainSrc, plainDst, x0, y0, rw, rh, filter);
        // Resize is the whole picture's Sample2d, a quarter of the time to its own size.
        Image resized = original;
        if (!region)
            resized.Resize(dw, dh, filter != 0);
        const QString what =
            QString::asprintf("%dx%d (%d,%d %dx%d) to %dx%d, filter %d", sw, sh, x0, y0, rw, rh, dw, dh, filter);
        QVERIFY2(Same(src, plainSrc) && Same(dst, plainDst), qPrintable(what));
        QVERIFY2(region || Same(resized, plainDst), qPrintable(what));
    }
}

// Tiles of widths that leave every vector loop's tail, drawn at odd places
// with random tints and weights.
void TstImageReference::blend()
{
    std::mt19937 rng(17);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_real_distribution<float> weight(0.0f, 1.0f);
    for (int round = 0; round < 60; ++round) {
        const int w = 1 + round * 7 % 113, h = 1 + round % 5;
        const Image tile = Noise(w, h, rng());
        const color3 colour{static_cast<unsigned char>(byte(rng)), static_cast<unsigned char>(byte(rng)),
                            static_cast<unsigned char>(byte(rng))};
        const float t = round % 10 == 0 ? float(round % 20) / 10.0f : weight(rng);
        Image target = Noise(w + 3, h + 2, rng());
        Image expected = target;
        target.DrawImageBlendedWithColor(2, 1, tile, &colour, t);
        const float tint[3] = {colour.r * t, colour.g * t, colour.b * t};
        for (int y = 0; y < h && y + 1 < expected.height; ++y)
            for (int i = 0; i < w * 3; ++i)
                expected.data[(size_t(y + 1) * expected.width + 2) * 3 + i] = static_cast<unsigned char>(
                    static_cast<int>(tile.data[size_t(y) * w * 3 + i] * (1.0f - t) + tint[i % 3]));
        QVERIFY2(Same(target, expected), qPrintable(QString("%1x%2, t %3").arg(w).arg(h).arg(t)));
    }
}

QTEST_GUILESS_MAIN(TstImageReference)
#include "tst_imagereference.moc"
