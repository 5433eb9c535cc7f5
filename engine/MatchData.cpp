#include "engine/MatchData.h"

#include "engine/Notice.h"
#include "imaging/Image.h"
#include "imaging/TileMetrics.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <vector>

namespace {
// The matching order: tiles with the highest weighted sum are matched first
// and so get the pictures that fit best, before their uses run out.
constexpr double EdgeWeight = 0.25;       // detail shows a poor match most
constexpr double SkinWeight = 0.74;       // faces matter most to the viewer
constexpr double DistanceWeight = 0.01;   // among tiles alike in both, the outer first
// Scores are map keys: a tile whose score is taken already goes behind it by
// a random amount up to this.
constexpr double JitterRange = 0.0005;
// The skin count becomes a share of the tile's pixels at key size.
constexpr double PerKeyPixel = 1.0 / (Image::COMPARISON_X_SIZE * Image::COMPARISON_Y_SIZE);
}   // namespace

void MatchData::TileSizesAndOffsets(int length, int count, int **sizes, int **offsets) const
{
    const int n = count > 0 ? count : 0;
    *sizes = new int[n];
    *offsets = new int[n];
    if (n == 0)
        return;

    const int base = length / n;
    const int rem = length % n;
    for (int i = 0; i < n; ++i)
        (*sizes)[i] = base;

    // The spare pixels go to the first and last tile and are spread evenly in
    // between, so both edges of the picture are treated alike.
    if (rem == 1) {
        (*sizes)[int(0.5f * float(n - 1))] += 1;
    } else if (rem >= 2) {
        for (int i = 0; i < rem; ++i)
            (*sizes)[int(float(i) / float(rem - 1) * float(n - 1))] += 1;
    }

    (*offsets)[0] = 0;
    for (int i = 1; i < n; ++i)
        (*offsets)[i] = (*offsets)[i - 1] + (*sizes)[i - 1];
}

void MatchData::Setup(const Image &image, int numX, int numY)
{
    numTilesX = numX;
    numTilesY = numY;
    tileOrder.clear();
    tileMatches.clear();
    if (numX < 1 || numY < 1)
        return;

    const int cell = Image::COMPARISON_X_SIZE;
    const size_t tileCount = size_t(numX) * size_t(numY);

    // Scores are taken at 16x16 pixels per tile, never on the full picture.
    Image scaled(image);
    scaled.Resize(cell * numX, cell * numY, true);
    if (!scaled.data)
        return;

    std::vector<int> skin(tileCount, 0);
    std::vector<qint64> edges(tileCount, 0);
    const auto tileOf = [&](int x, int y) { return size_t(y / cell) * size_t(numX) + size_t(x / cell); };

    for (int y = 0; y < scaled.height; ++y) {
        const unsigned char *row = scaled.data + size_t(y) * size_t(scaled.width) * 3;
        for (int x = 0; x < scaled.width; ++x) {
            const color3 c{row[3 * x], row[3 * x + 1], row[3 * x + 2]};
            if (FleshTone(c))
                ++skin[tileOf(x, y)];
        }
    }

    DrawEdges(scaled);
    for (int y = 0; y < scaled.height; ++y) {
        const unsigned char *row = scaled.data + size_t(y) * size_t(scaled.width) * 3;
        for (int x = 0; x < scaled.width; ++x)
            edges[tileOf(x, y)] += row[3 * x];
    }
    qint64 maxEdge = 0;
    for (qint64 e : edges)
        maxEdge = std::max(maxEdge, e);

    const int halfX = numX / 2;
    const int halfY = numY / 2;
    const double reference = std::sqrt(double(halfX + 1) * (halfX + 1) + double(halfY + 1) * (halfY + 1));

    std::map<double, QPair<int, int>> scored;
    for (int r = 0; r < numY; ++r) {
        for (int c = 0; c < numX; ++c) {
            const size_t t = size_t(r) * size_t(numX) + size_t(c);
            const double d = std::sqrt(double(c - halfX) * (c - halfX) + double(r - halfY) * (r - halfY)) / reference
                             * DistanceWeight;
            // A picture without any edge response has nothing to rank by.
            const double e = maxEdge > 0 ? double(edges[t]) / double(maxEdge) * EdgeWeight : 0.0;
            const double f = skin[t] * PerKeyPixel * SkinWeight;
            const double v = e + f + d;
            double key = 1.0 - v * v;
            while (scored.count(key))
                key = (1.0 - v * v) + drand48() * JitterRange;
            scored.emplace(key, qMakePair(r, c));
        }
    }

    if (scored.size() < tileCount)
        ShowNotice("Tile setup error", QString("Only %1/%2 tiles were scored!").arg(scored.size()).arg(tileCount));

    tileOrder.reserve(qsizetype(scored.size()));
    for (const auto &entry : scored)
        tileOrder.append(entry.second);
}
