#pragma once

#include "imaging/Image.h"

#include <QMutex>
#include <QString>
#include <atomic>
#include <functional>
#include <vector>

// Cuts a picture into the tiles of a Deep Zoom pyramid, folder/<level>/
// <column>_<row>.jpeg, level 0 being one pixel. The picture comes as an image
// in memory, whose rows are read in place, or row by row from a decoder (the
// pyramid is a RowSink). Every level below the picture is made by 2x2 box
// reduction of the one above as its rows come, and only the strip of rows
// that its unwritten tiles and the next reduction still need is kept, some
// 770 rows a level. The tiles are encoded, and the strips reduced, by the
// caller's thread and helper threads started for each step, which end
// before the step does.
class DeepZoomPyramid : public RowSink {
public:
    // 510 pixels and one pixel of overlap on each side make 512-pixel files;
    // a 30000-pixel mosaic needs 3500 of them instead of 14000 at the usual
    // 254. Quality 85 keeps the pictures in a tile crisp when zoomed in all
    // the way.
    static constexpr int TileSize = 510;
    static constexpr int Overlap = 1;
    static constexpr int Quality = 85;

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
        int number = 0;        // 0 is the one-pixel level
        int first = 0;         // the picture row that rows holds first
        int received = 0;      // rows made or given so far
        int nextTileRow = 0;   // tiles above it are written
        Image strip;           // the kept rows; none for an image read in place
        const unsigned char *rows = nullptr;

        int TileRows() const;
        int TileColumns() const;
        const unsigned char *Row(int y) const;
    };

    bool Prepare(int width, int height, bool inPlace);
    // Writes the tile rows of level i whose rows have all come, makes the
    // rows of the level below that can be made, then lets go of the rows
    // neither needs any more and goes on with the level below.
    void Advance(size_t i);
    // Runs the jobs on the caller's thread and up to threads - 1 helpers.
    void RunJobs(const std::vector<std::function<void()>> &jobs);
    void WriteTile(const Level &level, int column, int row);
    void Fail(const QString &message);

    QString folder;
    int threads;
    std::vector<Level> levels;   // the picture first; written by the caller's thread between Advance's waits
    std::atomic<bool> failed = false;
    mutable QMutex mutex;
    QString errorMessage;   // guarded by mutex; written by the first tile that fails
};
