#include "EngineTestSupport.h"
#include "engine/MatchData.h"

#include <QSet>
#include <QTest>

using namespace EngineTest;

class TstMatchData : public QObject {
    Q_OBJECT
private slots:
    void tileSizes_data();
    void tileSizes();
    void tileSizesCoverEveryPixel();
    void orderHoldsEveryTileOnce_data();
    void orderHoldsEveryTileOnce();
    void flatPictureOrderedByDistance();
    void skinBeforeDetailBeforePlain();
};

void TstMatchData::tileSizes_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<int>>("offsets");

    QTest::newRow("10 over 4") << 10 << QList<int>{3, 2, 2, 3} << QList<int>{0, 3, 5, 7};
    QTest::newRow("7 over 3") << 7 << QList<int>{2, 3, 2} << QList<int>{0, 2, 5};
    QTest::newRow("9 over 4") << 9 << QList<int>{2, 3, 2, 2} << QList<int>{0, 2, 5, 7};
    QTest::newRow("14 over 5") << 14 << QList<int>{3, 3, 3, 2, 3} << QList<int>{0, 3, 6, 9, 11};
    QTest::newRow("one spare of 5 to the middle") << 11 << QList<int>{2, 2, 3, 2, 2} << QList<int>{0, 2, 4, 7, 9};
    QTest::newRow("shorter than count") << 2 << QList<int>{1, 0, 0, 1} << QList<int>{0, 1, 1, 1};
}

void TstMatchData::tileSizes()
{
    QFETCH(int, length);
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, offsets);
    const int count = int(sizes.size());
    int *s = nullptr;
    int *o = nullptr;
    MatchData().TileSizesAndOffsets(length, count, &s, &o);
    QCOMPARE(QList<int>(s, s + count), sizes);
    QCOMPARE(QList<int>(o, o + count), offsets);
    delete[] s;
    delete[] o;
}

// Every pixel belongs to exactly one tile, the sizes differ by at most one,
// and two or more spare pixels go to the ends first.
void TstMatchData::tileSizesCoverEveryPixel()
{
    for (int count = 1; count <= 80; ++count) {
        for (int length : {count + 1, 2 * count - 1, 4500, 6001}) {
            int *s = nullptr;
            int *o = nullptr;
            MatchData().TileSizesAndOffsets(length, count, &s, &o);
            const int base = length / count;
            for (int i = 0; i < count; ++i) {
                QVERIFY2(s[i] == base || s[i] == base + 1, qPrintable(QString("%1 over %2").arg(length).arg(count)));
                QCOMPARE(o[i], i == 0 ? 0 : o[i - 1] + s[i - 1]);
            }
            QCOMPARE(o[count - 1] + s[count - 1], length);
            if (length % count >= 2)
                QVERIFY(s[0] == base + 1 && s[count - 1] == base + 1);
            delete[] s;
            delete[] o;
        }
    }
}

void TstMatchData::orderHoldsEveryTileOnce_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<QSize>("grid");

    QTest::newRow("1 by 1") << QSize(50, 40) << QSize(1, 1);
    QTest::newRow("portrait 10 by 10") << QSize(300, 400) << QSize(10, 10);
    QTest::newRow("picture smaller than grid") << QSize(5, 4) << QSize(20, 20);
    QTest::newRow("not square") << QSize(320, 240) << QSize(12, 5);
}

// The data is set up afresh: nothing of an earlier grid or its matches stays.
void TstMatchData::orderHoldsEveryTileOnce()
{
    QFETCH(QSize, picture);
    QFETCH(QSize, grid);
    Image image(picture.width(), picture.height());
    for (size_t i = 0; i < image.ByteCount(); ++i)
        image.data[i] = (i * 37) % 251;

    MatchData data;
    data.Setup(image, 3, 7);
    data.tileMatches["/a.jpg"].append(MatchData::TileMatch{0, 0, Rotation::DrawTurnedRight});
    data.Setup(image, grid.width(), grid.height());
    QCOMPARE(QSize(data.numTilesX, data.numTilesY), grid);
    QVERIFY(data.tileMatches.isEmpty());
    QSet<QPair<int, int>> seen;
    for (const auto &tile : data.tileOrder) {
        QVERIFY(tile.first >= 0 && tile.first < grid.height() && tile.second >= 0 && tile.second < grid.width());
        seen.insert(tile);
    }
    QCOMPARE(data.tileOrder.size(), qsizetype(grid.width()) * grid.height());
    QCOMPARE(seen.size(), data.tileOrder.size());
}

// With equal skin and edge terms (every tile all edge, no skin) only the
// distance from the centre tile (numX / 2, numY / 2) orders the tiles: a
// farthest corner first, the centre last.
void TstMatchData::flatPictureOrderedByDistance()
{
    MatchData data;
    data.Setup(Flat(180, 120, {20, 90, 200}), 9, 6);
    QVERIFY(data.tileOrder.first() == qMakePair(0, 0) || data.tileOrder.first() == qMakePair(0, 8));
    QCOMPARE(data.tileOrder.last(), qMakePair(3, 4));
}

// A 4 by 4 grid of 40 pixel tiles: grey everywhere, a skin-coloured tile at
// the centre and a striped one at the edge, which the distance term alone
// would put first.
void TstMatchData::skinBeforeDetailBeforePlain()
{
    Image picture = Flat(160, 160, {128, 128, 128});
    Fill(picture, 80, 80, 40, 40, {200, 150, 120});
    for (int x = 40; x < 80; x += 10)
        Fill(picture, x, 0, 5, 40, {0, 0, 0});

    MatchData data;
    data.Setup(picture, 4, 4);
    QCOMPARE(data.tileOrder.first(), qMakePair(2, 2));
    QCOMPARE(data.tileOrder.at(1), qMakePair(0, 1));
}

QTEST_GUILESS_MAIN(TstMatchData)
#include "tst_matchdata.moc"
