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
// reduction of the one above as its rows come. Each level goes on in batches
// of BatchRows rows: the batch goes to one open encoder a tile column, which
// writes its tile row by row, and is reduced into the level below; so a
// level keeps only its batch and the row before it (the first row of a tile
// that overlaps the tile above). A step is one batch of one level: its
// columns' encoders and its reduction are jobs for the caller's thread and
// helper threads started for the step, which end before the step does; a
// column's encoder is used by one job a step only.
class DeepZoomPyramid : public RowSink {
public:
    // 510 pixels and one pixel of overlap on each side make 512-pixel files;
    // a 30000-pixel mosaic needs 3500 of them instead of 14000 at the usual
    // 254. Quality 85 keeps the pictures in a tile crisp when zoomed in all
    // the way.
    static constexpr int TileSize = 510;
    static constexpr int Overlap = 1;
    static constexpr int Quality = 85;
    // Even, so that the reduction's pairs of rows never straddle two batches.
    static constexpr int BatchRows = 16;

    // threads below 1 means one a core.
    DeepZoomPyramid(const QString &folder, int threads);

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
        std::unique_ptr<JPEGRowEncoder[]> encoders;   // a tile column's, written by its job

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
    // Runs the jobs on the caller's thread and up to threads - 1 helpers.
    void RunJobs(const std::vector<std::function<void()>> &jobs);
    // Writes the batch's rows of the column's tiles, opening and finishing
    // them as they begin and end.
    void EncodeColumn(Level &level, int column);
    QString TilePath(const Level &level, int column, int row) const;
    void Fail(const QString &message);

    QString folder;
    int threads;
    std::vector<Level> levels;   // the picture first; written by the caller's thread between steps, apart
                                 // from the encoders, the level below's batch and the files of a step's jobs
    std::atomic<bool> failed = false;
    mutable QMutex mutex;
    QString errorMessage;   // guarded by mutex; written by the first tile that fails
};
