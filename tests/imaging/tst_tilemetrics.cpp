#include "TestKit.h"
#include "imaging/TileMetrics.h"

#include <QTest>

namespace {

const color3 EdgeRed{255, 0, 0}, Black{0, 0, 0}, White{255, 255, 255};

}   // namespace

Q_DECLARE_METATYPE(Image)

class TstTileMetrics : public QObject {
    Q_OBJECT
private slots:
    void differences();
    void fleshTone_data();
    void fleshTone();
    void edges_data();
    void edges();
};

// Pixels are matched by their place in memory, so a wider b shifts rows.
// Comparing turned by index arithmetic equals comparing a turned copy, also
// for shapes across the turning blocks.
void TstTileMetrics::differences()
{
    const Image noise = Noise(16, 16, 7);
    QCOMPARE(DifferenceSameOrientation(noise, Image(noise)), 0);
    QCOMPARE(DifferenceSameOrientation(Solid(16, 16, Black), Solid(16, 16, White)), 49939200);
    QCOMPARE(DifferenceSameOrientation(Gray(2, 2, {0, 1, 2, 3}), Gray(4, 1, {0, 1, 2, 3})), 0);
    QCOMPARE(DifferenceSameOrientation(Image(), noise), 0);
    QCOMPARE(DifferenceSameOrientation(Solid(4, 4, {10, 10, 10}),
                                       Make(4, 4,
                                            [](int x, int y) {
                                                return x == 3 && y == 2 ? color3{13, 14, 15} : color3{10, 10, 10};
                                            })),
             9 + 16 + 25);
    for (const QSize size : {QSize(16, 16), QSize(5, 3), QSize(2, 7), QSize(70, 45)}) {
        const Image a = Noise(size.width(), size.height(), 3), b = Noise(size.height(), size.width(), 11);
        Image left = a, right = a;
        left.RotateLeft();
        right.RotateRight();
        QCOMPARE(DifferenceRotateLeft(a, b), DifferenceSameOrientation(left, b));
        QCOMPARE(DifferenceRotateRight(a, b), DifferenceSameOrientation(right, b));
        QCOMPARE(DifferenceRotateLeft(a, left) + DifferenceRotateRight(a, right), 0);
        QCOMPARE(DifferenceRotateLeft(Image(), b) + DifferenceRotateRight(Image(), b), 0);
    }
}

void TstTileMetrics::fleshTone_data()
{
    QTest::addColumn<color3>("colour");
    QTest::addColumn<bool>("skin");
    QTest::newRow("dark skin") << color3{97, 61, 53} << true;
    QTest::newRow("mid skin") << color3{200, 150, 120} << true;
    QTest::newRow("white") << White << true;
    QTest::newRow("black") << Black << false;
    QTest::newRow("green") << color3{60, 200, 60} << false;
    QTest::newRow("pure red") << EdgeRed << false;
}

void TstTileMetrics::fleshTone()
{
    QFETCH(color3, colour);
    QFETCH(bool, skin);
    QCOMPARE(FleshTone(colour), skin);
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
            QVERIFY2(Near(Pixel(image, x, y), x >= redFrom && x <= redTo ? EdgeRed : Black, 0),
                     qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
}

QTEST_GUILESS_MAIN(TstTileMetrics)
#include "tst_tilemetrics.moc"
