#include "imagedb/ImageDB.h"

#include "imaging/JPEG.h"
#include "imaging/ReplacingFile.h"
#include "imaging/TileMetrics.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMutexLocker>
#include <QStringDecoder>
#include <QThread>
#include <QVarLengthArray>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::atomic<int> ImageDB::imageFilenameCounter{0};

namespace {

const char Magic[] = "Kestrelvanepatchery";
const int MagicFieldSize = 20;   // the name and its NUL
const int MagicCompared = 19;    // the 20th byte is not examined
// The third number is 1 when every record's key image was made from its
// picture turned upright by the picture's EXIF orientation, and 0, as older
// versions wrote it, when some may not have been.
const qint32 Version[3] = {0, 2, 1};
const qint64 KeyImageBytes = qint64(Image::COMPARISON_X_SIZE) * Image::COMPARISON_Y_SIZE * 3;
const int ReducedSide = 200;   // longer side of a reduced copy
const char CacheDirectoryName[] = "Kestrelvanepatchery";
// Fewer pictures than this are examined on one thread: starting the others
// would cost more than they save.
const int MinFilesForThreads = 20;
// Every cache folder is tagged when it is made, the way backup programs know
// to pass over; the signature line is what marks it.
const char CacheTagName[] = "CACHEDIR.TAG";
const char CacheTagSignature[] = "Signature: 8a477f597d28d172789f06886806bc55";
const char CacheTagText[] = "Signature: 8a477f597d28d172789f06886806bc55\n"
                            "# Reduced copies of pictures, made by Kestrelvanepatchery.\n"
                            "# For information about cache directory tags see https://bford.info/cachedir/\n";

QString TileCachePath()
{
    return QDir::homePath() + QLatin1Char('/') + QLatin1String(CacheDirectoryName);
}

// tile000000.jpg and on: "tile", at least six digits, ".jpg".
bool IsCacheFileName(QStringView name)
{
    if (!name.startsWith(u"tile") || !name.endsWith(u".jpg") || name.size() < 14)
        return false;
    const QStringView digits = name.mid(4, name.size() - 8);
    return std::all_of(digits.begin(), digits.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// Whether folder (an absolute path) is a tile cache, which holds reduced
// copies and never pictures of the collection: this home's cache (ownCache,
// canonical; empty while there is none), any folder tagged as a cache, as
// every cache is from now on, and, for caches made before the tag (another
// home's, say), a folder of the cache's name holding a file named like a
// cache file.
bool IsTileCache(const QString &folder, const QString &ownCache)
{
    const QFileInfo info(folder);
    if (!ownCache.isEmpty() && info.canonicalFilePath() == ownCache)
        return true;
    QFile tag(folder + QLatin1Char('/') + QLatin1String(CacheTagName));
    if (tag.open(QIODevice::ReadOnly) && tag.read(qstrlen(CacheTagSignature)) == CacheTagSignature)
        return true;
    if (info.fileName() != QLatin1String(CacheDirectoryName))
        return false;
    QDirIterator files(folder, {QStringLiteral("tile*.jpg")}, QDir::Files);
    while (files.hasNext()) {
        if (IsCacheFileName(files.nextFileInfo().fileName()))
            return true;
    }
    return false;
}

// The folders as clean absolute paths, the form of the records' names.
QStringList CleanFolders(const QStringList &folders)
{
    QStringList clean;
    for (const QString &folder : folders) {
        if (!folder.isEmpty())
            clean.append(QDir(folder).absolutePath());
    }
    return clean;
}

bool AnyHolds(const QStringList &folders, const QString &path)
{
    return std::any_of(folders.cbegin(), folders.cend(),
                       [&path](const QString &folder) { return ImageDB::FolderHolds(folder, path); });
}

// Every name Latin-1 can hold keeps one byte per character, as in the files
// written so far; any other name is written as UTF-8, which the reader knows
// by its characters above U+00FF.
QByteArray EncodeText(const QString &text)
{
    for (const QChar c : text) {
        if (c.unicode() > 0xff)
            return text.toUtf8();
    }
    return text.toLatin1();
}

QString DecodeText(const QByteArray &bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8.decode(bytes);
    if (!utf8.hasError()) {
        for (const QChar c : text) {
            if (c.unicode() > 0xff)
                return text;
        }
    }
    return QString::fromLatin1(bytes);
}

// Collects the bytes up to the next NUL (not stored). False when the stream
// ends first; the bytes read so far are left in bytes.
bool ReadNulEnded(FILE *stream, QByteArray &bytes)
{
    bytes.clear();
    for (;;) {
        const int c = getc_unlocked(stream);
        if (c == EOF)
            return false;
        if (c == 0)
            return true;
        bytes.append(char(c));
    }
}

// Reads the file's fields while counting what is left of it, so that no count
// or size taken from a damaged file makes it allocate more than the file holds.
class FileReader {
public:
    FileReader(FILE *stream, qint64 size) : stream(stream), left(size) {}

    bool Bytes(void *target, qint64 size)
    {
        if (size < 0 || size > left || fread(target, 1, size_t(size), stream) != size_t(size))
            return false;
        left -= size;
        return true;
    }

    bool Int(qint32 &value)
    {
        unsigned char bytes[4];
        if (!Bytes(bytes, 4))
            return false;
        value = qFromLittleEndian<qint32>(bytes);
        return true;
    }

    bool Text(QString &text)
    {
        QByteArray bytes;
        if (!ReadNulEnded(stream, bytes))
            return false;
        left -= bytes.size() + 1;
        text = DecodeText(bytes);
        return true;
    }

    qint64 Left() const { return left; }

private:
    FILE *stream;
    qint64 left;
};

// Remembers the first failed write; later writes are then not attempted.
class FileWriter {
public:
    explicit FileWriter(FILE *stream) : stream(stream) {}

    void Bytes(const void *data, size_t size)
    {
        if (ok && size > 0 && fwrite(data, 1, size, stream) != size)
            ok = false;
    }

    void Int(qint32 value)
    {
        unsigned char bytes[4];
        qToLittleEndian(value, bytes);
        Bytes(bytes, 4);
    }

    void Text(const QString &text)
    {
        const QByteArray bytes = EncodeText(text);
        Bytes(bytes.constData(), size_t(bytes.size()) + 1);   // with its NUL
    }

    bool ok = true;

private:
    FILE *stream;
};

// A record is stored only with a complete key image, which is what the reader
// takes back.
bool IsWritable(const ImageDB::ImageInformation &record)
{
    return !record.skip.load(std::memory_order_relaxed) && record.keyImage && record.keyImage->data
           && record.keyImage->width == Image::COMPARISON_X_SIZE && record.keyImage->height == Image::COMPARISON_Y_SIZE;
}

// Longer side 200, the other in proportion (truncated), but never below one
// pixel, so a long thin panorama still gets a drawable copy.
void ReducedSize(int width, int height, int &reducedWidth, int &reducedHeight)
{
    if (width > height) {
        reducedWidth = ReducedSide;
        reducedHeight = int(qint64(height) * ReducedSide / width);
    } else {
        reducedWidth = height > 0 ? int(qint64(width) * ReducedSide / height) : 0;
        reducedHeight = ReducedSide;
    }
    reducedWidth = qMax(reducedWidth, 1);
    reducedHeight = qMax(reducedHeight, 1);
}

// An update thread touches its records and the work list only before it last
// releases the group's lock. Taking the lock once after the threads have ended
// states that order where the thread sanitizer can see it; Qt's own ordering
// of a thread's end lies in code it does not watch.
void AfterAgents(QMutex &mutex)
{
    QMutexLocker lock(&mutex);
}

}   // namespace

// ---------------------------------------------------------------- records

ImageDB::ImageInformation::ImageInformation(const ImageInformation &other)
    : keyImage(other.keyImage), sourceImage(other.sourceImage), cachedFilename(other.cachedFilename),
      skip(other.skip.load(std::memory_order_relaxed)), inUse(other.inUse),
      orientationUnchecked(other.orientationUnchecked), orientation(other.orientation),
      useCount(other.useCount.load(std::memory_order_relaxed))
{}

ImageDB::ImageInformation &ImageDB::ImageInformation::operator=(const ImageInformation &other)
{
    keyImage = other.keyImage;
    sourceImage = other.sourceImage;
    cachedFilename = other.cachedFilename;
    skip.store(other.skip.load(std::memory_order_relaxed), std::memory_order_relaxed);
    inUse = other.inUse;
    orientationUnchecked = other.orientationUnchecked;
    orientation = other.orientation;
    useCount.store(other.useCount.load(std::memory_order_relaxed), std::memory_order_relaxed);
    return *this;
}

ImageDB::ImageDB() : strategy(StrategyFast), processedCount(0), runningThreads(0)
{}

ImageDB::~ImageDB()
{
    // The agents work on the records, so they must end before the records go.
    for (const QPointer<Agent> &agent : std::as_const(agents)) {
        if (agent)
            agent->stopRunning();
    }
    for (const QPointer<Agent> &agent : std::as_const(agents)) {
        if (agent) {
            agent->wait();
            delete agent.data();
        }
    }
    AfterAgents(mutex);
    keyIndexRecords = {};   // no longer shared, so the loop below does not copy the map
    for (ImageInformation &record : images)
        FreeImages(record);
}

void ImageDB::FreeImages(ImageInformation &record)
{
    delete record.keyImage;
    record.keyImage = nullptr;
    delete record.sourceImage;
    record.sourceImage = nullptr;
}

ImageDB::ImageInformation *ImageDB::Record(const QString &filename) const
{
    const auto it = images.constFind(filename);
    return it == images.cend() ? nullptr : const_cast<ImageInformation *>(&it.value());
}

int ImageDB::GetNumImages() const
{
    return int(
        std::count_if(images.cbegin(), images.cend(), [](const ImageInformation &record) { return record.inUse; }));
}

int ImageDB::GetNumUsableImages() const
{
    // Read while the update threads may mark records skipped.
    int usable = 0;
    for (const ImageInformation &record : images) {
        if (record.inUse && !record.skip.load(std::memory_order_relaxed))
            ++usable;
    }
    return usable;
}

Image *ImageDB::GetKeyImage(const QString &filename) const
{
    const ImageInformation *record = Record(filename);
    return record ? record->keyImage : nullptr;
}

bool ImageDB::HasKeyImage(const QString &filename) const
{
    return GetKeyImage(filename) != nullptr;
}

void ImageDB::SetKeyImage(const QString &filename, Image *key, Orientation orientation)
{
    ImageInformation *record = Record(filename);
    if (!record)
        return;
    if (record->keyImage != key)
        delete record->keyImage;
    record->keyImage = key;
    record->orientation = orientation;
    record->skip.store(false, std::memory_order_relaxed);
    record->useCount.store(0, std::memory_order_relaxed);
    KeyIndexOutdated();
}

void ImageDB::SkipImage(const QString &filename)
{
    if (ImageInformation *record = Record(filename)) {
        record->skip.store(true, std::memory_order_relaxed);
        KeyIndexOutdated();
    }
}

void ImageDB::Remove(const QString &filename)
{
    if (ImageInformation *record = Record(filename)) {
        FreeImages(*record);
        images.remove(filename);
        KeyIndexOutdated();
    }
}

// ---------------------------------------------------------------- the database file

bool ImageDB::Write(const QString &filename)
{
    // The update threads change key images and copies while they run.
    if (IsUpdating())
        return false;

    // A full disk or a crash during the save leaves the previous database
    // as it was.
    ReplacingFile file(filename);
    if (!file.Open())
        return false;

    int count = 0;
    bool orientationsChecked = true;
    for (const ImageInformation &record : std::as_const(images)) {
        if (IsWritable(record)) {
            ++count;
            orientationsChecked = orientationsChecked && !record.orientationUnchecked;
        }
    }

    FileWriter out(file.Stream());
    out.Bytes(Magic, MagicFieldSize);
    out.Int(Version[0]);
    out.Int(Version[1]);
    out.Int(orientationsChecked ? Version[2] : 0);
    out.Int(strategy);
    out.Int(imageFilenameCounter.load(std::memory_order_relaxed));
    out.Int(qint32(directories.size()));
    out.Int(qint32(excludedDirectories.size()));
    out.Int(count);
    for (const QString &directory : directories)
        out.Text(directory);
    for (const QString &directory : excludedDirectories)
        out.Text(directory);

    for (auto it = images.cbegin(); it != images.cend() && out.ok; ++it) {
        const ImageInformation &record = it.value();
        if (!IsWritable(record))
            continue;
        out.Text(it.key());
        out.Bytes(record.keyImage->data, size_t(KeyImageBytes));
        const unsigned char orientation = record.orientation == Portrait ? 1 : 0;
        out.Bytes(&orientation, 1);
        if (strategy == StrategyFast) {
            out.Text(record.cachedFilename);
        } else if (strategy == StrategyFastest) {
            // A record without a copy (made under another strategy) is stored
            // as a 0 by 0 copy, which is never drawn from.
            const Image *copy = record.sourceImage;
            const bool hasCopy = copy && copy->data && copy->width > 0 && copy->height > 0;
            out.Int(hasCopy ? copy->width : 0);
            out.Int(hasCopy ? copy->height : 0);
            if (hasCopy)
                out.Bytes(copy->data, copy->ByteCount());
        }
    }

    return out.ok && file.Commit();
}

// A file that does not hold everything its header announces is rejected as a
// whole: the database is changed only after the last record has been read.
bool ImageDB::Read(const QString &filename)
{
    if (IsUpdating())
        return false;

    FILE *stream = fopen(QFile::encodeName(filename).constData(), "rb");
    if (!stream)
        return false;
    struct stat status;
    if (fstat(fileno(stream), &status) != 0 || !S_ISREG(status.st_mode)) {
        fclose(stream);
        return false;
    }
    FileReader in(stream, qint64(status.st_size));

    char magic[MagicFieldSize];
    qint32 version[3];
    qint32 fileStrategy, counter, numDirectories, numExcluded, numRecords;
    bool ok = in.Bytes(magic, MagicFieldSize) && memcmp(magic, Magic, MagicCompared) == 0 && in.Int(version[0])
              && in.Int(version[1]) && in.Int(version[2]) && version[0] == Version[0] && version[1] == Version[1]
              && in.Int(fileStrategy) && in.Int(counter) && in.Int(numDirectories) && in.Int(numExcluded)
              && in.Int(numRecords) && fileStrategy >= StrategyNone && fileStrategy <= StrategyFastest && counter >= 0
              && numDirectories >= 0 && numExcluded >= 0 && numRecords >= 0;

    QStringList readDirectories, readExcluded;
    for (qint64 i = 0; ok && i < qint64(numDirectories) + numExcluded; ++i) {
        QString directory;
        ok = in.Text(directory);
        (i < numDirectories ? readDirectories : readExcluded).append(directory);
    }

    QMap<QString, ImageInformation> records;
    for (qint32 i = 0; ok && i < numRecords; ++i) {
        QString name;
        unsigned char orientation = 0;
        ImageInformation record;
        record.keyImage = new Image(Image::COMPARISON_X_SIZE, Image::COMPARISON_Y_SIZE);
        ok = in.Text(name) && record.keyImage->data && in.Bytes(record.keyImage->data, KeyImageBytes)
             && in.Bytes(&orientation, 1);
        record.orientation = orientation != 0 ? Portrait : Landscape;
        record.orientationUnchecked = version[2] < Version[2];
        if (ok && fileStrategy == StrategyFast) {
            ok = in.Text(record.cachedFilename);
        } else if (ok && fileStrategy == StrategyFastest) {
            qint32 width = 0, height = 0;
            ok = in.Int(width) && in.Int(height) && width >= 0 && height >= 0
                 && quint64(width) * quint64(height) * 3 <= quint64(in.Left());
            if (ok && qint64(width) * height > 0) {
                record.sourceImage = new Image(width, height);
                ok = record.sourceImage->data
                     && in.Bytes(record.sourceImage->data, qint64(record.sourceImage->ByteCount()));
            }
        }
        auto earlier = records.find(name);
        if (earlier != records.end())
            FreeImages(*earlier);
        records.insert(name, record);
    }
    fclose(stream);

    if (!ok) {
        for (ImageInformation &record : records)
            FreeImages(record);
        return false;
    }
    strategy = SourceImageStrategy(fileStrategy);
    imageFilenameCounter.store(counter, std::memory_order_relaxed);
    directories = readDirectories;
    excludedDirectories = readExcluded;
    for (auto it = records.cbegin(); it != records.cend(); ++it) {
        if (ImageInformation *existing = Record(it.key()))
            FreeImages(*existing);
        images.insert(it.key(), it.value());
    }
    KeyIndexOutdated();
    return true;
}

// ---------------------------------------------------------------- scan and update

bool ImageDB::IsUpdating() const
{
    return runningThreads > 0;
}

void ImageDB::Update(const QStringList &dirs, const QStringList &excludedDirs, ImageDB::SourceImageStrategy strategy,
                     int threadCount)
{
    const UpdateRequest request{dirs, excludedDirs, strategy, threadCount};
    // A strategy change, purge or scan now would change records under the
    // running threads. The latest request waits for them instead and then
    // runs in place of the finished update, which reports no complete() of its
    // own: the caller sees one completion, after the last requested update.
    if (IsUpdating()) {
        pendingUpdate = request;
        updatePending = true;
        return;
    }
    StartUpdate(request);
}

void ImageDB::StartUpdate(const UpdateRequest &request)
{
    ConvertStrategy(request.strategy);
    PurgeFiles(request.excludedDirs);
    PurgeTileCacheCopies();
    for (const QString &entry : request.dirs)
        AddFiles(QDir(entry), request.excludedDirs);
    directories = request.dirs;
    excludedDirectories = request.excludedDirs;
    MarkRecordsInUse(request.dirs);

    workList.clear();
    unusablePictures.clear();
    for (auto it = images.cbegin(); it != images.cend(); ++it) {
        if (!it.value().skip.load(std::memory_order_relaxed) && it.value().inUse)
            workList.append(it.key());
    }
    const int n = int(workList.size());
    if (n == 0) {
        emit progress(100, QString());
        emit complete();
        return;
    }

    int threads = n >= MinFilesForThreads ? request.threadCount : 1;
    if (threads < 1)
        threads = qMax(QThread::idealThreadCount(), 1);
    // A thread without a file would only start and stop; an absurd count
    // ("-nt 99999999999") would try to start billions of them.
    threads = qMin(threads, n);

    // The threads write into the records through lookups that never detach;
    // the map must not share its data with a copy while they run.
    images.detach();
    agents.removeIf([](const QPointer<Agent> &agent) { return agent.isNull(); });
    runningThreads = threads;
    processedCount = 0;
    for (int k = 0; k < threads; ++k) {
        auto *agent = new ImageDBAgent(this, &workList, &mutex, &processedCount, k, threads);
        connect(agent, &ImageDBAgent::progress, this, &ImageDB::progress);
        connect(agent, &QThread::finished, this, &ImageDB::threadcomplete);
        connect(agent, &QThread::finished, agent, &QObject::deleteLater);
        agents.append(agent);
        agent->start(QThread::InheritPriority);
    }
}

void ImageDB::threadcomplete()
{
    if (runningThreads <= 0 || --runningThreads > 0)
        return;
    AfterAgents(mutex);
    // Emptied before complete(), whose receivers may start the next update.
    workList.clear();
    std::sort(unusablePictures.begin(), unusablePictures.end(),
              [](const UnusablePicture &a, const UnusablePicture &b) { return a.filename < b.filename; });
    if (updatePending) {
        updatePending = false;
        StartUpdate(pendingUpdate);
        return;
    }
    emit complete();
}

void ImageDB::AddFiles(const QDir &dir, const QStringList &excludedDirs)
{
    QStringList ancestors;
    AddFilesBelow(dir, CleanFolders(excludedDirs), QFileInfo(TileCachePath()).canonicalFilePath(), ancestors);
}

// Symbolic links to directories are followed; one that leads back to a
// directory on the current path down (a canonical path already in ancestors)
// would make the recursion endless and is not entered.
void ImageDB::AddFilesBelow(const QDir &dir, const QStringList &excludedDirs, const QString &tileCache,
                            QStringList &ancestors)
{
    const QString canonical = dir.canonicalPath();
    const QString path = dir.absolutePath();
    if (canonical.isEmpty() || ancestors.contains(canonical) || AnyHolds(excludedDirs, path)
        || IsTileCache(path, tileCache))
        return;
    ancestors.append(canonical);

    const QFileInfoList entries =
        dir.entryInfoList(QDir::Dirs | QDir::Files | QDir::Drives | QDir::Readable, QDir::Name | QDir::DirsFirst);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            const QString name = entry.fileName();
            if (name != QLatin1String(".") && name != QLatin1String(".."))
                AddFilesBelow(QDir(entry.absoluteFilePath()), excludedDirs, tileCache, ancestors);
        } else {
            const QString file = entry.absoluteFilePath();
            if (file.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive)
                || file.endsWith(QLatin1String(".jpeg"), Qt::CaseInsensitive))
                Add(file);
        }
    }
    ancestors.removeLast();
}

