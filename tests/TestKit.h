#pragma once

// What every test folder builds its cases from: pictures made on the spot,
// some tagged as cameras tag them, file contents, a file-size limit that
// makes writes fail part way, and a database update run to its end. Needs
// only imaging/; the update helper is a template, so it asks for imagedb/
// only where it is used.

#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QStringList>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sys/resource.h>
#include <vector>

Q_DECLARE_METATYPE(color3)

inline Image Make(int w, int h, const std::function<color3(int, int)> &pixel)
{
    Image image(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const color3 c = pixel(x, y);
            std::memcpy(image.data + (size_t(y) * w + x) * 3, &c, 3);
        }
    return image;
}

inline Image Solid(int w, int h, color3 c)
{
    return Make(w, h, [c](int, int) { return c; });
}

// One value per pixel, the same in red, green and blue.
inline Image Gray(int w, int h, const std::vector<int> &values)
{
    return Make(w, h, [&](int x, int y) {
        const auto v = static_cast<unsigned char>(values[size_t(y) * w + x]);
        return color3{v, v, v};
    });
}

// Noise compresses badly, so its file grows well past any small limit.
inline Image Noise(int w, int h, unsigned seed = 1)
{
    Image image(w, h);
    for (size_t i = 0; i < image.ByteCount(); ++i) {
        seed = seed * 1103515245u + 12345u;
        image.data[i] = static_cast<unsigned char>(seed >> 16);
    }
    return image;
}

// Smooth ramps that compression changes by a few levels only; the seed tints
// the blue, so pictures of several seeds differ.
inline Image Gradient(int w, int h, int seed = 0)
{
    return Make(w, h, [=](int x, int y) {
        return color3{static_cast<unsigned char>(40 + 150 * x / w), static_cast<unsigned char>(40 + 150 * y / h),
                      static_cast<unsigned char>(100 + 50 * (x + y) / (w + h) + seed * 47)};
    });
}

inline void Paint(Image &image, int x0, int y0, int w, int h, color3 c)
{
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x)
            std::memcpy(image.data + (size_t(y) * image.width + x) * 3, &c, 3);
}

inline const unsigned char *Pixel(const Image &image, int x, int y)
{
    return image.data + (size_t(y) * image.width + x) * 3;
}

inline std::vector<int> Reds(const Image &image)
{
    std::vector<int> reds;
    for (size_t i = 0; i < image.ByteCount(); i += 3)
        reds.push_back(image.data[i]);
    return reds;
}

inline bool Same(const Image &a, const Image &b)
{
    return a.width == b.width && a.height == b.height
           && (a.ByteCount() == 0 || std::memcmp(a.data, b.data, a.ByteCount()) == 0);
}

inline int MaxDifference(const Image &a, const Image &b)
{
    int worst = 0;
    for (size_t i = 0; i < a.ByteCount(); ++i)
        worst = std::max(worst, std::abs(a.data[i] - b.data[i]));
    return worst;
}

inline bool Near(const unsigned char *p, color3 c, int tolerance)
{
    return std::abs(p[0] - c.r) <= tolerance && std::abs(p[1] - c.g) <= tolerance && std::abs(p[2] - c.b) <= tolerance;
}

inline QByteArray Contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Creates the parent folders too.
inline bool Store(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).absolutePath()) && file.open(QIODevice::WriteOnly)
           && file.write(bytes) == bytes.size();
}

inline bool StorePicture(const QString &path, const Image &picture)
{
    return QDir().mkpath(QFileInfo(path).absolutePath()) && WriteJPEG(path, picture, 90);
}

// count pictures of varied colours, dir/p000.jpg, dir/p001.jpg, ...
inline bool StoreCollection(const QString &dir, int count, int w = 40, int h = 30)
{
    for (int i = 0; i < count; ++i) {
        const color3 c{static_cast<unsigned char>(i * 53), static_cast<unsigned char>(i * 97),
                       static_cast<unsigned char>(i * 151)};
        if (!StorePicture(QString("%1/p%2.jpg").arg(dir).arg(i, 3, 10, QChar('0')), Solid(w, h, c)))
            return false;
    }
    return true;
}

