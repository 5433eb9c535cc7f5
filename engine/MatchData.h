#pragma once

#include "imaging/TileMetrics.h"

#include <QList>
#include <QMap>
#include <QPair>
#include <QString>

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

    // Resets the grid to numX by numY tiles over the image and orders them.
    void Setup(const Image &image, int numX, int numY);

    int numTilesX = 0;
    int numTilesY = 0;
    QList<QPair<int, int>> tileOrder;              // (row, column), matching order
    QMap<QString, QList<TileMatch>> tileMatches;   // guarded by the generator's mutex while matching
};
