#pragma once

#include "imaging/Agent.h"
#include "imagedb/KeyIndex.h"
#include "imaging/Image.h"
#include "imaging/TileMetrics.h"

#include <QDir>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <climits>
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
        Image *sourceImage = nullptr;    // StrategyFastest only
        QString cachedFilename;          // StrategyFast only
        std::atomic<bool> skip{false};   // set by update agents while the GUI thread counts
        // Under a folder to use and under no excluded folder at the last
        // update, or added since: only such records take part in matching
        // and count. The others stay, so that their folder can come back
        // without decoding.
        bool inUse = true;
        // Read from a file written before pictures were turned upright by
        // their EXIF orientation: the next update that examines it reads the
        // picture's tag, and decodes it again if it asks for a turn.
        bool orientationUnchecked = false;
        Orientation orientation = Landscape;
        std::atomic<int> useCount{0};   // read by matching threads without the lock
    };

    // A picture the last update could not use, and why.
    struct UnusablePicture {
        QString filename;
        QString reason;
    };

    struct MatchResult {
        QString filename;   // null when no record qualified
        Rotation rotation = Rotation::Unturned;
    };

    ImageDB();
    ~ImageDB() override;

    // Records. Only records in use count: the pictures of the collection
    // (usable or not) and those of them that can be used.
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

    // Scan and update. An update purges the records under the excluded
    // folders and those made from a tile cache's files, scans the folders to
    // use, and marks which records are in use. Folders are compared by whole
    // names: /a/x holds /a/x/y.jpg but not /a/xmas/y.jpg. Exclusion wins: an
    // excluded folder, or one below it, is never scanned, even when it is also
    // a folder to use. Tile cache folders are never scanned either.
    void Update(const QStringList &dirs, const QStringList &excludedDirs, ImageDB::SourceImageStrategy strategy,
                int threadCount);
    void AddFiles(const QDir &dir, const QStringList &excludedDirs);
    void Add(const QString &filename);
    void PurgeFiles(const QStringList &folders);
    bool IsUpdating() const;
    // Whether folder (a clean absolute path) is path or holds it.
    static bool FolderHolds(const QString &folder, const QString &path);
    // The folders to use that are excluded too, themselves or by a folder above.
    static QStringList ExcludedUseDirectories(const QStringList &dirs, const QStringList &excludedDirs);
    // True once for a record whose orientation is unchecked, which is then
    // marked checked; an update thread's call for its own record.
    bool TakeOrientationCheck(const QString &filename);

    // Reduced copies and the tile cache
    void ConvertStrategy(ImageDB::SourceImageStrategy strategy);
    void SetSourceImage(const QString &filename, const Image &picture);
    // The update's way to decode a new picture and do SetSourceImage and then
    // SetKeyImage with the picture reduced to key size, made from the decoded
    // rows as they come, without holding the whole picture. False when the
    // picture cannot be read (as ReadJPEG), with why in problem when given.
    bool ReadSourceAndKeyImages(const QString &filename, QString *problem = nullptr);
    Image *GetSourceImage(const QString &filename, int size) const;   // caller owns the result
    QString GetNewCachedFilename();

    // Best match and use counts. Pictures named in excluded are passed over
    // as if used up.
    MatchResult BestMatch(const Image &tile, Orientation orientation, int maxUses,
                          const QSet<QString> &excluded = {}) const;
    // BestMatch for count tiles in one pass over the key images. Each tile's
    // list starts with BestMatch's answer, followed by what BestMatch would
    // answer were the ones before used up, up to candidates results in all.
    // Use counts only grow while matching, so the first result still usable
    // later is then BestMatch's answer; when none is, search again.
    QList<QList<MatchResult>> BestMatches(const Image *const *tiles, const Orientation *orientations, int count,
                                          int maxUses, int candidates) const;
    bool UseMatch(const QString &filename, int maxUses);
    void ResetUseCounts();
    // The packed key images for searches of many results per tile; null when
    // it cannot be built. Valid while the records stay unchanged.
    const KeyIndex *MatchIndex() const { return CurrentKeyIndex(); }

    SourceImageStrategy strategy;
    QStringList directories;
    QStringList excludedDirectories;
    // The records, by phase:
    // - reading and writing the file, the scan and a strategy change: the GUI
    //   thread alone, never while an update runs (Read and Write refuse then);
    // - update: the GUI thread adds, purges and marks records in use before
    //   the agents start and leaves the map alone until the last has
    //   finished; each agent writes only the records of its share of workList
    //   (key image, copy or cache name, orientation, skip, the orientation
    //   check) through lookups that never change the map, while the GUI
    //   thread only counts usable records (skip is atomic);
    // - preparation: read-only; the first agent's last step resets the use
    //   counts while the other agents touch no record;
    // - matching: read-only but for the use counts, which UseMatch changes
    //   atomically; the first search after a change rebuilds the key index
    //   under keyIndexMutex;
    // - assembly, and the likeness measured after it on the GUI thread:
    //   read-only (copies, cache names, key images, skip).
    QMap<QString, ImageInformation> images;
    int processedCount;     // guarded by mutex; written by update agents
    QStringList workList;   // read-only while update agents run
    // The pictures of the work list the last update could not use, in
    // filename order once it is complete.
    QList<UnusablePicture> unusablePictures;   // guarded by mutex; written by update agents
    int runningThreads;                        // GUI thread only
    QMutex mutex;

    // Number of the next cache file; taken and increased in one step.
    static std::atomic<int> imageFilenameCounter;

