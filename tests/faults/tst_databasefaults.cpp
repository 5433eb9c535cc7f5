// The database file as the program meets it between runs: cut off at any
// byte, with counts that lie, and saved where writing fails. A damaged file is
// refused whole (the program starts from its defaults and the next update
// catalogues the pictures again); a failed save reports false and leaves the
// file saved before exactly as it was.

#include "FaultKit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

using namespace FaultKit;

class TstDatabaseFaults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void truncatedFileIsRefusedAndRebuilt_data();
    void truncatedFileIsRefusedAndRebuilt();
    void lyingCountsAreRefused_data();
    void lyingCountsAreRefused();
    void failedSaveKeepsSavedFile_data();
    void failedSaveKeepsSavedFile();
    void specialFilesStayWhatTheyAre();

private:
    QTemporaryDir collection;
    QStringList pictures;
};

void TstDatabaseFaults::initTestCase()
{
    QVERIFY(collection.isValid());
    for (int i = 0; i < 3; ++i) {
        pictures << QString("%1/p%2.jpg").arg(collection.path()).arg(i);
        QVERIFY(MakePicture(pictures.last(), 120 + 40 * i, 90, i));
    }
}

// A catalogue of the three pictures saved under the strategy, as its bytes.
static QByteArray SavedCatalogue(const QString &dir, ImageDB::SourceImageStrategy strategy, const QString &path)
{
    ImageDB db;
    if (!RunUpdate(db, {dir}, strategy, 1) || db.GetNumUsableImages() != 3 || !db.Write(path))
        return {};
    return Contents(path);
}

// Where the first record's copy size stands: after the header, the one
// directory string, the record's name, key image and orientation byte.
static int FirstCopyOffset(const QString &directory, const QString &firstPicture)
{
    return 52 + int(QFile::encodeName(directory).size()) + 1 + int(QFile::encodeName(firstPicture).size()) + 1 + 768
           + 1;
}

void TstDatabaseFaults::truncatedFileIsRefusedAndRebuilt_data()
{
    QTest::addColumn<int>("strategy");
    QTest::newRow("none") << int(ImageDB::StrategyNone);
    QTest::newRow("fast") << int(ImageDB::StrategyFast);
    QTest::newRow("fastest") << int(ImageDB::StrategyFastest);
}

void TstDatabaseFaults::truncatedFileIsRefusedAndRebuilt()
{
    QFETCH(int, strategy);
    const auto s = ImageDB::SourceImageStrategy(strategy);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString path = work.path() + "/imagedb";
    const QByteArray whole = SavedCatalogue(collection.path(), s, path);
    QVERIFY(!whole.isEmpty());

    // Every byte counts up to the first in-memory copy's pixels and near the
    // end; inside the big pixel blocks every 61st does.
    const qsizetype firstPixels = FirstCopyOffset(collection.path(), pictures[0]) + 8;
    for (qsizetype length = 0; length < whole.size();
         length += (s == ImageDB::StrategyFastest && length > firstPixels && length < whole.size() - 300) ? 61 : 1) {
        const QByteArray cut = whole.left(length);
        QVERIFY(Store(path, cut));

        // At start-up the file is refused and the program keeps its defaults.
        ImageDB db;
        QVERIFY2(!db.Read(path), qPrintable(QString("accepted at length %1").arg(length)));
        QCOMPARE(db.GetNumImages(), 0);
        QVERIFY(db.directories.isEmpty());
        QCOMPARE(db.strategy, ImageDB::StrategyFast);
        QCOMPARE(Contents(path), cut);   // reading changes nothing on disk

        // Now and then run the rest of the session: the update finds all
        // three pictures again and the save replaces the damaged file.
        if (length % 509 == 0 || length + 1 == whole.size()) {
            QVERIFY(RunUpdate(db, {collection.path()}, s, 1));
            QCOMPARE(CountsOf(db), (Counts{3, 0}));
            QVERIFY(db.Write(path));
            ImageDB next;
            QVERIFY(next.Read(path));
            QCOMPARE(next.GetNumImages(), 3);
            QCOMPARE(next.directories, QStringList{collection.path()});
        }
    }
    QCOMPARE(QDir(work.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"imagedb"});
}

void TstDatabaseFaults::lyingCountsAreRefused_data()
{
    QTest::addColumn<int>("strategy");
    QTest::addColumn<QList<int>>("offsets");
    QTest::addColumn<QList<int>>("values");

    const int fastest = ImageDB::StrategyFastest, none = ImageDB::StrategyNone;
    // Header: strategy 32, cache number 36, D 40, E 44, N 48.
    QTest::newRow("2^31-1 records") << none << QList<int>{48} << QList<int>{0x7fffffff};
    QTest::newRow("one record too many") << none << QList<int>{48} << QList<int>{4};
    QTest::newRow("negative records") << none << QList<int>{48} << QList<int>{-1};
    QTest::newRow("2^31-1 directories and 1 excluded") << none << QList<int>{40, 44} << QList<int>{0x7fffffff, 1};
    QTest::newRow("2^31-1 of both lists") << none << QList<int>{40, 44} << QList<int>{0x7fffffff, 0x7fffffff};
    QTest::newRow("negative excluded") << none << QList<int>{44} << QList<int>{-7};
    QTest::newRow("strategy 9") << none << QList<int>{32} << QList<int>{9};
    QTest::newRow("cache number -1") << none << QList<int>{36} << QList<int>{-1};
    // -1 and -2 stand for the first record's copy width and height.
    QTest::newRow("copy 65500 x 65500") << fastest << QList<int>{-1, -2} << QList<int>{65500, 65500};
    QTest::newRow("copy -200 x 150") << fastest << QList<int>{-1} << QList<int>{-200};
    QTest::newRow("copy 2^31-1 x 2^31-1") << fastest << QList<int>{-1, -2} << QList<int>{0x7fffffff, 0x7fffffff};
}

