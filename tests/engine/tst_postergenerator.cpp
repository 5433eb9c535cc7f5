#include "app/ImagePosterParameters.h"
#include "engine/MosaicPreview.h"
#include "engine/PosterGenerator.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QMutex>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

// Sixteen well separated colours; the collection holds one flat picture of
// each, the source is a 4 by 4 grid of them.
static const unsigned char Palette[16][3] = {
    {20, 20, 20}, {220, 20, 20}, {20, 220, 20}, {20, 20, 220},
    {220, 220, 20}, {220, 20, 220}, {20, 220, 220}, {220, 220, 220},
    {120, 20, 20}, {20, 120, 20}, {20, 20, 120}, {120, 120, 20},
    {120, 20, 120}, {20, 120, 120}, {120, 120, 120}, {220, 120, 20},
};

class TstPosterGenerator : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void wholePipeline_data();
    void wholePipeline();
    void outputSize_data();
    void outputSize();
    void repetitionLimit();
    void fullBlendPaintsFlatColours();
    void previewShowsMosaic();
    void cancelInEachStage_data();
    void cancelInEachStage();
    void unreadableSourceSendsNothing();
    void saveFailures_data();
    void saveFailures();
    void failedWriteKeepsExistingFile();
    void newRunWhileSaving();

private:
    QTemporaryDir dir;
    std::unique_ptr<ImagePosterParameters> params;
};

namespace {
Image GridSource(int w, int h, bool oneColour = false)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int tile = oneColour ? 0 : (y * 4 / h) * 4 + x * 4 / w;
            std::copy(Palette[tile], Palette[tile] + 3, image.data + 3 * (size_t(y) * w + x));
        }
    return image;
}

int LiveThreads()
{
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

QList<int> TileCentreColour(const Image &image, int column, int row)
{
    const int x = (2 * column + 1) * image.width / 8;
    const int y = (2 * row + 1) * image.height / 8;
    const unsigned char *p = image.data + 3 * (size_t(y) * image.width + x);
    return {p[0], p[1], p[2]};
}

int PaletteIndex(const QList<int> &colour)
{
    for (int i = 0; i < 16; ++i) {
        if (std::abs(colour[0] - Palette[i][0]) <= 10 && std::abs(colour[1] - Palette[i][1]) <= 10
            && std::abs(colour[2] - Palette[i][2]) <= 10)
            return i;
    }
    return -1;
}

// Records the pipeline's signals in the order they arrive.
struct Recorder : QObject {
    explicit Recorder(PosterGenerator *generator)
    {
        connect(generator, &PosterGenerator::stage, this, [this](int s) { events << QString("stage%1").arg(s); });
        connect(generator, &PosterGenerator::progress, this, [this](int p) {
            events << "p";
            percents << p;
        });
        connect(generator, &PosterGenerator::saving, this, [this] { events << "saving"; });
        connect(generator, &PosterGenerator::complete, this, [this] { events << "complete"; });
        connect(generator, &PosterGenerator::failed, this, [this](const QString &m) {
            events << "failed";
            failure = m;
        });
    }
    bool Ended() const { return events.contains("complete") || events.contains("failed"); }
    bool WaitEnd() { return QTest::qWaitFor([this] { return Ended(); }, 120000); }
    QString Compact() const
    {
        QString text = events.join(' ');
        text.replace(QRegularExpression("( p)+"), " p*");
        return text;
    }
    QStringList events;
    QList<int> percents;
    QString failure;
};
}

void TstPosterGenerator::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir("collection"));
    for (int i = 0; i < 16; ++i) {
        Image picture(64, 48);
        for (size_t b = 0; b < picture.ByteCount(); b += 3)
            std::copy(Palette[i], Palette[i] + 3, picture.data + b);
        QVERIFY(WriteJPEG(dir.filePath(QString("collection/c%1.jpg").arg(i, 2, 10, QChar('0'))), picture, 100));
    }
    Image source = GridSource(400, 300);
    QVERIFY(WriteJPEG(dir.filePath("source.jpg"), source, 100));

    params = std::make_unique<ImagePosterParameters>();
    QSignalSpy complete(&params->imageDB, &ImageDB::complete);
    params->imageDB.Update({dir.filePath("collection")}, {}, ImageDB::StrategyFast, 2);
    QVERIFY(complete.count() == 1 || complete.wait(30000));
    QCOMPARE(params->imageDB.GetNumUsableImages(), 16);
}

