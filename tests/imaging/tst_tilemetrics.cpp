#include "imaging/Image.h"
#include "imaging/TileMetrics.h"

#include <QImage>
#include <QTest>

#include <algorithm>
#include <functional>

namespace {

Image Make(int w, int h, const std::function<color3(int, int)> &pixel)
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

Image Solid(int w, int h, color3 c)
{
    return Make(w, h, [c](int, int) { return c; });
}

Image Noise(int w, int h, unsigned seed)
{
    Image image(w, h);
    for (size_t i = 0; i < image.ByteCount(); ++i) {
        seed = seed * 1103515245u + 12345u;
        image.data[i] = static_cast<unsigned char>(seed >> 16);
    }
    return image;
}

bool IsRed(const Image &image, int x, int y)
{
    const unsigned char *p = image.data + (size_t(y) * image.width + x) * 3;
    return p[0] == 255 && p[1] == 0 && p[2] == 0;
}

bool IsBlack(const Image &image, int x, int y)
{
    const unsigned char *p = image.data + (size_t(y) * image.width + x) * 3;
    return p[0] == 0 && p[1] == 0 && p[2] == 0;
}

// A byte value that quantises to level q (0 to 63) the way the table lookup does.
unsigned char ByteForLevel(int q)
{
    for (int v = 0; v < 256; ++v)
        if (int(v / 255.0f * 63.0f + 0.5f) == q)
            return static_cast<unsigned char>(v);
    return 0;
}

struct SkinLevelFigures {
    int count = 0;
    int rFrom = 64, rTo = -1, gFrom = 64, gTo = -1;
};

} // namespace

Q_DECLARE_METATYPE(Image)

class TstTileMetrics : public QObject {
    Q_OBJECT
private slots:
    void difference_data();
    void difference();
    void rotatedDifferences_data();
    void rotatedDifferences();
    void rotationIdentities();
    void fleshTone_data();
    void fleshTone();
    void skinColourSet();
    void edges_data();
    void edges();
    void edgesAlongVerticalBoundary();
    void drawIntoQImage();
    void blendIntoQImage_data();
    void blendIntoQImage();
};

void TstTileMetrics::difference_data()
{
    QTest::addColumn<Image>("a");
    QTest::addColumn<Image>("b");
    QTest::addColumn<int>("expected");
    const Image noise = Noise(16, 16, 7);
    QTest::newRow("equal") << noise << Image(noise) << 0;
    QTest::newRow("black and white") << Solid(16, 16, {0, 0, 0}) << Solid(16, 16, {255, 255, 255}) << 49939200;
    QTest::newRow("one pixel") << Solid(4, 4, {10, 10, 10})
                               << Make(4, 4, [](int x, int y) {
                                      return x == 3 && y == 2 ? color3{13, 14, 15} : color3{10, 10, 10};
                                  })
                               << 9 + 16 + 25;
    // Pixels are matched by their place in memory, so a wider b shifts rows.
    QTest::newRow("memory order") << Make(2, 2, [](int x, int y) { return color3{static_cast<unsigned char>(2 * y + x), 0, 0}; })
                                  << Make(4, 1, [](int x, int) { return color3{static_cast<unsigned char>(x), 0, 0}; })
                                  << 0;
    QTest::newRow("no pixels") << Image() << noise << 0;
}

void TstTileMetrics::difference()
{
    QFETCH(Image, a);
    QFETCH(Image, b);
    QFETCH(int, expected);
    QCOMPARE(DifferenceSameOrientation(a, b), expected);
}

void TstTileMetrics::rotatedDifferences_data()
{
    QTest::addColumn<int>("w");
    QTest::addColumn<int>("h");
    QTest::newRow("square") << 16 << 16;
    QTest::newRow("wide") << 5 << 3;
    QTest::newRow("tall") << 2 << 7;
}

void TstTileMetrics::rotatedDifferences()
{
    QFETCH(int, w);
    QFETCH(int, h);
    // Comparing by index arithmetic equals comparing a turned copy.
    const Image a = Noise(w, h, 3);
    const Image b = Noise(h, w, 11);
    Image left = a;
    left.RotateLeft();
    Image right = a;
    right.RotateRight();
    QCOMPARE(DifferenceRotateLeft(a, b), DifferenceSameOrientation(left, b));
    QCOMPARE(DifferenceRotateRight(a, b), DifferenceSameOrientation(right, b));
    QCOMPARE(DifferenceRotateLeft(Image(), b), 0);
    QCOMPARE(DifferenceRotateRight(Image(), b), 0);
}

