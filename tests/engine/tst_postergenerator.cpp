#include "TestKit.h"
#include "engine/ImagePosterParameters.h"
#include "engine/MosaicPreview.h"
#include "engine/PosterGenerator.h"
#include "engine/PyramidWriterAgent.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QMutex>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <climits>
#include <memory>
#include <random>

#include <sys/stat.h>

// Sixteen well separated colours; the collection holds one flat picture of
// each, the source is a 4 by 4 grid of them.
static const color3 Palette[16] = {
    {20, 20, 20},   {220, 20, 20},   {20, 220, 20},   {20, 20, 220},  {220, 220, 20}, {220, 20, 220},
    {20, 220, 220}, {220, 220, 220}, {120, 20, 20},   {20, 120, 20},  {20, 20, 120},  {120, 120, 20},
    {120, 20, 120}, {20, 120, 120},  {120, 120, 120}, {220, 120, 20},
};
static const QString WholeRun = "stage0 p* 100 stage1 p* 100 stage2 saving p* 100 complete";

class TstPosterGenerator : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void mosaicFollowsSource_data();
    void mosaicFollowsSource();
    void cancelInEachStage_data();
    void cancelInEachStage();
    void saveFailures_data();
    void saveFailures();
    void newRunWhileSaving();
    void nothingToWorkWith();
    void cancelAtRandomMoments();

private:
    QString Run(MosaicPreview *preview = nullptr);

    QTemporaryDir dir;
    std::unique_ptr<ImagePosterParameters> params;
    Image mosaic;
};

namespace {
Image GridSource(int w, int h, bool oneColour = false)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            Paint(image, x, y, 1, 1, Palette[oneColour ? 0 : (y * 4 / h) * 4 + x * 4 / w]);
    return image;
}

int PaletteIndex(const unsigned char *colour)
{
    for (int i = 0; i < 16; ++i)
        if (Near(colour, Palette[i], 10))
            return i;
    return -1;
}

const unsigned char *TileCentre(const Image &image, int column, int row)
{
    return Pixel(image, (2 * column + 1) * image.width / 8, (2 * row + 1) * image.height / 8);
}

// Records the pipeline's signals in the order they arrive; a progress of
// 100 shows as "100", any other as "p".
struct Recorder : QObject {
    explicit Recorder(PosterGenerator *g)
    {
        connect(g, &PosterGenerator::stage, this, [this](int s) { events << QString("stage%1").arg(s); });
        connect(g, &PosterGenerator::progress, this, [this](int p) { events << (p == 100 ? "100" : "p"); });
        connect(g, &PosterGenerator::saving, this, [this] { events << "saving"; });
        connect(g, &PosterGenerator::complete, this, [this] { events << "complete"; });
        connect(g, &PosterGenerator::failed, this, [this](const QString &m) {
            events << "failed";
            failure = m;
        });
    }
    bool WaitEnd()
    {
        return QTest::qWaitFor([this] { return events.contains("complete") || events.contains("failed"); }, 120000);
    }
    QString Compact() const { return events.join(' ').replace(QRegularExpression("( p)+"), " p*"); }
    QStringList events;
    QString failure;
};

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
}   // namespace

// One whole run on a fresh generator: the signals as "stage0 p* ...", with
// the mosaic read back when it completed.
QString TstPosterGenerator::Run(MosaicPreview *preview)
{
    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    generator.Generate(preview);
    if (!recorder.WaitEnd())
        return "no end";
    if (recorder.events.last() == "complete" && !ReadJPEG(params->outputFilename, mosaic))
        return "unreadable mosaic";
    return recorder.Compact();
}

