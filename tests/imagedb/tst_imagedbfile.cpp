#include "imagedb/ImageDB.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

Image *PatternImage(int width, int height, int seed)
{
    auto *image = new Image(width, height);
    for (size_t i = 0; i < image->ByteCount(); ++i)
        image->data[i] = static_cast<unsigned char>(seed + i * 7);
    return image;
}

void AddRecord(ImageDB &db, const QString &name, int seed, Orientation orientation)
{
    db.Add(name);
    db.SetKeyImage(name, PatternImage(16, 16, seed), orientation);
}

QByteArray Contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Store(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

qint32 IntAt(const QByteArray &bytes, int offset)
{
    return qFromLittleEndian<qint32>(bytes.constData() + offset);
}

void SetIntAt(QByteArray &bytes, int offset, qint32 value)
{
    qToLittleEndian(value, bytes.data() + offset);
}

// The one-record example: directory /p and the picture /p/a.jpg.
void MakeExample(ImageDB &db, ImageDB::SourceImageStrategy strategy)
{
    db.strategy = strategy;
    db.directories = QStringList{"/p"};
    AddRecord(db, "/p/a.jpg", 3, Portrait);
}

// Restores the class-wide counter, which every database shares.
struct CounterGuard {
    int saved = ImageDB::imageFilenameCounter.load();
    ~CounterGuard() { ImageDB::imageFilenameCounter.store(saved); }
};

} // namespace

class TstImageDBFile : public QObject {
    Q_OBJECT
private slots:
    void init();
    void emptyDatabaseIsHeaderOnly();
    void exampleSizes_data();
    void exampleSizes();
    void exampleLayout();
    void leavesOutUnusableRecords();
    void roundTrip_data();
    void roundTrip();
    void headerAcceptance_data();
    void headerAcceptance();
    void truncatedAtEveryOffset_data();
    void truncatedAtEveryOffset();
    void absurdFieldsAreRejected_data();
    void absurdFieldsAreRejected();
    void laterRecordReplacesEarlier();
    void names_data();
    void names();
    void oldLatin1BytesReadAsLatin1_data();
    void oldLatin1BytesReadAsLatin1();
    void unopenablePathFails();
    void failedWriteKeepsOldFile();
    void replacesOldFileAndKeepsItsMode();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString Path(const QString &name) const { return dir->filePath(name); }
};

void TstImageDBFile::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TstImageDBFile::emptyDatabaseIsHeaderOnly()
{
    CounterGuard guard;
    ImageDB::imageFilenameCounter = 0x01020304;
    ImageDB db;
    QVERIFY(db.Write(Path("empty")));
    const QByteArray bytes = Contents(Path("empty"));
    QCOMPARE(bytes.size(), 52);
    QCOMPARE(bytes.left(20), QByteArray("Kestrelvanepatchery", 20));
    QCOMPARE(bytes.mid(20, 12), QByteArray::fromHex("000000000200000000000000"));
    QCOMPARE(IntAt(bytes, 32), int(ImageDB::StrategyFast));
    QCOMPARE(bytes.mid(36, 4), QByteArray::fromHex("04030201"));
    QCOMPARE(bytes.mid(40, 12), QByteArray(12, '\0'));
}

void TstImageDBFile::exampleSizes_data()
{
    QTest::addColumn<int>("strategy");
    QTest::addColumn<int>("copyWidth");
    QTest::addColumn<int>("copyHeight");
    QTest::addColumn<QString>("cached");
    QTest::addColumn<int>("size");
    QTest::newRow("none") << int(ImageDB::StrategyNone) << 0 << 0 << QString() << 833;
    QTest::newRow("fastest 200x150") << int(ImageDB::StrategyFastest) << 200 << 150 << QString()
                                     << 90841;
    QTest::newRow("fastest without copy") << int(ImageDB::StrategyFastest) << 0 << 0 << QString()
                                          << 833 + 8;
    QTest::newRow("fast cached") << int(ImageDB::StrategyFast) << 0 << 0
                                 << QString("/c/tile000000.jpg") << 833 + 18;
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
    if (copyWidth > 0)
        db.images["/p/a.jpg"].sourceImage = PatternImage(copyWidth, copyHeight, 9);
    db.images["/p/a.jpg"].cachedFilename = cached;
    QVERIFY(db.Write(Path("example")));
    const QByteArray bytes = Contents(Path("example"));
    QCOMPARE(bytes.size(), size);
    if (strategy == ImageDB::StrategyFastest) {
        QCOMPARE(IntAt(bytes, 833), copyWidth);
        QCOMPARE(IntAt(bytes, 837), copyHeight);
        if (copyWidth > 0)
            QCOMPARE(bytes.mid(841, 90000),
                     QByteArray(reinterpret_cast<const char *>(
                                    db.images["/p/a.jpg"].sourceImage->data), 90000));
    }
    if (strategy == ImageDB::StrategyFast)
        QCOMPARE(bytes.mid(833), cached.toLatin1() + '\0');
}

