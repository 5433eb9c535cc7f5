// How much the mosaic looks like its source, for both arrangements, over a
// generated collection of camera-like pictures and a 4000 by 3000 source with
// a wide sky, hills, a face and detail: 60 by 60 tiles, blend 0. For each
// run it prints the PSNR of the mosaic against the source with both reduced
// to the exact mean colour of every tile, as the grid cuts each of them (one
// pixel per tile; the grid is 60 by 60 tiles for any shape of source), and
// of every tenth by tenth of a tile (ten pixels per tile), the weighted sum
// of the costs the optimal arrangement minimises with its lower bound and the
// gap, the matching time and the peak memory, as a table, with the machine's
// load beside it. With --scale it times both arrangements at 1000 by 1000
// tiles over 10,000 pictures instead, each stopped after ScaleLimitSeconds.
// With --pictures DIR it also writes the source and both mosaics of the
// repetitions 99, spacing 3 run reduced, as PNG files into DIR.
// Usage: bench_likeness [--scale] [--pictures DIR] [pictures, at least 1000]
#include "engine/Arrangement.h"
#include "engine/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "engine/MatchingAgent.h"
#include "engine/PosterGenerator.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"
#include "imaging/TileMetrics.h"
#include "PeakMemory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QImage>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct Rgb {
    double r, g, b;
};

Rgb Mix(Rgb a, Rgb b, double t)
{
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

Rgb RandomColour(QRandomGenerator &random)
{
    return {random.bounded(256.0), random.bounded(256.0), random.bounded(256.0)};
}

// A scene as a photograph shows one: a sky fading to the horizon, ground
// below it, and a few soft objects, with a little grain.
class Painter {
public:
    Painter(int w, int h) : image(w, h) {}

    void Set(int x, int y, Rgb c)
    {
        unsigned char *p = image.data + 3 * (size_t(y) * size_t(image.width) + size_t(x));
        p[0] = (unsigned char)std::clamp(c.r, 0.0, 255.0);
        p[1] = (unsigned char)std::clamp(c.g, 0.0, 255.0);
        p[2] = (unsigned char)std::clamp(c.b, 0.0, 255.0);
    }
    Rgb Get(int x, int y) const
    {
        const unsigned char *p = image.data + 3 * (size_t(y) * size_t(image.width) + size_t(x));
        return {double(p[0]), double(p[1]), double(p[2])};
    }
    void Gradient(double top, double bottom, Rgb from, Rgb to)
    {
        for (int y = int(top * image.height); y < int(bottom * image.height); ++y) {
            const double t = (y - top * image.height) / std::max(1.0, (bottom - top) * image.height);
            for (int x = 0; x < image.width; ++x)
                Set(x, y, Mix(from, to, t));
        }
    }
    // A soft-edged ellipse, centre and radii in parts of the width and height.
    void Blob(double cx, double cy, double rx, double ry, Rgb colour, double opacity)
    {
        const int x0 = std::max(0, int((cx - rx) * image.width)),
                  x1 = std::min(image.width, int((cx + rx) * image.width) + 1);
        const int y0 = std::max(0, int((cy - ry) * image.height)),
                  y1 = std::min(image.height, int((cy + ry) * image.height) + 1);
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                const double dx = (double(x) / image.width - cx) / rx, dy = (double(y) / image.height - cy) / ry;
                const double d = dx * dx + dy * dy;
                if (d < 1.0)
                    Set(x, y, Mix(Get(x, y), colour, opacity * std::min(1.0, (1.0 - d) * 4.0)));
            }
    }
    // Hills: below a wavy line, the ground's colour.
    void Hills(double level, double height, double waves, double phase, Rgb colour)
    {
        for (int x = 0; x < image.width; ++x) {
            const double t = double(x) / image.width;
            const int top = int((level + height * std::sin(t * waves + phase)) * image.height);
            for (int y = std::max(0, top); y < image.height; ++y)
                Set(x, y,
                    Mix(colour, {colour.r * 0.5, colour.g * 0.5, colour.b * 0.5}, double(y - top) / image.height));
        }
    }
    void Grain(QRandomGenerator &random, int amount)
    {
        for (size_t i = 0; i < image.ByteCount(); ++i)
            image.data[i] =
                (unsigned char)std::clamp(int(image.data[i]) + int(random.bounded(2 * amount + 1)) - amount, 0, 255);
    }

    Image image;
};

