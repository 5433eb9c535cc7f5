#pragma once

#include <QString>
#include <QThread>

class Image;

// Writes the Deep Zoom pyramid of a mosaic, dir/mosaic.dzi and the tiles in
// dir/mosaic_files/, on its own thread, which hands the tiles to a
// DeepZoomPyramid's pool. A pyramid already in dir is replaced.
class PyramidWriterAgent : public QThread {
    Q_OBJECT
public:
    explicit PyramidWriterAgent(QObject *parent = nullptr);
    ~PyramidWriterAgent() override;

    // Makes the folders and starts the thread; false with ErrorMessage() when
    // the folders cannot be made. The image must stay alive and unchanged
    // until finished(). threads is the pool's size, below 1 one a core.
    bool Save(const QString &dir, const Image &image, int threads);
    // The same from a saved JPEG file, which is read as a stream.
    bool SaveFile(const QString &dir, const QString &jpegFilename, int threads);

    // After finished(): whether the pyramid is complete, and the size of the
    // picture it shows.
    bool Succeeded() const;
    int Width() const;
    int Height() const;
    // Why the last save failed.
    QString ErrorMessage() const;

    // The names the pyramid takes in its folder.
    static constexpr const char *DescriptorName = "mosaic.dzi";
    static constexpr const char *TilesFolder = "mosaic_files";

signals:
    // The share of the picture written, in percent, as it grows.
    void progress(int percent);

protected:
    void run() override;

private:
    bool Prepare(const QString &dir, int threadCount);

    // Set by Save or SaveFile, read by run().
    QString descriptor;
    QString tiles;
    const Image *image = nullptr;
    QString jpegFilename;
    int threads = 0;
    // Written by run(), read after finished().
    bool succeeded = false;
    int width = 0;
    int height = 0;
    QString errorMessage;
};
