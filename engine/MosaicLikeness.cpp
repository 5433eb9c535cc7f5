#include "engine/MosaicLikeness.h"

#include "engine/MatchData.h"
#include "imagedb/ImageDB.h"
#include "imaging/Image.h"
#include "imaging/TileMetrics.h"

#include <algorithm>
#include <cmath>

namespace {

// The score matching used for this rotation, scaled to a channel difference.
double Difference(const Image &tile, const Image &key, Rotation rotation)
{
    const int score = rotation == Rotation::DrawTurnedRight  ? DifferenceRotateLeft(tile, key)
                      : rotation == Rotation::DrawTurnedLeft ? DifferenceRotateRight(tile, key)
                                                             : DifferenceSameOrientation(tile, key);
    return std::sqrt(double(score) / (double(key.width) * key.height * 3));
}

}   // namespace

MosaicLikeness MosaicLikeness::Measure(const MatchData &matchData, const Image &source, const ImageDB &imageDB)
{
    MosaicLikeness likeness;
    likeness.columns = matchData.numTilesX;
    likeness.rows = matchData.numTilesY;
    likeness.sourceWidth = source.width;
    likeness.sourceHeight = source.height;
    likeness.tiles.resize(qsizetype(likeness.columns) * likeness.rows);

    // The tiles are cut from the source as matching cut them.
    int *widths = nullptr, *lefts = nullptr, *heights = nullptr, *tops = nullptr;
    matchData.TileSizesAndOffsets(source.width, likeness.columns, &widths, &lefts);
    matchData.TileSizesAndOffsets(source.height, likeness.rows, &heights, &tops);
    for (auto it = matchData.tileMatches.cbegin(); it != matchData.tileMatches.cend(); ++it) {
        const Image *key = imageDB.GetKeyImage(it.key());
        for (const MatchData::TileMatch &m : it.value()) {
            Tile &tile = likeness.tiles[qsizetype(m.y) * likeness.columns + m.x];
            tile.picture = it.key();
            tile.rotation = m.rotation;
            Image cut;
            cut.Extract(source, lefts[m.x], tops[m.y], widths[m.x], heights[m.y]);
            cut.ResizeToKey();
            if (key && key->data && cut.data)
                tile.difference = Difference(cut, *key, m.rotation);
        }
    }
    delete[] widths;
    delete[] lefts;
    delete[] heights;
    delete[] tops;

    for (auto it = imageDB.images.cbegin(); it != imageDB.images.cend(); ++it) {
        if (!it->skip.load(std::memory_order_relaxed))
            likeness.pictures.append({it.key(), int(matchData.tileMatches.value(it.key()).size())});
    }
    // The map is ordered by name, and a stable sort keeps that within a count.
    std::stable_sort(likeness.pictures.begin(), likeness.pictures.end(),
                     [](const Picture &a, const Picture &b) { return a.uses > b.uses; });
    return likeness;
}