void TstPosterGenerator::initTestCase()
{
    QVERIFY(dir.isValid() && QDir(dir.path()).mkdir("collection"));
    for (int i = 0; i < 16; ++i)
        QVERIFY(WriteJPEG(dir.filePath(QString("collection/c%1.jpg").arg(i, 2, 10, QChar('0'))),
                          Solid(64, 48, Palette[i]), 100));
    QVERIFY(WriteJPEG(dir.filePath("source.jpg"), GridSource(400, 300), 100));

    params = std::make_unique<ImagePosterParameters>();
    QVERIFY(RunUpdate(params->imageDB, {dir.filePath("collection")}, ImageDB::StrategyFast, 2));
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

void TstPosterGenerator::mosaicFollowsSource_data()
{
    QTest::addColumn<int>("threads");
    QTest::addColumn<QSize>("source");
    QTest::addColumn<int>("repeats");
    QTest::addColumn<int>("blend");
    QTest::addColumn<QList<int>>("tiles");

    const QList<int> grid = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const QSize landscape(400, 300);
    QTest::newRow("one thread") << 1 << landscape << 1 << 0 << grid;
    QTest::newRow("portrait") << 2 << QSize(300, 400) << 1 << 0 << grid;
    // "-nt 99999999999" saturates to the largest int: no more agents than tiles.
    QTest::newRow("absurd thread count") << INT_MAX << landscape << 1 << 0 << grid;
    // Every tile wants the first colour: two uses each of the eight closest
    // pictures, in whatever places.
    QTest::newRow("repetition limit") << 4 << QSize() << 2 << 0
                                      << QList<int>{0, 0, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
    // Blended fully, each tile is the flat colour of its part of the source.
    QTest::newRow("full blend") << 3 << landscape << 1 << 100 << QList<int>{};
}

// Each tile of the mosaic and of the preview gets the picture of its own
// colour; the signals come stage by stage, each stage's progress reaching
// 100. A 400 by 300 source is read from its file; an empty size stands for
// a source all of the first colour.
void TstPosterGenerator::mosaicFollowsSource()
{
    QFETCH(int, threads);
    QFETCH(QSize, source);
    QFETCH(int, repeats);
    QFETCH(int, blend);
    QFETCH(QList<int>, tiles);
    params->numThreads = threads;
    params->repeats = repeats;
    params->blend = blend;
    if (source != QSize(400, 300))
        params->sourceImage = source.isEmpty() ? new Image(GridSource(400, 300, true))
                                               : new Image(GridSource(source.width(), source.height()));

    Preview preview;
    QCOMPARE(Run(&preview), WholeRun);
    QCOMPARE(QSize(mosaic.width, mosaic.height), source.height() > source.width() ? QSize(450, 600) : QSize(600, 450));
    QVERIFY(preview.Lock());
    QCOMPARE(preview.image.size(), QSize(64, 64));
    QCOMPARE(preview.aspect, QSize(params->sourceImage->width, params->sourceImage->height));
    Image colours(*params->sourceImage);
    colours.Resize(4, 4, true);
    QList<int> found;
    for (int row = 0; row < 4; ++row)
        for (int column = 0; column < 4; ++column) {
            const unsigned char *tile = TileCentre(mosaic, column, row);
            const QRgb cell = preview.image.pixel(column * 16 + 8, row * 16 + 8);
            const unsigned char shown[3] = {(unsigned char)qRed(cell), (unsigned char)qGreen(cell),
                                            (unsigned char)qBlue(cell)};
            if (blend == 100) {
                const unsigned char *c = Pixel(colours, column, row);
                QVERIFY(Near(tile, {c[0], c[1], c[2]}, 3) && Near(shown, {c[0], c[1], c[2]}, 3));
            } else {
                found << PaletteIndex(tile);
                QCOMPARE(PaletteIndex(shown), found.last());
            }
        }
    if (source.isEmpty())
        std::sort(found.begin(), found.end());
    QCOMPARE(found, tiles);
    QTRY_COMPARE(WorkerThreads(), 0);
}

// Cancelled at the first report of at least the percent given: the tiles
// are prepared up to 10 percent of the first stage and then matched.
void TstPosterGenerator::cancelInEachStage_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("cancelled");
    QTest::newRow("preparation") << "stage0" << 0 << "stage0 p*";
    QTest::newRow("matching") << "stage0" << 11 << "stage0 p*";
    QTest::newRow("pause before assembly") << "pause" << 0 << "stage0 p* 100";
    QTest::newRow("assembly") << "stage1" << 0 << "stage0 p* 100 stage1 p*";
    QTest::newRow("saving") << "saving" << 0 << WholeRun;
}

// After Cancel no agent is left, no later stage begins (a save already
// started runs on), and a fresh run makes a whole mosaic.
void TstPosterGenerator::cancelInEachStage()
{
    QFETCH(QString, when);
    QFETCH(int, percent);
    QFETCH(QString, cancelled);
    params->divisions = 20;
    params->repeats = 30;
    params->numThreads = 3;
    params->targetResolution = 3000;

    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    bool done = false;
    const auto cancel = [&] {
        if (!done)
            generator.Cancel();
        done = true;
    };
    QObject context;
    connect(&generator, &PosterGenerator::progress, &context, [&](int p) {
        if (p >= percent && recorder.Compact().endsWith(when + " p*"))
            cancel();
    });
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
    QTRY_COMPARE(WorkerThreads(), 0);
    if (when == "saving")
        QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(), cancelled);

    // A fresh run: its own stages only, nothing left over from the first.
    disconnect(&generator, nullptr, &context, nullptr);
    recorder.events.clear();
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(), WholeRun);
    QVERIFY(ReadJPEG(params->outputFilename, mosaic));
    QCOMPARE(mosaic.width, 3000);
    QTRY_COMPARE(WorkerThreads(), 0);
}

