#include "engine/DeepZoomPyramid.h"

#include "engine/OutputFiles.h"
#include "engine/RunJobs.h"
#include "imaging/JPEG.h"

#include <QThread>
#include <algorithm>
#include <cstring>

namespace {
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
    return rows + ptrdiff_t(y - rowsStart) * ptrdiff_t(width) * 3;
}

unsigned char *DeepZoomPyramid::Level::StripRow(int y)
{
    return strip.data + ptrdiff_t(y - rowsStart) * ptrdiff_t(width) * 3;
}

DeepZoomPyramid::DeepZoomPyramid(const QString &folder, int threads)
    : folder(folder), threads(threads > 0 ? threads : QThread::idealThreadCount())
{}

bool DeepZoomPyramid::Prepare(int width, int height, bool inPlace)
{
    levels.clear();
    for (;;) {
        Level level;
        level.width = width;
        level.height = height;
        levels.push_back(std::move(level));
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
        level.encoders = std::make_unique<JPEGRowEncoder[]>(size_t(level.TileColumns()));
        level.strip = Image(level.width, 1 + std::min(level.height, BatchRows));
        if (!level.strip.data) {
            Fail(QString("not enough memory for the rows of a %1 by %2 level").arg(level.width).arg(level.height));
            return false;
        }
        level.rows = level.strip.data;
        level.rowsStart = -1;
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
        picture.received = std::min(picture.received + BatchRows, picture.height);
        Advance(0);
        ReportProgress();
    }
    return Complete();
}

bool DeepZoomPyramid::Begin(int width, int height)
{
    return Prepare(width, height, false);
}

unsigned char *DeepZoomPyramid::Row(int y)
{
    return levels.front().StripRow(y);
}

void DeepZoomPyramid::RowDone(int y)
{
    Level &picture = levels.front();
    picture.received = y + 1;
    if (picture.received - picture.first == BatchRows || picture.received == picture.height) {
        Advance(0);
        ReportProgress();
    }
}

void DeepZoomPyramid::ReportProgress()
{
    const Level &picture = levels.front();
    const int percent = int(int64_t(picture.received) * 100 / picture.height);
    if (progress && percent != reported && !failed) {
        reported = percent;
        progress(percent);
    }
}

void DeepZoomPyramid::Advance(size_t i)
{
    Level &level = levels[i];
    Level *below = i + 1 < levels.size() ? &levels[i + 1] : nullptr;
    // The batch's pairs of rows make these rows of the level below.
    const int from = below ? below->received : 0;
    const int to = below ? (level.received == level.height ? below->height : level.received / 2) : 0;
    if (!failed) {
        std::vector<std::function<void()>> jobs;
        if (level.strip.data) {
            for (int column = 0; column < level.TileColumns(); ++column)
                jobs.push_back([this, &level, column] { EncodeColumn(level, column); });
        } else {
            for (int row = level.tileRow; row < level.TileRows() && TileEnd(row, level.height) <= level.received; ++row)
                for (int column = 0; column < level.TileColumns(); ++column)
                    jobs.push_back([this, &level, column, row] { EncodeTile(level, column, row); });
        }
        if (below) {
            Q_ASSERT(to - below->first <= BatchRows);
            jobs.push_back([&level, below, from, to] {
                const int pairs = level.width / 2;
                for (int y = from; y < to; ++y) {
                    const unsigned char *a = level.Row(2 * y);
                    const unsigned char *b = level.Row(std::min(2 * y + 1, level.height - 1));
                    unsigned char *out = below->StripRow(y);
                    for (int x = 0; x < pairs; ++x)
                        for (int c = 0; c < 3; ++c)
                            out[3 * x + c] =
                                (a[6 * x + c] + a[6 * x + 3 + c] + b[6 * x + c] + b[6 * x + 3 + c] + 2) >> 2;
                    // An odd column at the edge is its own neighbour.
                    if (level.width % 2 == 1)
                        for (int c = 0; c < 3; ++c)
                            out[3 * pairs + c] = (2 * a[6 * pairs + c] + 2 * b[6 * pairs + c] + 2) >> 2;
                }
            });
        }
        RunJobs(jobs.size(), threads, [&jobs](size_t job) { jobs[job](); });
    }
    while (level.tileRow < level.TileRows() && TileEnd(level.tileRow, level.height) <= level.received)
        ++level.tileRow;
    // The batch's last row stays: it may be the first of the next tile row.
    if (level.strip.data) {
        std::memcpy(level.strip.data, level.Row(level.received - 1), size_t(level.width) * 3);
        level.rowsStart = level.received - 1;
    }
    level.first = level.received;
    if (!below || failed)
        return;
    below->received = to;
    if (to - below->first == BatchRows || (to == below->height && to > below->first))
        Advance(i + 1);
}

void DeepZoomPyramid::EncodeColumn(Level &level, int column)
{
    JPEGRowEncoder &encoder = level.encoders[column];
    const int left = TileStart(column);
    const int width = TileEnd(column, level.width) - left;
    for (int row = level.tileRow; row < level.TileRows() && !failed; ++row) {
        const int top = TileStart(row), bottom = TileEnd(row, level.height);
        // A tile that starts in the batch or on the row kept before it opens
        // now; one that started earlier has had the rows before the batch.
        const bool opens = top >= level.first - 1;
        const int start = opens ? top : level.first, end = std::min(bottom, level.received);
        if ((opens && !encoder.Open(TilePath(level, column, row), width, bottom - top, Quality))
            || !encoder.Write(level.Row(start) + size_t(left) * 3, end - start, size_t(level.width) * 3)
            || (end == bottom && !encoder.Finish())) {
            Fail(QString("cannot write %1: %2").arg(TilePath(level, column, row), encoder.ErrorMessage()));
            return;
        }
        if (end < bottom)
            return;
    }
}

void DeepZoomPyramid::EncodeTile(const Level &level, int column, int row)
{
    JPEGRowEncoder encoder;
    const int left = TileStart(column), width = TileEnd(column, level.width) - left;
    const int top = TileStart(row), bottom = TileEnd(row, level.height);
    const size_t stride = size_t(level.width) * 3;
    // A batch at a time, so that a failure beside it stops this tile too;
    // the unfinished file goes with the encoder.
    bool ok = !failed && encoder.Open(TilePath(level, column, row), width, bottom - top, Quality);
    for (int y = top; ok && y < bottom; y += BatchRows)
        ok = !failed && encoder.Write(level.Row(y) + size_t(left) * 3, std::min(BatchRows, bottom - y), stride);
    if (!ok || !encoder.Finish())
        Fail(QString("cannot write %1: %2").arg(TilePath(level, column, row), encoder.ErrorMessage()));
}

QString DeepZoomPyramid::TilePath(const Level &level, int column, int row) const
{
    return QString("%1/%2/%3_%4.jpeg").arg(folder).arg(level.number).arg(column).arg(row);
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
                       [](const Level &level) { return level.tileRow == level.TileRows(); });
}

QString DeepZoomPyramid::ErrorMessage() const
{
    QMutexLocker lock(&mutex);
    return errorMessage;
}
