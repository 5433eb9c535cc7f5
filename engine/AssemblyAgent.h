#pragma once

#include "imaging/Agent.h"
#include "engine/MatchData.h"

#include <QList>
#include <QMap>
#include <QString>

class Image;
class QImage;
struct ImagePosterParameters;

// Paints its share of the chosen pictures into the output image and their key
// images into the preview.
class AssemblyAgent : public Agent {
    Q_OBJECT
public:
    struct TileInfo {
        int width;
        int height;
        Rotation rotation;
        bool operator==(const TileInfo &other) const = default;
    };

    AssemblyAgent(const ImagePosterParameters *params, QImage *preview, Image *output, const Image *blendColours,
                  MatchData *matchData, QMutex *mutex, int *counter, int index, int count);

    void SimplifyTileList(const QList<MatchData::TileMatch> &matches, const int *widths, const int *heights,
                          QList<TileInfo> &infos) const;
    void LargestTileSize(const QList<TileInfo> &infos, int &width, int &height) const;
    // The map receives new images that the caller owns.
    void CreateTiles(const QString &filename, const QList<TileInfo> &infos, QMap<QString, Image *> &copies) const;

signals:
    void progress(int percent);

protected:
    void run() override;

private:
    const ImagePosterParameters *params;
    QImage *preview;   // may be null; drawn only under mutex
    Image *output;
    const Image *blendColours;   // null when blend is 0
    MatchData *matchData;
};
