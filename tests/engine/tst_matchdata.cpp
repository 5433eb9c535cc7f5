#include "engine/MatchData.h"
#include "engine/Notice.h"
#include "imaging/Image.h"

#include <QSet>
#include <QTest>
#include <cmath>

class TstMatchData : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void tileSizes_data();
    void tileSizes();
    void tileSizesCoverEveryPixel();
    void orderHoldsEveryTileOnce_data();
    void orderHoldsEveryTileOnce();
    void flatPictureOrderedByDistance();
    void skinBeforeDetailBeforePlain();
    void setupStartsAfresh();

private:
    QStringList notices;
};

namespace {
Image Flat(int w, int h, unsigned char r, unsigned char g, unsigned char b)
{
    Image image(w, h);
    for (size_t i = 0; i < image.ByteCount(); i += 3) {
        image.data[i] = r;
        image.data[i + 1] = g;
        image.data[i + 2] = b;
    }
    return image;
}

void Paint(Image &image, int x0, int y0, int w, int h, unsigned char r, unsigned char g, unsigned char b)
{
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) {
            unsigned char *p = image.data + 3 * (size_t(y) * image.width + x);
            p[0] = r;
            p[1] = g;
            p[2] = b;
        }
}

QList<int> ToList(const int *values, int n)
{
    return QList<int>(values, values + n);
}
}

void TstMatchData::init()
{
    notices.clear();
    SetNoticeHandler([this](const QString &title, const QString &text) { notices << title + ": " + text; });
}

void TstMatchData::cleanup()
{
    SetNoticeHandler(nullptr);
}

void TstMatchData::tileSizes_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<int>>("offsets");

    QTest::newRow("10 over 4") << 10 << 4 << QList<int>{3, 2, 2, 3} << QList<int>{0, 3, 5, 7};
    QTest::newRow("7 over 3") << 7 << 3 << QList<int>{2, 3, 2} << QList<int>{0, 2, 5};
    QTest::newRow("9 over 4") << 9 << 4 << QList<int>{2, 3, 2, 2} << QList<int>{0, 2, 5, 7};
    QTest::newRow("14 over 5") << 14 << 5 << QList<int>{3, 3, 3, 2, 3} << QList<int>{0, 3, 6, 9, 11};
    QTest::newRow("multiple") << 12 << 4 << QList<int>{3, 3, 3, 3} << QList<int>{0, 3, 6, 9};
    QTest::newRow("one spare of 5 to the middle") << 11 << 5 << QList<int>{2, 2, 3, 2, 2} << QList<int>{0, 2, 4, 7, 9};
    QTest::newRow("one tile") << 7 << 1 << QList<int>{7} << QList<int>{0};
    QTest::newRow("shorter than count") << 2 << 4 << QList<int>{1, 0, 0, 1} << QList<int>{0, 1, 1, 1};
}

void TstMatchData::tileSizes()
{
    QFETCH(int, length);
    QFETCH(int, count);
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, offsets);

    MatchData data;
    int *s = nullptr;
    int *o = nullptr;
    data.TileSizesAndOffsets(length, count, &s, &o);
    QCOMPARE(ToList(s, count), sizes);
    QCOMPARE(ToList(o, count), offsets);
    delete[] s;
    delete[] o;
}

// Every pixel belongs to exactly one tile and the sizes differ by at most one,
// whatever the remainder.
void TstMatchData::tileSizesCoverEveryPixel()
{
    MatchData data;
    for (int count = 1; count <= 80; ++count) {
        for (int length : {count, count + 1, 2 * count - 1, 1000, 4500, 6000, 6001}) {
            int *s = nullptr;
            int *o = nullptr;
            data.TileSizesAndOffsets(length, count, &s, &o);
            const int base = length / count;
            for (int i = 0; i < count; ++i) {
                QVERIFY2(s[i] == base || s[i] == base + 1, qPrintable(QString("%1 over %2").arg(length).arg(count)));
                if (i > 0)
                    QCOMPARE(o[i], o[i - 1] + s[i - 1]);
            }
            QCOMPARE(o[count - 1] + s[count - 1], length);
            if (length % count >= 2) {
                QCOMPARE(s[0], base + 1);
                QCOMPARE(s[count - 1], base + 1);
            }
            delete[] s;
            delete[] o;
        }
    }
}

