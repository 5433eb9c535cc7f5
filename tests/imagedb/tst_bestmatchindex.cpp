#include "imagedb/ImageDB.h"
#include "imaging/TileMetrics.h"

#include <QtTest>

#include <latch>
#include <random>
#include <thread>
#include <vector>

// BestMatch searches a packed index of the key images; these tests hold it to
// the plain search over the records, kept here as the reference, on random
// collections and after every kind of change to the records.
class TstBestMatchIndex : public QObject {
    Q_OBJECT
private slots:
    void sameAsPlainSearch_data();
    void sameAsPlainSearch();
    void followsChanges_data();
    void followsChanges();
    void concurrentFirstSearches();
};

namespace {

ImageDB::MatchResult PlainBestMatch(const ImageDB &db, const Image &tile, Orientation orientation, int maxUses)
{
    ImageDB::MatchResult best;
    unsigned bestScore = 0;
    for (auto it = db.images.cbegin(); it != db.images.cend(); ++it) {
        const ImageDB::ImageInformation &r = it.value();
        if (r.skip || r.useCount.load() >= maxUses || !r.keyImage || r.keyImage->width != tile.width
            || r.keyImage->height != tile.height)
            continue;
        unsigned score;
        Rotation rotation = Rotation::Unturned;
        if (r.orientation == orientation) {
            score = unsigned(DifferenceSameOrientation(tile, *r.keyImage));
        } else {
            const unsigned left = unsigned(DifferenceRotateLeft(tile, *r.keyImage));
            const unsigned right = unsigned(DifferenceRotateRight(tile, *r.keyImage));
            score = left < right ? left : right;
            rotation = left < right ? Rotation::DrawTurnedRight : Rotation::DrawTurnedLeft;
        }
        if (best.filename.isNull() || score < bestScore) {
            best.filename = it.key();
            best.rotation = rotation;
            bestScore = score;
        }
    }
    return best;
}

// Smooth pictures with grain; coarse ones (few levels) make equal scores common.
Image *RandomKey(std::mt19937 &rng, bool coarse, int side = 16)
{
    auto *key = new Image(side, side);
    std::uniform_int_distribution<int> byte(0, 255);
    const int base = byte(rng), gx = byte(rng) % 9 - 4, gy = byte(rng) % 9 - 4;
    for (int i = 0; i < side * side * 3; ++i) {
        const int x = (i / 3) % side, y = (i / 3) / side;
        const int v = qBound(0, base + gx * x + gy * y + byte(rng) % 17, 255);
        key->data[i] = static_cast<unsigned char>(coarse ? v / 64 * 64 : v);
    }
    return key;
}

// Records with random keys and every state the search must pass over.
void Fill(ImageDB &db, std::mt19937 &rng, int count, bool coarse)
{
    std::uniform_int_distribution<int> state(0, 19);
    for (int i = 0; i < count; ++i) {
        const QString name = QString("/c/%1.jpg").arg(rng(), 8, 16, QChar('0'));
        db.Add(name);
        const int s = state(rng);
        if (s == 0)
            continue;   // not examined: no key
        db.SetKeyImage(name, RandomKey(rng, coarse, s == 1 ? 8 : 16), s % 2 ? Portrait : Landscape);
        if (s == 2)
            db.SkipImage(name);
    }
}

void CompareSearches(ImageDB &db, std::mt19937 &rng, bool coarse, int tiles, int maxUses)
{
    for (int t = 0; t < tiles; ++t) {
        const std::unique_ptr<Image> tile(RandomKey(rng, coarse));
        const Orientation orientation = t % 3 ? Landscape : Portrait;
        const ImageDB::MatchResult expected = PlainBestMatch(db, *tile, orientation, maxUses);
        const ImageDB::MatchResult got = db.BestMatch(*tile, orientation, maxUses);
        QCOMPARE(got.filename, expected.filename);
        QCOMPARE(got.filename.isNull(), expected.filename.isNull());
        QCOMPARE(got.rotation, expected.rotation);
        if (!got.filename.isNull())
            QVERIFY(db.UseMatch(got.filename, maxUses));
    }
}

}   // namespace

void TstBestMatchIndex::sameAsPlainSearch_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<int>("maxUses");
    QTest::addColumn<bool>("coarse");
    QTest::addColumn<bool>("reset");   // ResetUseCounts before searching, as the pipeline does
    QTest::newRow("smooth keys") << 800 << 5 << false << true;
    QTest::newRow("coarse keys, ties") << 500 << 2 << true << true;
    QTest::newRow("pictures run out") << 60 << 1 << false << false;
    QTest::newRow("no use allowed") << 50 << 0 << false << true;
}