void ImageDB::Add(const QString &filename)
{
    if (!images.contains(filename))
        images.insert(filename, ImageInformation());
}

void ImageDB::PurgeFiles(const QStringList &folders)
{
    const QStringList clean = CleanFolders(folders);
    QStringList purged;
    for (auto it = images.cbegin(); it != images.cend(); ++it) {
        if (AnyHolds(clean, it.key()))
            purged.append(it.key());
    }
    for (const QString &filename : std::as_const(purged))
        Remove(filename);
}

// Scans that still entered tile caches took their copies for pictures.
void ImageDB::PurgeTileCacheCopies()
{
    const QString ownCache = QFileInfo(TileCachePath()).canonicalFilePath();
    QHash<QString, bool> caches;   // by folder, each looked at once
    QStringList purged;
    for (auto it = images.cbegin(); it != images.cend(); ++it) {
        const QString folder = QFileInfo(it.key()).path();
        auto known = caches.find(folder);
        if (known == caches.end())
            known = caches.insert(folder, IsTileCache(folder, ownCache));
        if (known.value())
            purged.append(it.key());
    }
    for (const QString &filename : std::as_const(purged))
        Remove(filename);
}

// The excluded folders' records are purged by now, so a record is in use
// when a folder to use holds it.
void ImageDB::MarkRecordsInUse(const QStringList &dirs)
{
    const QStringList folders = CleanFolders(dirs);
    for (auto it = images.begin(); it != images.end(); ++it)
        it.value().inUse = AnyHolds(folders, it.key());
    KeyIndexOutdated();
}

