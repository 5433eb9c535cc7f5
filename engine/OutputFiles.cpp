#include "engine/OutputFiles.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
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
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
        return true;
    error = QString("cannot write %1: %2").arg(path, file.errorString());
    return false;
}
