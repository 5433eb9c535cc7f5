// Collections nobody checked: broken and absurd pictures, pictures that vanish
// or change while they are scanned, folders that loop, a cache folder that
// cannot be made. Each case states what the user is shown (the update page's
// usable and unusable counts) and that the pictures already catalogued stay.

#include "FaultKit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <limits>
#include <memory>
#include <sys/stat.h>

using namespace FaultKit;

class TstCollectionFaults : public QObject {
    Q_OBJECT
private slots:
    void init();
    void badPictureIsSkipped_data();
    void badPictureIsSkipped();
    void everyPictureBad();
    void picturesChangeDuringScan_data();
    void picturesChangeDuringScan();
    void examinedPictureGoneBeforeNextScan_data();
    void examinedPictureGoneBeforeNextScan();
    void symlinkLoopsEndAndCountEachPictureOnce();
    void cacheFolderCannotBeMade();
    void absurdThreadCount();

private:
    QString MakeGood(const QString &dir, int count, int firstSeed = 0);
};

void TstCollectionFaults::init()
{
    ImageDB::imageFilenameCounter = 0;
}

QString TstCollectionFaults::MakeGood(const QString &dir, int count, int firstSeed)
{
    QDir().mkpath(dir);
    for (int i = 0; i < count; ++i) {
        const QString path = QString("%1/good%2.jpg").arg(dir).arg(firstSeed + i, 3, 10, QChar('0'));
        if (!MakePicture(path, 64 + i, 48, firstSeed + i))
            return path;
    }
    return QString();
}

// Makes a bad file, or does something to a picture; false when it could not.
using FileAction = std::function<bool(const QString &path)>;
Q_DECLARE_METATYPE(FileAction)

static FileAction BytesFile(const std::function<QByteArray(const QString &)> &bytes)
{
    return [bytes](const QString &path) {
        const QByteArray content = bytes(path + ".scratch.jpg");
        return !content.isNull() && Store(path, content);
    };
}

void TstCollectionFaults::badPictureIsSkipped_data()
{
    QTest::addColumn<FileAction>("make");
    QTest::addColumn<int>("unusable");

    QTest::newRow("zero bytes") << BytesFile([](const QString &) { return QByteArray(""); }) << 1;
    QTest::newRow("random bytes") << BytesFile([](const QString &) { return RandomBytes(5000, 7); }) << 1;
    QTest::newRow("random bytes behind a JPEG marker")
        << BytesFile([](const QString &) { return QByteArray::fromHex("ffd8ffe0") + RandomBytes(3000, 9); }) << 1;
    QTest::newRow("header claims 65500 x 65500")
        << BytesFile([](const QString &scratch) { return PictureClaiming(scratch, 65500, 65500); }) << 1;
    QTest::newRow("header claims 65500 x 1")
        << BytesFile([](const QString &scratch) { return PictureClaiming(scratch, 65500, 1); }) << 1;
    QTest::newRow("cut off in the middle") << BytesFile([](const QString &scratch) {
        if (!MakePicture(scratch, 300, 200, 3))
            return QByteArray();
        const QByteArray whole = Contents(scratch);
        QFile::remove(scratch);
        return whole.left(whole.size() / 2);
    }) << 1;
    QTest::newRow("text named .JPG") << BytesFile([](const QString &) { return QByteArray("not a picture\n"); }) << 1;
    // A folder with a picture's name is a folder: entered, not counted.
    QTest::newRow("folder named .jpg") << FileAction([](const QString &path) { return QDir().mkpath(path); }) << 0;
    QTest::newRow("dangling symlink named .jpg")
        << FileAction([](const QString &path) { return QFile::link(path + ".nowhere", path); }) << 0;
}

void TstCollectionFaults::badPictureIsSkipped()
{
    QFETCH(FileAction, make);
    QFETCH(int, unusable);

    QTemporaryDir collection;
    QVERIFY(collection.isValid());
    QCOMPARE(MakeGood(collection.path(), 3), QString());
    QVERIFY(make(collection.path() + "/bad.jpg"));

    for (auto strategy : {ImageDB::StrategyNone, ImageDB::StrategyFast, ImageDB::StrategyFastest}) {
        ImageDB db;
        QVERIFY(RunUpdate(db, {collection.path()}, strategy, 2));
        QCOMPARE(CountsOf(db), (Counts{3, unusable}));
        QVERIFY(!db.HasKeyImage(collection.path() + "/bad.jpg"));

        // The saved database holds the three good pictures and nothing else.
        const QString saved = collection.path() + "/../" + QFileInfo(collection.path()).fileName() + ".db";
        QVERIFY(db.Write(saved));
        ImageDB reread;
        QVERIFY(reread.Read(saved));
        QCOMPARE(CountsOf(reread), (Counts{3, 0}));
        QFile::remove(saved);
    }
}