void TstImageDBFile::exampleLayout()
{
    ImageDB db;
    MakeExample(db, ImageDB::StrategyNone);
    QVERIFY(db.Write(Path("example")));
    const QByteArray bytes = Contents(Path("example"));
    QCOMPARE(IntAt(bytes, 32), 0);
    QCOMPARE(IntAt(bytes, 40), 1);
    QCOMPARE(IntAt(bytes, 44), 0);
    QCOMPARE(IntAt(bytes, 48), 1);
    QCOMPARE(bytes.mid(52, 3), QByteArray("/p\0", 3));
    QCOMPARE(bytes.mid(55, 9), QByteArray("/p/a.jpg\0", 9));
    QCOMPARE(bytes.mid(64, 768),
             QByteArray(reinterpret_cast<const char *>(db.GetKeyImage("/p/a.jpg")->data), 768));
    QCOMPARE(bytes.at(832), '\1');
}

void TstImageDBFile::leavesOutUnusableRecords()
{
    ImageDB db;
    db.strategy = ImageDB::StrategyNone;
    AddRecord(db, "/p/b.jpg", 1, Landscape);
    AddRecord(db, "/p/skipped.jpg", 2, Landscape);
    db.SkipImage("/p/skipped.jpg");
    db.Add("/p/unexamined.jpg");
    AddRecord(db, "/p/a.jpg", 3, Landscape);
    QVERIFY(db.Write(Path("db")));
    const QByteArray bytes = Contents(Path("db"));
    QCOMPARE(IntAt(bytes, 48), 2);
    QCOMPARE(bytes.size(), 52 + 2 * (9 + 768 + 1));
    QCOMPARE(bytes.mid(52, 9), QByteArray("/p/a.jpg\0", 9));   // map order
    QCOMPARE(bytes.mid(52 + 778, 9), QByteArray("/p/b.jpg\0", 9));
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
    ImageDB db;
    db.strategy = ImageDB::SourceImageStrategy(strategy);
    db.directories = QStringList{"/home/u/Pictures", "/media/photos"};
    db.excludedDirectories = QStringList{"/home/u/Pictures/private"};
    AddRecord(db, "/home/u/Pictures/a.jpg", 10, Landscape);
    AddRecord(db, "/home/u/Pictures/b.JPEG", 20, Portrait);
    AddRecord(db, "/media/photos/c.jpg", 30, Portrait);
    db.images["/home/u/Pictures/a.jpg"].cachedFilename = "/home/u/Kestrelvanepatchery/tile000007.jpg";
    db.images["/home/u/Pictures/a.jpg"].sourceImage = PatternImage(200, 66, 5);
    db.images["/home/u/Pictures/b.JPEG"].sourceImage = PatternImage(150, 200, 6);
    ImageDB::imageFilenameCounter = 42;
    QVERIFY(db.Write(Path("db")));

    ImageDB::imageFilenameCounter = 0;
    ImageDB copy;
    QVERIFY(copy.Read(Path("db")));
    QCOMPARE(int(copy.strategy), strategy);
    QCOMPARE(ImageDB::imageFilenameCounter.load(), 42);
    QCOMPARE(copy.directories, db.directories);
    QCOMPARE(copy.excludedDirectories, db.excludedDirectories);
    QCOMPARE(copy.images.keys(), db.images.keys());
    for (auto it = db.images.cbegin(); it != db.images.cend(); ++it) {
        const ImageDB::ImageInformation &original = it.value();
        const ImageDB::ImageInformation &read = copy.images[it.key()];
        QCOMPARE(read.orientation, original.orientation);
        QVERIFY(!read.skip);
        QCOMPARE(read.useCount.load(), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(read.keyImage->data), 768),
                 QByteArray(reinterpret_cast<const char *>(original.keyImage->data), 768));
        QCOMPARE(read.cachedFilename,
                 strategy == ImageDB::StrategyFast ? original.cachedFilename : QString());
        if (strategy == ImageDB::StrategyFastest && original.sourceImage) {
            QVERIFY(read.sourceImage);
            QCOMPARE(read.sourceImage->width, original.sourceImage->width);
            QCOMPARE(read.sourceImage->height, original.sourceImage->height);
            QCOMPARE(memcmp(read.sourceImage->data, original.sourceImage->data,
                            original.sourceImage->ByteCount()), 0);
        } else {
            QVERIFY(!read.sourceImage);   // a 0 by 0 copy reads back as none
        }
    }
    QVERIFY(copy.Write(Path("again")));
    QCOMPARE(Contents(Path("again")), Contents(Path("db")));
}

