#include "engine/MatchData.h"

#include "imaging/Image.h"
#include "imaging/TileMetrics.h"

#include <QSet>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <utility>

namespace {
// The matching order: tiles with the highest weighted sum are matched first
// and so get the pictures that fit best, before their uses run out.
constexpr double EdgeWeight = 0.25;       // detail shows a poor match most
constexpr double SkinWeight = 0.74;       // faces matter most to the viewer
constexpr double DistanceWeight = 0.01;   // among tiles alike in both, the outer first
// Scores are kept distinct: a tile whose score is taken already goes behind
// it by a random amount up to this.
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
    if (!Reset(numX, numY))
        return;
    float strongestEdge = 0.0f;
    const auto always = [] { return true; };
    if (MeasureTiles(image, 0, numX, strongestEdge, always) && CountEdges(image, 0, numX, strongestEdge, always))
        OrderTiles();
}

bool MatchData::Reset(int numX, int numY)
{
    numTilesX = numX;
    numTilesY = numY;
    tileOrder = {};
    tileMatches.clear();
    importance.clear();
    tilePictures.clear();
    arrangement.reset();
    searchedAgents = 0;
    skinCounts = {};
    edgeCounts = {};
    if (numX < 1 || numY < 1)
        return false;
    const size_t tileCount = size_t(numX) * size_t(numY);
    skinCounts.resize(tileCount);
    edgeCounts.resize(tileCount);
    return true;
}

namespace {

// Scores are taken at 16x16 pixels per tile, never on the full picture.
constexpr int Cell = Image::COMPARISON_X_SIZE;

// The rows of the picture scaled to 16 pixels a tile, for the tile columns
// first to end and the two pixel columns on either side that the edge
// strengths read, each with its strengths once they are known.
bool ScoreRows(const Image &image, int numX, int numY, int first, int end, const std::function<bool()> &goOn,
               const std::function<void(int y, const unsigned char *row)> &takeRow,
               const std::function<void(int y, const float *strengths)> &takeStrengths)
{
    const int width = Cell * numX;
    const int height = Cell * numY;
    EdgeStrengths strengths(width, height, Cell * first, Cell * end);
    if (!strengths.Usable())
        return false;
    return ResizeRows(image, width, height, Cell * first - 2, Cell * end + 2, [&](int y, const unsigned char *row) {
        takeRow(y, row);
        strengths.Add(y, row, takeStrengths);
        return goOn();
    });
}

}   // namespace

bool MatchData::MeasureTiles(const Image &image, int firstColumn, int endColumn, float &strongestEdge,
                             const std::function<bool()> &goOn)
{
    const size_t pixels = size_t(endColumn - firstColumn) * Cell;
    strongestEdge = 0.0f;
    return ScoreRows(
        image, numTilesX, numTilesY, firstColumn, endColumn, goOn,
        [&](int y, const unsigned char *row) {
            quint16 *skin = skinCounts.data() + size_t(y / Cell) * size_t(numTilesX);
            for (int c = firstColumn; c < endColumn; ++c)
                skin[c] += quint16(CountFleshTones(row + size_t(c) * Cell * 3, Cell));
        },
        [&](int, const float *strengths) {
            for (size_t i = 0; i < pixels; ++i)
                strongestEdge = std::max(strongestEdge, strengths[i]);
        });
}

bool MatchData::CountEdges(const Image &image, int firstColumn, int endColumn, float strongestEdge,
                           const std::function<bool()> &goOn)
{
    return ScoreRows(
        image, numTilesX, numTilesY, firstColumn, endColumn, goOn, [](int, const unsigned char *) {},
        [&](int y, const float *strengths) {
            quint16 *edges = edgeCounts.data() + size_t(y / Cell) * size_t(numTilesX);
            for (int c = firstColumn; c < endColumn; ++c)
                edges[c] += quint16(CountEdgePixels(strengths + size_t(c - firstColumn) * Cell, Cell, strongestEdge));
        });
}

void MatchData::OrderTiles()
{
    const int numX = numTilesX;
    const int numY = numTilesY;
    const size_t tileCount = skinCounts.size();
    // The edge mask is 255 on an edge pixel and the sums were of its bytes.
    qint64 maxEdge = 0;
    for (quint16 e : edgeCounts)
        maxEdge = std::max(maxEdge, 255 * qint64(e));

    const int halfX = numX / 2;
    const int halfY = numY / 2;
    const double reference = std::sqrt(double(halfX + 1) * (halfX + 1) + double(halfY + 1) * (halfY + 1));

    // Every key taken so far, by its bits: keys are never -0.0 nor NaN, so
    // equal bits are equal keys.
    QSet<quint64> taken;
    taken.reserve(qsizetype(tileCount));
    std::vector<std::pair<double, int>> scored;
    scored.reserve(tileCount);
    importance.resize(tileCount);
    for (int r = 0; r < numY; ++r) {
        for (int c = 0; c < numX; ++c) {
            const size_t t = size_t(r) * size_t(numX) + size_t(c);
            const double d = std::sqrt(double(c - halfX) * (c - halfX) + double(r - halfY) * (r - halfY)) / reference
                             * DistanceWeight;
            // A picture without any edge response has nothing to rank by.
            const double e = maxEdge > 0 ? double(255 * qint64(edgeCounts[t])) / double(maxEdge) * EdgeWeight : 0.0;
            const double f = skinCounts[t] * PerKeyPixel * SkinWeight;
            importance[t] = float(e + f);
            const double v = e + f + d;
            double key = 1.0 - v * v;
            while (taken.contains(std::bit_cast<quint64>(key)))
                key = (1.0 - v * v) + drand48() * JitterRange;
            taken.insert(std::bit_cast<quint64>(key));
            scored.emplace_back(key, int(t));
        }
    }
    skinCounts = {};
    edgeCounts = {};

    std::sort(scored.begin(), scored.end());
    tileOrder.reserve(qsizetype(scored.size()));
    for (const auto &entry : scored)
        tileOrder.append(qMakePair(entry.second / numX, entry.second % numX));
}
