#pragma once

#include <QByteArray>
#include <QString>

// Makes the folder path and the folders above it that are missing. False with
// a reason that names the path when a file stands in the way or the system
// refuses.
bool MakeFolder(const QString &path, QString &error);

// Writes bytes as the file path, replacing it only once all of them are
// written. False with a reason that names the path.
bool WriteFile(const QString &path, const QByteArray &bytes, QString &error);
