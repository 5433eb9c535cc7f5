#include "ImageDBTestSupport.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <algorithm>

namespace {

bool Touch(const QString &path)
{
    return Store(path, "not a picture");
}

// Counts the agent's finished() under the group's lock. QThread::wait orders
// the thread's end inside Qt, where the thread sanitizer does not look; the
// lock taken as the thread ends makes that order visible to it too.
void CountEndUnderLock(ImageDBAgent *agent, QMutex *mutex, int *ended)
{
    QObject::connect(
        agent, &QThread::finished, agent,
        [mutex, ended] {
            QMutexLocker lock(mutex);
            ++*ended;
        },
        Qt::DirectConnection);
}

}   // namespace

class TstImageDBUpdate : public QObject {
    Q_OBJECT
private slots:
    void init();
    void emptyWorkListCompletesAtOnce();
    void scan_data();
    void scan();
    void purgeByWholeFolderNames();
    void progress_data();
    void progress();
    void threadCount_data();
    void threadCount();
    void agentInterleaving_data();
    void agentInterleaving();
    void examinesAndSkips();
    void secondUpdateWaitsForFirst();
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

bool TstImageDBUpdate::RunUpdate(ImageDB &db, const QStringList &dirs, const QStringList &excluded,
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

// Files and links are made below the temporary folder; links are written
// "link>target". The expected names are relative to the folder scanned.
void TstImageDBUpdate::scan_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("links");
    QTest::addColumn<QString>("scanned");
    QTest::addColumn<QStringList>("excluded");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("filter") << QStringList{"c/b/deeper.jpg",  "c/photo.JPG",    "c/photo.Jpeg", "c/photo.jpg",
                                           "c/z.jpeg",        "c/photo.jpe",    "c/photo.png",  "c/.photo.jpg",
                                           "c/.hidden/a.jpg", "c/photo.jpg.txt"}
                            << QStringList() << "c" << QStringList()
                            << QStringList{"b/deeper.jpg", "photo.JPG", "photo.Jpeg", "photo.jpg", "z.jpeg"};
    QTest::newRow("excluded by exact path")
        << QStringList{"p/a.jpg", "p/x/in-x.jpg", "p/xy/in-xy.jpg", "p/x/deep/d.jpg"} << QStringList() << "p"
        << QStringList{"p/x"} << QStringList{"a.jpg", "xy/in-xy.jpg"};
    QTest::newRow("the folder scanned is excluded too")
        << QStringList{"p/x/in-x.jpg", "p/x/deep/d.jpg"} << QStringList() << "p/x" << QStringList{"p/x"}
        << QStringList();
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

void TstImageDBUpdate::purgeByWholeFolderNames()
{
    ImageDB db;
    for (const char *name : {"/p/a.jpg", "/p/x/a.jpg", "/p/xy/a.jpg", "/q/p/x.jpg"})
        AddRecord(db, name, new Image(16, 16), Landscape);
    db.PurgeFiles({"/p/x", "/r"});
    QCOMPARE(db.images.keys(), (QStringList{"/p/a.jpg", "/p/xy/a.jpg", "/q/p/x.jpg"}));
    db.PurgeFiles({"/P"});
    QCOMPARE(db.GetNumImages(), 3);
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
    QVERIFY(RunUpdate(db, {Path("n")}, {}, ImageDB::StrategyNone, threads));
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

void TstImageDBUpdate::agentInterleaving_data()
{
    QTest::addColumn<int>("items");
    QTest::addColumn<int>("agents");
    QTest::addColumn<bool>("stopped");   // before it starts: the agent takes nothing
    QTest::newRow("20 over 4") << 20 << 4 << false;
    QTest::newRow("one agent") << 5 << 1 << false;
    QTest::newRow("more agents than items") << 2 << 4 << false;
    QTest::newRow("stopped") << 5 << 2 << true;
}

void TstImageDBUpdate::agentInterleaving()
{
    QFETCH(int, items);
    QFETCH(int, agents);
    QFETCH(bool, stopped);
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
        connect(
            group.back().get(), &ImageDBAgent::progress, group.back().get(),
            [&handled, &percents, k](int percent, const QString &name) {
                handled[k].append(name);
                percents[k].append(percent);
            },
            Qt::DirectConnection);
        CountEndUnderLock(group.back().get(), &mutex, &ended);
    }
    for (auto &agent : group) {
        if (stopped)
            agent->stopRunning();
        agent->start();
    }
    for (auto &agent : group)
        QVERIFY(agent->wait(60000));
    QMutexLocker lock(&mutex);
    QCOMPARE(ended, agents);
    QCOMPARE(counter, stopped ? 0 : items);
    QList<int> all;
    for (int k = 0; k < agents; ++k) {
        QStringList expected;
        for (int i = k; i < items && !stopped; i += agents)
            expected.append(list.at(i));
        QCOMPARE(handled[k], expected);
        all += percents[k];
    }
    std::sort(all.begin(), all.end());
    QCOMPARE(std::adjacent_find(all.begin(), all.end()), all.end());   // one percent per item
    QCOMPARE(all.isEmpty() ? 100 : all.last(), 100);
    QCOMPARE(db.GetNumUsableImages(), stopped ? items : 0);
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
    QCOMPARE(key->width * key->height, 256);
    QVERIFY(qAbs(key->data[0] - 200) <= 3);

    // Unchanged pictures are only checked, not decoded again; a vanished one is skipped.
    QVERIFY(QFile::remove(e + "/tall.jpg"));
    QVERIFY(RunUpdate(db, {e}, {}, ImageDB::StrategyNone, 2));
    QCOMPARE(db.GetKeyImage(e + "/wide.jpg"), key);
    QVERIFY(db.images[e + "/tall.jpg"].skip);
    QCOMPARE(db.GetNumUsableImages(), 2);
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
        QVERIFY(WritePicture(Path(QString("d/%1.jpg").arg(i, 2, 10, QChar('0'))), 256, 256, i));
    auto db = std::make_unique<ImageDB>();
    db->Update({Path("d")}, {}, ImageDB::StrategyFastest, 4);
    QVERIFY(db->IsUpdating());
    db.reset();
    QCoreApplication::processEvents();
}

QTEST_GUILESS_MAIN(TstImageDBUpdate)
#include "tst_imagedbupdate.moc"
