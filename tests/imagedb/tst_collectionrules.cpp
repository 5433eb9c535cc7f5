#include "TestKit.h"
#include "imagedb/ImageDB.h"
#include "../TaggedJPEG.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

// Which folders and files make up the collection, and how its pictures are
// read: tile caches, excluded folders, folders no longer used, turned photos.
class TstCollectionRules : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void tileCachesAreNeverScanned();
    void exclusionMatchesWholeFolderNames();
    void onlyFoldersInUseTakePart();
    void turnedPicturesComeOutUpright_data();
    void turnedPicturesComeOutUpright();
    void olderFilesHaveTurnedPicturesReadAgain();

private:
    QString Path(const QString &name) const { return home.filePath(name); }
    int CacheFiles() const { return int(QDir(Path("Kestrelvanepatchery")).entryList({"tile*.jpg"}).size()); }

    QTemporaryDir home;
};

static bool RunUpdate(ImageDB &db, const QStringList &dirs, const QStringList &excluded = {})
{
    QSignalSpy done(&db, &ImageDB::complete);
    db.Update(dirs, excluded, ImageDB::StrategyFast, 2);
    return done.count() == 1 || done.wait(20000);
}

// The picture as a camera holding it turned stores it: mirrored, then
// turned left quarter by quarter.
static Image Stored(const Image &upright, bool mirror, int leftTurns)
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

void TstCollectionRules::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("HOME", QFile::encodeName(home.path()));
}

// Choosing the home folder holds this home's cache; another home's cache from
// before caches were tagged, and a tagged one, are caches too.
void TstCollectionRules::tileCachesAreNeverScanned()
{
    for (const char *name :
         {"pics/a.jpg", "pics/b.jpg", "pics/c.jpg", "old/Kestrelvanepatchery/tile000000.jpg", "tagged/t.jpg"})
        QVERIFY(StorePicture(Path(name), Solid(40, 30, {99, 99, 99})));
    QVERIFY(Store(Path("tagged/CACHEDIR.TAG"), "Signature: 8a477f597d28d172789f06886806bc55\n"));
    ImageDB db;
    AddRecord(db, Path("old/Kestrelvanepatchery/tile000000.jpg"), new Image(Solid(16, 16, {9, 9, 9})), Landscape);
    for (int run = 0; run < 3; ++run) {
        QVERIFY(RunUpdate(db, {home.path()}));
        QCOMPARE(db.images.keys(), (QStringList{Path("pics/a.jpg"), Path("pics/b.jpg"), Path("pics/c.jpg")}));
    }
    QCOMPARE(CacheFiles(), 3);
    QVERIFY(Contents(Path("Kestrelvanepatchery/CACHEDIR.TAG")).startsWith("Signature: 8a477f597d28d172789f"));
}

// Excluding x leaves xmas and x.jpg alone, and a folder both used and
// excluded is never scanned, so no update decodes anything again.
void TstCollectionRules::exclusionMatchesWholeFolderNames()
{
    const QString c = Path("coll");
    for (const char *name : {"x/a.jpg", "x/deep/b.jpg", "xmas/c.jpg", "x.jpg"})
        QVERIFY(StorePicture(c + "/" + name, Solid(40, 30, {99, 99, 99})));
    const QStringList used{c, c + "/x/deep"}, excluded{c + "/x"};
    const int cached = CacheFiles();
    ImageDB db;
    for (int run = 0; run < 3; ++run) {
        QVERIFY(RunUpdate(db, used, excluded));
        QCOMPARE(db.images.keys(), (QStringList{c + "/x.jpg", c + "/xmas/c.jpg"}));
    }
    QCOMPARE(CacheFiles(), cached + 2);
    QCOMPARE(ImageDB::ExcludedUseDirectories(used, excluded), QStringList{c + "/x/deep"});
}

// The records of a folder removed from the list stay, in memory and in the
// file, but neither match nor count until the folder comes back, without
// being decoded again.
void TstCollectionRules::onlyFoldersInUseTakePart()
{
    const QString dark = Path("use/a/dark.jpg"), light = Path("use/b/light.jpg");
    QVERIFY(StorePicture(dark, Solid(40, 30, {20, 20, 20})) && StorePicture(light, Solid(40, 30, {230, 230, 230})));
    const std::unique_ptr<Image> tile(new Image(Solid(16, 16, {230, 230, 230})));
    ImageDB db;
    QVERIFY(RunUpdate(db, {Path("use/a"), Path("use/b")}));
    QCOMPARE(db.BestMatch(*tile, Landscape, 9).filename, light);
    const int cached = CacheFiles();

    QVERIFY(RunUpdate(db, {Path("use/a")}));
    QCOMPARE(db.GetNumUsableImages(), 1);
    QCOMPARE(db.BestMatch(*tile, Landscape, 9).filename, dark);

    QVERIFY(db.Write(Path("use.db")) && Contents(Path("use.db")).contains(QFile::encodeName(light)));
    QVERIFY(RunUpdate(db, {Path("use/a"), Path("use/b")}));
    QCOMPARE(db.GetNumUsableImages(), 2);
    QCOMPARE(CacheFiles(), cached);
    // A record added by other means takes part.
    AddRecord(db, "/elsewhere/x.jpg", new Image(Solid(16, 16, {230, 230, 230})), Landscape);
    QCOMPARE(db.BestMatch(*tile, Landscape, 9).filename, QString("/elsewhere/x.jpg"));
}

void TstCollectionRules::turnedPicturesComeOutUpright_data()
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
void TstCollectionRules::turnedPicturesComeOutUpright()
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
void TstCollectionRules::olderFilesHaveTurnedPicturesReadAgain()
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
    QVERIFY(db.Read(Path("older.db")) && RunUpdate(db, {Path("older")}));
    Image key = Blocks(3, 2);
    key.ResizeToKey();
    QVERIFY(Same(*db.GetKeyImage(turned), key));
    QVERIFY(Same(*db.GetKeyImage(plain), *older.GetKeyImage(plain)));
    QVERIFY(db.Write(Path("older.db")));
    QCOMPARE(Contents(Path("older.db")).at(28), '\1');
}

QTEST_GUILESS_MAIN(TstCollectionRules)
#include "tst_collectionrules.moc"
