#include "TestKit.h"
#include "imagedb/ImageDB.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <climits>
#include <sys/stat.h>

namespace {

bool Touch(const QString &path)
{
    return Store(path, "not a picture");
}

// A valid picture whose frame header claims another size.
QByteArray PictureClaiming(int width, int height)
{
    QTemporaryDir dir;
    QByteArray bytes;
    if (!WriteJPEG(dir.filePath("p.jpg"), Gradient(32, 24), 90) || (bytes = Contents(dir.filePath("p.jpg"))).isEmpty())
        return {};
    const qsizetype sof = bytes.indexOf(QByteArray::fromHex("ffc0"));
    const char size[4] = {char(height >> 8), char(height & 0xff), char(width >> 8), char(width & 0xff)};
    return sof < 0 ? QByteArray() : bytes.replace(sof + 5, 4, size, 4);
}

}   // namespace

class TstImageDBUpdate : public QObject {
    Q_OBJECT
private slots:
    void init();
    void emptyWorkListCompletesAtOnce();
    void scan_data();
    void scan();
    void purgeByPlainPrefix();
    void progress_data();
    void progress();
    void threadCount_data();
    void threadCount();
    void examinesAndSkips_data();
    void examinesAndSkips();
    void picturesChangeDuringScan_data();
    void picturesChangeDuringScan();
    void secondUpdateWaitsForFirst();
    void destroyedWhileUpdating();

private:
    std::unique_ptr<QTemporaryDir> dir;
    QString Path(const QString &name) const { return dir->filePath(name); }
};

void TstImageDBUpdate::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void TstImageDBUpdate::emptyWorkListCompletesAtOnce()
{
    QVERIFY(QDir().mkpath(Path("empty/sub")));
    QVERIFY(Touch(Path("empty/notes.txt")));
    ImageDB db;
    QSignalSpy progress(&db, &ImageDB::progress);
    QSignalSpy complete(&db, &ImageDB::complete);
    db.Update({Path("empty")}, {}, ImageDB::StrategyNone, 4);
    QCOMPARE(progress.size(), 1);
    QCOMPARE(progress.at(0).at(0).toInt(), 100);
    QVERIFY(progress.at(0).at(1).toString().isNull());
    QCOMPARE(complete.size(), 1);
    QVERIFY(!db.IsUpdating());
    QCOMPARE(db.runningThreads, 0);
    QCOMPARE(db.directories, QStringList{Path("empty")});
}

// Files and links are made below the temporary folder; links are written
// "link>target". The expected names are relative to the folder scanned.
void TstImageDBUpdate::scan_data()
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
    QTest::newRow("excluded by exact path")
        << QStringList{"p/a.jpg", "p/x/in-x.jpg", "p/xy/in-xy.jpg", "p/x/deep/d.jpg"} << QStringList() << "p"
        << QStringList{"p/x"} << QStringList{"a.jpg", "xy/in-xy.jpg"};
    QTest::newRow("the folder scanned is never excluded")
        << QStringList{"p/x/in-x.jpg", "p/x/deep/d.jpg"} << QStringList() << "p/x" << QStringList{"p/x"}
        << QStringList{"deep/d.jpg", "in-x.jpg"};
    QTest::newRow("symbolic link loops") << QStringList{"root/a.jpg", "root/sub/b.jpg", "other/c.jpg"}
                                         << QStringList{"root/sub/up>root", "root/self>root", "root/sub/out>other",
                                                        "other/back>root/sub"}
                                         << "root" << QStringList()
                                         << QStringList{"a.jpg", "sub/b.jpg", "sub/out/c.jpg"};
}

void TstImageDBUpdate::scan()
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

void TstImageDBUpdate::purgeByPlainPrefix()
{
    ImageDB db;
    for (const char *name : {"/p/a.jpg", "/p/x/a.jpg", "/p/xy/a.jpg", "/q/p/x.jpg"})
        AddRecord(db, name, new Image(16, 16), Landscape);
    db.PurgeFiles({"/p/x", "/r"});
    QCOMPARE(db.images.keys(), (QStringList{"/p/a.jpg", "/q/p/x.jpg"}));
    db.PurgeFiles({"/P"});
    QCOMPARE(db.GetNumImages(), 2);
}

void TstImageDBUpdate::progress_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("threads");
    QTest::addColumn<QStringList>("percents");
    QTest::newRow("3 files") << 3 << 4 << QStringList{"33", "66", "100"};
    // The single-precision quotient, widened and then scaled: 7/20 is
    // 0.349999994f, which reports 34, not 35.
    QTest::newRow("20 files") << 20 << 3 << QStringList{"5",  "10", "15", "20", "25", "30", "34", "40", "44", "50",
                                                        "55", "60", "64", "69", "75", "80", "85", "89", "94", "100"};
}

void TstImageDBUpdate::progress()
{
    QFETCH(int, files);
    QFETCH(int, threads);
    QFETCH(QStringList, percents);
    QStringList names;
    for (int i = 0; i < files; ++i) {
        names.append(QDir(Path(QString("n/%1.jpg").arg(i, 2, 10, QChar('0')))).absolutePath());
        QVERIFY(Touch(names.last()));
    }
    ImageDB db;
    QSignalSpy progress(&db, &ImageDB::progress);
    // The counts are read while the threads run, as the progress page does.
    QList<int> usable;
    connect(&db, &ImageDB::progress, this, [&db, &usable] { usable.append(db.GetNumUsableImages()); });
    QVERIFY(RunUpdate(db, {Path("n")}, ImageDB::StrategyNone, threads));
    QStringList shown, reported;
    for (const QList<QVariant> &arguments : progress) {
        shown.append(arguments.at(0).toString());
        reported.append(arguments.at(1).toString());
    }
    QCOMPARE(shown, percents);
    reported.sort();
    QCOMPARE(reported, names);
    QVERIFY(std::is_sorted(usable.rbegin(), usable.rend()));
    QCOMPARE(usable.size(), files);
    QCOMPARE(db.GetNumUsableImages(), 0);   // none of them is a JPEG file
}

