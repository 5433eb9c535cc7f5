#pragma once

#include "imaging/Agent.h"
#include "imaging/TileMetrics.h"

class Image;
struct ImagePosterParameters;
struct MatchData;

// Chooses a collection picture for each of its tiles of the matching order.
class MatchingAgent : public Agent {
    Q_OBJECT
public:
    MatchingAgent(ImagePosterParameters *params, const Image *source, MatchData *matchData, QMutex *mutex, int *counter,
                  int index, int count);

signals:
    void progress(int percent);

protected:
    void run() override;

private:
    // Takes one use of the picture for the tile at column, row; false when
    // the picture has no use left.
    bool Place(const QString &filename, Rotation rotation, int column, int row, qsizetype total);

    ImagePosterParameters *params;
    const Image *source;
    MatchData *matchData;
};
