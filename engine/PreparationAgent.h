#pragma once

#include "imaging/Agent.h"

#include <vector>

class Image;
struct ImagePosterParameters;
struct MatchData;

// What the agents of one mosaic's preparation share with the generator, which
// owns it, starts each step's agents and reads it once they have finished.
struct Preparation {
    enum Step { ReadSource, MeasureTiles, CountEdges, Finish };

    Step step = ReadSource;
    Image *decoded = nullptr;            // ReadSource's picture, null when it cannot be read
    std::vector<float> strongestEdges;   // MeasureTiles: per agent, the strongest edge of its tiles
    float strongestEdge = 0.0f;          // for CountEdges: the strongest of them all
    Image *blendColours = nullptr;       // Finish: the source at one pixel a tile, when blended
    bool outOfMemory = false;            // guarded by the generator's mutex
};

// Readies a mosaic for matching, a step at a time, on worker threads: reads
// the source picture when none is decoded yet, measures its tiles (skin
// colour, then edges), orders them and makes the blend colours. In the
// measuring steps each agent takes a range of tile columns of its own and
// stops within a row of the grid's scale when told to.
class PreparationAgent : public Agent {
    Q_OBJECT
public:
    PreparationAgent(ImagePosterParameters *params, MatchData *matchData, Preparation *preparation, QMutex *mutex,
                     int *counter, int index, int count);

signals:
    // Percent of both measuring steps done by the group.
    void progress(int percent);

protected:
    void run() override;

private:
    // Counts one row measured; false once the agent is to stop.
    bool RowMeasured();
    bool MakeBlendColours();

    ImagePosterParameters *params;
    MatchData *matchData;
    Preparation *preparation;
};
