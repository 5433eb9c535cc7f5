#include "imagedb/ImageDB.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>
#include <memory>

namespace {

bool WritePicture(const QString &path, int width, int height, unsigned char shade)
{
    Image picture(width, height);
    memset(picture.data, shade, picture.ByteCount());
    return QDir().mkpath(QFileInfo(path).absolutePath()) && WriteJPEG(path, picture, 90);
}

bool Touch(const QString &path)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
        && file.write("not a picture") > 0;
}

QStringList Percents(const QSignalSpy &spy)
{
    QStringList percents;
    for (const QList<QVariant> &arguments : spy)
        percents.append(arguments.at(0).toString());
    return percents;
}

// Counts the agent's finished() under the group's lock. QThread::wait orders
// the thread's end inside Qt, where the thread sanitizer does not look; the
// lock taken as the thread ends makes that order visible to it too.
void CountEndUnderLock(ImageDBAgent *agent, QMutex *mutex, int *ended)
{
    QObject::connect(agent, &QThread::finished, agent, [mutex, ended] {
        QMutexLocker lock(mutex);
        ++*ended;
    }, Qt::DirectConnection);
}

} // namespace

class TstImageDBUpdate : public QObject {
    Q_OBJECT
private slots:
    void init();
    void emptyWorkListCompletesAtOnce();
    void scanFilter();
    void excludedDirectories();
    void purgeByPlainPrefix();
    void symbolicLinkLoops();
    void threeFilesReportThirds();
    void threadCount_data();
    void threadCount();
    void progressIsSinglePrecision();
    void agentInterleaving_data();
    void agentInterleaving();
    void stoppedAgentTakesNothing();
    void examinesAndSkips();
    void vanishedPictureIsSkipped();
    void secondUpdateWaitsForFirst();
    void fileAccessRefusedWhileUpdating();
    void destroyedWhileUpdating();

private:
    // Waits for complete() and checks that the database is idle again.
    bool RunUpdate(ImageDB &db, const QStringList &dirs, const QStringList &excluded,
                   ImageDB::SourceImageStrategy strategy, int threads);
    std::unique_ptr<QTemporaryDir> dir;
    QString Path(const QString &name) const { return dir->filePath(name); }
};

void TstImageDBUpdate::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

