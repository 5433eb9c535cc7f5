#include "TestKit.h"
#include "imagedb/ImageDB.h"

#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtEndian>
#include <QtTest>
#include <climits>
#include <functional>
#include <latch>
#include <random>
#include <sys/stat.h>
#include <thread>

// The image database: the best-match search (its packed key index is held to
// a plain search in tst_keyindex; here the answers are pinned on small
// collections and the index must follow every change to the records), the
// database file, the scan and update, the reduced copies and tile cache, and
// the collection rules: tile caches, excluded folders, folders no longer
// used, turned photos.

namespace {

Image *Key(int side, int shade)
{
    return new Image(Gray(side, side, std::vector<int>(size_t(side) * side, shade)));
}

// Smooth keys with grain, of either orientation, in records of every state
// the search must pass over.
void Fill(ImageDB &db, std::mt19937 &rng, int count)
{
    for (int i = 0; i < count; ++i) {
        const QString name = QString("/c/%1/%2.jpg").arg(rng() % 3).arg(rng(), 8, 16, QChar('0'));
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

QByteArray Bytes(const Image &image)
{
    return QByteArray(reinterpret_cast<const char *>(image.data), qsizetype(image.ByteCount()));
}

QByteArray Int(qint32 value)
{
    QByteArray bytes(4, '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

// The one-record example: directory /p and the picture /p/a.jpg.
void MakeExample(ImageDB &db, ImageDB::SourceImageStrategy strategy)
{
    db.strategy = strategy;
    db.directories = QStringList{"/p"};
    AddRecord(db, "/p/a.jpg", new Image(Noise(16, 16, 3)), Portrait);
}

bool Touch(const QString &path)
{
    return Store(path, "not a picture");
}

// The picture as a camera holding it turned stores it: mirrored, then
// turned left quarter by quarter.
Image Stored(const Image &upright, bool mirror, int leftTurns)
{
    Image stored(upright);
    for (int y = 0; mirror && y < stored.height; ++y)
        for (int x = 0; x < stored.width / 2; ++x)
            std::swap_ranges(stored.data + (size_t(y) * stored.width + x) * 3,
                             stored.data + (size_t(y) * stored.width + x) * 3 + 3,
                             stored.data + (size_t(y) * stored.width + stored.width - 1 - x) * 3);
    for (int k = 0; k < leftTurns; ++k)
        stored.RotateLeft();
    return stored;
}

void StrategyRows()
{
    QTest::addColumn<int>("strategy");
    QTest::newRow("none") << int(ImageDB::StrategyNone);
    QTest::newRow("fast") << int(ImageDB::StrategyFast);
    QTest::newRow("fastest") << int(ImageDB::StrategyFastest);
}

}   // namespace

Q_DECLARE_METATYPE(std::function<void(ImageDB &, const QString &, const Image &)>)

class TstImageDB : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void bestMatch_data();
    void bestMatch();
    void followsChanges_data();
    void followsChanges();
    void layout_data();
    void layout();
    void roundTrip_data() { StrategyRows(); }
    void roundTrip();
    void damagedHeader_data();
    void damagedHeader();
    void unusablePaths();
    void failedWriteKeepsFile_data();
    void failedWriteKeepsFile();
    void scan_data();
    void scan();
    void progress_data();
    void progress();
    void examinesAndSkips_data() { StrategyRows(); }
    void examinesAndSkips();
    void picturesChangeDuringScan_data();
    void picturesChangeDuringScan();
    void secondUpdateWaitsForFirst();
    void copies_data();
    void copies();
    void tileCachesAreNeverScanned();
    void exclusionMatchesWholeFolderNames();
    void onlyFoldersInUseTakePart();
    void turnedPicturesComeOutUpright_data();
    void turnedPicturesComeOutUpright();
    void olderFilesHaveTurnedPicturesReadAgain();

private:
    QString Path(const QString &name) const { return dir->filePath(name); }
    int CacheFiles() const { return int(QDir(Path("Kestrelvanepatchery")).entryList({"tile*.jpg"}).size()); }
    std::unique_ptr<QTemporaryDir> dir;
    QByteArray savedHome;
    int savedCounter = 0;
};

// Every case gets an empty home directory of its own, so the tile cache
// starts empty, and counts cache files from 0.
void TstImageDB::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    savedHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(dir->path()));
    savedCounter = ImageDB::imageFilenameCounter;
    ImageDB::imageFilenameCounter = 0;
}

void TstImageDB::cleanup()
{
    qputenv("HOME", savedHome);
    ImageDB::imageFilenameCounter = savedCounter;
}

// Records /p/0.jpg, /p/1.jpg, ... with solid keys of the shades listed; a
// letter after a shade marks the record skipped (s), without key (n), with
// an 8x8 key (k) or with a portrait key (p). The tile is of shade 90, and
// /p/0.jpg the only record that may answer it; ties, use counts and empty
// indexes are tst_keyindex's.
void TstImageDB::bestMatch_data()
{
    QTest::addColumn<QString>("records");
    QTest::addColumn<int>("rotation");
    QTest::newRow("no key") << "10 90n" << 0;
    QTest::newRow("key of another size") << "10 90k" << 0;
    QTest::newRow("other orientation, equal turns") << "90p" << 2;
}

void TstImageDB::bestMatch()
{
    QFETCH(QString, records);
    QFETCH(int, rotation);
    ImageDB db;
    const QStringList specs = records.split(' ');
    for (int i = 0; i < specs.size(); ++i) {
        const QString name = QString("/p/%1.jpg").arg(i);
        const QChar mark = specs[i].back();
        db.Add(name);
        if (mark != 'n')
            db.SetKeyImage(name, Key(mark == 'k' ? 8 : 16, atoi(qPrintable(specs[i]))),
                           mark == 'p' ? Portrait : Landscape);
    }
    const std::unique_ptr<Image> tile(Key(16, 90));
    const ImageDB::MatchResult result = db.BestMatch(*tile, Landscape, 1);
    QCOMPARE(result.filename, QString("/p/0.jpg"));
    QCOMPARE(int(result.rotation), rotation);
}

// The record searched for first, first in filename order, and a tile just like its key.
const QString First = "/b/first.jpg";
using Change = std::function<void(ImageDB &db, const Image &tile)>;

void TstImageDB::followsChanges_data()
{
    QTest::addColumn<Change>("change");
    QTest::newRow("new key image") << Change(
        [](ImageDB &db, const Image &) { db.SetKeyImage(First, new Image(Noise(16, 16, 2)), Landscape); });
    QTest::newRow("skipped") << Change([](ImageDB &db, const Image &) { db.SkipImage(First); });
    QTest::newRow("removed") << Change([](ImageDB &db, const Image &) { db.Remove(First); });
    QTest::newRow("added and examined") << Change(
        [](ImageDB &db, const Image &tile) { AddRecord(db, "/a/first.jpg", new Image(tile), Portrait); });
    QTest::newRow("purged") << Change([](ImageDB &db, const Image &) { db.PurgeFiles({"/c/1"}); });
    QTest::newRow("strategy change drops keys")
        << Change([](ImageDB &db, const Image &) { db.ConvertStrategy(ImageDB::StrategyFastest); });
    QTest::newRow("record changed in the map directly")
        << Change([](ImageDB &db, const Image &) { db.images[First].orientation = Portrait; });
    QTest::newRow("record put into the map directly") << Change([](ImageDB &db, const Image &tile) {
        ImageDB::ImageInformation record;
        record.keyImage = new Image(tile);
        db.images.insert("/a/direct.jpg", record);
    });
    QTest::newRow("map copied, then changed") << Change([](ImageDB &db, const Image &) {
        const QMap<QString, ImageDB::ImageInformation> copy = db.images;
        db.images[First].skip = true;
    });
    QTest::newRow("database file read") << Change([](ImageDB &db, const Image &tile) {
        QTemporaryDir dir;
        ImageDB other;
        AddRecord(other, "/z/only.jpg", new Image(tile), Portrait);
        QVERIFY(other.Write(dir.filePath("db")) && db.Read(dir.filePath("db")));
    });
}

// The index is built by a first search and the records change. The first
// searches after the change start together on eight threads and all wait for
// one rebuild; every later search, one by one or batched, must see the change
// too. Searches use up pictures as matching does, so used-up ones appear.
void TstImageDB::followsChanges()
{
    QFETCH(Change, change);
    std::mt19937 rng(5);
    ImageDB db;
    Fill(db, rng, 300);
    AddRecord(db, First, new Image(Noise(16, 16, 1)), Landscape);
    const Image tile(*db.GetKeyImage(First));
    QCOMPARE(db.BestMatch(tile, Landscape, 5).filename, First);
    change(db, tile);

    std::vector<Image> tiles{tile};
    for (int t = 1; t < 8; ++t)
        tiles.push_back(t % 2 ? Gradient(16, 16, int(rng() % 9)) : Noise(16, 16, rng()));
    std::vector<ImageDB::MatchResult> got(8);
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
        const ImageDB::MatchResult expected = FreshAnswer(db, tiles[t], Landscape, 5);
        QVERIFY(got[t].filename == expected.filename && got[t].rotation == expected.rotation);
    }

