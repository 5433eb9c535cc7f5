// The first run: makes the sample collection and turns its source into a
// mosaic as make-mosaic.sh does (default settings, fastest strategy), at 6000
// and at 30000 pixels, each once without and once with the zoomable view's
// pyramid. Tells the time the sample takes to make (aim: under 20 s), how
// clearly the mosaic shows its source: the PSNR of the mosaic against the
// source at one pixel per tile (aim: at least 21 dB at blend 20), and what
// the pyramid costs: its time beside saving the JPEG (aim: at most twice)
// and the saving stage's memory beside the run's peak (aim: no higher). The
// sample's pictures are photo-like, grain included, so the encoders get the
// work a real mosaic gives them.
// Usage: bench_sample [blend, 0 to 50] [pixels, instead of both]
#include "CpuTime.h"
#include "PeakMemory.h"
#include "cli/SampleMaker.h"
#include "engine/ImagePosterParameters.h"
#include "engine/LikenessReport.h"
#include "engine/MatchData.h"
#include "engine/MosaicLikeness.h"
#include "engine/PosterGenerator.h"
#include "engine/PyramidWriterAgent.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {
// The mean colour of every tile, row by row.
std::vector<double> TileMeans(const Image &image, int columns, int rows)
{
    int *widths = nullptr, *lefts = nullptr, *heights = nullptr, *tops = nullptr;
    MatchData grid;
    grid.TileSizesAndOffsets(image.width, columns, &widths, &lefts);
    grid.TileSizesAndOffsets(image.height, rows, &heights, &tops);
    std::vector<double> means;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            double sum[3] = {0, 0, 0};
            for (int y = tops[row]; y < tops[row] + heights[row]; ++y)
                for (int x = lefts[column]; x < lefts[column] + widths[column]; ++x)
                    for (int c = 0; c < 3; ++c)
                        sum[c] += image.data[3 * (size_t(y) * image.width + x) + c];
            for (double s : sum)
                means.push_back(s / (double(widths[column]) * heights[row]));
        }
    }
    delete[] widths;
    delete[] lefts;
    delete[] heights;
    delete[] tops;
    return means;
}

double Psnr(const Image &a, const Image &b, int tiles)
{
    const std::vector<double> x = TileMeans(a, tiles, tiles), y = TileMeans(b, tiles, tiles);
    double squares = 0.0;
    for (size_t i = 0; i < x.size(); ++i)
        squares += (x[i] - y[i]) * (x[i] - y[i]);
    return 10.0 * std::log10(255.0 * 255.0 / (squares / double(x.size())));
}

double Seconds(qint64 ms)
{
    return double(ms) / 1000.0;
}

struct Figures {
    double seconds[3] = {0, 0, 0};   // matching, assembly, saving
    double peak[3] = {0, 0, 0};      // MB
    double pyramidSeconds = 0;
};

// One mosaic, with its pyramid when pyramid names a folder; false when it
// could not be made.
bool Run(ImagePosterParameters &params, const QString &pyramid, Figures &figures)
{
    PosterGenerator generator(&params);
    generator.SetPyramidFolder(pyramid);
    QEventLoop loop;
    QElapsedTimer clock, pyramidClock;
    qint64 start[3] = {0, 0, 0};
    bool failed = false;
    QObject::connect(&generator, &PosterGenerator::stage, [&](int s) {
        start[s] = clock.elapsed();
        if (s > 0)
            figures.peak[s - 1] = PeakMemoryMB();
        ResetPeakMemory();
    });
    QObject::connect(&generator.PyramidWriter(), &QThread::started, [&] { pyramidClock.start(); });
    QObject::connect(&generator.PyramidWriter(), &QThread::finished,
                     [&] { figures.pyramidSeconds = Seconds(pyramidClock.elapsed()); });
    QObject::connect(&generator, &PosterGenerator::complete, &loop, &QEventLoop::quit);
    QObject::connect(&generator, &PosterGenerator::failed, &loop, [&](const QString &message) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        failed = true;
        loop.quit();
    });
    clock.start();
    ResetPeakMemory();
    generator.Generate(nullptr);
    loop.exec();
    figures.peak[2] = PeakMemoryMB();
    figures.seconds[0] = Seconds(start[1]);
    figures.seconds[1] = Seconds(start[2] - start[1]);
    figures.seconds[2] = Seconds(clock.elapsed() - start[2]);
    if (failed || (!pyramid.isEmpty() && !generator.PyramidWriter().Succeeded()))
        return false;
    if (pyramid.isEmpty())
        std::printf("  %s\n", qPrintable(LikenessSummary(
                                  MosaicLikeness::Measure(generator.Matches(), *params.sourceImage, params.imageDB))));
    return true;
}