void TstPosterGenerator::init()
{
    delete params->sourceImage;
    params->sourceImage = nullptr;
    params->sourceFilename = dir.filePath("source.jpg");
    params->numThreads = 2;
    params->divisions = 4;
    params->repeats = 1;
    params->blend = 0;
    params->targetResolution = 600;
    params->outputFilename = dir.filePath("mosaic.jpg");
    QFile::remove(params->outputFilename);
}

void TstPosterGenerator::wholePipeline_data()
{
    QTest::addColumn<int>("threads");
    QTest::newRow("one thread") << 1;
    QTest::newRow("several threads") << 3;
}

// Each tile gets the picture of its own colour; the signals come stage by
// stage, each stage's progress reaching 100.
void TstPosterGenerator::wholePipeline()
{
    QFETCH(int, threads);
    params->numThreads = threads;
    const int baseline = LiveThreads();

    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(), QString("stage0 p* stage1 p* stage2 saving p* complete"));
    QCOMPARE(recorder.percents.count(100), 3);

    Image mosaic;
    QVERIFY(ReadJPEG(params->outputFilename, mosaic));
    QCOMPARE(mosaic.width, 600);
    QCOMPARE(mosaic.height, 450);
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            QCOMPARE(PaletteIndex(TileCentreColour(mosaic, column, row)), row * 4 + column);
    QTRY_VERIFY(LiveThreads() <= baseline);
}

void TstPosterGenerator::outputSize_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<int>("resolution");
    QTest::addColumn<QSize>("output");

    QTest::newRow("landscape") << QSize(400, 300) << 600 << QSize(600, 450);
    QTest::newRow("portrait") << QSize(300, 400) << 600 << QSize(450, 600);
    QTest::newRow("square") << QSize(200, 200) << 500 << QSize(500, 500);
    QTest::newRow("truncated") << QSize(300, 7) << 1000 << QSize(1000, 23);
    QTest::newRow("4000x3000 at 6000") << QSize(4000, 3000) << 6000 << QSize(6000, 4500);
}

void TstPosterGenerator::outputSize()
{
    QFETCH(QSize, source);
    QFETCH(int, resolution);
    QFETCH(QSize, output);
    params->sourceImage = new Image(GridSource(source.width(), source.height()));
    params->targetResolution = resolution;

    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.events.last(), QString("complete"));
    Image mosaic;
    QVERIFY(ReadJPEG(params->outputFilename, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), output);
}

// Every tile wants the first colour; with two uses per picture the sixteen
// tiles take eight pictures twice each, the closest ones.
void TstPosterGenerator::repetitionLimit()
{
    params->sourceImage = new Image(GridSource(400, 300, true));
    params->repeats = 2;
    params->numThreads = 4;
    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());

    Image mosaic;
    QVERIFY(ReadJPEG(params->outputFilename, mosaic));
    QMap<int, int> uses;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column)
            ++uses[PaletteIndex(TileCentreColour(mosaic, column, row))];
    QVERIFY(!uses.contains(-1));
    QCOMPARE(uses.size(), 8);
    for (int count : uses)
        QCOMPARE(count, 2);
    QVERIFY(uses.contains(0));
}

void TstPosterGenerator::fullBlendPaintsFlatColours()
{
    params->blend = 100;
    params->sourceImage = new Image(GridSource(400, 300));
    Image expected(*params->sourceImage);
    expected.Resize(4, 4, true);

    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    Image mosaic;
    QVERIFY(ReadJPEG(params->outputFilename, mosaic));
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column) {
            const unsigned char *e = expected.data + 3 * (row * 4 + column);
            const QList<int> got = TileCentreColour(mosaic, column, row);
            for (int c = 0; c < 3; ++c)
                QVERIFY2(std::abs(got[c] - e[c]) <= 3, qPrintable(QString("tile %1,%2").arg(column).arg(row)));
        }
}