void TstImageDBFile::headerAcceptance_data()
{
    QTest::addColumn<int>("offset");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("as written") << 0 << QByteArray() << true;
    QTest::newRow("20th magic byte not NUL") << 19 << QByteArray("X") << true;
    QTest::newRow("version 0,2,7") << 28 << QByteArray::fromHex("07000000") << true;
    QTest::newRow("version 0,3,0") << 24 << QByteArray::fromHex("03000000") << false;
    QTest::newRow("version 1,2,0") << 20 << QByteArray::fromHex("01000000") << false;
    QTest::newRow("magic differs") << 0 << QByteArray("k") << false;
    QTest::newRow("19th magic byte differs") << 18 << QByteArray("Y") << false;
}

void TstImageDBFile::headerAcceptance()
{
    QFETCH(int, offset);
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    CounterGuard guard;
    ImageDB db;
    MakeExample(db, ImageDB::StrategyNone);
    QVERIFY(db.Write(Path("db")));
    QByteArray file = Contents(Path("db"));
    file.replace(offset, bytes.size(), bytes);
    Store(Path("db"), file);
    ImageDB read;
    QCOMPARE(read.Read(Path("db")), accepted);
    QCOMPARE(read.GetNumImages(), accepted ? 1 : 0);
    QCOMPARE(int(read.strategy), int(accepted ? ImageDB::StrategyNone : ImageDB::StrategyFast));
}