void TstPosterGenerator::saveFailures_data()
{
    QTest::addColumn<QString>("output");
    QTest::newRow("missing folder") << "missing/mosaic.jpg";
    QTest::newRow("parent is a file") << "source.jpg/mosaic.jpg";
    QTest::newRow("full disk") << "/dev/full";
}

// The failure is reported naming the file, nothing is left behind, not even
// the pyramid asked for, and the generator goes on to make the next mosaic,
// whose pyramid is cut once its file is saved.
void TstPosterGenerator::saveFailures()
{
    QFETCH(QString, output);
    params->outputFilename = output.startsWith('/') ? output : dir.filePath(output);
    params->targetResolution = 2000;
    const auto entries = [this] {
        return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    };
    const QStringList before = entries();

    PosterGenerator generator(params.get());
    generator.SetPyramidFolder(dir.filePath("view"));
    bool savedFirst = false;
    connect(&generator.PyramidWriter(), &QThread::started, [&] { savedFirst = QFile::exists(params->outputFilename); });
    Recorder recorder(&generator);
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(),
             QString("stage0 p* 100 stage1 p* 100 stage2 saving%1 failed").arg(output.startsWith('/') ? " p*" : ""));
    QVERIFY2(recorder.failure.contains(params->outputFilename), qPrintable(recorder.failure));
    QCOMPARE(entries(), before);
    struct stat status;
    QVERIFY(!output.startsWith('/') || (::stat("/dev/full", &status) == 0 && S_ISCHR(status.st_mode)));

    init();
    recorder.events.clear();
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(), WholeRun);
    QVERIFY(savedFirst && generator.PyramidWriter().Succeeded());
    QVERIFY(QDir(dir.filePath("view")).removeRecursively());
}

