#include "TestKit.h"
#include "imagedb/ImageDB.h"

#include <QMutex>
#include <QTemporaryDir>
#include <QtTest>

#include <latch>
#include <random>
#include <thread>

// BestMatch searches a packed index of the key images (held to a plain search
// in tst_keyindex); here its answers are pinned on small collections, and the
// index must follow every kind of change to the records.
class TstBestMatch : public QObject {
    Q_OBJECT
private slots:
    void bestMatch_data();
    void bestMatch();
    void lastUseGoesToOneThread_data();
    void lastUseGoesToOneThread();
    void followsChanges_data();
    void followsChanges();
    void concurrentFirstSearches();
};

namespace {

Image *Key(int side, int shade)
{
    return new Image(Solid(
        side, side,
        {static_cast<unsigned char>(shade), static_cast<unsigned char>(shade), static_cast<unsigned char>(shade)}));
}

// Smooth keys with grain, of either orientation, in records of every state
// the search must pass over.
void Fill(ImageDB &db, std::mt19937 &rng, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString name = QString("/c/%1.jpg").arg(rng(), 8, 16, QChar('0'));
        const int state = int(rng() % 20);
        db.Add(name);
        if (state > 0)   // 0: not examined, no key
            db.SetKeyImage(name, new Image(Gradient(state == 1 ? 8 : 16, 16, int(rng() % 9))),
                           state % 2 ? Portrait : Landscape);
        if (state == 2)
            db.SkipImage(name);
    }
}

// The answer of a database built afresh from the same records: whatever the
// index of the first one kept from before a change shows as a difference.
ImageDB::MatchResult FreshAnswer(const ImageDB &db, const Image &tile, Orientation orientation, int maxUses)
{
    ImageDB fresh;
    for (auto it = db.images.cbegin(); it != db.images.cend(); ++it) {
        fresh.Add(it.key());
        if (it->keyImage)
            fresh.SetKeyImage(it.key(), new Image(*it->keyImage), it->orientation);
        if (it->skip)
            fresh.SkipImage(it.key());
        fresh.images[it.key()].useCount.store(it->useCount.load());
    }
    return fresh.BestMatch(tile, orientation, maxUses);
}

}   // namespace

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
            db.SetKeyImage(name, Key(mark == 'k' ? 8 : 16, atoi(qPrintable(specs[i]))),
                           mark == 'p' ? Portrait : Landscape);
        if (mark == 's')
            db.SkipImage(name);
        if (mark == 'u')
            QVERIFY(db.UseMatch(name, 1));
    }
    const std::unique_ptr<Image> tile(Key(16, tileShade));
    const ImageDB::MatchResult result = db.BestMatch(*tile, Landscape, maxUses);
    QCOMPARE(result.filename, expected < 0 ? QString() : QString("/p/%1.jpg").arg(expected));
    QCOMPARE(result.filename.isNull(), expected < 0);
    QCOMPARE(result.rotation, rotation);
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
    const int threads = 8, maxUses = 3;
    ImageDB db;
    AddRecord(db, "/p/best.jpg", Key(16, 100), Landscape);
    AddRecord(db, "/p/other.jpg", Key(16, 0), Landscape);
    const std::unique_ptr<Image> tile(Key(16, 100));
    QMutex mutex;
    for (int round = 0; round < 200; ++round) {
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
                QMutexLocker lock(locked ? &mutex : nullptr);
                if (match.filename == "/p/best.jpg" && db.UseMatch(match.filename, maxUses))
                    wins.fetch_add(1);
            });
        }
        for (std::thread &thread : group)
            thread.join();
        QCOMPARE(wins.load(), 1);
        QCOMPARE(db.images["/p/best.jpg"].useCount.load(), maxUses);
    }
}

void TstBestMatch::followsChanges_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("nothing") << 0;
    QTest::newRow("new key image") << 1;
    QTest::newRow("skipped") << 2;
    QTest::newRow("removed") << 3;
    QTest::newRow("added and examined") << 4;
    QTest::newRow("purged") << 5;
    QTest::newRow("strategy change drops keys") << 6;
    QTest::newRow("record changed in the map directly") << 7;
    QTest::newRow("record put into the map directly") << 8;
    QTest::newRow("map copied, then changed") << 9;
    QTest::newRow("database file read") << 10;
}