void TstImageDBFile::truncatedAtEveryOffset_data()
{
    QTest::addColumn<int>("strategy");
    QTest::newRow("none") << int(ImageDB::StrategyNone);
    QTest::newRow("fast") << int(ImageDB::StrategyFast);
    QTest::newRow("fastest") << int(ImageDB::StrategyFastest);
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
    AddRecord(original, "/p/a.jpg", 1, Landscape);
    AddRecord(original, "/q/b.jpg", 2, Portrait);
    original.images["/p/a.jpg"].cachedFilename = "/c/tile000001.jpg";
    original.images["/p/a.jpg"].sourceImage = PatternImage(5, 3, 4);
    QVERIFY(original.Write(Path("full")));
    const QByteArray full = Contents(Path("full"));

    ImageDB::imageFilenameCounter = 5;
    ImageDB db;
    db.strategy = ImageDB::StrategyFastest;
    db.directories = QStringList{"/kept"};
    AddRecord(db, "/kept/k.jpg", 8, Portrait);
    Image *key = db.GetKeyImage("/kept/k.jpg");
    for (int length = 0; length < full.size(); ++length) {
        // A new file each time: truncating one file over and over waits for the disk.
        const QString cut = Path(QString("cut%1").arg(length));
        Store(cut, full.left(length));
        if (db.Read(cut))
            QFAIL(qPrintable(QString("a file cut at %1 bytes was accepted").arg(length)));
        QCOMPARE(db.GetNumImages(), 1);
        QCOMPARE(db.GetKeyImage("/kept/k.jpg"), key);
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

void TstImageDBFile::absurdFieldsAreRejected_data()
{
    // Offsets in the Fastest example: D at 40, E at 44, N at 48, copy width at 833.
    QTest::addColumn<QList<int>>("offsets");
    QTest::addColumn<qint32>("value");
    QTest::newRow("record count 2^31-1") << QList<int>{48} << qint32(0x7fffffff);
    QTest::newRow("record count negative") << QList<int>{48} << qint32(-1);
    QTest::newRow("directory count 2^31-1") << QList<int>{40} << qint32(0x7fffffff);
    QTest::newRow("directory count negative") << QList<int>{40} << qint32(-5);
    QTest::newRow("both string counts 2^31-1") << QList<int>{40, 44} << qint32(0x7fffffff);
    QTest::newRow("excluded count 2^31-1") << QList<int>{44} << qint32(0x7fffffff);
    QTest::newRow("strategy 7") << QList<int>{32} << qint32(7);
    QTest::newRow("strategy negative") << QList<int>{32} << qint32(-1);
    QTest::newRow("cache number negative") << QList<int>{36} << qint32(-3);
    QTest::newRow("copy 2^31-1 wide") << QList<int>{833} << qint32(0x7fffffff);
    QTest::newRow("copy 100000 wide") << QList<int>{833} << qint32(100000);
    QTest::newRow("copy width negative") << QList<int>{833} << qint32(-200);
    QTest::newRow("copy height 2^31-1") << QList<int>{837} << qint32(0x7fffffff);
    QTest::newRow("copy height negative") << QList<int>{837} << qint32(-150);
}

void TstImageDBFile::absurdFieldsAreRejected()
{
    QFETCH(QList<int>, offsets);
    QFETCH(qint32, value);
    CounterGuard guard;
    ImageDB db;
    MakeExample(db, ImageDB::StrategyFastest);
    db.images["/p/a.jpg"].sourceImage = PatternImage(200, 150, 1);
    QVERIFY(db.Write(Path("db")));
    QByteArray file = Contents(Path("db"));
    for (int offset : offsets)
        SetIntAt(file, offset, value);
    Store(Path("db"), file);
    ImageDB read;
    QVERIFY(!read.Read(Path("db")));
    QCOMPARE(read.GetNumImages(), 0);
    QVERIFY(read.directories.isEmpty());
}

void TstImageDBFile::laterRecordReplacesEarlier()
{
    ImageDB db;
    db.strategy = ImageDB::StrategyNone;
    AddRecord(db, "/p/a.jpg", 1, Landscape);
    AddRecord(db, "/p/b.jpg", 2, Portrait);
    QVERIFY(db.Write(Path("db")));
    QByteArray file = Contents(Path("db"));
    file.replace(52 + 778, 9, QByteArray("/p/a.jpg\0", 9));
    Store(Path("db"), file);
    ImageDB read;
    QVERIFY(read.Read(Path("db")));
    QCOMPARE(read.GetNumImages(), 1);
    QCOMPARE(read.images["/p/a.jpg"].orientation, Portrait);
    QCOMPARE(read.GetKeyImage("/p/a.jpg")->data[0], db.GetKeyImage("/p/b.jpg")->data[0]);
}

void TstImageDBFile::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("ascii") << QString("/p/a.jpg") << QByteArray("/p/a.jpg");
    QTest::newRow("e acute") << QString::fromUtf8("/p/\u00e9t\u00e9.jpg")
                             << QByteArray("/p/\xe9t\xe9.jpg");
    QTest::newRow("CJK") << QString::fromUtf8("/p/\u5199\u771f.jpg")
                         << QByteArray("/p/\xe5\x86\x99\xe7\x9c\x9f.jpg");
    QTest::newRow("Latin-1 and CJK") << QString::fromUtf8("/\u00e9/\u5199.jpg")
                                     << QByteArray("/\xc3\xa9/\xe5\x86\x99.jpg");
    QTest::newRow("Latin-1 that looks like UTF-8") << QString::fromUtf8("/p/\u00c3\u00a9.jpg")
                                                   << QByteArray("/p/\xc3\xa9.jpg");
}

void TstImageDBFile::names()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, stored);
    ImageDB db;
    db.strategy = ImageDB::StrategyFast;
    db.directories = QStringList{name};
    AddRecord(db, name, 1, Landscape);
    db.images[name].cachedFilename = name;
    QVERIFY(db.Write(Path("db")));
    const QByteArray file = Contents(Path("db"));
    QCOMPARE(file.mid(52, stored.size() + 1), stored + '\0');
    QCOMPARE(file.mid(52 + stored.size() + 1, stored.size() + 1), stored + '\0');
    ImageDB read;
    QVERIFY(read.Read(Path("db")));
    QCOMPARE(read.directories, QStringList{name});
    QCOMPARE(read.images.keys(), QStringList{name});
    QCOMPARE(read.images[name].cachedFilename, name);
}

