#include "engine/MatchingAgent.h"

#include "app/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "imaging/Image.h"

#include <QMetaObject>

namespace {
// Searches per tile while other agents keep taking the last use of the
// picture found.
const int MaxAttempts = 15;
}

MatchingAgent::MatchingAgent(ImagePosterParameters *params, const Image *source, MatchData *matchData,
                             QMutex *mutex, int *counter, int index, int count)
    : Agent(mutex, counter, index, count), params(params), source(source), matchData(matchData)
{
}

void MatchingAgent::debug_run()
{
    run();
    // finished() is QThread's private signal; the meta-object may still raise it.
    QMetaObject::invokeMethod(this, "finished", Qt::DirectConnection);
}

void MatchingAgent::run()
{
    int *widths = nullptr;
    int *lefts = nullptr;
    int *heights = nullptr;
    int *tops = nullptr;
    matchData->TileSizesAndOffsets(source->width, matchData->numTilesX, &widths, &lefts);
    matchData->TileSizesAndOffsets(source->height, matchData->numTilesY, &heights, &tops);

    const qsizetype total = matchData->tileOrder.size();
    for (qsizetype k = index; k < total && keepRunning.load(std::memory_order_relaxed); k += count) {
        const int row = matchData->tileOrder[k].first;
        const int column = matchData->tileOrder[k].second;

        Image tile;
        tile.Extract(*source, lefts[column], tops[row], widths[column], heights[row]);
        const Orientation orientation = tile.width > tile.height ? Landscape : Portrait;
        tile.ResizeToKey();

        for (int attempt = 0; attempt < MaxAttempts && keepRunning.load(std::memory_order_relaxed); ++attempt) {
            const ImageDB::MatchResult match = params->imageDB.BestMatch(tile, orientation, params->repeats);
            // Use counts only grow while matching, so an empty search stays empty.
            if (match.filename.isEmpty())
                break;

            QMutexLocker lock(mutex);
            if (!params->imageDB.UseMatch(match.filename, params->repeats))
                continue;
            matchData->tileMatches[match.filename].append(MatchData::TileMatch{column, row, match.rotation});
            ++*counter;
            emit progress(int(float(*counter) / float(total) * 100.0f));
            break;
        }
    }

    delete[] widths;
    delete[] lefts;
    delete[] heights;
    delete[] tops;
}
