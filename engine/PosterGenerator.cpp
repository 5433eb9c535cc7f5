#include "engine/PosterGenerator.h"

#include "engine/ImagePosterParameters.h"
#include "engine/AssemblyAgent.h"
#include "engine/MatchData.h"
#include "engine/MatchingAgent.h"
#include "engine/MosaicPreview.h"
#include "engine/PyramidWriterAgent.h"
#include "engine/QJPEGWriterAgent.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDebug>
#include <QImage>
#include <algorithm>
#include <type_traits>
#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
// Stage 0's bar: the preparation fills the first tenth, matching the rest.
constexpr int PreparedPercent = 10;

// The preview has a cell for every tile, as wide as a key image, or narrower
// for a large grid: the window shows it far smaller anyway, and 16 pixels a
// tile at 1000 tiles would be a gigabyte that the GUI thread fills and shows
// for seconds.
constexpr int MaxPreviewSide = 2048;

int PreviewCell(int columns, int rows)
{
    return std::clamp(MaxPreviewSide / std::max({columns, rows, 1}), 1, int(Image::COMPARISON_X_SIZE));
}

// The receivers take in the matching's last reports before the assembly's
// threads start.
constexpr int AssemblyPauseMs = 10;

// The mosaic is saved at the JPEG encoder's best quality: the pictures in its
// tiles are what people look at up close.
constexpr int MosaicQuality = 100;
}   // namespace

PosterGenerator::PosterGenerator(ImagePosterParameters *params, QObject *parent)
    : QObject(parent), matchData(new MatchData), params(params), writer(new QJPEGWriterAgent(this)),
      pyramidWriter(new PyramidWriterAgent(this))
{
    assemblyStart.setSingleShot(true);
    assemblyStart.setInterval(AssemblyPauseMs);
    connect(&assemblyStart, &QTimer::timeout, this, &PosterGenerator::startGeneratingFile);
    // An earlier run's save that ends during a newer run reports nothing.
    connect(writer, &QJPEGWriterAgent::progress, this, [this](int percent) {
        if (savingRun == runNumber)
            emit progress(percent);
    });
    connect(writer, &QThread::finished, this, &PosterGenerator::fileSaved);
    connect(pyramidWriter, &QThread::finished, this, &PosterGenerator::savingComplete);
}

PosterGenerator::~PosterGenerator()
{
    Cancel();
    writer->wait();
    pyramidWriter->wait();
    if (MosaicPreview *preview = Display(); preview && displayIsObject)
        preview->SetDrawLock(nullptr);
    delete savingImage;
    delete image;
    delete blendColours;
    delete matchData;
}

int PosterGenerator::ThreadCount() const
{
    const int requested = params->numThreads == -1 ? QThread::idealThreadCount() : params->numThreads;
    // More agents than tiles would have nothing to do; an absurd count
    // ("-nt 99999999999") would try to start billions of threads.
    return std::min(requested, std::max(matchData->numTilesX * matchData->numTilesY, 1));
}

MosaicPreview *PosterGenerator::Display() const
{
    if (displayIsObject && !displayObject)
        return nullptr;
    return display;
}

void PosterGenerator::SetPyramidFolder(const QString &dir)
{
    pyramidFolder = dir;
}

const PyramidWriterAgent &PosterGenerator::PyramidWriter() const
{
    return *pyramidWriter;
}

template <typename MakeAgent>
void PosterGenerator::StartGroup(int n, int fromPercent, int toPercent, const MakeAgent &make,
                                 void (PosterGenerator::*ended)())
{
    runningAgents = n;
    const int group = ++groupNumber;
    for (int i = 0; i < n; ++i) {
        auto *agent = make(i, n);
        using AgentType = std::remove_pointer_t<decltype(agent)>;
        connect(agent, &AgentType::progress, this, [this, group, fromPercent, toPercent](int percent) {
            if (group == groupNumber)
                emit progress(fromPercent + percent * (toPercent - fromPercent) / 100);
        });
        connect(agent, &QThread::finished, this, [this, group, ended] {
            if (group == groupNumber)
                (this->*ended)();
        });
        agents.append(agent);
        agent->start();
    }
}

void PosterGenerator::Generate(MosaicPreview *preview)
{
    Cancel();
    ++runNumber;
    // An earlier run's mosaic still waiting for the writer is superseded.
    savePending = false;
    delete image;
    image = nullptr;
    timer.start();
    display = preview;
    displayObject = dynamic_cast<QObject *>(preview);
    displayIsObject = displayObject != nullptr;

    // Matching reads the database without its lock, so it must not change
    // under the agents.
    if (params->divisions < 1 || params->imageDB.IsUpdating())
        return;
    if (!params->sourceImage)
        StartPreparation(Preparation::ReadSource);
    else if (params->sourceImage->data)
        BeginPreparation();
}

