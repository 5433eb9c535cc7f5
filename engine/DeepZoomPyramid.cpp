#include "engine/DeepZoomPyramid.h"

#include "engine/OutputFiles.h"
#include "imaging/JPEG.h"

#include <QThread>
#include <algorithm>
#include <cstring>
#include <thread>

namespace {
// Rows of the level below that one job of the pool makes.
constexpr int ReductionRows = 16;

// The strip's rows: what a level keeps between steps (less than one tile row
// with its overlap) and the most one step adds. A step of the picture is one
// tile row; the levels below get at most half a step and one row.
constexpr int StreamedStripRows = 2 * DeepZoomPyramid::TileSize + 2 * DeepZoomPyramid::Overlap;
constexpr int ReducedStripRows =
    DeepZoomPyramid::TileSize + 2 * DeepZoomPyramid::Overlap + DeepZoomPyramid::TileSize / 2;

// The first pixel of a tile and the end of its pixels, overlap included.
int TileStart(int index)
{
    return std::max(index * DeepZoomPyramid::TileSize - DeepZoomPyramid::Overlap, 0);
}

int TileEnd(int index, int size)
{
    return std::min((index + 1) * DeepZoomPyramid::TileSize + DeepZoomPyramid::Overlap, size);
}
}   // namespace

int DeepZoomPyramid::Level::TileRows() const
{
    return (height + TileSize - 1) / TileSize;
}

int DeepZoomPyramid::Level::TileColumns() const
{
    return (width + TileSize - 1) / TileSize;
}

const unsigned char *DeepZoomPyramid::Level::Row(int y) const
{
    return rows + size_t(y - first) * size_t(width) * 3;
}

DeepZoomPyramid::DeepZoomPyramid(const QString &folder, int threads)
    : folder(folder), threads(threads > 0 ? threads : QThread::idealThreadCount())
{}

void DeepZoomPyramid::RunJobs(const std::vector<std::function<void()>> &jobs)
{
    std::atomic<size_t> next = 0;
    const auto work = [&jobs, &next] {
        for (size_t job = next++; job < jobs.size(); job = next++)
            jobs[job]();
    };
    const size_t helpers = std::min(jobs.size(), size_t(threads)) - std::min<size_t>(jobs.size(), 1);
    std::vector<std::thread> group;
    for (size_t i = 0; i < helpers; ++i)
        group.emplace_back(work);
    work();
    for (std::thread &thread : group)
        thread.join();
}

bool DeepZoomPyramid::Prepare(int width, int height, bool inPlace)
{
    levels.clear();
    for (;;) {
        Level level;
        level.width = width;
        level.height = height;
        levels.push_back(level);
        if (width == 1 && height == 1)
            break;
        width = (width + 1) / 2;
        height = (height + 1) / 2;
    }
    for (size_t i = 0; i < levels.size(); ++i) {
        Level &level = levels[i];
        level.number = int(levels.size() - 1 - i);
        QString error;
        if (!MakeFolder(QString("%1/%2").arg(folder).arg(level.number), error)) {
            Fail(error);
            return false;
        }
        if (i == 0 && inPlace)
            continue;
        level.strip = Image(level.width, std::min(level.height, i == 0 ? StreamedStripRows : ReducedStripRows));
        if (!level.strip.data) {
            Fail(QString("not enough memory for the rows of a %1 by %2 level").arg(level.width).arg(level.height));
            return false;
        }
        level.rows = level.strip.data;
    }
    return true;
}

bool DeepZoomPyramid::Write(const Image &image)
{
    if (!image.data || !Prepare(image.width, image.height, true))
        return false;
    Level &picture = levels.front();
    picture.rows = image.data;
    while (picture.received < picture.height && !failed) {
        picture.received = std::min(picture.received + TileSize, picture.height);
        Advance(0);
    }
    return Complete();
}

bool DeepZoomPyramid::Begin(int width, int height)
{
    return Prepare(width, height, false);
}

unsigned char *DeepZoomPyramid::Row(int y)
{
    Level &picture = levels.front();
    return picture.strip.data + size_t(y - picture.first) * size_t(picture.width) * 3;
}