bool ImageDB::FolderHolds(const QString &folder, const QString &path)
{
    return path.startsWith(folder)
           && (path.size() == folder.size() || folder.endsWith(QLatin1Char('/')) || path.at(folder.size()) == u'/');
}

QStringList ImageDB::ExcludedUseDirectories(const QStringList &dirs, const QStringList &excludedDirs)
{
    const QStringList excluded = CleanFolders(excludedDirs);
    QStringList overlap;
    for (const QString &dir : dirs) {
        if (AnyHolds(excluded, QDir(dir).absolutePath()))
            overlap.append(dir);
    }
    return overlap;
}

bool ImageDB::TakeOrientationCheck(const QString &filename)
{
    ImageInformation *record = Record(filename);
    if (!record || !record->orientationUnchecked)
        return false;
    record->orientationUnchecked = false;
    return true;
}

ImageDBAgent::ImageDBAgent(ImageDB *imageDB, const QStringList *fileList, QMutex *mutex, int *counter, int index,
                           int count)
    : Agent(mutex, counter, index, count), imageDB(imageDB), fileList(fileList)
{}

void ImageDBAgent::run()
{
    const qsizetype total = fileList->size();
    for (qsizetype i = index; i < total && keepRunning.load(std::memory_order_relaxed); i += count) {
        const QString name = fileList->at(i);
        bool usable = true;
        QString problem;
        if (imageDB->HasKeyImage(name)) {
            // Examined before: only check that it is still there to be read.
            // A folder that took the picture's name is no picture either.
            const QFileInfo info(name);
            if (!info.isFile() || !info.permission(QFile::ReadOwner)) {
                usable = false;
                problem = QStringLiteral("no longer a file that can be read");
            } else if (imageDB->TakeOrientationCheck(name) && JPEGNeedsTurning(name)) {
                usable = imageDB->ReadSourceAndKeyImages(name, &problem);
            }
        } else {
            usable = imageDB->ReadSourceAndKeyImages(name, &problem);
        }
        if (!usable)
            imageDB->SkipImage(name);

        QMutexLocker lock(mutex);
        if (!usable)
            imageDB->unusablePictures.append({name, problem});
        ++*counter;
        const float fraction = float(*counter) / float(total);
        emit progress(int(double(fraction) * 100.0), name);
    }
}

