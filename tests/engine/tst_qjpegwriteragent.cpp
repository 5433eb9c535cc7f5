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
    void progressByRows_data();
    void progressByRows();
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

void TstQJPEGWriterAgent::progressByRows_data()
{
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("count");

    // Percent of rows written, divided by height - 1 and kept at most 100.
    QTest::newRow("one row") << 1 << 100 << 1;
    QTest::newRow("two rows") << 2 << 100 << 1;
    QTest::newRow("three rows") << 3 << 50 << 2;
    QTest::newRow("101 rows") << 101 << 1 << 100;
    QTest::newRow("6000 rows") << 6000 << 0 << 101;
}

void TstQJPEGWriterAgent::progressByRows()
{
    QFETCH(int, height);
    QFETCH(int, first);
    QFETCH(int, count);
    QTemporaryDir dir;
    const Image image = Gradient(3, height);   // the writer reads it until it has finished
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);
    QVERIFY(writer.Save(dir.filePath("out.jpg"), image, 100));
    QVERIFY(reports.WaitFinished(1));
    QVERIFY(writer.Succeeded());
    QCOMPARE(reports.values.size(), count);
    QCOMPARE(reports.values.first(), first);
    QCOMPARE(reports.values.last(), 100);
    for (qsizetype i = 1; i < reports.values.size(); ++i)
        QVERIFY(reports.values[i] > reports.values[i - 1]);
}

// A file-size limit stands in for a disk that fills up during the save: the
// previous file stays as it was. A whole save replaces it, keeping its
// permissions, and leaves nothing beside it.
void TstQJPEGWriterAgent::replacesExistingFileOnlyWhenWhole()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("mosaic.jpg");
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("the previous mosaic");
    old.close();
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
    const Image noise = Noise(800, 600);
    const Image gradient = Gradient(64, 48);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);

    {
        const FileSizeLimit limit(64 * 1024);
        QVERIFY(writer.Save(target, noise, 100) && reports.WaitFinished(1));
    }
    QVERIFY(!writer.Succeeded());
    QCOMPARE(Entries(dir.path()), QStringList{"mosaic.jpg"});
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("the previous mosaic"));

    QVERIFY(writer.Save(target, gradient, 100));
    QVERIFY(reports.WaitFinished(2));
    QVERIFY(writer.Succeeded());
    Image back;
    QVERIFY(ReadJPEG(target, back));
    QCOMPARE(back.width, 64);
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &status), 0);
    QCOMPARE(int(status.st_mode & 07777), 0640);
    QCOMPARE(Entries(dir.path()), QStringList{"mosaic.jpg"});
}

QTEST_GUILESS_MAIN(TstQJPEGWriterAgent)
#include "tst_qjpegwriteragent.moc"