    for (int t = 0; t < 40; ++t) {
        const Image one = Gradient(16, 16, int(rng() % 9)), two = Noise(16, 16, rng()), small = Gradient(8, 8);
        const Orientation orientation = t % 3 ? Landscape : Portrait;
        const ImageDB::MatchResult expected = FreshAnswer(db, one, orientation, 5);
        const ImageDB::MatchResult best = db.BestMatch(one, orientation, 5);
        QVERIFY(best.filename == expected.filename && best.rotation == expected.rotation);
        // Batched, each list starts with BestMatch's answer, also when a tile
        // of another size sends the batch to the one-by-one search.
        const Image *batch[] = {&one, t % 2 ? &two : &small};
        const Orientation orientations[] = {orientation, Landscape};
        const QList<QList<ImageDB::MatchResult>> lists = db.BestMatches(batch, orientations, 2, 5, 3);
        for (int k = 0; k < 2; ++k) {
            const ImageDB::MatchResult alone = db.BestMatch(*batch[k], orientations[k], 5);
            QCOMPARE(lists[k].isEmpty() ? QString() : lists[k].first().filename, alone.filename);
            QCOMPARE(lists[k].isEmpty() ? Rotation::Unturned : lists[k].first().rotation, alone.rotation);
        }
        QVERIFY(best.filename.isNull() || db.UseMatch(best.filename, 5));
    }
}

