// Times the whole pipeline at the default settings (60 by 60 tiles, 6000
// pixels, five uses per picture, blend 20) over a generated collection, with
// the peak memory of each stage. Assembly and saving are set beside their
// floor: decoding the cached copies of the pictures the mosaic uses, on the
// same threads, plus encoding the finished mosaic at quality 100.
// Usage: bench_pipeline [pictures, at least 2000]
#include "engine/ImagePosterParameters.h"
#include "engine/PosterGenerator.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"
#include "BenchPictures.h"
#include "PeakMemory.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

namespace {
double Seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}
}   // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    // The tile cache goes below the home directory; keep it out of the real one.
    qputenv("HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    const int count = std::max(2000, argc > 1 ? atoi(argv[1]) : 2000);
    const QString collection = home.filePath("collection");
    QDir().mkpath(collection);

    QRandomGenerator random(20240517);
    QElapsedTimer clock;
    clock.start();
    if (!WriteCollection(random, collection, count)) {
        std::fprintf(stderr, "cannot write the collection\n");
        return 1;
    }
    std::printf("collection: %d pictures of 320x240 written in %.2f s\n", count, Seconds(clock.elapsed()));

    ImagePosterParameters params;
    params.sourceImage = new Image(MakePicture(random, 3000, 2000));
    params.outputFilename = home.filePath("mosaic.jpg");

    QEventLoop loop;
    QObject::connect(&params.imageDB, &ImageDB::complete, &loop, &QEventLoop::quit);
    clock.restart();
    ResetPeakMemory();
    params.imageDB.Update({collection}, {}, ImageDB::StrategyFast, params.numThreads);
    if (params.imageDB.IsUpdating())
        loop.exec();
    std::printf("database update (fast strategy, %d threads): %.2f s, %d usable, peak memory %.0f MB\n",
                QThread::idealThreadCount(), Seconds(clock.elapsed()), params.imageDB.GetNumUsableImages(),
                PeakMemoryMB());

    PosterGenerator generator(&params);
    qint64 stageStart[3] = {0, 0, 0};
    double stagePeak[3] = {0, 0, 0};
    qint64 end = 0;
    bool failed = false;
    QObject::connect(&generator, &PosterGenerator::stage, [&](int s) {
        stageStart[s] = clock.elapsed();
        if (s > 0)
            stagePeak[s - 1] = PeakMemoryMB();
        ResetPeakMemory();
    });
    QObject::connect(&generator, &PosterGenerator::complete, &loop, [&] {
        end = clock.elapsed();
        stagePeak[2] = PeakMemoryMB();
        loop.quit();
    });
    QObject::connect(&generator, &PosterGenerator::failed, &loop, [&](const QString &message) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        failed = true;
        loop.quit();
    });
    clock.restart();
    ResetPeakMemory();
    generator.Generate(nullptr);
    loop.exec();
    if (failed)
        return 1;

    std::printf("mosaic %dx%d tiles, %d px, source 3000x2000, %d threads\n", params.divisions, params.divisions,
                params.targetResolution, QThread::idealThreadCount());
    std::printf("  setup and matching: %.2f s   peak memory %.0f MB\n", Seconds(stageStart[1]), stagePeak[0]);
    std::printf("  assembly:           %.2f s   peak memory %.0f MB\n", Seconds(stageStart[2] - stageStart[1]),
                stagePeak[1]);
    std::printf("  saving:             %.2f s   peak memory %.0f MB\n", Seconds(end - stageStart[2]), stagePeak[2]);
    std::printf("  total:              %.2f s\n", Seconds(end));

    // The floor. The use counts tell which pictures the mosaic took.
    QStringList used;
    for (auto it = params.imageDB.images.cbegin(); it != params.imageDB.images.cend(); ++it)
        if (it->useCount.load() > 0)
            used.append(it->cachedFilename);
    const int threads = QThread::idealThreadCount();
    std::atomic<int> unreadable{0};
    clock.restart();
    std::vector<std::thread> workers;
    for (int k = 0; k < threads; ++k)
        workers.emplace_back([&, k] {
            for (qsizetype i = k; i < used.size(); i += threads) {
                Image copy;
                if (!ReadJPEG(used.at(i), copy))
                    unreadable.fetch_add(1);
            }
        });
    for (std::thread &worker : workers)
        worker.join();
    const qint64 decodeMs = clock.elapsed();
    Image mosaic;
    if (unreadable.load() > 0 || !ReadJPEG(params.outputFilename, mosaic)) {
        std::fprintf(stderr, "cannot read the cached copies or the mosaic back\n");
        return 1;
    }
    clock.restart();
    if (!WriteJPEG(home.filePath("floor.jpg"), mosaic, 100))
        return 1;
    const qint64 encodeMs = clock.elapsed();
    const double floor = Seconds(decodeMs + encodeMs);
    const double assemblyAndSaving = Seconds(end - stageStart[1]);
    std::printf("  floor: decoding %lld cached copies %.2f s + encoding %dx%d %.2f s = %.2f s\n",
                (long long)used.size(), Seconds(decodeMs), mosaic.width, mosaic.height, Seconds(encodeMs), floor);
    std::printf("  assembly and saving: %.2f s = %.2f x the floor\n", assemblyAndSaving, assemblyAndSaving / floor);
    return 0;
}
