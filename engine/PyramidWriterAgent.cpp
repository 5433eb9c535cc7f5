#include "engine/PyramidWriterAgent.h"

#include "engine/OutputFiles.h"
#include "engine/Vips.h"
#include "imaging/Image.h"

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
    base = QDir(dir).filePath(QFileInfo(DescriptorName).completeBaseName());

    // Tiles of an earlier, larger pyramid must not linger in the new one. The
    // folder is made here because libvips ends the process when it cannot
    // make it itself.
    const QString tiles = QDir(dir).filePath(TilesFolder);
    if (!MakeFolder(dir, errorMessage))
        return false;
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
    const std::string name = QFile::encodeName(base).toStdString();
    std::string error;
    bool ok;
    if (image) {
        ok = Vips::DeepZoomFromMemory(image->data, image->width, image->height, name, threads, error);
        width = image->width;
        height = image->height;
    } else {
        ok = Vips::DeepZoomFromFile(QFile::encodeName(jpegFilename).toStdString(), name, threads, width, height, error);
    }
    errorMessage = QString::fromStdString(error);
    succeeded = ok;
}