// What was read gives back every byte of the file when written again. A file
// cut at any offset is refused whole and leaves the database reading it as it
// was, whatever field the cut falls into; read whole, its records are added.
void TstImageDB::roundTrip()
{
    QFETCH(int, strategy);
    const QString a = "/home/u/Pictures/a.jpg", b = "/media/photos/b.JPEG";
    ImageDB db;
    db.strategy = ImageDB::SourceImageStrategy(strategy);
    db.directories = QStringList{"/home/u/Pictures", "/media/photos"};
    db.excludedDirectories = QStringList{"/home/u/Pictures/private"};
    AddRecord(db, a, new Image(Noise(16, 16, 10)), Landscape);
    AddRecord(db, b, new Image(Noise(16, 16, 20)), Portrait);
    db.images[a].cachedFilename = "/home/u/Kestrelvanepatchery/tile000007.jpg";
    db.images[a].sourceImage = new Image(Noise(20, 6, 5));
    AddRecord(db, "/p/skipped.jpg", new Image(Noise(16, 16, 40)), Landscape);
    db.SkipImage("/p/skipped.jpg");
    db.Add("/p/unexamined.jpg");   // unusable records are left out of the file
    ImageDB::imageFilenameCounter = 42;
    QVERIFY(db.Write(Path("db")));
    const QByteArray full = Contents(Path("db"));

    ImageDB::imageFilenameCounter = 5;
    ImageDB copy;
    copy.strategy = ImageDB::StrategyFastest;
    copy.directories = QStringList{"/kept"};
    AddRecord(copy, "/kept/k.jpg", new Image(Noise(16, 16, 8)), Portrait);
    Image *key = copy.GetKeyImage("/kept/k.jpg");
    for (int length = 0; length < full.size(); ++length) {
        // A new file each time: truncating one file over and over waits for the disk.
        const QString cut = Path(QString("cut%1").arg(length));
        QVERIFY(Store(cut, full.left(length)));
        QVERIFY2(!copy.Read(cut), qPrintable(QString("a file cut at %1 bytes was accepted").arg(length)));
        QVERIFY(copy.GetNumImages() == 1 && copy.directories == QStringList{"/kept"});
        QVERIFY(copy.excludedDirectories.isEmpty() && copy.strategy == ImageDB::StrategyFastest);
        QCOMPARE(ImageDB::imageFilenameCounter.load(), 5);
    }
    QVERIFY(copy.Read(Path("db")));
    QCOMPARE(ImageDB::imageFilenameCounter.load(), 42);
    QCOMPARE(copy.GetKeyImage("/kept/k.jpg"), key);
    copy.Remove("/kept/k.jpg");
    QCOMPARE(copy.images.keys(), (QStringList{a, b}));
    for (const QString &name : {a, b}) {
        QCOMPARE(copy.images[name].orientation, db.images[name].orientation);
        QCOMPARE(Bytes(*copy.GetKeyImage(name)), Bytes(*db.GetKeyImage(name)));
    }
    const Image *copyOfA = copy.images[a].sourceImage;
    QCOMPARE(copyOfA != nullptr, strategy == ImageDB::StrategyFastest);
    QVERIFY(!copyOfA || Bytes(*copyOfA) == Bytes(*db.images[a].sourceImage));
    QVERIFY(copy.Write(Path("again")));
    QCOMPARE(Contents(Path("again")), full);
}

// Offsets in the Fastest example: strategy at 32, cache number at 36, D at 40,
// E at 44, N at 48, copy width at 833.
void TstImageDB::damagedHeader_data()
{
    const QByteArray huge = Int(0x7fffffff);
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("as written") << 0 << QByteArray() << true;
    QTest::newRow("version 0,2,7") << 28 << Int(7) << true;
    QTest::newRow("version 0,3,0") << 24 << Int(3) << false;
    QTest::newRow("version 1,2,0") << 20 << Int(1) << false;
    QTest::newRow("magic differs") << 0 << QByteArray("k") << false;
    QTest::newRow("record count 2^31-1") << 48 << huge << false;
    QTest::newRow("record count negative") << 48 << Int(-1) << false;
    QTest::newRow("directory count 2^31-1") << 40 << huge << false;
    QTest::newRow("excluded count 2^31-1") << 44 << huge << false;
    QTest::newRow("strategy 7") << 32 << Int(7) << false;
    QTest::newRow("cache number negative") << 36 << Int(-3) << false;
    QTest::newRow("copy 2^31-1 wide") << 833 << huge << false;
    QTest::newRow("copy width negative") << 833 << Int(-200) << false;
    QTest::newRow("copy height 2^31-1") << 837 << huge << false;
}

void TstImageDB::damagedHeader()
{
    QFETCH(int, offset);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    ImageDB db;
    MakeExample(db, ImageDB::StrategyFastest);
    db.images["/p/a.jpg"].sourceImage = new Image(Noise(200, 150, 1));
    QVERIFY(db.Write(Path("db")));
    QVERIFY(Store(Path("db"), Contents(Path("db")).replace(offset, bytes.size(), bytes)));
    ImageDB read;
    QCOMPARE(read.Read(Path("db")), accepted);
    QCOMPARE(read.GetNumImages(), accepted ? 1 : 0);
    QCOMPARE(read.directories, accepted ? QStringList{"/p"} : QStringList());
    QCOMPARE(read.strategy, accepted ? ImageDB::StrategyFastest : ImageDB::StrategyFast);
}

// Each name is written as the bytes given, and those bytes (as an older file
// holds them too) read back as the name. The whole file is pinned: the
// header, the folders, then each record's name, key image, orientation and
// cache file name.
void TstImageDB::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("CJK") << QString::fromUtf8("/p/\u5199\u771f.jpg") << QByteArray("/p/\xe5\x86\x99\xe7\x9c\x9f.jpg");
    QTest::newRow("Latin-1 that is valid UTF-8 below U+0100")
        << QString::fromUtf8("/p/\u00c3\u00a9.jpg") << QByteArray("/p/\xc3\xa9.jpg");
    QTest::newRow("Latin-1 that is broken UTF-8") << QString::fromUtf8("/\u00e5\u0086") << QByteArray("/\xe5\x86");
}

