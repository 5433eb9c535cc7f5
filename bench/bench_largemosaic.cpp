// A mosaic of 1000 by 1000 tiles at 30000 pixels over a generated collection,
// made twice:
//  - on the Generate page with its preview, as the wizard makes it, while a
//    10 ms timer on the GUI thread records how late it fires at worst (the
//    longest time the window does not answer), stage by stage; with the
//    resident memory before the run, at its peak and after it; and how long
//    Back takes to take effect during preparation, matching and assembly;
//  - by the pipeline alone, as the command-line tool runs it: the whole run
//    stage by stage, and the time the GUI thread spends between them.
// Needs an X server for the page: run it under xvfb-run -a.
// Usage: bench_largemosaic [pictures (1000)] [tiles (1000)] [resolution (30000)]
//                          [pipeline | page (both)]
#include "engine/ImagePosterParameters.h"
#include "engine/PosterGenerator.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"
#include "wizard/GeneratePage.h"
#include "BenchPictures.h"
#include "CpuTime.h"
#include "PeakMemory.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <algorithm>
#include <cstdio>

namespace {

double ThreadCpuMs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + ts.tv_nsec / 1e6;
}

// A 10 ms timer on the GUI thread. Its latest firing is the longest time the
// thread did not answer; on a busy machine that includes time the thread
// waited for a core, so the longest stretch of the thread's own processor
// time between two firings is kept as well.
class Probe {
public:
    Probe()
    {
        timer.setInterval(Interval);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            const double cpu = ThreadCpuMs();
            worst = std::max(worst, now - last - Interval);
            busiest = std::max(busiest, cpu - lastCpu);
            last = now;
            lastCpu = cpu;
        });
        clock.start();
        last = clock.elapsed();
        lastCpu = ThreadCpuMs();
        timer.start();
    }
    // The worst lateness of the firings since the last call, and the longest
    // busy stretch, in milliseconds.
    QString Take()
    {
        const QString taken = QString("%1 ms late, %2 ms busy").arg(worst, 6).arg(qint64(busiest), 5);
        worst = 0;
        busiest = 0;
        return taken;
    }

private:
    static constexpr int Interval = 10;
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    double lastCpu = 0;
    qint64 worst = 0;
    double busiest = 0;
};