void TstImageDBUpdate::threadCount_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("started");
    QTest::newRow("19 files") << 19 << 4 << 1;
    QTest::newRow("20 files") << 20 << 4 << 4;
    QTest::newRow("2 files, ideal") << 2 << -1 << 1;
    QTest::newRow("absurd count: a thread per file") << 21 << INT_MAX << 21;
}

void TstImageDBUpdate::threadCount()
{
    QFETCH(int, files);
    QFETCH(int, requested);
    QFETCH(int, started);
    for (int i = 0; i < files; ++i)
        QVERIFY(StorePicture(Path(QString("n/%1.jpg").arg(i, 2, 10, QChar('0'))), Gradient(4, 4, i)));
    ImageDB db;
    QSignalSpy complete(&db, &ImageDB::complete);
    db.Update({Path("n")}, {}, ImageDB::StrategyNone, requested);
    QCOMPARE(db.runningThreads, started);
    QVERIFY(db.IsUpdating());
    QVERIFY(complete.wait(60000));
    QCOMPARE(db.GetNumUsableImages(), files);
    for (const QString &name : db.images.keys())
        QVERIFY(db.HasKeyImage(name));
}

void TstImageDBUpdate::examinesAndSkips_data()
{
    QTest::addColumn<int>("strategy");
    QTest::newRow("none") << int(ImageDB::StrategyNone);
    QTest::newRow("fast") << int(ImageDB::StrategyFast);
    QTest::newRow("fastest") << int(ImageDB::StrategyFastest);
}

// Pictures beside every kind of bad file, which is counted unusable and gets
// no key; between scans pictures vanish or become unreadable.
void TstImageDBUpdate::examinesAndSkips()
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
    QVERIFY(Store(e + "/huge.jpg", PictureClaiming(65500, 65500)) && Store(e + "/long.jpg", PictureClaiming(65500, 1)));
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

void TstImageDBUpdate::picturesChangeDuringScan_data()
{
    QTest::addColumn<int>("change");
    QTest::newRow("deleted") << 0;
    QTest::newRow("replaced by a folder") << 1;
    QTest::newRow("overwritten with garbage") << 2;
    QTest::newRow("cut to zero bytes") << 3;
}

// The last pictures in scan order change as soon as the first is reported:
// nothing is counted twice or lost, a changed one is usable only if it was
// read before, and the next scan settles the vanished ones.
void TstImageDBUpdate::picturesChangeDuringScan()
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
            QVERIFY(change != 3 || Store(path, {}));
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
// complete(), after the second.
void TstImageDBUpdate::secondUpdateWaitsForFirst()
{
    for (int i = 0; i < 24; ++i)
        QVERIFY(StorePicture(Path(QString("s/%1.jpg").arg(i, 2, 10, QChar('0'))), Gradient(64, 48, i)));
    QVERIFY(StorePicture(Path("s/x/in-x.jpg"), Gradient(8, 8)));
    const QString s = QDir(Path("s")).absolutePath();
    ImageDB db;
    QSignalSpy progress(&db, &ImageDB::progress);
    QSignalSpy complete(&db, &ImageDB::complete);
    db.Update({s}, {}, ImageDB::StrategyFast, 4);
    QVERIFY(db.IsUpdating());
    const QStringList firstList = db.workList;
    QCOMPARE(firstList.size(), 25);

    db.Update({s}, {s + "/x"}, ImageDB::StrategyFastest, 2);
    QVERIFY(!db.Write(Path("imagedb")));   // the file is refused while threads run
    QVERIFY(!db.Read(Path("imagedb")));
    QCOMPARE(db.strategy, ImageDB::StrategyFast);   // nothing changed yet
    QCOMPARE(db.GetNumImages(), 25);
    QCOMPARE(db.workList, firstList);
    QCOMPARE(db.excludedDirectories, QStringList());

    QVERIFY(complete.wait(60000));
    QCOMPARE(complete.size(), 1);
    QVERIFY(!db.IsUpdating());
    QCOMPARE(progress.size(), 25 + 24);
    QCOMPARE(db.strategy, ImageDB::StrategyFastest);
    QCOMPARE(db.excludedDirectories, QStringList{s + "/x"});
    QCOMPARE(db.GetNumImages(), 24);
    for (const ImageDB::ImageInformation &record : db.images) {
        QVERIFY(record.keyImage);
        QVERIFY(record.sourceImage);   // decoded again for the new strategy
        QCOMPARE(record.sourceImage->width, 200);
        QCOMPARE(record.sourceImage->height, 150);
    }
    QCoreApplication::processEvents();
    QCOMPARE(complete.size(), 1);
    QVERIFY(db.Write(Path("imagedb")));
    QVERIFY(db.Read(Path("imagedb")));
}

// The database waits for its threads before it frees the records they use.
void TstImageDBUpdate::destroyedWhileUpdating()
{
    for (int i = 0; i < 20; ++i)
        QVERIFY(StorePicture(Path(QString("d/%1.jpg").arg(i, 2, 10, QChar('0'))), Gradient(256, 256, i)));
    auto db = std::make_unique<ImageDB>();
    db->Update({Path("d")}, {}, ImageDB::StrategyFastest, 4);
    QVERIFY(db->IsUpdating());
    db.reset();
    QCoreApplication::processEvents();
}

QTEST_GUILESS_MAIN(TstImageDBUpdate)
#include "tst_imagedbupdate.moc"