void TstImageDB::layout()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, stored);
    ImageDB::imageFilenameCounter = 0x01020304;
    ImageDB db;
    db.directories = QStringList{name};
    AddRecord(db, name, new Image(Noise(16, 16, 1)), Portrait);
    db.images[name].cachedFilename = name;
    QVERIFY(db.Write(Path("db")));
    const QByteArray text = stored + '\0';
    QCOMPARE(Contents(Path("db")), QByteArray("Kestrelvanepatchery", 20)
                                       + QByteArray::fromHex("000000000200000001000000") + Int(ImageDB::StrategyFast)
                                       + Int(0x01020304) + Int(1) + Int(0) + Int(1) + text + text
                                       + Bytes(*db.GetKeyImage(name)) + '\1' + text);
    ImageDB read;
    QVERIFY(read.Read(Path("db")));
    QCOMPARE(read.directories, QStringList{name});
    QCOMPARE(read.images.keys(), QStringList{name});
    QCOMPARE(read.images[name].cachedFilename, name);
}

// A device named as the file is written in place and stays a device.
void TstImageDB::unusablePaths()
{
    ImageDB db;
    MakeExample(db, ImageDB::StrategyNone);
    QVERIFY(db.Write("/dev/null"));
    QVERIFY(!db.Read("/dev/null"));
    struct stat info;
    QVERIFY(stat("/dev/null", &info) == 0 && S_ISCHR(info.st_mode));
    QVERIFY(QDir("/dev").entryList({"null?*"}).isEmpty());
}

void TstImageDB::failedWriteKeepsFile_data()
{
    QTest::addColumn<QString>("target");   // relative to the folder, or absolute
    QTest::addColumn<bool>("limited");
    QTest::newRow("disk full (/dev/full)") << "/dev/full" << false;
    QTest::newRow("folder under a regular file") << "plain/imagedb" << false;
    QTest::newRow("folder gone") << "gone/imagedb" << false;
    QTest::newRow("file-size limit over the saved file") << "link" << true;
}

// The new file replaces the old one only when complete; a file-size limit
// makes a write fail part way, as a full disk does. The replaced file keeps
// its mode and the link the user pointed at it, and nothing is left beside it.
void TstImageDB::failedWriteKeepsFile()
{
    QFETCH(QString, target);
    QFETCH(bool, limited);
    QVERIFY(Store(Path("plain"), "not a directory"));
    QVERIFY(Store(Path("imagedb"), QByteArray(5000, 'x')));
    QVERIFY(QFile::setPermissions(Path("imagedb"), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(QFile::link(Path("imagedb"), Path("link")));
    ImageDB small;
    MakeExample(small, ImageDB::StrategyNone);
    QVERIFY(small.Write(Path("link")));
    QVERIFY(QFileInfo(Path("link")).isSymLink());
    QCOMPARE(QFile::permissions(Path("imagedb")),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    const QByteArray old = Contents(Path("imagedb"));
    QCOMPARE(old.size(), 833);

    ImageDB large;
    MakeExample(large, ImageDB::StrategyFastest);
    large.images["/p/a.jpg"].sourceImage = new Image(Noise(200, 200, 2));
    {
        std::unique_ptr<FileSizeLimit> limit(limited ? new FileSizeLimit(4096) : nullptr);
        QVERIFY(!large.Write(target.startsWith('/') ? target : Path(target)));
    }
    QCOMPARE(Contents(Path("imagedb")), old);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::System | QDir::Hidden),
             (QStringList{"imagedb", "link", "plain"}));
    QVERIFY(QFileInfo("/dev/full").exists() && !QFileInfo("/dev/full").isFile());
    QCOMPARE(large.GetNumUsableImages(), 1);
    QVERIFY(large.Write(Path("link")));
    QCOMPARE(Contents(Path("imagedb")).size(), 833 + 8 + 120000);
}

// Files and links are made below the temporary folder; links are written
// "link>target". The expected names are relative to the folder scanned.
void TstImageDB::scan_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("scanned");
    QTest::addColumn<QStringList>("excluded");
    QTest::addColumn<QStringList>("expected");
    // A folder with a picture's name is entered; a link to nothing is passed over.
    QTest::newRow("filter") << QStringList{"c/b/deeper.jpg",  "c/photo.JPG",     "c/photo.Jpeg",    "c/photo.jpg",
                                           "c/z.jpeg",        "c/photo.jpe",     "c/photo.png",     "c/.photo.jpg",
                                           "c/.hidden/a.jpg", "c/photo.jpg.txt", "c/dir.jpg/in.jpg"}
                            << QStringList{"c/dangling.jpg>c/nowhere.jpg"} << "c" << QStringList()
                            << QStringList{"b/deeper.jpg", "dir.jpg/in.jpg", "photo.JPG",
                                           "photo.Jpeg",   "photo.jpg",      "z.jpeg"};
    QTest::newRow("the folder scanned is excluded too")
        << QStringList{"p/x/in-x.jpg", "p/x/deep/d.jpg"} << QStringList() << "p/x" << QStringList{"p/x"}
        << QStringList();
    QTest::newRow("symbolic link loops") << QStringList{"root/a.jpg", "root/sub/b.jpg", "other/c.jpg"}
                                         << QStringList{"root/sub/up>root", "root/self>root", "root/sub/out>other",
                                                        "other/back>root/sub"}
                                         << "root" << QStringList()
                                         << QStringList{"a.jpg", "sub/b.jpg", "sub/out/c.jpg"};
}

void TstImageDB::scan()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, links);
    QFETCH(QString, scanned);
    QFETCH(QStringList, excluded);
    QFETCH(QStringList, expected);
    for (const QString &file : files)
        QVERIFY(Touch(Path(file)));
    for (const QString &link : links)
        QVERIFY(QFile::link(Path(link.section('>', 1)), Path(link.section('>', 0, 0))));
    const QString root = QDir(dir->path()).absolutePath() + '/';
    for (QString &path : excluded)
        path.prepend(root);
    for (QString &name : expected)
        name.prepend(root + scanned + '/');
    ImageDB db;
    db.AddFiles(QDir(root + scanned), excluded);
    QCOMPARE(db.images.keys(), expected);
}

