#pragma once

#include "imaging/TileMetrics.h"

#include <QList>
#include <QString>

class Image;
class ImageDB;
struct MatchData;

// How closely a finished mosaic follows its source, tile by tile, and how
// often each usable picture of the collection was used. Measured after the
// run from what matching left behind, so matching itself stays as it is.
struct MosaicLikeness {
    struct Tile {
        QString picture;   // empty when no picture filled the tile
        Rotation rotation = Rotation::Unturned;
        double difference = 0.0;   // 0 (alike) to 255; meaningless without a picture
    };
    struct Picture {
        QString filename;
        int uses = 0;
    };

    // The difference is the one matching minimised, between the tile reduced
    // to 16 by 16 and the picture's key image turned as it was placed, given
    // as the root mean square of the channel differences.
    static MosaicLikeness Measure(const MatchData &matchData, const Image &source, const ImageDB &imageDB);

    const Tile &At(int column, int row) const { return tiles[qsizetype(row) * columns + column]; }

    int columns = 0;
    int rows = 0;
    int sourceWidth = 0;
    int sourceHeight = 0;
    QList<Tile> tiles;         // row by row
    QList<Picture> pictures;   // every usable picture, most used first, then by name
};