void Wait(int milliseconds)
{
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

// Closes the message boxes the page shows at the end.
void CloseModalsAlways()
{
    auto *closer = new QTimer(qApp);
    QObject::connect(closer, &QTimer::timeout, [] {
        if (QWidget *modal = QApplication::activeModalWidget())
            modal->close();
    });
    closer->start(20);
}

// One run on the page; cancelAt is the stage ("prep", "match", "assembly")
// in which Back is pressed, or empty for a whole run.
void PageRun(GeneratePage &page, ImagePosterParameters &params, const QString &cancelAt)
{
    auto *generator = page.findChild<PosterGenerator *>();
    Probe probe;
    QElapsedTimer clock;
    clock.start();
    const double before = ResidentMB();
    ResetPeakMemory();
    QStringList stageWorst;
    QList<qint64> stageStart;
    bool ended = false;
    qint64 backAsked = -1, backDone = -1;
    QObject context;
    const auto back = [&] {
        if (backAsked < 0 || backDone >= 0)
            return;
        page.cleanupPage();
        backDone = clock.elapsed();
        ended = true;
    };
    QObject::connect(generator, &PosterGenerator::stage, &context, [&](int s) {
        stageWorst << probe.Take();
        stageStart << clock.elapsed();
        if ((cancelAt == "match" && s == 0) || (cancelAt == "assembly" && s == 1)) {
            backAsked = clock.elapsed() + (s == 0 ? 2000 : 1000);
            QTimer::singleShot(s == 0 ? 2000 : 1000, Qt::PreciseTimer, &context, back);
        }
    });
    QObject::connect(generator, &PosterGenerator::complete, &context, [&] { ended = true; });
    QObject::connect(generator, &PosterGenerator::failed, &context, [&](const QString &message) {
        std::printf("    failed: %s\n", qPrintable(message));
        ended = true;
    });
    if (cancelAt == "prep") {
        // The page starts the pipeline 10 ms after it is entered.
        backAsked = 300;
        QTimer::singleShot(300, Qt::PreciseTimer, &context, back);
    }
    page.initializePage();
    while (!ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const qint64 end = clock.elapsed();
    stageWorst << probe.Take();
    const double peak = PeakMemoryMB();
    Wait(500);
    const double after = ResidentMB();

    if (cancelAt.isEmpty()) {
        std::printf("  whole run on the page: %.1f s\n", end / 1000.0);
        const char *names[] = {"until stage 0 (start, preparation)", "stage 0 (matching)", "stage 1 (assembly)",
                               "stage 2 (saving)"};
        for (int i = 0; i < stageWorst.size() && i < 4; ++i)
            std::printf("    GUI thread %-36s %s\n", names[i], qPrintable(stageWorst[i]));
    } else {
        std::printf("  Back during %-9s asked at %6.2f s, took effect %5lld ms later; GUI thread %s\n",
                    qPrintable(cancelAt), backAsked / 1000.0, (long long)(backDone - backAsked),
                    qPrintable(stageWorst.join(" / ")));
    }
    std::printf("    resident memory: %.0f MB before, %.0f MB peak, %.0f MB after\n", before, peak, after);
    std::fflush(stdout);
    Q_UNUSED(params);
}

// The pipeline alone, no preview, as the command-line tool runs it.
void EngineRun(ImagePosterParameters &params)
{
    PosterGenerator generator(&params);
    QElapsedTimer clock;
    Probe probe;
    QList<qint64> times;
    QStringList worst;
    QList<double> cpuTimes;
    bool ended = false;
    QObject::connect(&generator, &PosterGenerator::stage, [&](int) {
        times << clock.elapsed();
        worst << probe.Take();
        cpuTimes << CpuSeconds();
    });
    QObject::connect(&generator, &PosterGenerator::complete, [&] { ended = true; });
    QObject::connect(&generator, &PosterGenerator::failed, [&](const QString &message) {
        std::printf("    failed: %s\n", qPrintable(message));
        ended = true;
    });
    const double cpu = CpuSeconds();
    const double before = ResidentMB();
    ResetPeakMemory();
    clock.start();
    generator.Generate(nullptr);
    const qint64 returned = clock.elapsed();
    while (!ended)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    times << clock.elapsed();
    worst << probe.Take();
    cpuTimes << CpuSeconds();
    std::printf("  whole run, pipeline alone: %.2f s (cpu %.1f s), Generate returned after %.2f s\n",
                times.last() / 1000.0, cpuTimes.last() - cpu, returned / 1000.0);
    const char *names[] = {"start to stage 0", "stage 0: preparation and matching", "stage 1: assembly",
                           "stage 2: saving"};
    qint64 previous = 0;
    double previousCpu = cpu;
    for (int i = 0; i < times.size() && i < 4; ++i) {
        std::printf("    %-36s %7.2f s, cpu %6.2f s   GUI thread %s\n", names[i], (times[i] - previous) / 1000.0,
                    cpuTimes[i] - previousCpu, qPrintable(worst[i]));
        previous = times[i];
        previousCpu = cpuTimes[i];
    }
    std::printf("    resident memory: %.0f MB before, %.0f MB peak\n", before, PeakMemoryMB());
    std::fflush(stdout);
}

}   // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    // The tile cache goes below the home directory; keep it out of the real one.
    qputenv("HOME", home.path().toLocal8Bit());
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::max(1, atoi(argv[1])) : 1000;
    const int tiles = argc > 2 ? std::clamp(atoi(argv[2]), MinDivisions, MaxDivisions) : 1000;
    const int resolution = argc > 3 ? std::clamp(atoi(argv[3]), MinResolution, MaxResolution) : 30000;
    const QString only = argc > 4 ? QString(argv[4]) : QString();
    const QString collection = home.filePath("collection");
    QDir().mkpath(collection);

    QRandomGenerator random(20240517);
    if (!WriteCollection(random, collection, count)) {
        std::fprintf(stderr, "cannot write the collection\n");
        return 1;
    }

    ImagePosterParameters params;
    params.sourceImage = new Image(MakePicture(random, 4000, 3000));
    params.outputFilename = home.filePath("mosaic.jpg");
    QEventLoop loop;
    QObject::connect(&params.imageDB, &ImageDB::complete, &loop, &QEventLoop::quit);
    params.imageDB.Update({collection}, {}, ImageDB::StrategyFast, params.numThreads);
    if (params.imageDB.IsUpdating())
        loop.exec();
    params.divisions = tiles;
    params.targetResolution = resolution;
    RaiseRepeatsToFill(tiles, params.imageDB.GetNumUsableImages(), params.repeats);
    std::printf("%d by %d tiles, %d pixels, %d pictures used up to %d times, source 4000x3000, blend %d, "
                "%d threads\n",
                tiles, tiles, resolution, params.imageDB.GetNumUsableImages(), params.repeats, params.blend,
                QThread::idealThreadCount());
    std::fflush(stdout);

    if (only != "page")
        EngineRun(params);
    if (only == "pipeline")
        return 0;

    CloseModalsAlways();
    {
        GeneratePage page(&params);
        page.resize(800, 600);
        page.show();
        Wait(200);
        PageRun(page, params, QString());
        for (const char *when : {"prep", "match", "assembly"})
            PageRun(page, params, when);
        page.StopGeneration();
    }
    return 0;
}
