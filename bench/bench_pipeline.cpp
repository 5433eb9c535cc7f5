// Times the whole pipeline at the default settings (60 by 60 tiles, 6000
// pixels, five uses per picture, blend 20) over a generated collection.
// Usage: bench_pipeline [pictures, at least 2000]
#include "app/ImagePosterParameters.h"
#include "engine/PosterGenerator.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

namespace {
// A picture with a colour gradient and a few blocks, so keys differ.
Image MakePicture(QRandomGenerator &random, int w, int h)
{
    Image image(w, h);
    const int base[3] = {int(random.bounded(256)), int(random.bounded(256)), int(random.bounded(256))};
    const int slope[3] = {int(random.bounded(-60, 61)), int(random.bounded(-60, 61)), int(random.bounded(-60, 61))};
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c)
                image.data[3 * (size_t(y) * w + x) + c] =
                    std::clamp(base[c] + slope[c] * (x + y) / (w + h), 0, 255);
    for (int block = 0; block < 4; ++block) {
        const int bw = random.bounded(w / 6, w / 2), bh = random.bounded(h / 6, h / 2);
        const int x0 = random.bounded(w - bw), y0 = random.bounded(h - bh);
        const unsigned char colour[3] = {(unsigned char)random.bounded(256), (unsigned char)random.bounded(256),
                                         (unsigned char)random.bounded(256)};
        for (int y = y0; y < y0 + bh; ++y)
            for (int x = x0; x < x0 + bw; ++x)
                std::copy(colour, colour + 3, image.data + 3 * (size_t(y) * w + x));
    }
    return image;
}

double Seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}
}

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
    for (int i = 0; i < count; ++i) {
        const bool portrait = i % 3 == 0;
        const Image picture = MakePicture(random, portrait ? 240 : 320, portrait ? 320 : 240);
        if (!WriteJPEG(QString("%1/p%2.jpg").arg(collection).arg(i, 5, 10, QChar('0')), picture, 90)) {
            std::fprintf(stderr, "cannot write the collection\n");
            return 1;
        }
    }
    std::printf("collection: %d pictures of 320x240 written in %.2f s\n", count, Seconds(clock.elapsed()));

    ImagePosterParameters params;
    params.sourceImage = new Image(MakePicture(random, 3000, 2000));
    params.outputFilename = home.filePath("mosaic.jpg");

    QEventLoop loop;
    QObject::connect(&params.imageDB, &ImageDB::complete, &loop, &QEventLoop::quit);
    clock.restart();
    params.imageDB.Update({collection}, {}, ImageDB::StrategyFast, params.numThreads);
    if (params.imageDB.IsUpdating())
        loop.exec();
    std::printf("database update (fast strategy, %d threads): %.2f s, %d usable\n",
                QThread::idealThreadCount(), Seconds(clock.elapsed()), params.imageDB.GetNumUsableImages());

    PosterGenerator generator(&params);
    qint64 stageStart[3] = {0, 0, 0};
    qint64 end = 0;
    bool failed = false;
    QObject::connect(&generator, &PosterGenerator::stage, [&](int s) { stageStart[s] = clock.elapsed(); });
    QObject::connect(&generator, &PosterGenerator::complete, &loop, [&] {
        end = clock.elapsed();
        loop.quit();
    });
    QObject::connect(&generator, &PosterGenerator::failed, &loop, [&](const QString &message) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        failed = true;
        loop.quit();
    });
    clock.restart();
    generator.Generate(nullptr);
    loop.exec();
    if (failed)
        return 1;

    std::printf("mosaic %dx%d tiles, %d px, source 3000x2000, %d threads\n", params.divisions, params.divisions,
                params.targetResolution, QThread::idealThreadCount());
    std::printf("  setup and matching: %.2f s\n", Seconds(stageStart[1]));
    std::printf("  assembly:           %.2f s\n", Seconds(stageStart[2] - stageStart[1]));
    std::printf("  saving:             %.2f s\n", Seconds(end - stageStart[2]));
    std::printf("  total:              %.2f s\n", Seconds(end));
    return 0;
}
