#include "ImageDBTestSupport.h"

#include <QMutex>
#include <QtTest>

#include <latch>
#include <thread>
#include <vector>

namespace {

Image *Solid(int size, int shade)
{
    return SolidImage(size, size, shade);
}

// A tile whose turns all differ from each other and from the tile.
Image Gradient()
{
    Image tile(16, 16);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 16; ++x) {
            unsigned char *pixel = tile.data + 3 * (y * 16 + x);
            pixel[0] = static_cast<unsigned char>(x * 16);
            pixel[1] = static_cast<unsigned char>(y * 8 + x);
            pixel[2] = static_cast<unsigned char>((x * y) % 256);
        }
    }
    return tile;
}

}   // namespace

class TstBestMatch : public QObject {
    Q_OBJECT
private slots:
    void records();
    void bestMatch_data();
    void bestMatch();
    void rotations_data();
    void rotations();
    void useCounts();
    void lastUseGoesToOneThread_data();
    void lastUseGoesToOneThread();
};

// Run under the address sanitizer, this also catches an image freed twice or never.
void TstBestMatch::records()
{
    ImageDB db;
    db.Add("/p/a.jpg");
    db.Add("/p/b.jpg");
    db.Add("/p/a.jpg");
    db.SkipImage("/p/b.jpg");
    db.SkipImage("/p/none.jpg");
    QCOMPARE(db.GetNumImages(), 2);
    QCOMPARE(db.GetNumUsableImages(), 1);   // not examined yet, but usable
    QVERIFY(!db.HasKeyImage("/p/a.jpg"));
    db.Remove("/p/b.jpg");
    db.Remove("/p/none.jpg");
    QCOMPARE(db.GetNumImages(), 1);

    db.SetKeyImage("/p/a.jpg", Solid(16, 1), Landscape);
    db.images["/p/a.jpg"].sourceImage = Solid(200, 2);
    QVERIFY(db.UseMatch("/p/a.jpg", 5));
    db.SkipImage("/p/a.jpg");
    Image *key = Solid(16, 2);
    db.SetKeyImage("/p/a.jpg", key, Portrait);   // frees the earlier key, revives the record
    QCOMPARE(db.GetKeyImage("/p/a.jpg"), key);
    QCOMPARE(db.images["/p/a.jpg"].orientation, Portrait);
    QVERIFY(!db.images["/p/a.jpg"].skip);
    QCOMPARE(db.images["/p/a.jpg"].useCount.load(), 0);
    Image stray(16, 16);
    db.SetKeyImage("/p/none.jpg", &stray, Landscape);   // no record: the key stays the caller's
    QCOMPARE(db.GetNumImages(), 1);
    {
        const QMap<QString, ImageDB::ImageInformation> copy = db.images;   // shares the pointers
    }
    AddRecord(db, "/p/c.jpg", Solid(16, 3), Landscape);
    db.images["/p/c.jpg"].sourceImage = Solid(200, 4);
    db.Remove("/p/c.jpg");
}

// Records /p/0.jpg, /p/1.jpg, ... with solid keys of the shades listed; a
// letter after a shade marks the record skipped (s), used up (u), without key
// (n), with an 8x8 key (k) or with a portrait key (p).
void TstBestMatch::bestMatch_data()
{
    QTest::addColumn<QString>("records");
    QTest::addColumn<int>("tileShade");
    QTest::addColumn<int>("maxUses");
    QTest::addColumn<int>("expected");   // the record's number; -1 for none
    QTest::addColumn<int>("rotation");
    QTest::newRow("empty") << "" << 50 << 1 << -1 << 0;
    QTest::newRow("closest") << "10 100" << 90 << 1 << 1 << 0;
    QTest::newRow("tie goes to smaller name") << "80 100" << 90 << 1 << 0 << 0;
    QTest::newRow("later better record wins") << "0 60 85 95" << 91 << 1 << 3 << 0;
    QTest::newRow("skipped") << "10 90s" << 90 << 1 << 0 << 0;
    QTest::newRow("used up") << "10 90u" << 90 << 1 << 0 << 0;
    QTest::newRow("no key") << "10 90n" << 90 << 1 << 0 << 0;
    QTest::newRow("key of another size") << "10 90k" << 90 << 1 << 0 << 0;
    QTest::newRow("all passed over") << "10s 90u" << 90 << 1 << -1 << 0;
    QTest::newRow("max uses 0") << "10 90" << 90 << 0 << -1 << 0;
    QTest::newRow("max uses negative") << "10" << 90 << -1 << -1 << 0;
    QTest::newRow("other orientation, equal turns") << "90p" << 90 << 1 << 0 << 2;
    QTest::newRow("other orientation scored turned") << "10 95p" << 90 << 1 << 1 << 2;
}