// ---------------------------------------------------------------- reduced copies and cache

void ImageDB::ConvertStrategy(ImageDB::SourceImageStrategy newStrategy)
{
    if (newStrategy == strategy)
        return;
    // Dropping the key images sends every record through the coming update,
    // which makes the copies the new strategy needs.
    if (strategy == StrategyFast) {
        for (ImageInformation &record : images) {
            record.cachedFilename = QString();
            delete record.keyImage;
            record.keyImage = nullptr;
        }
    } else if (strategy == StrategyFastest) {
        for (ImageInformation &record : images)
            FreeImages(record);
    }
    strategy = newStrategy;
    KeyIndexOutdated();
}

void ImageDB::SetSourceImage(const QString &filename, const Image &picture)
{
    if (strategy != StrategyFast && strategy != StrategyFastest)
        return;
    ImageInformation *record = Record(filename);
    if (!record)
        return;
    int width, height;
    ReducedSize(picture.width, picture.height, width, height);
    auto *copy = new Image(picture);
    copy->Resize(width, height, true);
    StoreSourceImage(record, copy);
}

bool ImageDB::ReadSourceAndKeyImages(const QString &filename, QString *problem)
{
    auto key = std::make_unique<Image>();
    auto copy = strategy == StrategyFast || strategy == StrategyFastest ? std::make_unique<Image>() : nullptr;
    Orientation orientation = Landscape;
    StreamedReduction reduction([&](int width, int height) {
        orientation = width > height ? Landscape : Portrait;
        std::vector<ReductionTarget> targets{{key.get(), Image::COMPARISON_X_SIZE, Image::COMPARISON_Y_SIZE}};
        if (copy) {
            int reducedWidth, reducedHeight;
            ReducedSize(width, height, reducedWidth, reducedHeight);
            targets.push_back({copy.get(), reducedWidth, reducedHeight});
        }
        return targets;
    });
    JPEGProblem trouble;
    if (!DecodeJPEG(filename, reduction, &trouble)) {
        if (problem)
            *problem = trouble.message;
        return false;
    }
    ImageInformation *record = Record(filename);
    if (!record)
        return true;
    record->orientationUnchecked = false;
    if (copy)
        StoreSourceImage(record, copy.release());
    SetKeyImage(filename, key.release(), orientation);
    return true;
}