void DeepZoomPyramid::RowDone(int y)
{
    Level &picture = levels.front();
    picture.received = y + 1;
    if (picture.received % TileSize == 0 || picture.received == picture.height)
        Advance(0);
}

void DeepZoomPyramid::Advance(size_t i)
{
    Level &level = levels[i];
    if (failed) {
        // The rows still to come need room, and nothing more is written.
        if (level.strip.data)
            level.first = level.received;
        return;
    }
    std::vector<std::function<void()>> jobs;
    const Level *above = &level;
    while (level.nextTileRow < level.TileRows() && level.received >= TileEnd(level.nextTileRow, level.height)) {
        for (int column = 0; column < level.TileColumns(); ++column)
            jobs.push_back([this, above, column, row = level.nextTileRow] { WriteTile(*above, column, row); });
        ++level.nextTileRow;
    }
    Level *below = i + 1 < levels.size() ? &levels[i + 1] : nullptr;
    const int from = below ? below->received : 0;
    const int to = below ? (level.received == level.height ? below->height : level.received / 2) : 0;
    Q_ASSERT(!below || to - below->first <= below->strip.height);
    for (int start = from; start < to; start += ReductionRows) {
        jobs.push_back([above, below, start, end = std::min(start + ReductionRows, to)] {
            const int pairs = above->width / 2;
            for (int y = start; y < end; ++y) {
                const unsigned char *a = above->Row(2 * y);
                const unsigned char *b = above->Row(std::min(2 * y + 1, above->height - 1));
                unsigned char *out = below->strip.data + size_t(y - below->first) * size_t(below->width) * 3;
                for (int x = 0; x < pairs; ++x)
                    for (int c = 0; c < 3; ++c)
                        out[3 * x + c] = (a[6 * x + c] + a[6 * x + 3 + c] + b[6 * x + c] + b[6 * x + 3 + c] + 2) >> 2;
                // An odd column at the edge is its own neighbour.
                if (above->width % 2 == 1)
                    for (int c = 0; c < 3; ++c)
                        out[3 * pairs + c] = (2 * a[6 * pairs + c] + 2 * b[6 * pairs + c] + 2) >> 2;
            }
        });
    }
    RunJobs(jobs);

    // Only the rows of the next tile row and of the next reduction stay.
    if (below)
        below->received = to;
    if (level.strip.data) {
        int keep = level.received;
        if (level.nextTileRow < level.TileRows())
            keep = std::min(keep, TileStart(level.nextTileRow));
        if (below && below->received < below->height)
            keep = std::min(keep, 2 * below->received);
        std::memmove(level.strip.data, level.Row(keep), size_t(level.received - keep) * size_t(level.width) * 3);
        level.first = keep;
    }
    if (to > from)
        Advance(i + 1);
}

void DeepZoomPyramid::WriteTile(const Level &level, int column, int row)
{
    if (failed)
        return;
    const int left = TileStart(column), top = TileStart(row);
    const QString path = QString("%1/%2/%3_%4.jpeg").arg(folder).arg(level.number).arg(column).arg(row);
    QString error;
    if (!WriteJPEG(path, level.Row(top) + size_t(left) * 3, TileEnd(column, level.width) - left,
                   TileEnd(row, level.height) - top, size_t(level.width) * 3, Quality, error))
        Fail(QString("cannot write %1: %2").arg(path, error));
}

void DeepZoomPyramid::Fail(const QString &message)
{
    QMutexLocker lock(&mutex);
    if (!failed)
        errorMessage = message;
    failed = true;
}

int DeepZoomPyramid::Width() const
{
    return levels.empty() ? 0 : levels.front().width;
}

int DeepZoomPyramid::Height() const
{
    return levels.empty() ? 0 : levels.front().height;
}

bool DeepZoomPyramid::Complete() const
{
    if (failed || levels.empty())
        return false;
    return std::all_of(levels.begin(), levels.end(),
                       [](const Level &level) { return level.nextTileRow == level.TileRows(); });
}

QString DeepZoomPyramid::ErrorMessage() const
{
    QMutexLocker lock(&mutex);
    return errorMessage;
}
