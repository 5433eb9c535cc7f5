#include "imaging/ReplacingFile.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

ReplacingFile::ReplacingFile(const QString &filename) : filename(filename)
{}

ReplacingFile::~ReplacingFile()
{
    Abandon();
}

bool ReplacingFile::Open()
{
    Abandon();
    // Through a link the file it points at is replaced, and the link stays.
    const QFileInfo info(filename);
    const QString path = info.exists() ? info.canonicalFilePath() : filename;
    target = QFile::encodeName(path);
    struct stat existing;
    const bool exists = ::stat(target.constData(), &existing) == 0;

    int fd = -1;
    if (exists && !S_ISREG(existing.st_mode)) {
        fd = ::open(target.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    } else {
        const QFileInfo at(path);
        for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
            part = QFile::encodeName(QString("%1/.%2.%3.part")
                                         .arg(at.absolutePath(), at.fileName())
                                         .arg(QRandomGenerator::global()->generate(), 8, 16, QChar('0')));
            fd = ::open(part.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd < 0)
            part.clear();
        else if (exists)
            ::fchmod(fd, existing.st_mode & 07777);
    }
    stream = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
    if (stream)
        return true;
    errorMessage = qt_error_string(errno);
    if (fd >= 0)
        ::close(fd);
    Abandon();
    return false;
}

void ReplacingFile::StartDiskWrites()
{
    if (stream && !part.isEmpty())
        ::sync_file_range(fileno(stream), 0, 0, SYNC_FILE_RANGE_WRITE);
}

bool ReplacingFile::Commit()
{
    if (!stream)
        return false;
    // A device is not synced: /dev/null refuses fsync, and nothing is replaced.
    bool ok = std::fflush(stream) == 0 && !std::ferror(stream) && (part.isEmpty() || ::fsync(fileno(stream)) == 0);
    int error = ok ? 0 : errno;   // the first failure's, not a later step's
    if (std::fclose(stream) != 0 && ok) {
        ok = false;
        error = errno;
    }
    stream = nullptr;
    if (ok && !part.isEmpty() && ::rename(part.constData(), target.constData()) != 0) {
        ok = false;
        error = errno;
    }
    if (ok)
        part.clear();
    else
        errorMessage = qt_error_string(error);
    Abandon();
    return ok;
}

void ReplacingFile::Abandon()
{
    if (stream) {
        std::fclose(stream);
        stream = nullptr;
    }
    if (!part.isEmpty()) {
        ::unlink(part.constData());
        part.clear();
    }
}