void TstBestMatchIndex::sameAsPlainSearch()
{
    QFETCH(int, records);
    QFETCH(int, maxUses);
    QFETCH(bool, coarse);
    QFETCH(bool, reset);
    std::mt19937 rng(uint32_t(records * 31 + maxUses));
    ImageDB db;
    Fill(db, rng, records, coarse);
    if (reset)
        db.ResetUseCounts();
    CompareSearches(db, rng, coarse, 250, maxUses);

    // A tile of another size can only match keys of its own size.
    const std::unique_ptr<Image> small(RandomKey(rng, coarse, 8));
    const ImageDB::MatchResult expected = PlainBestMatch(db, *small, Landscape, 1000);
    QCOMPARE(db.BestMatch(*small, Landscape, 1000).filename, expected.filename);

    // Batched, each list starts with BestMatch's answer, also when a tile of
    // another size sends the batch to the one-by-one search.
    const std::unique_ptr<Image> first(RandomKey(rng, coarse));
    const std::unique_ptr<Image> last(RandomKey(rng, coarse));
    for (const Image *middle : {last.get(), small.get()}) {
        const Image *batch[] = {first.get(), middle, last.get()};
        const Orientation orientations[] = {Landscape, Portrait, Landscape};
        const QList<QList<ImageDB::MatchResult>> lists = db.BestMatches(batch, orientations, 3, maxUses, 2);
        QCOMPARE(lists.size(), 3);
        for (int k = 0; k < 3; ++k) {
            const ImageDB::MatchResult best = db.BestMatch(*batch[k], orientations[k], maxUses);
            QCOMPARE(lists[k].isEmpty(), best.filename.isNull());
            if (!lists[k].isEmpty()) {
                QCOMPARE(lists[k].first().filename, best.filename);
                QCOMPARE(lists[k].first().rotation, best.rotation);
            }
        }
    }
}

void TstBestMatchIndex::followsChanges_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("new key image") << 0;
    QTest::newRow("skipped") << 1;
    QTest::newRow("removed") << 2;
    QTest::newRow("added and examined") << 3;
    QTest::newRow("purged") << 4;
    QTest::newRow("strategy change drops keys") << 5;
    QTest::newRow("record changed in the map directly") << 6;
    QTest::newRow("record put into the map directly") << 7;
    QTest::newRow("map copied, then changed") << 8;
    QTest::newRow("database file read") << 9;
}

// The index is built by a first search, the records change, and the next
// search must see the change.
void TstBestMatchIndex::followsChanges()
{
    QFETCH(int, change);
    std::mt19937 rng(uint32_t(change + 100));
    ImageDB db;
    Fill(db, rng, 120, false);
    const QString keep = "/c/00000000.jpg";   // first in filename order
    db.Add(keep);
    db.SetKeyImage(keep, RandomKey(rng, false), Landscape);
    const std::unique_ptr<Image> tile(new Image(*db.GetKeyImage(keep)));
    QCOMPARE(db.BestMatch(*tile, Landscape, 5).filename, keep);

    QTemporaryDir dir;
    QMap<QString, ImageDB::ImageInformation> copy;
    switch (change) {
    case 0:
        db.SetKeyImage(keep, RandomKey(rng, false), Landscape);
        break;
    case 1:
        db.SkipImage(keep);
        break;
    case 2:
        db.Remove(keep);
        break;
    case 3:
        db.Add("/a/first.jpg");
        db.SetKeyImage("/a/first.jpg", new Image(*tile), Landscape);
        break;
    case 4:
        db.PurgeFiles({"/c/0000"});
        break;
    case 5:
        db.ConvertStrategy(ImageDB::StrategyFastest);
        break;
    case 6:
        db.images[keep].orientation = Portrait;
        break;
    case 7: {
        ImageDB::ImageInformation record;
        record.keyImage = new Image(*tile);
        db.images.insert("/a/direct.jpg", record);
        break;
    }
    case 8:
        copy = db.images;
        db.images[keep].skip = true;
        break;
    case 9: {
        ImageDB other;
        other.Add("/z/only.jpg");
        other.SetKeyImage("/z/only.jpg", new Image(*tile), Portrait);
        QVERIFY(other.Write(dir.filePath("db")));
        QVERIFY(db.Read(dir.filePath("db")));
        break;
    }
    }
    CompareSearches(db, rng, false, 40, 5);
    const ImageDB::MatchResult expected = PlainBestMatch(db, *tile, Landscape, 5);
    const ImageDB::MatchResult got = db.BestMatch(*tile, Landscape, 5);
    QCOMPARE(got.filename, expected.filename);
    QCOMPARE(got.rotation, expected.rotation);
}

// Searches that start together right after a change all wait for one
// rebuild of the index and agree with the plain search.
void TstBestMatchIndex::concurrentFirstSearches()
{
    std::mt19937 rng(5);
    ImageDB db;
    Fill(db, rng, 400, false);
    std::vector<std::unique_ptr<Image>> tiles;
    std::vector<ImageDB::MatchResult> expected;
    for (int t = 0; t < 8; ++t) {
        tiles.emplace_back(RandomKey(rng, false));
        expected.push_back(PlainBestMatch(db, *tiles.back(), Landscape, 5));
    }
    for (int round = 0; round < 20; ++round) {
        db.SetKeyImage(db.images.firstKey(), RandomKey(rng, false), Portrait);
        for (int t = 0; t < 8; ++t)
            expected[size_t(t)] = PlainBestMatch(db, *tiles[size_t(t)], Landscape, 5);
        std::vector<ImageDB::MatchResult> got(8);
        std::latch start(8);
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t)
            threads.emplace_back([&, t] {
                start.arrive_and_wait();
                got[size_t(t)] = db.BestMatch(*tiles[size_t(t)], Landscape, 5);
            });
        for (std::thread &thread : threads)
            thread.join();
        for (int t = 0; t < 8; ++t) {
            QCOMPARE(got[size_t(t)].filename, expected[size_t(t)].filename);
            QCOMPARE(got[size_t(t)].rotation, expected[size_t(t)].rotation);
        }
    }
}

QTEST_GUILESS_MAIN(TstBestMatchIndex)
#include "tst_bestmatchindex.moc"
