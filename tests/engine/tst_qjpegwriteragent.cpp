#include "engine/QJPEGWriterAgent.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

class TstQJPEGWriterAgent : public QObject {
    Q_OBJECT
private slots:
    void progressByRows_data();
    void progressByRows();
    void savesReadableFile();
    void cannotCreate_data();
    void cannotCreate();
    void fullDevice();
    void failedWriteKeepsExistingFile();
    void replacesExistingFileKeepingItsPermissions();
    void savesAgainAfterFinishing();
};

namespace {
Image Gradient(int w, int h)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            unsigned char *p = image.data + 3 * (size_t(y) * w + x);
            p[0] = x * 255 / std::max(w - 1, 1);
            p[1] = y * 255 / std::max(h - 1, 1);
            p[2] = 90;
        }
    return image;
}

// What the writer's thread reports, received on the test's thread the way
// the pipeline receives it.
struct Reports : QObject {
    explicit Reports(QJPEGWriterAgent *writer)
    {
        connect(writer, &QJPEGWriterAgent::progress, this, [this](int percent) { values << percent; });
        connect(writer, &QThread::finished, this, [this] { ++finished; });
    }
    QList<int> values;
    int finished = 0;
};

// Noise compresses badly, so the file grows well past any small limit.
Image Noise(int w, int h)
{
    Image image(w, h);
    quint32 state = 12345;
    for (size_t i = 0; i < image.ByteCount(); ++i) {
        state = state * 1664525u + 1013904223u;
        image.data[i] = state >> 24;
    }
    return image;
}

bool WaitFinished(const Reports &reports, int count)
{
    return QTest::qWaitFor([&] { return reports.finished == count; }, 10000);
}

QStringList Entries(const QString &dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
}
}

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
    QTest::newRow("102 rows") << 102 << 0 << 101;
    QTest::newRow("6000 rows") << 6000 << 0 << 101;
}

void TstQJPEGWriterAgent::progressByRows()
{
    QFETCH(int, height);
    QFETCH(int, first);
    QFETCH(int, count);

    QTemporaryDir dir;
    const Image image = Gradient(3, height);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);
    QVERIFY(writer.Save(dir.filePath("out.jpg"), image, 100));
    QVERIFY(WaitFinished(reports, 1));
    QVERIFY(writer.Succeeded());

    const QList<int> values = reports.values;
    QCOMPARE(values.size(), count);
    QCOMPARE(values.first(), first);
    QCOMPARE(values.last(), 100);
    for (qsizetype i = 1; i < values.size(); ++i)
        QVERIFY(values[i] > values[i - 1]);
}

void TstQJPEGWriterAgent::savesReadableFile()
{
    QTemporaryDir dir;
    const Image image = Gradient(321, 123);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);
    QVERIFY(writer.Save(dir.filePath("mosaic.jpg"), image, 100));
    QVERIFY(WaitFinished(reports, 1));
    QVERIFY(writer.Succeeded());
    QCOMPARE(Entries(dir.path()), QStringList{"mosaic.jpg"});

    Image back;
    QVERIFY(ReadJPEG(dir.filePath("mosaic.jpg"), back));
    QCOMPARE(back.width, 321);
    QCOMPARE(back.height, 123);
    int worst = 0;
    for (size_t i = 0; i < back.ByteCount(); ++i)
        worst = std::max(worst, std::abs(int(back.data[i]) - int(image.data[i])));
    QVERIFY2(worst <= 8, qPrintable(QString::number(worst)));
}

void TstQJPEGWriterAgent::cannotCreate_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing folder") << "missing/out.jpg";
    QTest::newRow("parent is a file") << "plain/out.jpg";
}

void TstQJPEGWriterAgent::cannotCreate()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    QFile plain(dir.filePath("plain"));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();

    const Image image = Gradient(10, 10);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);
    QVERIFY(!writer.Save(dir.filePath(relative), image, 100));
    QVERIFY(!writer.ErrorMessage().isEmpty());
    QVERIFY(!writer.isRunning());
    QCoreApplication::processEvents();
    QVERIFY(reports.values.isEmpty());
    QCOMPARE(reports.finished, 0);
    QCOMPARE(Entries(dir.path()), QStringList{"plain"});
}

// Every write fails there with "no space left": the writer must come back
// with a failure instead of ending the process.
void TstQJPEGWriterAgent::fullDevice()
{
    if (!QFile::exists("/dev/full"))
        QSKIP("no /dev/full here");
    const Image image = Noise(600, 400);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);
    QVERIFY(writer.Save("/dev/full", image, 100));
    QVERIFY(WaitFinished(reports, 1));
    QVERIFY(!writer.Succeeded());
    QVERIFY(!writer.ErrorMessage().isEmpty());
    struct stat status;
    QCOMPARE(::stat("/dev/full", &status), 0);
    QVERIFY(S_ISCHR(status.st_mode));
}

// A file-size limit stands in for a full disk on an ordinary folder.
void TstQJPEGWriterAgent::failedWriteKeepsExistingFile()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("mosaic.jpg");
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("the previous mosaic");
    old.close();

    const Image image = Noise(800, 600);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 64 * 1024;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const bool started = writer.Save(target, image, 100);
    const bool ended = started && WaitFinished(reports, 1);
    setrlimit(RLIMIT_FSIZE, &saved);

    QVERIFY(started);
    QVERIFY(ended);
    QVERIFY(!writer.Succeeded());
    QCOMPARE(Entries(dir.path()), QStringList{"mosaic.jpg"});
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("the previous mosaic"));
}

void TstQJPEGWriterAgent::replacesExistingFileKeepingItsPermissions()
{
    QTemporaryDir dir;
    const QString target = dir.filePath("mosaic.jpg");
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("the previous mosaic");
    old.close();
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);

    const Image image = Gradient(64, 48);
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);
    QVERIFY(writer.Save(target, image, 100));
    QVERIFY(WaitFinished(reports, 1));
    QVERIFY(writer.Succeeded());

    Image back;
    QVERIFY(ReadJPEG(target, back));
    QCOMPARE(back.width, 64);
    struct stat status;
    QCOMPARE(::stat(QFile::encodeName(target).constData(), &status), 0);
    QCOMPARE(int(status.st_mode & 07777), 0640);
    QCOMPARE(Entries(dir.path()), QStringList{"mosaic.jpg"});
}

void TstQJPEGWriterAgent::savesAgainAfterFinishing()
{
    QTemporaryDir dir;
    QJPEGWriterAgent writer(nullptr);
    Reports reports(&writer);
    QVERIFY(!writer.Save(dir.filePath("none/a.jpg"), Gradient(5, 5), 100));
    for (int i = 0; i < 3; ++i) {
        const Image image = Gradient(20 + i, 10);
        QVERIFY(writer.Save(dir.filePath(QString("m%1.jpg").arg(i)), image, 90));
        QVERIFY(WaitFinished(reports, i + 1));
        QVERIFY(writer.Succeeded());
        QVERIFY(writer.ErrorMessage().isEmpty());
        Image back;
        QVERIFY(ReadJPEG(dir.filePath(QString("m%1.jpg").arg(i)), back));
        QCOMPARE(back.width, 20 + i);
    }
}

QTEST_GUILESS_MAIN(TstQJPEGWriterAgent)
#include "tst_qjpegwriteragent.moc"
