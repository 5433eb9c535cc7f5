#include "engine/ZoomablePage.h"

#include "engine/DeepZoomPyramid.h"
#include "engine/MatchData.h"
#include "engine/MosaicLikeness.h"
#include "engine/OutputFiles.h"
#include "engine/PyramidWriterAgent.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>

namespace {

// The page, the viewer and its images, built into the program.
const QLatin1String PageResources(":/zoomable");

// The folder all the pictures lie in, with its slash; names are shown
// relative to it, which keeps the map small and the collection's place on
// the disk private.
QString CommonFolder(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    QString common = paths.first().left(paths.first().lastIndexOf('/') + 1);
    for (const QString &path : paths) {
        while (!path.startsWith(common))
            common.truncate(common.lastIndexOf('/', -2) + 1);
    }
    return common;
}

void AppendNumbers(QByteArray &js, const char *name, const QList<int> &numbers)
{
    js += ",\"";
    js += name;
    js += "\":[";
    for (qsizetype i = 0; i < numbers.size(); ++i) {
        if (i > 0)
            js += ',';
        js += QByteArray::number(numbers[i]);
    }
    js += ']';
}

// A script that sets one variable, since a page opened as a file may load
// scripts but may not fetch data. Tiles are two numbers each: the picture's
// place in the list (-1 for none) and the difference in tenths.
QByteArray TileMap(int width, int height, const MosaicLikeness &likeness)
{
    QList<int> columns, rows;
    int *sizes = nullptr, *offsets = nullptr;
    MatchData().TileSizesAndOffsets(width, likeness.columns, &sizes, &offsets);
    for (int i = 0; i < likeness.columns; ++i)
        columns.append(offsets[i]);
    columns.append(width);
    delete[] sizes;
    delete[] offsets;
    MatchData().TileSizesAndOffsets(height, likeness.rows, &sizes, &offsets);
    for (int i = 0; i < likeness.rows; ++i)
        rows.append(offsets[i]);
    rows.append(height);
    delete[] sizes;
    delete[] offsets;

    QStringList used;
    QList<int> uses;
    QHash<QString, int> placeOf;
    for (const MosaicLikeness::Picture &picture : likeness.pictures) {
        if (picture.uses > 0) {
            placeOf.insert(picture.filename, int(used.size()));
            used.append(picture.filename);
            uses.append(picture.uses);
        }
    }
    QList<int> pictureOf, differences;
    for (const MosaicLikeness::Tile &tile : likeness.tiles) {
        pictureOf.append(placeOf.value(tile.picture, -1));
        differences.append(int(std::lround(tile.difference * 10.0)));
    }
    const QString common = CommonFolder(used);
    QJsonArray names;
    for (const QString &path : std::as_const(used))
        names.append(path.mid(common.size()));

    QByteArray js = "var mosaic = {";
    js += QString("\"tiles\":\"%1/\",\"width\":%2,\"height\":%3,\"tileSize\":%4,\"overlap\":%5")
              .arg(PyramidWriterAgent::TilesFolder)
              .arg(width)
              .arg(height)
              .arg(DeepZoomPyramid::TileSize)
              .arg(DeepZoomPyramid::Overlap)
              .toUtf8();
    AppendNumbers(js, "columns", columns);
    AppendNumbers(js, "rows", rows);
    js += ",\"pictures\":" + QJsonDocument(names).toJson(QJsonDocument::Compact);
    AppendNumbers(js, "uses", uses);
    AppendNumbers(js, "picture", pictureOf);
    AppendNumbers(js, "difference", differences);
    js += "};\n";
    return js;
}

}   // namespace

bool WriteZoomablePage(const QString &dir, int width, int height, const MosaicLikeness &likeness, QString &error)
{
    const QDir folder(dir);
    QDirIterator it(PageResources, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString resource = it.next();
        const QString target = folder.filePath(resource.mid(PageResources.size() + 1));
        QFile file(resource);
        if (!file.open(QIODevice::ReadOnly)) {
            error = QString("cannot read %1 from the program").arg(resource);
            return false;
        }
        if (!MakeFolder(QFileInfo(target).absolutePath(), error) || !WriteFile(target, file.readAll(), error))
            return false;
    }
    return WriteFile(folder.filePath("tiles.js"), TileMap(width, height, likeness), error);
}