void TstTileMetrics::rotationIdentities()
{
    const Image p = Noise(16, 16, 5);
    Image left = p;
    left.RotateLeft();
    Image right = p;
    right.RotateRight();
    QCOMPARE(DifferenceRotateLeft(p, left), 0);
    QCOMPARE(DifferenceRotateRight(p, right), 0);
    QVERIFY(DifferenceRotateLeft(p, right) > 0);
    QVERIFY(DifferenceRotateRight(p, left) > 0);
    QVERIFY(DifferenceSameOrientation(p, left) > 0);
    QCOMPARE(DifferenceSameOrientation(Solid(16, 16, {255, 255, 255}), Solid(16, 16, {0, 0, 0})), 49939200);
    QCOMPARE(DifferenceRotateLeft(Solid(16, 16, {255, 255, 255}), Solid(16, 16, {0, 0, 0})), 49939200);
}

void TstTileMetrics::fleshTone_data()
{
    QTest::addColumn<int>("r");
    QTest::addColumn<int>("g");
    QTest::addColumn<int>("b");
    QTest::addColumn<bool>("skin");
    QTest::newRow("dark skin") << 97 << 61 << 53 << true;
    QTest::newRow("mid skin") << 200 << 150 << 120 << true;
    QTest::newRow("light skin") << 230 << 180 << 150 << true;
    QTest::newRow("white") << 255 << 255 << 255 << true;
    QTest::newRow("black") << 0 << 0 << 0 << false;
    QTest::newRow("blue") << 0 << 0 << 255 << false;
    QTest::newRow("grey") << 128 << 128 << 128 << false;
    QTest::newRow("green") << 60 << 200 << 60 << false;
    QTest::newRow("pure red") << 255 << 0 << 0 << false;
}

void TstTileMetrics::fleshTone()
{
    QFETCH(int, r);
    QFETCH(int, g);
    QFETCH(int, b);
    QFETCH(bool, skin);
    const color3 c{static_cast<unsigned char>(r), static_cast<unsigned char>(g), static_cast<unsigned char>(b)};
    QCOMPARE(FleshTone(c), skin);
}

void TstTileMetrics::skinColourSet()
{
    // The stated shape: per listed blue level, the count and the red and green
    // ranges; overall 9,113 colours within fixed bounds on qR - qG and qG - qB.
    struct Listed {
        int qB, count, rFrom, rTo, gFrom, gTo;
    };
    const Listed listed[] = {
        {0, 7, 4, 13, 2, 4},       {8, 198, 7, 41, 5, 22},    {16, 235, 15, 50, 15, 32},
        {24, 263, 24, 63, 21, 40}, {32, 195, 32, 63, 29, 47}, {40, 128, 43, 63, 38, 54},
        {48, 72, 51, 63, 48, 58},  {56, 24, 57, 63, 55, 62},  {63, 2, 63, 63, 62, 63},
    };
    SkinLevelFigures levels[64];
    int total = 0;
    for (int qB = 0; qB < 64; ++qB)
        for (int qG = 0; qG < 64; ++qG)
            for (int qR = 0; qR < 64; ++qR) {
                if (!FleshTone({ByteForLevel(qR), ByteForLevel(qG), ByteForLevel(qB)}))
                    continue;
                QVERIFY(qR - qG >= -1 && qR - qG <= 30);
                QVERIFY(qG - qB >= -4 && qG - qB <= 17);
                SkinLevelFigures &level = levels[qB];
                ++level.count;
                level.rFrom = std::min(level.rFrom, qR);
                level.rTo = std::max(level.rTo, qR);
                level.gFrom = std::min(level.gFrom, qG);
                level.gTo = std::max(level.gTo, qG);
                ++total;
            }
    QVERIFY2(std::abs(total - 9113) <= 5, qPrintable(QString::number(total)));
    for (const Listed &l : listed) {
        const SkinLevelFigures &level = levels[l.qB];
        QVERIFY2(std::abs(level.count - l.count) <= 1, qPrintable(QStringLiteral("level %1: %2").arg(l.qB).arg(level.count)));
        QVERIFY(std::abs(level.rFrom - l.rFrom) <= 1 && level.rTo == l.rTo);
        QCOMPARE(level.gFrom, l.gFrom);
        QCOMPARE(level.gTo, l.gTo);
    }
    // Every level between holds a band too, so no blue level is a gap.
    for (int qB = 0; qB < 64; ++qB)
        QVERIFY(levels[qB].count > 0);
}