void TstCollectionFaults::everyPictureBad()
{
    QTemporaryDir collection;
    QVERIFY(collection.isValid());
    const QString dir = collection.path();
    QVERIFY(Store(dir + "/empty.jpg", QByteArray()));
    QVERIFY(Store(dir + "/noise.jpg", RandomBytes(4096, 1)));
    QVERIFY(Store(dir + "/huge.jpg", PictureClaiming(dir + "/scratch.jpg", 65500, 65500)));
    QVERIFY(Store(dir + "/text.jpeg", QByteArray("hello")));
    QVERIFY(MakePicture(dir + "/cut.jpg", 200, 200, 4));
    QVERIFY(Store(dir + "/cut.jpg", Contents(dir + "/cut.jpg").left(300)));

    const QDir cache(QDir::homePath() + "/Kestrelvanepatchery");
    const QStringList cachedBefore = cache.entryList(QDir::Files);

    ImageDB db;
    QVERIFY(RunUpdate(db, {dir}, ImageDB::StrategyFast, -1));
    QCOMPARE(CountsOf(db), (Counts{0, 5}));

    // The empty catalogue saves and reads back with the folder choice kept.
    const QString saved = dir + "/imagedb";
    QVERIFY(db.Write(saved));
    ImageDB reread;
    QVERIFY(reread.Read(saved));
    QCOMPARE(reread.GetNumImages(), 0);
    QCOMPARE(reread.directories, QStringList{dir});
    // No cache file was made for a picture that could not be read.
    QCOMPARE(cache.entryList(QDir::Files), cachedBefore);
}

void TstCollectionFaults::picturesChangeDuringScan_data()
{
    QTest::addColumn<FileAction>("change");

    QTest::newRow("deleted") << FileAction([](const QString &path) { return QFile::remove(path); });
    QTest::newRow("replaced by a folder")
        << FileAction([](const QString &path) { return QFile::remove(path) && QDir().mkdir(path); });
    QTest::newRow("overwritten with garbage")
        << FileAction([](const QString &path) { return Store(path, RandomBytes(2000, 5)); });
    QTest::newRow("cut to zero bytes") << FileAction([](const QString &path) { return Store(path, QByteArray()); });
}

void TstCollectionFaults::picturesChangeDuringScan()
{
    QFETCH(FileAction, change);

    QTemporaryDir collection;
    QVERIFY(collection.isValid());
    const int total = 40, changed = 15;
    QCOMPARE(MakeGood(collection.path(), total), QString());
    QStringList victims;
    for (int i = total - changed; i < total; ++i)
        victims << QString("%1/good%2.jpg").arg(collection.path()).arg(i, 3, 10, QChar('0'));

    // The last pictures in scan order change as soon as the first one is
    // reported; whichever of them were examined before still count.
    ImageDB db;
    bool changedAll = true, done = false;
    QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyFast, 1, [&](int, const QString &) {
        if (done)
            return;
        done = true;
        for (const QString &path : victims)
            changedAll = change(path) && changedAll;
    }));
    QVERIFY(changedAll);

    // Every untouched picture is usable; a changed one is usable only if it
    // was read before the change. Nothing is counted twice or lost.
    const Counts counts = CountsOf(db);
    QCOMPARE(counts.usable + counts.unusable, total);
    QVERIFY(counts.usable >= total - changed);
    for (int i = 0; i < total - changed; ++i)
        QVERIFY(db.HasKeyImage(QString("%1/good%2.jpg").arg(collection.path()).arg(i, 3, 10, QChar('0'))));

    // The next scan of the same session settles the vanished ones; garbage
    // over an examined picture is only found when it is drawn, as the scan
    // does not decode examined pictures again.
    QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyFast, 2));
    QVERIFY(CountsOf(db).usable >= total - changed);
    for (const QString &path : victims) {
        if (!QFileInfo(path).isFile())
            QVERIFY2(db.images.value(path).skip, qPrintable(path));
    }

    // What is saved is read back whole, with every untouched picture in it.
    const QString saved = collection.path() + ".db";
    QVERIFY(db.Write(saved));
    ImageDB reread;
    QVERIFY(reread.Read(saved));
    QVERIFY(reread.GetNumImages() >= total - changed);
    for (int i = 0; i < total - changed; ++i)
        QVERIFY(reread.HasKeyImage(QString("%1/good%2.jpg").arg(collection.path()).arg(i, 3, 10, QChar('0'))));
    QFile::remove(saved);
}

void TstCollectionFaults::examinedPictureGoneBeforeNextScan_data()
{
    QTest::addColumn<FileAction>("change");
    QTest::addColumn<bool>("stillUsable");

    QTest::newRow("deleted") << FileAction([](const QString &path) { return QFile::remove(path); }) << false;
    QTest::newRow("replaced by a folder")
        << FileAction([](const QString &path) { return QFile::remove(path) && QDir().mkdir(path); }) << false;
    // Root reads anything, so the owner's read bit is what tells.
    QTest::newRow("mode 000") << FileAction([](const QString &path) {
        return chmod(QFile::encodeName(path).constData(), 0) == 0;
    }) << false;
    QTest::newRow("renamed away") << FileAction([](const QString &path) { return QFile::rename(path, path + ".bak"); })
                                  << false;
    QTest::newRow("touched but intact") << FileAction([](const QString &path) { return Store(path, Contents(path)); })
                                        << true;
}

