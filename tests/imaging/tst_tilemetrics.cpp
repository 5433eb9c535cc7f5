#include "TestKit.h"
#include "imaging/TileMetrics.h"

#include <QTest>

namespace {

bool Is(const Image &image, int x, int y, color3 c)
{
    const unsigned char *p = image.data + (size_t(y) * image.width + x) * 3;
    return p[0] == c.r && p[1] == c.g && p[2] == c.b;
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
    void edges_data();
    void edges();
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

QTEST_GUILESS_MAIN(TstTileMetrics)
#include "tst_tilemetrics.moc"
