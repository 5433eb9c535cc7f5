#include "engine/MatchingAgent.h"

#include "engine/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "imaging/Image.h"

#include <algorithm>

namespace {
// Searches per tile while other agents keep taking the last use of the
// picture found.
const int MaxAttempts = 15;
// Tiles searched in one pass over the key images, and the results kept for
// each: enough that a tile rarely needs a search of its own.
const int Batch = 8;
const int Candidates = 3;
}   // namespace

MatchingAgent::MatchingAgent(ImagePosterParameters *params, const Image *source, MatchData *matchData, QMutex *mutex,
                             int *counter, int index, int count)
    : Agent(mutex, counter, index, count), params(params), source(source), matchData(matchData)
{}

void MatchingAgent::run()
{
    int *widths = nullptr;
    int *lefts = nullptr;
    int *heights = nullptr;
    int *tops = nullptr;
    matchData->TileSizesAndOffsets(source->width, matchData->numTilesX, &widths, &lefts);
    matchData->TileSizesAndOffsets(source->height, matchData->numTilesY, &heights, &tops);

    // This agent's tiles are searched a batch at a time: one pass over the
    // key images serves the whole batch, and each tile then takes its
    // picture in turn, as if searched on its own just then.
    const qsizetype total = matchData->tileOrder.size();
    const qsizetype stride = qsizetype(count) * Batch;
    for (qsizetype first = index; first < total && keepRunning.load(std::memory_order_relaxed); first += stride) {
        Image tiles[Batch];
        const Image *tilePointers[Batch];
        Orientation orientations[Batch];
        QPair<int, int> places[Batch];
        int n = 0;
        for (qsizetype k = first; k < total && n < Batch; k += count, ++n) {
            places[n] = matchData->tileOrder[k];
            const int row = places[n].first;
            const int column = places[n].second;
            tiles[n].Extract(*source, lefts[column], tops[row], widths[column], heights[row]);
            orientations[n] = tiles[n].width > tiles[n].height ? Landscape : Portrait;
            tiles[n].ResizeToKey();
            tilePointers[n] = &tiles[n];
        }
        const QList<QList<ImageDB::MatchResult>> shortlists =
            params->imageDB.BestMatches(tilePointers, orientations, n, params->repeats, Candidates);
        for (int k = 0; k < n && keepRunning.load(std::memory_order_relaxed); ++k) {
            const int row = places[k].first;
            const int column = places[k].second;
            if (std::any_of(shortlists[k].cbegin(), shortlists[k].cend(), [&](const ImageDB::MatchResult &m) {
                    return Place(m.filename, m.rotation, column, row, total);
                }))
                continue;
            for (int attempt = 0; attempt < MaxAttempts && keepRunning.load(std::memory_order_relaxed); ++attempt) {
                const ImageDB::MatchResult match =
                    params->imageDB.BestMatch(tiles[k], orientations[k], params->repeats);
                // Use counts only grow while matching, so an empty search stays empty.
                if (match.filename.isEmpty() || Place(match.filename, match.rotation, column, row, total))
                    break;
            }
        }
    }

    delete[] widths;
    delete[] lefts;
    delete[] heights;
    delete[] tops;
}

bool MatchingAgent::Place(const QString &filename, Rotation rotation, int column, int row, qsizetype total)
{
    QMutexLocker lock(mutex);
    if (!params->imageDB.UseMatch(filename, params->repeats))
        return false;
    matchData->tileMatches[filename].append(MatchData::TileMatch{column, row, rotation});
    ++*counter;
    emit progress(int(float(*counter) / float(total) * 100.0f));
    return true;
}