namespace {
// A preview without widgets: what the pipeline sees of the display.
class Preview : public MosaicPreview {
public:
    void SetImageTiles(int columns, int rows, int tileSize, int imageWidth, int imageHeight) override
    {
        image = QImage(columns * tileSize, rows * tileSize, QImage::Format_RGB32);
        image.fill(Qt::white);
        aspect = QSize(imageWidth, imageHeight);
    }
    QImage *GetBackingImage() override { return image.isNull() ? nullptr : &image; }
    QMutex *Lock() const { return drawLock; }
    QImage image;
    QSize aspect;
};
}

void TstPosterGenerator::previewShowsMosaic()
{
    Preview preview;
    {
        PosterGenerator generator(params.get());
        Recorder recorder(&generator);
        generator.Generate(&preview);
        QVERIFY(preview.Lock());
        QCOMPARE(preview.image.size(), QSize(64, 64));
        QCOMPARE(preview.aspect, QSize(400, 300));
        QVERIFY(recorder.WaitEnd());
        for (int row = 0; row < 4; ++row)
            for (int column = 0; column < 4; ++column) {
                const QRgb cell = preview.image.pixel(column * 16 + 8, row * 16 + 8);
                const unsigned char *want = Palette[row * 4 + column];
                QVERIFY(std::abs(qRed(cell) - want[0]) <= 10 && std::abs(qGreen(cell) - want[1]) <= 10
                        && std::abs(qBlue(cell) - want[2]) <= 10);
            }
    }
}

void TstPosterGenerator::cancelInEachStage_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<QString>("cancelled");

    QTest::newRow("matching") << "matching" << "stage0 p*";
    QTest::newRow("pause before assembly") << "pause" << "stage0 p*";
    QTest::newRow("assembly") << "assembly" << "stage0 p* stage1 p*";
    QTest::newRow("saving") << "saving" << "stage0 p* stage1 p* stage2 saving p* complete";
}

// After Cancel no agent is left, no later stage begins (a save already
// started runs on), and a fresh run makes a whole mosaic.
void TstPosterGenerator::cancelInEachStage()
{
    QFETCH(QString, when);
    QFETCH(QString, cancelled);
    params->divisions = 20;
    params->repeats = 30;
    params->numThreads = 3;
    params->targetResolution = 3000;
    const int baseline = LiveThreads();

    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    bool done = false;
    const auto cancel = [&] {
        if (done)
            return;
        done = true;
        generator.Cancel();
    };
    QObject context;
    if (when == "matching" || when == "assembly") {
        const QString stage = when == "matching" ? "stage0" : "stage1";
        connect(&generator, &PosterGenerator::progress, &context, [&, stage] {
            if (recorder.events.contains(stage) && !recorder.events.contains(stage == "stage0" ? "stage1" : "stage2"))
                cancel();
        });
    } else if (when == "saving") {
        connect(&generator, &PosterGenerator::saving, &context, cancel);
    }
    // The pause: Cancel queued right behind the end of matching.
    QtMessageHandler previous = nullptr;
    static std::function<void()> onMatchingEnd;
    if (when == "pause") {
        onMatchingEnd = [&] { QMetaObject::invokeMethod(&context, cancel, Qt::QueuedConnection); };
        previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            if (text.startsWith("Matching took") && onMatchingEnd)
                onMatchingEnd();
        });
    }

    generator.Generate(nullptr);
    QVERIFY(QTest::qWaitFor([&] { return done; }, 60000));
    if (when == "pause")
        qInstallMessageHandler(previous);
    QTRY_VERIFY(LiveThreads() <= baseline);
    if (when == "saving")
        QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(), cancelled);

    // A fresh run: its own stages only, nothing left over from the first.
    disconnect(&generator, nullptr, &context, nullptr);
    recorder.events.clear();
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(), QString("stage0 p* stage1 p* stage2 saving p* complete"));
    Image mosaic;
    QVERIFY(ReadJPEG(params->outputFilename, mosaic));
    QCOMPARE(mosaic.width, 3000);
    QTRY_VERIFY(LiveThreads() <= baseline);
}

