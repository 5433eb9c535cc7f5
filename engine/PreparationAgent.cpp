#include "engine/PreparationAgent.h"

#include "engine/ImagePosterParameters.h"
#include "engine/MatchData.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <cstring>

PreparationAgent::PreparationAgent(ImagePosterParameters *params, MatchData *matchData, Preparation *preparation,
                                   QMutex *mutex, int *counter, int index, int count)
    : Agent(mutex, counter, index, count), params(params), matchData(matchData), preparation(preparation)
{}

void PreparationAgent::run()
{
    const Image *source = params->sourceImage;   // null until ReadSource has read it
    const int first = int(qint64(matchData->numTilesX) * index / count);
    const int end = int(qint64(matchData->numTilesX) * (index + 1) / count);
    const auto goOn = [this] { return RowMeasured(); };
    bool done = true;
    switch (preparation->step) {
    case Preparation::ReadSource: {
        auto *picture = new Image;
        if (ReadJPEG(params->sourceFilename, *picture))
            preparation->decoded = picture;
        else
            delete picture;
        return;
    }
    case Preparation::MeasureTiles:
        done = first == end
               || matchData->MeasureTiles(*source, first, end, preparation->strongestEdges[size_t(index)], goOn);
        break;
    case Preparation::CountEdges:
        done = first == end || matchData->CountEdges(*source, first, end, preparation->strongestEdge, goOn);
        break;
    case Preparation::Finish:
        // The order and the fresh use counts on the first agent, the blend
        // colours on the last.
        if (index == 0) {
            matchData->OrderTiles();
            params->imageDB.ResetUseCounts();
        }
        if (index == count - 1 && params->blend >= 1)
            done = MakeBlendColours();
        break;
    }
    if (!done && keepRunning.load(std::memory_order_relaxed)) {
        QMutexLocker lock(mutex);
        preparation->outOfMemory = true;
    }
}

bool PreparationAgent::RowMeasured()
{
    if (!keepRunning.load(std::memory_order_relaxed))
        return false;
    // Every agent goes through every row of the grid's scale in both steps.
    const qint64 rows = 2 * qint64(count) * Image::COMPARISON_Y_SIZE * matchData->numTilesY;
    QMutexLocker lock(mutex);
    const int before = int(100 * qint64(*counter) / rows);
    ++*counter;
    const int now = int(100 * qint64(*counter) / rows);
    if (now != before)
        emit progress(now);
    return true;
}

// What Resize(divisions, divisions, true) makes of a copy of the source.
bool PreparationAgent::MakeBlendColours()
{
    const int side = params->divisions;
    auto *colours = new Image(side, side);
    const size_t rowBytes = size_t(side) * 3;
    const bool made =
        colours->data && ResizeRows(*params->sourceImage, side, side, 0, side, [&](int y, const unsigned char *row) {
            std::memcpy(colours->data + size_t(y) * rowBytes, row, rowBytes);
            return keepRunning.load(std::memory_order_relaxed);
        });
    if (!made) {
        delete colours;
        return false;
    }
    preparation->blendColours = colours;
    return true;
}