// Back during saving and forward again: the first mosaic is still saved
// whole, the new run gets a fresh image, and only the new run reports.
void TstPosterGenerator::newRunWhileSaving()
{
    params->sourceImage = new Image(GridSource(4000, 3000));
    params->targetResolution = 6000;
    const QString first = params->outputFilename;
    const QString second = dir.filePath("second.jpg");

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

    QVERIFY(ReadJPEG(second, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(800, 600));
    QCOMPARE(PaletteIndex(TileCentre(mosaic, 3, 2)), 11);
    QVERIFY(ReadJPEG(first, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(6000, 4500));
    QCOMPARE(PaletteIndex(TileCentre(mosaic, 1, 3)), 13);
}

// With nothing to draw from, every stage still ends: the mosaic is the
// black canvas, saved, and no thread waits for a picture forever.
// An unreadable source sends nothing and writes nothing; without usable
// pictures the mosaic is made, all black.
void TstPosterGenerator::nothingToWorkWith()
{
    params->sourceFilename = dir.filePath("no-such-picture.jpg");
    {
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
    ImagePosterParameters nothing;
    nothing.sourceImage = new Image(GridSource(400, 300));
    nothing.targetResolution = 600;
    nothing.outputFilename = dir.filePath("nothing.jpg");
    PosterGenerator generator(&nothing);
    Recorder recorder(&generator);
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.events.last(), QString("complete"));
    QVERIFY(ReadJPEG(nothing.outputFilename, mosaic));
    QVERIFY(Near(TileCentre(mosaic, 1, 1), {0, 0, 0}, 2));
    QTRY_COMPARE(WorkerThreads(), 0);
}

// A hundred runs, each cancelled after a random number of reports of a random
// stage, the way the page's Back button does: from the event loop, not from
// inside a signal. No worker outlives a cancel, a save already started ends,
// nothing fails, and a run afterwards goes through whole.
void TstPosterGenerator::cancelAtRandomMoments()
{
    params->divisions = 40;
    params->repeats = 100;
    params->blend = 20;
    params->targetResolution = 1200;
    PosterGenerator generator(params.get());
    Recorder recorder(&generator);
    std::mt19937 random(20261206);
    int cancelledIn[3] = {0, 0, 0};
    int mostWorkers = 0;   // seen alive just before a cancel, so the count does see them
    for (int round = 0; round < 100; ++round) {
        const int wantedStage = int(random() % 3), wantedReports = int(random() % 6);
        int stage = -1, reports = 0, cancelledStage = -1;
        QObject context;
        const auto maybeCancel = [&] {
            if (cancelledStage >= 0 || stage != wantedStage || reports < wantedReports)
                return;
            cancelledStage = stage;
            QTimer::singleShot(0, &context, [&] {
                mostWorkers = std::max(mostWorkers, WorkerThreads());
                generator.Cancel();
                recorder.events << "cancelled";
            });
        };
        connect(&generator, &PosterGenerator::stage, &context, [&](int s) {
            stage = s;
            reports = 0;
            maybeCancel();
        });
        connect(&generator, &PosterGenerator::progress, &context, [&] {
            ++reports;
            maybeCancel();
        });
        recorder.events.clear();
        generator.Generate(nullptr);
        QVERIFY(QTest::qWaitFor(
            [&] { return recorder.events.contains("cancelled") || recorder.events.contains("complete"); }, 120000));
        if (cancelledStage == 2)
            QVERIFY(recorder.WaitEnd());
        QVERIFY(!recorder.events.contains("failed"));
        if (cancelledStage >= 0)
            ++cancelledIn[cancelledStage];
        QTRY_COMPARE_WITH_TIMEOUT(WorkerThreads(), 0, 30000);
    }
    QVERIFY(cancelledIn[0] > 0 && cancelledIn[1] > 0);
    QVERIFY(mostWorkers > 0);
    recorder.events.clear();
    generator.Generate(nullptr);
    QVERIFY(recorder.WaitEnd());
    QCOMPARE(recorder.Compact(), WholeRun);
    QVERIFY(ReadJPEG(params->outputFilename, mosaic));
    QCOMPARE(QSize(mosaic.width, mosaic.height), QSize(1200, 900));
}

QTEST_GUILESS_MAIN(TstPosterGenerator)
#include "tst_postergenerator.moc"