// Takes the copy: kept in memory or written to the cache by the strategy.
void ImageDB::StoreSourceImage(ImageInformation *record, Image *copy)
{
    delete record->sourceImage;
    record->sourceImage = nullptr;
    record->cachedFilename = QString();
    if (strategy == StrategyFastest) {
        record->sourceImage = copy;
        return;
    }
    const QString path = GetNewCachedFilename();
    if (WriteJPEG(path, *copy, 100))
        record->cachedFilename = path;
    delete copy;
}

Image *ImageDB::GetSourceImage(const QString &filename, int size) const
{
    const ImageInformation *record = Record(filename);
    if (record && strategy == StrategyFastest && record->sourceImage
        && qMax(record->sourceImage->width, record->sourceImage->height) > size)
        return new Image(*record->sourceImage);
    if (record && strategy == StrategyFast && size <= ReducedSide - 1 && !record->cachedFilename.isEmpty()) {
        auto *cached = new Image;
        if (ReadJPEG(record->cachedFilename, *cached))
            return cached;
        delete cached;
    }
    auto *picture = new Image;
    if (ReadJPEG(filename, *picture))
        return picture;
    delete picture;
    return nullptr;
}

QString ImageDB::GetNewCachedFilename()
{
    const QDir cache(TileCachePath());
    // Several update threads may get here at once; losing the race to create
    // the directory is harmless. The tag is written by the winner.
    if (!cache.exists() && QDir::home().mkdir(QLatin1String(CacheDirectoryName))) {
        QFile tag(cache.filePath(QLatin1String(CacheTagName)));
        if (tag.open(QIODevice::WriteOnly))
            tag.write(CacheTagText);
    }
    // The cache folder is shared by every database file (another -imagedb, or
    // a database that was lost and counts from 0 again), so a number whose file
    // exists belongs to somebody else's copy: claim each name by creating it.
    for (;;) {
        const int number = imageFilenameCounter.fetch_add(1, std::memory_order_relaxed);
        const QString path = cache.absolutePath() + QString::asprintf("/tile%06d.jpg", number);
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0)
            ::close(fd);
        if (fd >= 0 || errno != EEXIST)
            return path;   // claimed, or the folder is unusable and the write will fail
    }
}

