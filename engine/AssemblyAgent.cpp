#include "engine/AssemblyAgent.h"

#include "engine/ImagePosterParameters.h"
#include "imaging/Image.h"
#include "imaging/TileMetrics.h"

#include <QImage>
#include <algorithm>
#include <memory>

namespace {
QString CopyKey(int width, int height, Rotation rotation)
{
    return QString::asprintf("%d,%d,%d", width, height, int(rotation));
}

void Turn(Image &image, Rotation rotation)
{
    if (rotation == Rotation::DrawTurnedLeft)
        image.RotateLeft();
    else if (rotation == Rotation::DrawTurnedRight)
        image.RotateRight();
}
}   // namespace

AssemblyAgent::AssemblyAgent(const ImagePosterParameters *params, QImage *preview, Image *output,
                             const Image *blendColours, MatchData *matchData, QMutex *mutex, int *counter, int index,
                             int count)
    : Agent(mutex, counter, index, count), params(params), preview(preview), output(output), blendColours(blendColours),
      matchData(matchData)
{}

void AssemblyAgent::SimplifyTileList(const QList<MatchData::TileMatch> &matches, const int *widths, const int *heights,
                                     QList<TileInfo> &infos) const
{
    for (const MatchData::TileMatch &m : matches) {
        const TileInfo info{widths[m.x], heights[m.y], m.rotation};
        if (!infos.contains(info))
            infos.append(info);
    }
}

void AssemblyAgent::LargestTileSize(const QList<TileInfo> &infos, int &width, int &height) const
{
    width = -1;
    height = -1;
    qint64 largest = -1;
    for (const TileInfo &info : infos) {
        const qint64 area = qint64(info.width) * info.height;
        if (area <= largest)
            continue;
        largest = area;
        // A turned tile needs the unturned picture the other way round.
        width = info.rotation == Rotation::Unturned ? info.width : info.height;
        height = info.rotation == Rotation::Unturned ? info.height : info.width;
    }
}

void AssemblyAgent::CreateTiles(const QString &filename, const QList<TileInfo> &infos,
                                QMap<QString, Image *> &copies) const
{
    int width = 0;
    int height = 0;
    LargestTileSize(infos, width, height);
    if (width < 0)
        return;

    Image *loaded = params->imageDB.GetSourceImage(filename, std::max(width, height));
    if (!loaded)
        return;
    loaded->Resize(width, height, true);

    for (const TileInfo &info : infos) {
        Image *copy = new Image(*loaded);
        Turn(*copy, info.rotation);
        copy->Resize(info.width, info.height, true);
        copies.insert(CopyKey(info.width, info.height, info.rotation), copy);
    }
    delete loaded;
}

void AssemblyAgent::run()
{
    // Only read here: no matching agent runs any more.
    const QMap<QString, QList<MatchData::TileMatch>> &tileMatches = matchData->tileMatches;
    const QStringList names = tileMatches.keys();
    int *widths = nullptr;
    int *lefts = nullptr;
    int *heights = nullptr;
    int *tops = nullptr;
    matchData->TileSizesAndOffsets(output->width, matchData->numTilesX, &widths, &lefts);
    matchData->TileSizesAndOffsets(output->height, matchData->numTilesY, &heights, &tops);

    const bool blended = params->blend > 0 && blendColours && blendColours->data;
    const float weight = float(params->blend) / 100.0f;
    const auto colourAt = [this](int x, int y) {
        return reinterpret_cast<const color3 *>(blendColours->data
                                                + 3 * (size_t(y) * size_t(blendColours->width) + size_t(x)));
    };

    for (qsizetype k = index; k < names.size() && keepRunning.load(std::memory_order_relaxed); k += count) {
        const QString &name = names[k];
        const QList<MatchData::TileMatch> &matches = tileMatches.constFind(name).value();

        QList<TileInfo> infos;
        SimplifyTileList(matches, widths, heights, infos);
        QMap<QString, Image *> copies;
        CreateTiles(name, infos, copies);

        // Every tile belongs to one picture and every picture to one agent, so
        // the output is written without the lock.
        for (const MatchData::TileMatch &m : matches) {
            if (!keepRunning.load(std::memory_order_relaxed))
                break;
            const Image *copy = copies.value(CopyKey(widths[m.x], heights[m.y], m.rotation));
            if (!copy || !output->data)
                continue;
            if (blended)
                output->DrawImageBlendedWithColor(lefts[m.x], tops[m.y], *copy, colourAt(m.x, m.y), weight);
            else
                output->DrawImage(lefts[m.x], tops[m.y], *copy);
        }
        qDeleteAll(copies);

        {
            QMutexLocker lock(mutex);
            const Image *key = params->imageDB.GetKeyImage(name);
            if (preview && key && keepRunning.load(std::memory_order_relaxed) && !matches.isEmpty()) {
                // The preview of a large grid has cells smaller than a key image.
                const int side = std::min(
                    {preview->width() / matchData->numTilesX, preview->height() / matchData->numTilesY, key->width});
                // The key image as each turn needs it, at the size of a cell.
                std::unique_ptr<Image> cells[3];
                for (const MatchData::TileMatch &m : matches) {
                    const Image *cell = key;
                    if (m.rotation != Rotation::Unturned || side != key->width) {
                        std::unique_ptr<Image> &copy = cells[int(m.rotation)];
                        if (!copy) {
                            copy = std::make_unique<Image>(*key);
                            Turn(*copy, m.rotation);
                            copy->Resize(side, side, true);
                        }
                        cell = copy.get();
                    }
                    if (blended)
                        DrawImageBlendWithColorIntoQImage(preview, m.x, m.y, *cell, colourAt(m.x, m.y), weight);
                    else
                        DrawImageIntoQImage(preview, m.x, m.y, *cell);
                }
            }
        }

        QMutexLocker lock(mutex);
        ++*counter;
        emit progress(int(float(*counter) / float(names.size()) * 100.0f));
    }

    delete[] widths;
    delete[] lefts;
    delete[] heights;
    delete[] tops;
}
