#include "ImageDBTestSupport.h"

#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

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
    AddRecord(db, "/p/a.jpg", PatternImage(16, 16, 3), Portrait);
}

}   // namespace

class TstImageDBFile : public QObject {
    Q_OBJECT
private slots:
    void init();
    void layout();
    void exampleSizes_data();
    void exampleSizes();
    void roundTrip_data();
    void roundTrip();
    void truncatedAtEveryOffset_data();
    void truncatedAtEveryOffset();
    void damagedHeader_data();
    void damagedHeader();
    void laterRecordReplacesEarlier();
    void names_data();
    void names();
    void unusablePathsFail();
    void safeReplacement();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString Path(const QString &name) const { return dir->filePath(name); }
};

void TstImageDBFile::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TstImageDBFile::layout()
{
    CounterGuard guard;
    ImageDB::imageFilenameCounter = 0x01020304;
    const QByteArray magicAndVersion =
        QByteArray("Kestrelvanepatchery", 20) + QByteArray::fromHex("000000000200000001000000");
    ImageDB db;
    QVERIFY(db.Write(Path("empty")));
    QCOMPARE(Contents(Path("empty")),
             magicAndVersion + Int(ImageDB::StrategyFast) + Int(0x01020304) + QByteArray(12, '\0'));
    MakeExample(db, ImageDB::StrategyNone);
    QVERIFY(db.Write(Path("example")));
    QCOMPARE(Contents(Path("example")), magicAndVersion + Int(ImageDB::StrategyNone) + Int(0x01020304) + Int(1) + Int(0)
                                            + Int(1) + QByteArray("/p\0/p/a.jpg\0", 12)
                                            + Bytes(*db.GetKeyImage("/p/a.jpg")) + '\1');
}

void TstImageDBFile::exampleSizes_data()
{
    QTest::addColumn<int>("strategy");
    QTest::addColumn<int>("copyWidth");
    QTest::addColumn<int>("copyHeight");
    QTest::addColumn<QString>("cached");
    QTest::addColumn<int>("size");
    QTest::newRow("none") << int(ImageDB::StrategyNone) << 0 << 0 << QString() << 833;
    QTest::newRow("fastest 200x150") << int(ImageDB::StrategyFastest) << 200 << 150 << QString() << 90841;
    QTest::newRow("fastest without copy") << int(ImageDB::StrategyFastest) << 0 << 0 << QString() << 833 + 8;
    QTest::newRow("fast cached") << int(ImageDB::StrategyFast) << 0 << 0 << QString("/c/tile000000.jpg") << 833 + 18;
    QTest::newRow("fast not cached") << int(ImageDB::StrategyFast) << 0 << 0 << QString() << 834;
}

void TstImageDBFile::exampleSizes()
{
    QFETCH(int, strategy);
    QFETCH(int, copyWidth);
    QFETCH(int, copyHeight);
    QFETCH(QString, cached);
    QFETCH(int, size);
    ImageDB db;
    MakeExample(db, ImageDB::SourceImageStrategy(strategy));
    ImageDB::ImageInformation &record = db.images["/p/a.jpg"];
    if (copyWidth > 0)
        record.sourceImage = PatternImage(copyWidth, copyHeight, 9);
    record.cachedFilename = cached;
    QVERIFY(db.Write(Path("example")));
    const QByteArray bytes = Contents(Path("example"));
    QCOMPARE(bytes.size(), size);
    QByteArray tail;   // what follows the 833 bytes every strategy shares
    if (strategy == ImageDB::StrategyFastest)
        tail = Int(copyWidth) + Int(copyHeight) + (copyWidth ? Bytes(*record.sourceImage) : "");
    if (strategy == ImageDB::StrategyFast)
        tail = cached.toLatin1() + '\0';
    QCOMPARE(bytes.mid(833), tail);
}