// The index is built by a first search, the records change, and every later
// search, one by one or batched, must see the change. Searches use up
// pictures as matching does, so used-up ones appear.
void TstBestMatch::followsChanges()
{
    QFETCH(int, change);
    std::mt19937 rng(uint32_t(change + 100));
    ImageDB db;
    Fill(db, rng, 150);
    const QString keep = "/c/00000000.jpg";   // first in filename order
    AddRecord(db, keep, new Image(Noise(16, 16, 1)), Landscape);
    const Image tile(*db.GetKeyImage(keep));
    QCOMPARE(db.BestMatch(tile, Landscape, 5).filename, keep);

    QTemporaryDir dir;
    QMap<QString, ImageDB::ImageInformation> copy;
    ImageDB other;
    ImageDB::ImageInformation record;
    switch (change) {
    case 1:
        db.SetKeyImage(keep, new Image(Noise(16, 16, 2)), Landscape);
        break;
    case 2:
        db.SkipImage(keep);
        break;
    case 3:
        db.Remove(keep);
        break;
    case 4:
        AddRecord(db, "/a/first.jpg", new Image(tile), Portrait);
        break;
    case 5:
        db.PurgeFiles({"/c/0000"});
        break;
    case 6:
        db.ConvertStrategy(ImageDB::StrategyFastest);
        break;
    case 7:
        db.images[keep].orientation = Portrait;
        break;
    case 8:
        record.keyImage = new Image(tile);
        db.images.insert("/a/direct.jpg", record);
        break;
    case 9:
        copy = db.images;
        db.images[keep].skip = true;
        break;
    case 10:
        AddRecord(other, "/z/only.jpg", new Image(tile), Portrait);
        QVERIFY(other.Write(dir.filePath("db")) && db.Read(dir.filePath("db")));
        break;
    }
    for (int t = 0; t < 40; ++t) {
        const Image first = t ? Gradient(16, 16, int(rng() % 9)) : tile, second = Noise(16, 16, rng());
        const Orientation orientation = t % 3 ? Landscape : Portrait;
        const ImageDB::MatchResult expected = FreshAnswer(db, first, orientation, 5);
        const ImageDB::MatchResult got = db.BestMatch(first, orientation, 5);
        QCOMPARE(got.filename, expected.filename);
        QCOMPARE(got.rotation, expected.rotation);
        // Batched, each list starts with BestMatch's answer, also when a tile
        // of another size sends the batch to the one-by-one search.
        const Image small = Gradient(8, 8), *batch[] = {&first, t % 2 ? &second : &small};
        const Orientation orientations[] = {orientation, Landscape};
        const QList<QList<ImageDB::MatchResult>> lists = db.BestMatches(batch, orientations, 2, 5, 3);
        for (int k = 0; k < 2; ++k) {
            const ImageDB::MatchResult best = db.BestMatch(*batch[k], orientations[k], 5);
            QCOMPARE(lists[k].isEmpty() ? QString() : lists[k].first().filename, best.filename);
            QCOMPARE(lists[k].isEmpty() ? 0 : lists[k].first().rotation, best.rotation);
        }
        if (!got.filename.isNull())
            QVERIFY(db.UseMatch(got.filename, 5));
    }
}

// Searches that start together right after a change all wait for one
// rebuild of the index and give the rebuilt index's answers.
void TstBestMatch::concurrentFirstSearches()
{
    std::mt19937 rng(5);
    ImageDB db;
    Fill(db, rng, 400);
    std::vector<Image> tiles;
    for (int t = 0; t < 8; ++t)
        tiles.push_back(Noise(16, 16, rng()));
    for (int round = 0; round < 20; ++round) {
        db.SetKeyImage(db.images.firstKey(), new Image(Noise(16, 16, rng())), Portrait);
        std::vector<ImageDB::MatchResult> expected, got(8);
        for (const Image &tile : tiles)
            expected.push_back(FreshAnswer(db, tile, Landscape, 5));
        std::latch start(8);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                got[t] = db.BestMatch(tiles[t], Landscape, 5);
            });
        for (std::thread &thread : threads)
            thread.join();
        for (size_t t = 0; t < 8; ++t) {
            QCOMPARE(got[t].filename, expected[t].filename);
            QCOMPARE(got[t].rotation, expected[t].rotation);
        }
    }
}

QTEST_GUILESS_MAIN(TstBestMatch)
#include "tst_bestmatch.moc"