void PosterGenerator::BeginPreparation()
{
    stageNumber = 0;
    matchData->Reset(params->divisions, params->divisions);
    if (MosaicPreview *shown = Display()) {
        shown->SetDrawLock(&mutex);
        shown->SetImageTiles(matchData->numTilesX, matchData->numTilesY,
                             PreviewCell(matchData->numTilesX, matchData->numTilesY), params->sourceImage->width,
                             params->sourceImage->height);
    }
    StartPreparation(Preparation::MeasureTiles);
    emit stage(0);
}

void PosterGenerator::StartPreparation(Preparation::Step step)
{
    preparation.step = step;
    // Reading is one agent's work; the measuring agents share the tile columns.
    const int n = step == Preparation::ReadSource ? 1 : std::min(ThreadCount(), matchData->numTilesX);
    if (step == Preparation::MeasureTiles) {
        doneCount = 0;
        preparation.strongestEdges.assign(size_t(n), 0.0f);
    }
    StartGroup(
        n, 0, PreparedPercent,
        [this](int i, int count) {
            return new PreparationAgent(params, matchData, &preparation, &mutex, &doneCount, i, count);
        },
        &PosterGenerator::preparationThreadComplete);
}

void PosterGenerator::preparationThreadComplete()
{
    if (!GroupFinished())
        return;
    if (preparation.outOfMemory) {
        ReleaseRun();
        emit failed(
            tr("There is not enough memory to prepare a photo mosaic of %1 by %1 tiles.").arg(params->divisions));
        return;
    }
    switch (preparation.step) {
    case Preparation::ReadSource:
        // A source picture that cannot be read starts nothing and says nothing.
        if (preparation.decoded) {
            params->sourceImage = std::exchange(preparation.decoded, nullptr);
            BeginPreparation();
        }
        break;
    case Preparation::MeasureTiles:
        preparation.strongestEdge =
            *std::max_element(preparation.strongestEdges.cbegin(), preparation.strongestEdges.cend());
        StartPreparation(Preparation::CountEdges);
        break;
    case Preparation::CountEdges:
        StartPreparation(Preparation::Finish);
        break;
    case Preparation::Finish:
        blendColours = std::exchange(preparation.blendColours, nullptr);
        StartMatching();
        break;
    }
}

void PosterGenerator::StartMatching()
{
    MatchingAgent::Prepare(*params, *matchData);
    doneCount = 0;
    StartGroup(
        ThreadCount(), PreparedPercent, 100,
        [this](int i, int n) {
            return new MatchingAgent(params, params->sourceImage, matchData, &mutex, &doneCount, i, n);
        },
        &PosterGenerator::matchingThreadComplete);
}

void PosterGenerator::ReleaseAgents(bool finishedOnly)
{
    for (qsizetype i = agents.size() - 1; i >= 0; --i) {
        Agent *agent = agents[i];
        if (finishedOnly && !agent->isFinished())
            continue;
        agent->wait();
        delete agent;
        agents.removeAt(i);
    }
}

// One agent of the running group has finished: releases those that have,
// and tells whether the whole group is done, all of it then released.
bool PosterGenerator::GroupFinished()
{
    --runningAgents;
    ReleaseAgents(true);
    if (runningAgents > 0)
        return false;
    ReleaseAgents(false);
    return true;
}

void PosterGenerator::matchingThreadComplete()
{
    if (!GroupFinished())
        return;
    // Assembly, and what is made of the mosaic afterwards, need only the
    // matches.
    matchData->tileOrder = {};
    matchData->importance = {};
    matchData->tilePictures = {};
    qDebug("Matching took %d ms", int(timer.elapsed()));
    timer.restart();
    assemblyStart.start();
}

