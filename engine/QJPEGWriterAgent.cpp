#include "engine/QJPEGWriterAgent.h"

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

struct QJPEGWriterAgent::SavingRecord {
    FILE *file = nullptr;
    const Image *image = nullptr;
    int quality = 0;
    QByteArray target;      // the file the user asked for
    QByteArray temporary;   // written first and renamed over target; empty when writing target itself
};

namespace {
// A new file beside target, made with the usual permissions (or those of the
// file it will replace). Returns the descriptor, or -1 with errno set.
int CreateTemporaryBeside(const QString &target, mode_t replacedMode, bool replacing, QByteArray &name)
{
    const QFileInfo info(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = QFile::encodeName(QString("%1/.%2.%3.part")
                                     .arg(info.absolutePath(), info.fileName())
                                     .arg(QRandomGenerator::global()->generate(), 8, 16, QChar('0')));
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            if (replacing)
                ::fchmod(fd, replacedMode & 07777);
            return fd;
        }
        if (errno != EEXIST)
            return -1;
    }
    return -1;
}
}   // namespace

QJPEGWriterAgent::QJPEGWriterAgent(QObject *parent) : QThread(parent)
{}

QJPEGWriterAgent::~QJPEGWriterAgent()
{
    wait();
    delete record;
}

bool QJPEGWriterAgent::Save(const QString &filename, const Image &image, int quality)
{
    // One save at a time; a thread that is still leaving run() is let go first.
    wait();
    delete record;
    record = nullptr;
    succeeded = false;
    errorMessage.clear();

    if (!image.data || image.width < 1 || image.height < 1) {
        errorMessage = tr("the picture is empty");
        return false;
    }

    // Devices and other special files are written in place; a regular file is
    // only replaced once its successor is complete.
    QString target = filename;
    const QFileInfo info(filename);
    if (info.isSymLink() && !info.canonicalFilePath().isEmpty())
        target = info.canonicalFilePath();
    const QByteArray targetName = QFile::encodeName(target);
    struct stat existing;
    const bool exists = ::stat(targetName.constData(), &existing) == 0;

    SavingRecord *r = new SavingRecord;
    r->image = &image;
    r->quality = quality;
    r->target = targetName;
    if (exists && !S_ISREG(existing.st_mode)) {
        r->file = std::fopen(targetName.constData(), "wb");
    } else {
        const int fd = CreateTemporaryBeside(target, exists ? existing.st_mode : 0, exists, r->temporary);
        r->file = fd >= 0 ? ::fdopen(fd, "wb") : nullptr;
        if (fd >= 0 && !r->file) {
            ::close(fd);
            ::unlink(r->temporary.constData());
        }
    }
    if (!r->file) {
        errorMessage = qt_error_string(errno);
        delete r;
        return false;
    }

    record = r;
    start();
    return true;
}

bool QJPEGWriterAgent::Succeeded() const
{
    return succeeded;
}

QString QJPEGWriterAgent::ErrorMessage() const
{
    return errorMessage;
}

void QJPEGWriterAgent::run()
{
    SavingRecord *r = record;
    // A one-row picture would divide by zero; it is done after its row.
    const float divisor = float(std::max(r->image->height - 1, 1));
    int last = -1;
    const auto rowDone = [&](int rows) {
        // The divisor is one short of the height, so the last rows would
        // report more than 100 percent.
        const int percent = std::min(int(float(rows) * 100.0f / divisor), 100);
        if (percent == last)
            return;
        emit progress(percent);
        last = percent;
        // The part file goes to the disk before it replaces the target;
        // starting the writes while encoding leaves the final fsync
        // little to wait for.
        if (!r->temporary.isEmpty() && percent % 10 == 0)
            ::sync_file_range(fileno(r->file), 0, 0, SYNC_FILE_RANGE_WRITE);
    };
    QString message;
    bool ok = EncodeJPEG(r->file, *r->image, r->quality, rowDone, &message);

    // A file that does not reach the disk whole must not replace anything.
    if (ok && !r->temporary.isEmpty() && (std::fflush(r->file) != 0 || ::fsync(fileno(r->file)) != 0)) {
        ok = false;
        message = qt_error_string(errno);
    }
    if (std::fclose(r->file) != 0 && ok) {
        ok = false;
        message = qt_error_string(errno);
    }
    if (ok && !r->temporary.isEmpty() && ::rename(r->temporary.constData(), r->target.constData()) != 0) {
        ok = false;
        message = qt_error_string(errno);
    }
    if (!ok && !r->temporary.isEmpty())
        ::unlink(r->temporary.constData());

    errorMessage = message;
    succeeded = ok;
    delete r;
    record = nullptr;
}