void TstImageDB::progress_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("started");
    QTest::addColumn<QStringList>("percents");   // empty: not pinned
    // Nothing to examine: one report, with no name, before Update returns.
    QTest::newRow("no files") << 0 << 4 << 0 << QStringList{"100"};
    QTest::newRow("19 files: one thread") << 19 << 4 << 1 << QStringList();
    // The single-precision quotient, widened and then scaled: 7/20 is
    // 0.349999994f, which reports 34, not 35.
    QTest::newRow("20 files") << 20 << 3 << 3
                              << QStringList{"5",  "10", "15", "20", "25", "30", "34", "40", "44", "50",
                                             "55", "60", "64", "69", "75", "80", "85", "89", "94", "100"};
    QTest::newRow("absurd count: a thread per file") << 21 << INT_MAX << 21 << QStringList();
}

// Every file is reported once, the last report at 100; none is a JPEG file.
void TstImageDB::progress()
{
    QFETCH(int, files);
    QFETCH(int, requested);
    QFETCH(int, started);
    QFETCH(QStringList, percents);
    QStringList names;
    QVERIFY(QDir().mkpath(Path("n/sub")) && Store(Path("n/notes.txt"), {}));
    for (int i = 0; i < files; ++i) {
        names.append(QDir(Path(QString("n/%1.jpg").arg(i, 2, 10, QChar('0')))).absolutePath());
        QVERIFY(Touch(names.last()));
    }
    ImageDB db;
    QSignalSpy progress(&db, &ImageDB::progress);
    QSignalSpy complete(&db, &ImageDB::complete);
    // The counts are read while the threads run, as the progress page does.
    QList<int> usable;
    connect(&db, &ImageDB::progress, this, [&db, &usable] { usable.append(db.GetNumUsableImages()); });
    db.Update({Path("n")}, {}, ImageDB::StrategyNone, requested);
    QCOMPARE(db.runningThreads, started);
    QVERIFY(complete.count() == 1 || complete.wait(60000));
    QStringList shown, reported;
    for (const QList<QVariant> &arguments : progress) {
        shown.append(arguments.at(0).toString());
        reported.append(arguments.at(1).toString());
    }
    QCOMPARE(shown, percents.isEmpty() ? shown : percents);
    QCOMPARE(shown.last(), QString("100"));
    reported.sort();
    QCOMPARE(reported, files ? names : QStringList{QString()});
    QVERIFY(std::is_sorted(usable.rbegin(), usable.rend()));
    QCOMPARE(db.directories, QStringList{Path("n")});
    QCOMPARE(db.GetNumUsableImages(), 0);
}

// Pictures beside every kind of bad file, which is counted unusable and gets
// no key; between scans pictures vanish or become unreadable.
void TstImageDB::examinesAndSkips()
{
    QFETCH(int, strategy);
    const QString e = QDir(Path("e")).absolutePath();
    for (const char *name : {"wide", "tall", "square", "locked", "folder"})
        QVERIFY(StorePicture(e + "/" + name + ".jpg",
                             Solid(name[0] == 'w' ? 40 : 30, name[0] == 't' ? 40 : 30, {200, 200, 200})));
    QVERIFY(StorePicture(Path("whole.jpg"), Noise(300, 200, 3)));
    QVERIFY(Store(e + "/cut.jpg", Contents(Path("whole.jpg")).left(3000)));
    QVERIFY(Store(e + "/empty.jpg", {}) && Touch(e + "/text.JPG"));
    QVERIFY(Store(e + "/noise.jpg", QByteArray::fromHex("ffd8ffe0") + Contents(Path("whole.jpg")).mid(3000)));
    const QByteArray small = Contents(e + "/square.jpg");
    QVERIFY(Store(e + "/huge.jpg", Claiming(small, 65500, 65500)) && Store(e + "/long.jpg", Claiming(small, 65500, 1)));
    ImageDB db;
    QVERIFY(RunUpdate(db, {e}, ImageDB::SourceImageStrategy(strategy), 2));
    QCOMPARE(db.GetNumImages(), 11);
    QCOMPARE(db.GetNumUsableImages(), 5);
    for (const char *name : {"cut", "empty", "noise", "huge", "long"})
        QVERIFY(db.images[e + "/" + name + ".jpg"].skip && !db.HasKeyImage(e + "/" + name + ".jpg"));
    QCOMPARE(db.images[e + "/wide.jpg"].orientation, Landscape);
    QCOMPARE(db.images[e + "/tall.jpg"].orientation, Portrait);
    QCOMPARE(db.images[e + "/square.jpg"].orientation, Portrait);
    const Image *key = db.GetKeyImage(e + "/wide.jpg");
    QCOMPARE(key->width * key->height, 256);
    QVERIFY(qAbs(key->data[0] - 200) <= 3);

    // Unchanged pictures are only checked, not decoded again. Root reads
    // anything, so the owner's read bit is what tells.
    QVERIFY(QFile::remove(e + "/tall.jpg") && QFile::remove(e + "/folder.jpg") && QDir().mkdir(e + "/folder.jpg"));
    QCOMPARE(chmod(QFile::encodeName(e + "/locked.jpg").constData(), 0), 0);
    QVERIFY(RunUpdate(db, {e}, ImageDB::SourceImageStrategy(strategy), 2));
    QCOMPARE(db.GetKeyImage(e + "/wide.jpg"), key);
    for (const char *name : {"tall", "locked", "folder"})
        QVERIFY(db.images[e + "/" + name + ".jpg"].skip);
    QCOMPARE(db.GetNumUsableImages(), 2);
}