// The JPEG file with its frame header changed to claim another size; the
// scan data stay those of the small picture.
inline QByteArray Claiming(QByteArray jpeg, int w, int h)
{
    const char size[4] = {char(h >> 8), char(h & 0xff), char(w >> 8), char(w & 0xff)};
    for (qsizetype i = 0; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == char(0xff) && (jpeg[i + 1] == char(0xc0) || jpeg[i + 1] == char(0xc2)))
            return jpeg.replace(i + 5, 4, size, 4);
    return {};
}

// While it lives, writes past the limit fail as on a full disk (EFBIG rather
// than the signal); root ignores permissions, not this.
struct FileSizeLimit {
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        handler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
    }
    rlimit saved;
    void (*handler)(int);
};

// Worker threads of this process still alive, as the kernel lists them. Qt
// names each thread after its class (cut to 15 characters).
inline int WorkerThreads()
{
    static const QStringList workers = {"PreparationAgen", "MatchingAgent",   "AssemblyAgent",
                                        "QJPEGWriterAgen", "PyramidWriterAg", "ImageDBAgent"};
    int count = 0;
    const QDir tasks("/proc/self/task");
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        count += workers.contains(QString::fromLatin1(Contents(tasks.filePath(task + "/comm")).trimmed()));
    return count;
}

// An ImageDB record with its key image.
inline void AddRecord(auto &db, const QString &name, Image *key, auto orientation)
{
    db.Add(name);
    db.SetKeyImage(name, key, orientation);
}

// Runs an ImageDB update to its complete(), which must come once.
inline bool RunUpdate(auto &db, const QStringList &dirs, auto strategy, int threads, const QStringList &excluded = {})
{
    QSignalSpy complete(&db, &std::remove_reference_t<decltype(db)>::complete);
    db.Update(dirs, excluded, strategy, threads);
    return (complete.count() == 1 || complete.wait(120000)) && complete.count() == 1 && !db.IsUpdating();
}

// The sizes and offsets of count tiles along length, as a MatchData cuts them.
inline std::pair<QList<int>, QList<int>> TileCuts(const auto &data, int length, int count)
{
    int *sizes = nullptr, *offsets = nullptr;
    data.TileSizesAndOffsets(length, count, &sizes, &offsets);
    std::pair cuts(QList<int>(sizes, sizes + count), QList<int>(offsets, offsets + count));
    delete[] sizes;
    delete[] offsets;
    return cuts;
}

// An EXIF block that holds only the orientation tag (type 3 is SHORT).
inline QByteArray Exif(int orientation, bool bigEndian = false, int type = 3)
{
    QByteArray block = QByteArray("Exif\0\0", 6) + (bigEndian ? "MM" : "II");
    for (const auto &[value, size] :
         {std::pair{42, 2}, {8, 4}, {1, 2}, {0x0112, 2}, {type, 2}, {1, 4}, {orientation, 2}, {0, 2}, {0, 4}})
        for (int i = 0; i < size; ++i)
            block.append(char(value >> (8 * (bigEndian ? size - 1 - i : i))));
    return block;
}

// Quality 100, with app1 (when given) as an APP1 segment after the start.
inline bool WriteTaggedJPEG(const QString &path, const Image &picture, const QByteArray &app1)
{
    QFile file(path);
    if (!WriteJPEG(path, picture, 100) || !file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray bytes = file.readAll();
    const int length = int(app1.size()) + 2;   // big-endian, counting itself
    const QByteArray segment = app1.isEmpty() ? app1 : QByteArray("\xFF\xE1") + char(length >> 8) + char(length) + app1;
    return file.seek(0) && file.write(bytes.left(2) + segment + bytes.mid(2)) == bytes.size() + segment.size();
}

// Grey 16 by 16 blocks, each of its own shade, so that any turn or flip
// shows; blocks and shades survive JPEG compression at quality 100 exactly.
inline Image Blocks(int blocksAcross, int blocksDown)
{
    Image picture(blocksAcross * 16, blocksDown * 16);
    for (size_t i = 0; i < picture.ByteCount(); ++i)
        picture.data[i] = static_cast<unsigned char>(
            20 + 18 * (i / 3 / picture.width / 16 * blocksAcross + i / 3 % picture.width / 16));
    return picture;
}