void TstImageDBFile::oldLatin1BytesReadAsLatin1_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<QString>("name");
    QTest::newRow("e acute") << QByteArray("/p/\xe9t\xe9") << QString::fromUtf8("/p/\u00e9t\u00e9");
    QTest::newRow("valid UTF-8 below U+0100")
        << QByteArray("/p/\xc3\xa9") << QString::fromUtf8("/p/\u00c3\u00a9");
    QTest::newRow("invalid UTF-8") << QByteArray("/\xe5\x86") << QString::fromUtf8("/\u00e5\u0086");
    QTest::newRow("UTF-8 above U+00FF") << QByteArray("/\xe5\x86\x99") << QString::fromUtf8("/\u5199");
}

void TstImageDBFile::oldLatin1BytesReadAsLatin1()
{
    QFETCH(QByteArray, stored);
    QFETCH(QString, name);
    ImageDB db;
    db.strategy = ImageDB::StrategyNone;
    db.directories = QStringList{"/d"};
    QVERIFY(db.Write(Path("db")));
    QByteArray file = Contents(Path("db"));
    file.replace(52, 2, stored);
    Store(Path("db"), file);
    ImageDB read;
    QVERIFY(read.Read(Path("db")));
    QCOMPARE(read.directories, QStringList{name});
}

void TstImageDBFile::unopenablePathFails()
{
    Store(Path("plain"), "not a directory");
    ImageDB db;
    MakeExample(db, ImageDB::StrategyNone);
    QVERIFY(!db.Write(Path("plain/imagedb")));
    QVERIFY(!db.Read(Path("plain/imagedb")));
    QVERIFY(!db.Read(Path("missing")));
    QVERIFY(!db.Read(dir->path()));   // a directory, not a file
}

// The file size limit makes a write fail part way, as a full disk does; the
// old database must survive and no partial file may be left behind.
void TstImageDBFile::failedWriteKeepsOldFile()
{
    ImageDB small;
    MakeExample(small, ImageDB::StrategyNone);
    QVERIFY(small.Write(Path("imagedb")));
    const QByteArray old = Contents(Path("imagedb"));

    ImageDB large;
    MakeExample(large, ImageDB::StrategyFastest);
    large.images["/p/a.jpg"].sourceImage = PatternImage(200, 200, 2);

    struct rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const sighandler_t savedHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool written = large.Write(Path("imagedb"));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, savedHandler);

    QVERIFY(!written);
    QCOMPARE(Contents(Path("imagedb")), old);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList{"imagedb"});
    QVERIFY(large.Write(Path("imagedb")));
    QCOMPARE(Contents(Path("imagedb")).size(), 833 + 8 + 120000);
}

void TstImageDBFile::replacesOldFileAndKeepsItsMode()
{
    Store(Path("imagedb"), QByteArray(5000, 'x'));
    QVERIFY(QFile::setPermissions(Path("imagedb"), QFile::ReadOwner | QFile::WriteOwner));
    QVERIFY(QFile::link(Path("imagedb"), Path("link")));
    ImageDB db;
    QVERIFY(db.Write(Path("link")));
    QCOMPARE(Contents(Path("imagedb")).size(), 52);
    QVERIFY(QFileInfo(Path("link")).isSymLink());
    QCOMPARE(QFile::permissions(Path("imagedb")),
             QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files | QDir::System).size(), 2);
}

QTEST_GUILESS_MAIN(TstImageDBFile)
#include "tst_imagedbfile.moc"