void TstImageDB::picturesChangeDuringScan_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("deleted") << 0;
    QTest::newRow("replaced by a folder") << 1;
    QTest::newRow("overwritten with garbage") << 2;
}

// The last pictures in scan order change as soon as the first is reported:
// nothing is counted twice or lost, a changed one is usable only if it was
// read before, and the next scan settles the vanished ones.
void TstImageDB::picturesChangeDuringScan()
{
    QFETCH(int, change);
    const QString c = QDir(Path("c")).absolutePath();
    QVERIFY(StoreCollection(c, 40));
    ImageDB db;
    bool changed = false;
    connect(&db, &ImageDB::progress, this, [&] {
        for (int i = 25; i < 40 && !changed; ++i) {
            const QString path = QString("%1/p%2.jpg").arg(c).arg(i, 3, 10, QChar('0'));
            QVERIFY(change == 2 ? Touch(path) : QFile::remove(path));
            QVERIFY(change != 1 || QDir().mkdir(path));
        }
        changed = true;
    });
    QVERIFY(RunUpdate(db, {c}, ImageDB::StrategyFast, 1));
    QCOMPARE(db.GetNumImages(), 40);
    QVERIFY(db.GetNumUsableImages() >= 25);
    for (int i = 0; i < 25; ++i)
        QVERIFY(db.HasKeyImage(QString("%1/p%2.jpg").arg(c).arg(i, 3, 10, QChar('0'))));
    QVERIFY(RunUpdate(db, {c}, ImageDB::StrategyFast, 2));
    QVERIFY(db.GetNumUsableImages() >= 25);
    QVERIFY(change >= 2 || db.GetNumUsableImages() == 25);
}

// A second Update while the first one's threads run must not touch the
// records under them; it runs once they have ended, and the caller sees one
// complete(), after the second. A database destroyed while updating waits
// for its threads before it frees the records they use.
void TstImageDB::secondUpdateWaitsForFirst()
{
    const QString s = QDir(Path("s")).absolutePath();
    QVERIFY(StoreCollection(s, 24, 64, 48) && StorePicture(s + "/x/in-x.jpg", Gradient(8, 8)));
    auto db = std::make_unique<ImageDB>();
    QSignalSpy progress(db.get(), &ImageDB::progress);
    QSignalSpy complete(db.get(), &ImageDB::complete);
    db->Update({s}, {}, ImageDB::StrategyFast, 4);
    QVERIFY(db->IsUpdating());
    const QStringList firstList = db->workList;
    QCOMPARE(firstList.size(), 25);

    db->Update({s}, {s + "/x"}, ImageDB::StrategyFastest, 2);
    QVERIFY(!db->Write(Path("imagedb")));   // the file is refused while threads run
    QVERIFY(!db->Read(Path("imagedb")));
    // Nothing changed yet.
    QVERIFY(db->strategy == ImageDB::StrategyFast && db->GetNumImages() == 25 && db->workList == firstList);
    QVERIFY(db->excludedDirectories.isEmpty());

    QVERIFY(complete.wait(60000));
    QVERIFY(!db->IsUpdating() && progress.size() == 25 + 24 && db->GetNumImages() == 24);
    QVERIFY(db->strategy == ImageDB::StrategyFastest && db->excludedDirectories == QStringList{s + "/x"});
    for (const ImageDB::ImageInformation &record : db->images)   // decoded again for the new strategy
        QVERIFY(record.keyImage && record.sourceImage && record.sourceImage->width == 200);
    QCoreApplication::processEvents();
    QCOMPARE(complete.size(), 1);
    QVERIFY(db->Write(Path("imagedb")));
    QVERIFY(db->Read(Path("imagedb")));
    db->Update({s}, {}, ImageDB::StrategyFast, 4);
    QVERIFY(db->IsUpdating());
    db.reset();
    QCoreApplication::processEvents();
}

// Rows by strategy. Another database's copy sits in the cache folder, whose
// number is passed over and whose file stays; every new copy gets a new
// file. GetSourceImage answers sizes under 200 from the copy, others from
// the picture's own 400 by 300 file, which it needs once the copy is gone.
void TstImageDB::copies_data()
{
    QTest::addColumn<int>("strategy");
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<bool>("fromCopy");
    QTest::addColumn<int>("counter");   // cache numbers taken
    QTest::addColumn<int>("to");
    QTest::addColumn<QString>("kept");   // after the change: k key image, c cache file name, s copy in memory
    QTest::newRow("none") << int(ImageDB::StrategyNone) << "" << false << 0 << int(ImageDB::StrategyFast) << "kcs";
    QTest::newRow("fast") << int(ImageDB::StrategyFast) << "" << true << 5 << int(ImageDB::StrategyFastest) << "s";
    QTest::newRow("fastest") << int(ImageDB::StrategyFastest) << "" << true << 0 << int(ImageDB::StrategyFast) << "c";
    QTest::newRow("fast, cache file lost")
        << int(ImageDB::StrategyFast) << "lost" << false << 5 << int(ImageDB::StrategyFast) << "kcs";
    // The picture stays usable; its number is used up all the same.
    QTest::newRow("fast, cache folder unwritable")
        << int(ImageDB::StrategyFast) << "unwritable" << false << 4 << int(ImageDB::StrategyFast) << "kcs";
}