void TstMatchData::orderHoldsEveryTileOnce_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("numX");
    QTest::addColumn<int>("numY");

    QTest::newRow("1 by 1") << 50 << 40 << 1 << 1;
    QTest::newRow("landscape 7 by 7") << 400 << 300 << 7 << 7;
    QTest::newRow("portrait 10 by 10") << 300 << 400 << 10 << 10;
    QTest::newRow("picture smaller than grid") << 5 << 4 << 20 << 20;
    QTest::newRow("not square") << 320 << 240 << 12 << 5;
}

void TstMatchData::orderHoldsEveryTileOnce()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, numX);
    QFETCH(int, numY);

    Image picture(width, height);
    for (size_t i = 0; i < picture.ByteCount(); ++i)
        picture.data[i] = (i * 37) % 251;

    MatchData data;
    data.Setup(picture, numX, numY);
    QCOMPARE(data.numTilesX, numX);
    QCOMPARE(data.numTilesY, numY);
    QCOMPARE(data.tileOrder.size(), qsizetype(numX) * numY);
    QSet<QPair<int, int>> seen;
    for (const auto &tile : data.tileOrder) {
        QVERIFY(tile.first >= 0 && tile.first < numY);
        QVERIFY(tile.second >= 0 && tile.second < numX);
        seen.insert(tile);
    }
    QCOMPARE(seen.size(), qsizetype(numX) * numY);
    QVERIFY(data.tileMatches.isEmpty());
    QVERIFY(notices.isEmpty());
}

// With equal skin and edge terms (every tile all edge, no skin) only the
// distance from the centre tile (numX / 2, numY / 2) orders the tiles, the
// farthest first, up to the jitter of at most 0.0005 on the key.
void TstMatchData::flatPictureOrderedByDistance()
{
    const Image picture = Flat(180, 120, 20, 90, 200);
    MatchData data;
    data.Setup(picture, 9, 6);

    const double reference = std::hypot(5.0, 4.0);
    const auto key = [reference](const QPair<int, int> &t) {
        const double v = 0.25 + std::hypot(double(t.second - 4), double(t.first - 3)) / reference * 0.01;
        return 1.0 - v * v;
    };
    for (qsizetype i = 1; i < data.tileOrder.size(); ++i)
        QVERIFY2(key(data.tileOrder[i - 1]) <= key(data.tileOrder[i]) + 0.0005 + 1e-12,
                 qPrintable(QString("position %1").arg(i)));
    QCOMPARE(data.tileOrder.last(), qMakePair(3, 4));
    QVERIFY(notices.isEmpty());
}

void TstMatchData::skinBeforeDetailBeforePlain()
{
    // A 4 by 4 grid of 40 pixel tiles: grey everywhere, a skin-coloured tile
    // at the centre and a striped one at the edge, which the distance term
    // alone would put first.
    Image picture = Flat(160, 160, 128, 128, 128);
    Paint(picture, 80, 80, 40, 40, 200, 150, 120);          // tile (row 2, column 2)
    for (int x = 40; x < 80; x += 10)
        Paint(picture, x, 0, 5, 40, 0, 0, 0);               // stripes in tile (0, 1)

    MatchData data;
    data.Setup(picture, 4, 4);
    QCOMPARE(data.tileOrder.first(), qMakePair(2, 2));
    QCOMPARE(data.tileOrder.at(1), qMakePair(0, 1));
}

void TstMatchData::setupStartsAfresh()
{
    MatchData data;
    data.Setup(Flat(40, 40, 1, 2, 3), 3, 3);
    data.tileMatches["/a.jpg"].append(MatchData::TileMatch{0, 0, 1});
    data.Setup(Flat(40, 40, 1, 2, 3), 2, 5);
    QCOMPARE(data.numTilesX, 2);
    QCOMPARE(data.numTilesY, 5);
    QCOMPARE(data.tileOrder.size(), 10);
    QVERIFY(data.tileMatches.isEmpty());
}

QTEST_GUILESS_MAIN(TstMatchData)
#include "tst_matchdata.moc"
