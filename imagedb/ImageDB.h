#pragma once

#include "engine/Agent.h"
#include "imaging/Image.h"

#include <QDir>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdio>

// Landscape: wider than tall. A square picture counts as Portrait.
enum Orientation { Landscape = 0, Portrait = 1 };

// The catalogue of the collection: one record per picture, keyed by its
// absolute path, with its 16 by 16 key image and, by strategy, a reduced copy.
class ImageDB : public QObject {
    Q_OBJECT
public:
    enum SourceImageStrategy { StrategyNone = 0, StrategyFast = 1, StrategyFastest = 2 };

    // A value in the map. The image pointers are copied as pointers; the
    // database frees them, never the record.
    struct ImageInformation {
        ImageInformation() = default;
        ImageInformation(const ImageInformation &other);
        ImageInformation &operator=(const ImageInformation &other);

        Image *keyImage = nullptr;
        Image *sourceImage = nullptr;   // StrategyFastest only
        QString cachedFilename;         // StrategyFast only
        bool skip = false;
        Orientation orientation = Landscape;
        std::atomic<int> useCount{0};   // read by matching threads without the lock
    };

    struct MatchResult {
        QString filename;   // null when no record qualified
        int rotation = 0;   // 0 unrotated, 1 DifferenceRotateLeft won, 2 DifferenceRotateRight won
    };

    ImageDB();
    ~ImageDB() override;

    // Records
    int GetNumImages() const;
    int GetNumUsableImages() const;
    Image *GetKeyImage(const QString &filename) const;   // lent
    bool HasKeyImage(const QString &filename) const;
    void SetKeyImage(const QString &filename, Image *key, Orientation orientation);
    void SkipImage(const QString &filename);
    void Remove(const QString &filename);

    // The database file
    bool Read(const QString &filename);
    bool Write(const QString &filename);

    // Scan and update
    void Update(const QStringList &dirs, const QStringList &excludedDirs,
                ImageDB::SourceImageStrategy strategy, int threadCount);
    void AddFiles(const QDir &dir, const QStringList &excludedDirs);
    void Add(const QString &filename);
    void PurgeFiles(const QStringList &prefixes);
    bool IsUpdating() const;

    // Reduced copies and the tile cache
    void ConvertStrategy(ImageDB::SourceImageStrategy strategy);
    void SetSourceImage(const QString &filename, const Image &picture);
    Image *GetSourceImage(const QString &filename, int size) const;   // caller owns the result
    QString GetNewCachedFilename();

    // Best match and use counts
    MatchResult BestMatch(const Image &tile, Orientation orientation, int maxUses) const;
    bool UseMatch(const QString &filename, int maxUses);
    void ResetUseCounts();

    SourceImageStrategy strategy;
    QStringList directories;
    QStringList excludedDirectories;
    QMap<QString, ImageInformation> images;
    int processedCount;        // guarded by mutex; written by update agents
    QStringList workList;      // read-only while update agents run
    int runningThreads;        // GUI thread only
    QMutex mutex;

    // Number of the next cache file; taken and increased in one step.
    static std::atomic<int> imageFilenameCounter;

signals:
    void progress(int percent, const QString &filename);
    void complete();

public slots:
    void threadcomplete();
};

// The next NUL-ended string of the stream; stops at the end of the file.
QString ReadString(FILE *stream);

// Examines the pictures of the work list on one update thread.
class ImageDBAgent : public Agent {
    Q_OBJECT
public:
    ImageDBAgent(ImageDB *imageDB, const QStringList *fileList, QMutex *mutex, int *counter,
                 int index, int count);

signals:
    void progress(int percent, const QString &filename);

protected:
    void run() override;

private:
    ImageDB *imageDB;
    const QStringList *fileList;
};