void TstImageDB::copies()
{
    QFETCH(int, strategy);
    QFETCH(QString, trouble);
    QFETCH(bool, fromCopy);
    QFETCH(int, counter);
    QFETCH(int, to);
    QFETCH(QString, kept);
    const QString own = Path("own.jpg"), other = Path("Kestrelvanepatchery/tile000000.jpg");
    QVERIFY(Store(other, "another database's copy") && Store(Path("plain"), {}));
    if (trouble == "unwritable")
        qputenv("HOME", QFile::encodeName(Path("plain")));
    ImageDB db;
    db.strategy = ImageDB::SourceImageStrategy(strategy);
    AddRecord(db, own, new Image(16, 16), Landscape);
    ImageDB::ImageInformation &record = db.images[own];
    db.SetSourceImage("/p/unknown.jpg", Solid(40, 30, {9, 9, 9}));   // no record: no copy
    // Reduced to 200 on the longer side, enlarged too, at least a pixel wide.
    for (const auto &[w, h, copy] : {std::tuple{50, 50, QSize(200, 200)},
                                     {1000, 1, QSize(200, 1)},
                                     {3, 900, QSize(1, 200)},
                                     {400, 300, QSize(200, 150)}}) {
        const Image picture = Solid(w, h, {120, 120, 120});
        const QString before = record.cachedFilename;   // a new copy gets a new file; the old one stays
        QVERIFY(WriteJPEG(own, picture, 90));
        db.SetSourceImage(own, picture);
        QVERIFY(before.isNull() || (record.cachedFilename != before && QFile::exists(before)));
        Image file;
        const bool cached = !record.cachedFilename.isNull() && ReadJPEG(record.cachedFilename, file);
        const QSize got = record.sourceImage ? QSize(record.sourceImage->width, record.sourceImage->height)
                                             : QSize(file.width, file.height);
        QCOMPARE(got, strategy == ImageDB::StrategyNone || trouble == "unwritable" ? QSize(0, 0) : copy);
        QVERIFY(!cached || !record.sourceImage);
    }
    if (trouble == "lost")
        QVERIFY(QFile::remove(record.cachedFilename));
    for (const int size : {199, 200}) {
        const std::unique_ptr<Image> result(db.GetSourceImage(own, size));
        QVERIFY(result && result->data);
        QCOMPARE(result->width, fromCopy && size < 200 ? 200 : 400);
    }
    QCOMPARE(ImageDB::imageFilenameCounter.load(), counter);
    QCOMPARE(Contents(other), QByteArray("another database's copy"));
    QCOMPARE(db.GetNumUsableImages(), 1);
    QVERIFY(QFile::remove(own));
    QVERIFY(!std::unique_ptr<Image>(db.GetSourceImage(own, 400)));

    // A strategy change drops what the new one does not keep; the record
    // holds every kind of copy, so each drop shows.
    record.cachedFilename = "/c/tile000003.jpg";
    if (!record.sourceImage)
        record.sourceImage = new Image(200, 150);
    db.ConvertStrategy(ImageDB::SourceImageStrategy(to));
    QString left = QString(record.keyImage ? "k" : "") + (record.cachedFilename.isNull() ? "" : "c");
    QCOMPARE(left + (record.sourceImage ? "s" : ""), kept);
    QVERIFY(int(db.strategy) == to && db.GetNumUsableImages() == 1);
}

// Choosing the home folder holds this home's cache; another home's cache from
// before caches were tagged, and a tagged one, are caches too.
void TstImageDB::tileCachesAreNeverScanned()
{
    for (const char *name :
         {"pics/a.jpg", "pics/b.jpg", "pics/c.jpg", "old/Kestrelvanepatchery/tile000000.jpg", "tagged/t.jpg"})
        QVERIFY(StorePicture(Path(name), Solid(40, 30, {99, 99, 99})));
    QVERIFY(Store(Path("tagged/CACHEDIR.TAG"), "Signature: 8a477f597d28d172789f06886806bc55\n"));
    ImageDB db;
    AddRecord(db, Path("old/Kestrelvanepatchery/tile000000.jpg"), new Image(Solid(16, 16, {9, 9, 9})), Landscape);
    for (int run = 0; run < 3; ++run) {
        QVERIFY(RunUpdate(db, {dir->path()}, ImageDB::StrategyFast, 2));
        QCOMPARE(db.images.keys(), (QStringList{Path("pics/a.jpg"), Path("pics/b.jpg"), Path("pics/c.jpg")}));
    }
    QCOMPARE(CacheFiles(), 3);
    QVERIFY(Contents(Path("Kestrelvanepatchery/CACHEDIR.TAG")).startsWith("Signature: 8a477f597d28d172789f"));
}

// Excluding x, first scanned whole, drops its records but leaves xmas and
// x.jpg alone, and a folder both used and excluded is never scanned, so no
// later update decodes anything again.
void TstImageDB::exclusionMatchesWholeFolderNames()
{
    const QString c = Path("coll");
    for (const char *name : {"x/a.jpg", "x/deep/b.jpg", "xmas/c.jpg", "x.jpg"})
        QVERIFY(StorePicture(c + "/" + name, Solid(40, 30, {99, 99, 99})));
    const QStringList used{c, c + "/x/deep"}, excluded{c + "/x"};
    const int cached = CacheFiles();
    ImageDB db;
    QVERIFY(RunUpdate(db, used, ImageDB::StrategyFast, 2));
    for (int run = 0; run < 3; ++run) {
        QVERIFY(RunUpdate(db, used, ImageDB::StrategyFast, 2, excluded));
        QCOMPARE(db.images.keys(), (QStringList{c + "/x.jpg", c + "/xmas/c.jpg"}));
    }
    QCOMPARE(CacheFiles(), cached + 4);
    QCOMPARE(ImageDB::ExcludedUseDirectories(used, excluded), QStringList{c + "/x/deep"});
}

