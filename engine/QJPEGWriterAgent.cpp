#include "engine/QJPEGWriterAgent.h"

#include "imaging/Image.h"
#include "imaging/JPEG.h"
#include "imaging/ReplacingFile.h"

#include <algorithm>

QJPEGWriterAgent::QJPEGWriterAgent(QObject *parent) : QThread(parent)
{}

QJPEGWriterAgent::~QJPEGWriterAgent()
{
    wait();
}

bool QJPEGWriterAgent::Save(const QString &filename, const Image &picture, int jpegQuality)
{
    // One save at a time; a thread that is still leaving run() is let go first.
    wait();
    file.reset();
    succeeded = false;
    errorMessage.clear();

    if (!picture.data || picture.width < 1 || picture.height < 1) {
        errorMessage = tr("the picture is empty");
        return false;
    }
    auto opened = std::make_unique<ReplacingFile>(filename);
    if (!opened->Open()) {
        errorMessage = opened->ErrorMessage();
        return false;
    }
    file = std::move(opened);
    image = &picture;
    quality = jpegQuality;
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
    // A one-row picture would divide by zero; it is done after its row.
    const float divisor = float(std::max(image->height - 1, 1));
    int last = -1;
    const auto rowDone = [&](int rows) {
        // The divisor is one short of the height, so the last rows would
        // report more than 100 percent.
        const int percent = std::min(int(float(rows) * 100.0f / divisor), 100);
        if (percent == last)
            return;
        emit progress(percent);
        last = percent;
        // The new file's disk writes start while it is encoded, so the fsync
        // before it replaces the old one waits for little.
        if (percent % 10 == 0)
            file->StartDiskWrites();
    };
    QString message;
    bool ok = EncodeJPEG(file->Stream(), *image, quality, rowDone, &message);
    if (ok && !file->Commit()) {
        ok = false;
        message = file->ErrorMessage();
    }
    file.reset();
    errorMessage = message;
    succeeded = ok;
}
