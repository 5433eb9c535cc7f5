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
    bool Succeeded() const;

signals:
    void progress(int percent);

protected:
    void run() override;

private:
    struct SavingRecord;
    SavingRecord *record = nullptr;
    bool succeeded = false;
};
