#pragma once

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QMutex>
#include <QString>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

// Cuts a picture into the tiles of a Deep Zoom pyramid, folder/<level>/
// <column>_<row>.jpeg, level 0 being one pixel. The picture comes as an image
// in memory, whose rows are read in place, or row by row from a decoder (the
// pyramid is a RowSink). Every level below the picture is made by 2x2 box
// reduction of the one above as its rows come. A level goes on in batches of
// BatchRows rows: each tile column has one open encoder, which takes the
// batch's rows of its tile (both tiles' rows where two overlap), and the
// batch is reduced into the level below; so a level keeps only its batch and
// the row before it, which may begin the next tile row. A picture read in
// place needs no open encoders: the batch that completes a row of its tiles
// has them written whole, one encoder a tile, which keeps the memory beside
// a mosaic in memory to the encoders of the smaller levels. A step is one
// batch of one level: its columns (or tiles) and its reduction are jobs for
// the caller's thread and helper threads started for the step, which end
// before the step does, and an encoder belongs to its job. After the first
// failure nothing more is written, and the tiles left unfinished are removed
// when the pyramid goes.
class DeepZoomPyramid : public RowSink {
public:
    // 510 pixels and one pixel of overlap on each side make 512-pixel files;
    // a 30000-pixel mosaic needs 3500 of them instead of 14000 at the usual
    // 254. Quality 85 keeps the pictures in a tile crisp when zoomed in all
    // the way.
    static constexpr int TileSize = 510;
    static constexpr int Overlap = 1;
    static constexpr int Quality = 85;
    // Even, so that the reduction's pairs of rows never straddle two batches;
    // small, since every level below the picture keeps a batch of rows as wide
    // as the level (16 rows would cost a 30000-pixel mosaic 0.7 MB more).
    static constexpr int BatchRows = 8;

    // threads below 1 means one a core.
    DeepZoomPyramid(const QString &folder, int threads);

    // Called on the writing thread with the share of the picture's rows, in
    // percent, whose tiles and reductions are done, each time it grows.
    void SetProgress(std::function<void(int percent)> report) { progress = std::move(report); }

    // The whole pyramid of an image that stays unchanged meanwhile.
    bool Write(const Image &image);

    // The pyramid of a picture whose rows come top to bottom; false refuses
    // a picture whose level folders or strips cannot be had.
    bool Begin(int width, int height) override;
    unsigned char *Row(int y) override;
    void RowDone(int y) override;

    // The picture's size, once known.
    int Width() const;
    int Height() const;
    // Whether every tile has been written, after the last row.
    bool Complete() const;
    // Why a tile or folder could not be written.
    QString ErrorMessage() const;

private:
    struct Level {
        int width = 0, height = 0;
        int number = 0;     // 0 is the one-pixel level
        int first = 0;      // the first row of the batch
        int received = 0;   // rows made or given so far; the batch ends here
        int tileRow = 0;    // the tile row being written
        Image strip;        // the row before the batch, then the batch; none for an image read in place
        const unsigned char *rows = nullptr;
        int rowsStart = 0;                            // the row that rows holds first
        std::unique_ptr<JPEGRowEncoder[]> encoders;   // one a tile column, the open tile; none read in place

        int TileRows() const;
        int TileColumns() const;
        const unsigned char *Row(int y) const;
        unsigned char *StripRow(int y);
    };

    bool Prepare(int width, int height, bool inPlace);
    // Encodes the batch of level i and reduces it into the level below, then
    // keeps its last row and goes on with the level below once that has a
    // batch of its own.
    void Advance(size_t i);
    void ReportProgress();
    // Writes the batch's rows of the column's tiles, opening and finishing
    // them as they begin and end.
    void EncodeColumn(Level &level, int column);
    // Writes a tile of a picture read in place whole, once the batch has
    // reached its last row.
    void EncodeTile(const Level &level, int column, int row);
    QString TilePath(const Level &level, int column, int row) const;
    void Fail(const QString &message);

    QString folder;
    int threads;
    // The picture first; written by the caller's thread between steps. In a
    // step, each column's job writes that column's encoder and files, and
    // the reduction's job the level below's batch.
    std::vector<Level> levels;
    std::atomic<bool> failed = false;
    mutable QMutex mutex;
    QString errorMessage;   // guarded by mutex; written by the first tile that fails
    std::function<void(int)> progress;
    int reported = -1;
};