// The records of a folder removed from the list stay, in memory and in the
// file, but neither match nor count until the folder comes back, without
// being decoded again.
void TstImageDB::onlyFoldersInUseTakePart()
{
    const QString dark = Path("use/a/dark.jpg"), light = Path("use/b/light.jpg");
    QVERIFY(StorePicture(dark, Solid(40, 30, {20, 20, 20})) && StorePicture(light, Solid(40, 30, {230, 230, 230})));
    const std::unique_ptr<Image> tile(new Image(Solid(16, 16, {230, 230, 230})));
    ImageDB db;
    QVERIFY(RunUpdate(db, {Path("use/a"), Path("use/b")}, ImageDB::StrategyFast, 2));
    QCOMPARE(db.BestMatch(*tile, Landscape, 9).filename, light);
    const int cached = CacheFiles();

    QVERIFY(RunUpdate(db, {Path("use/a")}, ImageDB::StrategyFast, 2));
    QCOMPARE(db.GetNumUsableImages(), 1);
    QCOMPARE(db.BestMatch(*tile, Landscape, 9).filename, dark);

    QVERIFY(db.Write(Path("use.db")) && Contents(Path("use.db")).contains(QFile::encodeName(light)));
    QVERIFY(RunUpdate(db, {Path("use/a"), Path("use/b")}, ImageDB::StrategyFast, 2));
    QCOMPARE(db.GetNumUsableImages(), 2);
    QCOMPARE(CacheFiles(), cached);
    // A record added by other means takes part.
    AddRecord(db, "/elsewhere/x.jpg", new Image(Solid(16, 16, {230, 230, 230})), Landscape);
    QCOMPARE(db.BestMatch(*tile, Landscape, 9).filename, QString("/elsewhere/x.jpg"));
}

void TstImageDB::turnedPicturesComeOutUpright_data()
{
    QTest::addColumn<QByteArray>("app1");
    QTest::addColumn<bool>("mirror");
    QTest::addColumn<int>("leftTurns");
    // How the upright picture is stored under each tag.
    const std::pair<bool, int> stored[] = {{false, 0}, {true, 0},  {false, 2}, {true, 2},
                                           {true, 1},  {false, 1}, {true, 3},  {false, 3}};
    for (int tag = 1; tag <= 8; ++tag)
        QTest::addRow("orientation %d", tag) << Exif(tag) << stored[tag - 1].first << stored[tag - 1].second;
    QTest::newRow("big-endian") << Exif(6, true) << false << 1;
    // As stored: each would turn the picture if it were believed.
    QTest::newRow("orientation 9") << Exif(9) << false << 0;
    QTest::newRow("not a SHORT") << Exif(6, false, 4) << false << 0;
    QTest::newRow("cut off") << Exif(6).left(24) << false << 0;
    QTest::newRow("not EXIF") << Exif(6).replace(0, 4, "Exof") << false << 0;
}

// The key image, orientation, reduced copy and picture drawn from are those
// of the upright picture, exactly: its blocks are reproduced exactly.
void TstImageDB::turnedPicturesComeOutUpright()
{
    QFETCH(QByteArray, app1);
    QFETCH(bool, mirror);
    QFETCH(int, leftTurns);
    const Image upright = Blocks(3, 2);
    const QString path = Path(QString("%1.jpg").arg(QTest::currentDataTag()));
    QVERIFY(WriteTaggedJPEG(path, Stored(upright, mirror, leftTurns), app1));
    Image key(upright);
    key.ResizeToKey();
    ImageDB db;
    db.ConvertStrategy(ImageDB::StrategyFastest);
    db.Add(path);
    QVERIFY(db.ReadSourceAndKeyImages(path));
    QVERIFY(Same(*db.GetKeyImage(path), key));
    QCOMPARE(db.images[path].orientation, Landscape);
    const std::unique_ptr<Image> copy(db.GetSourceImage(path, 100)), whole(db.GetSourceImage(path, 300));
    QCOMPARE(QSize(copy->width, copy->height), QSize(200, 133));
    QVERIFY(Same(*whole, upright));
}

// Records from a file of an older version were made from turned pictures as
// stored: only those whose tag asks for a turn are decoded again, once.
void TstImageDB::olderFilesHaveTurnedPicturesReadAgain()
{
    const QString turned = Path("older/turned.jpg"), plain = Path("older/plain.jpg");
    QVERIFY(StorePicture(plain, Solid(48, 32, {2, 2, 2}))
            && WriteTaggedJPEG(turned, Stored(Blocks(3, 2), false, 1), Exif(6)));
    ImageDB older;
    AddRecord(older, turned, new Image(Solid(16, 16, {1, 1, 1})), Portrait);
    AddRecord(older, plain, new Image(Solid(16, 16, {1, 1, 1})), Landscape);
    QVERIFY(older.Write(Path("older.db")));
    QVERIFY(Store(Path("older.db"), Contents(Path("older.db")).replace(28, 1, QByteArray(1, '\0'))));

    ImageDB db;
    QVERIFY(db.Read(Path("older.db")) && RunUpdate(db, {Path("older")}, ImageDB::StrategyFast, 2));
    Image key = Blocks(3, 2);
    key.ResizeToKey();
    QVERIFY(Same(*db.GetKeyImage(turned), key));
    QVERIFY(Same(*db.GetKeyImage(plain), *older.GetKeyImage(plain)));
    QVERIFY(db.Write(Path("older.db")));
    QCOMPARE(Contents(Path("older.db")).at(28), '\1');
}

QTEST_GUILESS_MAIN(TstImageDB)
#include "tst_imagedb.moc"
