#include "engine/PosterGenerator.h"

#include "engine/ImagePosterParameters.h"
#include "engine/AssemblyAgent.h"
#include "engine/MatchData.h"
#include "engine/MatchingAgent.h"
#include "engine/MosaicPreview.h"
#include "engine/QJPEGWriterAgent.h"
#include "imaging/Image.h"
#include "imaging/JPEG.h"

#include <QDebug>
#include <QImage>
#include <algorithm>

namespace {
// The receivers take in the matching's last reports before the assembly's
// threads start.
constexpr int AssemblyPauseMs = 10;
}   // namespace

PosterGenerator::PosterGenerator(ImagePosterParameters *params, QObject *parent)
    : QObject(parent), matchData(new MatchData), params(params), writer(new QJPEGWriterAgent(this))
{
    assemblyStart.setSingleShot(true);
    assemblyStart.setInterval(AssemblyPauseMs);
    connect(&assemblyStart, &QTimer::timeout, this, &PosterGenerator::startGeneratingFile);
    // An earlier run's save that ends during a newer run reports nothing.
    connect(writer, &QJPEGWriterAgent::progress, this, [this](int percent) {
        if (savingRun == runNumber)
            emit progress(percent);
    });
    connect(writer, &QThread::finished, this, &PosterGenerator::savingComplete);
}

PosterGenerator::~PosterGenerator()
{
    Cancel();
    writer->wait();
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

bool PosterGenerator::Setup()
{
    if (!params->sourceImage) {
        Image *picture = new Image;
        if (!ReadJPEG(params->sourceFilename, *picture)) {
            delete picture;
            return false;
        }
        params->sourceImage = picture;
    }
    // Matching reads the database without its lock, so it must not change
    // under the agents.
    if (!params->sourceImage->data || params->divisions < 1 || params->imageDB.IsUpdating())
        return false;

    delete image;
    image = new Image(*params->sourceImage);
    delete blendColours;
    blendColours = nullptr;
    params->imageDB.ResetUseCounts();
    matchData->Setup(*image, params->divisions, params->divisions);
    if (params->blend >= 1) {
        blendColours = new Image(*image);
        blendColours->Resize(params->divisions, params->divisions, true);
    }
    return true;
}

void PosterGenerator::Generate(MosaicPreview *preview)
{
    Cancel();
    ++runNumber;
    // An earlier run's mosaic still waiting for the writer is superseded.
    savePending = false;
    timer.start();
    display = preview;
    displayObject = dynamic_cast<QObject *>(preview);
    displayIsObject = displayObject != nullptr;

    if (!Setup())
        return;
    stageNumber = 0;

    if (MosaicPreview *shown = Display()) {
        shown->SetDrawLock(&mutex);
        shown->SetImageTiles(matchData->numTilesX, matchData->numTilesY, Image::COMPARISON_X_SIZE,
                             params->sourceImage->width, params->sourceImage->height);
    }

    const int n = ThreadCount();
    runningAgents = n;
    doneCount = 0;
    const int group = ++groupNumber;
    for (int i = 0; i < n; ++i) {
        MatchingAgent *agent = new MatchingAgent(params, image, matchData, &mutex, &doneCount, i, n);
        connect(agent, &MatchingAgent::progress, this, [this, group](int percent) {
            if (group == groupNumber)
                emit progress(percent);
        });
        connect(agent, &QThread::finished, this, [this, group] {
            if (group == groupNumber)
                matchingThreadComplete();
        });
        agents.append(agent);
        agent->start();
    }
    emit stage(0);
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

void PosterGenerator::matchingThreadComplete()
{
    --runningAgents;
    ReleaseAgents(true);
    if (runningAgents > 0)
        return;
    ReleaseAgents(false);
    qDebug("Matching took %d ms", int(timer.elapsed()));
    timer.restart();
    assemblyStart.start();
}

void PosterGenerator::startGeneratingFile()
{
    stageNumber = 1;

    const int w = image->width;
    const int h = image->height;
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
        if (backing && backing->depth() == 32 && backing->width() >= matchData->numTilesX * Image::COMPARISON_X_SIZE
            && backing->height() >= matchData->numTilesY * Image::COMPARISON_Y_SIZE) {
            QMutexLocker lock(&mutex);
            backing->fill(QColor(0, 0, 0));
            preview = backing;
        }
    }

    const int n = ThreadCount();
    runningAgents = n;
    doneCount = 0;
    const int group = ++groupNumber;
    for (int i = 0; i < n; ++i) {
        AssemblyAgent *agent =
            new AssemblyAgent(params, preview, image, blendColours, matchData, &mutex, &doneCount, i, n);
        connect(agent, &AssemblyAgent::progress, this, [this, group](int percent) {
            if (group == groupNumber)
                emit progress(percent);
        });
        connect(agent, &QThread::finished, this, [this, group] {
            if (group == groupNumber)
                assemblyThreadComplete();
        });
        agents.append(agent);
        agent->start();
    }
    emit stage(1);
}

void PosterGenerator::assemblyThreadComplete()
{
    --runningAgents;
    ReleaseAgents(true);
    if (runningAgents > 0)
        return;
    ReleaseAgents(false);
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
    if (writer->Save(savingFilename, *savingImage, 100))
        return true;
    delete savingImage;
    savingImage = nullptr;
    return false;
}

QString PosterGenerator::SaveFailure() const
{
    return tr("The photo mosaic could not be saved to %1: %2").arg(savingFilename, writer->ErrorMessage());
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
}
