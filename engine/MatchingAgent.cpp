#include "engine/MatchingAgent.h"

#include "engine/Arrangement.h"
#include "engine/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "imaging/Image.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {
// Searches per tile while other agents keep taking the last use of the
// picture found.
const int MaxAttempts = 15;
// Tiles searched in one pass over the key images, and the results kept for
// each: enough that a tile rarely needs a search of its own.
const int Batch = 8;
const int Candidates = 3;

// The optimal arrangement's candidates per tile: enough that a tile of a
// plain area still finds pictures not used nearby in its list, and the most
// where the uses barely fill the tiles, so many tiles cannot have their best
// and would otherwise ask for more one at a time: there every picture, when
// all the lists fit the budget. Fewer on a grid so large that the lists
// would not fit it.
int ListLength(int spacing, int pictures, qint64 uses, qint64 tiles)
{
    const qint64 room = std::max<qint64>(Arrangement::ListBudget / std::max<qint64>(tiles, 1), 16);
    if (Arrangement::UsesBarelyCover(uses, tiles))
        return room >= pictures ? pictures : int(std::min<qint64>(room, KeyIndex::MaxCandidates));
    return int(std::min<qint64>(room, std::clamp((spacing + 1) * (spacing + 1) + 8, 16, KeyIndex::MaxCandidates)));
}

// The grid's cutting of the source, made once per agent.
struct TileCutter {
    TileCutter(const MatchData &matchData, const Image &source) : source(source), columns(matchData.numTilesX)
    {
        matchData.TileSizesAndOffsets(source.width, matchData.numTilesX, &widths, &lefts);
        matchData.TileSizesAndOffsets(source.height, matchData.numTilesY, &heights, &tops);
    }
    ~TileCutter()
    {
        delete[] widths;
        delete[] lefts;
        delete[] heights;
        delete[] tops;
    }
    TileCutter(const TileCutter &) = delete;
    TileCutter &operator=(const TileCutter &) = delete;

    // The tile reduced to key size, and whether it is searched as portrait.
    bool Key(int tile, Image &key) const
    {
        const int column = tile % columns;
        const int row = tile / columns;
        key.Extract(source, lefts[column], tops[row], widths[column], heights[row]);
        const bool portrait = key.width <= key.height;
        key.ResizeToKey();
        return portrait;
    }

    const Image &source;
    int columns;
    int *widths = nullptr;
    int *lefts = nullptr;
    int *heights = nullptr;
    int *tops = nullptr;
};

// The first results of a shortlist, searched with the mean term, as
// candidates, with the bound on every picture it leaves out when it holds
// length results: the last one's cost.
int ToCandidates(const KeyIndex::Shortlist &shortlist, int length, float importance, Arrangement::Candidate *list,
                 int64_t &unlisted)
{
    for (int c = 0; c < shortlist.count; ++c) {
        const KeyIndex::Match &m = shortlist.matches[c];
        list[c] = Arrangement::Candidate{m.order, m.rotation, MatchingAgent::Cost(m.score, importance)};
    }
    unlisted = shortlist.count == length ? MatchingAgent::Cost(shortlist.matches[length - 1].score, importance)
                                         : Arrangement::NoBound;
    return shortlist.count;
}
}   // namespace

MatchingAgent::MatchingAgent(ImagePosterParameters *params, const Image *source, MatchData *matchData, QMutex *mutex,
                             int *counter, int index, int count)
    : Agent(mutex, counter, index, count), params(params), source(source), matchData(matchData)
{}

uint32_t MatchingAgent::Cost(uint32_t difference, float importance)
{
    return uint32_t(std::llround((1.0 + ImportanceWeight * double(importance)) * double(difference)));
}

void MatchingAgent::Prepare(const ImagePosterParameters &params, MatchData &matchData)
{
    const int tiles = matchData.numTilesX * matchData.numTilesY;
    const KeyIndex *index = params.optimalArrangement && tiles > 0 ? params.imageDB.MatchIndex() : nullptr;
    if (index) {
        matchData.arrangement = std::make_shared<Arrangement>(matchData.numTilesX, matchData.numTilesY, index->Size(),
                                                              params.repeats, params.spacing);
        matchData.pictureSums.resize(size_t(index->Size()));
        for (int order = 0; order < index->Size(); ++order)
            matchData.pictureSums[size_t(order)] =
                KeyIndex::SumChannels(params.imageDB.GetKeyImage(index->Filename(order))->data);
        return;
    }
    if (params.spacing > 0)
        matchData.tilePictures = QList<QString>(tiles);
}

void MatchingAgent::run()
{
    if (matchData->arrangement) {
        RunOptimal();
        return;
    }
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
                // Pictures used nearby cannot be placed here, so the search passes over them.
                const ImageDB::MatchResult match = params->imageDB.BestMatch(
                    tiles[k], orientations[k], params->repeats,
                    matchData->tilePictures.isEmpty() ? QSet<QString>() : NearbyPictures(column, row));
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
    const bool spaced = !matchData->tilePictures.isEmpty();
    if (spaced) {
        const int spacing = params->spacing;
        const auto near = [&](const MatchData::TileMatch &m) {
            return std::abs(m.x - column) <= spacing && std::abs(m.y - row) <= spacing;
        };
        const auto found = matchData->tileMatches.constFind(filename);
        if (found != matchData->tileMatches.cend() && std::any_of(found->cbegin(), found->cend(), near))
            return false;
    }
    if (!params->imageDB.UseMatch(filename, params->repeats))
        return false;
    matchData->tileMatches[filename].append(MatchData::TileMatch{column, row, rotation});
    if (spaced)
        matchData->tilePictures[qsizetype(row) * matchData->numTilesX + column] = filename;
    ++*counter;
    emit progress(int(float(*counter) / float(total) * 100.0f));
    return true;
}

