#include "TestKit.h"
#include "engine/QJPEGWriterAgent.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TstQJPEGWriterAgent : public QObject {
    Q_OBJECT
private slots:
    void replacesExistingFileOnlyWhenWhole();
};

namespace {
// What the writer's thread reports, received on the test's thread the way
// the pipeline receives it.
struct Reports : QObject {
    explicit Reports(QJPEGWriterAgent *writer)
    {
        connect(writer, &QJPEGWriterAgent::progress, this, [this](int percent) { values << percent; });
        connect(writer, &QThread::finished, this, [this] { ++finished; });
    }
    bool WaitFinished(int count)
    {
        return QTest::qWaitFor([&] { return finished == count; }, 10000);
    }
    QList<int> values;
    int finished = 0;
};

QStringList Entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}
}   // namespace

// A file-size limit stands in for a disk that fills up during the save: the
// previous file stays as it was. A whole save replaces it, keeping its
// permissions, and leaves nothing beside it. Progress is the percent of
// rows written, one report a percent at most, also for a single row.
void TstQJPEGWriterAgent::replacesExistingFileOnlyWhenWhole()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("mosaic.jpg");
    QVERIFY(Store(target, "the previous mosaic"));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
    const Image noise = Noise(800, 600);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);

    {
        const FileSizeLimit limit(64 * 1024);
        QVERIFY(writer.Save(target, noise, 100) && reports.WaitFinished(1));
    }
    QVERIFY(!writer.Succeeded());
    QCOMPARE(Entries(dir.path()), QStringList{"mosaic.jpg"});
    QCOMPARE(Contents(target), QByteArray("the previous mosaic"));

    for (const int height : {1, 6000}) {
        const Image gradient = Gradient(3, height);   // the writer reads it until it has finished
        reports.values.clear();
        QVERIFY(writer.Save(target, gradient, 100) && reports.WaitFinished(height == 1 ? 2 : 3));
        QVERIFY(writer.Succeeded());
        QCOMPARE(reports.values.size(), height == 1 ? 1 : 101);
        QCOMPARE(reports.values.last(), 100);
        QVERIFY(std::adjacent_find(reports.values.begin(), reports.values.end(), std::greater_equal<int>())
                == reports.values.end());
    }
    Image back;
    QVERIFY(ReadJPEG(target, back));
    QCOMPARE(back.height, 6000);
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &status), 0);
    QCOMPARE(int(status.st_mode & 07777), 0640);
    QCOMPARE(Entries(dir.path()), QStringList{"mosaic.jpg"});
}

QTEST_GUILESS_MAIN(TstQJPEGWriterAgent)
#include "tst_qjpegwriteragent.moc"
