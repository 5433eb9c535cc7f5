#pragma once

#include "imaging/TileMetrics.h"

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>
#include <array>
#include <functional>
#include <memory>
#include <vector>

class Arrangement;
class Image;

// One mosaic's tile grid: its size, the order in which tiles are matched and,
// per chosen picture, the tiles it fills. Read directly by the agents.
struct MatchData {
    struct TileMatch {
        int x;   // column
        int y;   // row
        Rotation rotation;
    };

    // Divides length pixels into count consecutive tiles; the caller frees
    // both arrays with delete[].
    void TileSizesAndOffsets(int length, int count, int **sizes, int **offsets) const;

    // Resets the grid to numX by numY tiles over the image and orders them,
    // every step below in turn on the calling thread.
    void Setup(const Image &image, int numX, int numY);

    // Setup in steps that threads can share. Reset; then MeasureTiles over
    // ranges of tile columns that cover the grid without overlapping; once all
    // of them are done, CountEdges over the same ranges with the strongest
    // edge any of them found; then OrderTiles. The tiles are scored on the
    // picture scaled to 16 by 16 pixels a tile, made and scored a few rows at
    // a time: the measuring steps call goOn after each of its rows, and stop
    // when it returns false. False when stopped or out of memory.
    bool Reset(int numX, int numY);
    bool MeasureTiles(const Image &image, int firstColumn, int endColumn, float &strongestEdge,
                      const std::function<bool()> &goOn);
    bool CountEdges(const Image &image, int firstColumn, int endColumn, float strongestEdge,
                    const std::function<bool()> &goOn);
    void OrderTiles();

    int numTilesX = 0;
    int numTilesY = 0;
    QList<QPair<int, int>> tileOrder;              // (row, column), matching order
    QMap<QString, QList<TileMatch>> tileMatches;   // guarded by the generator's mutex while matching
    // Per tile, row by row, the share of its place in the matching order that
    // its edges and skin tones earn (0 to about 1).
    std::vector<float> importance;

    // Per tile, row by row, its picture so far, kept while matching keeps
    // uses of a picture apart; guarded by the generator's mutex.
    QList<QString> tilePictures;
    // The optimal arrangement: the candidate lists the agents fill, and the
    // solver the last of them runs. Set up before matching when chosen.
    std::shared_ptr<Arrangement> arrangement;
    // Per picture of the key index, its key's channel sums; set with the
    // arrangement and read only while matching.
    std::vector<std::array<int, 3>> pictureSums;
    int searchedAgents = 0;   // guarded by the generator's mutex

private:
    // Per tile, row by row, from Reset to OrderTiles: its pixels of skin
    // colour and its edge pixels at 16 by 16 pixels a tile. Each measuring
    // step writes only the tiles of its own columns.
    std::vector<quint16> skinCounts;
    std::vector<quint16> edgeCounts;
};
