#pragma once

#include <QString>
#include <QThread>

#include <memory>

class Image;
class ReplacingFile;

// Writes an image as JPEG on its own thread, row by row, with progress.
class QJPEGWriterAgent : public QThread {
    Q_OBJECT
public:
    explicit QJPEGWriterAgent(QObject *parent);
    ~QJPEGWriterAgent() override;

    // Creates the file and starts the thread; false when the file cannot be
    // created. The image must stay alive and unchanged until finished().
    bool Save(const QString &filename, const Image &image, int quality);

    // After finished(): whether the whole file was written and is in place.
    // The file is written beside its final name and only then renamed over
    // it, so a failed save leaves an existing file as it was.
    bool Succeeded() const;
    // Why the last save failed, in the system's or the JPEG library's words.
    QString ErrorMessage() const;

signals:
    void progress(int percent);

protected:
    void run() override;

private:
    // Set by Save before the thread starts; run() ends the file's use.
    std::unique_ptr<ReplacingFile> file;
    const Image *image = nullptr;
    int quality = 0;
    bool succeeded = false;   // written by run(), read after finished()
    QString errorMessage;     // likewise
};
