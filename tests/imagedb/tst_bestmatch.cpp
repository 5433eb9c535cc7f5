#include "imagedb/ImageDB.h"

#include <QMutex>
#include <QtTest>

#include <latch>
#include <thread>
#include <vector>

namespace {

Image *Solid(int size, int shade)
{
    auto *image = new Image(size, size);
    memset(image->data, shade, image->ByteCount());
    return image;
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

enum RecordState { Normal, Skipped, UsedUp, NoKey, SmallKey, OtherOrientation };

} // namespace

class TstBestMatch : public QObject {
    Q_OBJECT
private slots:
    void recordCounts();
    void keyImageReplacesAndRevives();
    void destroysEveryImageOnce();
    void bestMatch_data();
    void bestMatch();
    void rotations_data();
    void rotations();
    void useCounts();
    void lastUseGoesToOneThread_data();
    void lastUseGoesToOneThread();
};

void TstBestMatch::recordCounts()
{
    ImageDB db;
    QCOMPARE(db.GetNumImages(), 0);
    db.Add("/p/a.jpg");
    db.Add("/p/b.jpg");
    db.Add("/p/a.jpg");
    QCOMPARE(db.GetNumImages(), 2);
    QCOMPARE(db.GetNumUsableImages(), 2);   // not examined yet, but usable
    db.SkipImage("/p/b.jpg");
    db.SkipImage("/p/none.jpg");
    QCOMPARE(db.GetNumImages(), 2);
    QCOMPARE(db.GetNumUsableImages(), 1);
    QVERIFY(!db.GetKeyImage("/p/none.jpg"));
    QVERIFY(!db.HasKeyImage("/p/none.jpg"));
    QVERIFY(!db.HasKeyImage("/p/a.jpg"));
    db.Remove("/p/b.jpg");
    db.Remove("/p/none.jpg");
    QCOMPARE(db.GetNumImages(), 1);
    QCOMPARE(db.GetNumUsableImages(), 1);
}

void TstBestMatch::keyImageReplacesAndRevives()
{
    ImageDB db;
    db.Add("/p/a.jpg");
    db.SetKeyImage("/p/a.jpg", Solid(16, 1), Landscape);
    QVERIFY(db.UseMatch("/p/a.jpg", 5));
    db.SkipImage("/p/a.jpg");
    Image *key = Solid(16, 2);
    db.SetKeyImage("/p/a.jpg", key, Portrait);   // the earlier key is freed
    QCOMPARE(db.GetKeyImage("/p/a.jpg"), key);
    QCOMPARE(db.images["/p/a.jpg"].orientation, Portrait);
    QVERIFY(!db.images["/p/a.jpg"].skip);
    QCOMPARE(db.images["/p/a.jpg"].useCount.load(), 0);
    QCOMPARE(db.GetNumUsableImages(), 1);

    Image stray(16, 16);
    db.SetKeyImage("/p/none.jpg", &stray, Landscape);   // no record: the key stays the caller's
    QCOMPARE(db.GetNumImages(), 1);
}

// Run under the address sanitizer, this catches a double free or a leak.
void TstBestMatch::destroysEveryImageOnce()
{
    auto *db = new ImageDB;
    for (const char *name : {"/p/a.jpg", "/p/b.jpg", "/p/c.jpg"}) {
        db->Add(name);
        db->SetKeyImage(name, Solid(16, 1), Landscape);
        db->images[name].sourceImage = Solid(200, 2);
    }
    db->Remove("/p/b.jpg");
    QMap<QString, ImageDB::ImageInformation> copy = db->images;   // copies share pointers
    QCOMPARE(copy["/p/a.jpg"].keyImage, db->GetKeyImage("/p/a.jpg"));
    delete db;
}

void TstBestMatch::bestMatch_data()
{
    // Records /p/0.jpg, /p/1.jpg, ... with solid keys of the given shades.
    QTest::addColumn<QList<int>>("shades");
    QTest::addColumn<QList<int>>("states");
    QTest::addColumn<int>("tileShade");
    QTest::addColumn<int>("maxUses");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("rotation");
    QTest::newRow("empty") << QList<int>{} << QList<int>{} << 50 << 1 << QString() << 0;
    QTest::newRow("closest") << QList<int>{10, 100} << QList<int>{Normal, Normal} << 90 << 1
                             << "/p/1.jpg" << 0;
    QTest::newRow("tie goes to smaller name") << QList<int>{80, 100} << QList<int>{Normal, Normal}
                                              << 90 << 1 << "/p/0.jpg" << 0;
    QTest::newRow("later better record wins") << QList<int>{0, 60, 85, 95}
                                              << QList<int>{Normal, Normal, Normal, Normal} << 91
                                              << 1 << "/p/3.jpg" << 0;
    QTest::newRow("skipped") << QList<int>{10, 90} << QList<int>{Normal, Skipped} << 90 << 1
                             << "/p/0.jpg" << 0;
    QTest::newRow("used up") << QList<int>{10, 90} << QList<int>{Normal, UsedUp} << 90 << 1
                             << "/p/0.jpg" << 0;
    QTest::newRow("no key") << QList<int>{10, 90} << QList<int>{Normal, NoKey} << 90 << 1
                            << "/p/0.jpg" << 0;
    QTest::newRow("key of another size") << QList<int>{10, 90} << QList<int>{Normal, SmallKey}
                                         << 90 << 1 << "/p/0.jpg" << 0;
    QTest::newRow("all passed over") << QList<int>{10, 90} << QList<int>{Skipped, UsedUp} << 90
                                     << 1 << QString() << 0;
    QTest::newRow("max uses 0") << QList<int>{10, 90} << QList<int>{Normal, Normal} << 90 << 0
                                << QString() << 0;
    QTest::newRow("max uses negative") << QList<int>{10} << QList<int>{Normal} << 90 << -1
                                       << QString() << 0;
    QTest::newRow("other orientation, equal turns")
        << QList<int>{90} << QList<int>{OtherOrientation} << 90 << 1 << "/p/0.jpg" << 2;
    QTest::newRow("other orientation scored turned")
        << QList<int>{10, 95} << QList<int>{Normal, OtherOrientation} << 90 << 1 << "/p/1.jpg"
        << 2;
}

void TstBestMatch::bestMatch()
{
    QFETCH(QList<int>, shades);
    QFETCH(QList<int>, states);
    QFETCH(int, tileShade);
    QFETCH(int, maxUses);
    QFETCH(QString, expected);
    QFETCH(int, rotation);
    ImageDB db;
    for (int i = 0; i < shades.size(); ++i) {
        const QString name = QString("/p/%1.jpg").arg(i);
        db.Add(name);
        if (states[i] != NoKey)
            db.SetKeyImage(name, Solid(states[i] == SmallKey ? 8 : 16, shades[i]),
                           states[i] == OtherOrientation ? Portrait : Landscape);
        if (states[i] == Skipped)
            db.SkipImage(name);
        if (states[i] == UsedUp)
            QVERIFY(db.UseMatch(name, 1));
    }
    const std::unique_ptr<Image> tile(Solid(16, tileShade));
    const ImageDB::MatchResult result = db.BestMatch(*tile, Landscape, maxUses);
    QCOMPARE(result.filename, expected);
    QCOMPARE(result.filename.isNull(), expected.isNull());
    QCOMPARE(result.rotation, rotation);
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
    db.Add("/p/a.jpg");
    db.SetKeyImage("/p/a.jpg", key, Orientation(keyOrientation));
    const ImageDB::MatchResult result = db.BestMatch(tile, Landscape, 1);
    QCOMPARE(result.filename, QString("/p/a.jpg"));
    QCOMPARE(result.rotation, rotation);

    db.Add("/p/b.jpg");
    db.SetKeyImage("/p/b.jpg", new Image(tile), Landscape);
    const QString winner = keyTurn == 0 || keyOrientation == Portrait ? "/p/a.jpg" : "/p/b.jpg";
    QCOMPARE(db.BestMatch(tile, Landscape, 1).filename, winner);
}

void TstBestMatch::useCounts()
{
    ImageDB db;
    db.Add("/p/a.jpg");
    db.SetKeyImage("/p/a.jpg", Solid(16, 5), Landscape);
    const std::unique_ptr<Image> tile(Solid(16, 5));
    QCOMPARE(db.BestMatch(*tile, Landscape, 1).filename, QString("/p/a.jpg"));
    QVERIFY(db.UseMatch("/p/a.jpg", 1));
    QVERIFY(!db.UseMatch("/p/a.jpg", 1));
    QCOMPARE(db.images["/p/a.jpg"].useCount.load(), 1);
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
    db.Add("/p/best.jpg");
    db.SetKeyImage("/p/best.jpg", Solid(16, 100), Landscape);
    db.Add("/p/other.jpg");
    db.SetKeyImage("/p/other.jpg", Solid(16, 0), Landscape);
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
