#include "engine/PyramidWriterAgent.h"

#include "engine/DeepZoomPyramid.h"
#include "engine/ImagePosterParameters.h"
#include "engine/OutputFiles.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

PyramidWriterAgent::PyramidWriterAgent(QObject *parent) : QThread(parent)
{}

PyramidWriterAgent::~PyramidWriterAgent()
{
    wait();
}

bool PyramidWriterAgent::Prepare(const QString &dir, int threadCount)
{
    // One save at a time; a thread that is still leaving run() is let go first.
    wait();
    succeeded = false;
    width = 0;
    height = 0;
    errorMessage.clear();
    image = nullptr;
    jpegFilename.clear();
    threads = threadCount;
    descriptor = QDir(dir).filePath(DescriptorName);
    tiles = QDir(dir).filePath(TilesFolder);

    // Tiles of an earlier, larger pyramid must not linger in the new one, nor
    // its descriptor, which marks a whole pyramid.
    if (!MakeFolder(dir, errorMessage))
        return false;
    QFile::remove(descriptor);
    if (QFileInfo(tiles).isDir() && !QDir(tiles).removeRecursively()) {
        errorMessage = tr("cannot remove the earlier pyramid in %1").arg(tiles);
        return false;
    }
    return MakeFolder(tiles, errorMessage);
}

bool PyramidWriterAgent::Save(const QString &dir, const Image &picture, int threadCount)
{
    if (!Prepare(dir, threadCount))
        return false;
    if (!picture.data || picture.width < 1 || picture.height < 1) {
        errorMessage = tr("the picture is empty");
        return false;
    }
    image = &picture;
    start();
    return true;
}

bool PyramidWriterAgent::SaveFile(const QString &dir, const QString &filename, int threadCount)
{
    if (!Prepare(dir, threadCount))
        return false;
    jpegFilename = filename;
    start();
    return true;
}

bool PyramidWriterAgent::Succeeded() const
{
    return succeeded;
}

int PyramidWriterAgent::Width() const
{
    return width;
}

int PyramidWriterAgent::Height() const
{
    return height;
}

QString PyramidWriterAgent::ErrorMessage() const
{
    return errorMessage;
}

void PyramidWriterAgent::run()
{
    DeepZoomPyramid pyramid(tiles, threads);
    pyramid.SetProgress([this](int percent) { emit progress(percent); });
    bool ok;
    if (image) {
        ok = pyramid.Write(*image);
        width = image->width;
        height = image->height;
    } else {
        // The pyramid keeps a few rows, so even the largest mosaic is read.
        const size_t largest = size_t(MaxResolution) * size_t(MaxResolution) * 3;
        JPEGProblem problem;
        ok = DecodeJPEG(jpegFilename, pyramid, &problem, largest) && pyramid.Complete();
        errorMessage = problem.message;
        width = pyramid.Width();
        height = pyramid.Height();
    }
    if (!pyramid.ErrorMessage().isEmpty())
        errorMessage = pyramid.ErrorMessage();
    // The descriptor comes last: a pyramid with one is whole.
    ok = ok
         && WriteFile(descriptor,
                      QString("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<Image xmlns=\"http://schemas.microsoft.com/deepzoom/2008\" Format=\"jpeg\" "
                              "Overlap=\"%1\" TileSize=\"%2\">\n"
                              "  <Size Width=\"%3\" Height=\"%4\"/>\n"
                              "</Image>\n")
                          .arg(DeepZoomPyramid::Overlap)
                          .arg(DeepZoomPyramid::TileSize)
                          .arg(width)
                          .arg(height)
                          .toUtf8(),
                      errorMessage);
    succeeded = ok;
}