Image CameraPicture(QRandomGenerator &random, int w, int h)
{
    Painter p(w, h);
    const Rgb sky = RandomColour(random);
    const double horizon = 0.2 + random.bounded(0.7);
    p.Gradient(0, 1, sky, Mix(sky, {255, 255, 255}, random.bounded(0.8)));
    if (random.bounded(4) != 0)
        p.Hills(horizon, random.bounded(0.1), random.bounded(12.0), random.bounded(6.3), RandomColour(random));
    for (int i = int(random.bounded(5)); i > 0; --i)
        p.Blob(random.bounded(1.0), random.bounded(1.0), 0.05 + random.bounded(0.3), 0.05 + random.bounded(0.3),
               RandomColour(random), 0.5 + random.bounded(0.5));
    p.Grain(random, 6);
    return std::move(p.image);
}

// The source: a wide blue sky, hills, a face, and a flower field.
Image Source(int w, int h)
{
    QRandomGenerator random(7);
    Painter p(w, h);
    p.Gradient(0, 1, {60, 110, 200}, {200, 220, 240});
    p.Blob(0.25, 0.2, 0.12, 0.06, {245, 245, 250}, 0.8);
    p.Blob(0.7, 0.12, 0.15, 0.05, {235, 238, 245}, 0.7);
    p.Hills(0.55, 0.05, 9.0, 1.0, {70, 120, 60});
    p.Hills(0.7, 0.03, 15.0, 2.0, {110, 150, 50});
    for (int i = 0; i < 80; ++i)
        p.Blob(random.bounded(1.0), 0.75 + random.bounded(0.25), 0.01, 0.012, RandomColour(random), 0.9);
    p.Blob(0.62, 0.48, 0.09, 0.16, {80, 50, 30}, 1.0);      // hair
    p.Blob(0.62, 0.52, 0.07, 0.12, {224, 172, 140}, 1.0);   // face
    p.Blob(0.6, 0.8, 0.14, 0.2, {180, 40, 40}, 1.0);        // shirt
    p.Grain(random, 4);
    return std::move(p.image);
}

// Where the cells lie along one side: each of count tiles, cut as the grid
// cuts this image, split into cells parts of equal size (to a pixel).
std::vector<int> CellEdges(int length, int count, int cells)
{
    int *sizes, *offsets;
    MatchData().TileSizesAndOffsets(length, count, &sizes, &offsets);
    std::vector<int> edges;
    for (int i = 0; i < count; ++i)
        for (int c = 0; c < cells; ++c)
            edges.push_back(offsets[i] + sizes[i] * c / cells);
    edges.push_back(length);
    delete[] sizes;
    delete[] offsets;
    return edges;
}

// The exact mean colour of every cell, cells by cells of them a tile, row by
// row, three channels each.
std::vector<double> CellMeans(const Image &image, int columns, int rows, int cells)
{
    const std::vector<int> xs = CellEdges(image.width, columns, cells);
    const std::vector<int> ys = CellEdges(image.height, rows, cells);
    const size_t across = xs.size() - 1;
    std::vector<double> means(across * (ys.size() - 1) * 3, 0.0);
    for (size_t cy = 0; cy + 1 < ys.size(); ++cy) {
        double *row = means.data() + cy * across * 3;
        for (int y = ys[cy]; y < ys[cy + 1]; ++y) {
            const unsigned char *p = image.data + size_t(y) * size_t(image.width) * 3;
            for (size_t cx = 0; cx < across; ++cx)
                for (int x = xs[cx]; x < xs[cx + 1]; ++x)
                    for (int k = 0; k < 3; ++k)
                        row[cx * 3 + size_t(k)] += p[size_t(x) * 3 + size_t(k)];
        }
        for (size_t cx = 0; cx < across; ++cx)
            for (int k = 0; k < 3; ++k)
                row[cx * 3 + size_t(k)] /= double(xs[cx + 1] - xs[cx]) * double(ys[cy + 1] - ys[cy]);
    }
    return means;
}

// Both images reduced to the mean of every cell, cells by cells a tile of the
// grid as it cuts each of them, and compared.
double Psnr(const Image &a, const Image &b, int columns, int rows, int cells)
{
    const std::vector<double> x = CellMeans(a, columns, rows, cells);
    const std::vector<double> y = CellMeans(b, columns, rows, cells);
    double squares = 0;
    for (size_t i = 0; i < x.size(); ++i)
        squares += (x[i] - y[i]) * (x[i] - y[i]);
    return 10.0 * std::log10(255.0 * 255.0 / std::max(squares / double(x.size()), 1e-9));
}

