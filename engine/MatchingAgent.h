#pragma once

#include "imaging/Agent.h"
#include "imaging/TileMetrics.h"

#include <QSet>
#include <QString>
#include <cstdint>

class Image;
struct ImagePosterParameters;
struct MatchData;

// Chooses a collection picture for each of its tiles of the matching order.
class MatchingAgent : public Agent {
    Q_OBJECT
public:
    MatchingAgent(ImagePosterParameters *params, const Image *source, MatchData *matchData, QMutex *mutex, int *counter,
                  int index, int count);

    // Readies matchData for the run's spacing and arrangement; called once
    // the grid is set up and the use counts are reset, before any agent runs.
    static void Prepare(const ImagePosterParameters &params, MatchData &matchData);

    // The weight of a tile's difference in the optimal arrangement:
    // 1 + ImportanceWeight times its importance in the matching order.
    // Weights of 0 and 2 measured within 0.01 dB of 1 (bench_likeness).
    static constexpr double ImportanceWeight = 1.0;
    // The optimal arrangement adds to the key difference MeanColourWeight
    // times the squared distance between the tile's and the picture's mean
    // colours (KeyIndex::MeanTerm), so a tile keeps its colour where no
    // picture has its detail. 128 raises the likeness of the tiles' means by
    // 0.4 to 0.9 dB and keeps that of their detail; 1024 costs detail
    // (bench_likeness).
    static constexpr int MeanColourWeight = 128;

    // What the optimal arrangement minimises for one tile: its key
    // difference plus the mean term, weighted by importance. At most twice
    // 768 * 255 * 255 and half of that again, so it fits 32 bits.
    static uint32_t Cost(uint32_t difference, float importance);

signals:
    void progress(int percent);

protected:
    void run() override;

private:
    // Takes one use of the picture for the tile at column, row; false when
    // the picture has no use left.
    bool Place(const QString &filename, Rotation rotation, int column, int row, qsizetype total);
    // The pictures used within spacing tiles of column, row.
    QSet<QString> NearbyPictures(int column, int row);
    void RunOptimal();
    void Arrange();

    ImagePosterParameters *params;
    const Image *source;
    MatchData *matchData;
};