bool TstImageDBUpdate::RunUpdate(ImageDB &db, const QStringList &dirs,
                                 const QStringList &excluded,
                                 ImageDB::SourceImageStrategy strategy, int threads)
{
    QSignalSpy complete(&db, &ImageDB::complete);
    db.Update(dirs, excluded, strategy, threads);
    if (complete.isEmpty() && !complete.wait(60000))
        return false;
    return complete.size() == 1 && !db.IsUpdating() && db.workList.isEmpty();
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

void TstImageDBUpdate::scanFilter()
{
    const QStringList added{"b/deeper.jpg", "photo.JPG", "photo.Jpeg", "photo.jpg", "z.jpeg"};
    const QStringList ignored{"photo.jpe", "photo.png", ".photo.jpg", ".hidden/a.jpg",
                              "photo.jpg.txt"};
    for (const QString &name : added + ignored)
        QVERIFY(Touch(Path("c/" + name)));
    ImageDB db;
    db.AddFiles(QDir(Path("c")), {});
    QStringList expected;
    for (const QString &name : added)
        expected.append(QDir(Path("c/" + name)).absolutePath());
    expected.sort();
    QCOMPARE(db.images.keys(), expected);
}

void TstImageDBUpdate::excludedDirectories()
{
    for (const char *name : {"p/a.jpg", "p/x/in-x.jpg", "p/xy/in-xy.jpg", "p/x/deep/d.jpg"})
        QVERIFY(Touch(Path(name)));
    const QString p = QDir(Path("p")).absolutePath();
    ImageDB db;
    db.AddFiles(QDir(p), {p + "/x"});
    QCOMPARE(db.images.keys(), (QStringList{p + "/a.jpg", p + "/xy/in-xy.jpg"}));

    ImageDB own;   // the directory given is scanned even when it is excluded itself
    own.AddFiles(QDir(p + "/x"), {p + "/x"});
    QCOMPARE(own.images.keys(), (QStringList{p + "/x/deep/d.jpg", p + "/x/in-x.jpg"}));
}

void TstImageDBUpdate::purgeByPlainPrefix()
{
    ImageDB db;
    for (const char *name : {"/p/a.jpg", "/p/x/a.jpg", "/p/xy/a.jpg", "/q/p/x.jpg"}) {
        db.Add(name);
        db.SetKeyImage(name, new Image(16, 16), Landscape);
    }
    db.PurgeFiles({"/p/x", "/r"});
    QCOMPARE(db.images.keys(), (QStringList{"/p/a.jpg", "/q/p/x.jpg"}));
    db.PurgeFiles({"/P"});
    QCOMPARE(db.GetNumImages(), 2);
}

void TstImageDBUpdate::symbolicLinkLoops()
{
    QVERIFY(Touch(Path("root/a.jpg")));
    QVERIFY(Touch(Path("root/sub/b.jpg")));
    QVERIFY(Touch(Path("other/c.jpg")));
    QVERIFY(QFile::link(Path("root"), Path("root/sub/up")));          // back to an ancestor
    QVERIFY(QFile::link(Path("root"), Path("root/self")));
    QVERIFY(QFile::link(Path("other"), Path("root/sub/out")));        // no loop: followed
    QVERIFY(QFile::link(Path("root/sub"), Path("other/back")));       // loop through two links
    const QString r = QDir(Path("root")).absolutePath();
    ImageDB db;
    db.AddFiles(QDir(r), {});
    QCOMPARE(db.images.keys(), (QStringList{r + "/a.jpg", r + "/sub/b.jpg",
                                            r + "/sub/out/c.jpg"}));
}

void TstImageDBUpdate::threeFilesReportThirds()
{
    for (int i = 0; i < 3; ++i)
        QVERIFY(WritePicture(Path(QString("three/%1.jpg").arg(i)), 8, 8, 50 * i));
    ImageDB db;
    QSignalSpy progress(&db, &ImageDB::progress);
    QVERIFY(RunUpdate(db, {Path("three")}, {}, ImageDB::StrategyNone, 4));
    QCOMPARE(Percents(progress), (QStringList{"33", "66", "100"}));
    QCOMPARE(progress.at(0).at(1).toString(), QDir(Path("three/0.jpg")).absolutePath());
    QCOMPARE(progress.at(2).at(1).toString(), QDir(Path("three/2.jpg")).absolutePath());
}

void TstImageDBUpdate::threadCount_data()
{
    QTest::addColumn<int>("files");
    QTest::addColumn<int>("requested");
    QTest::addColumn<int>("started");
    QTest::newRow("19 files") << 19 << 4 << 1;
    QTest::newRow("20 files") << 20 << 4 << 4;
    QTest::newRow("20 files, ideal") << 20 << -1 << qMax(QThread::idealThreadCount(), 1);
    QTest::newRow("2 files, ideal") << 2 << -1 << 1;
}

void TstImageDBUpdate::threadCount()
{
    QFETCH(int, files);
    QFETCH(int, requested);
    QFETCH(int, started);
    for (int i = 0; i < files; ++i)
        QVERIFY(WritePicture(Path(QString("n/%1.jpg").arg(i, 2, 10, QChar('0'))), 4, 4, i));
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

// The percent is the single-precision quotient, widened and then scaled:
// 7/20 is 0.349999994f, which reports 34, not 35.
void TstImageDBUpdate::progressIsSinglePrecision()
{
    for (int i = 0; i < 20; ++i)
        QVERIFY(Touch(Path(QString("twenty/%1.jpg").arg(i, 2, 10, QChar('0')))));
    ImageDB db;
    QSignalSpy progress(&db, &ImageDB::progress);
    // The counts are read while the threads run, as the progress page does.
    QList<int> usable;
    connect(&db, &ImageDB::progress, this, [&db, &usable] {
        usable.append(db.GetNumUsableImages());
    });
    QVERIFY(RunUpdate(db, {Path("twenty")}, {}, ImageDB::StrategyNone, 3));
    QCOMPARE(usable.size(), 20);
    QVERIFY(std::is_sorted(usable.rbegin(), usable.rend()));
    QVERIFY(usable.first() <= 19);
    const QStringList expected{"5",  "10", "15", "20", "25", "30", "34", "40", "44", "50",
                               "55", "60", "64", "69", "75", "80", "85", "89", "94", "100"};
    QCOMPARE(Percents(progress), expected);
    QCOMPARE(db.GetNumUsableImages(), 0);   // none of them is a JPEG file
    QCOMPARE(db.GetNumImages(), 20);
}

void TstImageDBUpdate::agentInterleaving_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("agents");
    QTest::newRow("20 over 4") << 20 << 4;
    QTest::newRow("one agent") << 5 << 1;
    QTest::newRow("more agents than items") << 2 << 4;
}

void TstImageDBUpdate::agentInterleaving()
{
    QFETCH(int, items);
    QFETCH(int, agents);
    ImageDB db;
    QStringList list;
    for (int i = 0; i < items; ++i) {
        list.append(QString("/nowhere/%1.jpg").arg(i, 2, 10, QChar('0')));
        db.Add(list.last());
    }
    QMutex mutex;
    int counter = 0;
    int ended = 0;
    QList<QStringList> handled(agents);
    QList<QList<int>> percents(agents);
    std::vector<std::unique_ptr<ImageDBAgent>> group;
    for (int k = 0; k < agents; ++k) {
        group.push_back(std::make_unique<ImageDBAgent>(&db, &list, &mutex, &counter, k, agents));
        connect(group.back().get(), &ImageDBAgent::progress, group.back().get(),
                [&handled, &percents, k](int percent, const QString &name) {
                    handled[k].append(name);
                    percents[k].append(percent);
                }, Qt::DirectConnection);
        CountEndUnderLock(group.back().get(), &mutex, &ended);
    }
    for (auto &agent : group)
        agent->start();
    for (auto &agent : group)
        QVERIFY(agent->wait(60000));
    QMutexLocker lock(&mutex);
    QCOMPARE(ended, agents);
    QCOMPARE(counter, items);
    QList<int> all;
    for (int k = 0; k < agents; ++k) {
        QStringList expected;
        for (int i = k; i < items; i += agents)
            expected.append(list.at(i));
        QCOMPARE(handled[k], expected);
        all += percents[k];
    }
    std::sort(all.begin(), all.end());
    QCOMPARE(all.size(), items);
    QCOMPARE(all.last(), 100);
    QCOMPARE(std::adjacent_find(all.begin(), all.end()), all.end());   // one percent per item
    QCOMPARE(db.GetNumUsableImages(), 0);
}

void TstImageDBUpdate::stoppedAgentTakesNothing()
{
    ImageDB db;
    const QStringList list{"/nowhere/a.jpg"};
    db.Add(list.first());
    QMutex mutex;
    int counter = 0;
    int ended = 0;
    ImageDBAgent agent(&db, &list, &mutex, &counter, 0, 1);
    CountEndUnderLock(&agent, &mutex, &ended);
    agent.stopRunning();
    agent.start();
    QVERIFY(agent.wait(60000));
    QMutexLocker lock(&mutex);
    QCOMPARE(ended, 1);
    QCOMPARE(counter, 0);
    QCOMPARE(db.GetNumUsableImages(), 1);
    agent.stopRunning();   // after the end: no effect
}

void TstImageDBUpdate::examinesAndSkips()
{
    QVERIFY(WritePicture(Path("e/wide.jpg"), 40, 20, 200));
    QVERIFY(WritePicture(Path("e/tall.jpg"), 20, 40, 100));
    QVERIFY(WritePicture(Path("e/square.jpg"), 30, 30, 10));
    QVERIFY(Touch(Path("e/fake.jpg")));
    const QString e = QDir(Path("e")).absolutePath();
    ImageDB db;
    QVERIFY(RunUpdate(db, {e}, {}, ImageDB::StrategyNone, 2));
    QCOMPARE(db.GetNumImages(), 4);
    QCOMPARE(db.GetNumUsableImages(), 3);
    QVERIFY(db.images[e + "/fake.jpg"].skip);
    QCOMPARE(db.images[e + "/wide.jpg"].orientation, Landscape);
    QCOMPARE(db.images[e + "/tall.jpg"].orientation, Portrait);
    QCOMPARE(db.images[e + "/square.jpg"].orientation, Portrait);
    const Image *key = db.GetKeyImage(e + "/wide.jpg");
    QCOMPARE(key->width, 16);
    QCOMPARE(key->height, 16);
    QVERIFY(qAbs(key->data[0] - 200) <= 3);

    // An unchanged collection: every record is only checked, nothing decoded.
    QVERIFY(RunUpdate(db, {e}, {}, ImageDB::StrategyNone, 2));
    QCOMPARE(db.GetKeyImage(e + "/wide.jpg"), key);
    QCOMPARE(db.GetNumUsableImages(), 3);
}

void TstImageDBUpdate::vanishedPictureIsSkipped()
{
    QVERIFY(WritePicture(Path("v/a.jpg"), 8, 8, 1));
    QVERIFY(WritePicture(Path("v/b.jpg"), 8, 8, 2));
    const QString v = QDir(Path("v")).absolutePath();
    ImageDB db;
    QVERIFY(RunUpdate(db, {v}, {}, ImageDB::StrategyNone, 1));
    QVERIFY(QFile::remove(v + "/b.jpg"));
    QVERIFY(RunUpdate(db, {v}, {}, ImageDB::StrategyNone, 1));
    QVERIFY(db.images[v + "/b.jpg"].skip);
    QCOMPARE(db.GetNumUsableImages(), 1);
    QVERIFY(db.Write(Path("imagedb")));
    ImageDB read;
    QVERIFY(read.Read(Path("imagedb")));
    QCOMPARE(read.images.keys(), QStringList{v + "/a.jpg"});
}

// A second Update while the first one's threads run must not touch the
// records under them; it runs once they have ended, and the caller sees one
// complete(), after the second.
void TstImageDBUpdate::secondUpdateWaitsForFirst()
{
    for (int i = 0; i < 24; ++i)
        QVERIFY(WritePicture(Path(QString("s/%1.jpg").arg(i, 2, 10, QChar('0'))), 64, 48, i));
    QVERIFY(WritePicture(Path("s/x/in-x.jpg"), 8, 8, 3));
    const QString s = QDir(Path("s")).absolutePath();
    ImageDB db;
    QSignalSpy progress(&db, &ImageDB::progress);
    QSignalSpy complete(&db, &ImageDB::complete);
    db.Update({s}, {}, ImageDB::StrategyFast, 4);
    QVERIFY(db.IsUpdating());
    const QStringList firstList = db.workList;
    QCOMPARE(firstList.size(), 25);

    db.Update({s}, {s + "/x"}, ImageDB::StrategyFastest, 2);
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
}

void TstImageDBUpdate::fileAccessRefusedWhileUpdating()
{
    for (int i = 0; i < 20; ++i)
        QVERIFY(WritePicture(Path(QString("w/%1.jpg").arg(i, 2, 10, QChar('0'))), 32, 32, i));
    ImageDB idle;
    QVERIFY(idle.Write(Path("imagedb")));
    ImageDB db;
    QSignalSpy complete(&db, &ImageDB::complete);
    db.Update({Path("w")}, {}, ImageDB::StrategyNone, 2);
    QVERIFY(!db.Write(Path("imagedb")));
    QVERIFY(!db.Read(Path("imagedb")));
    QVERIFY(complete.wait(60000));
    QVERIFY(db.Write(Path("imagedb")));
}

// The database waits for its threads before it frees the records they use.
void TstImageDBUpdate::destroyedWhileUpdating()
{
    for (int i = 0; i < 20; ++i)
        QVERIFY(WritePicture(Path(QString("d/%1.jpg").arg(i, 2, 10, QChar('0'))), 256, 256, i));
    auto db = std::make_unique<ImageDB>();
    db->Update({Path("d")}, {}, ImageDB::StrategyFastest, 4);
    QVERIFY(db->IsUpdating());
    db.reset();
    QCoreApplication::processEvents();
}

QTEST_GUILESS_MAIN(TstImageDBUpdate)
#include "tst_imagedbupdate.moc"
