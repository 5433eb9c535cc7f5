#include "TestKit.h"
#include "engine/MatchData.h"

#include <QTest>

class TstMatchData : public QObject {
    Q_OBJECT
private slots:
    void tileSizes_data();
    void tileSizes();
    void tileSizesCoverEveryPixel();
    void flatPictureOrderedByDistance();
    void skinBeforeDetailBeforePlain();
};

void TstMatchData::tileSizes_data()
{
    QTest::addColumn<int>("length");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<int>>("offsets");

    QTest::newRow("10 over 4") << 10 << QList<int>{3, 2, 2, 3} << QList<int>{0, 3, 5, 7};
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

// With equal skin and edge terms (every tile all edge, no skin) only the
// distance from the centre tile (numX / 2, numY / 2) orders the tiles: a
// farthest corner first, the centre last.
void TstMatchData::flatPictureOrderedByDistance()
{
    MatchData data;
    data.Setup(Solid(180, 120, {20, 90, 200}), 9, 6);
    QVERIFY(data.tileOrder.first() == qMakePair(0, 0) || data.tileOrder.first() == qMakePair(0, 8));
    QCOMPARE(data.tileOrder.last(), qMakePair(3, 4));
}

// A 4 by 4 grid of 40 pixel tiles: grey everywhere, a skin-coloured tile at
// the centre and a striped one at the edge, which the distance term alone
// would put first.
void TstMatchData::skinBeforeDetailBeforePlain()
{
    Image picture = Solid(160, 160, {128, 128, 128});
    Paint(picture, 80, 80, 40, 40, {200, 150, 120});
    for (int x = 40; x < 80; x += 10)
        Paint(picture, x, 0, 5, 40, {0, 0, 0});

    MatchData data;
    data.Setup(picture, 4, 4);
    QCOMPARE(data.tileOrder.first(), qMakePair(2, 2));
    QCOMPARE(data.tileOrder.at(1), qMakePair(0, 1));
}

QTEST_GUILESS_MAIN(TstMatchData)
#include "tst_matchdata.moc"