void TstCollectionFaults::examinedPictureGoneBeforeNextScan()
{
    QFETCH(FileAction, change);
    QFETCH(bool, stillUsable);

    QTemporaryDir collection;
    QVERIFY(collection.isValid());
    QCOMPARE(MakeGood(collection.path(), 4), QString());
    const QString victim = collection.path() + "/good002.jpg";
    const QString saved = collection.path() + ".db";

    // The first run of the program catalogues four pictures and saves them.
    {
        ImageDB db;
        QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyFast, 1));
        QCOMPARE(CountsOf(db), (Counts{4, 0}));
        QVERIFY(db.Write(saved));
    }
    QVERIFY(change(victim));

    // The next run starts from the saved file and rescans.
    ImageDB db;
    QVERIFY(db.Read(saved));
    QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyFast, 1));
    QCOMPARE(CountsOf(db), stillUsable ? (Counts{4, 0}) : (Counts{3, 1}));
    QCOMPARE(!db.images.value(victim).skip, stillUsable);

    // The other three keep their key images and cached copies.
    for (const char *name : {"/good000.jpg", "/good001.jpg", "/good003.jpg"}) {
        const QString path = collection.path() + name;
        QVERIFY(db.HasKeyImage(path));
        std::unique_ptr<Image> copy(db.GetSourceImage(path, 100));
        QVERIFY(copy && copy->data);
    }
    QVERIFY(db.Write(saved));
    ImageDB reread;
    QVERIFY(reread.Read(saved));
    QCOMPARE(reread.GetNumImages(), stillUsable ? 4 : 3);
    QFile::remove(saved);
    chmod(QFile::encodeName(victim).constData(), 0644);
}

void TstCollectionFaults::symlinkLoopsEndAndCountEachPictureOnce()
{
    QTemporaryDir collection;
    QVERIFY(collection.isValid());
    const QString root = collection.path();
    QCOMPARE(MakeGood(root, 2, 0), QString());
    QCOMPARE(MakeGood(root + "/a/b", 2, 10), QString());
    QVERIFY(QFile::link(root, root + "/a/b/up-to-root"));   // a loop through two levels
    QVERIFY(QFile::link(root + "/a", root + "/a/self"));    // a folder that holds itself
    QVERIFY(QFile::link(root + "/missing", root + "/a/dangling"));

    ImageDB db;
    QVERIFY(RunUpdate(db, {root}, ImageDB::StrategyNone, 2));
    QCOMPARE(CountsOf(db), (Counts{4, 0}));
    for (const QString &key : db.images.keys())
        QVERIFY2(!key.contains("up-to-root") && !key.contains("self"), qPrintable(key));

    // Started inside the loop, the scan still ends and finds the same four.
    ImageDB inside;
    QVERIFY(RunUpdate(inside, {root + "/a/b/up-to-root"}, ImageDB::StrategyNone, 1));
    QCOMPARE(CountsOf(inside), (Counts{4, 0}));
}

void TstCollectionFaults::cacheFolderCannotBeMade()
{
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    const QString blocker = home.path() + "/Kestrelvanepatchery";
    QVERIFY(Store(blocker, "the user's own file\n"));

    QTemporaryDir collection;
    QVERIFY(collection.isValid());
    QCOMPARE(MakeGood(collection.path(), 5), QString());

    // Every picture is still usable, just without a cached copy; the file
    // that stands in the cache folder's place is left exactly as it was.
    ImageDB db;
    const bool completed = RunUpdate(db, {collection.path()}, ImageDB::StrategyFast, 2);
    qputenv("HOME", oldHome);
    QVERIFY(completed);
    QCOMPARE(CountsOf(db), (Counts{5, 0}));
    QCOMPARE(Contents(blocker), QByteArray("the user's own file\n"));
    for (const QString &name : db.images.keys()) {
        QVERIFY(db.images[name].cachedFilename.isEmpty());
        std::unique_ptr<Image> picture(db.GetSourceImage(name, 50));   // from the picture itself
        QVERIFY(picture && picture->data);
    }
}

void TstCollectionFaults::absurdThreadCount()
{
    // "-nt 99999999999" saturates to the largest int; the scan still runs,
    // with no more threads than pictures.
    QTemporaryDir collection;
    QVERIFY(collection.isValid());
    QCOMPARE(MakeGood(collection.path(), 25), QString());
    ImageDB db;
    QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyNone, std::numeric_limits<int>::max()));
    QCOMPARE(CountsOf(db), (Counts{25, 0}));
}

QTEST_GUILESS_MAIN(TstCollectionFaults)
#include "tst_collectionfaults.moc"
