#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>

#include "engine/PreparationAgent.h"

class Agent;
class Image;
class MosaicPreview;
class PyramidWriterAgent;
class QJPEGWriterAgent;
struct ImagePosterParameters;
struct MatchData;

// Turns the run parameters into a saved mosaic: preparation and matching
// (stage 0), assembly and saving, each on worker threads, advanced by slots
// on the GUI thread, which never waits for more than an agent's next step.
class PosterGenerator : public QObject {
    Q_OBJECT
public:
    explicit PosterGenerator(ImagePosterParameters *params, QObject *parent = nullptr);
    ~PosterGenerator() override;

    // Starts a mosaic and returns at once; display may be null. A run still
    // in preparation, matching or assembly is cancelled first. The display
    // must stay alive while the run draws into it. Nothing is sent when the
    // run cannot start: the database is being updated, or the source picture
    // (read first when none is decoded yet) cannot be read.
    void Generate(MosaicPreview *display);
    // Stops preparation, matching and assembly, or a pending start of
    // assembly, and returns once no agent of the run is left; what the run
    // held is released. A save in progress runs on.
    void Cancel();
    // The tile grid and the choices of the latest run, until the next one.
    const MatchData &Matches() const { return *matchData; }

    // Also writes a Deep Zoom pyramid of the finished mosaic into dir once
    // the JPEG file is saved; an empty dir writes none, and neither does a
    // failed save. After complete(), the writer tells whether it succeeded.
    void SetPyramidFolder(const QString &dir);
    const PyramidWriterAgent &PyramidWriter() const;

signals:
    void stage(int stageNumber);
    void progress(int percent);
    void saving();
    void complete();
    // The mosaic could not be made or saved; the message names the file.
    void failed(const QString &message);

private slots:
    void preparationThreadComplete();
    void startGeneratingFile();
    void matchingThreadComplete();
    void assemblyThreadComplete();
    void fileSaved();
    void savingComplete();

private:
    int ThreadCount() const;
    MosaicPreview *Display() const;
    // Starts the agents of a preparation step, of matching or of assembly,
    // as one group whose ends go to the slot.
    template <typename MakeAgent>
    void StartGroup(int n, int fromPercent, int toPercent, const MakeAgent &make, void (PosterGenerator::*ended)());
    void StartPreparation(Preparation::Step step);
    void BeginPreparation();
    void StartMatching();
    bool GroupFinished();
    void ReleaseAgents(bool finishedOnly);
    // Frees what a finished or cancelled run held and hands the freed memory
    // back to the system.
    void ReleaseRun(bool keepMatches = false);   // a saved run keeps its matches for Matches()
    bool StartSave();
    QString SaveFailure() const;

    QElapsedTimer timer;
    int runningAgents = 0;
    int stageNumber = 0;
    int doneCount = 0;   // guarded by mutex; the agents' shared counter
    MosaicPreview *display = nullptr;
    QMutex mutex;
    Image *image = nullptr;   // the output image, from the start of assembly
    Image *blendColours = nullptr;
    MatchData *matchData = nullptr;
    Preparation preparation;   // shared with the preparation agents
    ImagePosterParameters *params;
    QList<Agent *> agents;
    QJPEGWriterAgent *writer = nullptr;
    PyramidWriterAgent *pyramidWriter = nullptr;
    QString pyramidFolder;   // empty: no pyramid

    QTimer assemblyStart;              // the pause between matching and assembly
    int groupNumber = 0;               // reports of other agent groups are stale
    int runNumber = 0;                 // counts Generate calls
    QPointer<QObject> displayObject;   // tells when a display widget has gone
    bool displayIsObject = false;

    // The JPEG writer and then the pyramid writer read savingImage until
    // their finished() has been handled; a new run works on image meanwhile.
    Image *savingImage = nullptr;
    int savingRun = 0;   // the run whose mosaic is being saved
    QString savingFilename;
    QString savingPyramidFolder;   // empty: no pyramid
    int savingThreads = 0;         // the pyramid's threads, counted with the run's tiles
    bool savePending = false;      // image waits for the writers to be free
};