void TstImageDBFile::roundTrip_data()
{
    QTest::addColumn<int>("strategy");
    QTest::newRow("none") << int(ImageDB::StrategyNone);
    QTest::newRow("fast") << int(ImageDB::StrategyFast);
    QTest::newRow("fastest") << int(ImageDB::StrategyFastest);
}

void TstImageDBFile::roundTrip()
{
    QFETCH(int, strategy);
    CounterGuard guard;
    const QString a = "/home/u/Pictures/a.jpg";
    ImageDB db;
    db.strategy = ImageDB::SourceImageStrategy(strategy);
    db.directories = QStringList{"/home/u/Pictures", "/media/photos"};
    db.excludedDirectories = QStringList{"/home/u/Pictures/private"};
    AddRecord(db, a, PatternImage(16, 16, 10), Landscape);
    AddRecord(db, "/home/u/Pictures/b.JPEG", PatternImage(16, 16, 20), Portrait);
    AddRecord(db, "/media/photos/c.jpg", PatternImage(16, 16, 30), Portrait);
    db.images[a].cachedFilename = "/home/u/Kestrelvanepatchery/tile000007.jpg";
    db.images[a].sourceImage = PatternImage(200, 66, 5);
    db.images["/home/u/Pictures/b.JPEG"].sourceImage = PatternImage(150, 200, 6);
    AddRecord(db, "/p/skipped.jpg", PatternImage(16, 16, 40), Landscape);
    db.SkipImage("/p/skipped.jpg");
    db.Add("/p/unexamined.jpg");   // unusable records are left out of the file
    ImageDB::imageFilenameCounter = 42;
    QVERIFY(db.Write(Path("db")));

    ImageDB::imageFilenameCounter = 0;
    ImageDB copy;
    QVERIFY(copy.Read(Path("db")));
    QCOMPARE(ImageDB::imageFilenameCounter.load(), 42);
    QCOMPARE(copy.images.keys(), (QStringList{a, "/home/u/Pictures/b.JPEG", "/media/photos/c.jpg"}));
    for (auto it = copy.images.cbegin(); it != copy.images.cend(); ++it) {
        QCOMPARE(it->orientation, db.images[it.key()].orientation);
        QCOMPARE(Bytes(*it->keyImage), Bytes(*db.GetKeyImage(it.key())));
    }
    const Image *copyOfA = copy.images[a].sourceImage;
    QCOMPARE(copyOfA != nullptr, strategy == ImageDB::StrategyFastest);
    if (copyOfA) {
        QCOMPARE(copyOfA->width, 200);
        QCOMPARE(Bytes(*copyOfA), Bytes(*db.images[a].sourceImage));
    }
    // Written again, what was read gives back every byte of the file.
    QVERIFY(copy.Write(Path("again")));
    QCOMPARE(Contents(Path("again")), Contents(Path("db")));
}

void TstImageDBFile::truncatedAtEveryOffset_data()
{
    roundTrip_data();
}