// ---------------------------------------------------------------- best match and use counts

// The packed scan gives the answer of ScanRecords for every key-sized tile;
// other tiles can only match keys of their own size, which the index does not
// hold, so they take the plain scan.
ImageDB::MatchResult ImageDB::BestMatch(const Image &tile, Orientation orientation, int maxUses,
                                        const QSet<QString> &excluded) const
{
    static_assert(Image::COMPARISON_X_SIZE == KeyIndex::KeySide && Image::COMPARISON_Y_SIZE == KeyIndex::KeySide);
    const KeyIndex *index =
        tile.data && tile.width == KeyIndex::KeySide && tile.height == KeyIndex::KeySide ? CurrentKeyIndex() : nullptr;
    if (!index)
        return ScanRecords(tile, orientation, maxUses, excluded);
    MatchResult best;
    if (usedUpAt.load(std::memory_order_relaxed) == maxUses)
        return best;
    std::vector<int32_t> orders;
    for (const QString &filename : excluded)
        if (const int order = index->OrderOf(filename); order >= 0)
            orders.push_back(order);
    std::sort(orders.begin(), orders.end());
    const KeyIndex::Match match = index->Find(tile.data, orientation == Portrait, maxUses,
                                              KeyIndex::Exclusion{orders.data(), int(orders.size())});
    if (match.order >= 0) {
        best.filename = index->Filename(match.order);
        best.rotation = match.rotation;
    } else if (orders.empty()) {
        // Nothing was passed over, so every picture is used up.
        usedUpAt.store(maxUses, std::memory_order_relaxed);
    }
    return best;
}

