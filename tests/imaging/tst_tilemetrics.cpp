#include "ImagingTestSupport.h"
#include "imaging/TileMetrics.h"

#include <QImage>
#include <QTest>

namespace {

bool Is(const Image &image, int x, int y, color3 c)
{
    const unsigned char *p = image.data + (size_t(y) * image.width + x) * 3;
    return p[0] == c.r && p[1] == c.g && p[2] == c.b;
}

// A byte value that quantises to level q (0 to 63) the way the table lookup does.
unsigned char ByteForLevel(int q)
{
    for (int v = 0; v < 256; ++v)
        if (int(v / 255.0f * 63.0f + 0.5f) == q)
            return static_cast<unsigned char>(v);
    return 0;
}

const color3 EdgeRed{255, 0, 0}, Black{0, 0, 0}, White{255, 255, 255};

}   // namespace

Q_DECLARE_METATYPE(Image)

class TstTileMetrics : public QObject {
    Q_OBJECT
private slots:
    void difference_data();
    void difference();
    void rotatedDifferences_data();
    void rotatedDifferences();
    void fleshTone_data();
    void fleshTone();
    void skinColourSet();
    void edges_data();
    void edges();
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
    QTest::newRow("black and white") << Solid(16, 16, Black) << Solid(16, 16, White) << 49939200;
    QTest::newRow("one pixel") << Solid(4, 4, {10, 10, 10}) << Make(4, 4, [](int x, int y) {
        return x == 3 && y == 2 ? color3{13, 14, 15} : color3{10, 10, 10};
    }) << 9 + 16 + 25;
    // Pixels are matched by their place in memory, so a wider b shifts rows.
    QTest::newRow("memory order") << Make(2, 2, [](int x, int y) {
        return color3{static_cast<unsigned char>(2 * y + x), 0, 0};
    }) << Make(4, 1, [](int x, int) {
        return color3{static_cast<unsigned char>(x), 0, 0};
    }) << 0;
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
    QTest::newRow("across the turning blocks") << 70 << 45;
}

// Comparing by index arithmetic equals comparing a turned copy, and a turned
// copy is what the index arithmetic expects.
void TstTileMetrics::rotatedDifferences()
{
    QFETCH(int, w);
    QFETCH(int, h);
    const Image a = Noise(w, h, 3), b = Noise(h, w, 11);
    Image left = a, right = a;
    left.RotateLeft();
    right.RotateRight();
    QCOMPARE(DifferenceRotateLeft(a, b), DifferenceSameOrientation(left, b));
    QCOMPARE(DifferenceRotateRight(a, b), DifferenceSameOrientation(right, b));
    QCOMPARE(DifferenceRotateLeft(a, left), 0);
    QCOMPARE(DifferenceRotateRight(a, right), 0);
    QCOMPARE(DifferenceRotateLeft(Image(), b), 0);
    QCOMPARE(DifferenceRotateRight(Image(), b), 0);
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
    QCOMPARE(FleshTone({static_cast<unsigned char>(r), static_cast<unsigned char>(g), static_cast<unsigned char>(b)}),
             skin);
}

void TstTileMetrics::skinColourSet()
{
    // The stated shape: per listed blue level, the count and the red and green
    // ranges; overall 9,113 colours within fixed bounds on qR - qG and qG - qB.
    struct Level {
        int qB, count, rFrom, rTo, gFrom, gTo;
    };
    const Level listed[] = {
        {0, 7, 4, 13, 2, 4},       {8, 198, 7, 41, 5, 22},    {16, 235, 15, 50, 15, 32},
        {24, 263, 24, 63, 21, 40}, {32, 195, 32, 63, 29, 47}, {40, 128, 43, 63, 38, 54},
        {48, 72, 51, 63, 48, 58},  {56, 24, 57, 63, 55, 62},  {63, 2, 63, 63, 62, 63},
    };
    Level levels[64];
    int total = 0;
    for (int qB = 0; qB < 64; ++qB) {
        levels[qB] = {qB, 0, 64, -1, 64, -1};
        for (int qG = 0; qG < 64; ++qG)
            for (int qR = 0; qR < 64; ++qR) {
                if (!FleshTone({ByteForLevel(qR), ByteForLevel(qG), ByteForLevel(qB)}))
                    continue;
                QVERIFY(qR - qG >= -1 && qR - qG <= 30);
                QVERIFY(qG - qB >= -4 && qG - qB <= 17);
                Level &level = levels[qB];
                ++level.count;
                level.rFrom = std::min(level.rFrom, qR);
                level.rTo = std::max(level.rTo, qR);
                level.gFrom = std::min(level.gFrom, qG);
                level.gTo = std::max(level.gTo, qG);
                ++total;
            }
        // Every level holds a band, so no blue level is a gap.
        QVERIFY(levels[qB].count > 0);
    }
    QVERIFY2(std::abs(total - 9113) <= 5, qPrintable(QString::number(total)));
    for (const Level &l : listed) {
        const Level &level = levels[l.qB];
        QVERIFY2(std::abs(level.count - l.count) <= 1,
                 qPrintable(QStringLiteral("level %1: %2").arg(l.qB).arg(level.count)));
        QVERIFY(std::abs(level.rFrom - l.rFrom) <= 1 && level.rTo == l.rTo);
        QVERIFY(level.gFrom == l.gFrom && level.gTo == l.gTo);
    }
}

void TstTileMetrics::edges_data()
{
    QTest::addColumn<Image>("image");
    QTest::addColumn<int>("redFrom");   // the columns that become red; the rest black
    QTest::addColumn<int>("redTo");
    // Without any gradient every pixel becomes red.
    QTest::newRow("flat") << Solid(12, 9, {40, 90, 200}) << 0 << 11;
    QTest::newRow("one pixel") << Solid(1, 1, White) << 0 << 0;
    QTest::newRow("one row") << Solid(7, 1, {1, 2, 3}) << 0 << 6;
    QTest::newRow("one column") << Solid(1, 6, {90, 0, 0}) << 0 << 0;
    // The last row and column of the brightness map are never read.
    QTest::newRow("only the last column differs")
        << Make(10, 10, [](int x, int) { return x == 9 ? White : Black; }) << 0 << 9;
    QTest::newRow("only the last row differs")
        << Make(10, 10, [](int, int y) { return y == 9 ? White : Black; }) << 0 << 9;
    QTest::newRow("vertical boundary") << Make(20, 10, [](int x, int) { return x < 10 ? Black : White; }) << 8 << 11;
    // A faint step beside a strong one falls under a tenth of the strongest edge.
    QTest::newRow("faint and strong steps") << Make(30, 6, [](int x, int) {
        const unsigned char v = x < 10 ? 100 : (x < 20 ? 102 : 255);
        return color3{v, v, v};
    }) << 18 << 21;
}

void TstTileMetrics::edges()
{
    QFETCH(Image, image);
    QFETCH(int, redFrom);
    QFETCH(int, redTo);
    DrawEdges(image);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            QVERIFY2(Is(image, x, y, x >= redFrom && x <= redTo ? EdgeRed : Black),
                     qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
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
            QCOMPARE(target.pixel(x, y), inside ? qRgba(x - 32, y - 16, 200, 255) : 0u);
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
