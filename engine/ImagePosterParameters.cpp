#include "engine/ImagePosterParameters.h"

#include "imaging/Image.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <algorithm>
#include <cmath>
#include <climits>
#include <cstdlib>
#include <cstring>

QString GetDesktopFolderPath()
{
    return QDir::homePath() + "/Desktop";
}

QString GetPictureFolderPath()
{
    return QDir::homePath() + "/Pictures";
}

ImagePosterParameters::ImagePosterParameters()
    : numThreads(-1), imageDBFilename(QDir::homePath() + "/imagedb"), sourceImage(nullptr),
      imageStrategy(ImageDB::StrategyFast), useDirectories(GetPictureFolderPath()), divisions(60), repeats(5),
      blend(20), targetResolution(6000), outputFilename(GetDesktopFolderPath() + "/photomosaic.jpg"), spacing(0),
      optimalArrangement(false)
{}

ImagePosterParameters::~ImagePosterParameters()
{
    delete sourceImage;
}

// atoi's reading of a number (leading blanks, a sign, digits, the rest
// ignored, no digits giving 0), but saturating instead of overflowing.
static int ToInt(const char *text)
{
    const long value = std::strtol(text, nullptr, 10);
    return int(std::clamp<long>(value, INT_MIN, INT_MAX));
}

void ParseCommandLine(int argc, const char *const *argv, int &numThreads, QString &imageDBFilename)
{
    int i = 1;
    while (i < argc) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "-imagedb") == 0 && hasValue) {
            imageDBFilename = QFile::decodeName(argv[i + 1]);
            i += 2;
        } else if (std::strcmp(argv[i], "-nt") == 0 && hasValue) {
            numThreads = std::max(1, ToInt(argv[i + 1]));
            i += 2;
        } else {
            ++i;
        }
    }
}

bool RaiseRepeatsToFill(int divisions, int numImages, int &repeats)
{
    if (numImages < 1)
        return false;
    const qint64 tiles = qint64(divisions) * divisions;
    if (tiles <= qint64(numImages) * repeats || repeats >= MaxRepeats)
        return false;
    const qint64 needed = (tiles + numImages - 1) / numImages;
    repeats = int(std::min<qint64>(needed, MaxRepeats));
    return true;
}

int ResolutionForDivisions(int divisions)
{
    return std::clamp(divisions * 100, MinResolution, MaxResolution);
}

int SpacedUses(int divisions, int spacing)
{
    const qint64 blocks = (qint64(divisions) + spacing) / (spacing + 1);
    return int(std::min<qint64>(blocks * blocks, INT_MAX));
}

namespace {
bool Fills(int divisions, int numImages, int repeats, int spacing)
{
    const int uses = spacing > 0 ? std::min(repeats, SpacedUses(divisions, spacing)) : repeats;
    return qint64(numImages) * uses >= qint64(divisions) * divisions;
}
}   // namespace

int MaxFilledDivisions(int numImages, int repeats, int spacing)
{
    const qint64 uses = qint64(std::max(numImages, 0)) * std::max(repeats, 0);
    qint64 divisions = qint64(std::sqrt(double(uses)));
    while (divisions * divisions > uses)
        --divisions;
    while ((divisions + 1) * (divisions + 1) <= uses)
        ++divisions;
    // Spacing only lowers what fits, so every count below the first that
    // does not fill is the answer.
    for (int d = 1; spacing > 0 && d <= divisions; ++d)
        if (!Fills(d, numImages, repeats, spacing))
            return d - 1;
    return int(divisions);
}

QString UnfilledTilesNote(int divisions, int numImages, int repeats, int spacing)
{
    if (Fills(divisions, numImages, repeats, spacing))
        return {};
    const qint64 tiles = qint64(divisions) * divisions;
    const int spaced = SpacedUses(divisions, spacing);
    if (spacing > 0 && spaced < repeats)
        return QString("%1 pictures used at most %2 times each, and %3 times with spacing %4, cannot fill %5 "
                       "tiles; some tiles stay empty.")
            .arg(numImages)
            .arg(repeats)
            .arg(spaced)
            .arg(spacing)
            .arg(tiles);
    return QString("%1 pictures used at most %2 times each cannot fill %3 tiles; some tiles stay empty.")
        .arg(numImages)
        .arg(repeats)
        .arg(tiles);
}

QString OutputFileProblem(const QString &path)
{
    const QFileInfo info(path);
    if (info.isDir())
        return QString("cannot save the mosaic as %1: it is a folder").arg(path);
    const QFileInfo folder(info.absolutePath());
    if (!folder.exists())
        return QString("cannot save the mosaic as %1: the folder %2 does not exist").arg(path, folder.filePath());
    if (!folder.isDir())
        return QString("cannot save the mosaic as %1: %2 is not a folder").arg(path, folder.filePath());
    QTemporaryFile probe(folder.filePath() + "/.kestrelvanepatchery-XXXXXX");
    if (!probe.open())
        return QString("cannot save the mosaic as %1: no file can be made in the folder %2")
            .arg(path, folder.filePath());
    return {};
}