// A cut file is rejected whole and leaves the database as it was, whatever
// field the cut falls into.
void TstImageDBFile::truncatedAtEveryOffset()
{
    QFETCH(int, strategy);
    CounterGuard guard;
    ImageDB::imageFilenameCounter = 77;
    ImageDB original;
    original.strategy = ImageDB::SourceImageStrategy(strategy);
    original.directories = QStringList{"/p", "/q"};
    original.excludedDirectories = QStringList{"/p/x"};
    AddRecord(original, "/p/a.jpg", PatternImage(16, 16, 1), Landscape);
    AddRecord(original, "/q/b.jpg", PatternImage(16, 16, 2), Portrait);
    original.images["/p/a.jpg"].cachedFilename = "/c/tile000001.jpg";
    original.images["/p/a.jpg"].sourceImage = PatternImage(5, 3, 4);
    QVERIFY(original.Write(Path("full")));
    const QByteArray full = Contents(Path("full"));

    ImageDB::imageFilenameCounter = 5;
    ImageDB db;
    db.strategy = ImageDB::StrategyFastest;
    db.directories = QStringList{"/kept"};
    AddRecord(db, "/kept/k.jpg", PatternImage(16, 16, 8), Portrait);
    Image *key = db.GetKeyImage("/kept/k.jpg");
    for (int length = 0; length < full.size(); ++length) {
        // A new file each time: truncating one file over and over waits for the disk.
        const QString cut = Path(QString("cut%1").arg(length));
        QVERIFY(Store(cut, full.left(length)));
        if (db.Read(cut))
            QFAIL(qPrintable(QString("a file cut at %1 bytes was accepted").arg(length)));
        QCOMPARE(db.GetNumImages(), 1);
        QCOMPARE(db.directories, QStringList{"/kept"});
        QVERIFY(db.excludedDirectories.isEmpty());
        QCOMPARE(db.strategy, ImageDB::StrategyFastest);
        QCOMPARE(ImageDB::imageFilenameCounter.load(), 5);
    }
    QVERIFY(db.Read(Path("full")));
    QCOMPARE(db.GetNumImages(), 3);
    QCOMPARE(db.GetKeyImage("/kept/k.jpg"), key);   // records of the file are added
    QCOMPARE(ImageDB::imageFilenameCounter.load(), 77);
}

// Offsets in the Fastest example: strategy at 32, cache number at 36, D at 40,
// E at 44, N at 48, copy width at 833.
void TstImageDBFile::damagedHeader_data()
{
    const QByteArray huge = Int(0x7fffffff);
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("as written") << 0 << QByteArray() << true;
    QTest::newRow("20th magic byte not NUL") << 19 << QByteArray("X") << true;
    QTest::newRow("version 0,2,7") << 28 << Int(7) << true;
    QTest::newRow("version 0,3,0") << 24 << Int(3) << false;
    QTest::newRow("version 1,2,0") << 20 << Int(1) << false;
    QTest::newRow("magic differs") << 0 << QByteArray("k") << false;
    QTest::newRow("19th magic byte differs") << 18 << QByteArray("Y") << false;
    QTest::newRow("record count 2^31-1") << 48 << huge << false;
    QTest::newRow("record count negative") << 48 << Int(-1) << false;
    QTest::newRow("directory count 2^31-1") << 40 << huge << false;
    QTest::newRow("directory count negative") << 40 << Int(-5) << false;
    QTest::newRow("both string counts 2^31-1") << 40 << huge + huge << false;
    QTest::newRow("excluded count 2^31-1") << 44 << huge << false;
    QTest::newRow("strategy 7") << 32 << Int(7) << false;
    QTest::newRow("strategy negative") << 32 << Int(-1) << false;
    QTest::newRow("cache number negative") << 36 << Int(-3) << false;
    QTest::newRow("copy 2^31-1 wide") << 833 << huge << false;
    QTest::newRow("copy 100000 wide") << 833 << Int(100000) << false;
    QTest::newRow("copy width negative") << 833 << Int(-200) << false;
    QTest::newRow("copy height 2^31-1") << 837 << huge << false;
    QTest::newRow("copy height negative") << 837 << Int(-150) << false;
}

void TstImageDBFile::damagedHeader()
{
    QFETCH(int, offset);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    CounterGuard guard;
    ImageDB db;
    MakeExample(db, ImageDB::StrategyFastest);
    db.images["/p/a.jpg"].sourceImage = PatternImage(200, 150, 1);
    QVERIFY(db.Write(Path("db")));
    QVERIFY(Store(Path("db"), Contents(Path("db")).replace(offset, bytes.size(), bytes)));
    ImageDB read;
    QCOMPARE(read.Read(Path("db")), accepted);
    QCOMPARE(read.GetNumImages(), accepted ? 1 : 0);
    QCOMPARE(read.directories, accepted ? QStringList{"/p"} : QStringList());
    QCOMPARE(read.strategy, accepted ? ImageDB::StrategyFastest : ImageDB::StrategyFast);
}