// The mosaic without and with the pyramid, which is cut once the JPEG file
// is saved.
bool Measure(ImagePosterParameters &params, const QString &dir)
{
    std::printf("%d pixels, %dx%d tiles, repeats %d, blend %d\n", params.targetResolution, params.divisions,
                params.divisions, params.repeats, params.blend);
    Figures plain, viewed;
    if (!Run(params, QString(), plain))
        return false;
    // The reader refuses pictures above 1 GiB, the largest mosaics among them.
    Image mosaic;
    if (ReadJPEG(params.outputFilename, mosaic))
        std::printf("  PSNR at one pixel per tile %.2f dB (aim: 21)\n",
                    Psnr(*params.sourceImage, mosaic, params.divisions));
    mosaic = Image();
    if (!Run(params, dir + "/view", viewed))
        return false;
    const double runPeak = *std::max_element(plain.peak, plain.peak + 3);
    // The second of two runs in one process starts a few hundred kilobytes
    // higher, so its saving is also set beside its own stages before it.
    const double ownPeak = std::max(viewed.peak[0], viewed.peak[1]);
    std::printf("  matching %.2f s, peak memory %.1f MB; assembly %.2f s, peak %.1f MB; saving %.2f s, peak %.1f MB\n",
                plain.seconds[0], plain.peak[0], plain.seconds[1], plain.peak[1], plain.seconds[2], plain.peak[2]);
    std::printf("  saving with the pyramid %.2f s, peak %.1f MB (aim: no higher than the run's peak, %.1f MB without "
                "the pyramid, %.1f MB before saving); the pyramid %.2f s = %.2f x saving the JPEG (aim: at most 2)\n",
                viewed.seconds[2], viewed.peak[2], runPeak, ownPeak, viewed.pyramidSeconds,
                viewed.pyramidSeconds / plain.seconds[2]);
    return true;
}
}   // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    // The tile cache goes below the home directory; keep it out of the real one.
    qputenv("HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    const QString dir = home.filePath("sample");

    QElapsedTimer clock;
    clock.start();
    const double cpuStart = CpuSeconds();
    QString error;
    if (!MakeSample(dir, error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("sample: %d pictures and a %dx%d source made in %.2f s, cpu %.2f s (aim: under 20 s)\n",
                SamplePictureCount, SampleSourceWidth, SampleSourceHeight, Seconds(clock.elapsed()),
                CpuSeconds() - cpuStart);

    ImagePosterParameters params;
    params.sourceImage = new Image;
    if (!ReadJPEG(dir + "/source.jpg", *params.sourceImage))
        return 1;
    params.outputFilename = dir + "/mosaic.jpg";
    if (argc > 1)
        params.blend = std::clamp(atoi(argv[1]), MinBlend, MaxBlend);
    QEventLoop loop;
    QObject::connect(&params.imageDB, &ImageDB::complete, &loop, &QEventLoop::quit);
    params.imageDB.Update({dir + "/collection"}, {}, ImageDB::StrategyFastest, params.numThreads);
    if (params.imageDB.IsUpdating())
        loop.exec();
    RaiseRepeatsToFill(params.divisions, params.imageDB.GetNumUsableImages(), params.repeats);

    std::vector<int> resolutions = {6000, 30000};
    if (argc > 2)
        resolutions.assign(1, std::clamp(atoi(argv[2]), MinResolution, MaxResolution));
    for (int resolution : resolutions) {
        params.targetResolution = resolution;
        if (!Measure(params, dir))
            return 1;
    }
    return 0;
}
