// Times ImageDB::Update on a generated collection: from an empty database and
// again over the unchanged collection, against decoding the same files alone
// on the same number of threads.
//
//   bench_update [pictures (300)] [threads (ideal count)]

#include "imagedb/ImageDB.h"
#include "imaging/JPEG.h"
#include "CpuTime.h"
#include "PeakMemory.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

// Sizes from 2 to 12 megapixels in both orientations, repeating.
void PictureSize(int i, int &width, int &height)
{
    const int megapixels = 2 + i % 11;
    const double aspect = i % 3 == 0 ? 0.75 : 4.0 / 3.0;
    width = int(std::sqrt(megapixels * 1e6 * aspect));
    height = int(megapixels * 1e6 / width);
}

// Smooth colour ramps with a little texture, which encode quickly and decode
// at the cost of ordinary photographs.
bool MakePicture(const QString &path, int i)
{
    int width, height;
    PictureSize(i, width, height);
    Image picture(width, height);
    if (!picture.data)
        return false;
    for (int y = 0; y < height; ++y) {
        unsigned char *row = picture.data + size_t(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            row[3 * x] = static_cast<unsigned char>(x * 255 / width + i);
            row[3 * x + 1] = static_cast<unsigned char>(y * 255 / height);
            row[3 * x + 2] = static_cast<unsigned char>(((x ^ y) & 15) * 8 + i * 13);
        }
    }
    return WriteJPEG(path, picture, 90);
}

// Runs job(i) for every i below count, item i on worker i % threads.
template <typename Job> void Interleaved(int count, int threads, const Job &job)
{
    std::vector<std::thread> workers;
    for (int k = 0; k < threads; ++k) {
        workers.emplace_back([&job, count, threads, k] {
            for (int i = k; i < count; i += threads)
                job(i);
        });
    }
    for (std::thread &worker : workers)
        worker.join();
}

double TimeUpdate(ImageDB &db, const QString &dir, ImageDB::SourceImageStrategy strategy, int threads)
{
    QEventLoop loop;
    QObject::connect(&db, &ImageDB::complete, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    db.Update({dir}, {}, strategy, threads);
    if (db.IsUpdating())
        loop.exec();
    return timer.nsecsElapsed() / 1e9;
}

}   // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? atoi(argv[1]) : 300;
    const int threads = argc > 2 ? atoi(argv[2]) : qMax(QThread::idealThreadCount(), 1);
    if (count < 20 || threads < 1) {
        fprintf(stderr, "usage: bench_update [pictures, at least 20] [threads]\n");
        return 2;
    }

    // The cache files go into a home directory of the benchmark's own.
    QTemporaryDir work;
    if (!work.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(work.path()));
    const QString collection = work.filePath("collection");
    QDir().mkpath(collection);

    QStringList files;
    double megapixels = 0;
    for (int i = 0; i < count; ++i) {
        files.append(QDir(collection).absoluteFilePath(QString("p%1.jpg").arg(i, 4, 10, QChar('0'))));
        int width, height;
        PictureSize(i, width, height);
        megapixels += width * double(height) / 1e6;
    }
    printf("Generating %d pictures, %.0f megapixels in all ...\n", count, megapixels);
    fflush(stdout);
    QElapsedTimer timer;
    timer.start();
    std::atomic<int> failed{0};
    Interleaved(count, threads, [&](int i) {
        if (!MakePicture(files.at(i), i))
            failed.fetch_add(1);
    });
    if (failed.load() > 0) {
        fprintf(stderr, "could not write %d pictures\n", failed.load());
        return 1;
    }
    printf("  generated in %.1f s\n\n", timer.nsecsElapsed() / 1e9);

    timer.restart();
    ResetPeakMemory();
    const double decodeCpuStart = CpuSeconds();
    std::atomic<int> decoded{0};
    Interleaved(count, threads, [&](int i) {
        Image picture;
        if (ReadJPEG(files.at(i), picture))
            decoded.fetch_add(1);
    });
    const double decodeSeconds = timer.nsecsElapsed() / 1e9;
    const double decodeCpu = CpuSeconds() - decodeCpuStart;
    printf("%d threads\n", threads);
    printf("%-34s %8.2f s %8.1f pictures/s   peak memory %.0f MB, cpu %.2f s\n", "decoding alone", decodeSeconds,
           count / decodeSeconds, PeakMemoryMB(), decodeCpu);

    const struct {
        ImageDB::SourceImageStrategy strategy;
        const char *name;
    } strategies[] = {
        {ImageDB::StrategyNone, "None"}, {ImageDB::StrategyFast, "Fast"}, {ImageDB::StrategyFastest, "Fastest"}};
    for (const auto &run : strategies) {
        ImageDB db;
        ResetPeakMemory();
        const double cpuStart = CpuSeconds();
        const double first = TimeUpdate(db, collection, run.strategy, threads);
        const double cpu = CpuSeconds() - cpuStart;
        const double peak = PeakMemoryMB();
        if (db.GetNumUsableImages() != count || decoded.load() != count) {
            fprintf(stderr, "only %d of %d pictures usable\n", db.GetNumUsableImages(), count);
            return 1;
        }
        const double again = TimeUpdate(db, collection, run.strategy, threads);
        printf("%-34s %8.2f s %8.1f pictures/s   %.2f x decoding time, peak memory %.0f MB, "
               "cpu %.2f x decoding\n",
               qPrintable(QString("update from empty, %1").arg(run.name)), first, count / first, first / decodeSeconds,
               peak, cpu / decodeCpu);
        printf("%-34s %8.3f s %8.0f pictures/s   %.4f x decoding time\n",
               qPrintable(QString("update unchanged, %1").arg(run.name)), again, count / again, again / decodeSeconds);
    }
    return 0;
}
