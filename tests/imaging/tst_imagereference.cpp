#include "imaging/Image.h"

#include <QtTest>

#include <cstring>
#include <random>
#include <vector>

// The raster operations run as fused, vectorized loops; these tests hold them
// byte for byte to straightforward versions of the same rules on random data.
class TstImageReference : public QObject {
    Q_OBJECT
private slots:
    void sample2d_data();
    void sample2d();
    void resizeTwice();
    void rotations();
    void blend_data();
    void blend();
};

namespace {

using Bytes = std::vector<unsigned char>;

void PlainSmoothRows(unsigned char *b, int w, int h)
{
    for (int y = 0; y < h; ++y)
        for (int k = 1; k < w - 1; ++k)
            for (int c = 0; c < 3; ++c) {
                unsigned char *p = b + 3 * (size_t(y) * w + k) + c;
                *p = static_cast<unsigned char>((4 * p[0] + 2 * (p[-3] + p[3])) >> 3);
            }
}

void PlainSmoothColumns(unsigned char *b, int w, int h)
{
    const size_t row = size_t(w) * 3;
    for (int k = 1; k < h - 1; ++k)
        for (size_t i = 0; i < row; ++i) {
            unsigned char *p = b + k * row + i;
            *p = static_cast<unsigned char>((4 * p[0] + 2 * (p[-row] + p[row])) >> 3);
        }
}

void PlainSample2d(unsigned char *src, int sw, int sh, unsigned char *dst, int dw, int dh, int x0,
                   int y0, int rw, int rh, int filter)
{
    const double stepX = double(rw) / dw, stepY = double(rh) / dh;
    if (filter && stepX > 1.0 && sh > 0)
        PlainSmoothRows(src, sw, sh);
    if (filter && stepY > 1.0 && sh >= 3)
        PlainSmoothColumns(src, sw, sh);
    double ry = y0;
    for (int r = 0; r < dh; ++r, ry += stepY) {
        double rx = x0;
        for (int c = 0; c < dw; ++c, rx += stepX)
            for (int k = 0; k < 3; ++k)
                dst[3 * (size_t(r) * dw + c) + k] = src[3 * (size_t(ry) * sw + size_t(rx)) + k];
    }
    if (filter && stepX < 1.0 && dh > 0)
        PlainSmoothRows(dst, dw, dh);
    if (filter && stepY < 1.0 && dh >= 3)
        PlainSmoothColumns(dst, dw, dh);
}

Bytes Random(std::mt19937 &rng, size_t n)
{
    Bytes b(n);
    for (unsigned char &v : b)
        v = static_cast<unsigned char>(rng());
    return b;
}

Image RandomImage(std::mt19937 &rng, int w, int h)
{
    Image image(w, h);
    const Bytes b = Random(rng, image.ByteCount());
    if (!b.empty())
        std::memcpy(image.data, b.data(), b.size());
    return image;
}

bool Same(const Image &a, const Image &b)
{
    return a.width == b.width && a.height == b.height
        && std::memcmp(a.data, b.data, a.ByteCount()) == 0;
}

} // namespace

void TstImageReference::sample2d_data()
{
    QTest::addColumn<int>("maxSide");
    QTest::addColumn<bool>("region");
    QTest::newRow("small, whole pictures") << 9 << false;
    QTest::newRow("medium, whole pictures") << 70 << false;
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
        Bytes src = Random(rng, size_t(sw) * sh * 3);
        Bytes plainSrc = src;
        Bytes dst(size_t(dw) * dh * 3), plainDst(dst.size());
        Sample2d(src.data(), sw, sh, dst.data(), dw, dh, x0, y0, rw, rh, filter);
        PlainSample2d(plainSrc.data(), sw, sh, plainDst.data(), dw, dh, x0, y0, rw, rh, filter);
        const QByteArray what = QString("%1x%2 (%3,%4 %5x%6) to %7x%8, filter %9")
                                    .arg(sw).arg(sh).arg(x0).arg(y0).arg(rw).arg(rh).arg(dw)
                                    .arg(dh).arg(filter).toLatin1();
        QVERIFY2(src == plainSrc, what.constData());
        QVERIFY2(dst == plainDst, what.constData());
    }
}