// The sum of the chosen pictures' costs as the optimal arrangement weighs
// them.
double WeightedSum(const ImagePosterParameters &params, const MatchData &data, const Image &source)
{
    int *widths, *lefts, *heights, *tops;
    data.TileSizesAndOffsets(source.width, data.numTilesX, &widths, &lefts);
    data.TileSizesAndOffsets(source.height, data.numTilesY, &heights, &tops);
    double sum = 0;
    for (auto it = data.tileMatches.cbegin(); it != data.tileMatches.cend(); ++it) {
        const Image *key = params.imageDB.GetKeyImage(it.key());
        for (const MatchData::TileMatch &m : *it) {
            Image tile;
            tile.Extract(source, lefts[m.x], tops[m.y], widths[m.x], heights[m.y]);
            tile.ResizeToKey();
            const int d = m.rotation == Rotation::Unturned          ? DifferenceSameOrientation(tile, *key)
                          : m.rotation == Rotation::DrawTurnedRight ? DifferenceRotateLeft(tile, *key)
                                                                    : DifferenceRotateRight(tile, *key);
            const uint32_t mean = KeyIndex::MeanTerm(MatchingAgent::MeanColourWeight, KeyIndex::SumChannels(tile.data),
                                                     KeyIndex::SumChannels(key->data));
            sum += double(MatchingAgent::Cost(uint32_t(d) + mean,
                                              data.importance[size_t(m.y) * size_t(data.numTilesX) + size_t(m.x)]));
        }
    }
    delete[] widths;
    delete[] lefts;
    delete[] heights;
    delete[] tops;
    return sum;
}

struct Run {
    double psnr1 = 0, psnr10 = 0, sum = 0, matchingSeconds = 0, peakMB = 0;
    long long bound = -1;
    int filled = 0;
    bool stopped = false;   // at the time limit
    Image mosaic;
};

// False when the run failed, or was stopped after limitSeconds (0: none).
bool Generate(ImagePosterParameters &params, Run &run, const Image &source, int limitSeconds = 0)
{
    PosterGenerator generator(&params);
    QEventLoop loop;
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, &loop, [&] {
        generator.Cancel();
        run.stopped = true;
        loop.quit();
    });
    if (limitSeconds > 0)
        limit.start(limitSeconds * 1000);
    QElapsedTimer clock;
    qint64 matchingStart = 0;
    bool failed = false;
    QObject::connect(&generator, &PosterGenerator::stage, [&](int s) {
        if (s == 0)
            matchingStart = clock.elapsed();
        if (s == 1) {
            // Assembly starts after a pause of 10 ms.
            run.matchingSeconds = double(clock.elapsed() - matchingStart - 10) / 1000.0;
            run.peakMB = PeakMemoryMB();
        }
    });
    QObject::connect(&generator, &PosterGenerator::complete, &loop, &QEventLoop::quit);
    QObject::connect(&generator, &PosterGenerator::failed, &loop, [&](const QString &message) {
        std::fprintf(stderr, "%s\n", qPrintable(message));
        failed = true;
        loop.quit();
    });
    ResetPeakMemory();
    clock.start();
    generator.Generate(nullptr);
    loop.exec();
    if (failed || run.stopped || !ReadJPEG(params.outputFilename, run.mosaic))
        return false;
    const MatchData &data = generator.Matches();
    run.filled = 0;
    for (const auto &list : data.tileMatches)
        run.filled += int(list.size());
    run.sum = WeightedSum(params, data, source);
    if (data.arrangement)
        run.bound = data.arrangement->Bound();
    run.psnr1 = Psnr(run.mosaic, source, data.numTilesX, data.numTilesY, 1);
    run.psnr10 = Psnr(run.mosaic, source, data.numTilesX, data.numTilesY, 10);
    return true;
}

void AddCollection(ImagePosterParameters &params, int count, int side)
{
    QRandomGenerator random(20261206);
    params.imageDB.strategy = ImageDB::StrategyFastest;
    for (int i = 0; i < count; ++i) {
        const int shape = i % 4;   // landscape, landscape, portrait, square
        const int w = shape == 2 ? side * 3 / 4 : side;
        const int h = shape == 3 ? side : shape == 2 ? side : side * 3 / 4;
        const Image picture = CameraPicture(random, w, h);
        const QString name = QString("/collection/p%1.jpg").arg(i, 5, 10, QChar('0'));
        params.imageDB.Add(name);
        params.imageDB.SetSourceImage(name, picture);
        auto *key = new Image(picture);
        key->ResizeToKey();
        params.imageDB.SetKeyImage(name, key, w > h ? Landscape : Portrait);
    }
}

bool SavePng(const Image &image, int w, int h, const QString &path)
{
    Image reduced(image);
    reduced.Resize(w, h, true);
    const QImage picture(reduced.data, reduced.width, reduced.height, 3 * reduced.width, QImage::Format_RGB888);
    return picture.save(path);
}

// The machine's load over the last minute, five and fifteen, as timings
// under load run long.
QString Load()
{
    QFile file("/proc/loadavg");
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(' ', 0, 2) : QString("unknown");
}