void TstTileMetrics::edges_data()
{
    QTest::addColumn<Image>("image");
    QTest::newRow("flat") << Solid(12, 9, {40, 90, 200});
    QTest::newRow("one pixel") << Solid(1, 1, {255, 255, 255});
    QTest::newRow("one row") << Solid(7, 1, {1, 2, 3});
    QTest::newRow("one column") << Solid(1, 6, {90, 0, 0});
    // The last row and column of the brightness map are never read.
    QTest::newRow("only the last column differs") << Make(10, 10, [](int x, int) {
        return x == 9 ? color3{255, 255, 255} : color3{0, 0, 0};
    });
    QTest::newRow("only the last row differs") << Make(10, 10, [](int, int y) {
        return y == 9 ? color3{255, 255, 255} : color3{0, 0, 0};
    });
}

void TstTileMetrics::edges()
{
    // Without any gradient every pixel becomes red.
    QFETCH(Image, image);
    DrawEdges(image);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            QVERIFY2(IsRed(image, x, y), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
}

void TstTileMetrics::edgesAlongVerticalBoundary()
{
    Image image = Make(20, 10, [](int x, int) { return x < 10 ? color3{0, 0, 0} : color3{255, 255, 255}; });
    DrawEdges(image);
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 20; ++x) {
            const bool band = x >= 8 && x <= 11;
            QVERIFY2(band ? IsRed(image, x, y) : IsBlack(image, x, y), qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
        }

    // A faint step beside a strong one falls under a tenth of the strongest edge.
    Image steps = Make(30, 6, [](int x, int) {
        const unsigned char v = x < 10 ? 100 : (x < 20 ? 102 : 255);
        return color3{v, v, v};
    });
    DrawEdges(steps);
    QVERIFY(IsBlack(steps, 9, 3));
    QVERIFY(IsRed(steps, 19, 3));
}

void TstTileMetrics::drawIntoQImage()
{
    QImage target(64, 48, QImage::Format_ARGB32);
    target.fill(0u);
    const Image tile = Make(16, 16, [](int x, int y) {
        return color3{static_cast<unsigned char>(x), static_cast<unsigned char>(y), 200};
    });
    DrawImageIntoQImage(&target, 2, 1, tile);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const bool inside = x >= 32 && x <= 47 && y >= 16 && y <= 31;
            const QRgb expected = inside ? qRgba(x - 32, y - 16, 200, 255) : 0u;
            QCOMPARE(target.pixel(x, y), expected);
        }

    // Positions past the target's edge draw only what fits.
    QImage small(20, 20, QImage::Format_RGB32);
    small.fill(0xff010203u);
    DrawImageIntoQImage(&small, 1, 1, tile);
    QCOMPARE(small.pixel(19, 19), qRgb(3, 3, 200));
    QCOMPARE(small.pixel(15, 15), qRgb(1, 2, 3));
    DrawImageIntoQImage(&small, 5, 0, tile);
    QCOMPARE(small.pixel(0, 0), qRgb(1, 2, 3));
}

void TstTileMetrics::blendIntoQImage_data()
{
    QTest::addColumn<float>("t");
    QTest::addColumn<QRgb>("expected");
    QTest::newRow("pure tile") << 0.0f << qRgb(100, 10, 255);
    QTest::newRow("a fifth") << 0.2f << qRgb(120, 48, 204);
    QTest::newRow("pure colour") << 1.0f << qRgb(200, 200, 0);
}

void TstTileMetrics::blendIntoQImage()
{
    QFETCH(float, t);
    QFETCH(QRgb, expected);
    QImage target(32, 32, QImage::Format_ARGB32);
    target.fill(0u);
    const color3 colour{200, 200, 0};
    DrawImageBlendWithColorIntoQImage(&target, 1, 0, Solid(16, 16, {100, 10, 255}), &colour, t);
    QCOMPARE(target.pixel(16, 0), expected);
    QCOMPARE(target.pixel(31, 15), expected);
    QCOMPARE(target.pixel(15, 0), 0u);
    QCOMPARE(target.pixel(16, 16), 0u);
}

QTEST_GUILESS_MAIN(TstTileMetrics)
#include "tst_tilemetrics.moc"