void TstImageDBFile::laterRecordReplacesEarlier()
{
    ImageDB db;
    db.strategy = ImageDB::StrategyNone;
    AddRecord(db, "/p/a.jpg", PatternImage(16, 16, 1), Landscape);
    AddRecord(db, "/p/b.jpg", PatternImage(16, 16, 2), Portrait);
    QVERIFY(db.Write(Path("db")));
    QVERIFY(Store(Path("db"), Contents(Path("db")).replace(52 + 778, 8, "/p/a.jpg")));
    ImageDB read;
    QVERIFY(read.Read(Path("db")));
    QCOMPARE(read.GetNumImages(), 1);
    QCOMPARE(read.images["/p/a.jpg"].orientation, Portrait);
    QCOMPARE(Bytes(*read.GetKeyImage("/p/a.jpg")), Bytes(*db.GetKeyImage("/p/b.jpg")));
}

// Each name is written as the bytes given, and those bytes (as an older file
// holds them too) read back as the name.
void TstImageDBFile::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("ascii") << QString("/p/a.jpg") << QByteArray("/p/a.jpg");
    QTest::newRow("e acute") << QString::fromUtf8("/p/\u00e9t\u00e9.jpg") << QByteArray("/p/\xe9t\xe9.jpg");
    QTest::newRow("CJK") << QString::fromUtf8("/p/\u5199\u771f.jpg") << QByteArray("/p/\xe5\x86\x99\xe7\x9c\x9f.jpg");
    QTest::newRow("Latin-1 and CJK") << QString::fromUtf8("/\u00e9/\u5199.jpg")
                                     << QByteArray("/\xc3\xa9/\xe5\x86\x99.jpg");
    QTest::newRow("Latin-1 that is valid UTF-8 below U+0100")
        << QString::fromUtf8("/p/\u00c3\u00a9.jpg") << QByteArray("/p/\xc3\xa9.jpg");
    QTest::newRow("Latin-1 that is broken UTF-8") << QString::fromUtf8("/\u00e5\u0086") << QByteArray("/\xe5\x86");
}

void TstImageDBFile::names()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, stored);
    ImageDB db;
    db.strategy = ImageDB::StrategyFast;
    db.directories = QStringList{name};
    AddRecord(db, name, PatternImage(16, 16, 1), Landscape);
    db.images[name].cachedFilename = name;
    QVERIFY(db.Write(Path("db")));
    QCOMPARE(Contents(Path("db")).mid(52, 2 * stored.size() + 2), stored + '\0' + stored + '\0');
    ImageDB read;
    QVERIFY(read.Read(Path("db")));
    QCOMPARE(read.directories, QStringList{name});
    QCOMPARE(read.images.keys(), QStringList{name});
    QCOMPARE(read.images[name].cachedFilename, name);
}

void TstImageDBFile::unusablePathsFail()
{
    QVERIFY(Store(Path("plain"), "not a directory"));
    ImageDB db;
    MakeExample(db, ImageDB::StrategyNone);
    QVERIFY(!db.Write(Path("plain/imagedb")));
    QVERIFY(!db.Read(Path("plain/imagedb")));
    QVERIFY(!db.Read(Path("missing")));
    QVERIFY(!db.Read(dir->path()));
}

// The new file replaces the old one only when complete: the file size limit
// makes a write fail part way, as a full disk does. The replaced file keeps
// its mode and the link the user pointed at it.
void TstImageDBFile::safeReplacement()
{
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
    large.images["/p/a.jpg"].sourceImage = PatternImage(200, 200, 2);
    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const sighandler_t savedHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = large.Write(Path("link"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);
    QVERIFY(!written);
    QCOMPARE(Contents(Path("imagedb")), old);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::System), (QStringList{"imagedb", "link"}));
    QVERIFY(large.Write(Path("link")));
    QCOMPARE(Contents(Path("imagedb")).size(), 833 + 8 + 120000);
}

QTEST_GUILESS_MAIN(TstImageDBFile)
#include "tst_imagedbfile.moc"
