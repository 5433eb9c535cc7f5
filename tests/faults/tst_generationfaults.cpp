// Making a mosaic when things go wrong: the output cannot be written (full
// disk, a folder under a regular file, a file-size limit over an earlier
// mosaic), the collection holds no usable picture, and the user cancels at
// random moments of every stage, a hundred times in a row. The user gets a
// message naming the file, never a false "saved", and an earlier mosaic is
// never destroyed; no worker thread outlives a cancel.

#include "FaultKit.h"
#include "engine/ImagePosterParameters.h"
#include "engine/PosterGenerator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <limits>
#include <memory>
#include <sys/resource.h>

using namespace FaultKit;

class TstGenerationFaults : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void outputCannotBeWritten_data();
    void outputCannotBeWritten();
    void noUsablePicture();
    void absurdThreadCount();
    void cancelAtRandomMoments();

private:
    void Prepare(ImagePosterParameters &params, const QString &collectionPath, const QString &output);
    QTemporaryDir collection;
    QTemporaryDir outputs;
};

// Worker threads of this process still alive, as the kernel lists them. Qt
// names each thread after its class (cut to 15 characters).
static int WorkerThreads()
{
    static const QStringList workers = {"MatchingAgent", "AssemblyAgent", "QJPEGWriterAgen", "ImageDBAgent"};
    int count = 0;
    const QDir tasks("/proc/self/task");
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(task + "/comm"));
        if (comm.open(QIODevice::ReadOnly) && workers.contains(QString::fromLatin1(comm.readAll().trimmed())))
            ++count;
    }
    return count;
}

// True when the file is a whole JPEG of the given size.
static bool IsMosaic(const QString &path, int width, int height)
{
    Image image;
    return ReadJPEG(path, image) && image.width == width && image.height == height;
}

void TstGenerationFaults::initTestCase()
{
    QVERIFY(collection.isValid() && outputs.isValid());
    for (int i = 0; i < 30; ++i)
        QVERIFY(
            MakePicture(QString("%1/p%2.jpg").arg(collection.path()).arg(i, 2, 10, QChar('0')), 40 + i * 3, 60 - i, i));
}

void TstGenerationFaults::Prepare(ImagePosterParameters &params, const QString &collectionPath, const QString &output)
{
    params.numThreads = 2;
    params.divisions = 20;
    params.repeats = 2;
    params.blend = 20;
    params.targetResolution = 600;
    params.outputFilename = output;
    params.sourceFilename = outputs.path() + "/source.jpg";
    params.sourceImage = new Image(Gradient(400, 300, 3));
    QVERIFY(RunUpdate(params.imageDB, {collectionPath}, ImageDB::StrategyFastest, 2));
}

struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, oldHandler);
    }
    rlimit saved;
    void (*oldHandler)(int);
};

void TstGenerationFaults::outputCannotBeWritten_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("disk full (/dev/full)") << "devfull";
    QTest::newRow("folder under a regular file") << "parentfile";
    QTest::newRow("folder gone") << "nofolder";
    QTest::newRow("file-size limit over an earlier mosaic") << "fsize";
}