// The update makes the reduced copy and the key image with one smoothing of
// the picture where it can; both must be what two resized copies give.
void TstImageReference::resizeTwice()
{
    std::mt19937 rng(13);
    std::uniform_int_distribution<int> side(1, 300);
    for (int round = 0; round < 200; ++round) {
        const int w = side(rng), h = side(rng);
        Image picture = RandomImage(rng, w, h);
        const int fw = round % 2 ? side(rng) : qMax(1, w / 3), fh = round % 2 ? side(rng) : qMax(1, h / 3);
        const int sw = round % 3 ? 16 : side(rng), sh = round % 3 ? 16 : side(rng);
        Image expectedFirst = picture, expectedSecond = picture;
        expectedFirst.Resize(fw, fh, true);
        expectedSecond.Resize(sw, sh, true);
        Image first, second;
        ResizeTwice(picture, first, fw, fh, second, sw, sh);
        const QByteArray what = QString("%1x%2 to %3x%4 and %5x%6").arg(w).arg(h).arg(fw).arg(fh)
                                    .arg(sw).arg(sh).toLatin1();
        QVERIFY2(Same(first, expectedFirst), what.constData());
        QVERIFY2(Same(second, expectedSecond), what.constData());
    }
}

void TstImageReference::rotations()
{
    std::mt19937 rng(11);
    for (int round = 0; round < 100; ++round) {
        const int w = 1 + int(rng() % 90), h = 1 + int(rng() % 90);
        const Image original = RandomImage(rng, w, h);
        Image left = original, right = original;
        left.RotateLeft();
        right.RotateRight();
        Image plainLeft(h, w), plainRight(h, w);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) {
                    const unsigned char v = original.data[3 * (size_t(y) * w + x) + c];
                    plainLeft.data[3 * (size_t(w - 1 - x) * h + y) + c] = v;
                    plainRight.data[3 * (size_t(x) * h + (h - 1 - y)) + c] = v;
                }
        QVERIFY(Same(left, plainLeft));
        QVERIFY(Same(right, plainRight));
    }
}

void TstImageReference::blend_data()
{
    QTest::addColumn<float>("t");
    QTest::newRow("0") << 0.0f;
    QTest::newRow("0.2") << 0.2f;
    QTest::newRow("0.37") << 0.37f;
    QTest::newRow("0.99") << 0.99f;
    QTest::newRow("1") << 1.0f;
    QTest::newRow("above 1 wraps like the byte cast") << 1.7f;
}

void TstImageReference::blend()
{
    QFETCH(float, t);
    std::mt19937 rng(uint32_t(t * 1000));
    for (int round = 0; round < 60; ++round) {
        const int w = 1 + int(rng() % 120), h = 1 + int(rng() % 40);
        Image target = RandomImage(rng, w + 7, h + 3);
        Image plain = target;
        const Image tile = RandomImage(rng, w, h);
        const color3 colour{static_cast<unsigned char>(rng()), static_cast<unsigned char>(rng()),
                            static_cast<unsigned char>(rng())};
        const int x = int(rng() % 8), y = int(rng() % 6);   // may reach below the bottom edge
        target.DrawImageBlendedWithColor(x, y, tile, &colour, t);
        const unsigned char rgb[3] = {colour.r, colour.g, colour.b};
        for (int r = 0; r < h && y + r < plain.height; ++r)
            for (int c = 0; c < w * 3; ++c) {
                const float mixed = tile.data[size_t(r) * w * 3 + c] * (1.0f - t) + rgb[c % 3] * t;
                plain.data[(size_t(y + r) * plain.width + x) * 3 + c] =
                    static_cast<unsigned char>(static_cast<int>(mixed));
            }
        QVERIFY(Same(target, plain));
    }
}

QTEST_GUILESS_MAIN(TstImageReference)
#include "tst_imagereference.moc"