void TstDatabaseFaults::lyingCountsAreRefused()
{
    QFETCH(int, strategy);
    QFETCH(QList<int>, offsets);
    QFETCH(QList<int>, values);

    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString path = work.path() + "/imagedb";
    QByteArray bytes = SavedCatalogue(collection.path(), ImageDB::SourceImageStrategy(strategy), path);
    QVERIFY(!bytes.isEmpty());
    const int copySize = FirstCopyOffset(collection.path(), pictures[0]);
    for (int i = 0; i < offsets.size(); ++i) {
        const int at = offsets[i] == -1 ? copySize : offsets[i] == -2 ? copySize + 4 : offsets[i];
        qToLittleEndian<qint32>(values[i], bytes.data() + at);
    }
    QVERIFY(Store(path, bytes));

    // A database that already holds pictures (read at start-up, say) keeps
    // every one of them when a damaged file is offered to it.
    ImageDB db;
    QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyFastest, 1));
    QVERIFY(db.GetNumImages() == 3 && db.images.first().sourceImage);
    const QByteArray keyBefore(reinterpret_cast<const char *>(db.GetKeyImage(pictures[1])->data), 768);
    QVERIFY(!db.Read(path));
    QCOMPARE(CountsOf(db), (Counts{3, 0}));
    QCOMPARE(db.strategy, ImageDB::StrategyFastest);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(db.GetKeyImage(pictures[1])->data), 768), keyBefore);
    QCOMPARE(Contents(path), bytes);
}

// Makes writes to the returned path fail; the guard undoes what it set up.
struct WriteBlocker {
    virtual ~WriteBlocker() = default;
};

struct FileSizeLimit : WriteBlocker {
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);   // the write fails with EFBIG instead
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() override
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    rlimit saved;
    void (*oldHandler)(int);
};

void TstDatabaseFaults::failedSaveKeepsSavedFile_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("disk full (/dev/full)") << "devfull";
    QTest::newRow("folder under a regular file") << "parentfile";
    QTest::newRow("file-size limit over the saved file") << "fsize";
    QTest::newRow("folder gone") << "nofolder";
}

void TstDatabaseFaults::failedSaveKeepsSavedFile()
{
    QFETCH(QString, how);
    QTemporaryDir work;
    QVERIFY(work.isValid());

    // What the last run saved: a small catalogue of one picture.
    const QString saved = work.path() + "/imagedb";
    QTemporaryDir one;
    QVERIFY(one.isValid() && QFile::copy(pictures[0], one.path() + "/only.jpg"));
    {
        ImageDB db;
        QVERIFY(RunUpdate(db, {one.path()}, ImageDB::StrategyFastest, 1));
        QVERIFY(db.Write(saved));
    }
    const QByteArray before = Contents(saved);

    // This run catalogues more, with in-memory copies, and fails to save.
    ImageDB db;
    QVERIFY(db.Read(saved));
    QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyFastest, 2));
    QString target = saved;
    std::unique_ptr<WriteBlocker> blocker;
    if (how == "devfull") {
        target = "/dev/full";
    } else if (how == "parentfile") {
        QVERIFY(Store(work.path() + "/plain", "x"));
        target = work.path() + "/plain/imagedb";
    } else if (how == "nofolder") {
        target = work.path() + "/gone/imagedb";
    } else {
        blocker.reset(new FileSizeLimit(rlim_t(before.size()) + 1000));
    }
    const bool written = db.Write(target);
    blocker.reset();
    QVERIFY(!written);

    // The file saved before is untouched, no half-written file is left
    // beside it, and the pictures of this run are still all in memory (the
    // earlier folder's, no longer in use, is kept too).
    QCOMPARE(Contents(saved), before);
    QStringList left = QDir(work.path()).entryList(QDir::Files | QDir::Hidden);
    left.removeAll("plain");
    QCOMPARE(left, QStringList{"imagedb"});
    QCOMPARE(CountsOf(db), (Counts{3, 0}));
    QVERIFY(QFileInfo("/dev/full").exists() && !QFileInfo("/dev/full").isFile());

    // Saving again once the cause is gone works.
    QVERIFY(db.Write(saved));
    ImageDB reread;
    QVERIFY(reread.Read(saved));
    QCOMPARE(reread.GetNumImages(), 4);
}

void TstDatabaseFaults::specialFilesStayWhatTheyAre()
{
    ImageDB db;
    QVERIFY(RunUpdate(db, {collection.path()}, ImageDB::StrategyNone, 1));
    // "-imagedb /dev/null" keeps nothing between runs and must not replace
    // the device with a regular file.
    QVERIFY(db.Write("/dev/null"));
    QVERIFY(!db.Read("/dev/null"));
    QVERIFY(!db.Write("/dev/full"));
    struct stat info;
    QVERIFY(stat("/dev/null", &info) == 0 && S_ISCHR(info.st_mode));
    QVERIFY(stat("/dev/full", &info) == 0 && S_ISCHR(info.st_mode));
    QVERIFY(!QFileInfo::exists("/dev/null.tmp") && QDir("/dev").entryList({"null.*", "full.*"}).isEmpty());
    QCOMPARE(db.GetNumUsableImages(), 3);
}

QTEST_GUILESS_MAIN(TstDatabaseFaults)
#include "tst_databasefaults.moc"