void TstGenerationFaults::outputCannotBeWritten()
{
    QFETCH(QString, how);
    QTemporaryDir desk;
    QVERIFY(desk.isValid());

    // The mosaic saved by an earlier run, which must survive.
    const QString earlier = desk.path() + "/photomosaic.jpg";
    QVERIFY(MakePicture(earlier, 64, 48, 9));
    const QByteArray earlierBytes = Contents(earlier);

    QString output = earlier;
    if (how == "devfull") {
        output = "/dev/full";
    } else if (how == "parentfile") {
        QVERIFY(Store(desk.path() + "/notes", "x"));
        output = desk.path() + "/notes/photomosaic.jpg";
    } else if (how == "nofolder") {
        output = desk.path() + "/gone/photomosaic.jpg";
    }

    ImagePosterParameters params;
    Prepare(params, collection.path(), output);
    PosterGenerator generator(&params);
    QSignalSpy stages(&generator, &PosterGenerator::stage);
    QSignalSpy complete(&generator, &PosterGenerator::complete);
    QSignalSpy failed(&generator, &PosterGenerator::failed);

    std::unique_ptr<FileSizeLimit> limit;
    if (how == "fsize")
        limit.reset(new FileSizeLimit(rlim_t(earlierBytes.size()) + 100));
    generator.Generate(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(failed.count() + complete.count() > 0, 120000);
    limit.reset();

    // The user is told, with the file named; nothing claims success.
    QCOMPARE(complete.count(), 0);
    QCOMPARE(failed.count(), 1);
    QVERIFY2(failed.first().first().toString().contains(output), qPrintable(failed.first().first().toString()));
    QCOMPARE(stages.count(), 3);
    QCOMPARE(stages.last().first().toInt(), 2);

    // The earlier mosaic is as it was and nothing half-written lies beside it.
    QCOMPARE(Contents(earlier), earlierBytes);
    QStringList left = QDir(desk.path()).entryList(QDir::Files | QDir::Hidden);
    left.removeAll("notes");
    QCOMPARE(left, QStringList{"photomosaic.jpg"});
    QVERIFY(QFileInfo("/dev/full").exists() && !QFileInfo("/dev/full").isFile());

    // Once the cause is gone the same generator saves the next run.
    params.outputFilename = earlier;
    generator.Generate(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(complete.count() == 1, 120000);
    QCOMPARE(failed.count(), 1);
    QVERIFY(IsMosaic(earlier, 600, 450));
}

void TstGenerationFaults::noUsablePicture()
{
    QTemporaryDir bad;
    QVERIFY(bad.isValid());
    QVERIFY(Store(bad.path() + "/a.jpg", RandomBytes(3000, 2)));
    QVERIFY(Store(bad.path() + "/b.jpg", QByteArray()));

    ImagePosterParameters params;
    Prepare(params, bad.path(), outputs.path() + "/nothing.jpg");
    QCOMPARE(CountsOf(params.imageDB), (Counts{0, 2}));

    // With nothing to draw from, every stage still ends: the mosaic is the
    // black canvas, saved, and no thread waits for a picture forever.
    PosterGenerator generator(&params);
    QSignalSpy complete(&generator, &PosterGenerator::complete);
    QSignalSpy failed(&generator, &PosterGenerator::failed);
    generator.Generate(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(complete.count() + failed.count() > 0, 120000);
    QCOMPARE(failed.count(), 0);
    QVERIFY(IsMosaic(outputs.path() + "/nothing.jpg", 600, 450));
    QTRY_COMPARE(WorkerThreads(), 0);
}

void TstGenerationFaults::absurdThreadCount()
{
    // "-nt 99999999999" saturates to the largest int: the mosaic is still
    // made, with no more agents than tiles.
    ImagePosterParameters params;
    Prepare(params, collection.path(), outputs.path() + "/many.jpg");
    params.numThreads = std::numeric_limits<int>::max();
    params.divisions = 10;
    PosterGenerator generator(&params);
    QSignalSpy complete(&generator, &PosterGenerator::complete);
    generator.Generate(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(complete.count() == 1, 120000);
    QVERIFY(IsMosaic(outputs.path() + "/many.jpg", 600, 450));
    QTRY_COMPARE(WorkerThreads(), 0);
}

void TstGenerationFaults::cancelAtRandomMoments()
{
    ImagePosterParameters params;
    Prepare(params, collection.path(), outputs.path() + "/cancelled.jpg");
    params.divisions = 40;
    params.targetResolution = 1200;

    PosterGenerator generator(&params);
    QSignalSpy complete(&generator, &PosterGenerator::complete);
    QSignalSpy failed(&generator, &PosterGenerator::failed);

    generator.Generate(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(complete.count() == 1, 120000);
    QVERIFY(IsMosaic(params.outputFilename, 1200, 900));

    const quint32 seed = 20261206;
    QRandomGenerator random(seed);
    int cancelledIn[3] = {0, 0, 0};
    int mostWorkers = 0;   // seen alive just before a cancel
    for (int round = 0; round < 100; ++round) {
        // Cancel after the k-th report of stage s, the way the page's Back
        // button does: from the event loop, not from inside a signal.
        struct {
            int wantedStage, wantedReports;
            int stage = -1, reports = 0;
            bool scheduled = false, done = false;
            int cancelledStage = -1;
        } r{int(random.bounded(3)), int(random.bounded(6))};
        auto maybeCancel = [&] {
            if (r.scheduled || r.stage != r.wantedStage || r.reports < r.wantedReports)
                return;
            r.scheduled = true;
            QTimer::singleShot(0, &generator, [&] {
                r.cancelledStage = r.stage;
                mostWorkers = std::max(mostWorkers, WorkerThreads());
                generator.Cancel();
                r.done = true;
            });
        };
        const QMetaObject::Connection onStage = connect(&generator, &PosterGenerator::stage, this, [&](int s) {
            r.stage = s;
            r.reports = 0;
            maybeCancel();
        });
        const QMetaObject::Connection onProgress = connect(&generator, &PosterGenerator::progress, this, [&](int) {
            ++r.reports;
            maybeCancel();
        });

        const qsizetype completeBefore = complete.count();
        generator.Generate(nullptr);
        // Either the cancel comes, or the run reaches its end first.
        QTRY_VERIFY_WITH_TIMEOUT(r.scheduled || complete.count() > completeBefore, 120000);
        QTRY_VERIFY_WITH_TIMEOUT(!r.scheduled || r.done, 120000);
        // A cancel while saving lets the save finish.
        if (r.cancelledStage == 2)
            QTRY_VERIFY_WITH_TIMEOUT(complete.count() > completeBefore, 120000);
        if (r.cancelledStage >= 0)
            ++cancelledIn[r.cancelledStage];
        // No agent or writer of the round is left running.
        QTRY_COMPARE_WITH_TIMEOUT(WorkerThreads(), 0, 30000);
        disconnect(onStage);
        disconnect(onProgress);
    }
    qInfo("seed %u; cancelled in matching %d, assembly %d, saving %d", seed, cancelledIn[0], cancelledIn[1],
          cancelledIn[2]);
    QVERIFY(cancelledIn[0] > 0 && cancelledIn[1] > 0);
    QVERIFY(mostWorkers > 0);   // the count does see workers
    QCOMPARE(failed.count(), 0);

    // After all that a run goes through in order and saves a whole mosaic:
    // nothing of the cancelled runs is left to disturb it.
    QSignalSpy stages(&generator, &PosterGenerator::stage);
    const qsizetype completeBefore = complete.count();
    generator.Generate(nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(complete.count() == completeBefore + 1, 120000);
    QCOMPARE(stages.count(), 3);
    for (int s = 0; s < 3; ++s)
        QCOMPARE(stages.at(s).first().toInt(), s);
    QVERIFY(IsMosaic(params.outputFilename, 1200, 900));
    QTRY_COMPARE(WorkerThreads(), 0);
}

QTEST_GUILESS_MAIN(TstGenerationFaults)
#include "tst_generationfaults.moc"