QSet<QString> MatchingAgent::NearbyPictures(int column, int row)
{
    QSet<QString> nearby;
    const int spacing = params->spacing;
    QMutexLocker lock(mutex);
    for (int y = std::max(0, row - spacing); y <= std::min(matchData->numTilesY - 1, row + spacing); ++y)
        for (int x = std::max(0, column - spacing); x <= std::min(matchData->numTilesX - 1, column + spacing); ++x)
            if (const QString &name = matchData->tilePictures[qsizetype(y) * matchData->numTilesX + x]; !name.isEmpty())
                nearby.insert(name);
    return nearby;
}

// Each agent finds the candidate lists of its share of the tiles, a batch
// at a time; the last one to finish arranges them all.
void MatchingAgent::RunOptimal()
{
    const KeyIndex *keys = params->imageDB.MatchIndex();
    const TileCutter cutter(*matchData, *source);
    const int total = matchData->numTilesX * matchData->numTilesY;
    const int pictures = keys ? keys->Size() : 0;
    const int length = ListLength(params->spacing, pictures, qint64(pictures) * params->repeats, total);
    // Lists of every picture are scored whole and never searched again.
    const bool everyPicture = length == pictures;
    std::vector<KeyIndex::Match> scores(everyPicture ? size_t(std::min(Batch, total)) * size_t(pictures) : 0);
    std::vector<Arrangement::Candidate> list(static_cast<size_t>(length));
    bool searched = keys != nullptr;
    for (int first = index * Batch; searched && first < total && keepRunning.load(std::memory_order_relaxed);
         first += count * Batch) {
        const int n = std::min(Batch, total - first);
        Image tiles[Batch];
        const unsigned char *pointers[Batch];
        bool portraits[Batch];
        for (int k = 0; k < n; ++k) {
            portraits[k] = cutter.Key(first + k, tiles[k]);
            pointers[k] = tiles[k].data;
        }
        if (everyPicture) {
            searched = keys->ScoreAll(pointers, portraits, n, scores.data());
            for (int k = 0; searched && k < n; ++k) {
                const float importance = matchData->importance[size_t(first + k)];
                const KeyIndex::ChannelSums sums = KeyIndex::SumChannels(pointers[k]);
                for (int order = 0; order < pictures; ++order) {
                    const KeyIndex::Match &m = scores[size_t(k) * size_t(pictures) + size_t(order)];
                    const uint32_t mean =
                        KeyIndex::MeanTerm(MeanColourWeight, sums, matchData->pictureSums[size_t(order)]);
                    list[size_t(order)] = Arrangement::Candidate{order, m.rotation, Cost(m.score + mean, importance)};
                }
                matchData->arrangement->SetCandidates(first + k, list.data(), pictures, Arrangement::NoBound);
            }
        } else {
            KeyIndex::Shortlist shortlists[Batch];
            searched =
                keys->FindShortlists(pointers, portraits, n, INT_MAX, length, shortlists, nullptr, MeanColourWeight);
            for (int k = 0; searched && k < n; ++k) {
                int64_t unlisted = 0;
                const int listed = ToCandidates(shortlists[k], length, matchData->importance[size_t(first + k)],
                                                list.data(), unlisted);
                matchData->arrangement->SetCandidates(first + k, list.data(), listed, unlisted);
            }
        }
        QMutexLocker lock(mutex);
        *counter += n;
        // The search is most of the work; the arrangement takes the rest.
        emit progress(int(float(*counter) / float(total) * 90.0f));
    }
    QMutexLocker lock(mutex);
    if (!searched)
        keepRunning.store(false, std::memory_order_relaxed);
    // An agent that stopped early leaves the count short, so nobody arranges.
    if (++matchData->searchedAgents < count || !keepRunning.load(std::memory_order_relaxed))
        return;
    lock.unlock();
    Arrange();
}

void MatchingAgent::Arrange()
{
    const KeyIndex *keys = params->imageDB.MatchIndex();
    const TileCutter cutter(*matchData, *source);
    const auto more = [&](int tile, const std::vector<int32_t> &excluded, Arrangement::Candidate *list, int max,
                          int64_t &unlisted) {
        Image key;
        const bool portrait = cutter.Key(tile, key);
        const unsigned char *pointer = key.data;
        const KeyIndex::Exclusion exclusion{excluded.data(), int(excluded.size())};
        KeyIndex::Shortlist shortlist;
        if (!keys->FindShortlists(&pointer, &portrait, 1, INT_MAX, max, &shortlist, &exclusion, MeanColourWeight))
            return -1;
        return ToCandidates(shortlist, max, matchData->importance[size_t(tile)], list, unlisted);
    };
    Arrangement &arrangement = *matchData->arrangement;
    // A search that failed for memory stops the run as a stop would.
    if (!arrangement.Solve(keepRunning, more, count)) {
        keepRunning.store(false, std::memory_order_relaxed);
        return;
    }

    const int total = matchData->numTilesX * matchData->numTilesY;
    QMutexLocker lock(mutex);
    for (int t = 0; t < total; ++t) {
        const int32_t picture = arrangement.Picture(t);
        if (picture < 0)
            continue;
        const QString &filename = keys->Filename(picture);
        params->imageDB.UseMatch(filename, INT_MAX);
        matchData->tileMatches[filename].append(
            MatchData::TileMatch{t % matchData->numTilesX, t / matchData->numTilesX, arrangement.ChosenRotation(t)});
    }
    *counter = total;
    emit progress(100);
}
