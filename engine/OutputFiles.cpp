#include "engine/OutputFiles.h"

#include "imaging/ReplacingFile.h"

#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <filesystem>
#include <system_error>

bool MakeFolder(const QString &path, QString &error)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        error = QString("%1 is not a folder").arg(path);
        return false;
    }
    std::error_code failure;
    std::filesystem::create_directories(QFile::encodeName(path).toStdString(), failure);
    if (failure) {
        error = QString("cannot make the folder %1: %2").arg(path, QString::fromStdString(failure.message()));
        return false;
    }
    return true;
}

bool WriteFile(const QString &path, const QByteArray &bytes, QString &error)
{
    ReplacingFile file(path);
    if (file.Open()) {
        // A short write leaves the stream's error set, which Commit reports.
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), file.Stream());
        if (file.Commit())
            return true;
    }
    error = QString("cannot write %1: %2").arg(path, file.ErrorMessage());
    return false;
}