// Twice the time the optimal arrangement should take at this scale.
constexpr int ScaleLimitSeconds = 120;

int Scale()
{
    QTemporaryDir home;
    ImagePosterParameters params;
    AddCollection(params, 10000, 64);
    params.sourceImage = new Image(Source(4000, 3000));
    params.divisions = 1000;
    params.repeats = 5;
    RaiseRepeatsToFill(params.divisions, params.imageDB.GetNumUsableImages(), params.repeats);
    params.blend = 0;
    params.targetResolution = 2000;
    params.outputFilename = home.filePath("mosaic.jpg");
    const double before = PeakMemoryMB();
    for (const bool optimal : {false, true}) {
        params.optimalArrangement = optimal;
        Run run;
        const char *mode = optimal ? "optimal" : "ordered";
        if (!Generate(params, run, *params.sourceImage, ScaleLimitSeconds)) {
            if (!run.stopped)
                return 1;
            std::printf("1000x1000 tiles, 10000 pictures, repetitions %d, %s, load %s: stopped after %d s\n",
                        params.repeats, mode, qPrintable(Load()), ScaleLimitSeconds);
            continue;
        }
        // The ordered run has no bound of its own.
        const QString gap =
            run.bound < 0
                ? QString()
                : QString(", bound %1, gap %2%")
                      .arg(run.bound)
                      .arg(100.0 * (run.sum - double(run.bound)) / std::max(1.0, double(run.bound)), 0, 'f', 2);
        std::printf("1000x1000 tiles, 10000 pictures, repetitions %d, %s, load %s: matching %.1f s, peak memory "
                    "%.0f MB (%.0f MB before the run), weighted sum %.0f%s, %d tiles filled\n",
                    params.repeats, mode, qPrintable(Load()), run.matchingSeconds, run.peakMB, before, run.sum,
                    qPrintable(gap), run.filled);
    }
    return 0;
}

}   // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toLocal8Bit());
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.contains("--scale"))
        return Scale();
    const qsizetype picturesAt = arguments.indexOf("--pictures");
    const QString pictureDir = picturesAt > 0 ? arguments.value(picturesAt + 1) : QString();
    bool numberGiven = false;
    const int given = arguments.last().toInt(&numberGiven);
    const int count = std::max(1000, numberGiven ? given : 1000);

    ImagePosterParameters params;
    AddCollection(params, count, 160);
    const Image source = Source(4000, 3000);
    params.sourceImage = new Image(source);
    params.blend = 0;
    params.targetResolution = 1200;
    params.outputFilename = home.filePath("mosaic.jpg");
    std::printf("%d pictures, 60x60 tiles, blend 0, %d threads, load %s; PSNR against the source at 1 and 10 px "
                "per tile\n\n",
                count, QThread::idealThreadCount(), qPrintable(Load()));
    std::printf(
        "| repeats | spacing | mode | PSNR 1 px | PSNR 10 px | weighted sum | bound | gap | matching | peak MB |\n"
        "|---|---|---|---|---|---|---|---|---|---|\n");
    const int settings[][2] = {{5, 0}, {99, 0}, {99, 2}, {99, 3}, {99, 5}};
    for (const auto &setting : settings) {
        Run runs[2];
        for (int optimal = 0; optimal < 2; ++optimal) {
            params.repeats = setting[0];
            RaiseRepeatsToFill(params.divisions, count, params.repeats);
            params.spacing = setting[1];
            params.optimalArrangement = optimal == 1;
            if (!Generate(params, runs[optimal], source))
                return 1;
        }
        // The optimal arrangement's bound holds for any arrangement of the same problem.
        const long long bound = runs[1].bound;
        for (int optimal = 0; optimal < 2; ++optimal) {
            const Run &run = runs[optimal];
            std::printf("| %d | %d | %s | %.2f | %.2f | %.4g | %.4g | %.2f%% | %.3f s | %.0f |%s\n", setting[0],
                        setting[1], optimal ? "optimal" : "ordered", run.psnr1, run.psnr10, run.sum, double(bound),
                        100.0 * (run.sum - double(bound)) / std::max(1.0, double(bound)), run.matchingSeconds,
                        run.peakMB, run.filled < 3600 ? qPrintable(QString(" %1 tiles filled").arg(run.filled)) : "");
        }
        if (!pictureDir.isEmpty() && setting[0] == 99 && setting[1] == 3
            && !(SavePng(source, 400, 300, pictureDir + "/likeness-source.png")
                 && SavePng(runs[0].mosaic, 400, 300, pictureDir + "/likeness-ordered.png")
                 && SavePng(runs[1].mosaic, 400, 300, pictureDir + "/likeness-optimal-spacing3.png")))
            return 1;
    }
    return 0;
}