QList<QList<ImageDB::MatchResult>> ImageDB::BestMatches(const Image *const *tiles, const Orientation *orientations,
                                                        int count, int maxUses, int candidates) const
{
    QList<QList<MatchResult>> lists(count);
    QVarLengthArray<const unsigned char *, 16> keys;
    QVarLengthArray<bool, 16> portraits;
    for (int k = 0; k < count; ++k) {
        const Image &tile = *tiles[k];
        if (!tile.data || tile.width != KeyIndex::KeySide || tile.height != KeyIndex::KeySide)
            break;
        keys.push_back(tile.data);
        portraits.push_back(orientations[k] == Portrait);
    }
    const KeyIndex *index = int(keys.size()) == count ? CurrentKeyIndex() : nullptr;
    if (index && usedUpAt.load(std::memory_order_relaxed) == maxUses)
        return lists;
    QVarLengthArray<KeyIndex::Shortlist, 16> shortlists(keys.size());
    if (!index
        || !index->FindShortlists(keys.data(), portraits.data(), count, maxUses, candidates, shortlists.data())) {
        for (int k = 0; k < count; ++k) {
            const MatchResult best = BestMatch(*tiles[k], orientations[k], maxUses);
            if (!best.filename.isNull())
                lists[k].append(best);
        }
        return lists;
    }
    for (int k = 0; k < count; ++k) {
        const KeyIndex::Shortlist &shortlist = shortlists[k];
        if (shortlist.count == 0 && candidates > 0)
            usedUpAt.store(maxUses, std::memory_order_relaxed);
        for (int c = 0; c < shortlist.count; ++c)
            lists[k].append(MatchResult{index->Filename(shortlist.matches[c].order), shortlist.matches[c].rotation});
    }
    return lists;
}