void TstBestMatch::bestMatch()
{
    QFETCH(QString, records);
    QFETCH(int, tileShade);
    QFETCH(int, maxUses);
    QFETCH(int, expected);
    QFETCH(int, rotation);
    ImageDB db;
    const QStringList specs = records.split(' ', Qt::SkipEmptyParts);
    for (int i = 0; i < specs.size(); ++i) {
        const QString name = QString("/p/%1.jpg").arg(i);
        const QChar mark = specs[i].back();
        db.Add(name);
        if (mark != 'n')
            db.SetKeyImage(name, Solid(mark == 'k' ? 8 : 16, atoi(qPrintable(specs[i]))),
                           mark == 'p' ? Portrait : Landscape);
        if (mark == 's')
            db.SkipImage(name);
        if (mark == 'u')
            QVERIFY(db.UseMatch(name, 1));
    }
    const std::unique_ptr<Image> tile(Solid(16, tileShade));
    const ImageDB::MatchResult result = db.BestMatch(*tile, Landscape, maxUses);
    QCOMPARE(result.filename, expected < 0 ? QString() : QString("/p/%1.jpg").arg(expected));
    QCOMPARE(result.filename.isNull(), expected < 0);
    QCOMPARE(int(result.rotation), rotation);
}

void TstBestMatch::rotations_data()
{
    QTest::addColumn<int>("keyTurn");   // 0 unturned, 1 turned left, 2 turned right
    QTest::addColumn<int>("keyOrientation");
    QTest::addColumn<int>("rotation");
    QTest::newRow("same orientation, unturned key") << 0 << int(Landscape) << 0;
    QTest::newRow("same orientation, turned key") << 1 << int(Landscape) << 0;
    QTest::newRow("key is the tile turned left") << 1 << int(Portrait) << 1;
    QTest::newRow("key is the tile turned right") << 2 << int(Portrait) << 2;
}

// A second record, the tile itself, competes: it wins every comparison the
// turned key does not win outright.
void TstBestMatch::rotations()
{
    QFETCH(int, keyTurn);
    QFETCH(int, keyOrientation);
    QFETCH(int, rotation);
    const Image tile = Gradient();
    auto *key = new Image(tile);
    if (keyTurn == 1)
        key->RotateLeft();
    if (keyTurn == 2)
        key->RotateRight();
    ImageDB db;
    AddRecord(db, "/p/a.jpg", key, Orientation(keyOrientation));
    const ImageDB::MatchResult result = db.BestMatch(tile, Landscape, 1);
    QCOMPARE(result.filename, QString("/p/a.jpg"));
    QCOMPARE(int(result.rotation), rotation);

    AddRecord(db, "/p/b.jpg", new Image(tile), Landscape);
    const QString winner = keyTurn == 0 || keyOrientation == Portrait ? "/p/a.jpg" : "/p/b.jpg";
    QCOMPARE(db.BestMatch(tile, Landscape, 1).filename, winner);
}

void TstBestMatch::useCounts()
{
    ImageDB db;
    AddRecord(db, "/p/a.jpg", Solid(16, 5), Landscape);
    const std::unique_ptr<Image> tile(Solid(16, 5));
    QCOMPARE(db.BestMatch(*tile, Landscape, 1).filename, QString("/p/a.jpg"));
    QVERIFY(db.UseMatch("/p/a.jpg", 1));
    QVERIFY(!db.UseMatch("/p/a.jpg", 1));
    QVERIFY(db.BestMatch(*tile, Landscape, 1).filename.isNull());
    QVERIFY(db.UseMatch("/p/a.jpg", 2));
    QVERIFY(!db.UseMatch("/p/none.jpg", 2));
    db.SkipImage("/p/a.jpg");
    db.ResetUseCounts();
    QCOMPARE(db.images["/p/a.jpg"].useCount.load(), 0);
    QVERIFY(db.images["/p/a.jpg"].skip);
    QVERIFY(db.UseMatch("/p/a.jpg", 1));   // UseMatch does not look at skip
    QVERIFY(!db.UseMatch("/p/a.jpg", 0));
}

void TstBestMatch::lastUseGoesToOneThread_data()
{
    QTest::addColumn<bool>("locked");
    QTest::newRow("under the matching lock") << true;
    QTest::newRow("without a lock") << false;
}

// Threads search and reserve at once while one use of the best picture is
// left: exactly one gets it, however the threads interleave.
void TstBestMatch::lastUseGoesToOneThread()
{
    QFETCH(bool, locked);
    const int threads = 8, maxUses = 3, rounds = 200;
    ImageDB db;
    AddRecord(db, "/p/best.jpg", Solid(16, 100), Landscape);
    AddRecord(db, "/p/other.jpg", Solid(16, 0), Landscape);
    const std::unique_ptr<Image> tile(Solid(16, 100));
    QMutex mutex;
    for (int round = 0; round < rounds; ++round) {
        db.ResetUseCounts();
        for (int i = 0; i < maxUses - 1; ++i)
            QVERIFY(db.UseMatch("/p/best.jpg", maxUses));
        std::atomic<int> wins{0};
        std::latch start(threads);
        std::vector<std::thread> group;
        for (int t = 0; t < threads; ++t) {
            group.emplace_back([&] {
                start.arrive_and_wait();
                const ImageDB::MatchResult match = db.BestMatch(*tile, Landscape, maxUses);
                if (match.filename != "/p/best.jpg")
                    return;
                QMutexLocker lock(locked ? &mutex : nullptr);
                if (db.UseMatch(match.filename, maxUses))
                    wins.fetch_add(1);
            });
        }
        for (std::thread &thread : group)
            thread.join();
        QCOMPARE(wins.load(), 1);
        QCOMPARE(db.images["/p/best.jpg"].useCount.load(), maxUses);
    }
}

QTEST_GUILESS_MAIN(TstBestMatch)
#include "tst_bestmatch.moc"