void PosterGenerator::startGeneratingFile()
{
    stageNumber = 1;

    const int w = params->sourceImage->width;
    const int h = params->sourceImage->height;
    const int target = params->targetResolution;
    int outWidth = target;
    int outHeight = target;
    if (w > h)
        outHeight = int(float(target) * float(h) / float(w));
    else
        outWidth = int(float(target) * float(w) / float(h));
    outWidth = std::max(outWidth, 1);
    outHeight = std::max(outHeight, 1);

    delete image;
    image = new Image(outWidth, outHeight);
    if (!image->data) {
        emit stage(1);
        emit failed(
            tr("There is not enough memory for a photo mosaic of %1 by %2 pixels.").arg(outWidth).arg(outHeight));
        return;
    }

    // The agents draw into the preview only if it has a cell for every tile.
    QImage *preview = nullptr;
    if (MosaicPreview *shown = Display()) {
        QImage *backing = shown->GetBackingImage();
        const int cell = PreviewCell(matchData->numTilesX, matchData->numTilesY);
        if (backing && backing->depth() == 32 && backing->width() >= matchData->numTilesX * cell
            && backing->height() >= matchData->numTilesY * cell) {
            QMutexLocker lock(&mutex);
            backing->fill(QColor(0, 0, 0));
            preview = backing;
        }
    }

    doneCount = 0;
    StartGroup(
        ThreadCount(), 0, 100,
        [this, preview](int i, int n) {
            return new AssemblyAgent(params, preview, image, blendColours, matchData, &mutex, &doneCount, i, n);
        },
        &PosterGenerator::assemblyThreadComplete);
    emit stage(1);
}

void PosterGenerator::assemblyThreadComplete()
{
    if (!GroupFinished())
        return;
    qDebug("Assembly took %d ms", int(timer.elapsed()));
    stageNumber = 2;
    const bool started = StartSave();
    emit stage(2);
    emit saving();
    if (!started)
        emit failed(SaveFailure());
}

// Hands the finished mosaic to the writer, or keeps it until the writer has
// finished the mosaic of an earlier run. False when the file cannot be made.
bool PosterGenerator::StartSave()
{
    if (savingImage) {
        savePending = true;
        return true;
    }
    savingImage = image;
    image = nullptr;
    savingRun = runNumber;
    savingFilename = params->outputFilename;
    savingPyramidFolder = pyramidFolder;
    savingThreads = ThreadCount();
    if (writer->Save(savingFilename, *savingImage, MosaicQuality))
        return true;
    delete savingImage;
    savingImage = nullptr;
    return false;
}

QString PosterGenerator::SaveFailure() const
{
    return tr("The photo mosaic could not be saved to %1: %2").arg(savingFilename, writer->ErrorMessage());
}

// The pyramid is cut only once the JPEG file is saved, not beside it: the
// two encoders' memory would add up on top of the finished mosaic and raise
// the run's peak. A mosaic that could not be saved gets no pyramid; a
// pyramid that cannot start leaves its reason with its writer.
void PosterGenerator::fileSaved()
{
    if (writer->Succeeded() && !savingPyramidFolder.isEmpty()
        && pyramidWriter->Save(savingPyramidFolder, *savingImage, savingThreads))
        return;
    savingComplete();
}

void PosterGenerator::savingComplete()
{
    const bool current = savingRun == runNumber;
    const bool succeeded = writer->Succeeded();
    const QString failure = SaveFailure();
    delete savingImage;
    savingImage = nullptr;

    bool pendingStarted = true;
    if (savePending) {
        savePending = false;
        pendingStarted = StartSave();
    }

    if (current)
        ReleaseRun(true);

    // Signals last: their receivers may start a new run.
    if (current) {
        if (succeeded)
            emit complete();
        else
            emit failed(failure);
    }
    if (!pendingStarted)
        emit failed(SaveFailure());
}

void PosterGenerator::Cancel()
{
    assemblyStart.stop();
    ++groupNumber;
    {
        QMutexLocker lock(&mutex);
        for (qsizetype i = 0; i < agents.size(); ++i) {
            disconnect(agents[i], nullptr, this, nullptr);
            qDebug("Telling %d to stop", int(i));
            agents[i]->stopRunning();
        }
    }
    // Each agent tests its flag before every item, so this is short; none may
    // still use matchData or the images once a new run is set up.
    ReleaseAgents(false);
    ReleaseRun();
}

void PosterGenerator::ReleaseRun(bool keepMatches)
{
    // A mosaic waiting for the writer is saved still.
    if (!savePending) {
        delete image;
        image = nullptr;
    }
    delete blendColours;
    blendColours = nullptr;
    delete std::exchange(preparation.decoded, nullptr);
    delete std::exchange(preparation.blendColours, nullptr);
    preparation.outOfMemory = false;
    if (!keepMatches)
        matchData->Reset(0, 0);
#ifdef __GLIBC__
    // glibc keeps freed memory below its large-allocation threshold, and a
    // worker thread's arena, for the process; this gives it back.
    malloc_trim(0);
#endif
}