ImageDB::MatchResult ImageDB::ScanRecords(const Image &tile, Orientation orientation, int maxUses,
                                          const QSet<QString> &excluded) const
{
    MatchResult best;
    bool found = false;
    unsigned bestScore = 0;
    for (auto it = images.cbegin(); it != images.cend(); ++it) {
        const ImageInformation &record = it.value();
        const Image *key = record.keyImage;
        if (record.skip.load(std::memory_order_relaxed) || !record.inUse
            || record.useCount.load(std::memory_order_relaxed) >= maxUses || !key || !key->data
            || key->width != tile.width || key->height != tile.height || excluded.contains(it.key()))
            continue;
        unsigned score;
        Rotation rotation;
        if (record.orientation == orientation) {
            score = unsigned(DifferenceSameOrientation(tile, *key));
            rotation = Rotation::Unturned;
        } else {
            const unsigned left = unsigned(DifferenceRotateLeft(tile, *key));
            const unsigned right = unsigned(DifferenceRotateRight(tile, *key));
            score = left < right ? left : right;
            rotation = left < right ? Rotation::DrawTurnedRight : Rotation::DrawTurnedLeft;
        }
        if (!found || score < bestScore) {
            found = true;
            bestScore = score;
            best.filename = it.key();
            best.rotation = rotation;
        }
    }
    return best;
}

// Matching threads may arrive here at once: the first one rebuilds and the
// others wait for it. The lock is held only for the check, not the search.
const KeyIndex *ImageDB::CurrentKeyIndex() const
{
    QMutexLocker lock(&keyIndexMutex);
    if (!keyIndexCurrent.load(std::memory_order_acquire) || !images.isSharedWith(keyIndexRecords))
        RebuildKeyIndex();
    return keyIndexBuilt ? &keyIndex : nullptr;
}

// Only records that ScanRecords could choose for a key-sized tile go in; the
// use counts are read through pointers into the shared records.
void ImageDB::RebuildKeyIndex() const
{
    keyIndexCurrent.store(true, std::memory_order_relaxed);
    usedUpAt.store(NoneUsedUp, std::memory_order_relaxed);
    keyIndexRecords = images;
    keyIndex.Clear();
    keyIndexBuilt = true;
    for (auto it = keyIndexRecords.cbegin(); it != keyIndexRecords.cend() && keyIndexBuilt; ++it) {
        const ImageInformation &record = it.value();
        const Image *key = record.keyImage;
        if (!record.skip.load(std::memory_order_relaxed) && record.inUse && key && key->data
            && key->width == KeyIndex::KeySide && key->height == KeyIndex::KeySide)
            keyIndexBuilt = keyIndex.Add(it.key(), key->data, record.orientation == Portrait, &record.useCount);
    }
    keyIndexBuilt = keyIndexBuilt && keyIndex.Finish();
}

// Counts the use in one atomic step, so that the last use of a picture goes
// to exactly one caller even without the matching threads' lock.
bool ImageDB::UseMatch(const QString &filename, int maxUses)
{
    ImageInformation *record = Record(filename);
    if (!record)
        return false;
    int uses = record->useCount.load(std::memory_order_relaxed);
    do {
        if (uses >= maxUses)
            return false;
    } while (!record->useCount.compare_exchange_weak(uses, uses + 1, std::memory_order_relaxed));
    return true;
}

// Matching starts right after this, so the key index is made current here,
// before any search runs. The counts are reached through const access, which
// leaves the map shared with the index.
void ImageDB::ResetUseCounts()
{
    for (const ImageInformation &record : std::as_const(images))
        const_cast<ImageInformation &>(record).useCount.store(0, std::memory_order_relaxed);
    usedUpAt.store(NoneUsedUp, std::memory_order_relaxed);
    CurrentKeyIndex();
}
