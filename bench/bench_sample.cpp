// Makes the sample collection and turns its source into a mosaic as
// make-mosaic.sh does (default settings, fastest strategy), and tells how
// clearly the mosaic shows its source: the PSNR of the mosaic against the
// source at one pixel per tile, the time the sample takes to make, and the
// likeness summary. Aim: at least 21 dB at blend 20, under 20 s.
// Usage: bench_sample [blend, 0 to 50]
#include "CpuTime.h"
#include "cli/SampleMaker.h"
#include "engine/ImagePosterParameters.h"
#include "engine/LikenessReport.h"
#include "engine/MatchData.h"
#include "engine/MosaicLikeness.h"
#include "engine/PosterGenerator.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
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
                SamplePictureCount, SampleSourceWidth, SampleSourceHeight, double(clock.elapsed()) / 1000.0,
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

    PosterGenerator generator(&params);
    bool failed = false;
    QObject::connect(&generator, &PosterGenerator::complete, &loop, &QEventLoop::quit);
    QObject::connect(&generator, &PosterGenerator::failed, &loop, [&](const QString &message) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        failed = true;
        loop.quit();
    });
    generator.Generate(nullptr);
    loop.exec();
    Image mosaic;
    if (failed || !ReadJPEG(params.outputFilename, mosaic))
        return 1;

    const int tiles = params.divisions;
    const std::vector<double> a = TileMeans(*params.sourceImage, tiles, tiles), b = TileMeans(mosaic, tiles, tiles);
    double squares = 0.0;
    for (size_t i = 0; i < a.size(); ++i)
        squares += (a[i] - b[i]) * (a[i] - b[i]);
    const double psnr = 10.0 * std::log10(255.0 * 255.0 / (squares / double(a.size())));
    std::printf("mosaic %dx%d tiles, %d px, repeats %d, blend %d: PSNR at one pixel per tile %.2f dB (aim: 21)\n",
                tiles, tiles, params.targetResolution, params.repeats, params.blend, psnr);
    std::printf("%s\n", qPrintable(LikenessSummary(
                            MosaicLikeness::Measure(generator.Matches(), *params.sourceImage, params.imageDB))));
    return 0;
}