signals:
    void progress(int percent, const QString &filename);
    void complete();

public slots:
    void threadcomplete();

private:
    // Update's arguments, kept when it is called while the threads of an
    // earlier update still run.
    struct UpdateRequest {
        QStringList dirs;
        QStringList excludedDirs;
        SourceImageStrategy strategy = StrategyFast;
        int threadCount = -1;
    };

    void StartUpdate(const UpdateRequest &request);
    void AddFilesBelow(const QDir &dir, const QStringList &excludedDirs, const QString &tileCache,
                       QStringList &ancestors);
    void PurgeTileCacheCopies();
    void MarkRecordsInUse(const QStringList &dirs);
    // The record of filename, writable through a const lookup so that update and
    // matching threads never make the shared map detach; null when there is none.
    ImageInformation *Record(const QString &filename) const;
    static void FreeImages(ImageInformation &record);
    void StoreSourceImage(ImageInformation *record, Image *copy);

    // BestMatch's packed copy of the usable key images, rebuilt by the first
    // search (or ResetUseCounts, which runs before matching starts) after the
    // records changed; the searches then only read it. Null when it cannot be
    // built (memory ran out).
    const KeyIndex *CurrentKeyIndex() const;
    void KeyIndexOutdated() { keyIndexCurrent.store(false, std::memory_order_release); }
    void RebuildKeyIndex() const;   // with keyIndexMutex held
    MatchResult ScanRecords(const Image &tile, Orientation orientation, int maxUses,
                            const QSet<QString> &excluded) const;

    // The records the index was built from, shared with images: any change
    // made to images through its non-const interface detaches the two, which
    // tells that the index, and its pointers to the use counts, are stale.
    mutable QMap<QString, ImageInformation> keyIndexRecords;   // guarded by keyIndexMutex
    mutable KeyIndex keyIndex;                                 // guarded likewise while rebuilt
    mutable bool keyIndexBuilt = false;                        // guarded by keyIndexMutex
    mutable std::atomic<bool> keyIndexCurrent{false};          // cleared by record changes
    mutable QMutex keyIndexMutex;

    // The maxUses of an indexed search that found no record with a use left.
    // Use counts only grow until ResetUseCounts, so every later search with
    // it finds none either: once a collection is used up, the rest of the
    // tiles are not searched. Cleared by ResetUseCounts and a rebuilt index.
    static constexpr int NoneUsedUp = INT_MIN;
    mutable std::atomic<int> usedUpAt{NoneUsedUp};

    QList<QPointer<Agent>> agents;   // GUI thread only; the running update's threads
    bool updatePending = false;      // GUI thread only
    UpdateRequest pendingUpdate;     // GUI thread only; valid while updatePending
};

// Examines the pictures of the work list on one update thread.
class ImageDBAgent : public Agent {
    Q_OBJECT
public:
    ImageDBAgent(ImageDB *imageDB, const QStringList *fileList, QMutex *mutex, int *counter, int index, int count);

signals:
    void progress(int percent, const QString &filename);

protected:
    void run() override;

private:
    ImageDB *imageDB;
    const QStringList *fileList;
};