void TstPosterGenerator::unreadableSourceSendsNothing()
{
    params->sourceFilename = dir.filePath("no-such-picture.jpg");
    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    Preview preview;
    generator.Generate(&preview);
    QCoreApplication::processEvents();
    QVERIFY(recorder.events.isEmpty());
    QVERIFY(!params->sourceImage);
    QVERIFY(preview.image.isNull());
    QVERIFY(!QFile::exists(params->outputFilename));
}

void TstPosterGenerator::saveFailures_data()
{
    QTest::addColumn<QString>("output");
    QTest::newRow("missing folder") << "missing/mosaic.jpg";
    QTest::newRow("parent is a file") << "source.jpg/mosaic.jpg";
    QTest::newRow("full disk") << "/dev/full";
}

void TstPosterGenerator::saveFailures()
{
    QFETCH(QString, output);
    if (output.startsWith('/') && !QFile::exists(output))
        QSKIP("no /dev/full here");
    params->outputFilename = output.startsWith('/') ? output : dir.filePath(output);
    params->targetResolution = 2000;
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.events.last(), QString("failed"));
    QVERIFY(!recorder.events.contains("complete"));
    QVERIFY(recorder.events.contains("saving"));
    QVERIFY2(recorder.failure.contains(params->outputFilename), qPrintable(recorder.failure));
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);

    // The generator is still usable.
    init();
    generator.Generate(nullptr);
    recorder.events.clear();
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.events.last(), QString("complete"));
}

// A file-size limit stands in for a disk that fills up during the save.
void TstPosterGenerator::failedWriteKeepsExistingFile()
{
    QFile old(params->outputFilename);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("the previous mosaic");
    old.close();
    params->targetResolution = 3000;
    params->sourceImage = new Image(GridSource(400, 300));
    // Noise so that the file cannot stay small.
    for (size_t i = 0; i < params->sourceImage->ByteCount(); ++i)
        params->sourceImage->data[i] = (i * 2654435761u) >> 24;
    params->blend = 50;

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = 32 * 1024;
    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    generator.Generate(nullptr);
    const bool ended = recorder.WaitEnd();
    setrlimit(RLIMIT_FSIZE, &saved);

    QVERIFY(ended);
    QCOMPARE(recorder.events.last(), QString("failed"));
    QVERIFY(old.open(QIODevice::ReadOnly));
    QCOMPARE(old.readAll(), QByteArray("the previous mosaic"));
    QCOMPARE(QDir(dir.path()).entryList(QStringList{"*mosaic*"}, QDir::Files | QDir::Hidden), QStringList{"mosaic.jpg"});
}

// Back during saving and forward again: the first mosaic is still saved
// whole, the new run gets a fresh image, and only the new run reports.
void TstPosterGenerator::newRunWhileSaving()
{
    params->sourceImage = new Image(GridSource(4000, 3000));
    params->targetResolution = 6000;
    const QString first = params->outputFilename;
    const QString second = dir.filePath("second.jpg");
    QFile::remove(second);

    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    QObject context;
    connect(&generator, &PosterGenerator::saving, &context, [&] {
        disconnect(&generator, nullptr, &context, nullptr);
        generator.Cancel();
        delete params->sourceImage;
        params->sourceImage = new Image(GridSource(400, 300));
        params->targetResolution = 800;
        params->outputFilename = second;
        generator.Generate(nullptr);
    });
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.events.count("complete"), 1);
    QCOMPARE(recorder.events.last(), QString("complete"));
    QTRY_COMPARE(generator.findChild<QThread *>()->isRunning(), false);

    Image mosaic;
    QVERIFY(ReadJPEG(second, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(800, 600));
    QCOMPARE(PaletteIndex(TileCentreColour(mosaic, 3, 2)), 11);
    QVERIFY(ReadJPEG(first, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(6000, 4500));
    QCOMPARE(PaletteIndex(TileCentreColour(mosaic, 1, 3)), 13);
}

QTEST_GUILESS_MAIN(TstPosterGenerator)
#include "tst_postergenerator.moc"
