#pragma once

#include <QString>
#include <QThread>

class Image;

// Writes an image as JPEG on its own thread, row by row, with progress.
class QJPEGWriterAgent : public QThread {
    Q_OBJECT
public:
    explicit QJPEGWriterAgent(QObject *parent);
    ~QJPEGWriterAgent() override;

    // Opens the file and starts the thread; false when the file cannot be
    // created. The image must stay alive and unchanged until finished().
    bool Save(const QString &filename, const Image &image, int quality);

    // After finished(): whether the whole file was written and is in place.
    // The file is written beside its final name and only then renamed over
    // it, so a failed save leaves an existing file as it was.
    bool Succeeded() const;
    // Why the last save failed, in the system's or the JPEG library's words.
    QString ErrorMessage() const;

    // The file and picture of one save; exists from Save until the end of run().
    struct SavingRecord;

signals:
    void progress(int percent);

protected:
    void run() override;

private:
    SavingRecord *record = nullptr;
    bool succeeded = false;   // written by run(), read after finished()
    QString errorMessage;     // likewise
};
