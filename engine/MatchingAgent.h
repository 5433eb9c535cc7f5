#pragma once

#include "imaging/Agent.h"
#include "imaging/TileMetrics.h"

#include <QSet>
#include <QString>

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
    static constexpr double ImportanceWeight = 1.0;

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
